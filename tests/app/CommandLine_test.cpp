// The command line as a user meets it: the built Updater run as a child process
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "TestSupport.h"

using testsupport::RunResult;

namespace {

const std::string kUsageShort = testsupport::ReadFile(UPDATER_TEST_DATA "/usage_short.txt");
const std::string kUsageFull = testsupport::ReadFile(UPDATER_TEST_DATA "/usage_full.txt");
const std::string kUsageExtended =
    testsupport::ReadFile(UPDATER_TEST_DATA "/usage_full_extended.txt");

// A port nothing listens on, so commands that reach for the server fail at once.
const std::string kDeadServer = "127.0.0.1:1";

class CommandLine : public ::testing::Test {
  protected:
    RunResult updater(std::vector<std::string> args) {
        args.insert(args.begin(), {"-i", store.path()});
        return testsupport::Run(testsupport::BinPath("Updater"), args);
    }
    bool storeCreated() const {
        struct stat st;
        return stat((store.path() + "/updater").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    testsupport::TempDir store;
};

bool startsWithVersionLine(const std::string& out) {
    static const std::regex line(
        R"(^Updater \(Version: 2\.12\.2 [A-Z][a-z]{2} [ 0-9]\d \d{4}\)\n)");
    return std::regex_search(out, line);
}

std::string afterVersionLine(const std::string& out) {
    return out.substr(out.find('\n') + 1);
}

} // namespace

TEST_F(CommandLine, UsageAndHelp) {
    struct Case {
        std::vector<std::string> args;
        const std::string& usage;
    } cases[] = {
        {{}, kUsageShort},
        {{"-OVERRIDE"}, kUsageShort}, // not a command
        {{"-OVER"}, kUsageShort},
        {{"-X", "1"}, kUsageShort},
        {{"-h"}, kUsageFull},
        {{"-H", "-D"}, kUsageFull},
        {{"--he"}, kUsageFull},
        {{"-X", "1", "-h"}, kUsageExtended},
        {{"-h", "-X", "1"}, kUsageFull},    // parsing stops at the help option
        {{"--http", "--htt"}, kUsageShort}, // an ambiguous word is skipped
        {{"stray", "words"}, kUsageShort},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        RunResult r = updater(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(startsWithVersionLine(r.out)) << r.out;
        EXPECT_EQ(afterVersionLine(r.out), "");
        EXPECT_EQ(r.err, c.usage);
        EXPECT_FALSE(storeCreated());
    }
}

TEST_F(CommandLine, ParseFailuresPrintTheReasonThenTheShortUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-Y"}, "Unhandled command: [-Y]"},
        {{"-D", "-d", "0x"}, "Invalid serial number obtained from argument []"},
        {{"-D", "-d", "40F5849G"}, "Invalid serial number obtained from argument [40F5849G]"},
        {{"-D", "-d", "0"}, "Invalid serial number obtained from argument [0]"},
        {{"-D", "-r", "xyz"}, "Invalid router serial number obtained from argument [xyz]"},
        {{"-D", "-t", "usb"},
         "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"},
        {{"--http", "--http"},
         "Multiple update server URLs specified. Choose one of: --https, "
         "--http, or -U <host:port>."},
        {{"-u", "a:1", "--https", "-D"},
         "Multiple update server URLs specified. Choose one of: "
         "--https, --http, or -U <host:port>."},
        {{"-Y", "-d", "zz"},
         "Unhandled command: [-Y]\nInvalid serial number obtained from "
         "argument [zz]"}, // every word is read before failing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        RunResult r = updater(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(startsWithVersionLine(r.out)) << r.out;
        EXPECT_EQ(afterVersionLine(r.out), "");
        EXPECT_EQ(r.err, c.message + "\n" + kUsageShort);
        EXPECT_FALSE(storeCreated());
    }
}

TEST_F(CommandLine, CommandsThatLackTheirParameter) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-B"}, "Error must supply a serial number for the List Builds command\n" + kUsageShort},
        {{"-L"},
         "Error must supply a serial number for the List Local Builds command\n" + kUsageShort},
        {{"-G"}, "-G must specify a specific device via -d\n--help for usage information\n"},
        {{"-G", "-U"}, "-G must specify a specific device via -d\n--help for usage information\n"},
        {{"-U"}, "Must specify the specific device to be updated\n"},
        {{"-N", "-D"}, "Must specify the serial port used for connecting\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        RunResult r = updater(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(afterVersionLine(r.out), "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(storeCreated());
    }
}

TEST_F(CommandLine, SerialNumbersBuildsAndTransportsAsTheDownloadSeesThem) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"-G", "-d", "0x40F5849A"}, "40F5849A\nNo build specified\nUsing Latest build\n"},
        {{"-G", "-d", "0X40f5849a"}, "40F5849A\nNo build specified\nUsing Latest build\n"},
        {{"-G", "-d=40F5849A"}, "40F5849A\nNo build specified\nUsing Latest build\n"},
        {{"-G", "-d", "1234567890"}, "34567890\nNo build specified\nUsing Latest build\n"},
        {{"-G", "-d", "1", "-b", "abc"}, "00000001\nRetrieving firmware build 0\n"},
        {{"-G", "-d", "1", "-b", "99528558"}, "00000001\nRetrieving firmware build 99528558\n"},
        {{"-b", "-G", "-d", "1"}, "00000001\nNo build specified\nUsing Latest build\n"},
        {{"-G", "-d", "1", "-b=7", "-b", "8"}, "00000001\nRetrieving firmware build 8\n"},
        {{"-G", "-d", "1", "-t", "TCPIP"}, "00000001\nNo build specified\nUsing Latest build\n"},
        {{"-G", "-d", "1", "-t", "USBX"}, "00000001\nNo build specified\nUsing Latest build\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-u", kDeadServer});
        RunResult r = updater(args);
        EXPECT_EQ(r.status, 1); // nothing to download from
        EXPECT_EQ(afterVersionLine(r.out),
                  "Retrieving firmware for device with serial number " + c.out);
    }
}

