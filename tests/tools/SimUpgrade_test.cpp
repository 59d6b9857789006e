// The upgrade protocol from the module's side, and the faults it can be asked to show
#include <gtest/gtest.h>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "FirmwareStamp.h"
#include "SimBench.h"
#include "aUEI.h"
#include "aVersion.h"

namespace {

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(seed + i * 7 + (i >> 3));
    return b;
}

Bytes Packet(const Bytes& data) {
    return Cat(Bytes{2, uint8_t(data.size())}, data);
}

Bytes Be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

uint32_t Sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; i++)
        s += p[i];
    return s;
}

// A BIRD file with two loader blocks and two firmware blocks, the first stamped.
struct Bird {
    Bird() {
        BirdWriter w;
        w.AddInfo({4711, "3.4.5", 0, "bench"});
        w.AddImage(BLOCK_LOADER, 0, 0x20000000, Pattern(60, 1));
        w.AddImage(BLOCK_LOADER, 2, 0x20001000, Pattern(7, 2));
        w.AddImage(BLOCK_FIRMWARE, 0, 0x00008000,
                   Cat(Pattern(230, 3), FirmwareStamp_Make({4711, aVersion_Pack(3, 4, 5)})));
        w.AddImage(BLOCK_FIRMWARE, 1, 0x00010000, Pattern(100, 4));
        Bytes file = w.File();
        EXPECT_TRUE(bird.LoadBytes(file.data(), file.size()));
    }
    BirdFile bird;
};

// The host's side of the exchanges, raw, checking every reply against its table.
struct Host {
    SimBench& b;

    void prepare(const BirdBlock& block, uint16_t chunk) {
        Bytes req = Cat(H("5F 03"), Cat(Bytes{block.flags}, Bytes(block.data, block.data + 4)));
        EXPECT_EQ(b.ask(Packet(req)),
                  Cat(H("02 05 5F 07 00"), Bytes{uint8_t(chunk >> 8), uint8_t(chunk)}));
    }
    void data(const uint8_t* p, size_t n) {
        for (size_t at = 0; at < n; at += 26) {
            size_t k = std::min<size_t>(26, n - at);
            Bytes req = Cat(H("5F 01"), Bytes(p + at, p + at + k));
            EXPECT_EQ(b.ask(Packet(req)), Cat(H("02 03 5F 01"), Bytes{uint8_t(k)}));
        }
    }
    void dataUei(const uint8_t* p, size_t n) {
        uint8_t seq = 0;
        for (size_t at = 0; at < n || (n == 0 && seq == 0); at += 24) {
            size_t k = std::min<size_t>(24, n - at);
            bool more = at + k < n;
            Bytes req = Cat(Cat(H("5F 8A 20"), Bytes(p + at, p + at + k)),
                            Bytes{uint8_t((seq++ & 0x7F) | (more ? 0x80 : 0))});
            EXPECT_EQ(b.ask(Packet(req)), more ? Bytes{} : H("02 03 5F CA 00"));
        }
    }
    void sum(const uint8_t* p, size_t n) {
        EXPECT_EQ(b.ask(H("02 02 5F 04")), Cat(H("02 07 5F 07 00"), Be32(Sum(p, n))));
    }
    void write(size_t n) {
        EXPECT_EQ(b.ask(Packet(Cat(H("5F 05"), Bytes{uint8_t(n >> 8), uint8_t(n)}))),
                  H("02 03 5F 07 00"));
    }

    void loaderStage(const BirdFile& bird) {
        EXPECT_EQ(b.ask(H("02 02 5F 00")), H("02 06 5F 00 10 00 00 00"));
        for (const auto& block : bird.FindBlocks(BLOCK_LOADER)) {
            prepare(block, 100);
            data(block.data + 4, block.length - 4);
            sum(block.data + 4, block.length - 4);
        }
        EXPECT_EQ(b.ask(H("02 02 5F 02")), H("02 02 5F 02"));
    }
    void firmwareStage(const BirdFile& bird, bool uei) {
        for (const auto& block : bird.FindBlocks(BLOCK_FIRMWARE)) {
            prepare(block, 100);
            for (size_t at = 4; at < block.length; at += 100) {
                size_t n = std::min<size_t>(100, block.length - at);
                uei ? dataUei(block.data + at, n) : data(block.data + at, n);
                sum(block.data + at, n);
                write(n);
            }
        }
        EXPECT_EQ(b.ask(H("02 02 5F 06")), Bytes{});
    }
};

