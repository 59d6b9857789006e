// UpdaterEntity against a scripted module on loopback TCP: the exact packets of a block
// transfer, and the loops a misbehaving loader must not be able to make endless
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "Module.h"
#include "ScriptedModule.h"
#include "RecordingDisplay.h"
#include "UpdaterEntity.h"

using Pelmora::Corvane::aLoomConfig;
using Pelmora::Corvane::Module;
using testsupport::Bytes;
using testsupport::ScriptedModule;

namespace {

// A loader answering the upgrade exchanges from a thread: PREPARE with its chunk size,
// DATA with the count it is told to claim, SUM with the true sum, WRITE with success.
class Loader {
  public:
    Loader() {
        worker = std::thread([this] { serve(); });
    }
    ~Loader() {
        stop = true;
        worker.join();
    }

    std::atomic<uint16_t> chunk{1024};
    std::atomic<int> shortCounts{0}; // DATA replies that claim one byte less, -1 always
    ScriptedModule peer{ScriptedModule::Transport::Tcp, 4};

    // The upgrade requests received since the last forget, as option byte then payload
    // length, and as whole packet images.
    std::vector<std::pair<uint8_t, size_t>> requests() const {
        std::vector<std::pair<uint8_t, size_t>> out;
        for (const Bytes& image : images())
            out.emplace_back(image[3], image.size() - 4);
        return out;
    }
    std::vector<Bytes> images() const {
        std::lock_guard<std::mutex> hold(lock);
        return seen;
    }
    void forget() {
        std::lock_guard<std::mutex> hold(lock);
        seen.clear();
    }

  private:
    void serve() {
        size_t handled = 0;
        uint32_t sum = 0;
        while (!stop) {
            if (!peer.awaitReceived([&](const std::vector<Bytes>& r) { return r.size() > handled; },
                                    50))
                continue;
            std::vector<Bytes> all = peer.received();
            for (; handled < all.size(); handled++)
                answer(all[handled], sum);
        }
    }

    void answer(const Bytes& image, uint32_t& sum) {
        if (image.size() < 4 || image[2] != cmdUPGRADE) return;
        {
            std::lock_guard<std::mutex> hold(lock);
            seen.push_back(image);
        }
        const uint8_t option = image[3];
        if (option == val_UPGRADE_PREPARE) {
            sum = 0;
            peer.sendPacket(
                4, {cmdUPGRADE, val_UPGRADE_STATUS, 0, uint8_t(chunk >> 8), uint8_t(chunk)});
        } else if (option == val_UPGRADE_DATA) {
            uint8_t n = uint8_t(image.size() - 4);
            bool claimShort = shortCounts != 0;
            if (shortCounts > 0) shortCounts--;
            if (!claimShort)
                for (size_t i = 4; i < image.size(); i++)
                    sum += image[i];
            peer.sendPacket(4, {cmdUPGRADE, val_UPGRADE_DATA, uint8_t(claimShort ? n - 1 : n)});
        } else if (option == val_UPGRADE_SUM) {
            peer.sendPacket(4, {cmdUPGRADE, val_UPGRADE_STATUS, 0, uint8_t(sum >> 24),
                                uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)});
            sum = 0;
        } else if (option == val_UPGRADE_WRITE) {
            peer.sendPacket(4, {cmdUPGRADE, val_UPGRADE_STATUS, 0});
        }
    }

    mutable std::mutex lock;
    std::vector<Bytes> seen;
    std::atomic<bool> stop{false};
    std::thread worker;
};

class UpdaterEntityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        aLoomConfig direct;
        direct.enabled = 0;
        direct.fallback = 0;
        module.setConfig(direct);
        linkSpec spec = {};
        spec.type = TCPIP;
        spec.serialNumber = loader.peer.serial();
        spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
        spec.t.ip.ipPort = loader.peer.port();
        ASSERT_EQ(aErrNone, module.connectFromSpec(spec));
        entity.init(&module, 0, true, false);
        loader.forget();
    }

    // A block: the big-endian load address, then code bytes.
    static Bytes Block(size_t code) {
        Bytes b = {0x20, 0, 0x10, 0};
        for (size_t i = 0; i < code; i++)
            b.push_back(uint8_t(i * 7 + 3));
        return b;
    }

    Loader loader;
    Module module{4, 0};
    UpdaterEntity entity;
    RecordingDisplay display;
};

