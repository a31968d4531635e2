#include "Vantor/HardwareAPI/Control/Mesh.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "MeshTree.h"
#include "Proxy.h"
#include "Published.h"
#include "VectorMath.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

using vec::Cross;
using vec::Dot;
using vec::Sub;


std::string Text(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

[[noreturn]] void Refuse(const std::string& name, const std::string& why) {
    throw std::invalid_argument(name + " " + why);
}

// R x, and R^T x: into the world, and into the mesh's frame.
Vector3d Turn(const std::array<double, 9>& r, const Vector3d& x) {
    return {r[0] * x[0] + r[1] * x[1] + r[2] * x[2], r[3] * x[0] + r[4] * x[1] + r[5] * x[2],
            r[6] * x[0] + r[7] * x[1] + r[8] * x[2]};
}
Vector3d TurnBack(const std::array<double, 9>& r, const Vector3d& x) {
    return {r[0] * x[0] + r[3] * x[1] + r[6] * x[2], r[1] * x[0] + r[4] * x[1] + r[7] * x[2],
            r[2] * x[0] + r[5] * x[1] + r[8] * x[2]};
}

}  // namespace

MeshParams Checked(MeshParams p) {
    if (!(std::isfinite(p.stiffness) && p.stiffness > 0))
        Refuse("stiffness", "must be a finite number above 0, got " + Text(p.stiffness));
    if (!(std::isfinite(p.damping) && p.damping >= 0))
        Refuse("damping", "must be a finite number, 0 or more, got " + Text(p.damping));
    if (!(std::isfinite(p.static_friction) && p.static_friction >= 0))
        Refuse("static_friction", "must be a finite number, 0 or more, got " + Text(p.static_friction));
    if (!(std::isfinite(p.dynamic_friction) && p.dynamic_friction >= 0 && p.dynamic_friction <= p.static_friction))
        Refuse("dynamic_friction", "must be between 0 and static_friction (" + Text(p.static_friction) + "), got " +
                                       Text(p.dynamic_friction));
    return p;
}

MeshPose Checked(MeshPose pose) {
    for (const double x : pose.translation)
        if (!std::isfinite(x)) Refuse("translation", "must be three finite numbers (m)");
    const auto& r = pose.rotation;
    for (const double x : r)
        if (!std::isfinite(x)) Refuse("rotation", "must be a 3x3 matrix of finite numbers");
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const double dot = r[3 * i] * r[3 * j] + r[3 * i + 1] * r[3 * j + 1] + r[3 * i + 2] * r[3 * j + 2];
            if (std::fabs(dot - (i == j ? 1.0 : 0.0)) > 1e-6)
                Refuse("rotation", "must be a rotation: its rows orthogonal and of length 1 (within 1e-6)");
        }
    const double det = Dot({r[0], r[1], r[2]}, Cross({r[3], r[4], r[5]}, {r[6], r[7], r[8]}));
    if (det < 0) Refuse("rotation", "must be a rotation, not a reflection: its determinant is -1");
    return pose;
}

struct Mesh::Impl {
    Impl(MeshTree built, std::size_t skipped_count, const MeshParams& p)
        : tree(std::move(built)), skipped(skipped_count), params(Checked(p)), pose(MeshPose{}) {}

    const MeshTree tree;
    const std::size_t skipped;
    Published<MeshParams> params;
    Published<MeshPose> pose;

    // The loop's thread only.
    Control::Proxy proxy;  // in the mesh's frame, so it moves with the mesh
    MeshPose cycle_pose;
    bool placed = false;
};

