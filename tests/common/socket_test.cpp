// Socket streams on loopback: traffic, peer close, reset and reconnect, full window
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <vector>

#include "aStreamsocket.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A listening socket on 127.0.0.1 with an ephemeral port, playing the module.
class Listener {
  public:
    explicit Listener(int receiveBuffer = 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 4) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listener() { stop(); }
    // The next connection, or -1 after a time-out.
    int accept() {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return -1;
        return ::accept(fd, nullptr, nullptr);
    }
    void stop() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    int fd = -1;
    uint16_t port = 0;
};

void resetConnection(int fd) {
    struct linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

struct StreamDeleter {
    void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using Stream = std::unique_ptr<aStream, StreamDeleter>;

Stream connectTo(const Listener& l) {
    aStreamRef s = nullptr;
    EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), l.port, &s), aErrNone);
    return Stream(s);
}

// Reads through the stream's wait until n bytes came; stops at an error or a time-out.
Bytes readStream(aStreamRef s, size_t n, aErr* last = nullptr) {
    Bytes got;
    aErr err = aErrNone;
    for (int rounds = 0; got.size() < n && rounds < 400; rounds++) {
        err = aStream_WaitReadable(s, 50);
        if (err != aErrNone && err != aErrTimeout) break;
        uint8_t b;
        err = aStream_Read(s, &b, 1);
        if (err == aErrNone)
            got.push_back(b);
        else if (err != aErrNotReady)
            break;
    }
    if (last) *last = err;
    return got;
}

Bytes readPeer(int fd, size_t n) {
    Bytes got(n);
    size_t have = 0;
    while (have < n) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) break;
        ssize_t r = read(fd, got.data() + have, n - have);
        if (r <= 0) break;
        have += size_t(r);
    }
    got.resize(have);
    return got;
}

} // namespace

TEST(aStreamsocket, CarriesBytesBothWaysAndWaitsWhenIdle) {
    Listener l;
    Stream s = connectTo(l);
    ASSERT_TRUE(s);
    int peer = l.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(aStream_WaitReadable(s.get(), 0), aErrTimeout);
    uint8_t b;
    EXPECT_EQ(aStream_Read(s.get(), &b, 1), aErrNotReady);

    const Bytes ping = {0xAD, 0x00, 0x04, 0x00};
    ASSERT_EQ(aStream_Write(s.get(), ping.data(), ping.size()), aErrNone);
    EXPECT_EQ(readPeer(peer, ping.size()), ping);
    const Bytes pong = {0x04, 0x00, 0x00, 0xFF};
    ASSERT_EQ(write(peer, pong.data(), pong.size()), ssize_t(pong.size()));
    EXPECT_EQ(readStream(s.get(), pong.size()), pong);
    close(peer);
}

TEST(aStreamsocket, RefusedConnectionMakesNoStream) {
    Listener l;
    uint16_t port = l.port;
    l.stop();
    aStreamRef s = nullptr;
    EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
}

// An orderly close is handled like a reset: one reconnect, and an error when it fails.
TEST(aStreamsocket, APeerThatGoesAwayIsNoticed) {
    for (bool orderly : {true, false}) {
        SCOPED_TRACE(orderly ? "orderly close" : "reset");
        Listener l;
        Stream s = connectTo(l);
        int peer = l.accept();
        ASSERT_GE(peer, 0);
        l.stop();
        orderly ? (void)close(peer) : resetConnection(peer);
        aErr last = aErrNone;
        EXPECT_TRUE(readStream(s.get(), 1, &last).empty());
        EXPECT_EQ(last, aErrConnection);
        uint8_t b = 0;
        EXPECT_EQ(aStream_Read(s.get(), &b, 1), aErrConnection);
        EXPECT_EQ(aStream_Write(s.get(), &b, 1), aErrConnection);
    }
}

TEST(aStreamsocket, ReconnectsTransparentlyAfterAResetOrClose) {
    for (bool orderly : {true, false}) {
        SCOPED_TRACE(orderly ? "orderly close" : "reset");
        Listener l;
        Stream s = connectTo(l);
        int first = l.accept();
        ASSERT_GE(first, 0);
        orderly ? (void)close(first) : resetConnection(first);
        // The read that meets the dead connection reconnects and finds no byte yet.
        auto second = std::async(std::launch::async, [&] { return l.accept(); });
        ASSERT_EQ(aStream_WaitReadable(s.get(), 10000), aErrNone);
        uint8_t b;
        EXPECT_EQ(aStream_Read(s.get(), &b, 1), aErrNotReady);
        int peer = second.get();
        ASSERT_GE(peer, 0);
        const Bytes hello = {0x06, 0x00};
        ASSERT_EQ(write(peer, hello.data(), hello.size()), 2);
        EXPECT_EQ(readStream(s.get(), 2), hello);
        ASSERT_EQ(aStream_Write(s.get(), hello.data(), 2), aErrNone);
        EXPECT_EQ(readPeer(peer, 2), hello);
        close(peer);
    }
}

TEST(aStreamsocket, AFullWindowEndsTheWriteWithAnError) {
    Listener l(4096);
    Stream s = connectTo(l);
    int peer = l.accept();
    ASSERT_GE(peer, 0);
    Bytes big(32 << 20, 0x5A); // far more than both socket buffers hold
    EXPECT_EQ(aStream_Write(s.get(), big.data(), big.size()), aErrTimeout);
    close(peer);
}

TEST(aStreamsocket, AWriteWaitsForASlowReaderAndDeliversEverything) {
    Listener l(4096);
    Stream s = connectTo(l);
    int peer = l.accept();
    ASSERT_GE(peer, 0);
    Bytes big(4 << 20);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = uint8_t(i * 31 + (i >> 12));
    auto reader = std::async(std::launch::async, [&] { return readPeer(peer, big.size()); });
    EXPECT_EQ(aStream_Write(s.get(), big.data(), big.size()), aErrNone);
    EXPECT_TRUE(reader.get() == big);
    close(peer);
}