using Requests = std::vector<std::pair<uint8_t, size_t>>;

} // namespace

TEST_F(UpdaterEntityTest, LoaderBlockGoesAsFullDataPacketsThenOneSum) {
    Bytes block = Block(60);
    ASSERT_EQ(aErrNone, entity.LoaderTransfer(block.data(), uint32_t(block.size())));
    EXPECT_EQ((Requests{{val_UPGRADE_DATA, 26},
                        {val_UPGRADE_DATA, 26},
                        {val_UPGRADE_DATA, 8},
                        {val_UPGRADE_SUM, 0}}),
              loader.requests());
}

TEST_F(UpdaterEntityTest, FirmwareBlockGoesInChunksEachSummedAndWritten) {
    Bytes block = Block(5000);
    ASSERT_EQ(aErrNone,
              entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 1024, display));
    std::vector<size_t> chunks, writes;
    size_t data = 0;
    for (auto [option, length] : loader.requests()) {
        if (option == val_UPGRADE_DATA) data += length;
        if (option == val_UPGRADE_SUM) chunks.push_back(data), data = 0;
        if (option == val_UPGRADE_WRITE) writes.push_back(chunks.size());
    }
    EXPECT_EQ((std::vector<size_t>{1024, 1024, 1024, 1024, 904}), chunks);
    EXPECT_EQ((std::vector<size_t>{1, 2, 3, 4, 5}), writes); // each WRITE after its SUM
}

// A short count makes the same bytes go again; one that never ends fails the transfer
// after a bounded number of resends instead of feeding the module forever.
TEST_F(UpdaterEntityTest, ShortDataCountResendsBounded) {
    Bytes block = Block(26);
    loader.shortCounts = 1;
    ASSERT_EQ(aErrNone, entity.LoaderTransfer(block.data(), uint32_t(block.size())));
    std::vector<Bytes> sent = loader.images();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], sent[1]); // the very same packet again
    EXPECT_EQ((Requests{{val_UPGRADE_DATA, 26}, {val_UPGRADE_DATA, 26}, {val_UPGRADE_SUM, 0}}),
              loader.requests());

    loader.forget();
    loader.shortCounts = -1;
    EXPECT_EQ(aErrPacket, entity.LoaderTransfer(block.data(), uint32_t(block.size())));
    EXPECT_EQ(size_t(UpdaterEntity::kMaxDataResends + 1), loader.requests().size());
}

// Chunks of 0 bytes would never finish: the block fails at once, without a DATA packet.
TEST_F(UpdaterEntityTest, ChunkSizeZeroFailsTheBlock) {
    loader.chunk = 0;
    Bytes block = Block(100);
    uint16_t chunk = 99;
    ASSERT_EQ(aErrNone, entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, chunk));
    EXPECT_EQ(0, chunk);
    EXPECT_EQ(aErrRange,
              entity.FirmwareTransfer(block.data(), uint32_t(block.size()), chunk, display));
    EXPECT_EQ((Requests{{val_UPGRADE_PREPARE, 5}}), loader.requests());
}

// Blocks too short to hold their load address are refused before anything is sent.
TEST_F(UpdaterEntityTest, BlocksWithoutAnAddressAreRefused) {
    Bytes block = {0x20, 0};
    uint16_t chunk = 0;
    EXPECT_EQ(aErrSize, entity.TransferPrepare(block.data(), 2, 0, chunk));
    EXPECT_EQ(aErrSize, entity.LoaderTransfer(block.data(), 2));
    EXPECT_EQ(aErrSize, entity.FirmwareTransfer(block.data(), 2, 1024, display));
    EXPECT_TRUE(loader.requests().empty());
}
