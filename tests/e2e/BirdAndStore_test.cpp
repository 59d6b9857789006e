// corvane-bird, Updater -C and Updater -I run as built
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "TestSupport.h"

using testsupport::BinPath;
using testsupport::RunResult;

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Tools : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string fw(3000, '\0');
        for (size_t i = 0; i < fw.size(); i++)
            fw[i] = char(i * 7);
        testsupport::WriteFile(dir.file("fw.bin"), fw);
        testsupport::WriteFile(dir.file("ld.bin"), std::string(600, 'L'));
    }

    RunResult Pack(const std::string& out, std::vector<std::string> extra) {
        std::vector<std::string> args = {"pack",
                                         "-o",
                                         dir.file(out),
                                         "--build",
                                         "99528558",
                                         "--version",
                                         "2.12.2",
                                         "--model",
                                         "CVHub-8",
                                         "--loader",
                                         dir.file("ld.bin") + "@0x10000000",
                                         "--firmware",
                                         dir.file("fw.bin") + "@0x4000"};
        args.insert(args.end(), extra.begin(), extra.end());
        return testsupport::Run(BinPath("corvane-bird"), args);
    }

    RunResult Updater(std::vector<std::string> args) {
        args.insert(args.begin(), {"-i", dir.path()});
        return testsupport::Run(BinPath("Updater"), args);
    }

    testsupport::TempDir dir;
};

} // namespace

TEST_F(Tools, PackedFileRoundTripsThroughShowAndCheck) {
    ASSERT_EQ(Pack("g.bird", {"--serial-offset", "0x4100", "--descriptor-offset", "0x4200",
                              "--loader-start", "0x20000400"})
                  .status,
              0);
    RunResult show = testsupport::Run(BinPath("corvane-bird"), {"show", dir.file("g.bird")});
    EXPECT_EQ(show.status, 0) << show.err;
    for (const char* line :
         {"format: 0x0101\n", "build: 99528558\n", "version: 2.12.2\n", "serial: 00000000\n",
          "model: CVHub-8\n", "generic: yes\n", "serial-offset: 0x00004100\n",
          "descriptor-offset: 0x00004200\n", "loader-start: 0x20000400\n", "blocks: 5\n",
          "block: type=0 flags=0 length=604 address=0x10000000\n",
          "block: type=1 flags=0 length=3004 address=0x00004000\n"})
        EXPECT_TRUE(Has(show.out, line)) << line << show.out;

    RunResult check = Updater({"-C", "-f", dir.file("g.bird")});
    EXPECT_EQ(check.status, 0) << check.err;
    for (const char* line :
         {"Build: 99528558\n", "Version: 2.12.2\n",
          "Serial number: 00000000 (generic, personalised on update)\n", "Model: CVHub-8\n",
          "Blocks: 5\n", "    1     0           3004  0x00004000\n", "BIRD file is valid\n"})
        EXPECT_TRUE(Has(check.out, line)) << line << check.out;

    ASSERT_EQ(Pack("p.bird", {"--serial", "40F5849A"}).status, 0);
    check = Updater({"-C", "-f", dir.file("p.bird")});
    EXPECT_EQ(check.status, 0);
    EXPECT_TRUE(Has(check.out, "Serial number: 40F5849A\n")) << check.out;
}

TEST_F(Tools, CheckRefusesUnsoundFilesWithTheReason) {
    ASSERT_EQ(Pack("g.bird", {}).status, 0);
    std::string good = testsupport::ReadFile(dir.file("g.bird"));
    testsupport::WriteFile(dir.file("cut.bird"), good.substr(0, good.size() / 2));
    testsupport::WriteFile(dir.file("sig.bird"), "BIRD" + good.substr(4));
    struct Case {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{"-C", "-f", dir.file("none.bird")}, "file not found"},
        {{"-C", "-f", dir.file("sig.bird")}, "not a BIRD file"},
        {{"-C", "-f", dir.file("cut.bird")}, "cannot be read or inflated"},
        {{"-C"}, "-C must name the BIRD file to check via -f"},
    };
    for (const auto& c : cases) {
        RunResult r = Updater(c.args);
        EXPECT_EQ(r.status, 1) << c.reason;
        EXPECT_TRUE(Has(r.err, c.reason)) << r.err;
        EXPECT_FALSE(Has(r.out, "BIRD file is valid"));
    }
    RunResult show = testsupport::Run(BinPath("corvane-bird"), {"show", dir.file("cut.bird")});
    EXPECT_EQ(show.status, 1);
    EXPECT_TRUE(Has(show.err, "cannot be read or inflated")) << show.err;
}

TEST_F(Tools, PackRefusesFieldsTheInfoBlockCannotHold) {
    const std::vector<std::string> bad[] = {{"--version", "2.12 RC1"},
                                            {"--model", "ABCDEFGHIJKLMNOPQ"},
                                            {"--serial", "123456789"},
                                            {"--build", "12x"},
                                            {"--firmware", "missing.bin"}};
    for (const auto& extra : bad) {
        RunResult r = Pack("x.bird", extra);
        EXPECT_EQ(r.status, 1) << extra[0];
        EXPECT_TRUE(Has(r.err, "corvane-bird: ")) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.bird")));
    RunResult help = testsupport::Run(BinPath("corvane-bird"), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Has(help.out, "corvane-bird pack -o OUT")) << help.out;
}

TEST_F(Tools, InfoListsDevicesAndShowsOneDevice) {
    RunResult empty = Updater({"-I"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_TRUE(Has(empty.out, "No devices stored in " + dir.file("updater") + "\n")) << empty.out;

    std::string device = dir.file("updater/40F5849A");
    std::filesystem::create_directories(device);
    std::filesystem::create_directories(dir.file("updater/0000ABCD"));
    testsupport::WriteFile(
        device + "/.settings",
        "CREATED_TIME=Thu Mar 12 14:05:09 2026\nLATEST_DOWNLOAD=99528558.bird\n");
    ASSERT_EQ(Pack("updater/40F5849A/99528558.bird", {}).status, 0);
    testsupport::WriteFile(device + "/777.bird", "bird\x01\x01junk");

    RunResult list = Updater({"-I"});
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(Has(list.out,
                    "Devices in store " + dir.file("updater") + ":\n    0000ABCD\n    40F5849A\n"))
        << list.out;

    RunResult one = Updater({"-I", "-d", "40F5849A"});
    EXPECT_EQ(one.status, 0) << one.err;
    for (const char* line :
         {"Stored information for device [40F5849A]:\n", "Settings:\n",
          "    CREATED_TIME=Thu Mar 12 14:05:09 2026\n", "    LATEST_DOWNLOAD=99528558.bird\n",
          "Local BIRD files:\n", "    777.bird       \t(damaged BIRD file)\n",
          "    99528558.bird  \t2.12.2\n"})
        EXPECT_TRUE(Has(one.out, line)) << line << one.out;

    RunResult unknown = Updater({"-I", "-d", "12345678"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(Has(unknown.err, "No stored information for device [12345678]")) << unknown.err;
}
