#include "MeshTree.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "VectorMath.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

using vec::Cross;
using vec::Dot;
using vec::Sub;

constexpr uint32_t kLeafSize = 4;


// Barycentric slack at the edges, so a segment through the edge shared by two
// triangles meets one of them at least.
constexpr double kEdgeSlack = 1e-9;

// Moller-Trumbore: where the segment p + s d, s in [0, 1], meets the triangle.
bool Crosses(const MeshTriangle& tri, const Vector3d& p, const Vector3d& d, double& s) {
    const Vector3d h = Cross(d, tri.e2);
    const double det = Dot(tri.e1, h);
    if (std::fabs(det) < 1e-300) return false;
    const double inv = 1.0 / det;
    const Vector3d w = Sub(p, tri.a);
    const double u = Dot(w, h) * inv;
    if (u < -kEdgeSlack || u > 1 + kEdgeSlack) return false;
    const Vector3d qv = Cross(w, tri.e1);
    const double v = Dot(d, qv) * inv;
    if (v < -kEdgeSlack || u + v > 1 + kEdgeSlack) return false;
    s = Dot(tri.e2, qv) * inv;
    return s >= 0 && s <= 1;
}

}  // namespace

MeshTree::MeshTree(std::vector<MeshTriangle> triangles) : triangles_(std::move(triangles)) {
    if (triangles_.size() >= std::numeric_limits<uint32_t>::max() / 2)
        throw std::invalid_argument("triangles: at most 2^31 triangles");
    const auto n = static_cast<uint32_t>(triangles_.size());
    std::vector<uint32_t> order(n);
    std::vector<Vector3d> centers(n);
    for (uint32_t i = 0; i < n; ++i) {
        order[i] = i;
        const MeshTriangle& t = triangles_[i];
        for (int k = 0; k < 3; ++k) centers[i][k] = t.a[k] + (t.e1[k] + t.e2[k]) / 3.0;
    }
    nodes_.reserve(n == 0 ? 1 : 2 * (n / kLeafSize + 1));
    Build(order, centers, 0, n, 1);
    std::vector<MeshTriangle> sorted;
    sorted.reserve(n);
    for (const uint32_t i : order) sorted.push_back(triangles_[i]);
    triangles_ = std::move(sorted);
}

// Median split along the widest extent of the centers: the depth stays near
// log2(n / kLeafSize), which the walk's fixed stack relies on.
uint32_t MeshTree::Build(std::vector<uint32_t>& order, std::vector<Vector3d>& centers, uint32_t begin, uint32_t end,
                         std::size_t depth) {
    depth_ = std::max(depth_, depth);
    const auto index = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back(Node{});
    Node node{};
    double clow[3], chigh[3];
    for (int k = 0; k < 3; ++k) {
        node.lower[k] = clow[k] = std::numeric_limits<double>::infinity();
        node.upper[k] = chigh[k] = -std::numeric_limits<double>::infinity();
    }
    for (uint32_t i = begin; i < end; ++i) {
        const MeshTriangle& t = triangles_[order[i]];
        for (int k = 0; k < 3; ++k) {
            const double a = t.a[k], b = t.a[k] + t.e1[k], c = t.a[k] + t.e2[k];
            node.lower[k] = std::min({node.lower[k], a, b, c});
            node.upper[k] = std::max({node.upper[k], a, b, c});
            clow[k] = std::min(clow[k], centers[order[i]][k]);
            chigh[k] = std::max(chigh[k], centers[order[i]][k]);
        }
    }
    if (end - begin <= kLeafSize) {
        node.first = begin;
        node.count = end - begin;
        nodes_[index] = node;
        return index;
    }
    int axis = 0;
    for (int k = 1; k < 3; ++k)
        if (chigh[k] - clow[k] > chigh[axis] - clow[axis]) axis = k;
    const uint32_t middle = begin + (end - begin) / 2;
    std::nth_element(order.begin() + begin, order.begin() + middle, order.begin() + end,
                     [&](uint32_t x, uint32_t y) { return centers[x][axis] < centers[y][axis]; });
    Build(order, centers, begin, middle, depth + 1);  // at index + 1
    node.first = Build(order, centers, middle, end, depth + 1);
    node.count = 0;
    nodes_[index] = node;
    return index;
}

bool MeshTree::FirstCrossing(const Vector3d& p, const Vector3d& q, double& t, Vector3d& normal) const {
    if (nodes_.empty() || triangles_.empty()) return false;
    const Vector3d d = Sub(q, p);
    double inverse[3];
    for (int k = 0; k < 3; ++k) inverse[k] = 1.0 / d[k];  // +-inf along an axis it does not move on
    double best = 2.0;
    const MeshTriangle* hit = nullptr;
    uint32_t stack[kMaxDepth + 1];
    std::size_t top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const Node& node = nodes_[stack[--top]];
        // The segment against the node's box, up to the best crossing so far.
        double enter = 0.0, leave = std::min(best, 1.0);
        bool misses = false;
        for (int k = 0; k < 3 && !misses; ++k) {
            if (d[k] == 0) {
                misses = p[k] < node.lower[k] || p[k] > node.upper[k];
                continue;
            }
            double a = (node.lower[k] - p[k]) * inverse[k], b = (node.upper[k] - p[k]) * inverse[k];
            if (a > b) std::swap(a, b);
            enter = std::max(enter, a);
            leave = std::min(leave, b);
            misses = enter > leave;
        }
        if (misses) continue;
        if (node.count > 0) {
            for (uint32_t i = node.first; i < node.first + node.count; ++i) {
                const MeshTriangle& tri = triangles_[i];
                if (!(Dot(tri.normal, d) < 0)) continue;  // touched from the other side, or along it
                double s;
                if (Crosses(tri, p, d, s) && s < best) {
                    best = s;
                    hit = &tri;
                }
            }
            continue;
        }
        const uint32_t self = static_cast<uint32_t>(&node - nodes_.data());
        stack[top++] = node.first;
        stack[top++] = self + 1;
    }
    if (hit == nullptr) return false;
    t = best;
    normal = hit->normal;
    return true;
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
