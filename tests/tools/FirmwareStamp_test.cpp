// corvane-bird pack --stamp and the stamp a simulated module looks for
#include <gtest/gtest.h>

#include "BirdFile.h"
#include "FirmwareStamp.h"
#include "TestSupport.h"
#include "aVersion.h"

namespace {

TEST(FirmwareStamp, PackStampsTheFirstFirmwareImageOnly) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("a.bin"), std::string(40, 'a'));
    testsupport::WriteFile(dir.file("b.bin"), std::string(10, 'b'));
    auto pack = [&](const std::string& version) {
        return testsupport::Run(testsupport::BinPath("corvane-bird"),
                                {"pack", "-o", dir.file("s.bird"), "--build", "4711", "--version",
                                 version, "--model", "bench", "--firmware",
                                 dir.file("a.bin") + "@0x8000", "--firmware",
                                 dir.file("b.bin") + "@0x9000", "--stamp"});
    };
    ASSERT_EQ(pack("3.4.5").status, 0);
    BirdFile bird(dir.file("s.bird"));
    auto blocks = bird.FindBlocks(BLOCK_FIRMWARE);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].length, 4 + 40 + kFirmwareStampSize);
    auto stamp = FirmwareStamp_Find(blocks[0].data + 4, blocks[0].length - 4);
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->build, 4711u);
    EXPECT_EQ(stamp->packedVersion, aVersion_Pack(3, 4, 5));
    EXPECT_EQ(blocks[1].length, 4u + 10);
    EXPECT_FALSE(FirmwareStamp_Find(blocks[1].data + 4, blocks[1].length - 4));
    for (const char* bad : {"3.4", "3.4.256", "v3.4.5", "3.4.5-rc"}) {
        auto r = pack(bad);
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_NE(r.err.find("--stamp needs --version MAJOR.MINOR.PATCH"), std::string::npos);
    }
}

TEST(FirmwareStamp, FindReadsTheFirstWholeStampOnly) {
    auto stamp = FirmwareStamp_Make({0x01020304, 0x2F030405});
    EXPECT_EQ(stamp, (std::vector<uint8_t>{'C', 'V', 'S', 'T', 'A', 'M', 'P', '1', 1, 2, 3, 4, 0x2F,
                                           3, 4, 5}));
    std::vector<uint8_t> image = stamp;
    image.insert(image.begin(), 5, 0xEE);
    auto found = FirmwareStamp_Find(image.data(), image.size());
    ASSERT_TRUE(found);
    EXPECT_EQ(found->build, 0x01020304u);
    image.pop_back(); // cut short: no stamp
    EXPECT_FALSE(FirmwareStamp_Find(image.data(), image.size()));
    EXPECT_FALSE(FirmwareStamp_Find(nullptr, 0));
}

} // namespace