SimModuleConfig Config(SimAfterLoad after = SimAfterLoad::Keep) {
    SimModuleConfig c;
    c.chunkSize = 100;
    c.afterLoad = after;
    c.version = aVersion_Pack(2, 12, 0);
    c.build = 1000;
    return c;
}

void ExpectBlocks(const std::vector<SimBlock>& got, const std::vector<BirdBlock>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(got[i].address, want[i].address);
        EXPECT_EQ(got[i].flags, want[i].flags);
        EXPECT_EQ(got[i].bytes, Bytes(want[i].data + 4, want[i].data + want[i].length));
    }
}

TEST(SimUpgrade, WholeUpdateWithDataPacketsAndWithUeiPayloads) {
    Bird f;
    for (bool uei : {false, true}) {
        SCOPED_TRACE(uei ? "DATA_UEI" : "DATA");
        SimBench b(Config());
        Host host{b};
        host.loaderStage(f.bird);
        EXPECT_TRUE(b.module->inLoader());
        EXPECT_FALSE(b.link->dropped());
        ExpectBlocks(b.module->loader(), f.bird.FindBlocks(BLOCK_LOADER));
        host.firmwareStage(f.bird, uei);
        EXPECT_TRUE(b.link->dropped());
        EXPECT_FALSE(b.module->inLoader());
        ExpectBlocks(b.module->firmware(), f.bird.FindBlocks(BLOCK_FIRMWARE));
        // The new image runs and reports what its stamp carries.
        b.relink();
        EXPECT_EQ(b.ask(H("02 03 03 47 20")), H("02 07 03 07 00 2F 03 04 05"));
        EXPECT_EQ(b.ask(H("02 03 03 6B 20")), Cat(H("02 07 03 2B 00"), Be32(4711)));
        EXPECT_EQ(b.ask(H("02 02 49 FF")), Cat(H("02 06 49 FF"), Be32(4711)));
    }
}

TEST(SimUpgrade, AfterLoadTheLinkStaysDropsOrComesBackUnderTheLoaderSerial) {
    struct Case {
        SimAfterLoad after;
        bool drops;
        const char* serialWhileLoading;
    } cases[] = {{SimAfterLoad::Keep, false, "40 F5 84 9A"},
                 {SimAfterLoad::Reconnect, true, "40 F5 84 9A"},
                 {SimAfterLoad::DeadBeef, true, "DE AD DE AD"}};
    Bird f;
    for (const auto& k : cases) {
        SimBench b(Config(k.after));
        Host host{b};
        host.loaderStage(f.bird);
        EXPECT_EQ(b.link->dropped(), k.drops);
        if (k.drops) b.relink();
        EXPECT_EQ(b.ask(H("02 03 03 49 20")), Cat(H("02 07 03 09 00"), H(k.serialWhileLoading)));
        host.firmwareStage(f.bird, false);
        b.relink();
        EXPECT_EQ(b.ask(H("02 03 03 49 20")), H("02 07 03 09 00 40 F5 84 9A"));
    }
}

TEST(SimUpgrade, LoaderRefusesWritesThatDoNotMatchTheChunkAndImagesWithoutStampKeepTheirVersion) {
    SimBench b(Config());
    Host host{b};
    EXPECT_EQ(b.ask(H("02 03 5F 05 00")), H("02 03 5F 07 01"));    // no length: refused
    EXPECT_EQ(b.ask(H("02 04 5F 05 00 01")), H("02 03 5F 07 01")); // application: no WRITE
    EXPECT_EQ(b.ask(H("02 02 5F 02")), H("02 02 5F 02"));
    Bytes code = Pattern(10, 9);
    Bytes block = Cat(Be32(0x4000), code);
    BirdBlock bb{BLOCK_FIRMWARE, 0, uint32_t(block.size()), 0x4000, block.data()};
    host.prepare(bb, 100);
    host.data(code.data(), code.size());
    EXPECT_EQ(b.ask(H("02 04 5F 05 00 0B")), H("02 03 5F 07 01")); // 11 != 10 received
    host.data(code.data(), code.size());
    host.sum(code.data(), code.size());
    host.write(code.size());
    EXPECT_EQ(b.ask(H("02 02 5F 06")), Bytes{});
    ASSERT_EQ(b.module->firmware().size(), 1u);
    EXPECT_EQ(b.module->firmware()[0].bytes, code);
    EXPECT_EQ(b.module->version(), aVersion_Pack(2, 12, 0));
    EXPECT_EQ(b.module->build(), 1000u);
}

