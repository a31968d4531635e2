// A minimal haptic control loop for the Talon arm: open the port, wake the
// arm, print what it reports, then render a spring ceiling for a few seconds,
// placed just above where the arm is when the program starts.
//
//   talon_control_loop /dev/ttyACM0 [seconds] [height] [stiffness]
//
// Every end_effector_force call sends one force and returns the arm's
// end-effector position and velocity in the same call, so the loop runs as
// fast as the arm answers. Positions are in metres, forces in newtons.
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

// argv[index] as a number from low to high, or `fallback` when it is not given.
bool Argument(int argc, char** argv, int index, double low, double high, double fallback, double& value) {
    value = fallback;
    if (argc <= index) return true;
    char* end = nullptr;
    value = std::strtod(argv[index], &end);
    return end != argv[index] && *end == '\0' && value >= low && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 0, height = 0, stiffness = 0;
    if (argc < 2 || argc > 5 || !Argument(argc, argv, 2, 0.0, 3600.0, 5.0, seconds) ||
        !Argument(argc, argv, 3, 0.0, 0.1, 0.02, height) || !Argument(argc, argv, 4, 0.0, 1000.0, 200.0, stiffness)) {
        std::fprintf(stderr,
                     "usage: %s PORT [seconds=5, up to 3600] [height=0.02 m above the start, up to 0.1]"
                     " [stiffness=200 N/m, up to 1000]\n",
                     argv[0]);
        return 2;
    }
    const char* port = argv[1];    // must outlive the stream's Open
    const float max_force = 5.0f;  // N: keeps the ceiling gentle whatever the stiffness

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

    // Ctrl-C and SIGTERM from here on end the loop, which leaves the arm
    // without a force.
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);

    // Where the arm is (a zero force asks without pushing): the ceiling goes
    // `height` above it, so the loop starts outside the ceiling, not inside it.
    float force[3] = {0.0f, 0.0f, 0.0f};
    const float ceiling_z = talon.end_effector_force(force).position[2] + static_cast<float>(height);

    // Spring ceiling: above ceiling_z the arm is pushed down in proportion to
    // how far above it is, at most max_force; below it, no force.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    long exchanges = 0;
    long in_contact = 0;
    float deepest = 0.0f;
    float strongest = 0.0f;
    while (Clock::now() < end && !g_stop) {
        const TalonState state = talon.end_effector_force(force);
        ++exchanges;
        const float depth = state.position[2] - ceiling_z;
        force[2] = 0.0f;
        if (depth > 0.0f) {
            force[2] = std::max(-max_force, -static_cast<float>(stiffness) * depth);
            ++in_contact;
            deepest = std::max(deepest, depth);
            strongest = std::max(strongest, -force[2]);
        }
    }

    // Leave the arm without a force before returning.
    const float zero[3] = {0.0f, 0.0f, 0.0f};
    const TalonState last = talon.end_effector_force(zero);

    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%ld exchanges in %.2f s (%.0f Hz), %ld in contact with the ceiling at z = %.3f m\n", exchanges,
                took, took > 0 ? exchanges / took : 0.0, in_contact, ceiling_z);
    std::printf("deepest penetration %.4f m, strongest force %.3f N, last position (%.4f, %.4f, %.4f) m\n", deepest,
                strongest, last.position[0], last.position[1], last.position[2]);
    return 0;
}
