// Entities against simulated and scripted modules over TCP loopback: the system entity's
// options, byte values in runs of packets, error replies, the store, the I2C entity
#include <gtest/gtest.h>

#include <string>

#include "ModuleFixture.h"
#include "aVersion.h"
#include "autoGen_I2CClass_CPP.h"
#include "autoGen_SystemClass_CPP.h"

using namespace Pelmora::Corvane;
using namespace modulefixture;
using testsupport::Bytes;

namespace {

class SystemEntity : public SimulatedModule {
  protected:
    void SetUp() override {
        config.serial = 0x2181F0EE;
        config.model = 0x13;
        config.address = 4;
        config.router = 6;
        config.version = aVersion_Pack(2, 10, 4);
        config.build = 99528558;
        config.features = 0x80000001;
        config.name = "bench-one";
        config.lacks = {25};
        Connect();
        system.init(&module, 0);
    }
    SystemClass system;
};

TEST_F(SystemEntity, ReadsWhatTheModuleIs) {
    uint8_t u8 = 0;
    uint32_t u32 = 0;
    int32_t s32 = 0;
    ASSERT_EQ(aErrNone, system.getModel(&u8));
    EXPECT_EQ(0x13, u8);
    ASSERT_EQ(aErrNone, system.getModule(&u8));
    EXPECT_EQ(4, u8);
    ASSERT_EQ(aErrNone, system.getRouter(&u8));
    EXPECT_EQ(6, u8);
    ASSERT_EQ(aErrNone, system.getSerialNumber(&u32));
    EXPECT_EQ(0x2181F0EEu, u32);
    ASSERT_EQ(aErrNone, system.getVersion(&u32));
    EXPECT_EQ(aVersion_Pack(2, 10, 4), u32);
    ASSERT_EQ(aErrNone, system.getBuild(&u32));
    EXPECT_EQ(99528558u, u32);
    ASSERT_EQ(aErrNone, system.getProtocolFeatures(&u32));
    EXPECT_EQ(0x80000001u, u32);
    ASSERT_EQ(aErrNone, system.getTemperature(&s32));
    EXPECT_EQ(35000000, s32);
    ASSERT_EQ(aErrNone, system.getInputVoltage(&u32));
    EXPECT_EQ(5000000u, u32);
    EXPECT_EQ(aErrParam, system.getModel(nullptr));
}

// Every settable option the simulated module keeps: written, then read back.
TEST_F(SystemEntity, SetsAreReadBack) {
    struct Case {
        const char* name;
        aErr (SystemClass::*set)(uint8_t);
        aErr (SystemClass::*get)(uint8_t*);
        uint8_t value;
    } cases[] = {
        {"router", &SystemClass::setRouter, &SystemClass::getRouter, 10},
        {"LED", &SystemClass::setLED, &SystemClass::getLED, 1},
        {"boot slot", &SystemClass::setBootSlot, &SystemClass::getBootSlot, 1},
        {"software offset", &SystemClass::setModuleSoftwareOffset,
         &SystemClass::getModuleSoftwareOffset, 3},
        {"power behaviour", &SystemClass::setInputPowerBehavior,
         &SystemClass::getInputPowerBehavior, 2},
        {"link interface", &SystemClass::setLinkInterface, &SystemClass::getLinkInterface, 1},
        {"LED brightness", &SystemClass::setLEDMaxBrightness, &SystemClass::getLEDMaxBrightness,
         77},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(aErrNone, (system.*c.set)(c.value));
        uint8_t back = 0;
        ASSERT_EQ(aErrNone, (system.*c.get)(&back));
        EXPECT_EQ(c.value, back);
    }
    ASSERT_EQ(aErrNone, system.setPowerLimitMax(123456));
    uint32_t limit = 0;
    ASSERT_EQ(aErrNone, system.getPowerLimitMax(&limit));
    EXPECT_EQ(123456u, limit);
    for (auto call : {&SystemClass::save, &SystemClass::logEvents,
                      &SystemClass::resetDeviceToFactoryDefaults, &SystemClass::reset})
        EXPECT_EQ(aErrNone, (system.*call)());
}

// The module's error replies come back as its codes; outputs stay untouched.
TEST_F(SystemEntity, ErrorRepliesAnswerTheModulesCode) {
    int32_t s32 = -7;
    EXPECT_EQ(aErrInvalidOption, system.getUnregulatedVoltage(&s32)); // lacked
    EXPECT_EQ(-7, s32);
    EXPECT_EQ(aErrRange, system.routeToMe(2));
    EXPECT_EQ(aErrInvalidOption, system.setUEI8(7, 1)); // the version is read-only
    EXPECT_EQ(aErrSize, system.setUEI16(4, 1));         // the LED is one byte
    uint8_t u8 = 0x55;
    SystemClass second;
    second.init(&module, 1);
    EXPECT_EQ(aErrIndexRange, second.getModel(&u8));
    EntityClass none;
    none.init(&module, 0x30, 0);
    EXPECT_EQ(aErrInvalidEntity, none.getUEI8(1, &u8));
    EXPECT_EQ(0x55, u8);
    EntityClass unbound;
    EXPECT_EQ(aErrResource, unbound.getUEI8(1, &u8));
    EXPECT_EQ(aErrResource, unbound.callUEI(1));
}

TEST_F(SystemEntity, NamesOfEveryLengthTravelWhole) {
    uint8_t buffer[4096];
    size_t length = 0;
    ASSERT_EQ(aErrNone, system.getName(buffer, sizeof buffer, &length));
    EXPECT_EQ("bench-one", std::string(reinterpret_cast<char*>(buffer), length));

    // 24 bytes per packet: 4000 bytes take 167 packets, past the 7-bit sequence numbers.
    for (size_t size : {size_t(0), size_t(1), size_t(24), size_t(25), size_t(4000)}) {
        SCOPED_TRACE(size);
        std::string name(size, 'x');
        for (size_t i = 0; i < size; i++)
            name[i] = char('A' + (i * 7) % 26);
        ASSERT_EQ(aErrNone, system.setName(reinterpret_cast<const uint8_t*>(name.data()), size));
        length = 12345;
        ASSERT_EQ(aErrNone, system.getName(buffer, sizeof buffer, &length));
        EXPECT_EQ(name, std::string(reinterpret_cast<char*>(buffer), length));
    }
}

// A value that does not fit ends in aErrMemory; the rest of its run must not be taken
// for the next value.
TEST_F(SystemEntity, ValueTooLongForTheBufferLeavesNothingBehind) {
    const std::string name = "0123456789abcdefghijklmnopqrstuvwxyz-0123456789";
    ASSERT_EQ(aErrNone, system.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()));
    uint8_t small[4];
    size_t length = 0;
    EXPECT_EQ(aErrMemory, system.getName(small, sizeof small, &length));
    uint8_t buffer[64];
    ASSERT_EQ(aErrNone, system.getName(buffer, sizeof buffer, &length));
    EXPECT_EQ(name, std::string(reinterpret_cast<char*>(buffer), length));
    EXPECT_EQ(aErrParam, system.getName(buffer, 0, &length));
    EXPECT_EQ(aErrParam, system.getName(nullptr, 4, &length));
}