TEST_F(CommandLine, DiscoveryDecidesTheExitStatusAfterAFailedDownload) {
    RunResult r = updater({"-G", "-D", "-d", "1", "-t", "RECOVER", "-u", kDeadServer});
    EXPECT_EQ(r.status, 0);
    std::string out = afterVersionLine(r.out);
    EXPECT_NE(out.find("Searching for Corvane devices\nDiscovered Devices: (USB)\n"),
              std::string::npos)
        << out;
}

TEST_F(CommandLine, CommandsWithoutAnActionOfTheirOwnCreateTheStore) {
    RunResult r = updater({"-Z", "5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(startsWithVersionLine(r.out));
    EXPECT_EQ(afterVersionLine(r.out), "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(storeCreated());
}

TEST_F(CommandLine, StoreThatCannotBeCreated) {
    testsupport::WriteFile(store.file("plain"), "x");
    std::string base = store.file("plain") + "/sub";
    RunResult r = testsupport::Run(testsupport::BinPath("Updater"), {"-Z", "1", "-i", base});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not find updater directory at " + base + "/updater\n");
}

TEST_F(CommandLine, LogMaskAndItsFormatErrors) {
    RunResult r = updater({"-X", "0x10000", "-Z", "1", "word"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("\nApplication parameters:[Updater]\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\t[word]\n"), std::string::npos);
    EXPECT_EQ(r.err.find("Home directory:"), std::string::npos); // written before -X is seen

    r = updater({"-X", "12abc", "-Z", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n");

    r = updater({"-X", "65536", "-d", "0x1", "-Z", "1"}); // decimal 65536 = DEBUG_APP only
    EXPECT_EQ(r.err.find("Discarding '0x' serial number prefix"), std::string::npos);
    r = updater({"-X", "0x10001", "-d", "0x1", "-r", "0x2", "-Z", "1"});
    EXPECT_NE(r.err.find("Discarding '0x' serial number prefix\n"), std::string::npos);
    EXPECT_NE(r.err.find("Discarding '0x' router serial number prefix\n"), std::string::npos);
}
