// aPacket - one protocol packet: module address, length and up to 28 data bytes
#include "aPacket.h"

#include <cstdlib>
#include <cstring>

namespace {

bool valid(const aPacket* p) {
    return p != nullptr && p->check == aPACKET_CHECK;
}

// The getters share the same checks; need is the data bytes the answer lies in.
aErr dataByte(const aPacket* p, uint8_t* out, uint8_t need, uint8_t mask) {
    if (!out) return aErrParam;
    if (!valid(p) || p->dataSize < need) return aErrPacket;
    *out = p->data[need - 1] & mask;
    return aErrNone;
}

} // namespace

aPacket* aPacket_Create() {
    aPacket* p = static_cast<aPacket*>(calloc(1, sizeof(aPacket)));
    if (p) p->check = aPACKET_CHECK;
    return p;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (!data || length > aPACKET_MAX_DATA) return nullptr;
    aPacket* p = aPacket_Create();
    if (!p) return nullptr;
    p->address = address;
    p->dataSize = length;
    memcpy(p->data, data, length);
    p->fill = uint8_t(length + 2);
    return p;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!valid(packet)) return nullptr;
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) {
    return dataByte(packet, cmd, 1, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    return dataByte(packet, option, 2, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    return dataByte(packet, index, 3, 0x1F);
}

aErr aPacket_Reset(aPacket* packet) {
    if (!valid(packet)) return aErrParam;
    packet->fill = 0;
    packet->address = 0;
    packet->dataSize = 0;
    memset(packet->data, 0, sizeof packet->data);
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!valid(packet)) return aErrParam;
    // fill stays within a byte: it stops growing once past the largest image.
    if (packet->fill > aPACKET_MAX_IMAGE) return aErrOverrun;
    if (++packet->fill > aPACKET_MAX_IMAGE) return aErrOverrun;
    if (packet->address == 0) {
        if (byte == 0) return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->fill == 2) {
        packet->dataSize = byte;
        return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
    }
    if (packet->dataSize > aPACKET_MAX_DATA || packet->fill > packet->dataSize + 2)
        return aErrPacket;
    packet->data[packet->fill - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return valid(packet) && packet->address != 0 && packet->fill == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t bufferSize, size_t* written) {
    if (!valid(packet) || !buffer) return aErrParam;
    if (packet->dataSize > aPACKET_MAX_DATA) return aErrPacket;
    size_t n = size_t(packet->dataSize) + 2;
    if (bufferSize < n) return aErrOverrun;
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    memcpy(buffer + 2, packet->data, packet->dataSize);
    if (written) *written = n;
    return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet) {
    if (!packet || !*packet) return aErrParam;
    (*packet)->check = 0;
    free(*packet);
    *packet = nullptr;
    return aErrNone;
}
