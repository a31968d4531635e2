// The mesh effect and its proxy, called directly cycle by cycle: no loop, no
// timing. Positions in m, forces in N.
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Control/MeshTree.h"
#include "Vantor/HardwareAPI/Control/Mesh.h"

using namespace Vantor::HardwareAPI::Control;

namespace {

constexpr double kStiffness = 1000.0;

struct Builder {
    std::vector<Vector3d> vertices;
    std::vector<Triangle> triangles;

    // A quad a b c d, its triangles turned to face out along `out`.
    void Quad(const Vector3d& a, const Vector3d& b, const Vector3d& c, const Vector3d& d, const Vector3d& out) {
        const auto base = static_cast<int64_t>(vertices.size());
        vertices.insert(vertices.end(), {a, b, c, d});
        const Vector3d e1{b[0] - a[0], b[1] - a[1], b[2] - a[2]}, e2{c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        const Vector3d n{e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
        if (n[0] * out[0] + n[1] * out[1] + n[2] * out[2] > 0) {
            triangles.push_back({base, base + 1, base + 2});
            triangles.push_back({base, base + 2, base + 3});
        } else {
            triangles.push_back({base, base + 2, base + 1});
            triangles.push_back({base, base + 3, base + 2});
        }
    }
    // A closed box, its faces out.
    void Box(const Vector3d& l, const Vector3d& u) {
        Quad({l[0], l[1], u[2]}, {u[0], l[1], u[2]}, {u[0], u[1], u[2]}, {l[0], u[1], u[2]}, {0, 0, 1});
        Quad({l[0], l[1], l[2]}, {u[0], l[1], l[2]}, {u[0], u[1], l[2]}, {l[0], u[1], l[2]}, {0, 0, -1});
        Quad({u[0], l[1], l[2]}, {u[0], u[1], l[2]}, {u[0], u[1], u[2]}, {u[0], l[1], u[2]}, {1, 0, 0});
        Quad({l[0], l[1], l[2]}, {l[0], u[1], l[2]}, {l[0], u[1], u[2]}, {l[0], l[1], u[2]}, {-1, 0, 0});
        Quad({l[0], u[1], l[2]}, {u[0], u[1], l[2]}, {u[0], u[1], u[2]}, {l[0], u[1], u[2]}, {0, 1, 0});
        Quad({l[0], l[1], l[2]}, {u[0], l[1], l[2]}, {u[0], l[1], u[2]}, {l[0], l[1], u[2]}, {0, -1, 0});
    }
    // The sheet z = 0 over [-r, r]^2, facing +z.
    void Floor(double r) { Quad({-r, -r, 0}, {r, -r, 0}, {r, r, 0}, {-r, r, 0}, {0, 0, 1}); }
    std::shared_ptr<Mesh> Make(MeshParams p = {kStiffness}) { return std::make_shared<Mesh>(vertices, triangles, p); }
};

EffectInput At(const Vector3d& p, const Vector3d& v = {0, 0, 0}) { return {p, v, 0.0, 0.001}; }

// Moves the effector from `from` to `to` in steps of at most 0.5 mm, as a
// hand would over cycles; the force at `to`.
Vector3d Travel(Mesh& mesh, const Vector3d& from, const Vector3d& to) {
    const double length = std::sqrt((to[0] - from[0]) * (to[0] - from[0]) + (to[1] - from[1]) * (to[1] - from[1]) +
                                    (to[2] - from[2]) * (to[2] - from[2]));
    const int steps = std::max(1, static_cast<int>(std::ceil(length / 0.0005)));
    Vector3d f{0, 0, 0};
    for (int i = 1; i <= steps; ++i) {
        const double s = static_cast<double>(i) / steps;
        f = mesh.Force(At({from[0] + s * (to[0] - from[0]), from[1] + s * (to[1] - from[1]), from[2] + s * (to[2] - from[2])}));
    }
    return f;
}

Vector3d ProxyOf(const Mesh& mesh) {
    Vector3d p{};
    EXPECT_TRUE(mesh.Proxy(p));
    return p;
}

double Norm(const Vector3d& a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }

constexpr double kTol = 1e-6;  // N: the hair the proxy keeps outside, times the stiffness, and rounding

}  // namespace

TEST(Mesh, FacePushesOutByTheDepth) {
    Builder b;
    b.Box({-0.02, -0.02, -0.02}, {0.02, 0.02, 0.02});
    auto mesh = b.Make();
    mesh->Restart(At({0.003, 0.001, 0.03}));
    const Vector3d f = Travel(*mesh, {0.003, 0.001, 0.03}, {0.003, 0.001, 0.018});
    EXPECT_NEAR(f[0], 0, kTol);
    EXPECT_NEAR(f[1], 0, kTol);
    EXPECT_NEAR(f[2], kStiffness * 0.002, 1e-3);
    EXPECT_NEAR(ProxyOf(*mesh)[2], 0.02, 1e-6);
    // Out again: no force, the proxy back at the effector.
    const Vector3d free = Travel(*mesh, {0.003, 0.001, 0.018}, {0.003, 0.001, 0.025});
    EXPECT_EQ(free, (Vector3d{0, 0, 0}));
    EXPECT_NEAR(ProxyOf(*mesh)[2], 0.025, 1e-12);
}

// A reading that is not a number (the loop faults on it) must not move the
// proxy: the next good reading, still pressed in, is pushed out as before.
TEST(Mesh, ABadReadingLeavesTheProxyOutside) {
    Builder b;
    b.Box({-0.02, -0.02, -0.02}, {0.02, 0.02, 0.02});
    auto mesh = b.Make();
    mesh->Restart(At({0.003, 0.001, 0.03}));
    Travel(*mesh, {0.003, 0.001, 0.03}, {0.003, 0.001, 0.018});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(mesh->Force(At({nan, 0.001, 0.018})), (Vector3d{0, 0, 0}));
    EXPECT_NEAR(ProxyOf(*mesh)[2], 0.02, 1e-6);
    const Vector3d f = mesh->Force(At({0.003, 0.001, 0.018}));
    EXPECT_NEAR(f[2], kStiffness * 0.002, 1e-3);
    // A new run that starts on a bad reading is placed at the first good one.
    mesh->Restart(At({nan, nan, nan}));
    Vector3d none{};
    EXPECT_FALSE(mesh->Proxy(none));
    EXPECT_EQ(mesh->Force(At({0.003, 0.001, 0.03})), (Vector3d{0, 0, 0}));
    EXPECT_NEAR(ProxyOf(*mesh)[2], 0.03, 1e-12);
}

TEST(Mesh, ThinPlateHoldsTheTouchedSideWhenTheEffectorIsFarThrough) {
    Builder b;
    b.Box({-0.05, -0.05, 0.0}, {0.05, 0.05, 0.001});  // 1 mm thick
    auto mesh = b.Make();
    mesh->Restart(At({0, 0, 0.01}));
    for (const double z : {0.0008, 0.0004, -0.0005, -0.002, -0.01}) {  // past the middle, out of the far face
        const Vector3d f = Travel(*mesh, {0, 0, 0.01}, {0, 0, z});
        EXPECT_NEAR(f[2], kStiffness * (0.001 - z), 1e-3) << z;
        EXPECT_GT(f[2], 0) << z;
        EXPECT_NEAR(ProxyOf(*mesh)[2], 0.001, 1e-6) << z;
        mesh->Restart(At({0, 0, 0.01}));
    }
    // From below, the bottom face is the touched one.
    mesh->Restart(At({0, 0, -0.01}));
    const Vector3d up = Travel(*mesh, {0, 0, -0.01}, {0, 0, 0.003});
    EXPECT_NEAR(up[2], -kStiffness * 0.003, 1e-3);
}

TEST(Mesh, ConvexEdgeAndVertexPushOutwithoutJumps) {
    Builder b;
    b.Box({-0.02, -0.02, -0.02}, {0.02, 0.02, 0.02});
    auto mesh = b.Make();
    // Onto the top face near the edge x = 0.02, then around inside the edge.
    mesh->Restart(At({0.015, 0, 0.03}));
    Vector3d last = Travel(*mesh, {0.015, 0, 0.03}, {0.019, 0, 0.019});
    Vector3d p{0.019, 0, 0.019};
    for (int i = 0; i < 400; ++i) {
        const double a = i * 0.05;
        const Vector3d next{0.0185 + 0.0007 * std::cos(a), 0.001 * std::sin(a), 0.0185 + 0.0007 * std::sin(a)};
        const Vector3d f = mesh->Force(At(next));
        const Vector3d step{next[0] - p[0], next[1] - p[1], next[2] - p[2]};
        const Vector3d change{f[0] - last[0], f[1] - last[1], f[2] - last[2]};
        // Continuous: the force changes no more than the spring over the step.
        EXPECT_LE(Norm(change), kStiffness * Norm(step) * 1.01 + kTol) << i;
        EXPECT_GE(f[0] + f[2], 0) << i;  // never into the cube
        const Vector3d proxy = ProxyOf(*mesh);
        EXPECT_TRUE(proxy[0] >= 0.02 - 1e-9 || proxy[2] >= 0.02 - 1e-9) << i;  // on or outside the surface
        last = f;
        p = next;
    }
    // A vertex, come at along the diagonal: out of the cube, not into it.
    mesh->Restart(At({0.03, 0.03, 0.03}));
    const Vector3d f = Travel(*mesh, {0.03, 0.03, 0.03}, {0.019, 0.019, 0.019});
    EXPECT_GT(f[0] + f[1] + f[2], kStiffness * 0.001 - 1e-3);
    const Vector3d proxy = ProxyOf(*mesh);
    EXPECT_GE(std::max({proxy[0], proxy[1], proxy[2]}), 0.02 - 1e-9);
}

TEST(Mesh, ConcaveCornersHoldOnTwoAndThreePlanes) {
    Builder b;  // an L: the floor z = 0 for x > 0, the wall x = 0 for z > 0
    b.Quad({0, -0.05, 0}, {0.05, -0.05, 0}, {0.05, 0.05, 0}, {0, 0.05, 0}, {0, 0, 1});
    b.Quad({0, -0.05, 0}, {0, 0.05, 0}, {0, 0.05, 0.05}, {0, -0.05, 0.05}, {1, 0, 0});
    auto mesh = b.Make();
    mesh->Restart(At({0.01, 0, 0.01}));
    const Vector3d f = Travel(*mesh, {0.01, 0, 0.01}, {-0.001, 0.002, -0.002});
    EXPECT_NEAR(f[0], kStiffness * 0.001, 1e-3);
    EXPECT_NEAR(f[1], 0, 1e-3);
    EXPECT_NEAR(f[2], kStiffness * 0.002, 1e-3);
    // Held still: the same force every cycle.
    for (int i = 0; i < 100; ++i) {
        const Vector3d again = mesh->Force(At({-0.001, 0.002, -0.002}));
        EXPECT_NEAR(Norm({again[0] - f[0], again[1] - f[1], again[2] - f[2]}), 0, 1e-9) << i;
    }

    b.Quad({0, 0, 0}, {0.05, 0, 0}, {0.05, 0, 0.05}, {0, 0, 0.05}, {0, 1, 0});  // a third wall, y = 0
    auto corner = b.Make();
    corner->Restart(At({0.01, 0.01, 0.01}));
    const Vector3d g = Travel(*corner, {0.01, 0.01, 0.01}, {-0.001, -0.002, -0.003});
    EXPECT_NEAR(g[0], kStiffness * 0.001, 1e-3);
    EXPECT_NEAR(g[1], kStiffness * 0.002, 1e-3);
    EXPECT_NEAR(g[2], kStiffness * 0.003, 1e-3);
}

TEST(Mesh, OpenSheetIsTouchedFromTheSideItFacesOnly) {
    Builder b;
    b.Floor(0.05);
    auto mesh = b.Make();
    mesh->Restart(At({0, 0, -0.01}));
    EXPECT_EQ(Travel(*mesh, {0, 0, -0.01}, {0, 0, 0.003}), (Vector3d{0, 0, 0}));  // up through its back
    const Vector3d f = Travel(*mesh, {0, 0, 0.003}, {0, 0, -0.002});             // down onto its face
    EXPECT_NEAR(f[2], kStiffness * 0.002, 1e-3);
}

// Pressed deep into a tilted sheet and moved about on it: the proxy lands
// on the surface each cycle and must never be taken for behind it on the
// next, or it falls through and the force vanishes.
TEST(Mesh, AProxyOnATiltedSurfaceNeverFallsThrough) {
    const Vector3d n0{0.31, -0.47, 0.83};
    const double l = Norm(n0);
    const Vector3d n{n0[0] / l, n0[1] / l, n0[2] / l};
    const Vector3d u0{0.83, 0.0, -0.31};  // in the plane
    const double lu = Norm(u0);
    const Vector3d u{u0[0] / lu, u0[1] / lu, u0[2] / lu};
    const Vector3d w{n[1] * u[2] - n[2] * u[1], n[2] * u[0] - n[0] * u[2], n[0] * u[1] - n[1] * u[0]};
    const Vector3d o{0.0123, -0.0071, 0.0037};
    auto at = [&](double a, double b, double h) {
        return Vector3d{o[0] + a * u[0] + b * w[0] + h * n[0], o[1] + a * u[1] + b * w[1] + h * n[1],
                        o[2] + a * u[2] + b * w[2] + h * n[2]};
    };
    Builder b;
    b.Quad(at(-0.1, -0.1, 0), at(0.1, -0.1, 0), at(0.1, 0.1, 0), at(-0.1, 0.1, 0), n);
    auto mesh = b.Make();
    mesh->Restart(At(at(0, 0, 0.01)));
    Travel(*mesh, at(0, 0, 0.01), at(0, 0, -0.002));
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(-0.0001, 0.0001);
    double a = 0, c = 0;
    for (int i = 0; i < 20000; ++i) {
        a += jitter(random);
        c += jitter(random);
        const Vector3d f = mesh->Force(At(at(a, c, -0.002 + 0.1 * jitter(random))));
        ASSERT_NEAR(f[0] * n[0] + f[1] * n[1] + f[2] * n[2], 2.0, 0.11) << i;
    }
}

// Fast into the valley of a floor and a gentle ramp: the segment meets the
// floor first, then the ramp; the floor would pull the proxy into the valley
// and must be let go of, leaving it on the ramp where the effector is.
TEST(Mesh, AValleyLeftAlongOneFaceLetsGoOfTheOther) {
    Builder b;
    b.Quad({-0.05, -0.05, 0}, {0, -0.05, 0}, {0, 0.05, 0}, {-0.05, 0.05, 0}, {0, 0, 1});  // floor, x < 0
    b.Quad({0, -0.05, 0}, {0.05, -0.05, 0.0375}, {0.05, 0.05, 0.0375}, {0, 0.05, 0}, {-0.6, 0, 0.8});  // z = 0.75 x
    auto mesh = b.Make();
    mesh->Restart(At({-0.01, 0, 0.0005}));
    const Vector3d f = mesh->Force(At({0.004, 0, -0.001}));  // 3.2 mm below the ramp, in one cycle
    EXPECT_NEAR(f[0], -0.6 * 3.2, 1e-3);
    EXPECT_NEAR(f[1], 0, 1e-3);
    EXPECT_NEAR(f[2], 0.8 * 3.2, 1e-3);
}

// Open sheets crossed from behind are not there: a floor beyond eight of
// them is felt in the same cycle, the proxy's moves not spent on them.
TEST(Mesh, SheetsCrossedFromBehindCostTheProxyNothing) {
    Builder b;
    b.Floor(0.05);
    for (int k = 1; k <= 8; ++k) {
        const double z = 0.001 * k;
        b.Quad({-0.05, -0.05, z}, {0.05, -0.05, z}, {0.05, 0.05, z}, {-0.05, 0.05, z}, {0, 0, -1});  // facing down
    }
    auto mesh = b.Make();
    mesh->Restart(At({0, 0, 0.01}));
    const Vector3d f = mesh->Force(At({0, 0, -0.002}));
    EXPECT_NEAR(f[2], kStiffness * 0.002, 1e-3);
    EXPECT_NEAR(ProxyOf(*mesh)[2], 0, 1e-6);
}

TEST(Mesh, StartingInsideRendersNothingUntilOut) {
    Builder b;
    b.Box({-0.02, -0.02, -0.02}, {0.02, 0.02, 0.02});
    auto mesh = b.Make();
    mesh->Restart(At({0, 0, 0.01}));
    EXPECT_EQ(Travel(*mesh, {0, 0, 0.01}, {0, 0, 0.025}), (Vector3d{0, 0, 0}));  // out through the top
    EXPECT_NEAR(Travel(*mesh, {0, 0, 0.025}, {0, 0, 0.019})[2], kStiffness * 0.001, 1e-3);  // and back in: felt
}

TEST(Mesh, DegenerateTrianglesAreSkippedAndCounted) {
    Builder b;
    b.Floor(0.05);
    b.vertices.push_back({0.1, 0, 0});
    b.vertices.push_back({0.2, 0, 0});
    b.vertices.push_back({0.3, 0, 0});  // on one line
    b.triangles.push_back({4, 5, 6});
    b.triangles.push_back({0, 0, 1});  // a repeated corner
    auto mesh = b.Make();
    EXPECT_EQ(mesh->triangle_count(), 2u);
    EXPECT_EQ(mesh->skipped_triangles(), 2u);
    mesh->Restart(At({0, 0, 0.01}));
    EXPECT_NEAR(Travel(*mesh, {0, 0, 0.01}, {0, 0, -0.001})[2], 1.0, 1e-3);

    Builder none;
    none.vertices = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    none.triangles = {{0, 1, 2}};
    try {
        none.Make();
        FAIL() << "a mesh of degenerate triangles only";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("1 of them degenerate"), std::string::npos) << e.what();
    }
}

TEST(Mesh, RefusesBadInputNamingIt) {
    auto refused = [](std::vector<Vector3d> v, std::vector<Triangle> t, MeshParams p) -> std::string {
        try {
            Mesh mesh(v, t, p);
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
        return "";
    };
    const std::vector<Vector3d> v{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const std::vector<Triangle> t{{0, 1, 2}};
    EXPECT_EQ(refused({{0, 0, 0}, {NAN, 0, 0}, {0, 1, 0}}, t, {1.0}).rfind("vertices", 0), 0u);
    EXPECT_EQ(refused(v, {{0, 1, 3}}, {1.0}).rfind("triangles", 0), 0u);
    EXPECT_EQ(refused(v, {{-1, 1, 2}}, {1.0}).rfind("triangles", 0), 0u);
    EXPECT_EQ(refused(v, t, {0.0}).rfind("stiffness", 0), 0u);
    EXPECT_EQ(refused(v, t, {1.0, -1.0}).rfind("damping", 0), 0u);
    EXPECT_EQ(refused(v, t, {1.0, 0.0, -0.1}).rfind("static_friction", 0), 0u);
    EXPECT_EQ(refused(v, t, {1.0, 0.0, 0.3, 0.4}).rfind("dynamic_friction", 0), 0u);
    EXPECT_EQ(refused(v, t, {1.0, 0.0, 0.4, 0.3}), "");

    Mesh mesh(v, t, {100.0, 1.0});
    EXPECT_THROW(mesh.set_params({-5.0}), std::invalid_argument);
    EXPECT_EQ(mesh.params().stiffness, 100.0);
    MeshPose turned;
    turned.rotation = {1, 0, 0, 0, 1, 0, 0, 0, -1};  // a reflection
    EXPECT_THROW(mesh.set_pose(turned), std::invalid_argument);
    turned.rotation = {1, 0, 0, 0, 2, 0, 0, 0, 1};
    EXPECT_THROW(mesh.set_pose(turned), std::invalid_argument);
    turned.rotation = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    turned.translation = {0, INFINITY, 0};
    EXPECT_THROW(mesh.set_pose(turned), std::invalid_argument);
    EXPECT_EQ(mesh.pose().translation, (Vector3d{0, 0, 0}));
}

TEST(Mesh, StaticFrictionHoldsWithinTheConeAndSlidesAtTheDynamicCoefficient) {
    Builder b;
    b.Floor(0.2);
    auto mesh = b.Make({kStiffness, 0.0, 0.4, 0.3});
    mesh->Restart(At({0, 0, 0.01}));
    Vector3d f = Travel(*mesh, {0, 0, 0.01}, {0, 0, -0.002});  // 2 N normal
    EXPECT_NEAR(f[2], 2.0, 1e-3);
    EXPECT_NEAR(f[0], 0, kTol);
    f = Travel(*mesh, {0, 0, -0.002}, {0.0007, 0, -0.002});  // 0.7 N of 0.8 N: held
    EXPECT_NEAR(f[0], -0.7, 1e-3);
    EXPECT_NEAR(ProxyOf(*mesh)[0], 0, 1e-9);
    f = Travel(*mesh, {0.0007, 0, -0.002}, {0.01, 0, -0.002});  // beyond: slides
    EXPECT_NEAR(f[0], -0.3 * f[2], 1e-3);
    EXPECT_NEAR(f[2], 2.0, 1e-3);
    EXPECT_NEAR(ProxyOf(*mesh)[0], 0.01 - 0.0006, 1e-6);
    // Frictionless, the same path leaves no sideways force.
    mesh->set_params({kStiffness});
    EXPECT_NEAR(Travel(*mesh, {0.01, 0, -0.002}, {0.02, 0, -0.002})[0], 0, kTol);
}

// Dragged in steps far smaller than the gap between the two cones, as an
// arm slides: once broken away the proxy keeps sliding on the dynamic cone,
// and sticks again when the device stops.
TEST(Mesh, SlidingKeepsTheDynamicCoefficientAndSticksAgainWhenStopped) {
    Builder b;
    b.Floor(0.2);
    auto mesh = b.Make({kStiffness, 0.0, 0.4, 0.3});
    mesh->Restart(At({0, 0, 0.01}));
    Travel(*mesh, {0, 0, 0.01}, {0, 0, -0.002});  // 2 N normal: cones of 0.8 N and 0.6 N
    constexpr double kStep = 0.00001;             // 10 um a cycle; the cones are 200 um apart
    double x = 0;
    Vector3d f{};
    for (int i = 0; i < 100; ++i) f = mesh->Force(At({x += kStep, 0, -0.002}));  // 1 mm: broken away
    ASSERT_GT(ProxyOf(*mesh)[0], 0.0001);
    for (int i = 0; i < 200; ++i) {  // steady sliding, every cycle
        f = mesh->Force(At({x += kStep, 0, -0.002}));
        EXPECT_NEAR(f[2], 2.0, 1e-3) << i;
        EXPECT_NEAR(-f[0], 0.3 * f[2], 0.01 * 0.3 * f[2]) << i;
        EXPECT_NEAR(ProxyOf(*mesh)[0], x - 0.0006, 1e-7) << i;
    }
    // Stopped: held where it is, the force unchanged.
    const double held = ProxyOf(*mesh)[0];
    for (int i = 0; i < 10; ++i) EXPECT_NEAR(mesh->Force(At({x, 0, -0.002}))[0], f[0], 1e-9) << i;
    // Stuck again: pulled on to 0.75 N (past the dynamic cone, within the
    // static one) it does not move; past 0.8 N it breaks away again.
    for (int i = 0; i < 15; ++i) f = mesh->Force(At({x += kStep, 0, -0.002}));
    EXPECT_NEAR(f[0], -0.75, 1e-4);  // the hair in the depth
    EXPECT_EQ(ProxyOf(*mesh)[0], held);
    for (int i = 0; i < 6; ++i) f = mesh->Force(At({x += kStep, 0, -0.002}));
    EXPECT_NEAR(f[0], -0.6, 1e-4);  // the hair in the depth
    EXPECT_GT(ProxyOf(*mesh)[0], held);
    // Back a little: the pull falls below the dynamic cone, and it holds.
    for (int i = 0; i < 5; ++i) f = mesh->Force(At({x -= kStep, 0, -0.002}));
    EXPECT_NEAR(f[0], -0.55, 1e-4);  // the hair in the depth
}

TEST(Mesh, DampingActsAlongTheNormalAndNeverPulls) {
    Builder b;
    b.Floor(0.05);
    auto mesh = b.Make({kStiffness, 10.0});
    mesh->Restart(At({0, 0, 0.01}));
    Travel(*mesh, {0, 0, 0.01}, {0, 0, -0.002});
    const Vector3d in = mesh->Force(At({0, 0, -0.002}, {0.05, 0, -0.1}));
    EXPECT_NEAR(in[2], 2.0 + 1.0, 1e-3);
    EXPECT_NEAR(in[0], 0, kTol);  // not along the surface
    const Vector3d out = mesh->Force(At({0, 0, -0.002}, {0, 0, 1.0}));  // leaving fast: no pull
    EXPECT_EQ(out[2], 0.0);
}

TEST(Mesh, MovedIntoTheEffectorItPushesTheProxyAlong) {
    Builder b;
    b.Floor(0.05);
    auto mesh = b.Make();
    mesh->Restart(At({0, 0, 0.005}));
    EXPECT_EQ(mesh->Force(At({0, 0, 0.005})), (Vector3d{0, 0, 0}));
    MeshPose pose;
    Vector3d f{};
    for (int mm = 1; mm <= 8; ++mm) {
        pose.translation = {0, 0, mm * 0.001};
        mesh->set_pose(pose);
        f = mesh->Force(At({0, 0, 0.005}));
    }
    EXPECT_NEAR(f[2], kStiffness * 0.003, 1e-3);
    EXPECT_NEAR(ProxyOf(*mesh)[2], 0.008, 1e-6);
    // Turned a quarter about x, its face looks along -y.
    pose.translation = {0, 0, 0};
    pose.rotation = {1, 0, 0, 0, 0, -1, 0, 1, 0};
    mesh->set_pose(pose);
    mesh->Restart(At({0, -0.01, 0}));
    f = Travel(*mesh, {0, -0.01, 0}, {0, 0.002, 0});
    EXPECT_NEAR(f[1], -kStiffness * 0.002, 1e-3);
    EXPECT_NEAR(f[2], 0, kTol);
}

TEST(Mesh, SumReportsTheProxyOfItsMesh) {
    Builder b;
    b.Floor(0.05);
    auto mesh = b.Make();
    Sum sum({std::make_shared<Damper>(Damper::Params{0.0}), mesh});
    Vector3d p{};
    EXPECT_FALSE(Damper(Damper::Params{0.0}).Proxy(p));
    sum.Restart(At({0, 0, 0.01}));
    sum.Force(At({0, 0, -0.001}));
    ASSERT_TRUE(sum.Proxy(p));
    EXPECT_NEAR(p[2], 0, 1e-6);
}

// The tree's answer against every triangle tried in turn, on a bumpy sheet.
TEST(MeshTree, FirstCrossingAgreesWithAScanOfEveryTriangle) {
    std::vector<MeshTriangle> triangles;
    const int n = 60;
    auto height = [](double x, double y) { return 0.01 * std::sin(40 * x) * std::cos(30 * y); };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double x0 = -0.1 + 0.2 * i / n, x1 = -0.1 + 0.2 * (i + 1) / n;
            const double y0 = -0.1 + 0.2 * j / n, y1 = -0.1 + 0.2 * (j + 1) / n;
            const Vector3d a{x0, y0, height(x0, y0)}, b{x1, y0, height(x1, y0)}, c{x1, y1, height(x1, y1)},
                d{x0, y1, height(x0, y1)};
            for (const auto& tri : {std::array<Vector3d, 3>{a, b, c}, std::array<Vector3d, 3>{a, c, d}}) {
                const Vector3d e1{tri[1][0] - tri[0][0], tri[1][1] - tri[0][1], tri[1][2] - tri[0][2]};
                const Vector3d e2{tri[2][0] - tri[0][0], tri[2][1] - tri[0][1], tri[2][2] - tri[0][2]};
                Vector3d nn{e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
                const double l = Norm(nn);
                triangles.push_back({tri[0], e1, e2, {nn[0] / l, nn[1] / l, nn[2] / l}});
            }
        }
    const std::vector<MeshTriangle> all = triangles;
    const MeshTree tree(triangles);
    EXPECT_LE(tree.depth(), 14u);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> u(-0.12, 0.12);
    std::vector<MeshTree> singles;
    singles.reserve(all.size());
    for (const MeshTriangle& t : all) singles.emplace_back(std::vector<MeshTriangle>{t});
    int hits = 0;
    for (int k = 0; k < 2000; ++k) {
        const Vector3d p{u(random), u(random), u(random) * 0.3}, q{u(random), u(random), u(random) * 0.3};
        double best = 2;
        for (const MeshTree& single : singles) {
            double s;
            Vector3d nn;
            if (single.FirstCrossing(p, q, s, nn) && s < best) best = s;
        }
        double s = 2;
        Vector3d nn;
        const bool hit = tree.FirstCrossing(p, q, s, nn);
        EXPECT_EQ(hit, best <= 1) << k;
        if (hit) {
            EXPECT_DOUBLE_EQ(s, best) << k;
            ++hits;
        }
    }
    EXPECT_GT(hits, 200);
}

TEST(Mesh, AMillionTrianglesBuildAndAnswer) {
    const int n = 708;  // 2 n^2 > 10^6
    std::vector<Vector3d> vertices;
    vertices.reserve(static_cast<std::size_t>((n + 1) * (n + 1)));
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j) vertices.push_back({-0.1 + 0.2 * i / n, -0.1 + 0.2 * j / n, 0.0});
    std::vector<Triangle> triangles;
    triangles.reserve(static_cast<std::size_t>(2 * n * n));
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) {
            const int64_t a = i * (n + 1) + j, b = (i + 1) * (n + 1) + j;
            triangles.push_back({a, b, b + 1});
            triangles.push_back({a, b + 1, a + 1});
        }
    Mesh mesh(vertices, triangles, {kStiffness});
    EXPECT_EQ(mesh.triangle_count(), triangles.size());
    EXPECT_GE(mesh.triangle_count(), 1000000u);
    std::mt19937 random(3);
    std::uniform_real_distribution<double> u(-0.09, 0.09);
    for (int k = 0; k < 200; ++k) {
        const double x = u(random), y = u(random);
        mesh.Restart(At({x, y, 0.002}));
        const Vector3d f = mesh.Force(At({x + 0.0003, y - 0.0002, -0.0015}));
        EXPECT_NEAR(f[2], kStiffness * 0.0015, 1e-3) << k;
        EXPECT_NEAR(f[0], 0, kTol) << k;
    }
}
