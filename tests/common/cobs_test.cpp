// Framing: CRC-8, COBS against published vectors, and the framed packet stream
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MemoryTransport.h"
#include "aStream_CobsEncoding.h"
#include "cobs.h"
#include "crc8.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes range(int from, int to) { // inclusive
    Bytes b;
    for (int i = from; i <= to; i++)
        b.push_back(uint8_t(i));
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes encode(const Bytes& in) {
    Bytes out(COBS_ENCODED_MAX(in.size()));
    out.resize(cobs_encode(in.data(), in.size(), out.data()));
    return out;
}

Bytes decode(const Bytes& in) {
    Bytes out(in.size() + 1);
    out.resize(cobs_decode(in.data(), in.size(), out.data()));
    return out;
}

// Image + CRC, encoded, delimited: what the line carries for one packet.
Bytes frame(const Bytes& image) {
    Bytes withCrc = image;
    withCrc.push_back(crc8_create(image.data(), image.size()));
    Bytes f = encode(withCrc);
    f.push_back(0);
    return f;
}

struct StreamDeleter {
    void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using Stream = std::unique_ptr<aStream, StreamDeleter>;

Stream cobsOver(MemoryTransport& t) {
    aStreamRef s = nullptr;
    EXPECT_EQ(aStream_CreateCobsEncoding(MemoryTransport::get, MemoryTransport::put,
                                         MemoryTransport::write, nullptr, &t, &s),
              aErrNone);
    return Stream(s);
}

// Reads until the stream has no more line bytes; collects the bytes handed out.
Bytes drain(aStreamRef s, std::vector<aErr>* errors = nullptr) {
    Bytes got;
    for (int i = 0; i < 1000; i++) {
        uint8_t b;
        aErr err = aStream_Read(s, &b, 1);
        if (err == aErrNone)
            got.push_back(b);
        else if (err == aErrEOF)
            break;
        else if (err != aErrNotReady && errors)
            errors->push_back(err);
    }
    return got;
}

} // namespace

TEST(crc8, CheckValueAndIncrementalUse) {
    const std::string digits = "123456789";
    auto data = reinterpret_cast<const uint8_t*>(digits.data());
    EXPECT_EQ(crc8_create(data, 9), 0xA1);
    uint8_t crc = 0;
    for (uint8_t b : digits)
        crc = crc8_update(crc, b);
    EXPECT_EQ(crc, 0xA1);
    EXPECT_TRUE(crc8_check(data, 9, 0xA1));
    EXPECT_FALSE(crc8_check(data, 9, 0xA0));
}

TEST(cobs, PublishedVectors) {
    struct Case {
        Bytes plain, encoded;
    };
    const Case cases[] = {
        {{}, {0x01}},
        {{0x00}, {0x01, 0x01}},
        {{0x00, 0x00}, {0x01, 0x01, 0x01}},
        {{0x00, 0x11, 0x00}, {0x01, 0x02, 0x11, 0x01}},
        {{0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        {{0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
        {{0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
        {range(1, 254), cat({{0xFF}, range(1, 254)})},
        {cat({{0x00}, range(1, 254)}), cat({{0x01, 0xFF}, range(1, 254)})},
        {range(1, 255), cat({{0xFF}, range(1, 254), {0x02, 0xFF}})},
        {cat({range(2, 255), {0x00}}), cat({{0xFF}, range(2, 255), {0x01, 0x01}})},
        {cat({range(3, 255), {0x00, 0x01}}), cat({{0xFE}, range(3, 255), {0x02, 0x01}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plain.size());
        EXPECT_EQ(encode(c.plain), c.encoded);
        if (!c.plain.empty()) {
            EXPECT_EQ(decode(c.encoded), c.plain);
        }
        Bytes inPlace = c.plain;
        inPlace.resize(COBS_ENCODED_MAX(c.plain.size()));
        inPlace.resize(cobs_encode_inplace(inPlace.data(), c.plain.size()));
        EXPECT_EQ(inPlace, c.encoded);
        Bytes back = c.encoded;
        back.resize(cobs_decode_inplace(back.data(), back.size()));
        EXPECT_EQ(back, c.plain);
    }
}

TEST(cobs, MalformedBlocksDecodeToNothing) {
    const Bytes cases[] = {
        {0x05, 0x11, 0x22},       // code runs past the end
        {0x02, 0x00},             // a zero inside the block
        {0x00},                   // a zero code
        {0x03, 0x11, 0x22, 0x09}, // second block runs past the end
    };
    for (const auto& c : cases)
        EXPECT_TRUE(decode(c).empty()) << int(c[0]);
}

TEST(aStream_CobsEncoding, WritesOneCheckedFramePerPacketImage) {
    MemoryTransport t;
    Stream s = cobsOver(t);
    const Bytes zeroLength = {0x04, 0x00};
    const Bytes full = cat({{0x06, 28}, range(0, 27)});
    Bytes both = cat({zeroLength, full});
    ASSERT_EQ(aStream_Write(s.get(), both.data(), both.size()), aErrNone);
    EXPECT_EQ(t.sent, cat({frame(zeroLength), frame(full)}));
    EXPECT_EQ(t.writes, 2);
}

TEST(aStream_CobsEncoding, RecoversFromBytesThatAreNoPacketImage) {
    MemoryTransport t;
    Stream s = cobsOver(t);
    // A zero address, then a length above 28 with its would-be data, then a good image.
    const Bytes junk = {0x00, 0x04, 0x1D};
    const Bytes good = {0x08, 0x01, 0x55};
    Bytes all = cat({junk, good});
    EXPECT_EQ(aStream_Write(s.get(), all.data(), all.size()), aErrPacket);
    EXPECT_EQ(t.sent, frame(good));
}

TEST(aStream_CobsEncoding, ReceivesCheckedFramesOnly) {
    const Bytes full = cat({{0x06, 28}, range(1, 28)});
    const Bytes small = {0x04, 0x00};
    Bytes bad = frame({0x08, 0x01, 0x55});
    bad[bad.size() - 2] ^= 0x01; // corrupt the CRC (or the byte before it)

    MemoryTransport t;
    t.bytes(cat({{0x00}, frame(full), {0x00, 0x00}, bad, frame(small)}));
    Stream s = cobsOver(t);
    std::vector<aErr> errors;
    EXPECT_EQ(drain(s.get(), &errors), cat({full, small}));
    EXPECT_EQ(errors, std::vector<aErr>{aErrPacket});
}

TEST(aStream_CobsEncoding, DropsOverlongFramesAndSurvives) {
    MemoryTransport t;
    t.bytes(Bytes(100, 0x7E)); // far more than a frame can hold before its delimiter
    t.bytes({0x00});
    t.bytes(frame({0x0A, 0x01, 0x33}));
    Stream s = cobsOver(t);
    std::vector<aErr> errors;
    EXPECT_EQ(drain(s.get(), &errors), (Bytes{0x0A, 0x01, 0x33}));
    EXPECT_EQ(errors, std::vector<aErr>{aErrPacket});
}

TEST(aStream_CobsEncoding, RoundTripOfAFullImage) {
    MemoryTransport line;
    Stream tx = cobsOver(line);
    const Bytes image = cat({{0x02, 28}, range(0xE0, 0xFB)});
    ASSERT_EQ(aStream_Write(tx.get(), image.data(), image.size()), aErrNone);
    MemoryTransport rxLine;
    rxLine.bytes(line.sent);
    Stream rx = cobsOver(rxLine);
    EXPECT_EQ(drain(rx.get()), image);
}
