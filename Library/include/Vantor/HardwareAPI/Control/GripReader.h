// Reads a streaming grip's compact status frames on a thread of its own
// without keeping a core busy: it waits in poll() for the frame's first
// bytes, sleeps for the rest at the line's rate, and only then lets the
// library's frame reader decode the frame.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Vantor/HardwareAPI/Control/Reconnection.h"
#include "Vantor/HardwareAPI/Devices/Handle.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

struct GripSample {
    // The frame as decoded, error_flag being the grip's own flag.
    Devices::QuillonStatus status;
    double t = 0;  // s since the reader started, when the frame reached the port
    bool valid = false;
};

struct GripStats {
    uint64_t frames_good = 0;
    uint64_t frames_bad = 0;
    double rate_hz = 0;      // good frames per second since start
    double cpu_percent = 0;  // of one core, the reader thread's own
    uint64_t reconnects = 0;
    uint64_t device_log_lines = 0;
    uint64_t callbacks_skipped = 0;  // frames on_status never saw: it was busy, or the reader stopped
    uint64_t faults = 0;             // faults said since the reader was made (fault() has the one in force)
};

class GripReader {
public:
    // Called with each frame, and how long ago it reached the port (s), in
    // order, on a thread of its own, so a slow callback never holds the
    // reading up: frames that arrive while it runs are stored and counted,
    // and when more than a few are waiting for it the oldest are skipped.
    using OnStatus = std::function<void(const GripSample& sample, double age_s)>;

    // handle must outlive the reader; while the reader runs it is lent to it
    // and nothing else may call it. A reader that reconnects learns the
    // grip's whole device id from its answer to the wake-up (so it needs
    // wakeup), waits for a gone grip to come back, wakes it and takes it only
    // if it answers with the same id; it gives handle streams of its own, and
    // handle has its first stream back (closed) when the reader is
    // destroyed. Throws std::invalid_argument for a bad setting.
    GripReader(Devices::Handle& handle, bool wakeup, OnStatus on_status = {}, Reconnection reconnection = {});
    // Stops; from the callback's own thread too.
    ~GripReader();
    GripReader(const GripReader&) = delete;
    GripReader& operator=(const GripReader&) = delete;

    // Throws std::runtime_error when a loop or reader of this process
    // already drives the same port.
    void Start();
    // From any thread, several at once and the callback's included. Ends
    // the reading, then gives on_status what is queued for it for at most
    // 1 s: what is left then is dropped (counted in callbacks_skipped), and a
    // call still running is not waited for.
    void Stop();
    // Stop in slices of at most wait_s, for a caller that looks at something
    // between them (Python, for Ctrl-C); true once Stop is done. The 1 s
    // counts from the first slice.
    bool StopFor(double wait_s);
    bool running() const;

    GripSample latest() const;
    // Seconds since the reader started, on the samples' clock.
    double now() const;
    GripStats stats() const;
    bool connected() const;
    // Why the grip is not read, or "": its line hung up, another grip on the
    // port, no frames for a second (with what came instead), ... With
    // reconnection, a gone grip is a fault until the same grip is back.
    std::string fault() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
