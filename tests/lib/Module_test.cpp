// Module against simulated and scripted modules over TCP loopback: connections, auto
// networking, routing through another module, the module-information queries
#include <gtest/gtest.h>

#include "ModuleFixture.h"
#include "aVersion.h"
#include "autoGen_SystemClass_CPP.h"

using namespace Pelmora::Corvane;
using namespace modulefixture;
using testsupport::Bytes;
using testsupport::ScriptedModule;

namespace {

class ModuleSim : public SimulatedModule {};

TEST_F(ModuleSim, ConnectingLearnsTheAddressTheModuleAnswersFrom) {
    config.address = 6;
    Connect();
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(6, module.getModuleAddress());
    linkSpec spec;
    ASSERT_EQ(aErrNone, module.getLinkSpecifier(&spec));
    EXPECT_EQ(PortOf(sim, config.serial), spec.t.ip.ipPort);

    // A connected module refuses another specifier and keeps its configuration.
    EXPECT_EQ(aErrBusy, module.connectFromSpec(TcpSpec(1, 1)));
    EXPECT_EQ(aErrMode, module.setConfig(aLoomConfig{}));
    aLoomConfig kept;
    ASSERT_EQ(aErrNone, module.getConfig(&kept));
    EXPECT_EQ(0, kept.enabled);
    EXPECT_EQ(aErrParam, module.getConfig(nullptr));

    module.setModuleAddress(2);
    EXPECT_EQ(aErrNone, module.disconnect());
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(aErrNone, module.reconnect());
    EXPECT_EQ(6, module.getModuleAddress());
}

TEST(ModuleConnect, RefusesWhatItCannotUse) {
    Module module(2, 0);
    EXPECT_EQ(aErrParam, module.connect(TCPIP, 0));
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(8, module.getStatus());
    uint32_t build = 0;
    uint8_t count = 0;
    EXPECT_EQ(aErrConnection, module.getBuild(&build));
    EXPECT_EQ(aErrConnection, module.classQuantity(3, &count));
    EXPECT_EQ(aErrConnection, module.debug(nullptr, 0));
    EXPECT_EQ(aErrNotFound, module.getLinkSpecifier(nullptr));
    // Through a router that is not connected: first its missing specifier, then its
    // missing link.
    Module router(2, 0);
    EXPECT_EQ(aErrNotFound, module.connectThroughLinkModule(&router));
    ASSERT_EQ(aErrNone, router.getLink()->setLinkSpecifier(TcpSpec(1, 1)));
    EXPECT_EQ(aErrInitialization, module.connectThroughLinkModule(&router));
}

// The address query, on or off, against a module that stays silent or names itself.
TEST(ModuleConnect, AutoNetworkingFollowsTheAddressQuery) {
    struct Case {
        bool networking;
        bool answers;
        uint8_t moduleAddress;
        aErr result;
        uint8_t address;
    } cases[] = {
        {true, true, 8, aErrNone, 8},      // learns the module's address
        {true, false, 8, aErrNotReady, 2}, // silent: the link is up, the call says so
        {false, false, 8, aErrNone, 2},    // off: nothing is asked
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.networking << c.answers << int(c.moduleAddress));
        ScriptedModule scripted(ScriptedModule::Transport::Tcp, c.moduleAddress);
        Module module(2, c.networking, 0);
        module.setConfig(Direct());
        scripted.answerMagic(c.answers);
        EXPECT_EQ(c.result, module.connectFromSpec(TcpSpec(scripted.serial(), scripted.port())));
        EXPECT_TRUE(module.isConnected());
        EXPECT_EQ(c.address, module.getModuleAddress());
        size_t queries = scripted.count(Bytes{0xAD, 0});
        if (!c.networking) {
            EXPECT_EQ(0u, queries);
        }
        if (!c.answers && c.networking) {
            EXPECT_EQ(4u, queries);
        }
    }
}

TEST_F(ModuleSim, InformationQueriesAndTheDebugEcho) {
    config.build = 0x01020304;
    Connect();
    uint32_t build = 0;
    ASSERT_EQ(aErrNone, module.getBuild(&build));
    EXPECT_EQ(0x01020304u, build);
    EXPECT_EQ(aErrParam, module.getBuild(nullptr));

    struct Has {
        uint8_t command, option, index, flags;
        aErr result;
    } has[] = {
        {3, 7, 0, 0x40, aErrNone},          // the version can be read
        {3, 7, 0, 0x80, aErrInvalidOption}, // but not set
        {3, 4, 0, 0x00, aErrNone},          // the LED both ways
        {3, 7, 1, 0x40, aErrIndexRange},    // one system entity only
        {0x30, 1, 0, 0x40, aErrInvalidEntity},
        {3, 7, 0, 0xC0, aErrParam}, // get and set at once
        {3, 7, 0, 0x41, aErrParam}, // low bits are not flags
    };
    for (const Has& h : has)
        EXPECT_EQ(h.result, module.hasUEI(h.command, h.option, h.index, h.flags))
            << int(h.command) << "/" << int(h.option) << " flags " << int(h.flags);

    uint8_t value = 0xFF;
    EXPECT_EQ(aErrNone, module.classQuantity(3, &value));
    EXPECT_EQ(1, value);
    EXPECT_EQ(aErrNone, module.entityGroup(8, 0, &value));
    EXPECT_EQ(1, value);
    value = 0xFF;
    EXPECT_EQ(aErrNone, module.subClassQuantity(3, 0, &value));
    EXPECT_EQ(0, value);

    const uint8_t echo[27] = {1, 2, 3, 0xFE};
    EXPECT_EQ(aErrNone, module.debug(echo, sizeof echo));
    EXPECT_EQ(aErrNone, module.debug(nullptr, 0));
    EXPECT_EQ(aErrParam, module.debug(echo, 28));
}

