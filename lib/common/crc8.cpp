// crc8 - the 8-bit check that guards every serial frame
#include "crc8.h"

#include <array>

namespace {

constexpr std::array<uint8_t, 256> makeTable() {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; i++) {
        uint8_t crc = uint8_t(i);
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? uint8_t((crc >> 1) ^ 0x8C) : uint8_t(crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();

} // namespace

uint8_t crc8_update(uint8_t crc, uint8_t byte) {
    return kTable[crc ^ byte];
}

uint8_t crc8_create(const uint8_t* data, size_t length) {
    uint8_t crc = 0;
    for (size_t i = 0; data && i < length; i++)
        crc = kTable[crc ^ data[i]];
    return crc;
}

bool crc8_check(const uint8_t* data, size_t length, uint8_t expected) {
    return crc8_create(data, length) == expected;
}
