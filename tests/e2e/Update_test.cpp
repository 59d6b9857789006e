// -U, -G -U, -U -f and -U -r through the built Updater against corvane-sim (and
// update-server for the build choice), inside private network namespaces joined by a
// veth pair: finding a module over TCP/IP multicasts, which never leaves them
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "E2eSupport.h"
#include "NamespacePair.h"
#include "TestSupport.h"

using e2e::Has;
using testsupport::BinPath;
using testsupport::ChildProcess;
using testsupport::RunResult;

namespace fs = std::filesystem;

namespace {

const char* kIp = "/usr/sbin/ip";
using testsupport::kModuleAddress;
using testsupport::kToolAddress;
const char* kSerial = "40F5849A";
const char* kNewVersion = "2.13.1 (       777)";

using Namespaces = testsupport::NamespacePair;

class Update : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "private network namespaces need root";
        net = std::make_unique<Namespaces>();
        if (!net->error.empty()) GTEST_SKIP() << "no private network namespace: " << net->error;
        fs::create_directories(work.file("dump"));
    }

    // A BIRD file: generic (personalised on update) unless serial is given.
    std::string Pack(const std::string& name, const std::string& build = "777",
                     const std::string& version = "2.13.1", const std::string& model = "USBHub3p",
                     const std::string& serial = "", bool loader = true) {
        return birds.Pack(name, build, version, model, serial, loader);
    }

    // corvane-sim in the modules' namespace with these [module] sections.
    void StartSim(const std::string& modules) {
        std::string config = std::string("bind = ") + kModuleAddress +
                             "\ndiscovery = " + kModuleAddress +
                             "\ndump-dir = " + work.file("dump") + "\nverbose = yes\n" + modules;
        testsupport::WriteFile(work.file("sim.conf"), config);
        sim = std::make_unique<ChildProcess>(
            kIp, std::vector<std::string>{"netns", "exec", net->modules, BinPath("corvane-sim"),
                                          "--config", work.file("sim.conf")});
        for (std::string line; !(line = sim->waitForLine("corvane-sim ready")).empty();)
            if (line == "corvane-sim ready") return;
        FAIL() << "corvane-sim did not start: " << sim->errors();
    }

    // update-server on the tool side's loopback, serving work/server.
    std::string StartServer() {
        server = std::make_unique<ChildProcess>(
            kIp, std::vector<std::string>{"netns", "exec", net->tool, BinPath("update-server"),
                                          "--root", work.file("server")});
        std::string ready = server->waitForLine("update-server ready");
        EXPECT_FALSE(ready.empty()) << server->errors();
        return ready.substr(ready.rfind(' ') + 1);
    }

    RunResult Updater(std::vector<std::string> args) {
        std::vector<std::string> full = {"netns", "exec",      net->tool, BinPath("Updater"),
                                         "-i",    store.path()};
        full.insert(full.end(), args.begin(), args.end());
        return testsupport::Run(kIp, full, {}, 120);
    }

    std::string StoreDir(const std::string& serial = kSerial) {
        return store.path() + "/updater/" + serial;
    }

    std::map<std::string, std::string> Settings(const std::string& serial = kSerial) {
        return e2e::StoredSettings(store.path(), serial);
    }

    // The module received exactly the file's loader and firmware code, personalised
    // with its serial number when the file is generic.
    void ExpectReceived(const std::string& birdPath, const std::string& serial = kSerial) {
        e2e::ExpectDumped(birdPath, work.file("dump"), serial);
    }

    // The listing line of the module once it is back from its restart.
    std::string Listed(std::vector<std::string> args, const std::string& serial = kSerial) {
        for (int tries = 0; tries < 20; tries++) {
            RunResult r = Updater(args);
            std::istringstream in(r.out);
            for (std::string line; std::getline(in, line);)
                if (line.rfind("    " + serial, 0) == 0) return line;
        }
        return "";
    }

    void ExpectRecorded(const std::string& transfer) { e2e::ExpectRecorded(Settings(), transfer); }

    void ExpectNothingRecorded() {
        auto s = Settings();
        EXPECT_EQ(0u, s.count("LATEST_TRANSFER"));
        EXPECT_EQ(0u, s.count("LAST_TRANSFER_DATE"));
    }

    // Packets the module with that serial number received, as the simulator traced them.
    std::vector<std::string> Received(const std::string& serial = kSerial) {
        std::vector<std::string> out;
        std::istringstream in(sim->errors());
        for (std::string line; std::getline(in, line);)
            if (line.rfind("corvane-sim " + serial + " <", 0) == 0)
                out.push_back(line.substr(line.find('<') + 2));
        return out;
    }

    size_t CountReceived(const std::string& dataPrefix) {
        size_t n = 0;
        for (const std::string& p : Received())
            if (Has(p, "] " + dataPrefix)) n++;
        return n;
    }

    std::unique_ptr<Namespaces> net;
    testsupport::TempDir work, store;
    e2e::BirdMaker birds{work};
    std::unique_ptr<ChildProcess> sim, server;
};

