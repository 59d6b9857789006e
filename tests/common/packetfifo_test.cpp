// Packet FIFOs: order, capacity, waiting, filtering, draining and concurrent use
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "packetfifo.h"

namespace {

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

// A packet whose first two data bytes carry a tag.
aErr putTagged(aPacketFifoId id, uint16_t tag) {
    uint8_t data[2] = {uint8_t(tag >> 8), uint8_t(tag)};
    Packet p(aPacket_CreateWithData(4, 2, data));
    return aPacketFifo_Put(id, p.get());
}

int tagOf(const aPacket* p) {
    return p ? (p->data[0] << 8) | p->data[1] : -1;
}

int takeTag(aPacket* p) {
    Packet owned(p);
    return tagOf(p);
}

class FifoTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(id = aPacketFifo_Create(), 0u); }
    void TearDown() override {
        if (id) aPacketFifo_Destroy(&id);
    }
    aPacketFifoId id = 0;
};

bool acceptTag(const aPacket* p, void* ref) {
    return tagOf(p) == *static_cast<int*>(ref);
}

bool acceptAll(const aPacket*, void*) {
    return true;
}

} // namespace

TEST_F(FifoTest, KeepsPutOrderAndStoresCopies) {
    uint8_t data[2] = {0, 1};
    aPacket* mine = aPacket_CreateWithData(4, 2, data);
    ASSERT_EQ(aPacketFifo_Put(id, mine), aErrNone);
    aPacket_Destroy(&mine); // the FIFO holds its own copy
    ASSERT_EQ(putTagged(id, 2), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), 2u);
    EXPECT_EQ(takeTag(aPacketFifo_Get(id)), 1);
    EXPECT_EQ(takeTag(aPacketFifo_Get(id)), 2);
    EXPECT_EQ(aPacketFifo_Get(id), nullptr);
}

TEST_F(FifoTest, RejectsInvalidPacketsAndUnknownIds) {
    Packet p(aPacket_Create());
    p->check = 0xBAD;
    EXPECT_EQ(aPacketFifo_Put(id, p.get()), aErrParam);
    p->check = aPACKET_CHECK;
    EXPECT_EQ(aPacketFifo_Put(id, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    EXPECT_EQ(aPacketFifo_Put(0, p.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(0), nullptr);
    EXPECT_EQ(aPacketFifo_Await(0, 0), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(0), 0u);
}

TEST_F(FifoTest, OverflowDiscardsTheWholeQueue) {
    for (int i = 0; i < aPACKETFIFO_CAPACITY; i++)
        ASSERT_EQ(putTagged(id, uint16_t(i)), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), 1000u);
    EXPECT_EQ(putTagged(id, 1000), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    EXPECT_EQ(putTagged(id, 1001), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), 1u);
    EXPECT_EQ(takeTag(aPacketFifo_Get(id)), 1001);
}

TEST_F(FifoTest, AwaitWithTimeoutZeroAnswersAtOnce) {
    EXPECT_EQ(aPacketFifo_Await(id, 0), nullptr);
    putTagged(id, 7);
    putTagged(id, 8);
    EXPECT_EQ(takeTag(aPacketFifo_Await(id, 0)), 7);
}

TEST_F(FifoTest, GetFirstTakesTheAcceptedPacketAndKeepsTheOthersInOrder) {
    for (uint16_t t : {1, 2, 3})
        putTagged(id, t);
    int want = 2;
    EXPECT_EQ(takeTag(aPacketFifo_GetFirst(id, acceptTag, &want)), 2);
    want = 9;
    EXPECT_EQ(aPacketFifo_GetFirst(id, acceptTag, &want), nullptr);
    EXPECT_EQ(takeTag(aPacketFifo_Get(id)), 1);
    EXPECT_EQ(takeTag(aPacketFifo_Get(id)), 3);
}

TEST_F(FifoTest, DrainRemovesWhatTheFilterAccepts) {
    for (uint16_t t : {1, 2, 3, 2})
        putTagged(id, t);
    int want = 2;
    EXPECT_EQ(aPacketFifo_DrainPackets(id, acceptTag, &want), 2u);
    EXPECT_EQ(aPacketFifo_GetLength(id), 2u);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, acceptAll, nullptr), 2u);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(0, acceptAll, nullptr), 0u);
}

