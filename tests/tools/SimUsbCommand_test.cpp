// corvane-sim running a command with its modules on emulated USB: the command is an
// unchanged host program that finds and asks them through real libusb
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using testsupport::BinPath;
using testsupport::Run;
using testsupport::RunResult;

RunResult Simulate(std::vector<std::string> args, const std::vector<std::string>& command) {
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    return Run(BinPath("corvane-sim"), args, {}, 60);
}

TEST(SimUsbCommand, HostProgramFindsAndAsksTheModules) {
    testsupport::TempDir dir;
    const std::string config = dir.file("modules.conf");
    testsupport::WriteFile(config, "[module]\nserial = 40F5849A\nmodel = 19\ntcp = no\nusb = yes\n"
                                   "[module]\nserial = 0BADCAFE\nmodel = 5\naddress = 4\n"
                                   "tcp = no\nusb = yes\nusb-node = yes\n");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"one module",
         {"--usb", "--tcp", "no", "--serial", "40F5849A", "--model", "19"},
         {"found 40F5849A model 19", "echo 40F5849A address 2"}},
        {"two modules, one also behind a driver node",
         {"--config", config},
         {"found 40F5849A model 19", "found 0BADCAFE model 5", "echo 40F5849A address 2",
          "echo 0BADCAFE address 4"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunResult r = Simulate(c.args, {BinPath("sim_usb_probe")});
        EXPECT_EQ(0, r.status) << r.out << r.err;
        for (const std::string& line : c.lines)
            EXPECT_NE(std::string::npos, r.out.find(line + "\n")) << r.out;
    }
}

TEST(SimUsbCommand, ExitsWithTheCommandsStatus) {
    struct Case {
        const char* name;
        std::string endpoint;
        std::vector<std::string> command;
        int status;
    };
    const Case cases[] = {
        {"exit status", "--usb", {"/bin/sh", "-c", "exit 7"}, 7},
        {"killed by a signal", "--usb", {"/bin/sh", "-c", "kill -TERM $$"}, 128 + 15},
        {"no such program", "--usb", {"/no/such/program"}, 127},
        {"no command", "--usb", {}, 1},
        // Enumeration lists libusb's devices only: a module behind a node alone is not.
        {"module only behind a node", "--usb-node", {BinPath("sim_usb_probe")}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunResult r = Simulate({c.endpoint, "--tcp", "no", "--serial", "40F5849A"}, c.command);
        EXPECT_EQ(c.status, r.status) << r.err;
    }
}

TEST(SimUsbCommand, TheCommandSeesTheTestBedAndABusModuleHasNoUsb) {
    RunResult r =
        Simulate({"--usb", "--serial", "40F5849A"}, {"/bin/sh", "-c",
                                                     "ls \"$UMOCKDEV_DIR/dev/bus/usb/001\"; "
                                                     "echo \"$LD_PRELOAD\""});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("002\nlibumockdev-preload.so.0\n", r.out);

    testsupport::TempDir dir;
    const std::string config = dir.file("bus.conf");
    testsupport::WriteFile(config, "[module]\nserial = 40F5849A\n"
                                   "[module]\nserial = 11223344\naddress = 6\non = 40F5849A\n"
                                   "usb = yes\n");
    r = Simulate({"--config", config}, {"/bin/true"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("no USB of its own")) << r.err;
}

} // namespace
