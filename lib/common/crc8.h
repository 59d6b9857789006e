// crc8 - the 8-bit check that guards every serial frame
#pragma once

#include <cstddef>
#include <cstdint>

// Reflected polynomial 0x31 (x^8 + x^5 + x^4 + 1), initial value 0, no final XOR;
// "123456789" checks to 0xA1.
uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t* data, size_t length);
bool crc8_check(const uint8_t* data, size_t length, uint8_t expected);
