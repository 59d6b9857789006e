// aUEI - byte order and payload conventions of UEI request and reply packets
#pragma once

#include <cstddef>
#include <cstdint>

#include "aPacket.h"

// Option byte (data[1]) and index byte (data[2]) flags.
#define aUEI_OPTION_MASK 0x3F
#define aUEI_OPTION_GET 0x40
#define aUEI_OPTION_SET 0x80
#define aUEI_INDEX_MASK 0x1F
#define aUEI_INDEX_HOST 0x20
#define aUEI_INDEX_STREAM 0x40
#define aUEI_INDEX_ERROR 0x80

// Multi-byte values on the module protocol are most significant byte first.
uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);

// Rewrites count 32-bit words in place from wire order to host order.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Trailer of a bytes-value packet (its last data byte); 0 for a null or empty packet.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);

// True when the packet carries a full chunk of a bytes value (27 or 28 data bytes).
bool aUEI_getBytesFullPacket(const aPacket* packet);

// Commands with formats of their own (heartbeat, I2C, module information, ...).
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);

// A timestamped sample a module streams without being asked.
bool aUEI_isStreamPacket(const aPacket* packet);
