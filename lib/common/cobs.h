// cobs - consistent overhead byte stuffing: blocks without zero bytes
#pragma once

#include <cstddef>
#include <cstdint>

// Largest encoding of length bytes: one code byte per started run of 254.
#define COBS_ENCODED_MAX(length) ((length) + (length) / 254 + 1)

// Encodes length bytes into destination (room for COBS_ENCODED_MAX(length) bytes) and
// answers the encoded length. The result never holds a zero byte.
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);

// Encodes the first length bytes of buffer in place; buffer holds room for
// COBS_ENCODED_MAX(length) bytes. Answers the encoded length, 0 for a null buffer.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);

// Decodes into destination (room for length bytes); answers the decoded length, 0 for
// a malformed block (a zero byte, or a code byte that runs past the end).
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);
