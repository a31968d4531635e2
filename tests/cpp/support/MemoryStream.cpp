#include "support/MemoryStream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vantor_test {

MemoryBuffer::int_type MemoryBuffer::underflow() {
    return pos < data.size() ? traits_type::to_int_type(data[pos]) : traits_type::eof();
}

MemoryBuffer::int_type MemoryBuffer::uflow() {
    ++reads;
    return pos < data.size() ? traits_type::to_int_type(data[pos++]) : traits_type::eof();
}

std::streamsize MemoryBuffer::xsgetn(char_type* s, std::streamsize n) {
    ++reads;
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(n), Remaining());
    std::memcpy(s, data.data() + pos, count);
    pos += count;
    return static_cast<std::streamsize>(count);
}

MemoryStream::MemoryStream() : SerialStream("memory", false) { rdbuf(&memory); }

void MemoryStream::Feed(const std::string& bytes) { memory.data += bytes; }

void MemoryStream::FeedLater(const std::string& chunk) { later.push_back(chunk); }

std::string MemoryStream::Written() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
}

int MemoryStream::Available() {
    if (ended_) return kEndless;
    if (!later.empty()) {
        memory.data += later.front();
        later.pop_front();
    } else if (end_when_dry_ && polled_ && reads_at_poll_ == memory.reads) {
        ended_ = true;
        return kEndless;
    }
    polled_ = true;
    reads_at_poll_ = memory.reads;
    return static_cast<int>(memory.Remaining());
}

void MemoryStream::Write(const uint8_t* data, std::size_t n) {
    writes.emplace_back(reinterpret_cast<const char*>(data), n);
}

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

std::string FloatBytes(std::initializer_list<float> values) {
    std::string out;
    for (float v : values) {
        char raw[4];
        std::memcpy(raw, &v, 4);
        out.append(raw, 4);
    }
    return out;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char digits[4];
    for (unsigned char b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x ", b);
        out += digits;
    }
    return out;
}

}  // namespace vantor_test