std::string Module(const std::string& extra) {
    return std::string("[module]\nserial = 40F5849A\nmodel = 13\naddress = 2\nrestart-ms = 100\n") +
           extra;
}

} // namespace

// Both transfer modes, generic and personal files: the module ends up holding the
// file's code and reporting its build, and the transfer is recorded.
TEST_F(Update, DirectOverTcpInEveryMode) {
    struct Case {
        const char* name;
        const char* module;
        const char* mode;
        bool generic;
        const char* dataPrefix; // how firmware chunks must have travelled
    };
    const Case cases[] = {
        {"data packets", "uei-bytes = no\n", "0", true, "5F 01"},
        {"data packets by choice", "", "0", false, "5F 01"},
        {"uei bytes, pooled", "features = 0x80000000\n", "1", true, "5F 8A"},
        {"uei bytes offered but not taken", "uei-bytes = no\n", "1", false, "5F 01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(store.path());
        fs::create_directories(store.path());
        StartSim(Module(c.module));
        std::string bird = Pack("u.bird", "777", "2.13.1", "USBHub3p", c.generic ? "" : kSerial);
        RunResult r = Updater({"-U", "-d", kSerial, "-f", bird, "-m", c.mode, "-X", "0x400"});
        ASSERT_EQ(0, r.status) << r.out << r.err;
        EXPECT_TRUE(Has(r.out, "Transferring firmware block 1 of 2, 5020 bytes")) << r.out;
        EXPECT_TRUE(Has(r.out, "Transferred 2 blocks, 5724 total bytes")) << r.out;
        EXPECT_TRUE(Has(r.out, "Update time: ")) << r.out;
        EXPECT_GT(CountReceived(c.dataPrefix), 0u);
        if (std::string(c.dataPrefix) == "5F 8A") {
            EXPECT_TRUE(Has(r.err, "NETWORK: Protocol Version: -2147483648 Error: 0")) << r.err;
        }
        ExpectReceived(bird);
        ExpectRecorded(bird);
        EXPECT_TRUE(Has(Listed({"-D", "-t", "TCP"}), kNewVersion));
        sim->stop();
    }
}

// What a module does once its loader runs: keep the link, drop it and come back, come
// back as 0xDEADDEAD, or never answer LOAD. Every way ends in a whole update.
TEST_F(Update, LoaderStageReconnection) {
    const char* cases[] = {"after-load = keep\n", "after-load = reconnect\n",
                           "after-load = deadbeef\n", "no-load-reply = yes\n",
                           "after-load = reconnect\nno-load-reply = yes\n"};
    for (const char* c : cases) {
        SCOPED_TRACE(c);
        StartSim(Module(c));
        std::string bird = Pack("u.bird");
        RunResult r = Updater({"-U", "-d", kSerial, "-f", bird, "-X", "0x501"});
        ASSERT_EQ(0, r.status) << r.out << r.err;
        ExpectReceived(bird);
        ExpectRecorded(bird);
        sim->stop();
    }
}

// Faults the update recovers from, and faults it reports: a failed update records
// nothing, exits 1 and never starts a loader that did not arrive whole.
TEST_F(Update, FaultsAreRetriedOrReported) {
    struct Case {
        const char* module;
        bool loader; // the file carries a loader block (the first DATA and SUM are its)
        bool ok;
        const char* says; // in the log (-X 0x501)
    };
    const Case cases[] = {
        {"drop-reply = 5F01\nuei-bytes = no\n", false, true, "No reply when initializing"},
        {"refuse-prepare = 4\n", false, true, "Retry 4"},
        {"corrupt-sum = 1\n", false, true, "Unable to validate transfer"},
        {"refuse-prepare = 5\n", false, false, "Error firmware transfer block failed."},
        {"corrupt-sum = 5\n", false, false, "Error firmware transfer block failed."},
        {"drop-reply = 5F01\nuei-bytes = no\n", true, false, "Error loader transfer"},
        {"corrupt-sum = 1\n", true, false, "Error loader transfer"},
        {"drop-after-data = 30\nuei-bytes = no\n", true, false, "Failed _transfer_firmware()"},
        {"drop-after-data = 130\nuei-bytes = no\n", true, false, "Failed _transfer_firmware()"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module);
        fs::remove_all(store.path());
        fs::create_directories(StoreDir());
        StartSim(Module(c.module));
        std::string bird =
            Pack(c.loader ? "l.bird" : "n.bird", "777", "2.13.1", "USBHub3p", "", c.loader);
        RunResult r = Updater({"-U", "-d", kSerial, "-f", bird, "-X", "0x501"});
        EXPECT_TRUE(Has(r.out + r.err, c.says)) << r.out << r.err;
        if (c.ok) {
            ASSERT_EQ(0, r.status) << r.out << r.err;
            ExpectReceived(bird);
            ExpectRecorded(bird);
        } else {
            EXPECT_EQ(1, r.status) << r.out << r.err;
            ExpectNothingRecorded();
            if (c.loader && !Has(c.module, "drop-after-data")) {
                EXPECT_EQ(0u, CountReceived("5F 02"));
            }
        }
        sim->stop();
    }
}

TEST_F(Update, ValidationOfTheFileAgainstTheModule) {
    struct Case {
        const char* serial;
        const char* model;
        bool override;
        bool ok;
        const char* says;
    };
    const Case cases[] = {
        {"11111111", "USBHub3p", false, false, "Birdfile failed validation"},
        {"", "Relay8", false, false,
         "Connected device model and Bird file model do not match [USBHub3p] (0)"},
        {"", "Relay8", true, true, "Update time: "},
        {"40F5849A", "USBHub3p", false, true, "Update time: "},
    };
    StartSim(Module(""));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.serial) + " " + c.model);
        fs::remove_all(store.path());
        fs::create_directories(StoreDir());
        std::string bird = Pack("v.bird", "777", "2.13.1", c.model, c.serial);
        std::vector<std::string> args = {"-U", "-d", kSerial, "-f", bird};
        if (c.override) args.push_back("-OVERRIDE");
        RunResult r = Updater(args);
        EXPECT_TRUE(Has(r.out + r.err, c.says)) << r.out << r.err;
        EXPECT_EQ(c.ok ? 0 : 1, r.status) << r.out << r.err;
        if (!c.ok) {
            EXPECT_TRUE(Has(r.err, "Birdfile failed validation")) << r.err;
            EXPECT_EQ(0u, CountReceived("5F 00")); // nothing sent before the check
            ExpectNothingRecorded();
        }
    }
}

