// Byte stream to one serial port: an unbuffered stream buffer over the port's
// descriptor, and the iostream that devices poll, read and write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <streambuf>

// Unbuffered stream buffer over a non-blocking descriptor. No get or put area
// is ever set up, so every character goes through the virtual functions below;
// the only look-ahead is one pending byte.
class serialib : public std::streambuf {
public:
    serialib() = default;
    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;
    ~serialib() override;

    char pending_byte = 0;
    bool has_pending = false;
    int fd = -1;

    // Polls the descriptor for up to 1000 ms, 100 us between attempts.
    // Returns the bytes stored in dst, or -2 when read reports an error.
    int timed_read(char* dst, uint32_t n);

protected:
    std::streambuf* setbuf(char_type* s, std::streamsize n) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize xsputn(const char_type* s, std::streamsize n) override;
    int_type overflow(int_type c) override;
};

namespace Vantor {
namespace HardwareAPI {
namespace IO {

class SerialStream : public std::iostream {
public:
    // The path is not copied: it must stay alive until Open has run.
    explicit SerialStream(const char* port_path, bool open_now = true);
    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;
    ~SerialStream() override;

    // 1 on success, -2 when the port cannot be opened, -1 when an opening
    // step threw.
    int8_t Open();

    virtual void Close();
    // Bytes waiting in the driver; 0 when closed or when the query fails.
    virtual int Available();
    // One write system call; a failure is logged, never raised.
    virtual void Write(const uint8_t* data, std::size_t n);

    // For code that waits on the line itself instead of polling Available
    // (the control layer's loops). A stream with no line of its own (an
    // in-memory one) answers NoLine and is never hung up.
    enum class LineWait { Readable, TimedOut, HungUp, NoLine };
    // Sleeps until at_least bytes wait (a count above 255 is taken as
    // 255), the line hangs up, or timeout_ms pass.
    LineWait WaitReadable(int timeout_ms, int at_least = 1) const;
    // Whether the line has hung up (a device unplugged) or was never open.
    bool HungUp() const;
    bool IsOpen() const;
    // Whether both streams are open on one port: a link and its target are one.
    bool SamePort(const SerialStream& other) const;

    const char* port_path;
    std::unique_ptr<serialib> buffer;
};

}  // namespace IO
}  // namespace HardwareAPI
}  // namespace Vantor