TEST_F(ScriptedReplies, MalformedInformationRepliesAreRefused) {
    struct Case {
        Bytes reply;
        aErr result;
    };
    // Build replies: only six bytes are a build number.
    for (const Case& c :
         {Case{{0x49, 0xFF, 0, 0, 1}, aErrSize}, Case{{0x49, 0xFF, 0, 0, 1, 2, 3}, aErrSize},
          Case{{0x49, 0xFF, 0, 0, 1, 2}, aErrNone}}) {
        scripted.sendPacket(kAddress, c.reply);
        uint32_t build = 0;
        EXPECT_EQ(c.result, module.getBuild(&build)) << c.reply.size();
        if (c.result == aErrNone) {
            EXPECT_EQ(0x102u, build);
        }
    }
    // Quantity replies must repeat the request.
    for (const Case& c : {Case{{0x49, 4, 8, 5}, aErrUnknown}, Case{{0x49, 4, 3}, aErrUnknown},
                          Case{{0x49, 4, 3, 5}, aErrNone}}) {
        scripted.sendPacket(kAddress, c.reply);
        uint8_t count = 0xFF;
        EXPECT_EQ(c.result, module.classQuantity(3, &count));
        EXPECT_EQ(c.result == aErrNone ? 5 : 0, count);
    }
    // An echo that differs.
    scripted.sendPacket(kAddress, {23, 1, 2, 4});
    const uint8_t sent[3] = {1, 2, 3};
    EXPECT_EQ(aErrIO, module.debug(sent, 3));
    // Nothing answers: the wait ends.
    uint8_t group = 0;
    EXPECT_EQ(aErrTimeout, module.entityGroup(3, 0, &group));
}

// A router with two modules on its bus: a module reaches one of them over the router's
// link, once routing is on.
TEST(ModuleRouting, ConnectsThroughTheRouter) {
    Simulator sim;
    SimModuleConfig r, a;
    r.serial = 0x40F5849A;
    a.serial = 0x11223344;
    a.address = 8;
    SimModule& router = sim.add(r);
    SimModule& child = sim.add(a);
    ASSERT_TRUE(sim.attach(router, child));
    sim.listenTcp(router, "127.0.0.1", 0);
    ASSERT_EQ(sim.start(), "");

    Module routerModule(2, 0);
    routerModule.setConfig(Direct());
    ASSERT_EQ(aErrNone, routerModule.connectFromSpec(TcpSpec(r.serial, PortOf(sim, r.serial))));
    SystemClass routerSystem;
    routerSystem.init(&routerModule, 0);
    ASSERT_EQ(aErrNone, routerSystem.routeToMe(1));

    Module target(8, false, 0);
    ASSERT_EQ(aErrNone, target.connectThroughLinkModule(&routerModule));
    SystemClass system;
    system.init(&target, 0);
    uint32_t serial = 0;
    ASSERT_EQ(aErrNone, system.getSerialNumber(&serial));
    EXPECT_EQ(0x11223344u, serial);
    linkSpec spec;
    ASSERT_EQ(aErrNone, target.getLinkSpecifier(&spec));
    EXPECT_EQ(r.serial, spec.serialNumber);

    // Already connected: nothing changes, not even a specifier set on the way.
    target.setNetworkingMode(true);
    EXPECT_EQ(aErrNone, target.connectThroughLinkModule(&routerModule));
    EXPECT_EQ(8, target.getModuleAddress());

    // The target goes; the router's own link stays.
    target.disconnect();
    EXPECT_TRUE(routerModule.isConnected());
    uint32_t routerSerial = 0;
    EXPECT_EQ(aErrNone, routerSystem.getSerialNumber(&routerSerial));
    EXPECT_EQ(r.serial, routerSerial);
    EXPECT_EQ(aErrNone, routerSystem.routeToMe(0));
    EXPECT_FALSE(sim.with([&] { return router.routing(); }));
}

} // namespace