TEST(SimUpgrade, FaultsOnDemand) {
    Bytes code = Pattern(30, 5);
    Bytes block = Cat(Be32(0x20000000), code);
    BirdBlock bb{BLOCK_LOADER, 0, uint32_t(block.size()), 0x20000000, block.data()};
    Bytes data26 = Packet(Cat(H("5F 01"), Bytes(code.begin(), code.begin() + 26)));

    {
        SCOPED_TRACE("corrupt sum once");
        SimModuleConfig c = Config();
        c.faults.corruptSums = 1;
        SimBench b(c);
        Host host{b};
        host.prepare(bb, 100);
        host.data(code.data(), code.size());
        Bytes good = Cat(H("02 07 5F 07 00"), Be32(Sum(code.data(), code.size())));
        EXPECT_NE(b.ask(H("02 02 5F 04")), good);
        host.prepare(bb, 100);
        host.data(code.data(), code.size());
        EXPECT_EQ(b.ask(H("02 02 5F 04")), good);
    }
    {
        SCOPED_TRACE("refuse PREPARE once");
        SimModuleConfig c = Config();
        c.faults.refusePrepares = 1;
        SimBench b(c);
        EXPECT_EQ(b.ask(Packet(H("5F 03 00 20 00 00 00"))), H("02 05 5F 07 01 00 00"));
        EXPECT_EQ(b.ask(Packet(H("5F 03 00 20 00 00 00"))), H("02 05 5F 07 00 00 64"));
    }
    {
        SCOPED_TRACE("never answer LOAD");
        SimModuleConfig c = Config();
        c.faults.noLoadReply = true;
        SimBench b(c);
        EXPECT_EQ(b.ask(H("02 02 5F 02")), Bytes{});
        EXPECT_TRUE(b.module->inLoader());
    }
    {
        SCOPED_TRACE("drop one DATA reply");
        SimModuleConfig c = Config();
        c.faults.dropReplyPrefix = H("5F 01");
        c.faults.dropReplies = 1;
        SimBench b(c);
        Host{b}.prepare(bb, 100);
        EXPECT_EQ(b.ask(data26), Bytes{});
        EXPECT_EQ(b.ask(data26), H("02 03 5F 01 1A"));
        EXPECT_EQ(b.ask(H("AD 00")), H("02 00"));
    }
    {
        SCOPED_TRACE("drop the link mid-transfer");
        SimModuleConfig c = Config();
        c.faults.dropAfterData = 2;
        SimBench b(c);
        Host{b}.prepare(bb, 100);
        EXPECT_EQ(b.ask(data26), H("02 03 5F 01 1A"));
        EXPECT_EQ(b.ask(data26), Bytes{});
        EXPECT_TRUE(b.link->dropped());
        EXPECT_EQ(b.ask(H("AD 00")), Bytes{}); // a dropped link hears nothing more
        b.relink();
        Host{b}.prepare(bb, 100); // back, and the transfer starts over
        EXPECT_EQ(b.ask(data26), H("02 03 5F 01 1A"));
    }
}

TEST(SimUpgrade, SlowRepliesAndPacedBytesLeaveOnTheClock) {
    SimModuleConfig c = Config();
    c.faults.replyDelayMs = 250;
    SimBench slow(c);
    EXPECT_EQ(slow.ask(H("AD 00")), Bytes{});
    EXPECT_EQ(slow.advance(249999), Bytes{});
    EXPECT_EQ(slow.advance(1), H("02 00"));

    c.faults.replyDelayMs = 0;
    c.faults.baud = 9600; // 10 bits a byte: 1041 us each
    SimBench paced(c);
    EXPECT_EQ(paced.ask(H("02 02 49 FF")), H("02"));
    EXPECT_EQ(paced.advance(1040), Bytes{});
    EXPECT_EQ(paced.advance(1), H("06"));
    EXPECT_EQ(paced.advance(1041 * 6), H("49 FF 00 00 03 E8"));
    EXPECT_EQ(paced.link->nextEventUs(), UINT64_MAX);
}

} // namespace
