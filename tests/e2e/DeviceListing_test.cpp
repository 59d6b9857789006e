// -D -t TCP and -D -r through the built Updater against corvane-sim, both inside private
// network namespaces joined by a veth pair: discovery never reaches the machine's network
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "E2eSupport.h"
#include "NamespacePair.h"
#include "TestSupport.h"

using testsupport::BinPath;
using testsupport::ChildProcess;
using testsupport::RunResult;

namespace {

const char* kIp = "/usr/sbin/ip";
using testsupport::kModuleAddress;
using testsupport::kToolAddress;
const char* kTcpHeading =
    "    Device    Module   Router  Model          Firmware Version (Build)   "
    "[IP address]       Device Name";

using Namespaces = testsupport::NamespacePair;

using e2e::Lines;
using e2e::Listing;

class DeviceListing : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "private network namespaces need root";
        net = std::make_unique<Namespaces>();
        if (!net->error.empty()) GTEST_SKIP() << "no private network namespace: " << net->error;
    }

    // Starts corvane-sim in the modules' namespace with these [module] sections.
    void StartSim(const std::string& modules) {
        std::string config = std::string("bind = ") + kModuleAddress +
                             "\ndiscovery = " + kModuleAddress + "\nverbose = yes\n" + modules;
        testsupport::WriteFile(work.file("sim.conf"), config);
        sim = std::make_unique<ChildProcess>(
            kIp, std::vector<std::string>{"netns", "exec", net->modules, BinPath("corvane-sim"),
                                          "--config", work.file("sim.conf")});
        for (std::string line; !(line = sim->waitForLine("corvane-sim ready")).empty();)
            if (line == "corvane-sim ready") return;
        FAIL() << "corvane-sim did not start: " << sim->errors();
    }

    RunResult Updater(std::vector<std::string> args) {
        std::vector<std::string> full = {"netns", "exec",      net->tool, BinPath("Updater"),
                                         "-i",    store.path()};
        full.insert(full.end(), args.begin(), args.end());
        return testsupport::Run(kIp, full, {}, 60);
    }

    // What the simulator traced of the packets the module with that serial received.
    std::vector<std::string> Received(const std::string& serial) {
        std::vector<std::string> out;
        for (const std::string& line : Lines(sim->errors()))
            if (line.rfind("corvane-sim " + serial + " <", 0) == 0)
                out.push_back(line.substr(line.find('<') + 2));
        return out;
    }

    std::unique_ptr<Namespaces> net;
    testsupport::TempDir work, store;
    std::unique_ptr<ChildProcess> sim;
};

const char* kDirectModules = R"(
[module]
serial = 40F5849A
model = 13
address = 2
version = 2.10.4
build = 99528558
name = bench-alpha

[module]
serial = 11223344
model = 19
address = 4
version = 2.10.3
build = 1200
name = never-read

[module]
serial = 22334455
model = 16
address = 6
discovery-address = 12
version = 2.12.0
build = 77

[module]
serial = 33445566
model = 4
address = 8
version = 2.11.1
build = 5
name = quiet
drop-reply = 49FF,100

[module]
serial = 44556677
model = 24
address = 10
busy = yes
)";

TEST_F(DeviceListing, TcpListingShowsWhatEachModuleReports) {
    StartSim(kDirectModules);
    RunResult r = Updater({"-D", "-t", "TCP"});
    ASSERT_EQ(0, r.status) << r.err;
    std::vector<std::string> listing = Listing(r.out);
    ASSERT_GE(listing.size(), 2u) << r.out;
    EXPECT_EQ("Discovered Devices: (TCPIP)", listing[0]);
    EXPECT_EQ(kTcpHeading, listing[1]);
    std::vector<std::string> devices(listing.begin() + 2, listing.end());
    std::sort(devices.begin(), devices.end());
    const std::vector<std::string> expected = {
        // 2.10.3 has no name to read; 2.10.4 has.
        "    11223344  04       04      Relay8         2.10.3 (      1200)        [10.213.0.2]  "
        "     ",
        // The discovery record said 0C; the module says 06.
        "    22334455  06       06      IO8            2.12.0 (        77)        [10.213.0.2]  "
        "     corvane-sim",
        // No answer to the build query: build 0, version still read.
        "    33445566  08       08      Router         2.11.1 (         0)        [10.213.0.2]  "
        "     quiet",
        "    40F5849A  02       02      USBHub3p       2.10.4 (  99528558)        [10.213.0.2]  "
        "     bench-alpha",
        // Held by another program: nothing read beyond the discovery record.
        "    44556677  0A       0A      PowerHub       0.0.0 (         0)        [10.213.0.2]      "
        " ",
    };
    EXPECT_EQ(expected, devices) << r.out;
}

