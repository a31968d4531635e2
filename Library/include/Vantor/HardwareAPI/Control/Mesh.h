// A triangle mesh touched through a proxy: a point that follows the effector
// but never crosses the surface, pulled to it by a spring. Thin objects are
// not pushed through, edges and concave corners hold, and friction acts on
// the proxy. The mesh may be moved and turned while a loop renders it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Vantor/HardwareAPI/Control/Effects.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

struct MeshParams {
    double stiffness;              // N/m, above 0: of the spring from effector to proxy
    double damping = 0.0;          // N s/m, 0 or more: along the contact normal
    double static_friction = 0.0;  // 0 or more: the proxy sticks while tangential <= this x normal force
    double dynamic_friction = 0.0; // 0 to static_friction: sliding, tangential = this x normal force
};
// The parameters as the mesh keeps them; std::invalid_argument names a bad one.
MeshParams Checked(MeshParams params);

// Where the mesh is: a point x of the mesh is at rotation x + translation.
struct MeshPose {
    Vector3d translation{0, 0, 0};                          // m
    std::array<double, 9> rotation{1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major, a rotation (orthonormal, det +1)
};
// std::invalid_argument for a translation that is not finite or a matrix
// that is not a rotation within 1e-6.
MeshPose Checked(MeshPose pose);

using Triangle = std::array<int64_t, 3>;  // indices into the vertices

// The mesh's surface is touched from the side its triangles face: the
// normal (b - a) x (c - a) of a triangle (a, b, c) points out, into free
// space; a closed mesh is solid, an open one a sheet with one touchable
// side. The proxy starts at the effector (at the loop's first cycle, and
// at each new effect or schedule); an effector that starts inside feels
// nothing until it has come out, since the proxy only stops at a surface
// it crosses from outside.
class Mesh : public Effect {
public:
    // Builds the search tree here, on the caller's thread. Throws
    // std::invalid_argument for a vertex that is not finite, an index out of
    // range, no triangle with an area, or a bad parameter. Degenerate
    // triangles (no area) are skipped and counted.
    Mesh(const std::vector<Vector3d>& vertices, const std::vector<Triangle>& triangles, const MeshParams& params);
    ~Mesh() override;
    Mesh(const Mesh&) = delete;
    Mesh& operator=(const Mesh&) = delete;

    Vector3d Force(const EffectInput& input) override;
    void Restart(const EffectInput& input) override;
    bool Proxy(Vector3d& position) const override;
    bool KeepsLoopState() const override { return true; }
    std::string Name() const override { return "a Mesh"; }

    // Any thread; a refused value leaves the one in force.
    MeshParams params() const;
    void set_params(const MeshParams& params);
    MeshPose pose() const;
    void set_pose(const MeshPose& pose);

    std::size_t triangle_count() const;  // rendered: those with an area
    std::size_t skipped_triangles() const;  // degenerate, left out

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
