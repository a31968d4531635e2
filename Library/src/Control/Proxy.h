// The proxy of a mesh: each cycle it moves towards the effector, stops a
// hair outside the first surface it would cross, and slides along up to
// three contact planes to the point nearest the effector; then friction may
// hold it back. All in the mesh's own frame. A bounded number of moves, no
// allocation.
#pragma once

#include "MeshTree.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

struct ProxyContact {
    Vector3d proxy;         // where the proxy is now
    Vector3d frictionless;  // where it would be without friction
    int planes;             // contact planes it rests on; 0: free, at the effector
};

class Proxy {
public:
    // How far outside the surface the proxy is kept, in m.
    static constexpr double kHair = 1e-7;
    static constexpr int kMaxMoves = 8;

    void Place(const Vector3d& at) { position_ = at; }
    const Vector3d& position() const { return position_; }

    // The next position for an effector at device.
    ProxyContact Step(const MeshTree& tree, const Vector3d& device, double static_friction, double dynamic_friction);

private:
    Vector3d position_{0, 0, 0};
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
