// aStream_CobsEncoding - packet images framed with a CRC and COBS over another stream
#include "aStream_CobsEncoding.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "aPacket.h"
#include "cobs.h"
#include "crc8.h"

namespace {

constexpr uint16_t kCobsMarker = 0xC0B5;
// A full image and its CRC, encoded.
constexpr size_t kFrameMax = COBS_ENCODED_MAX(aPACKET_MAX_IMAGE + 1);

struct CobsRecord {
    uint16_t check; // kCobsMarker while live
    aStreamProcs below;
    void* belowRef;
    // Reading side (the link's reader thread only).
    uint8_t rxEncoded[kFrameMax]; // encoded bytes of the frame arriving
    size_t rxCount;
    uint8_t rxImage[kFrameMax]; // decoded image being handed out
    size_t rxLength, rxPos;
    // Writing side (the link's writer thread only).
    aPacket* txPacket;
    uint8_t txFrame[kFrameMax + 1]; // encoding plus the zero delimiter
};

CobsRecord* record(void* ref) {
    CobsRecord* r = static_cast<CobsRecord*>(ref);
    return r && r->check == kCobsMarker ? r : nullptr;
}

// Image plus CRC, encoded and delimited, goes to the transport below in one write.
aErr sendFrame(CobsRecord* r) {
    size_t image = 0;
    aPacket_GetBytes(r->txPacket, r->txFrame, sizeof r->txFrame, &image);
    aPacket_Reset(r->txPacket);
    r->txFrame[image] = crc8_create(r->txFrame, image);
    size_t encoded = cobs_encode_inplace(r->txFrame, image + 1);
    r->txFrame[encoded] = 0;
    if (r->below.write) return r->below.write(r->txFrame, encoded + 1, r->belowRef);
    for (size_t i = 0; i <= encoded; i++) {
        aErr err = r->below.put(r->txFrame[i], r->belowRef);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr cobsWrite(const uint8_t* data, size_t length, void* ref) {
    CobsRecord* r = record(ref);
    if (!r) return aErrParam;
    if (!r->below.write && !r->below.put) return aErrMode;
    aErr result = aErrNone;
    for (size_t i = 0; i < length; i++) {
        aErr err = aPacket_AddByte(r->txPacket, data[i]);
        if (err != aErrNone) {
            // Not a packet image: drop what was gathered so the next byte starts a
            // fresh packet, and let the caller know.
            aPacket_Reset(r->txPacket);
            result = aErrPacket;
            continue;
        }
        if (aPacket_IsComplete(r->txPacket)) {
            err = sendFrame(r);
            if (err != aErrNone) result = err;
        }
    }
    return result;
}

aErr cobsPut(uint8_t byte, void* ref) {
    CobsRecord* r = record(ref);
    if (!r) return aErrParam;
    if (r->below.put) return r->below.put(byte, r->belowRef);
    return r->below.write ? r->below.write(&byte, 1, r->belowRef) : aErrMode;
}

// Decodes the gathered frame; a good one is handed out by the following gets.
aErr acceptFrame(CobsRecord* r) {
    size_t n = cobs_decode(r->rxEncoded, r->rxCount, r->rxImage);
    r->rxCount = 0;
    if (n <= 2 || n != size_t(r->rxImage[1]) + 3 ||
        !crc8_check(r->rxImage, n - 1, r->rxImage[n - 1]))
        return aErrPacket;
    r->rxLength = n - 1;
    r->rxPos = 0;
    return aErrNotReady;
}

aErr cobsGet(uint8_t* byte, void* ref) {
    CobsRecord* r = record(ref);
    if (!r || !byte) return aErrParam;
    if (r->rxPos < r->rxLength) {
        *byte = r->rxImage[r->rxPos++];
        if (r->rxPos == r->rxLength) r->rxLength = r->rxPos = 0;
        return aErrNone;
    }
    if (!r->below.get) return aErrMode;
    uint8_t in;
    if (r->below.get(&in, r->belowRef) != aErrNone) return aErrNotReady;
    if (in != 0) {
        if (r->rxCount < sizeof r->rxEncoded) r->rxEncoded[r->rxCount++] = in;
        return aErrNotReady;
    }
    if (r->rxCount == 0) return aErrNotReady; // a lone delimiter
    return acceptFrame(r);
}

aErr cobsWait(uint32_t timeoutMs, void* ref) {
    CobsRecord* r = record(ref);
    if (!r) return aErrParam;
    if (r->rxPos < r->rxLength) return aErrNone;
    if (!r->below.wait) return aErrMode;
    return r->below.wait(timeoutMs, r->belowRef);
}

aErr cobsDelete(void* ref) {
    CobsRecord* r = record(ref);
    if (!r) return aErrParam;
    aErr err = r->below.del ? r->below.del(r->belowRef) : aErrNone;
    aPacket_Destroy(&r->txPacket);
    r->check = 0;
    free(r);
    return err;
}

} // namespace

aErr aStream_CreateCobsEncodingWithProcs(const aStreamProcs* below, void* ref, aStreamRef* stream) {
    if (!stream) return aErrParam;
    *stream = nullptr;
    if (!below) return aErrParam;
    CobsRecord* r = static_cast<CobsRecord*>(calloc(1, sizeof(CobsRecord)));
    if (!r) return aErrMemory;
    r->txPacket = aPacket_Create();
    if (!r->txPacket) {
        free(r);
        return aErrMemory;
    }
    r->below = *below;
    r->belowRef = ref;
    r->check = kCobsMarker;
    const aStreamProcs procs = {cobsGet, cobsPut, cobsWrite, cobsDelete,
                                below->wait ? cobsWait : nullptr};
    *stream = aStream_CreateWithProcs(&procs, r);
    if (!*stream) {
        aPacket_Destroy(&r->txPacket);
        r->check = 0;
        free(r);
        return aErrResource;
    }
    return aErrNone;
}

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* ref, aStreamRef* stream) {
    const aStreamProcs below = {get, put, write, del, nullptr};
    return aStream_CreateCobsEncodingWithProcs(&below, ref, stream);
}
