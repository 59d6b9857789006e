// bench_linkcore - packet FIFO hand-over, serial framing and socket reads through the
// stream wait, each beside a floor measured in the same run
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "aPacket.h"
#include "aStream.h"
#include "aStream_CobsEncoding.h"
#include "aStreamsocket.h"
#include "cobs.h"
#include "crc8.h"
#include "packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;

bool acceptAll(const aPacket*, void*) {
    return true;
}

// Echoes every packet from one FIFO to another until told to stop.
class Echo {
  public:
    Echo(aPacketFifoId in, aPacketFifoId out)
        : thread([=, this] {
              while (!stop) {
                  aPacket* p = aPacketFifo_AwaitFirst(in, acceptAll, nullptr, 100);
                  if (!p) continue;
                  aPacketFifo_Put(out, p);
                  aPacket_Destroy(&p);
              }
          }) {}
    ~Echo() {
        stop = true;
        thread.join();
    }

  private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

// One-way hand-over: put on one thread to AwaitFirst waking on another, taken as half
// a round trip through two FIFOs.
void BM_FifoPutToAwaitFirstWake(benchmark::State& state) {
    aPacketFifoId ping = aPacketFifo_Create(), pong = aPacketFifo_Create();
    uint8_t data[4] = {3, 0x48, 0x20, 0};
    aPacket* p = aPacket_CreateWithData(4, 4, data);
    {
        Echo echo(ping, pong);
        for (auto _ : state) {
            auto t0 = Clock::now();
            aPacketFifo_Put(ping, p);
            aPacket* back = aPacketFifo_AwaitFirst(pong, acceptAll, nullptr, 1000);
            auto t1 = Clock::now();
            aPacket_Destroy(&back);
            state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count() / 2);
        }
    }
    aPacket_Destroy(&p);
    aPacketFifo_Destroy(&ping);
    aPacketFifo_Destroy(&pong);
}
BENCHMARK(BM_FifoPutToAwaitFirstWake)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The floor for the hand-over: a bare mutex and condition variable ping-pong.
void BM_CondVarHandOverFloor(benchmark::State& state) {
    std::mutex m;
    std::condition_variable cv;
    int turn = 0; // 1: the echo thread's move, 2: ours
    bool stop = false;
    std::thread echo([&] {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [&] { return turn == 1 || stop; });
            if (stop) return;
            turn = 2;
            cv.notify_all();
        }
    });
    for (auto _ : state) {
        auto t0 = Clock::now();
        std::unique_lock<std::mutex> lock(m);
        turn = 1;
        cv.notify_all();
        cv.wait(lock, [&] { return turn == 2; });
        auto t1 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count() / 2);
    }
    {
        std::lock_guard<std::mutex> lock(m);
        stop = true;
    }
    cv.notify_all();
    echo.join();
}
BENCHMARK(BM_CondVarHandOverFloor)->UseManualTime()->Unit(benchmark::kMicrosecond);

