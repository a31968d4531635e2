// In-memory stand-in for a serial port: replies are queued up front (or one
// chunk per Available call), writes are recorded one entry per Write. The
// unit tests and the fuzz targets share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <streambuf>
#include <string>
#include <vector>

#include "Vantor/HardwareAPI/IO/SerialStream.h"

namespace vantor_test {

// Counts the reads it serves, empty or not.
class MemoryBuffer : public std::streambuf {
public:
    std::string data;
    std::size_t pos = 0;
    unsigned long reads = 0;
    std::size_t Remaining() const { return data.size() - pos; }

protected:
    int_type underflow() override;
    int_type uflow() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
};

class MemoryStream : public Vantor::HardwareAPI::IO::SerialStream {
public:
    // More than any read asks for (a payload read is at most 1024 bytes).
    static constexpr int kEndless = 1 << 20;

    MemoryStream();

    // Bytes the "device" has sent, readable at once.
    void Feed(const std::string& bytes);
    // Bytes that arrive only later: each Available call delivers the next chunk.
    void FeedLater(const std::string& chunk);
    // Everything written so far, concatenated.
    std::string Written() const;
    std::size_t Unread() const { return memory.Remaining(); }
    // Bytes read so far: memory.data up to here.
    std::size_t Consumed() const { return memory.pos; }

    // Ends the exchange at once when nothing more is to come, instead of
    // through the device's time-out, which counts whole seconds. A device
    // polls Available() without sleeping until enough bytes wait; a second
    // poll with no read in between, and no later chunk left, means it waits
    // for bytes that will never come. From then on Available() reports far
    // more than any read asks for: the read runs into the end of the bytes
    // and sets eofbit, a silent read failure, and the stream stays failed,
    // the way a port that hung up would.
    void EndWhenDry() { end_when_dry_ = true; }

    int Available() override;
    void Write(const uint8_t* data, std::size_t n) override;

    std::vector<std::string> writes;  // one entry per Write call
    MemoryBuffer memory;
    std::deque<std::string> later;

private:
    bool end_when_dry_ = false;
    bool ended_ = false;
    bool polled_ = false;
    unsigned long reads_at_poll_ = 0;
};

// Bytes from a list of values, for readable expectations.
std::string Bytes(std::initializer_list<int> values);
// Little-endian bytes of floats.
std::string FloatBytes(std::initializer_list<float> values);
// Hex text of bytes ("0a 2b ..."), for readable failure messages.
std::string Hex(const std::string& bytes);

}  // namespace vantor_test
