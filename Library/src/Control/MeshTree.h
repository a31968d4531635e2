// A bounding-box tree over a mesh's triangles, built once (off the loop's
// thread), asked each cycle which triangle a segment first crosses. The walk
// keeps its own stack of fixed size: no recursion, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Vantor/HardwareAPI/Control/Effects.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

struct MeshTriangle {
    Vector3d a;       // a corner
    Vector3d e1, e2;  // b - a, c - a
    Vector3d normal;  // unit, out of the side it is touched from
};

class MeshTree {
public:
    // Deep enough for any tree built here: each split halves the triangles.
    static constexpr std::size_t kMaxDepth = 64;

    explicit MeshTree(std::vector<MeshTriangle> triangles);

    // The first triangle facing the segment from p to q (its normal against
    // q - p) that the segment crosses: true with t in [0, 1] along it and
    // that triangle's normal; false when there is none.
    bool FirstCrossing(const Vector3d& p, const Vector3d& q, double& t, Vector3d& normal) const;

    std::size_t size() const { return triangles_.size(); }
    std::size_t depth() const { return depth_; }

private:
    struct Node {
        double lower[3];
        double upper[3];
        uint32_t first;  // a leaf: its first triangle; else its second child (the first follows it)
        uint32_t count;  // triangles of a leaf; 0 for an inner node
    };

    uint32_t Build(std::vector<uint32_t>& order, std::vector<Vector3d>& centers, uint32_t begin, uint32_t end,
                   std::size_t depth);

    std::vector<MeshTriangle> triangles_;
    std::vector<Node> nodes_;
    std::size_t depth_ = 0;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
