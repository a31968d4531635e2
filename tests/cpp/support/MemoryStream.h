// In-memory stand-in for a serial port: replies are queued up front (or one
// chunk per Available call), writes are recorded one entry per Write.
#pragma once

#include <deque>
#include <streambuf>
#include <string>
#include <vector>

#include "Vantor/HardwareAPI/IO/SerialStream.h"

namespace vantor_test {

class MemoryBuffer : public std::streambuf {
public:
    std::string data;
    std::size_t pos = 0;
    std::size_t Remaining() const { return data.size() - pos; }

protected:
    int_type underflow() override;
    int_type uflow() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
};

class MemoryStream : public Vantor::HardwareAPI::IO::SerialStream {
public:
    MemoryStream();

    // Bytes the "device" has sent, readable at once.
    void Feed(const std::string& bytes);
    // Bytes that arrive only later: each Available call delivers the next chunk.
    void FeedLater(const std::string& chunk);
    // Everything written so far, concatenated.
    std::string Written() const;
    std::size_t Unread() const { return memory.Remaining(); }

    int Available() override;
    void Write(const uint8_t* data, std::size_t n) override;

    std::vector<std::string> writes;  // one entry per Write call
    MemoryBuffer memory;
    std::deque<std::string> later;
};

// Bytes from a list of values, for readable expectations.
std::string Bytes(std::initializer_list<int> values);
// Little-endian bytes of floats.
std::string FloatBytes(std::initializer_list<float> values);
// Hex text of bytes ("0a 2b ..."), for readable failure messages.
std::string Hex(const std::string& bytes);

}  // namespace vantor_test
