// A minimal haptic control loop for the Talon arm: open the port, wake the
// arm, print what it reports, then render a spring wall for a few seconds.
//
//   talon_control_loop /dev/ttyACM0 [seconds] [wall_z] [stiffness]
//
// Every end_effector_force call sends one force and returns the arm's
// end-effector position and velocity in the same call, so the loop runs as
// fast as the arm answers. Positions and forces are in the arm's own units.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"

using Vantor::HardwareAPI::Devices::Talon;
using Vantor::HardwareAPI::Devices::TalonInfo;
using Vantor::HardwareAPI::Devices::TalonState;
using Vantor::HardwareAPI::IO::SerialStream;

namespace {

// Ctrl-C and SIGTERM (what kill and service managers send) end the loop
// normally, so the arm is left without a force; by default either would end
// the program at once, with the arm still holding the last one.
std::atomic<bool> g_stop{false};
extern "C" void RequestStop(int) { g_stop = true; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [seconds=5] [wall_z=0.10] [stiffness=200]\n", argv[0]);
        return 2;
    }
    const char* port = argv[1];  // must outlive the stream's Open
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    const float wall_z = argc > 3 ? static_cast<float>(std::atof(argv[3])) : 0.10f;
    const float stiffness = argc > 4 ? static_cast<float>(std::atof(argv[4])) : 200.0f;
    const float max_force = 5.0f;  // keep the wall gentle whatever the stiffness

    SerialStream stream(port, false);
    if (stream.Open() != 1) {  // -2: the open call failed, and errno says why
        std::fprintf(stderr, "cannot open %s: %s\n", port, std::strerror(errno));
        return 1;
    }

    Talon talon(&stream);  // the stream must outlive the Talon
    const TalonInfo info = talon.device_wakeup();
    if (info.device_model_number != 4) {
        std::fprintf(stderr, "no Talon answered on %s (model number %u)\n", port,
                     static_cast<unsigned>(info.device_model_number));
        return 1;
    }
    std::printf("Talon on %s: device id %u, hardware %u, firmware %u, uuid %s\n", port,
                static_cast<unsigned>(info.device_id), static_cast<unsigned>(info.hardware_version),
                static_cast<unsigned>(info.firmware_version), info.device_id_ext.hex().c_str());

    // Spring wall: above wall_z the arm pushes back in proportion to the
    // penetration depth; below it, no force.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    float force[3] = {0.0f, 0.0f, 0.0f};
    long exchanges = 0;
    long in_contact = 0;
    float deepest = 0.0f;
    float strongest = 0.0f;
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    while (Clock::now() < end && !g_stop) {
        const TalonState state = talon.end_effector_force(force);
        ++exchanges;
        const float depth = state.position[2] - wall_z;
        force[2] = 0.0f;
        if (depth > 0.0f) {
            force[2] = std::max(-max_force, -stiffness * depth);
            ++in_contact;
            deepest = std::max(deepest, depth);
            strongest = std::max(strongest, -force[2]);
        }
    }

    // Leave the arm without a force before returning.
    const float zero[3] = {0.0f, 0.0f, 0.0f};
    const TalonState last = talon.end_effector_force(zero);

    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%ld exchanges in %.2f s (%.0f Hz), %ld in contact with the wall at z = %.3f\n", exchanges, took,
                took > 0 ? exchanges / took : 0.0, in_contact, wall_z);
    std::printf("deepest penetration %.4f, strongest force %.3f, last position (%.4f, %.4f, %.4f)\n", deepest,
                strongest, last.position[0], last.position[1], last.position[2]);
    return 0;
}
