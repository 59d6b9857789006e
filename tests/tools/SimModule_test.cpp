// The simulated module's answers, byte for byte, on a link without transport
#include <gtest/gtest.h>

#include "SimBench.h"
#include "aError.h"
#include "aVersion.h"
#include "cobs.h"
#include "crc8.h"

namespace {

SimModuleConfig Config() {
    SimModuleConfig c;
    c.serial = 0x40F5849A;
    c.model = 0x13;
    c.address = 2;
    c.version = aVersion_Pack(2, 15, 3);
    c.build = 0x01020304;
    c.name = "bench";
    c.features = 0x80000001;
    return c;
}

TEST(SimModule, SyncAnswersEveryMagicPacketAndForceRouteIsSilent) {
    SimBench b(Config());
    Bytes magic;
    for (int i = 0; i < 6; i++)
        magic = Cat(magic, H("AD 00"));
    EXPECT_EQ(b.ask(magic), H("02 00 02 00 02 00 02 00 02 00 02 00"));
    EXPECT_EQ(b.ask(H("AF 01 01")), Bytes{});
    EXPECT_EQ(b.module->forceRoute(), 1);
    EXPECT_EQ(b.ask(H("AF 01 00")), Bytes{});
    EXPECT_EQ(b.module->forceRoute(), 0);
    // A stray zero byte (no module has address 0) does not put the module out of step.
    EXPECT_EQ(b.ask(H("00 AD 00")), H("02 00"));
}

TEST(SimModule, SystemEntityGetsSetsAndErrorReplies) {
    SimModuleConfig c = Config();
    c.lacks = {45};
    SimBench b(c);
    struct Case {
        const char* ask;
        const char* answer;
    } cases[] = {
        {"02 03 03 48 20", "02 04 03 08 00 13"},          // model
        {"02 03 03 49 20", "02 07 03 09 00 40 F5 84 9A"}, // serial number
        {"02 03 03 47 20", "02 07 03 07 00 2F 02 0F 03"}, // packed version
        {"02 03 03 6B 20", "02 07 03 2B 00 01 02 03 04"}, // build
        {"02 03 03 41 20", "02 04 03 01 00 02"},          // module address
        {"02 03 03 45 20", "02 04 03 05 80 1D"},          // no option 5
        {"02 03 03 6D 20", "02 04 03 2D 80 1D"},          // lacked: features
        {"02 03 03 48 21", "02 04 03 08 81 1A"},          // no system entity 1
        {"02 04 03 87 20 01", "02 04 03 C7 80 1D"},       // version is read-only
        {"02 04 03 82 20 04", "02 03 03 C2 00"},          // router := 4
        {"02 03 03 42 20", "02 04 03 02 00 04"},          //   and read back
        {"02 05 03 82 20 00 04", "02 04 03 C2 80 0E"},    // wrong value size
        {"02 04 03 94 20 02", "02 04 03 D4 80 0D"},       // routing is 0 or 1
        {"02 07 03 A2 20 00 00 00 09", "02 03 03 E2 00"}, // power limit max
        {"02 03 03 62 20", "02 07 03 22 00 00 00 00 09"}, //   and read back
        {"02 03 30 41 20", "02 04 30 01 80 1C"},          // no entity class 0x30
        {"02 03 5C 80 20", "02 04 5C C0 80 0E"},          // store needs a value
    };
    for (const auto& k : cases)
        EXPECT_EQ(b.ask(H(k.ask)), H(k.answer)) << k.ask;
}

TEST(SimModule, StoreSavesLoadsAndRestoresFactorySettings) {
    SimBench b(Config());
    EXPECT_EQ(b.ask(H("02 04 03 84 20 07")), H("02 03 03 C4 00"));          // LED := 7
    EXPECT_EQ(b.ask(H("02 07 5C 80 20 00 00 03 00")), H("02 03 5C C0 00")); // save
    EXPECT_EQ(b.ask(H("02 04 03 84 20 09")), H("02 03 03 C4 00"));          // LED := 9
    EXPECT_EQ(b.ask(H("02 07 5C 82 20 00 00 03 00")), H("02 03 5C C2 00")); // load
    EXPECT_EQ(b.ask(H("02 03 03 44 20")), H("02 04 03 04 00 07"));
    EXPECT_EQ(b.ask(H("02 07 5C 81 20 00 00 03 00")), H("02 03 5C C1 00")); // factory
    EXPECT_EQ(b.ask(H("02 03 03 44 20")), H("02 04 03 04 00 00"));
    EXPECT_EQ(b.ask(H("02 07 5C 80 20 00 00 30 00")), H("02 04 5C C0 80 1C"));
}

TEST(SimModule, FiftyByteNameTravelsInThreeSequencedPackets) {
    SimBench b(Config());
    std::string name(50, 'x');
    for (size_t i = 0; i < name.size(); i++)
        name[i] = char('A' + i % 26);
    Bytes n(name.begin(), name.end());
    Bytes first = Cat(Cat(H("03 A0 20"), Bytes(n.begin(), n.begin() + 24)), H("80"));
    Bytes second = Cat(Cat(H("03 A0 20"), Bytes(n.begin() + 24, n.begin() + 48)), H("81"));
    Bytes third = Cat(Cat(H("03 A0 20"), Bytes(n.begin() + 48, n.end())), H("02"));
    auto packet = [](const Bytes& data) { return Cat(Bytes{2, uint8_t(data.size())}, data); };
    // Set: only the last packet of the run is answered.
    EXPECT_EQ(b.ask(packet(first)), Bytes{});
    EXPECT_EQ(b.ask(packet(second)), Bytes{});
    EXPECT_EQ(b.ask(packet(third)), H("02 03 03 E0 00"));
    EXPECT_EQ(b.module->name(), name);
    // Get: 24, 24 and 2 bytes with trailers 80, 81, 02.
    Bytes expect = Cat(Cat(H("02 1C 03 20 00"), Bytes(n.begin(), n.begin() + 24)), H("80"));
    expect =
        Cat(Cat(Cat(expect, H("02 1C 03 20 00")), Bytes(n.begin() + 24, n.begin() + 48)), H("81"));
    expect = Cat(Cat(Cat(expect, H("02 06 03 20 00")), Bytes(n.begin() + 48, n.end())), H("02"));
    EXPECT_EQ(b.ask(H("02 03 03 60 20")), expect);
    // A run whose second packet skips a sequence number is refused and changes nothing.
    Bytes skipped = second;
    skipped.back() = 0x82;
    EXPECT_EQ(b.ask(packet(first)), Bytes{});
    EXPECT_EQ(b.ask(packet(skipped)), H("02 04 03 E0 80 18"));
    EXPECT_EQ(b.module->name(), name);
    // An empty name is one packet with an empty chunk.
    EXPECT_EQ(b.ask(H("02 04 03 A0 20 00")), H("02 03 03 E0 00"));
    EXPECT_EQ(b.ask(H("02 03 03 60 20")), H("02 04 03 20 00 00"));
}

TEST(SimModule, ModuleInformationQueriesAndDebugEcho) {
    SimModuleConfig c = Config();
    SimBench b(c);
    c.ueiBytes = false;
    SimBench plain(c);
    struct Case {
        SimBench* bench;
        const char* ask;
        const char* answer;
    } cases[] = {
        {&b, "02 02 49 FF", "02 06 49 FF 01 02 03 04"},             // build
        {&b, "02 06 49 01 5F 0A 00 80", "02 06 49 01 5F 0A 00 00"}, // has DATA_UEI set
        {&plain, "02 06 49 01 5F 0A 00 80", "02 06 49 01 5F 0A 00 1D"},
        {&b, "02 06 49 01 03 07 00 40", "02 06 49 01 03 07 00 00"}, // version get
        {&b, "02 06 49 01 03 07 00 80", "02 06 49 01 03 07 00 1D"}, // version set: no
        {&b, "02 06 49 01 03 07 01 40", "02 06 49 01 03 07 01 1A"}, // index 1: none
        {&b, "02 06 49 01 30 01 00 40", "02 06 49 01 30 01 00 1C"}, // no class 0x30
        {&b, "02 03 49 04 03", "02 04 49 04 03 01"},                // class quantity
        {&b, "02 03 49 04 30", "02 04 49 04 30 00"},
        {&b, "02 04 49 05 03 00", "02 05 49 05 03 00 00"}, // subclass quantity
        {&b, "02 04 49 06 08 00", "02 05 49 06 08 00 01"}, // entity group
        {&b, "02 04 17 01 02 03", "02 04 17 01 02 03"},    // debug echo
    };
    for (const auto& k : cases)
        EXPECT_EQ(k.bench->ask(H(k.ask)), H(k.answer)) << k.ask;
}

TEST(SimModule, HeartbeatsGoOutAtTheirIntervalAndCountTheAnswers) {
    SimModuleConfig c = Config();
    c.heartbeat = 2; // every 200 ms
    SimBench b(c);
    EXPECT_EQ(b.advance(199000), Bytes{});
    EXPECT_EQ(b.advance(1000), H("02 02 00 00"));
    EXPECT_EQ(b.ask(H("02 02 00 02")), Bytes{}); // the host's answer is never answered
    EXPECT_EQ(b.advance(200000), H("02 02 00 01"));
    EXPECT_EQ(b.ask(H("02 02 00 02")), Bytes{}); // wrong: 1 is answered with 3
    EXPECT_EQ(b.module->heartbeatsSent(), 2);
    EXPECT_EQ(b.module->heartbeatsAnswered(), 1);
    EXPECT_EQ(b.module->heartbeatsWrong(), 1);
    // Interval 0 stops them.
    EXPECT_EQ(b.ask(H("02 04 03 83 20 00")), H("02 03 03 C3 00"));
    EXPECT_EQ(b.advance(1000000), Bytes{});
}

TEST(SimModule, RouterProbesItsBusAndRoutesWhileRoutingIsOn) {
    SimModuleConfig rc = Config(), cc = Config();
    cc.serial = 0x11223344;
    cc.address = 6;
    cc.router = 2;
    SimBench b(rc);
    SimModule child(cc);
    ASSERT_TRUE(b.module->attach(&child));
    EXPECT_FALSE(b.module->attach(&child)); // address taken
    struct Case {
        const char* ask;
        const char* answer;
    } cases[] = {
        {"02 03 03 49 20", "02 07 03 09 00 40 F5 84 9A"},       // the router itself
        {"06 03 03 49 20", ""},                                 // routing off: silence
        {"02 07 08 00 06 02 03 00 00", "02 05 08 00 06 00 00"}, // probe: someone at 6
        {"02 07 08 00 08 02 03 00 00", "02 05 08 00 08 00 86"}, // nobody at 8: aErrIO
        {"02 07 08 00 06 02 03 AB CD", "02 05 08 00 06 00 00"},
        {"02 05 08 00 07 03 03", "02 08 08 00 07 03 00 AB CD 00"}, // read back
        {"02 04 08 00 01 01", "02 05 08 00 01 01 00"},             // pull-up on
        {"02 07 08 01 06 02 03 00 00", "02 05 08 01 06 00 9A"},    // no bus 1
        {"02 04 03 94 20 01", "02 03 03 D4 00"},                   // route to me
        {"06 03 03 49 20", "06 07 03 09 00 11 22 33 44"},          // answered by the child
        {"06 03 03 42 20", "06 04 03 02 00 02"},                   // its router is 2
        {"AD 00", "02 00"},                                        // the router answers magic
        {"02 04 03 94 20 00", "02 03 03 D4 00"},
        {"06 03 03 49 20", ""},
    };
    for (const auto& k : cases)
        EXPECT_EQ(b.ask(H(k.ask)), H(k.answer)) << k.ask;
}

TEST(SimModule, SerialFramesAreCheckedAndRepliesFramed) {
    SimBench b(Config(), SimFraming::Cobs);
    auto frame = [](Bytes image) {
        image.push_back(crc8_create(image.data(), image.size()));
        Bytes out(COBS_ENCODED_MAX(image.size()) + 1);
        size_t n = cobs_encode(image.data(), image.size(), out.data());
        out.resize(n);
        out.push_back(0);
        return out;
    };
    EXPECT_EQ(b.ask(frame(H("AD 00"))), frame(H("02 00")));
    EXPECT_EQ(b.ask(frame(H("02 02 49 FF"))), frame(H("02 06 49 FF 01 02 03 04")));
    Bytes damaged = frame(H("AD 00"));
    damaged[damaged.size() - 2] ^= 0x01; // the CRC no longer fits
    EXPECT_EQ(b.ask(damaged), Bytes{});
    // Two frames and a lone delimiter in one read.
    EXPECT_EQ(b.ask(Cat(Cat(frame(H("AD 00")), H("00")), frame(H("AD 00")))),
              Cat(frame(H("02 00")), frame(H("02 00"))));
}

} // namespace