TEST_F(DeviceListing, NothingFoundOnTheNetwork) {
    StartSim("[module]\nserial = 40F5849A\ntcp = no\n");
    RunResult r = Updater({"-D", "-t", "TCP"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((std::vector<std::string>{"Discovered Devices: (TCPIP)", "    No devices found."}),
              Listing(r.out));
}

const char* kRouterModules = R"(
[module]
serial = D272031D
model = 4
address = 4

[module]
serial = 2181F0F0
model = 16
address = 8
version = 2.12.1
build = 4242
on = D272031D

[module]
serial = 2181F0EE
model = 13
address = 2
router = 4
version = 2.10.3
build = 31337
on = D272031D

[module]
serial = 2181F0AA
address = 12
lack = 9
on = D272031D

[module]
serial = 2181F0BB
model = 19
address = 14
on = D272031D
)";

// Routed modules in ascending address order, the router's own address never probed, a
// module that will not identify itself left out, routing switched off at the end.
TEST_F(DeviceListing, RoutedListingScansTheRoutersBus) {
    StartSim(kRouterModules);
    RunResult r = Updater({"-D", "-t", "TCP", "-r", "D272031D"});
    ASSERT_EQ(0, r.status) << r.err;
    const std::vector<std::string> expected = {
        "Discovered Devices: (TCPIP)",
        kTcpHeading,
        "    2181F0EE  02       04      USBHub3p       2.10.3 (     31337)        [10.213.0.2]     "
        "  ",
        "    2181F0F0  08       04      IO8            2.12.1 (      4242)        [10.213.0.2]     "
        "  ",
        "    2181F0BB  0E       04      Relay8         2.12.0 (      1000)        [10.213.0.2]     "
        "  ",
    };
    EXPECT_EQ(expected, Listing(r.out)) << r.out;

    std::vector<std::string> got = Received("D272031D");
    auto probed = [&](int address) {
        char probe[40];
        snprintf(probe, sizeof probe, "04 [7] 08 00 %02X 02 03 00 00", address);
        return std::count(got.begin(), got.end(), probe);
    };
    EXPECT_EQ(0, probed(4));
    for (int a : {2, 6, 8, 12, 252})
        EXPECT_EQ(1, probed(a)) << a;
    std::vector<std::string> routing;
    for (const std::string& line : got)
        if (line.find("03 94 20") != std::string::npos) routing.push_back(line);
    EXPECT_EQ((std::vector<std::string>{"04 [4] 03 94 20 01", "04 [4] 03 94 20 00"}), routing);
}

TEST_F(DeviceListing, RoutedListingWithNothingOnTheBusStillEndsRouting) {
    StartSim("[module]\nserial = D272031D\nmodel = 4\naddress = 2\n");
    RunResult r = Updater({"-D", "-t", "TCP", "-r", "D272031D"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((std::vector<std::string>{"Discovered Devices: (TCPIP)", "    No devices found."}),
              Listing(r.out));
    std::vector<std::string> routing;
    for (const std::string& line : Received("D272031D"))
        if (line.find("03 94 20") != std::string::npos) routing.push_back(line);
    EXPECT_EQ((std::vector<std::string>{"02 [4] 03 94 20 01", "02 [4] 03 94 20 00"}), routing);
}

TEST_F(DeviceListing, RouterThatCannotBeFoundListsNothing) {
    StartSim(kRouterModules);
    RunResult r = Updater({"-D", "-r", "0BADCAFE", "-t", "TCP"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Searching for Corvane Network devices connected to "
                                            "0BADCAFE"));
    EXPECT_EQ((std::vector<std::string>{"Discovered Devices: (TCPIP)", "    No devices found."}),
              Listing(r.out));
    EXPECT_TRUE(Received("D272031D").empty());
}

// Without -t only USB is searched, and nothing is attached here: no network at all.
TEST(DeviceListingUsb, NothingAttachedListsNoDevices) {
    testsupport::TempDir store;
    RunResult r = testsupport::Run(BinPath("Updater"), {"-i", store.path(), "-D"}, {}, 60);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((std::vector<std::string>{"Discovered Devices: (USB)", "    No devices found."}),
              Listing(r.out));
}

} // namespace
