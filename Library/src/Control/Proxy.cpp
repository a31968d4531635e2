#include "Proxy.h"

#include <cmath>

#include "VectorMath.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

using vec::Along;
using vec::Dot;
using vec::Sub;


// A constraint: n . x >= c.
struct Constraint {
    Vector3d n;
    double c;
};

// Solves G m = r for up to 3 unknowns; false when G is (near) singular.
bool Solve(int count, const double g[3][3], const double r[3], double m[3]) {
    if (count == 1) {
        m[0] = r[0] / g[0][0];
        return true;
    }
    if (count == 2) {
        const double det = g[0][0] * g[1][1] - g[0][1] * g[1][0];
        if (std::fabs(det) < 1e-10) return false;
        m[0] = (r[0] * g[1][1] - g[0][1] * r[1]) / det;
        m[1] = (g[0][0] * r[1] - r[0] * g[1][0]) / det;
        return true;
    }
    const double det = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
                       g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
                       g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]);
    if (std::fabs(det) < 1e-10) return false;
    for (int col = 0; col < 3; ++col) {
        double a[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) a[i][j] = j == col ? r[i] : g[i][j];
        m[col] = (a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                  a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0])) /
                 det;
    }
    return true;
}

// The point nearest x on all the planes (as equalities): x + sum m_i n_i.
// Multipliers come back in m; false when the planes do not meet in one
// point, line or plane.
bool Nearest(const Constraint* planes, int count, const Vector3d& x, Vector3d& out, double m[3]) {
    double g[3][3], r[3];
    for (int i = 0; i < count; ++i) {
        r[i] = planes[i].c - Dot(planes[i].n, x);
        for (int j = 0; j < count; ++j) g[i][j] = Dot(planes[i].n, planes[j].n);
    }
    if (!Solve(count, g, r, m)) return false;
    out = x;
    for (int i = 0; i < count; ++i) out = Along(out, planes[i].n, m[i]);
    return true;
}

// The point nearest device that keeps every plane: a plane that would pull
// (a negative multiplier) is let go of, and the rest solved again.
bool Goal(Constraint* planes, int& count, const Vector3d& device, Vector3d& goal) {
    while (count > 0) {
        double m[3];
        if (!Nearest(planes, count, device, goal, m)) return false;
        int pulling = -1;
        for (int i = 0; i < count; ++i)
            if (m[i] < 0 && (pulling < 0 || m[i] < m[pulling])) pulling = i;
        if (pulling < 0) return true;
        for (int i = pulling; i + 1 < count; ++i) planes[i] = planes[i + 1];
        --count;
    }
    goal = device;
    return true;
}

}  // namespace

ProxyContact Proxy::Step(const MeshTree& tree, const Vector3d& device, double static_friction,
                         double dynamic_friction) {
    const Vector3d before = position_;
    Vector3d p = position_;
    Vector3d goal = device;
    Constraint planes[3];
    int count = 0;
    bool reached = false;
    for (int move = 0; move < kMaxMoves; ++move) {
        double t;
        Vector3d n;
        if (!tree.FirstCrossing(p, goal, t, n)) {
            p = goal;
            reached = true;
            break;
        }
        const Vector3d d = Sub(goal, p);
        const Vector3d hit = Along(p, d, t);
        // Back along the segment to a hair outside the plane (never behind the start).
        const double approach = Dot(n, d);  // below 0: the triangle faces the segment
        const double s = t + kHair / approach;
        if (s > 0) p = Along(p, d, s);
        if (count == 3) break;
        Constraint added{n, Dot(n, hit) + kHair};
        planes[count++] = added;
        Vector3d next;
        if (!Goal(planes, count, device, next)) break;  // planes that do not meet: stay here
        goal = next;
    }
    ProxyContact out{p, p, count};
    bool sliding = false;
    if (reached && count > 0 && count < 3 && static_friction > 0) {
        // Held where it was, moved onto the contact planes, while the
        // tangential offset is within the cone: the static one when stuck,
        // the dynamic one once sliding. Beyond it, dragged to the dynamic
        // cone's edge; it sticks again once the device no longer drags it
        // (the offset back within the dynamic cone).
        Vector3d stick;
        double m[3];
        if (Nearest(planes, count, before, stick, m)) {
            const Vector3d normal = Sub(p, device);
            const double depth = std::sqrt(Dot(normal, normal));
            const Vector3d tangent = Sub(stick, p);
            const double offset = std::sqrt(Dot(tangent, tangent));
            const double cone = (sliding_ ? dynamic_friction : static_friction) * depth;
            Vector3d target = stick;
            if (offset > cone + kSlip) {
                target = Along(p, tangent, dynamic_friction * depth / offset);
                sliding = true;
            }
            double t;
            Vector3d n;
            if (tree.FirstCrossing(p, target, t, n)) {
                const Vector3d d = Sub(target, p);
                const double s = t + kHair / Dot(n, d);
                if (s > 0) target = Along(p, d, s);
                else target = p;
            }
            out.proxy = target;
        }
    }
    sliding_ = sliding;
    position_ = out.proxy;
    return out;
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