namespace {

// Counts the offers per tag, rejects everything and tells the test what it saw.
struct OfferLog {
    std::mutex lock;
    std::condition_variable seen;
    std::map<int, int> offers;
    static bool filter(const aPacket* p, void* ref) {
        auto* log = static_cast<OfferLog*>(ref);
        {
            std::lock_guard<std::mutex> g(log->lock);
            log->offers[tagOf(p)]++;
        }
        log->seen.notify_all();
        return false;
    }
    bool awaitOffer(int tag) {
        std::unique_lock<std::mutex> g(lock);
        return seen.wait_for(g, std::chrono::seconds(20), [&] { return offers.count(tag) > 0; });
    }
};

} // namespace

TEST_F(FifoTest, AwaitFirstOffersEachPacketOnceHoweverOftenItWakes) {
    for (uint16_t t : {1, 2, 3})
        putTagged(id, t);
    OfferLog log;
    auto waiter = std::async(std::launch::async, [&] {
        return aPacketFifo_AwaitFirst(id, OfferLog::filter, &log, 600000);
    });
    // Every put wakes the waiter; each new packet must be offered before the next.
    ASSERT_TRUE(log.awaitOffer(3));
    for (uint16_t t = 4; t <= 8; t++) {
        putTagged(id, t);
        ASSERT_TRUE(log.awaitOffer(t));
    }
    aPacketFifoId doomed = id;
    ASSERT_EQ(aPacketFifo_Destroy(&doomed), aErrNone);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), nullptr);
    id = 0;
    ASSERT_EQ(log.offers.size(), 8u);
    for (auto& [tag, count] : log.offers)
        EXPECT_EQ(count, 1) << "tag " << tag;
}

TEST_F(FifoTest, AwaitFirstTimesOutAndFindsLaterPackets) {
    putTagged(id, 1);
    int want = 5;
    EXPECT_EQ(aPacketFifo_AwaitFirst(id, acceptTag, &want, 20), nullptr);
    auto waiter = std::async(std::launch::async, [&] {
        return takeTag(aPacketFifo_AwaitFirst(id, acceptTag, &want, 20000));
    });
    putTagged(id, 4);
    putTagged(id, 5);
    EXPECT_EQ(waiter.get(), 5);
    EXPECT_EQ(aPacketFifo_GetLength(id), 2u);
}

TEST_F(FifoTest, DestroyWakesAWaiterAndASecondDestroyFails) {
    auto waiter = std::async(std::launch::async, [&] { return aPacketFifo_Await(id, 600000); });
    aPacketFifoId copy = id;
    ASSERT_EQ(aPacketFifo_Destroy(&copy), aErrNone);
    EXPECT_EQ(copy, 0u);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), nullptr);
    aPacketFifoId again = id;
    EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
    EXPECT_EQ(putTagged(id, 1), aErrParam);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    id = 0;
}

// Several producers and consumers: every packet arrives exactly once.
TEST_F(FifoTest, ConcurrentProducersAndConsumersLoseNothing) {
    constexpr int kProducers = 4, kPerProducer = 250; // never more than the capacity
    constexpr int kTotal = kProducers * kPerProducer;
    std::atomic<int> taken{0};
    std::mutex lock;
    std::multiset<int> received;
    auto consume = [&](bool filtered) {
        int evenOnly = 0;
        // A lost packet must fail the test, not hang it.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (taken < kTotal && std::chrono::steady_clock::now() < deadline) {
            aPacket* p = filtered
                             ? aPacketFifo_AwaitFirst(
                                   id, [](const aPacket* q, void*) { return tagOf(q) % 2 == 0; },
                                   &evenOnly, 5)
                             : aPacketFifo_Await(id, 5);
            if (!p) continue;
            int tag = takeTag(p);
            std::lock_guard<std::mutex> g(lock);
            received.insert(tag);
            taken++;
        }
    };
    std::vector<std::thread> threads;
    for (int c = 0; c < 3; c++)
        threads.emplace_back(consume, c == 0);
    for (int p = 0; p < kProducers; p++)
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; i++)
                EXPECT_EQ(putTagged(id, uint16_t(p * kPerProducer + i)), aErrNone);
        });
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(received.size(), size_t(kTotal));
    int expected = 0;
    for (int tag : received)
        EXPECT_EQ(tag, expected++);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
}
