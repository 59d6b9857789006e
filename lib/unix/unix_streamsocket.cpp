// unix_streamsocket - TCP client streams that reconnect by themselves
#include "aStreamsocket.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "aTime.h"

namespace {

constexpr uint16_t kSocketMarker = 0xDEAD;
// A dead peer must not hold a reconnect forever.
constexpr int kConnectTimeoutMs = 3000;
// Sends that move nothing before a write gives up, and the pause between them.
constexpr int kWriteAttempts = 10;
constexpr int kWritePauseMs = 60;
constexpr size_t kReceiveBuffer = 256;

struct SocketRecord {
    uint16_t check = kSocketMarker;
    uint16_t port = 0;       // host order
    sockaddr_in peer = {};   // address as the caller gave it, port in network order
    std::atomic<int> fd{-1}; // replaced by a reconnect on either side
    std::atomic<bool> connected{false};
    std::mutex reconnectLock; // one reconnect at a time
    // Bytes received but not yet handed out; the reading thread's alone.
    uint8_t rx[kReceiveBuffer];
    size_t rxLength = 0, rxPos = 0;
};

SocketRecord* record(void* ref) {
    SocketRecord* r = static_cast<SocketRecord*>(ref);
    return r && r->check == kSocketMarker ? r : nullptr;
}

bool connectionLost(int e) {
    return e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT || e == EPIPE;
}

aErr connectErrno(int e) {
    if (e == EAGAIN || e == ECONNRESET || e == ETIMEDOUT || e == ECONNREFUSED)
        return aErrConnection;
    return aErrIO;
}

// Connects s to the peer within the time-out; answers 0 or the errno.
int connectWithin(int s, const sockaddr_in& peer) {
    if (connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    struct pollfd p = {s, POLLOUT, 0};
    int rc = poll(&p, 1, kConnectTimeoutMs);
    if (rc == 0) return ETIMEDOUT;
    if (rc < 0) return errno;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

aErr setOptions(int s) {
    int on = 1;
    struct timeval none = {0, 0};
    struct linger hard = {1, 0}; // a close resets the connection at once
    if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_LINGER, &hard, sizeof hard) != 0)
        return aErrIO;
    return aErrNone;
}

void closeSocket(SocketRecord* r) {
    r->connected = false;
    int old = r->fd.exchange(-1);
    if (old >= 0) close(old);
}

// Replaces the connection that failed under us. When the other side has replaced it
// already, its connection is kept.
aErr reconnect(SocketRecord* r, int failedFd) {
    std::lock_guard<std::mutex> lock(r->reconnectLock);
    if (failedFd >= 0 && r->fd != failedFd && r->connected) return aErrNone;
    if (r->fd >= 0) {
        closeSocket(r);
        aTime_MSSleep(10);
    }
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return aErrIO;
    int e = connectWithin(s, r->peer);
    if (e != 0) {
        close(s);
        return connectErrno(e);
    }
    aErr err = setOptions(s);
    if (err != aErrNone) {
        close(s);
        return err;
    }
    r->fd = s;
    r->connected = true;
    return aErrNone;
}

// One receive into the buffer: bytes, nothing yet, or the errno (0 for an orderly close).
enum class Recv { Bytes, Nothing, Closed, Failed };

Recv receive(SocketRecord* r, int fd, int* error) {
    ssize_t n = recv(fd, r->rx, sizeof r->rx, MSG_DONTWAIT);
    if (n > 0) {
        r->rxLength = size_t(n);
        r->rxPos = 0;
        return Recv::Bytes;
    }
    if (n == 0) return Recv::Closed;
    *error = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Recv::Nothing;
    return Recv::Failed;
}

aErr socketGet(uint8_t* byte, void* ref) {
    SocketRecord* r = record(ref);
    if (!r || !byte) return aErrParam;
    if (r->rxPos == r->rxLength) {
        if (!r->connected) return aErrConnection;
        int fd = r->fd, error = 0;
        Recv got = receive(r, fd, &error);
        if (got == Recv::Nothing) return aErrNotReady;
        if (got == Recv::Failed && !connectionLost(error)) return aErrConnection;
        if (got != Recv::Bytes) {
            // Reset or closed by the peer alike: a module that went away is noticed.
            aErr err = reconnect(r, fd);
            if (err != aErrNone) return err;
            got = receive(r, r->fd, &error);
            if (got == Recv::Nothing) return aErrNotReady;
            if (got != Recv::Bytes) {
                closeSocket(r);
                return aErrConnection;
            }
        }
    }
    *byte = r->rx[r->rxPos++];
    return aErrNone;
}

// Waits for room to send, at most the pause between attempts.
void awaitRoom(int fd) {
    struct pollfd p = {fd, POLLOUT, 0};
    poll(&p, 1, kWritePauseMs);
}

aErr socketWrite(const uint8_t* data, size_t length, void* ref) {
    SocketRecord* r = record(ref);
    if (!r || !data) return aErrParam;
    if (!r->connected) return aErrConnection;
    size_t sent = 0;
    int attempts = 0;
    while (sent < length) {
        int fd = r->fd;
        ssize_t n = send(fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += size_t(n);
            attempts = 1; // progress: the count of fruitless attempts starts over
            if (sent == length) break;
        } else if (n < 0 && connectionLost(errno)) {
            aErr err = reconnect(r, fd);
            if (err != aErrNone) return err;
            attempts++;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return aErrIO;
        } else {
            attempts++;
        }
        // The peer's window stayed full or the connection kept failing.
        if (attempts >= kWriteAttempts) return aErrTimeout;
        awaitRoom(r->fd);
    }
    return aErrNone;
}

aErr socketPut(uint8_t byte, void* ref) {
    return socketWrite(&byte, 1, ref);
}

aErr socketWait(uint32_t timeoutMs, void* ref) {
    SocketRecord* r = record(ref);
    if (!r) return aErrParam;
    // Buffered bytes or a lost connection: the next get answers at once.
    if (r->rxPos < r->rxLength || !r->connected) return aErrNone;
    struct pollfd p = {r->fd, POLLIN, 0};
    int rc = poll(&p, 1, int(timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : timeoutMs));
    if (rc > 0) return aErrNone; // a byte, or a close the next get deals with
    if (rc == 0 || errno == EINTR) return aErrTimeout;
    return aErrIO;
}

aErr socketDelete(void* ref) {
    SocketRecord* r = record(ref);
    if (!r) return aErrParam;
    closeSocket(r);
    r->check = 0;
    delete r;
    return aErrNone;
}

const aStreamProcs kSocketProcs = {socketGet, socketPut, socketWrite, socketDelete, socketWait};

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
    if (!stream) return aErrResource;
    SocketRecord* r = new (std::nothrow) SocketRecord;
    if (!r) return aErrResource;
    r->port = port;
    r->peer.sin_family = AF_INET;
    r->peer.sin_port = htons(port);
    r->peer.sin_addr.s_addr = address;
    aStreamRef s = nullptr;
    if (reconnect(r, -1) != aErrNone || !(s = aStream_CreateWithProcs(&kSocketProcs, r))) {
        socketDelete(r);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}
