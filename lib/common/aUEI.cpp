// aUEI - byte order and payload conventions of UEI request and reply packets
#include "aUEI.h"

namespace {

const uint8_t kNonUEICommands[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};

bool hasData(const aPacket* p) {
    return p != nullptr && p->check == aPACKET_CHECK && p->dataSize > 0 &&
           p->dataSize <= aPACKET_MAX_DATA;
}

uint8_t trailer(const aPacket* p) {
    return hasData(p) ? p->data[p->dataSize - 1] : 0;
}

} // namespace

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
    return uint16_t((bytes[0] << 8) | bytes[1]);
}

void aUEI_StoreShort(uint8_t* bytes, uint16_t value) {
    bytes[0] = uint8_t(value >> 8);
    bytes[1] = uint8_t(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           bytes[3];
}

void aUEI_StoreInt(uint8_t* bytes, uint32_t value) {
    bytes[0] = uint8_t(value >> 24);
    bytes[1] = uint8_t(value >> 16);
    bytes[2] = uint8_t(value >> 8);
    bytes[3] = uint8_t(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (!words) return;
    for (size_t i = 0; i < count; i++)
        words[i] = aUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&words[i]));
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    return trailer(packet) & 0x7F;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
    return trailer(packet) & 0x80;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return hasData(packet) && (packet->dataSize == 28 || packet->dataSize == 27);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    if (!hasData(packet)) return false;
    for (uint8_t cmd : kNonUEICommands)
        if (packet->data[0] == cmd) return true;
    return false;
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    if (!hasData(packet) || packet->dataSize <= 4 || !aUEI_isUEIPayload(packet)) return false;
    if ((packet->data[1] & (aUEI_OPTION_GET | aUEI_OPTION_SET)) != 0) return false;
    return (packet->data[2] & aUEI_INDEX_STREAM) != 0;
}