// Given build; the server's current build once downloaded (-G -U); the last download
// when the server's build is not stored; the last transfer; nothing at all.
TEST_F(Update, BuildChoice) {
    fs::create_directories(work.file(std::string("server/") + kSerial));
    Pack("server/" + std::string(kSerial) + "/700.bird", "700", "2.13.0");
    StartSim(Module(""));
    std::string url = StartServer();
    const char* notStored =
        "New firmware is available.  Updater will proceed if valid firmware is found locally.";

    RunResult r = Updater({"-U", "-d", kSerial, "-u", url});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(Has(r.out, notStored)) << r.out;
    EXPECT_TRUE(Has(r.err, "Could not find valid build for this device.")) << r.err;
    EXPECT_FALSE(fs::exists(StoreDir() + "/.settings") && Settings().count("LATEST_TRANSFER"));

    r = Updater({"-G", "-U", "-d", kSerial, "-u", url});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Updating firmware with build: 700")) << r.out;
    EXPECT_FALSE(Has(r.out, notStored)) << r.out;
    ExpectRecorded("700.bird");
    EXPECT_TRUE(Has(Listed({"-D", "-t", "TCP"}), "2.13.0 (       700)"));

    // A newer build on the server, not downloaded: the last download is used.
    Pack("server/" + std::string(kSerial) + "/777.bird", "777", "2.13.1");
    r = Updater({"-U", "-d", kSerial, "-u", url});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, std::string(notStored) + "\nUpdating with the Latest Download\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "Updating firmware with build: 700")) << r.out;

    // Given build, already stored.
    ASSERT_EQ(0, Updater({"-G", "-d", kSerial, "-b", "777", "-u", url}).status);
    r = Updater({"-U", "-d", kSerial, "-b", "777", "-u", url});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Updating firmware with build: 777")) << r.out;
    EXPECT_FALSE(Has(r.out, notStored)) << r.out;
    ExpectRecorded("777.bird");

    // No download recorded, the last transfer is: it is used.
    server.reset();
    fs::remove_all(work.file(std::string("server/") + kSerial));
    url = StartServer();
    testsupport::WriteFile(StoreDir() + "/.settings", "LATEST_TRANSFER=777.bird\n");
    r = Updater({"-U", "-d", kSerial, "-u", url});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Updating with the Latest Transfer")) << r.out;
    EXPECT_TRUE(Has(r.out, "Updating firmware with build: 777")) << r.out;
    ExpectReceived(StoreDir() + "/777.bird");
}

// Through a router, the module's address found by scanning its bus; a serial number
// that is not on the bus gets the address report and nothing is sent.
TEST_F(Update, RoutedThroughARouter) {
    StartSim(R"(
[module]
serial = D272031D
model = 4
address = 4

[module]
serial = 2181F0EE
model = 13
address = 6
on = D272031D
)");
    std::string bird = Pack("r.bird");
    RunResult r = Updater({"-U", "-d", "2181F0EE", "-r", "D272031D", "-f", bird});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    ExpectReceived(bird, "2181F0EE");
    auto s = Settings("2181F0EE");
    EXPECT_EQ(bird, s["LATEST_TRANSFER"]);
    EXPECT_TRUE(Has(Listed({"-D", "-t", "TCP", "-r", "D272031D"}, "2181F0EE"), kNewVersion));

    r = Updater({"-U", "-d", "2181F0EF", "-r", "D272031D", "-f", bird});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(Has(r.err, "Module address required for indirect firmware update, could not "
                           "find serial number [0x2181F0EF] on network"))
        << r.err;
}
