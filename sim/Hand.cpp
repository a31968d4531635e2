#include "Hand.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace sim {
namespace {

// Bounds that catch a wrong unit or a typing slip; the arm itself takes any
// finite force. The gains stay well inside what the arm's 0.5 ms steps
// integrate stably for its 0.2 kg.
constexpr double kMaxPush = 100.0;        // N
constexpr double kMaxStiffness = 10000.0; // N/m
constexpr double kMaxDamping = 200.0;     // N s/m
// The arm reaches less than 0.5 m from its origin: a coordinate beyond this
// is in millimetres, most likely.
constexpr double kMaxCoordinate = 1.0;    // m
// A hand moves a few times a second at most.
constexpr double kMinPeriod = 0.1;        // s
constexpr double kMaxPeriod = 3600.0;     // s: slower is a hand that holds still

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    if (text.empty()) parts.emplace_back();
    return parts;
}

bool number(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

// Exactly `count` finite numbers separated by commas.
bool numbers(const std::string& text, std::size_t count, double* values) {
    const std::vector<std::string> parts = split(text, ',');
    if (parts.size() != count) return false;
    for (std::size_t i = 0; i < count; ++i)
        if (!number(parts[i], values[i])) return false;
    return true;
}

bool vector(const std::string& text, Vec3& v) { return numbers(text, 3, v.data()); }

std::string show(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

bool inReach(const Vec3& p, std::string& error) {
    for (double c : p) {
        if (std::fabs(c) > kMaxCoordinate) {
            error = "coordinate " + show(c) + " is more than 1 m from the arm's origin: positions are in metres";
            return false;
        }
    }
    return true;
}

bool period(const std::string& text, double& value, std::string& error) {
    if (!number(text, value) || value < kMinPeriod || value > kMaxPeriod) {
        error = "the period must be a number of seconds, 0.1 to 3600; got '" + text + "'";
        return false;
    }
    return true;
}

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

}  // namespace

void Target::at(double t, Vec3& position, Vec3& velocity) const {
    const double w = period > 0.0 ? 2.0 * kPi / period : 0.0;
    switch (path) {
        case Path::Rest:
        case Path::Point:
            position = a;
            velocity = {0, 0, 0};
            break;
        case Path::Line:
            // There and back once a period, easing in and out at the ends.
            position = a + (0.5 * (1.0 - std::cos(w * t))) * (b - a);
            velocity = (0.5 * w * std::sin(w * t)) * (b - a);
            break;
        case Path::Circle: {
            // Starting on the side of +x (of +y for a normal along x).
            const Vec3 n = (1.0 / norm(normal)) * normal;
            Vec3 u = Vec3{1, 0, 0} - n[0] * n;
            if (norm(u) < 1e-6) u = Vec3{0, 1, 0} - n[1] * n;
            u = (1.0 / norm(u)) * u;
            const Vec3 v = cross(n, u);
            const double c = std::cos(w * t), s = std::sin(w * t);
            position = a + radius * (c * u + s * v);
            velocity = (radius * w) * (c * v - s * u);
            break;
        }
    }
}

Vec3 Hand::force(const Vec3& position, const Vec3& velocity, double t) const {
    switch (grip) {
        case Grip::None: return {0, 0, 0};
        case Grip::Push: return push;
        case Grip::Spring: {
            Vec3 where{}, speed{};
            target.at(t, where, speed);
            return stiffness * (where - position) + damping * (speed - velocity);
        }
    }
    return {0, 0, 0};
}

bool parseHand(const std::string& text, Hand& hand, std::string& error) {
    const std::vector<std::string> parts = split(text, ':');
    const std::string& kind = parts[0];
    Hand parsed;
    if (kind == "push") {
        if (parts.size() != 2 || !vector(parts[1], parsed.push)) {
            error = "push:FX,FY,FZ takes three numbers, the force in N, as in push:0,0.5,0";
            return false;
        }
        if (norm(parsed.push) > kMaxPush) {
            error = "the push must be at most 100 N, got " + show(norm(parsed.push)) + " N";
            return false;
        }
        parsed.grip = Hand::Grip::Push;
    } else if (kind == "spring") {
        double gains[2];
        if (parts.size() != 2 || !numbers(parts[1], 2, gains)) {
            error = "spring:K,B takes two numbers, the stiffness in N/m and the damping in N s/m, as in spring:200,5";
            return false;
        }
        if (gains[0] < 0.0 || gains[0] > kMaxStiffness) {
            error = "the stiffness must be 0 to 10000 N/m, got " + show(gains[0]);
            return false;
        }
        if (gains[1] < 0.0 || gains[1] > kMaxDamping) {
            error = "the damping must be 0 to 200 N s/m, got " + show(gains[1]);
            return false;
        }
        if (gains[0] == 0.0 && gains[1] == 0.0) {
            error = "a spring with no stiffness and no damping does nothing";
            return false;
        }
        parsed.grip = Hand::Grip::Spring;
        parsed.stiffness = gains[0];
        parsed.damping = gains[1];
    } else {
        error = "a hand is push:FX,FY,FZ or spring:K,B";
        return false;
    }
    parsed.target = hand.target;
    hand = parsed;
    return true;
}

bool parseTarget(const std::string& text, Target& target, std::string& error) {
    const std::vector<std::string> parts = split(text, ':');
    const std::string& kind = parts[0];
    Target parsed;
    if (kind == "point") {
        if (parts.size() != 2 || !vector(parts[1], parsed.a)) {
            error = "point:X,Y,Z takes three numbers, in metres";
            return false;
        }
        if (!inReach(parsed.a, error)) return false;
        parsed.path = Target::Path::Point;
    } else if (kind == "line") {
        if (parts.size() != 4 || !vector(parts[1], parsed.a) || !vector(parts[2], parsed.b)) {
            error = "line:X0,Y0,Z0:X1,Y1,Z1:PERIOD takes its two ends in metres and a period in seconds";
            return false;
        }
        if (!inReach(parsed.a, error) || !inReach(parsed.b, error) || !period(parts[3], parsed.period, error))
            return false;
        if (norm(parsed.b - parsed.a) == 0.0) {
            error = "the line's two ends are the same point: use point:X,Y,Z";
            return false;
        }
        parsed.path = Target::Path::Line;
    } else if (kind == "circle") {
        if ((parts.size() != 4 && parts.size() != 5) || !vector(parts[1], parsed.a) ||
            !number(parts[2], parsed.radius) || (parts.size() == 5 && !vector(parts[4], parsed.normal))) {
            error = "circle:CX,CY,CZ:R:PERIOD[:NX,NY,NZ] takes its centre and radius in metres, a period in "
                    "seconds and, if not along z, the normal of its plane";
            return false;
        }
        if (!inReach(parsed.a, error) || !period(parts[3], parsed.period, error)) return false;
        if (!(parsed.radius > 0.0 && parsed.radius <= kMaxCoordinate)) {
            error = "the radius must be above 0 and at most 1 m, got " + show(parsed.radius);
            return false;
        }
        const double length = norm(parsed.normal);
        if (!(std::isfinite(length) && length > 0.0)) {
            error = "the circle's normal must be a direction, neither zero nor too long to measure";
            return false;
        }
        parsed.path = Target::Path::Circle;
    } else {
        error = "a target is point:X,Y,Z, line:X0,Y0,Z0:X1,Y1,Z1:PERIOD or circle:CX,CY,CZ:R:PERIOD[:NX,NY,NZ]";
        return false;
    }
    target = parsed;
    return true;
}

}  // namespace sim
