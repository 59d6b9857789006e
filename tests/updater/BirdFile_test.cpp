// BirdFile - loading, scanning and patching firmware files
#include "BirdFile.h"

#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>
#include <zlib.h>

#include "BirdFixture.h"
#include "TestSupport.h"

using namespace fixture;

namespace {

const Bytes kInfo = Info("99528558", "2.12.2", "40F5849A", "ABCD");

BirdFile FromBytes(const Bytes& file) {
    BirdFile b;
    EXPECT_TRUE(b.LoadBytes(file.data(), file.size()));
    return b;
}

// Every recorded block must lie inside the inflated body.
void ExpectBlocksInsideBody(const BirdFile& b) {
    for (const auto& blk : b.blocks) {
        EXPECT_GE(blk.data, b.Body());
        EXPECT_LE(blk.data + blk.length, b.Body() + b.BodySize());
    }
}

} // namespace

TEST(BirdFile, TypeAndFlagsSplitFromOneByte) {
    struct Case {
        uint8_t byte, type, flags;
    } cases[] = {{0x41, 1, 2}, {0xE4, 4, 7}, {0x1F, 31, 0}, {0x20, 0, 1}};
    for (const auto& c : cases) {
        Bytes body = Body(1, {Block(c.byte, Bytes(8, 0))});
        BirdFile b;
        EXPECT_TRUE(b.ScanBlocks(body.data(), uint32_t(body.size())));
        ASSERT_EQ(b.blocks.size(), 1u);
        EXPECT_EQ(b.blocks[0].type, c.type) << int(c.byte);
        EXPECT_EQ(b.blocks[0].flags, c.flags) << int(c.byte);
    }
}

TEST(BirdFile, MinimalBodyOfSeventySevenBytesScansClean) {
    Bytes body = Body(1, {kInfo}, 0x11223344);
    ASSERT_EQ(body.size(), 77u);
    BirdFile b = FromBytes(File(body));
    EXPECT_TRUE(b.ScanClean());
    EXPECT_EQ(b.blockCount, 1u);
    EXPECT_EQ(b.BodySize(), 77u);
    EXPECT_EQ(b.checksum, 0x11223344u);
    EXPECT_EQ(b.signature, 0x62697264u);
    EXPECT_EQ(b.version, 0x0101);
}

TEST(BirdFile, HeaderCheckAndLoadDisagreeOnlyWhereTheyShould) {
    testsupport::TempDir dir;
    Bytes good = File(Body(1, {kInfo}));
    Bytes zeroVersion = File(Body(1, {kInfo}), 1, 0);
    Bytes wrongSignature = good;
    wrongSignature[0] = 'B';
    struct Case {
        const char* name;
        Bytes bytes;
        bool verifies, loads;
    } cases[] = {
        {"good", good, true, true},
        {"version 01 00", zeroVersion, false, true},
        {"signature BIRD", wrongSignature, false, true},
        {"five bytes", Bytes(good.begin(), good.begin() + 5), false, false},
        {"six bytes", Bytes(good.begin(), good.begin() + 6), true, false},
        {"empty", {}, false, false},
    };
    for (const auto& c : cases) {
        std::string path = dir.file(std::string(c.name) + ".bird");
        Write(path, c.bytes);
        EXPECT_EQ(BirdFile::VerifyFile(path), c.verifies) << c.name;
        BirdFile b;
        b.path = path;
        EXPECT_EQ(b.Load(), c.loads) << c.name;
    }
    EXPECT_FALSE(BirdFile::VerifyFile(dir.file("missing.bird")));
    EXPECT_THROW(BirdFile(dir.file("missing.bird")), std::runtime_error);
}

TEST(BirdFile, ReportedCountMismatchLoadsWithTheBlocksFound) {
    LogCapture log(DEBUG_BirdFile);
    BirdFile b = FromBytes(File(Body(3, {kInfo, Image(1, 0, Bytes(8, 1))})));
    EXPECT_EQ(b.blockCount, 2u);
    EXPECT_FALSE(b.ScanClean());
    EXPECT_NE(log.text().find("Block parsing mismatch in number of blocks. (2 != 3)"),
              std::string::npos);
}

