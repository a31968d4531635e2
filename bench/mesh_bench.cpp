// vantor-mesh-bench: a Mesh's cost per cycle against its triangle count, beside
// the primitive effects measured in the same run, and the time to build its
// tree. The effector slides along a bumpy sheet and presses into it, as a
// hand exploring a part does; each figure is over the same path.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "Vantor/HardwareAPI/Control/Effects.h"
#include "Vantor/HardwareAPI/Control/Mesh.h"

using namespace Vantor::HardwareAPI::Control;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCycles = 20000;
constexpr double kHalf = 0.1;  // m: the sheet spans [-kHalf, kHalf]^2

double Height(double x, double y) { return 0.002 * std::sin(60 * x) * std::cos(45 * y); }

struct Sheet {
    std::vector<Vector3d> vertices;
    std::vector<Triangle> triangles;
};

Sheet MakeSheet(std::size_t triangles) {
    const int n = static_cast<int>(std::ceil(std::sqrt(triangles / 2.0)));
    Sheet s;
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j) {
            const double x = -kHalf + 2 * kHalf * i / n, y = -kHalf + 2 * kHalf * j / n;
            s.vertices.push_back({x, y, Height(x, y)});
        }
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) {
            const int64_t a = i * (n + 1) + j, b = (i + 1) * (n + 1) + j;
            s.triangles.push_back({a, b, b + 1});
            s.triangles.push_back({a, b + 1, a + 1});
        }
    return s;
}

// A slow circle over the sheet, dipping 0 to 3 mm into it.
EffectInput PathAt(int k) {
    const double a = k * 2e-4;
    const double x = 0.06 * std::cos(a), y = 0.06 * std::sin(3 * a);
    return {{x, y, Height(x, y) - 0.0015 + 0.0015 * std::sin(40 * a)}, {0, 0, 0}, k * 0.001, 0.001};
}

struct Figures {
    double p50, p99, max;
};

Figures Time(Effect& effect) {
    std::vector<double> ns(kCycles);
    effect.Restart(PathAt(-1));
    double sink = 0;
    for (int k = 0; k < kCycles; ++k) {
        const EffectInput in = PathAt(k);
        const auto start = Clock::now();
        const SplitForce f = effect.Split(in);
        const auto end = Clock::now();
        sink += f.passive[2];
        ns[static_cast<std::size_t>(k)] = std::chrono::duration<double, std::nano>(end - start).count();
    }
    if (sink == 12345.678) std::puts("");
    std::sort(ns.begin(), ns.end());
    return {ns[kCycles / 2] / 1e3, ns[kCycles * 99 / 100] / 1e3, ns.back() / 1e3};
}

void Row(const char* name, const Figures& f, double floor_p99, double build_s) {
    std::printf("%-22s %9.2f %9.2f %9.2f %8.1fx", name, f.p50, f.p99, f.max, f.p99 / floor_p99);
    if (build_s >= 0) std::printf(" %9.3f", build_s);
    std::printf("\n");
}

}  // namespace

int main() {
    Plane plane(Plane::Params{{0, 0, 0}, {0, 0, 1}, 1000, 0});
    Box box(Box::Params{{-1, -1, -0.001}, {1, 1, 1}, 1000, 0});
    Sphere sphere(Sphere::Params{{0, 0, -0.05}, 0.05, 1000, 0, false});
    const Figures plane_f = Time(plane), box_f = Time(box), sphere_f = Time(sphere);
    std::printf("per cycle, us (p50, p99, max), the p99 against the Plane's; tree build, s\n");
    std::printf("%-22s %9s %9s %9s %9s %9s\n", "effect", "p50", "p99", "max", "p99/Plane", "build");
    const double floor_p99 = std::max(plane_f.p99, 1e-3);
    Row("Plane", plane_f, floor_p99, -1);
    Row("Box", box_f, floor_p99, -1);
    Row("Sphere", sphere_f, floor_p99, -1);
    for (const std::size_t count : {1000u, 10000u, 100000u, 1000000u}) {
        const Sheet sheet = MakeSheet(count);
        const auto start = Clock::now();
        Mesh mesh(sheet.vertices, sheet.triangles, {1000, 1.0, 0.4, 0.3});
        const double build_s = std::chrono::duration<double>(Clock::now() - start).count();
        char name[64];
        std::snprintf(name, sizeof name, "Mesh %zu triangles", mesh.triangle_count());
        Row(name, Time(mesh), floor_p99, build_s);
    }
    return 0;
}
