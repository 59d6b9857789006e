// Packet log ring and the logger thread that writes its records to a file
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "aLogger.h"
#include "aPacketDebug.h"
#include "aTime.h"

namespace {

struct LogDeleter {
    void operator()(aPacketLog* l) const { aPacketLog_Destroy(&l); }
};
using Log = std::unique_ptr<aPacketLog, LogDeleter>;

std::vector<uint8_t> record(size_t n, uint8_t first) {
    std::vector<uint8_t> r(n);
    for (size_t i = 0; i < n; i++)
        r[i] = uint8_t(first + i);
    return r;
}

} // namespace

TEST(aPacketLog, DropsTheOldestToMakeRoom) {
    Log log(aPacketLog_Create(16));
    auto a = record(10, 1), b = record(10, 100);
    ASSERT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_OUT, a.size(), a.data()), aErrNone);
    ASSERT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_IN, b.size(), b.data()), aErrNone);
    uint8_t dir = 0, buf[32];
    size_t len = sizeof buf;
    ASSERT_EQ(aPacketLog_Get(log.get(), &dir, &len, buf), aErrNone);
    EXPECT_EQ(dir, aPACKETLOG_IN);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + len), b);
    len = sizeof buf;
    EXPECT_EQ(aPacketLog_Get(log.get(), &dir, &len, buf), aErrNotFound);
}

TEST(aPacketLog, RefusesRecordsThatCannotFit) {
    Log log(aPacketLog_Create(16));
    auto r = record(14, 0);
    EXPECT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_OUT, 14, r.data()), aErrOverrun);
    EXPECT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_OUT, 13, r.data()), aErrNone);
}

TEST(aPacketLog, ATooSmallBufferLeavesTheRecord) {
    Log log(aPacketLog_Create(64));
    auto r = record(6, 0x20);
    ASSERT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_OUT, 6, r.data()), aErrNone);
    uint8_t dir = 0, buf[8];
    size_t len = 4;
    EXPECT_EQ(aPacketLog_Get(log.get(), &dir, &len, buf), aErrOverrun);
    EXPECT_EQ(len, 6u);
    len = sizeof buf;
    ASSERT_EQ(aPacketLog_Get(log.get(), &dir, &len, buf), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + len), r);
}

TEST(aPacketLog, ReturnsOldestFirstAcrossTheWrap) {
    Log log(aPacketLog_Create(23));
    std::vector<std::vector<uint8_t>> kept;
    for (uint8_t i = 0; i < 40; i++) {
        auto r = record(1 + i % 5, uint8_t(i * 10));
        ASSERT_EQ(aPacketLog_Put(log.get(), uint8_t(1 + i % 3), r.size(), r.data()), aErrNone);
        kept.push_back(r);
        if (i % 4 != 3) continue;
        // Every fourth put, take the oldest and check it is the oldest still held.
        uint8_t dir, buf[8];
        size_t len = sizeof buf;
        ASSERT_EQ(aPacketLog_Get(log.get(), &dir, &len, buf), aErrNone);
        std::vector<uint8_t> got(buf, buf + len);
        auto it = std::find(kept.begin(), kept.end(), got);
        ASSERT_NE(it, kept.end()) << "record " << int(i);
        kept.erase(kept.begin(), it + 1); // older ones were dropped by the ring
    }
}

namespace {

// Feeds the logger from a packet log the test fills, as the link does.
struct Feed {
    std::mutex lock;
    std::condition_variable drained;
    aPacketLog* log = nullptr;
    static Feed* current;
    static void procedure(aFileRef file, uint32_t) {
        uint8_t dir, buf[64];
        size_t len = sizeof buf;
        aErr err;
        {
            std::lock_guard<std::mutex> g(current->lock);
            err = aPacketLog_Get(current->log, &dir, &len, buf);
        }
        if (err == aErrNone) {
            aPacketLog_WriteLine(file, dir, len, buf);
            return;
        }
        current->drained.notify_all();
        aTime_MSSleep(1);
    }
};
Feed* Feed::current = nullptr;

} // namespace

TEST(aLogger, WritesOneLinePerRecord) {
    testsupport::TempDir dir;
    std::string path = dir.file("packets.log");
    Log log(aPacketLog_Create(1024));
    Feed feed;
    feed.log = log.get();
    Feed::current = &feed;

    aLoggerRef logger = aLogger_Create(7, Feed::procedure, path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(aLogger_Disable(logger), aErrNone); // not running yet
    {
        std::lock_guard<std::mutex> g(feed.lock);
        const uint8_t magic[2] = {0xAD, 0x00};
        const uint8_t reply[5] = {0x04, 0x03, 0x03, 0x0A, 0xFF};
        aPacketLog_Put(log.get(), aPACKETLOG_OUT, 2, magic);
        aPacketLog_Put(log.get(), aPACKETLOG_IN, 5, reply);
        aPacketLog_Put(log.get(), aPACKETLOG_TEXT, 6, reinterpret_cast<const uint8_t*>("START"));
    }
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    {
        std::unique_lock<std::mutex> g(feed.lock);
        ASSERT_TRUE(feed.drained.wait_for(g, std::chrono::seconds(20),
                                          [&] { return log->head == log->tail; }));
    }
    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
    ASSERT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(testsupport::ReadFile(path), std::string("2 > 0xAD 0x0 \r\n"
                                                       "5 < 0x4 0x3 0x3 0xA 0xFF \r\n"
                                                       "6 < START") +
                                               '\0' + "\r\n");
    EXPECT_EQ(aLogger_Create(1, Feed::procedure, dir.file("no/such/dir").c_str()), nullptr);
}
