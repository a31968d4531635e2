// Framing shared by every device: a header code byte, then a payload whose
// length the code fixes, read with a reply time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Vantor/HardwareAPI/IO/SerialStream.h"

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

// An optional way out of long reply waits, for one thread. While a scope is
// alive on a thread, each wait of that thread asks check(context) once it has
// lasted 20 ms, then every 20 ms; a true answer ends that wait, and every
// later wait of the thread at once, as a failed read with no log line, until
// the scope ends. Without a scope a wait runs to its time-out.
class WaitAbortScope {
public:
    using Check = bool (*)(void* context);

    WaitAbortScope(Check check, void* context);
    ~WaitAbortScope();
    WaitAbortScope(const WaitAbortScope&) = delete;
    WaitAbortScope& operator=(const WaitAbortScope&) = delete;

    // Whether a check asked to stop.
    bool aborted() const { return aborted_; }
    // The innermost scope of the calling thread, or null.
    static WaitAbortScope* Current();
    // Asks the check and remembers a true answer.
    bool Ask();
    // Forgets a true answer: the reason for it has passed.
    void Rearm() { aborted_ = false; }

private:
    Check check_;
    void* context_;
    bool aborted_ = false;
    WaitAbortScope* previous_;
};

class Device {
public:
    static constexpr std::size_t kBufferSize = 1024;

    explicit Device(IO::SerialStream* stream);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Waits for one byte; returns it, or 0 on time-out or read failure.
    // The byte is also left in receive_buffer[0].
    uint8_t ReadHeaderCode();
    // Waits until n bytes are waiting, then reads them into receive_buffer.
    // Returns n, or 0 on time-out, read failure or n above kBufferSize.
    int ReadBytes(std::size_t n);
    // Sends the code followed by count floats (0 to 255 of them) in one write.
    void SendValues(uint8_t code, const float* values, int& count);

    // For code that drives a device for a while (the control layer's loops):
    // gives the device another stream, a port opened again, and returns the
    // one it had.
    IO::SerialStream* UseStream(IO::SerialStream* next);

    // The reply time-out, set for as long as the scope lives, then restored.
    class ReplyTimeoutScope {
    public:
        ReplyTimeoutScope(Device& device, float seconds);
        ~ReplyTimeoutScope();
        ReplyTimeoutScope(const ReplyTimeoutScope&) = delete;
        ReplyTimeoutScope& operator=(const ReplyTimeoutScope&) = delete;

    private:
        Device& device_;
        float saved_;
    };

    // Reply time-out in seconds; 0 or less waits forever.
    float timeout;
    IO::SerialStream* stream;  // not owned
    std::unique_ptr<uint8_t[]> send_buffer;
    std::unique_ptr<uint8_t[]> receive_buffer;
};

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
