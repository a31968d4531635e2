#pragma once
// A user's hand on the simulated arm, scripted from the command line: a
// steady push, or a spring-damper that pulls the end effector towards a
// target standing still or moving along a line or a circle. Its force adds to
// whatever the host commands, so an effect can be pushed against without a
// force of its own.

#include <string>

#include "Kinematics.h"

namespace sim {

struct Target {
    enum class Path { Rest, Point, Line, Circle };
    Path path = Path::Rest;  // Rest: the arm's rest position
    Vec3 a{};                // point; line: first end; circle: centre (m)
    Vec3 b{};                // line: second end (m)
    double radius = 0.0;     // circle (m)
    double period = 0.0;     // line, circle (s)
    Vec3 normal{0, 0, 1};    // circle: it turns right-handed about this

    // Where the target is, and its velocity, at `t` seconds of the arm's time.
    void at(double t, Vec3& position, Vec3& velocity) const;
};

struct Hand {
    enum class Grip { None, Push, Spring };
    Grip grip = Grip::None;
    Vec3 push{};             // N
    double stiffness = 0.0;  // N/m
    double damping = 0.0;    // N s/m, on the velocity relative to the target's
    Target target;

    bool present() const { return grip != Grip::None; }
    // The hand's force on an end effector at `position` moving at `velocity`, at time `t`.
    Vec3 force(const Vec3& position, const Vec3& velocity, double t) const;
};

// Read "push:FX,FY,FZ" or "spring:K,B" into `hand`; false with `error` saying why.
bool parseHand(const std::string& text, Hand& hand, std::string& error);
// Read "point:X,Y,Z", "line:X0,Y0,Z0:X1,Y1,Z1:PERIOD" or
// "circle:CX,CY,CZ:R:PERIOD[:NX,NY,NZ]" into `target`.
bool parseTarget(const std::string& text, Target& target, std::string& error);

}  // namespace sim
