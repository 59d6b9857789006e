// ModuleFixture - simulated modules served on loopback, and Module objects connected to them
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>
#include <string>

#include "Module.h"
#include "ScriptedModule.h"
#include "Simulator.h"

namespace modulefixture {

inline linkSpec TcpSpec(uint32_t serial, uint16_t port) {
    linkSpec s = {};
    s.type = TCPIP;
    s.serialNumber = serial;
    s.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    s.t.ip.ipPort = port;
    return s;
}

// The TCP port the simulator serves the module with that serial number on.
inline uint16_t PortOf(const Simulator& sim, uint32_t serial) {
    for (const auto& e : sim.endpoints())
        if (e.kind == "tcp" && e.serial == serial)
            return uint16_t(std::stoi(e.where.substr(e.where.rfind(':') + 1)));
    return 0;
}

// The updater's own link settings: no link server, no fallback.
inline Pelmora::Corvane::aLoomConfig Direct() {
    Pelmora::Corvane::aLoomConfig c;
    c.enabled = 0;
    c.fallback = 0;
    return c;
}

// One simulated module on a loopback port and a Module connected to it.
class SimulatedModule : public ::testing::Test {
  protected:
    // Call from the test before Connect to shape the module.
    SimModuleConfig config;

    void Connect() {
        SimModule& m = sim.add(config);
        sim.listenTcp(m, "127.0.0.1", 0);
        ASSERT_EQ(sim.start(), "");
        module.setConfig(Direct());
        ASSERT_EQ(aErrNone,
                  module.connectFromSpec(TcpSpec(config.serial, PortOf(sim, config.serial))));
    }

    Simulator sim;
    Pelmora::Corvane::Module module{2, 0};
};

// A scripted module that answers nothing sent to address 6, so a test can play that
// module's replies itself, and a Module at address 6 connected to it.
class ScriptedReplies : public ::testing::Test {
  protected:
    static constexpr uint8_t kAddress = 6;
    void SetUp() override {
        module.setConfig(Direct());
        ASSERT_EQ(aErrNone, module.connectFromSpec(TcpSpec(scripted.serial(), scripted.port())));
        ASSERT_EQ(kAddress, module.getModuleAddress());
    }
    // The packet images addressed to kAddress among those given.
    static std::vector<testsupport::Bytes> ToModule(const std::vector<testsupport::Bytes>& all) {
        std::vector<testsupport::Bytes> out;
        for (const auto& image : all)
            if (image[0] == kAddress) out.push_back(image);
        return out;
    }
    // Waits until count images reached kAddress; answers them.
    std::vector<testsupport::Bytes> Requests(size_t count) const {
        scripted.awaitReceived([&](const std::vector<testsupport::Bytes>& all) {
            return ToModule(all).size() >= count;
        });
        return ToModule(scripted.received());
    }

    testsupport::ScriptedModule scripted{testsupport::ScriptedModule::Transport::Tcp, 4};
    Pelmora::Corvane::Module module{kAddress, false, 0};
};

} // namespace modulefixture
