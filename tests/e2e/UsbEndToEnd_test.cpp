// -D and -U through the built Updater against modules corvane-sim attaches as emulated USB
// devices: the Updater runs as corvane-sim's command and finds them through real libusb
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "E2eSupport.h"
#include "TestSupport.h"

using testsupport::BinPath;
using testsupport::RunResult;

namespace fs = std::filesystem;

namespace {

const char* kSerial = "40F5849A";
const char* kUsbHeading =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";

RunResult Simulate(std::vector<std::string> args, const std::vector<std::string>& command) {
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    return testsupport::Run(BinPath("corvane-sim"), args, {}, 120);
}

// The device lines of a listing, sorted: USB enumeration order is the bus's, not ours.
std::vector<std::string> SortedDevices(const std::vector<std::string>& listing) {
    std::vector<std::string> devices(listing.begin() + std::min<size_t>(2, listing.size()),
                                     listing.end());
    std::sort(devices.begin(), devices.end());
    return devices;
}

// Not covered here: a module another program holds. The simulator's busy fault refuses
// TCP/IP connections only; its emulated USB device always grants the interface claim.
TEST(UsbEndToEnd, ListingShowsWhatEachModuleReports) {
    testsupport::TempDir work, store;
    const std::string config = work.file("modules.conf");
    testsupport::WriteFile(config, "[module]\nserial = 40F5849A\nmodel = 13\nversion = 2.10.4\n"
                                   "build = 99528558\nname = bench-alpha\ntcp = no\nusb = yes\n"
                                   "[module]\nserial = 11223344\nmodel = 19\naddress = 6\n"
                                   "version = 2.10.3\nbuild = 1200\nname = never-read\n"
                                   "tcp = no\nusb = yes\n");
    const std::vector<std::string> one = {
        "--usb", "--tcp",   "no",   "--serial",  "0BADCAFE", "--model", "16",        "--address",
        "4",     "--build", "4242", "--version", "2.12.0",   "--name",  "bench-beta"};
    const std::string beta = "    0BADCAFE  04       04      IO8            2.12.0 (      4242)  "
                             "       bench-beta";
    struct Case {
        const char* name;
        std::vector<std::string> sim;
        std::vector<std::string> updater;
        std::vector<std::string> devices;
    };
    const Case cases[] = {
        {"one module, USB by default", one, {"-D"}, {beta}},
        {"one module, USB asked for", one, {"-D", "-t", "USB"}, {beta}},
        // 2.10.3 has no name to read; 2.10.4 has.
        {"two modules at once",
         {"--config", config},
         {"-D"},
         {"    11223344  06       06      Relay8         2.10.3 (      1200)         ",
          "    40F5849A  02       02      USBHub3p       2.10.4 (  99528558)         "
          "bench-alpha"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> command = {BinPath("Updater"), "-i", store.path()};
        command.insert(command.end(), c.updater.begin(), c.updater.end());
        RunResult r = Simulate(c.sim, command);
        ASSERT_EQ(0, r.status) << r.out << r.err;
        std::vector<std::string> listing = e2e::Listing(r.out);
        ASSERT_GE(listing.size(), 2u) << r.out;
        EXPECT_EQ("Discovered Devices: (USB)", listing[0]);
        EXPECT_EQ(kUsbHeading, listing[1]);
        EXPECT_EQ(c.devices, SortedDevices(listing)) << r.out;
    }
}

// Runs -U, then lists until the module is back from its restart into the new firmware
// (bounded; each listing enumerates afresh) and prints that last listing.
const char* kUpdateThenList =
    "\"$0\" -i \"$1\" -U -d 40F5849A -f \"$2\" -m \"$3\" -X 0x400 || exit $?\n"
    "for try in 1 2 3 4 5 6 7 8 9 10; do\n"
    "  out=$(\"$0\" -i \"$1\" -D) && case \"$out\" in *\"    40F5849A \"*) break ;; esac\n"
    "done\n"
    "printf '%s\\n' \"$out\"\n";

// Both transfer modes; the module restarts into its loader after LOAD (leaving the bus
// and coming back under its own serial number or under DEADDEAD) and again after REBOOT,
// and the update finds it each time.
TEST(UsbEndToEnd, UpdateOverUsbInBothModes) {
    struct Case {
        const char* name;
        std::vector<std::string> module;
        const char* mode;
        bool generic;
        const char* dataPrefix; // how firmware chunks must have travelled
    };
    const Case cases[] = {
        {"data packets, loader back under its serial number",
         {"--after-load", "reconnect", "--uei-bytes", "no"},
         "0",
         true,
         "] 5F 01"},
        {"uei bytes, pooled, loader back as DEADDEAD",
         {"--after-load", "deadbeef", "--features", "0x80000000"},
         "1",
         false,
         "] 5F 8A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir work, store;
        e2e::BirdMaker birds(work);
        const std::string dump = work.file("dump");
        fs::create_directories(dump);
        std::string bird =
            birds.Pack("u.bird", "777", "2.13.1", "USBHub3p", c.generic ? "" : kSerial);
        std::vector<std::string> sim = {"--usb",      "--tcp", "no",           "--verbose",
                                        "--dump-dir", dump,    "--serial",     kSerial,
                                        "--model",    "13",    "--restart-ms", "100"};
        sim.insert(sim.end(), c.module.begin(), c.module.end());
        RunResult r = Simulate(sim, {"/bin/sh", "-c", kUpdateThenList, BinPath("Updater"),
                                     store.path(), bird, c.mode});
        ASSERT_EQ(0, r.status) << r.out << r.err;
        EXPECT_TRUE(e2e::Has(r.out, "Transferred 2 blocks, 5724 total bytes")) << r.out;
        EXPECT_TRUE(e2e::Has(r.out, "Update time: ")) << r.out;

        size_t chunks = 0;
        for (const std::string& line : e2e::Lines(r.err))
            if (line.rfind("corvane-sim ", 0) == 0 && e2e::Has(line, " < ") &&
                e2e::Has(line, c.dataPrefix))
                chunks++;
        EXPECT_GT(chunks, 0u) << c.dataPrefix;

        e2e::ExpectDumped(bird, dump, kSerial);
        EXPECT_FALSE(fs::exists(dump + "/" + kSerial + "-firmware-3.bin"));
        EXPECT_FALSE(fs::exists(dump + "/" + kSerial + "-loader-2.bin"));
        e2e::ExpectRecorded(e2e::StoredSettings(store.path(), kSerial), bird);

        // Back from REBOOT, reporting the stamp of the image it received.
        EXPECT_EQ((std::vector<std::string>{"Discovered Devices: (USB)", kUsbHeading,
                                            "    40F5849A  02       02      USBHub3p       2.13.1 "
                                            "(       777)         corvane-sim"}),
                  e2e::Listing(r.out))
            << r.out;
    }
}

} // namespace
