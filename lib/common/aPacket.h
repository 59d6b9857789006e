// aPacket - one protocol packet: module address, length and up to 28 data bytes
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_IMAGE (aPACKET_MAX_DATA + 2)
#define aPACKET_CHECK 0xBEEF

// The record is public because the link, the FIFOs and the framing layers read its
// fields directly; only the operations below change it.
typedef struct aPacket {
    uint16_t check;                 // aPACKET_CHECK while live
    uint8_t fill;                   // wire bytes accepted so far (address, length, data)
    uint8_t address;                // destination on output, source on input
    uint8_t dataSize;               // valid data bytes, 0..28
    uint8_t data[aPACKET_MAX_DATA]; // bytes past dataSize stay zero in a fresh packet
} aPacket;

// A zeroed packet owned by the caller, or null when memory is exhausted.
aPacket* aPacket_Create();

// A packet holding a copy of length data bytes; null for null data (even when length is
// 0), for length above 28 or when memory is exhausted. The address is not checked.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

// A new packet with the same address, length and data; null for an invalid packet.
aPacket* aPacket_Copy(const aPacket* packet);

// Command (data[0]), option (data[1] & 0x3F) and index (data[2] & 0x1F).
// aErrParam for a null output, aErrPacket for an invalid or too short packet.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Zeroes fill, address, length and data. aErrParam for an invalid packet.
aErr aPacket_Reset(aPacket* packet);

// Appends one wire byte during assembly. aErrParam for an invalid packet, aErrOverrun
// past 30 bytes, aErrPacket for a zero address, a length above 28 or a byte beyond the
// length. A rejected byte still counts, so the caller resets after any error.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

// True for a valid packet whose address, length and every data byte have arrived.
bool aPacket_IsComplete(const aPacket* packet);

// Writes address, length and data into buffer. aErrParam for an invalid packet or a
// null buffer, aErrOverrun when bufferSize is below length + 2; written is optional.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t bufferSize, size_t* written);

// Frees the packet and nulls the caller's pointer. aErrParam when either is null; the
// marker is wiped but not examined, so a second call answers aErrParam harmlessly.
aErr aPacket_Destroy(aPacket** packet);