// One producer, one consumer; batches of 500 keep the queue under its capacity.
void BM_FifoThroughput(benchmark::State& state) {
    constexpr int kBatch = 500;
    aPacketFifoId fifo = aPacketFifo_Create(), ack = aPacketFifo_Create();
    std::atomic<bool> stop{false};
    std::thread consumer([&] {
        int taken = 0;
        while (!stop) {
            aPacket* p = aPacketFifo_Await(fifo, 100);
            if (!p) continue;
            if (++taken % kBatch == 0) aPacketFifo_Put(ack, p);
            aPacket_Destroy(&p);
        }
    });
    uint8_t data[28] = {};
    aPacket* p = aPacket_CreateWithData(4, 28, data);
    for (auto _ : state) {
        for (int i = 0; i < kBatch; i++)
            aPacketFifo_Put(fifo, p);
        aPacket* done = aPacketFifo_Await(ack, 5000);
        aPacket_Destroy(&done);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    stop = true;
    consumer.join();
    aPacket_Destroy(&p);
    aPacketFifo_Destroy(&fifo);
    aPacketFifo_Destroy(&ack);
}
BENCHMARK(BM_FifoThroughput)->UseRealTime();

// Framing --------------------------------------------------------------------

aErr sinkWrite(const uint8_t* data, size_t length, void* ref) {
    benchmark::DoNotOptimize(data);
    *static_cast<size_t*>(ref) += length;
    return aErrNone;
}

aErr sinkPut(uint8_t, void*) {
    return aErrNone;
}

std::vector<uint8_t> fullImage() {
    std::vector<uint8_t> image = {0x04, 28};
    for (int i = 0; i < 28; i++)
        image.push_back(uint8_t(i * 37)); // zeros included
    return image;
}

// Full 30-byte packet images framed by the stream: CRC, COBS and delimiter.
void BM_CobsFrame(benchmark::State& state) {
    size_t sent = 0;
    aStreamRef s = nullptr;
    aStream_CreateCobsEncoding(nullptr, sinkPut, sinkWrite, nullptr, &sent, &s);
    auto image = fullImage();
    for (auto _ : state)
        aStream_Write(s, image.data(), image.size());
    state.SetBytesProcessed(state.iterations() * int64_t(image.size()));
    aStream_Destroy(&s);
}
BENCHMARK(BM_CobsFrame);

struct Line {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    static aErr get(uint8_t* b, void* ref) {
        Line* l = static_cast<Line*>(ref);
        *b = l->bytes[l->pos];
        l->pos = (l->pos + 1) % l->bytes.size();
        return aErrNone;
    }
};

// The same images taken off the line: frames checked and images handed out byte by byte.
void BM_CobsUnframe(benchmark::State& state) {
    auto image = fullImage();
    Line line;
    image.push_back(crc8_create(image.data(), image.size()));
    line.bytes.resize(COBS_ENCODED_MAX(image.size()));
    line.bytes.resize(cobs_encode(image.data(), image.size(), line.bytes.data()));
    line.bytes.push_back(0);
    aStreamRef s = nullptr;
    aStream_CreateCobsEncoding(Line::get, nullptr, nullptr, nullptr, &line, &s);
    for (auto _ : state) {
        uint8_t b;
        for (size_t got = 0; got < image.size() - 1;)
            if (aStream_Read(s, &b, 1) == aErrNone) got++;
    }
    state.SetBytesProcessed(state.iterations() * int64_t(image.size() - 1));
    aStream_Destroy(&s);
}
BENCHMARK(BM_CobsUnframe);

// Socket reads ----------------------------------------------------------------

struct Loopback {
    int listener = -1;
    uint16_t port = 0;
    Loopback() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 4);
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Loopback() { close(listener); }
    int accept() {
        int fd = ::accept(listener, nullptr, nullptr);
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return fd;
    }
};

// One byte sent by the peer, picked up through the stream's wait and a one-byte read.
void BM_SocketByteThroughStreamWait(benchmark::State& state) {
    Loopback lo;
    aStreamRef s = nullptr;
    if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), lo.port, &s) != aErrNone) {
        state.SkipWithError("no connection");
        return;
    }
    int peer = lo.accept();
    uint8_t out = 0x5A, in = 0;
    for (auto _ : state) {
        send(peer, &out, 1, 0);
        do
            aStream_WaitReadable(s, 1000);
        while (aStream_Read(s, &in, 1) != aErrNone);
    }
    close(peer);
    aStream_Destroy(&s);
}
BENCHMARK(BM_SocketByteThroughStreamWait)->Unit(benchmark::kMicrosecond);

// The floor: the same byte taken with poll and a bare recv on a plain socket.
void BM_SocketByteBareRecvAfterPoll(benchmark::State& state) {
    Loopback lo;
    int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(lo.port);
    if (connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        state.SkipWithError("no connection");
        return;
    }
    int on = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int peer = lo.accept();
    uint8_t out = 0x5A, in = 0;
    for (auto _ : state) {
        send(peer, &out, 1, 0);
        struct pollfd p = {c, POLLIN, 0};
        do
            poll(&p, 1, 1000);
        while (recv(c, &in, 1, MSG_DONTWAIT) != 1);
    }
    close(peer);
    close(c);
}
BENCHMARK(BM_SocketByteBareRecvAfterPoll)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