TEST_F(SystemEntity, PowerBehaviourConfigCountsWholeValues) {
    const uint32_t values[3] = {0x01020304, 0xA0B0C0D0, 7};
    ASSERT_EQ(aErrNone, system.setInputPowerBehaviorConfig(values, 3));
    uint32_t back[8] = {};
    size_t count = 0;
    ASSERT_EQ(aErrNone, system.getInputPowerBehaviorConfig(back, 8, &count));
    ASSERT_EQ(3u, count);
    EXPECT_EQ(0, memcmp(values, back, sizeof values)); // bytes as the module keeps them

    const uint8_t six[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(aErrNone, system.setUEIBytes(31, six, sizeof six));
    EXPECT_EQ(aErr(1), system.getInputPowerBehaviorConfig(back, 8, &count));
    EXPECT_EQ(6u, count);
}

TEST(EntityBytesCheck, CountsUnitsOnlyForWholeMultiples) {
    struct Case {
        size_t count, unit;
        aErr result;
        size_t after;
    } cases[] = {
        {8, 4, aErrNone, 2}, {6, 4, aErr(1), 6}, {0, 4, aErrNone, 0},
        {0, 0, aErrNone, 0}, {3, 0, aErr(1), 3}, {5, 1, aErrNone, 5},
    };
    for (const Case& c : cases) {
        size_t count = c.count;
        EXPECT_EQ(c.result, EntityClass::getUEIBytesCheck(&count, c.unit))
            << c.count << "/" << c.unit;
        EXPECT_EQ(c.after, count);
    }
    EXPECT_EQ(aErrParam, EntityClass::getUEIBytesCheck(nullptr, 4));
}

TEST_F(SystemEntity, StoreSavesLoadsAndResetsTheEntity) {
    ASSERT_EQ(aErrNone, system.setLED(7));
    ASSERT_EQ(aErrNone, system.saveEntityToStore());
    ASSERT_EQ(aErrNone, system.setLED(9));
    ASSERT_EQ(aErrNone, system.loadEntityFromStore());
    uint8_t led = 0;
    ASSERT_EQ(aErrNone, system.getLED(&led));
    EXPECT_EQ(7, led);
    ASSERT_EQ(aErrNone, system.resetEntityToFactoryDefaults());
    ASSERT_EQ(aErrNone, system.getLED(&led));
    EXPECT_EQ(0, led);
    EntityClass missing;
    missing.init(&module, 0x30, 0);
    EXPECT_EQ(aErrInvalidEntity, missing.saveEntityToStore());
}

// ---- Replies played by the test -----------------------------------------------------------

class EntityReplies : public ScriptedReplies {
  protected:
    void SetUp() override {
        ScriptedReplies::SetUp();
        entity.init(&module, 3, 0);
    }
    EntityClass entity;
};

TEST_F(EntityReplies, OnlyRepliesWithTheOperationsBitsAreTaken) {
    struct Case {
        const char* what;
        bool set;
        Bytes reply;
        aErr result;
    } cases[] = {
        {"get answered with the bare option", false, {3, 23, 0, 0, 0, 1, 2}, aErrNone},
        {"get answered with bit 6 still set", false, {3, 23 | 0x40, 0, 0, 0, 1, 2}, aErrTimeout},
        {"get answered for another index", false, {3, 23, 1, 0, 0, 1, 2}, aErrTimeout},
        {"set answered with both bits", true, {3, 23 | 0xC0, 0}, aErrNone},
        {"set answered with bit 7 only", true, {3, 23 | 0x80, 0}, aErrTimeout},
        {"error reply", false, {3, 23, 0x80, 29}, aErrInvalidOption},
        {"error reply to a set", true, {3, 23 | 0xC0, 0x80, 13}, aErrRange},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        scripted.sendPacket(kAddress, c.reply);
        uint32_t value = 0xDEAD;
        aErr result = c.set ? entity.setUEI32(23, 5) : entity.getUEI32(23, &value);
        EXPECT_EQ(c.result, result);
        if (!c.set) {
            EXPECT_EQ(result == aErrNone ? 0x102u : 0xDEADu, value);
        }
        entity.drainUEI(23 | 0xC0);
        entity.drainUEI(23);
    }
}

TEST_F(EntityReplies, ByteRunsAreTakenInSequenceOnly) {
    uint8_t buffer[64];
    size_t received = 99;
    // The second packet carries sequence 2 instead of 1: the run never completes.
    scripted.sendPacket(kAddress, {3, 32, 0, 'a', 'b', 0x80});
    scripted.sendPacket(kAddress, {3, 32, 0, 'c', 0x02});
    EXPECT_EQ(aErrTimeout, entity.getUEIBytes(32, buffer, sizeof buffer, &received));
    EXPECT_EQ(2u, received);
    entity.drainUEI(32);

    // Packets out of order on the wire are put in order.
    scripted.sendPacket(kAddress, {3, 32, 0, 'c', 0x01});
    scripted.sendPacket(kAddress, {3, 32, 0, 'a', 'b', 0x80});
    ASSERT_EQ(aErrNone, entity.getUEIBytes(32, buffer, sizeof buffer, &received));
    EXPECT_EQ("abc", std::string(reinterpret_cast<char*>(buffer), received));

    // An error reply ends the run with the module's code.
    scripted.sendPacket(kAddress, {3, 32, 0, 'a', 0x80});
    scripted.sendPacket(kAddress, {3, 32, 0x80, 15});
    EXPECT_EQ(aErrOverrun, entity.getUEIBytes(32, buffer, sizeof buffer, &received));
}

TEST_F(EntityReplies, RequestsCarryTheirSubindexAndTheStoreValue) {
    scripted.sendPacket(kAddress, {3, 9, 0, 0x42});
    uint8_t value = 0;
    ASSERT_EQ(aErrNone, entity.getUEI8(9, 5, &value));
    EXPECT_EQ(0x42, value);
    scripted.sendPacket(kAddress, {3, 9 | 0xC0, 0});
    ASSERT_EQ(aErrNone, entity.setUEI16(9, 5, 0x1234));
    scripted.sendPacket(kAddress, {92, 0xC0, 0});
    ASSERT_EQ(aErrNone, entity.saveEntityToStore());
    const std::vector<Bytes> expected = {
        {kAddress, 4, 3, 9 | 0x40, 0x20, 5},
        {kAddress, 6, 3, 9 | 0x80, 0x20, 5, 0x12, 0x34},
        {kAddress, 7, 92, 0x80, 0x20, 0, 0, 3, 0},
    };
    EXPECT_EQ(expected, Requests(expected.size()));
}

// ---- The I2C entity -----------------------------------------------------------------------

class I2CEntity : public ScriptedReplies {
  protected:
    void SetUp() override {
        ScriptedReplies::SetUp();
        i2c.init(&module, 0);
    }
    I2CClass i2c;
};

TEST_F(I2CEntity, SizeLimitsAndSpeedGoIntoTheRequest) {
    uint8_t data[24];
    for (int i = 0; i < 24; i++)
        data[i] = uint8_t(i + 1);
    EXPECT_EQ(aErrSize, i2c.write(0x10, 24, data));
    EXPECT_EQ(aErrSize, i2c.read(0x10, 24, data));
    ASSERT_EQ(aErrNone, i2c.setSpeed(2));
    EXPECT_EQ(aErrParam, i2c.setSpeed(4));
    uint8_t speed = 0;
    ASSERT_EQ(aErrNone, i2c.getSpeed(&speed));
    EXPECT_EQ(2, speed);

    scripted.sendPacket(kAddress, {8, 0, 0x10, 0, 0});
    ASSERT_EQ(aErrNone, i2c.write(0x10, 23, data));
    Bytes request = {kAddress, 28, 8, 0, 0x10, 23, 2};
    request.insert(request.end(), data, data + 23);
    EXPECT_EQ(std::vector<Bytes>{request}, Requests(1));
}

TEST_F(I2CEntity, RepliesGiveStatusAndData) {
    uint8_t data[8] = {};
    struct Case {
        const char* what;
        Bytes reply;
        aErr result;
    } writes[] = {
        {"acknowledged", {8, 0, 0x20, 0, 0}, aErrNone},
        {"refused with a code", {8, 0, 0x20, 0, 0x86}, aErrIO},
        {"too short", {8, 0, 0x20, 0}, aErrPacket},
    };
    for (const Case& c : writes) {
        scripted.sendPacket(kAddress, c.reply);
        EXPECT_EQ(c.result, i2c.write(0x20, 2, data)) << c.what;
    }
    scripted.sendPacket(kAddress, {8, 0, 0x21, 3, 0, 7, 8, 9});
    ASSERT_EQ(aErrNone, i2c.read(0x20, 3, data));
    EXPECT_EQ((Bytes{7, 8, 9}), Bytes(data, data + 3));
    // A count beyond what was asked or what the reply holds is not copied.
    scripted.sendPacket(kAddress, {8, 0, 0x21, 9, 0, 1, 2, 3});
    EXPECT_EQ(aErrPacket, i2c.read(0x20, 3, data));
    scripted.sendPacket(kAddress, {8, 0, 0x21, 3, 0, 1});
    EXPECT_EQ(aErrPacket, i2c.read(0x20, 3, data));
    scripted.sendPacket(kAddress, {8, 0, 1, 1, 0});
    EXPECT_EQ(aErrNone, i2c.setPullup(true));
}

// The I2C bus of a simulated router: modules on it acknowledge, empty addresses do not.
TEST(I2CBus, RouterBusAcknowledgesOnlyItsModules) {
    Simulator sim;
    SimModuleConfig r, a;
    a.serial = 0x11223344;
    a.address = 6;
    SimModule& router = sim.add(r);
    ASSERT_TRUE(sim.attach(router, sim.add(a)));
    sim.listenTcp(router, "127.0.0.1", 0);
    ASSERT_EQ(sim.start(), "");
    Module module(2, 0);
    module.setConfig(Direct());
    ASSERT_EQ(aErrNone, module.connectFromSpec(TcpSpec(r.serial, PortOf(sim, r.serial))));
    I2CClass bus;
    bus.init(&module, 0);
    const uint8_t probe[3] = {0xA5, 0, 0x5A};
    EXPECT_EQ(aErrNone, bus.write(6, 3, probe));
    EXPECT_EQ(aErrIO, bus.write(8, 3, probe));
    uint8_t back[3] = {};
    ASSERT_EQ(aErrNone, bus.read(6, 3, back));
    EXPECT_EQ(Bytes(probe, probe + 3), Bytes(back, back + 3));
    EXPECT_EQ(aErrNone, bus.setPullup(true));
}

} // namespace
