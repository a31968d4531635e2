#include <cstring>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/UUID.h"

using Vantor::HardwareAPI::UUID;

TEST(UUID, DefaultIsAllZero) {
    UUID id;
    for (uint8_t b : id.bytes()) EXPECT_EQ(b, 0);
    EXPECT_EQ(id.hex(), std::string(32, '0'));
}

TEST(UUID, HexTextIsTwoLowerCaseDigitsPerByte) {
    UUID id;
    for (int i = 0; i < 16; ++i) id.data[i] = static_cast<uint8_t>(i * 0x11);
    EXPECT_EQ(id.hex(), "00112233445566778899aabbccddeeff");
    id.data[0] = 10;
    id.data[15] = 255;
    EXPECT_EQ(id.hex().substr(0, 2), "0a");
    EXPECT_EQ(id.hex().substr(30, 2), "ff");
    EXPECT_EQ(id.bytes()[15], 255);
}

TEST(UUID, CopiesFromAnyPayloadOffset) {
    uint8_t payload[40];
    for (int i = 0; i < 40; ++i) payload[i] = static_cast<uint8_t>(200 + i);
    UUID aligned, odd;
    std::memcpy(&aligned, payload + 8, 16);
    std::memcpy(&odd, payload + 5, 16);
    EXPECT_EQ(aligned.bytes()[0], 208);
    EXPECT_EQ(odd.bytes()[0], 205);
    UUID copy = odd;
    EXPECT_EQ(copy.bytes(), odd.bytes());
}