namespace {

MeshTree BuildTree(const std::vector<Vector3d>& vertices, const std::vector<Triangle>& triangles,
                   std::size_t& skipped) {
    for (std::size_t i = 0; i < vertices.size(); ++i)
        for (const double x : vertices[i])
            if (!std::isfinite(x))
                Refuse("vertices", "must be finite numbers: vertex " + std::to_string(i) + " is (" +
                                       Text(vertices[i][0]) + ", " + Text(vertices[i][1]) + ", " +
                                       Text(vertices[i][2]) + ")");
    std::vector<MeshTriangle> kept;
    kept.reserve(triangles.size());
    skipped = 0;
    const auto n = static_cast<int64_t>(vertices.size());
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        const Triangle& t = triangles[i];
        for (const int64_t index : t)
            if (index < 0 || index >= n)
                Refuse("triangles", "must index the vertices (0 to " + std::to_string(n - 1) + "): triangle " +
                                        std::to_string(i) + " has " + std::to_string(index));
        const Vector3d& a = vertices[static_cast<std::size_t>(t[0])];
        const Vector3d e1 = Sub(vertices[static_cast<std::size_t>(t[1])], a);
        const Vector3d e2 = Sub(vertices[static_cast<std::size_t>(t[2])], a);
        const Vector3d normal = Cross(e1, e2);
        const double area2 = std::sqrt(Dot(normal, normal));
        // No area, to rounding: no side to touch it from.
        if (!(area2 > 1e-12 * std::sqrt(Dot(e1, e1) * Dot(e2, e2)))) {
            ++skipped;
            continue;
        }
        kept.push_back(MeshTriangle{a, e1, e2, {normal[0] / area2, normal[1] / area2, normal[2] / area2}});
    }
    if (kept.empty())
        Refuse("triangles", "must hold at least one triangle with an area; got " + std::to_string(triangles.size()) +
                                ", " + std::to_string(skipped) + " of them degenerate");
    return MeshTree(std::move(kept));
}

}  // namespace

Mesh::Mesh(const std::vector<Vector3d>& vertices, const std::vector<Triangle>& triangles, const MeshParams& params) {
    const MeshParams checked = Checked(params);  // before the build, which may be long
    std::size_t skipped = 0;
    MeshTree tree = BuildTree(vertices, triangles, skipped);
    impl_ = std::make_unique<Impl>(std::move(tree), skipped, checked);
}

Mesh::~Mesh() = default;

MeshParams Mesh::params() const { return impl_->params.Load(); }
void Mesh::set_params(const MeshParams& params) { impl_->params.Store(Checked(params)); }
MeshPose Mesh::pose() const { return impl_->pose.Load(); }
void Mesh::set_pose(const MeshPose& pose) { impl_->pose.Store(Checked(pose)); }
std::size_t Mesh::triangle_count() const { return impl_->tree.size(); }
std::size_t Mesh::skipped_triangles() const { return impl_->skipped; }

namespace {

bool Finite(const Vector3d& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

}  // namespace

// A reading that is not a number places nothing: the proxy is placed at the
// first good one.
void Mesh::Restart(const EffectInput& in) {
    Impl& s = *impl_;
    s.placed = false;
    if (!Finite(in.position)) return;
    s.cycle_pose = s.pose.LoadForCycle();
    s.proxy.Place(TurnBack(s.cycle_pose.rotation, Sub(in.position, s.cycle_pose.translation)));
    s.placed = true;
}

Vector3d Mesh::Force(const EffectInput& in) {
    Impl& s = *impl_;
    // A bad reading (the loop faults on it) leaves the proxy where it was,
    // outside the solid, and costs no search.
    if (!Finite(in.position) || !Finite(in.velocity)) return {0, 0, 0};
    if (!s.placed) Restart(in);
    const MeshParams p = s.params.LoadForCycle();
    s.cycle_pose = s.pose.LoadForCycle();
    const auto& r = s.cycle_pose.rotation;
    const Vector3d device = TurnBack(r, Sub(in.position, s.cycle_pose.translation));
    const ProxyContact c = s.proxy.Step(s.tree, device, p.static_friction, p.dynamic_friction);
    if (c.planes == 0) return {0, 0, 0};
    Vector3d force = Sub(c.proxy, device);
    for (double& x : force) x *= p.stiffness;
    // Damping along the contact normal (the frictionless offset), never
    // pulling the effector into the surface.
    const Vector3d offset = Sub(c.frictionless, device);
    const double depth = std::sqrt(Dot(offset, offset));
    if (depth > 0) {
        const Vector3d n{offset[0] / depth, offset[1] / depth, offset[2] / depth};
        const double along = Dot(force, n);
        const double wanted = std::max(0.0, along - p.damping * Dot(TurnBack(r, in.velocity), n));
        for (int i = 0; i < 3; ++i) force[static_cast<std::size_t>(i)] += (wanted - along) * n[static_cast<std::size_t>(i)];
    }
    return Turn(r, force);
}

bool Mesh::Proxy(Vector3d& position) const {
    const Impl& s = *impl_;
    if (!s.placed) return false;
    const Vector3d world = Turn(s.cycle_pose.rotation, s.proxy.position());
    for (int i = 0; i < 3; ++i) position[static_cast<std::size_t>(i)] = world[static_cast<std::size_t>(i)] + s.cycle_pose.translation[static_cast<std::size_t>(i)];
    return true;
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
