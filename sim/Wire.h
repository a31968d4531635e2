#pragma once
// Little-endian packing of message fields, independent of the host byte order.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sim {

// One message, built in place: the longest either device sends (a handle
// status with 255 bytes of user data, 277 in all) fits, so building one
// never allocates.
class Message {
public:
    static constexpr std::size_t kCapacity = 512;

    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }

    void clear() { size_ = 0; }
    void truncate(std::size_t size) {
        if (size < size_) size_ = size;
    }
    void append(const std::uint8_t* bytes, std::size_t count) {
        count = count < kCapacity - size_ ? count : kCapacity - size_;
        std::memcpy(bytes_.data() + size_, bytes, count);
        size_ += count;
    }
    void appendZeros(std::size_t count) {
        count = count < kCapacity - size_ ? count : kCapacity - size_;
        std::memset(bytes_.data() + size_, 0, count);
        size_ += count;
    }

private:
    std::array<std::uint8_t, kCapacity> bytes_;
    std::size_t size_ = 0;
};

inline void putU8(Message& out, std::uint8_t value) { out.append(&value, 1); }

inline void putU16(Message& out, std::uint16_t value) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
    out.append(bytes, sizeof bytes);
}

inline void putF32(Message& out, float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    out.append(bytes, sizeof bytes);
}

inline std::uint16_t getU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline float getF32(const std::uint8_t* p) {
    const std::uint32_t bits = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                               (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace sim