TEST(BirdFile, BlockRunningPastTheBodyIsNotRecorded) {
    // Second block claims 1000 bytes inside a body of a few dozen.
    Bytes body = Body(2, {Image(1, 0x100, Bytes(8, 7)), Block(1, Bytes(8, 0))});
    Bytes length = BE32(1000);
    std::copy(length.begin(), length.end(), body.begin() + 4 + 17 + 1);
    BirdFile b = FromBytes(File(body));
    EXPECT_EQ(b.blockCount, 1u);
    EXPECT_FALSE(b.ScanClean());
    EXPECT_NE(b.ScanProblem().find("runs past"), std::string::npos);
    ExpectBlocksInsideBody(b);
}

TEST(BirdFile, BodyBeyondEightfoldFailsToInflate) {
    Bytes body = Body(1, {Image(1, 0, Bytes(20000, 0))});
    uLongf size = compressBound(uLong(body.size()));
    Bytes file{'b', 'i', 'r', 'd', 1, 1};
    file.resize(6 + size);
    ASSERT_EQ(compress2(file.data() + 6, &size, body.data(), uLong(body.size()), 9), Z_OK);
    file.resize(6 + size);
    ASSERT_GT(body.size(), 8 * size);
    LogCapture log(DEBUG_BirdFile);
    BirdFile b;
    EXPECT_FALSE(b.LoadBytes(file.data(), file.size()));
    EXPECT_NE(log.text().find("Error (-5) decompressing"), std::string::npos);
    EXPECT_EQ(b.BodySize(), 0u);
}

TEST(BirdFile, TruncatedAndCorruptFilesFailOrStayInBounds) {
    Bytes body =
        Body(3, {kInfo, Block(2, Cat({BE32(0x104), BE32(0)})), Image(1, 0x100, Bytes(64, 0x5A))});
    Bytes good = File(body);
    for (size_t n = 0; n < good.size(); n++) {
        BirdFile b;
        EXPECT_FALSE(b.LoadBytes(good.data(), n)) << n;
    }
    // Flip every byte of the stored body in turn: whatever loads stays in bounds.
    for (size_t i = 6; i < good.size(); i++) {
        Bytes bad = good;
        bad[i] ^= 0xFF;
        BirdFile b;
        b.LoadBytes(bad.data(), bad.size());
        ExpectBlocksInsideBody(b);
        b.ReplaceSerialNumber(0x12345678);
        b.GetVersion();
        b.ValidateModel("ABCD");
    }
    // Raw bodies with hostile lengths and short blocks.
    Bytes hostile[] = {{},
                       BE32(1),
                       Cat({BE32(1), {0x01}, BE32(0xFFFFFFFF), BE32(0)}),
                       Body(2, {Block(1, {1, 2}), Block(4, {1, 2, 3})}),
                       Body(1, {Block(2, {1, 2, 3, 4, 5})})};
    for (const auto& h : hostile) {
        BirdFile b = FromBytes(File(h));
        ExpectBlocksInsideBody(b);
        EXPECT_EQ(b.GetBuild(), 0u);
        EXPECT_TRUE(b.ReplaceVectorChecksum());
    }
}

