// Packets: creation, byte-wise assembly, wire image, getters and UEI conventions
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "aPacket.h"
#include "aUEI.h"

namespace {

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

Packet make(uint8_t address, std::vector<uint8_t> data) {
    return Packet(aPacket_CreateWithData(address, uint8_t(data.size()), data.data()));
}

} // namespace

TEST(aPacket, CreationLimits) {
    uint8_t data[29] = {};
    EXPECT_EQ(aPacket_CreateWithData(4, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(4, 0, nullptr), nullptr);
    Packet full(aPacket_CreateWithData(4, 28, data));
    ASSERT_TRUE(full);
    EXPECT_TRUE(aPacket_IsComplete(full.get()));
    uint8_t image[30];
    size_t written = 0;
    EXPECT_EQ(aPacket_GetBytes(full.get(), image, sizeof image, &written), aErrNone);
    EXPECT_EQ(written, 30u);
    EXPECT_EQ(aPacket_GetBytes(full.get(), image, 29, &written), aErrOverrun);

    Packet empty(aPacket_CreateWithData(6, 0, data));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->fill, 2);
    Packet copy(aPacket_Copy(full.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(memcmp(copy.get(), full.get(), sizeof(aPacket)), 0);
}

struct AssemblyCase {
    const char* name;
    std::vector<uint8_t> bytes;
    aErr lastResult; // result of the last byte; every earlier byte succeeds
    bool complete;
    uint8_t address;
};

TEST(aPacket, ByteWiseAssembly) {
    const AssemblyCase cases[] = {
        {"zero-length packet", {0x04, 0x00}, aErrNone, true, 4},
        {"zero address", {0x00}, aErrPacket, false, 0},
        {"length above 28", {0x04, 0x1D}, aErrPacket, false, 4},
        {"three data bytes", {0x08, 0x03, 1, 2, 3}, aErrNone, true, 8},
        {"byte beyond the length", {0x08, 0x01, 1, 2}, aErrPacket, true, 8},
        {"past the largest image",
         {0x04, 0x1C, 1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
          15,   16,   17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29},
         aErrOverrun,
         false,
         4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Packet p(aPacket_Create());
        aErr last = aErrNone;
        for (size_t i = 0; i < c.bytes.size(); i++) {
            last = aPacket_AddByte(p.get(), c.bytes[i]);
            if (i + 1 < c.bytes.size()) {
                ASSERT_EQ(last, aErrNone) << "byte " << i;
            }
        }
        EXPECT_EQ(last, c.lastResult);
        EXPECT_EQ(p->address, c.address);
        // A complete packet stays what it was; an over-long one is never complete.
        if (c.lastResult == aErrNone) {
            EXPECT_EQ(aPacket_IsComplete(p.get()), c.complete);
        }
        EXPECT_EQ(aPacket_Reset(p.get()), aErrNone);
        EXPECT_EQ(p->fill, 0);
        EXPECT_FALSE(aPacket_IsComplete(p.get()));
    }
}

TEST(aPacket, AssembledImageMatchesTheBytesFed) {
    const std::vector<uint8_t> wire = {0x0A, 0x04, 0x03, 0x48, 0x20, 0x7F};
    Packet p(aPacket_Create());
    for (uint8_t b : wire)
        ASSERT_EQ(aPacket_AddByte(p.get(), b), aErrNone);
    ASSERT_TRUE(aPacket_IsComplete(p.get()));
    uint8_t image[30];
    size_t n = 0;
    ASSERT_EQ(aPacket_GetBytes(p.get(), image, wire.size(), &n), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(image, image + n), wire);
}

TEST(aPacket, GettersCheckLengthAndMask) {
    auto p = make(4, {0x12, 0xC5, 0xA3});
    uint8_t v = 0;
    EXPECT_EQ(aPacket_GetCmd(p.get(), &v), aErrNone);
    EXPECT_EQ(v, 0x12);
    EXPECT_EQ(aPacket_GetOption(p.get(), &v), aErrNone);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(aPacket_GetIndex(p.get(), &v), aErrNone);
    EXPECT_EQ(v, 3);
    EXPECT_EQ(aPacket_GetIndex(p.get(), nullptr), aErrParam);

    auto shortOne = make(4, {0x12});
    EXPECT_EQ(aPacket_GetOption(shortOne.get(), &v), aErrPacket);
    shortOne->check = 0x1234;
    EXPECT_EQ(aPacket_GetCmd(shortOne.get(), &v), aErrPacket);
    EXPECT_EQ(aPacket_Copy(shortOne.get()), nullptr);
    EXPECT_EQ(aPacket_Reset(shortOne.get()), aErrParam);
    EXPECT_EQ(aPacket_AddByte(shortOne.get(), 4), aErrParam);
    shortOne->check = aPACKET_CHECK;
}

TEST(aPacket, DestroyNullsAndASecondDestroyIsHarmless) {
    aPacket* p = aPacket_Create();
    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

TEST(aUEI, ByteOrderIsMostSignificantFirst) {
    const uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(aUEI_RetrieveInt(bytes), 0x12345678u);
    EXPECT_EQ(aUEI_RetrieveShort(bytes), 0x1234);
    uint8_t out[4] = {};
    aUEI_StoreInt(out, 0x12345678u);
    EXPECT_EQ(memcmp(out, bytes, 4), 0);
    aUEI_StoreShort(out, 0xBEEF);
    EXPECT_EQ(out[0], 0xBE);
    EXPECT_EQ(out[1], 0xEF);

    uint32_t words[2];
    memcpy(words, "\x01\x02\x03\x04\xA0\xB0\xC0\xD0", 8);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x01020304u);
    EXPECT_EQ(words[1], 0xA0B0C0D0u);
}

TEST(aUEI, PayloadClassification) {
    struct Case {
        std::vector<uint8_t> data;
        bool uei, stream;
    };
    const Case cases[] = {
        {{0x03, 0x48, 0x20}, true, false},
        {{0xAD, 0x00}, false, false},
        {{0x00, 0x01}, false, false}, // heartbeat
        {{0x49, 0xFF}, false, false}, // module information
        {{0x08, 0x01, 0x02}, false, false},
        {{0x10, 0x05, 0x41, 0x01, 0, 0, 0, 0, 0, 0, 0, 1, 0x55, 0x00}, true, true},
        {{0x10, 0x45, 0x41, 0x01, 0, 0}, true, false}, // a get reply is never streamed
        {{0x10, 0x05, 0x01, 0x01, 0, 0}, true, false}, // index bit 6 clear
        {{0x10, 0x05, 0x41, 0x01}, true, false},       // too short
    };
    for (const auto& c : cases) {
        auto p = make(4, c.data);
        EXPECT_EQ(aUEI_isUEIPayload(p.get()), c.uei) << int(c.data[0]);
        EXPECT_EQ(aUEI_isNotUEIPayload(p.get()), !c.uei) << int(c.data[0]);
        EXPECT_EQ(aUEI_isStreamPacket(p.get()), c.stream) << int(c.data[0]);
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(aUEI, BytesTrailer) {
    std::vector<uint8_t> chunk(28, 0x11);
    chunk.back() = 0x80 | 5;
    auto p = make(4, chunk);
    EXPECT_EQ(aUEI_getBytesSequence(p.get()), 5);
    EXPECT_EQ(aUEI_getBytesContinue(p.get()), 0x80);
    EXPECT_TRUE(aUEI_getBytesFullPacket(p.get()));
    chunk.resize(27);
    EXPECT_TRUE(aUEI_getBytesFullPacket(make(4, chunk).get()));
    chunk.resize(26);
    EXPECT_FALSE(aUEI_getBytesFullPacket(make(4, chunk).get()));
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
}
