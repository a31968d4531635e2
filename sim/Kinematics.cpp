#include "Kinematics.h"

#include <algorithm>

namespace sim {
namespace {

// Linkage dimensions, metres.
constexpr double kProximal1 = 0.14;
constexpr double kProximal2 = 0.14;
constexpr double kDistal1 = 0.165;
constexpr double kDistal2 = 0.165;
constexpr double kJointSpacing = 0.0;
constexpr double kLateralOffset = 0.0765 + -0.052;
constexpr double kVOffset = 0.0;
constexpr double kBaseX = 0.0;
constexpr double kBaseY = 0.0;
constexpr double kHeightOffset = 0.18645;
// Base frame rotation (x, y, z, w), deliberately not normalised: the host
// model uses these exact values.
constexpr double kQx = 0.0, kQy = 0.7071, kQz = 0.0, kQw = 0.7071;
constexpr double kCoincidentElbows = 1e-6;

// Mechanical stops, degrees. The spread (joint 1 minus joint 2) stays clear
// of the folded linkage at zero spread, where the elbows coincide.
constexpr double kMinJoint[3] = {-75.0, -165.0, -180.0};
constexpr double kMaxJoint[3] = {75.0, 0.0, -15.0};
constexpr double kMinSpread = 15.0;
constexpr double kMaxSpread = 150.0;

// Newton iteration settings.
constexpr double kDamping = 1e-7;       // squared, in (m/deg)^2
constexpr double kMaxStepDeg = 10.0;
constexpr double kTolerance = 1e-10;    // metres
constexpr double kMinProgress = 1e-12;  // metres per step; less means we sit at a stop
constexpr int kMaxIterations = 50;
constexpr double kDerivativeStepDeg = 1e-5;

// The forward kinematics in parts: a step in one joint leaves the other
// joints' terms alone, so the numeric Jacobian computes those only once.
struct Angle {
    double rad, sin, cos;
};
Angle angle(double rad) { return {rad, std::sin(rad), std::cos(rad)}; }
Angle baseAngle(double joint) { return angle((joint + 90.0) * kRadPerDeg); }
Angle proximalAngle(double joint) { return angle((-joint - 180.0) * kRadPerDeg); }

struct Planar {
    double u, v;
};

// Where the distal links meet, in the linkage plane.
Planar linkage(const Angle& th1, const Angle& th2) {
    // Elbow 2 to elbow 1.
    const double du = kJointSpacing + kProximal1 * th1.cos - kProximal2 * th2.cos;
    const double dv = kProximal1 * th1.sin - kProximal2 * th2.sin;
    const double r = std::sqrt(du * du + dv * dv);
    double psi = th1.rad;
    if (r >= kCoincidentElbows) {
        const double c = (kDistal1 * kDistal1 + r * r - kDistal2 * kDistal2) / (2.0 * r * kDistal1);
        psi = std::atan2(dv, du) + kPi - std::acos(std::clamp(c, -1.0, 1.0));
    }
    return {kJointSpacing / 2.0 + kProximal1 * th1.cos + kDistal1 * std::cos(psi),
            kProximal1 * th1.sin + kDistal1 * std::sin(psi)};
}

// The linkage plane turned about the base joint, in the host model's frame.
Vec3 place(const Angle& th0, const Planar& plane) {
    const double n = kVOffset - plane.v;
    const double pa = kBaseX + kLateralOffset * th0.cos - n * th0.sin;
    const double pb = kBaseY + kLateralOffset * th0.sin + n * th0.cos;
    const double pc = plane.u + kHeightOffset;

    const double x = kQx, y = kQy, z = kQz, w = kQw;
    const Mat3 rot = {{{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                       {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                       {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}}};
    const Vec3 p = {-pc, pb, pa};
    return {dot(rot[0], p), dot(rot[1], p), dot(rot[2], p)};
}

Vec3 centralDifference(const Vec3& hi, const Vec3& lo) { return (1.0 / (2.0 * kDerivativeStepDeg)) * (hi - lo); }

Mat3 numericJacobianPerDegree(const Vec3& q) {
    const Angle th0 = baseAngle(q[0]), th1 = proximalAngle(q[1]), th2 = proximalAngle(q[2]);
    const Planar plane = linkage(th1, th2);
    const Vec3 columns[3] = {
        centralDifference(place(baseAngle(q[0] + kDerivativeStepDeg), plane),
                          place(baseAngle(q[0] - kDerivativeStepDeg), plane)),
        centralDifference(place(th0, linkage(proximalAngle(q[1] + kDerivativeStepDeg), th2)),
                          place(th0, linkage(proximalAngle(q[1] - kDerivativeStepDeg), th2))),
        centralDifference(place(th0, linkage(th1, proximalAngle(q[2] + kDerivativeStepDeg))),
                          place(th0, linkage(th1, proximalAngle(q[2] - kDerivativeStepDeg)))),
    };
    Mat3 j{};
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) j[r][c] = columns[c][r];
    return j;
}

double det3(const Mat3& m) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// Cramer's rule; `a` is symmetric positive definite here, so never singular.
Vec3 solve3(const Mat3& a, const Vec3& b) {
    const double d = det3(a);
    Vec3 x{};
    for (int c = 0; c < 3; ++c) {
        Mat3 m = a;
        for (int r = 0; r < 3; ++r) m[r][c] = b[r];
        x[c] = det3(m) / d;
    }
    return x;
}

// The stops as half-spaces of joint space, a . q >= b: every limit is linear
// in the joint angles, the spread's too.
struct Stop {
    Vec3 a;
    double b;
};
constexpr Stop kStops[] = {
    {{1, 0, 0}, kMinJoint[0]},     {{-1, 0, 0}, -kMaxJoint[0]},  {{0, 1, 0}, kMinJoint[1]},
    {{0, -1, 0}, -kMaxJoint[1]},   {{0, 0, 1}, kMinJoint[2]},    {{0, 0, -1}, -kMaxJoint[2]},
    {{0, 1, -1}, kMinSpread},      {{0, -1, 1}, -kMaxSpread},
};
constexpr int kStopCount = sizeof kStops / sizeof kStops[0];
constexpr double kAtStop = 1e-9;  // degrees: this close, a stop holds the pose

// Minimises dq'A dq - 2 b'dq with dq along every stop in `held` (a . dq = 0):
// dq = P z for the projection P off the held normals, so (P A P + I - P) dq = P b.
// False when the held normals are dependent: a smaller set holds the same.
bool solveHeld(const Mat3& a, const Vec3& b, const Vec3* held, int count, Vec3& dq) {
    if (count == 0) {  // at no stop, as nearly always: the plain Newton step
        dq = solve3(a, b);
        return true;
    }
    Vec3 basis[3];
    for (int k = 0; k < count; ++k) {
        Vec3 v = held[k];
        for (int m = 0; m < k; ++m) v = v - dot(v, basis[m]) * basis[m];
        const double length = norm(v);
        if (length < 1e-9) return false;
        basis[k] = (1.0 / length) * v;
    }
    if (count == 3) {
        dq = {0, 0, 0};
        return true;
    }
    Mat3 p{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            p[r][c] = r == c ? 1.0 : 0.0;
            for (int k = 0; k < count; ++k) p[r][c] -= basis[k][r] * basis[k][c];
        }
    }
    Mat3 m{};
    Vec3 pb{};
    for (int r = 0; r < 3; ++r) {
        pb[r] = dot(p[r], b);
        for (int c = 0; c < 3; ++c) {
            double pap = 0.0;
            for (int s = 0; s < 3; ++s)
                for (int t = 0; t < 3; ++t) pap += p[r][s] * a[s][t] * p[t][c];
            m[r][c] = pap + (r == c ? 1.0 : 0.0) - p[r][c];
        }
    }
    dq = solve3(m, pb);
    return true;
}

// The Newton step within the stops from `q`: the least-squares problem with
// the stops the pose sits at as constraints (a . dq >= 0), solved exactly by
// trying each set of them held, then shortened so that it crosses no other stop.
Vec3 feasibleStep(const Vec3& q, const Mat3& a, const Vec3& b) {
    int at[kStopCount];
    int atCount = 0;
    for (int s = 0; s < kStopCount; ++s)
        if (dot(kStops[s].a, q) - kStops[s].b <= kAtStop) at[atCount++] = s;

    Vec3 best{};
    double bestCost = 0.0;  // the zero step's
    for (unsigned subset = 0; subset < (1u << atCount); ++subset) {
        Vec3 held[kStopCount];
        int count = 0;
        for (int k = 0; k < atCount; ++k)
            if (subset & (1u << k)) held[count++] = kStops[at[k]].a;
        if (count > 3) continue;
        Vec3 dq{};
        if (!solveHeld(a, b, held, count, dq)) continue;
        bool allowed = true;
        for (int k = 0; k < atCount && allowed; ++k) allowed = dot(kStops[at[k]].a, dq) >= -1e-12;
        if (!allowed) continue;
        Vec3 adq{};
        for (int r = 0; r < 3; ++r) adq[r] = dot(a[r], dq);
        const double cost = dot(dq, adq) - 2.0 * dot(b, dq);
        if (cost < bestCost) {
            bestCost = cost;
            best = dq;
        }
    }

    // Shortened as a whole, so it keeps its direction.
    double scale = 1.0;
    for (double s : best)
        if (std::fabs(s) > kMaxStepDeg) scale = std::min(scale, kMaxStepDeg / std::fabs(s));
    for (const Stop& stop : kStops) {
        const double along = dot(stop.a, best);
        const double slack = dot(stop.a, q) - stop.b;
        if (along < 0.0 && slack > kAtStop) scale = std::min(scale, slack / -along);
    }
    return scale * best;
}

}  // namespace

Vec3 forwardKinematics(const Vec3& joints) {
    return place(baseAngle(joints[0]), linkage(proximalAngle(joints[1]), proximalAngle(joints[2])));
}

Mat3 jacobian(const Vec3& joints) {
    Mat3 j = numericJacobianPerDegree(joints);
    for (auto& row : j) row = (1.0 / kRadPerDeg) * row;
    return j;
}

Vec3 clampToLimits(const Vec3& joints) {
    Vec3 q{};
    q[0] = std::clamp(joints[0], kMinJoint[0], kMaxJoint[0]);
    q[1] = std::clamp(joints[1], kMinJoint[1], kMaxJoint[1]);
    // Joint 2 yields to keep the spread in range; the bounds overlap for every joint 1 angle.
    q[2] = std::clamp(joints[2], std::max(kMinJoint[2], q[1] - kMaxSpread), std::min(kMaxJoint[2], q[1] - kMinSpread));
    return q;
}

ArmPose inverseKinematics(const Vec3& target, const ArmPose& seed) {
    ArmPose pose = seed;
    Vec3 error = target - pose.position;
    double distance = norm(error);
    for (int i = 0; i < kMaxIterations && distance > kTolerance; ++i) {
        // Damped least squares: (J^T J + k I) dq = J^T e keeps steps bounded near singular poses.
        const Mat3 j = numericJacobianPerDegree(pose.joints);
        Mat3 a{};
        Vec3 b{};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) a[r][c] = j[0][r] * j[0][c] + j[1][r] * j[1][c] + j[2][r] * j[2][c];
            a[r][r] += kDamping;
            b[r] = j[0][r] * error[0] + j[1][r] * error[1] + j[2][r] * error[2];
        }
        // The step is solved with the stops in it, not clamped afterwards: a
        // clamp bends the step, and the bent step can make no progress at all
        // (the arm sticks at the stop) or go the wrong way (the arm climbs
        // against the force that pushes it into the stop).
        const Vec3 step = feasibleStep(pose.joints, a, b);

        // Back off until the step helps; at a stop no step does, and we stay at the nearest pose.
        double progress = 0.0;
        for (double scale = 1.0; scale > 1e-3 && progress <= 0.0; scale *= 0.5) {
            // The clamp only takes off rounding: the step stays within the stops.
            const Vec3 candidate = clampToLimits(pose.joints + scale * step);
            const Vec3 reached = forwardKinematics(candidate);
            const Vec3 candidateError = target - reached;
            const double candidateDistance = norm(candidateError);
            if (candidateDistance < distance) {
                progress = distance - candidateDistance;
                pose = {candidate, reached};
                error = candidateError;
                distance = candidateDistance;
            }
        }
        if (progress < kMinProgress) break;
    }
    return pose;
}

}  // namespace sim