TEST(BirdFile, InfoFieldsParseAsTheReaderDefines) {
    struct Case {
        const char* build;
        const char* version;
        const char* serial;
        uint32_t wantBuild;
        const char* wantVersion;
        uint32_t wantSerial;
    } cases[] = {
        {"99528558", "2.12.2 RC1", "40F5849A", 99528558, "2.12.2", 0x40F5849A},
        {"A99", "ABCDEFGHIJKLMNOP", "0x1234", 0, "ABCDEFGHIJKLMNO", 0x1234},
        {"  42x", "1.0", "zz", 42, "1.0", 0},
    };
    for (const auto& c : cases) {
        BirdFile b = FromBytes(File(Body(1, {Info(c.build, c.version, c.serial, "M")})));
        EXPECT_EQ(b.GetBuild(), c.wantBuild) << c.build;
        EXPECT_EQ(b.GetVersion(), c.wantVersion) << c.version;
        EXPECT_EQ(b.GetSerialNumber(), c.wantSerial) << c.serial;
        EXPECT_TRUE(b.ValidateSerialNumber(c.wantSerial));
    }
    BirdFile none = FromBytes(File(Body(1, {Image(1, 0, {1})})));
    EXPECT_EQ(none.GetBuild(), 0u);
    EXPECT_EQ(none.GetVersion(), "");
    EXPECT_FALSE(none.ValidateModel(""));
}

TEST(BirdFile, ModelMatchesByPrefixOfTheGivenName) {
    BirdFile b = FromBytes(File(Body(1, {kInfo})));
    EXPECT_TRUE(b.ValidateModel("ABC"));
    EXPECT_TRUE(b.ValidateModel("ABCD"));
    EXPECT_TRUE(b.ValidateModel(""));
    EXPECT_FALSE(b.ValidateModel("ABCDE"));
    EXPECT_FALSE(b.ValidateModel("XBCD"));
}

TEST(BirdFile, SerialNumberPatchWritesExactBytesInsideBlocksOnly) {
    const uint32_t A = 0x1000, S = 0x1010, D = 0x1020;
    struct Case {
        uint32_t serialOffset, descriptorOffset;
        bool result, wordWritten, textWritten;
    } cases[] = {
        {S, D, true, true, true},        {S, 0, true, true, false},
        {0x9000, 0, true, false, false}, {0, 0x9000, false, false, false},
        {0, 0, false, false, false},     {0, D, true, false, true},
        {A + 61, 0, true, false, false}, // word would end past the block
    };
    Bytes code(64, 0xEE);
    for (const auto& c : cases) {
        Bytes body =
            Body(3, {kInfo, Block(2, Cat({BE32(c.serialOffset), BE32(c.descriptorOffset)})),
                     Image(1, A, code)});
        BirdFile b = FromBytes(File(body));
        EXPECT_TRUE(b.hasSerialOffsets);
        EXPECT_EQ(b.ReplaceSerialNumber(0x40F5849A), c.result);
        const uint8_t* fw = b.FindBlocks(1)[0].data + 4;
        Bytes word(fw + (S - A), fw + (S - A) + 4);
        EXPECT_EQ(word, c.wordWritten ? Bytes({0x9A, 0x84, 0xF5, 0x40}) : Bytes(4, 0xEE));
        Bytes text(fw + (D - A), fw + (D - A) + 16);
        Bytes want(16, 0xEE);
        if (c.textWritten)
            for (int i = 0; i < 8; i++)
                want[2 * i] = uint8_t("40F5849A"[i]);
        EXPECT_EQ(text, want);
        // Nothing outside the two fields changes.
        for (uint32_t i = 0; i < 64; i++) {
            bool inWord = i >= S - A && i < S - A + 4, inText = i >= D - A && i < D - A + 16;
            if (!inWord && !inText) {
                ASSERT_EQ(fw[i], 0xEE) << i;
            }
        }
    }
}

TEST(BirdFile, OnlyTheFirstSerialOffsetBlockCounts) {
    BirdFile b = FromBytes(File(Body(3, {Block(2, Cat({BE32(0x10), BE32(0x20)})),
                                         Block(2, Cat({BE32(0x30), BE32(0x40)})), kInfo})));
    EXPECT_TRUE(b.hasSerialOffsets);
    EXPECT_EQ(b.serialNumberOffset, 0x10u);
    EXPECT_EQ(b.descriptorOffset, 0x20u);
    BirdFile plain = FromBytes(File(Body(1, {kInfo})));
    EXPECT_FALSE(plain.hasSerialOffsets);
}

