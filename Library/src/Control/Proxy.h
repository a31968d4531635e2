// The proxy of a mesh: each cycle it moves towards the effector, stops a
// hair outside the first surface it would cross, and slides along up to
// three contact planes to the point nearest the effector; then friction may
// hold it back: stuck, it breaks away past the static cone; sliding, it
// keeps sliding on the dynamic cone until the device stops pulling it on.
// All in the mesh's own frame. A bounded number of moves, no
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
    // How far past the friction cone the device must drag the proxy for it
    // to move, in m: below it the proxy sticks (rounding is not motion).
    static constexpr double kSlip = 1e-12;

    void Place(const Vector3d& at) {
        position_ = at;
        sliding_ = false;
    }
    bool sliding() const { return sliding_; }
    const Vector3d& position() const { return position_; }

    // The next position for an effector at device.
    ProxyContact Step(const MeshTree& tree, const Vector3d& device, double static_friction, double dynamic_friction);

private:
    Vector3d position_{0, 0, 0};
    bool sliding_ = false;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
