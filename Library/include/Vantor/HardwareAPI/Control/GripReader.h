// Reads a streaming grip's compact status frames on a thread of its own
// without keeping a core busy: it waits in poll() for the frame's first
// bytes, sleeps for the rest at the line's rate, and only then lets the
// library's GetQuillonStatus read and decode the frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "Vantor/HardwareAPI/Control/Effects.h"
#include "Vantor/HardwareAPI/Control/Reconnection.h"
#include "Vantor/HardwareAPI/Devices/Handle.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

struct GripSample {
    Devices::QuillonStatus status;
    double t = 0;  // s since the reader started, when the frame was decoded
    bool valid = false;
};

struct GripStats {
    uint64_t frames_good = 0;
    uint64_t frames_bad = 0;
    double rate_hz = 0;      // good frames per second since start
    double cpu_percent = 0;  // of one core, the reader thread's own
    uint64_t reconnects = 0;
    uint64_t device_log_lines = 0;
};

class GripReader {
public:
    // Called on the reader's thread after each good frame is stored.
    using OnStatus = void (*)(const GripSample& sample, void* context);

    // handle must outlive the reader and not be used by anyone else while it
    // runs. A reader that reconnects waits for a gone grip to come back,
    // wakes it and takes it only if its frames carry the same device_id; it
    // gives handle streams of its own, and handle has its first stream back
    // (closed) when the reader is destroyed.
    GripReader(Devices::Handle& handle, bool wakeup, OnStatus on_status = nullptr, void* context = nullptr,
               Reconnection reconnection = {});
    ~GripReader();
    GripReader(const GripReader&) = delete;
    GripReader& operator=(const GripReader&) = delete;

    void Start();
    void Stop();
    bool running() const { return thread_.joinable(); }

    GripSample latest() const { return latest_.Load(); }
    // Seconds since the reader started, on the samples' clock.
    double now() const;
    GripStats stats() const;
    bool connected() const { return connected_.load(std::memory_order_acquire); }
    // Why the grip is not read, or "".
    const char* fault() const;

private:
    enum class Read { Quiet, Good, Bad, Gone };
    static bool EndWait(void* reader);
    Read WaitForFrame(int poll_ms, Devices::QuillonStatus& status);
    void Store(const Devices::QuillonStatus& status, int64_t now_ns);
    bool Reconnect();
    void Run();

    Devices::Handle& handle_;
    const bool wakeup_;
    OnStatus on_status_;
    void* context_;
    const Reconnection reconnection_;
    IO::SerialStream* const first_stream_;
    std::unique_ptr<IO::SerialStream> reopened_;
    uint8_t identity_ = 0;  // the device_id of the grip's frames
    bool identity_known_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<bool> other_device_{false};
    std::atomic<uint64_t> reconnects_{0};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    Published<GripSample> latest_{GripSample{}};
    std::atomic<int64_t> started_ns_{0};
    std::atomic<uint64_t> good_{0};
    std::atomic<uint64_t> bad_{0};
    std::atomic<int64_t> cpu_ns_{0};
    std::atomic<int64_t> last_ns_{0};
    std::atomic<uint64_t> log_lines_{0};
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