TEST(BirdFile, DecodeRestartsKeyStreamAndChainingInEveryBlock) {
    const uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    Bytes plain(21);
    for (size_t i = 0; i < plain.size(); i++)
        plain[i] = uint8_t(i * 37 + 5);
    Bytes coded(plain.size());
    for (size_t j = 0; j < plain.size(); j++) {
        uint8_t k = uint8_t(key[(j % 16) / 4] >> (24 - 8 * (j % 4)));
        coded[j] = uint8_t(plain[j] ^ k ^ (j ? plain[j - 1] : 0));
    }
    BirdFile b = FromBytes(
        File(Body(3, {Image(1, 0x100, coded), Image(0, 0x200, coded), Image(1, 0x300, coded)})));
    EXPECT_TRUE(b.DecodeFirmwareBlocks(key));
    auto fw = b.FindBlocks(1);
    ASSERT_EQ(fw.size(), 2u);
    for (const auto& blk : fw) {
        EXPECT_EQ(Bytes(blk.data + 4, blk.data + blk.length), plain);
        EXPECT_EQ(Bytes(blk.data, blk.data + 4), BE32(blk.address)); // address untouched
    }
    auto loader = b.FindBlocks(0);
    EXPECT_EQ(Bytes(loader[0].data + 4, loader[0].data + loader[0].length), coded);
}

TEST(BirdFile, VectorChecksumMakesFirstEightWordsSumToZero) {
    Bytes code(40, 0);
    for (size_t i = 0; i < 28; i++)
        code[i] = uint8_t(0x80 + i);
    BirdFile b = FromBytes(File(Body(2, {Image(1, 0, code), Image(1, 0x400, code)})));
    EXPECT_TRUE(b.ReplaceVectorChecksum());
    auto fw = b.FindBlocks(1);
    uint32_t sum = 0;
    for (int w = 0; w < 8; w++) {
        const uint8_t* p = fw[0].data + 4 + 4 * w;
        sum += uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(Bytes(fw[1].data + 4, fw[1].data + 44), code); // load address not 0
}

TEST(BirdFile, ValidateDataFindsPatternsInFirmwareOnly) {
    BirdFile b = FromBytes(
        File(Body(2, {Image(0, 0, Text("LOADERSECRET")), Image(1, 0, Text("xxPATTERNyy"))})));
    EXPECT_TRUE(b.ValidateData(reinterpret_cast<const uint8_t*>("PATTERN"), 7));
    EXPECT_FALSE(b.ValidateData(reinterpret_cast<const uint8_t*>("SECRET"), 6));
}

TEST(BirdFile, MoveKeepsBlocksPointingIntoTheBody) {
    BirdFile a = FromBytes(File(Body(2, {kInfo, Image(1, 0x10, Bytes(32, 3))})));
    const uint8_t* body = a.Body();
    BirdFile b(std::move(a));
    EXPECT_EQ(b.Body(), body);
    ExpectBlocksInsideBody(b);
    EXPECT_EQ(a.blockCount, 0u);
    EXPECT_TRUE(a.blocks.empty());
    BirdFile c;
    c = std::move(b);
    ExpectBlocksInsideBody(c);
    EXPECT_EQ(c.GetVersion(), "2.12.2");
}

TEST(BirdFile, DumpPrintsRowsOfFiftyBytes) {
    BirdFile b = FromBytes(File(Body(1, {Image(1, 0x41424344, Bytes(60, 0x30))})));
    b.path = "x.bird";
    std::string out = testsupport::CaptureStdoutToFile([&] { b.DumpBlocks(1); });
    EXPECT_EQ(out.find("BIRDFILE: BLOCK DUMP [x.bird]\n \r\n000000: 41 42 43 44 30 "), 0u) << out;
    EXPECT_NE(out.find("\r\n000050: 30 "), std::string::npos);
    EXPECT_NE(out.find(" 00000000000000\n\n"), std::string::npos);
}
