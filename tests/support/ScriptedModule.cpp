// ScriptedModule - the module side of a link, scripted by a test, over TCP or a pty
#include "ScriptedModule.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>

#include "cobs.h"
#include "crc8.h"

namespace testsupport {

namespace {

constexpr uint8_t kMagic = 0xAD;

void writeAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, 100);
    }
}

Bytes frame(const Bytes& image) {
    Bytes withCrc = image;
    withCrc.push_back(crc8_create(image.data(), image.size()));
    Bytes f(COBS_ENCODED_MAX(withCrc.size()) + 1);
    f.resize(cobs_encode(withCrc.data(), withCrc.size(), f.data()));
    f.push_back(0);
    return f;
}

} // namespace

ScriptedModule::ScriptedModule(Transport t, uint8_t address) : transport(t), addr(address) {
    static std::atomic<uint32_t> nextSerial{0x40F58400};
    serialNumber = nextSerial++;
    if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe");
    if (t == Transport::Tcp) {
        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (bind(listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            listen(listenFd, 4) != 0 ||
            getsockname(listenFd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
            throw std::runtime_error("listen");
        tcpPort = ntohs(sa.sin_port);
    } else {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        path = name;
        struct termios raw;
        tcgetattr(master, &raw);
        cfmakeraw(&raw);
        tcsetattr(master, TCSANOW, &raw);
    }
    thread = std::thread([this] { run(); });
}

ScriptedModule::~ScriptedModule() {
    {
        std::lock_guard<std::mutex> g(lock);
        stopping = true;
    }
    if (write(wakeFds[1], "x", 1) < 0) { /* the thread also polls with a time-out */
    }
    thread.join();
    for (int fd : {listenFd, connFd, master, slave, wakeFds[0], wakeFds[1]})
        if (fd >= 0) close(fd);
}

void ScriptedModule::answerMagic(bool on) {
    std::lock_guard<std::mutex> g(lock);
    magicOn = on;
}

void ScriptedModule::setValue(uint8_t command, uint8_t option, uint8_t index, const Bytes& value) {
    std::lock_guard<std::mutex> g(lock);
    values[{command, option, index}] = value;
}

void ScriptedModule::setReplyDelay(int ms) {
    std::lock_guard<std::mutex> g(lock);
    replyDelayMs = ms;
}

void ScriptedModule::sendPacket(uint8_t address, const Bytes& data) {
    Bytes image = {address, uint8_t(data.size())};
    image.insert(image.end(), data.begin(), data.end());
    writeOut(transport == Transport::Serial ? frame(image) : image);
}

void ScriptedModule::sendRaw(const Bytes& bytes) {
    writeOut(bytes);
}

void ScriptedModule::writeOut(const Bytes& bytes) {
    std::lock_guard<std::mutex> g(writeLock);
    if (transport == Transport::Serial) {
        writeAll(master, bytes);
        return;
    }
    int fd;
    {
        // The host's connect returns before this side has accepted it.
        std::unique_lock<std::mutex> l(lock);
        changed.wait_for(l, std::chrono::seconds(5), [&] { return connFd >= 0 || stopping; });
        fd = connFd;
    }
    writeAll(fd, bytes);
}

void ScriptedModule::goAway() {
    std::lock_guard<std::mutex> w(writeLock);
    std::lock_guard<std::mutex> g(lock);
    if (connFd >= 0) shutdown(connFd, SHUT_RDWR);
    if (listenFd >= 0) shutdown(listenFd, SHUT_RDWR);
}

std::vector<Bytes> ScriptedModule::received() const {
    std::lock_guard<std::mutex> g(lock);
    return images;
}

bool ScriptedModule::awaitReceived(const std::function<bool(const std::vector<Bytes>&)>& pred,
                                   int timeoutMs) const {
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return pred(images); });
}

bool ScriptedModule::awaitCount(const Bytes& image, size_t n, int timeoutMs) const {
    return awaitReceived(
        [&](const std::vector<Bytes>& got) {
            return size_t(std::count(got.begin(), got.end(), image)) >= n;
        },
        timeoutMs);
}

size_t ScriptedModule::count(const Bytes& image) const {
    std::lock_guard<std::mutex> g(lock);
    return size_t(std::count(images.begin(), images.end(), image));
}

int ScriptedModule::connections() const {
    std::lock_guard<std::mutex> g(lock);
    return accepted;
}

void ScriptedModule::clearReceived() {
    std::lock_guard<std::mutex> g(lock);
    images.clear();
}

void ScriptedModule::run() {
    for (;;) {
        {
            std::lock_guard<std::mutex> g(lock);
            if (stopping) return;
        }
        int fd = transport == Transport::Serial ? master : connFd;
        int waitFd = fd >= 0 ? fd : listenFd;
        struct pollfd p[2] = {{waitFd, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
        if (poll(p, 2, 200) <= 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (fd < 0) {
            int c = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            int on = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            std::lock_guard<std::mutex> g(lock);
            connFd = c;
            accepted++;
            pending.clear();
            changed.notify_all();
            continue;
        }
        serve(fd);
    }
}

void ScriptedModule::serve(int fd) {
    uint8_t buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        onBytes(buf, size_t(n));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (transport == Transport::Tcp) {
        // The host closed or reset: wait for its next connection.
        std::lock_guard<std::mutex> w(writeLock);
        std::lock_guard<std::mutex> g(lock);
        close(connFd);
        connFd = -1;
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ScriptedModule::onBytes(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; i++) {
        uint8_t b = data[i];
        if (transport == Transport::Serial) {
            if (b != 0) {
                pending.push_back(b);
                continue;
            }
            Bytes decoded(pending.size() + 1);
            size_t len = cobs_decode(pending.data(), pending.size(), decoded.data());
            pending.clear();
            if (len < 3 || !crc8_check(decoded.data(), len - 1, decoded[len - 1])) continue;
            decoded.resize(len - 1);
            onImage(decoded);
            continue;
        }
        pending.push_back(b);
        if (pending.size() >= 2 && pending.size() == size_t(pending[1]) + 2) {
            Bytes image;
            image.swap(pending);
            onImage(image);
        }
    }
}

void ScriptedModule::onImage(const Bytes& image) {
    bool magic = false;
    {
        std::lock_guard<std::mutex> g(lock);
        images.push_back(image);
        changed.notify_all();
        magic = magicOn && image[0] == kMagic && image[1] == 0;
    }
    if (magic) {
        writeOut(transport == Transport::Serial ? frame({addr, 0}) : Bytes{addr, 0});
        return;
    }
    // A UEI get to this module: option bit 6 set.
    if (image[0] == addr && image[1] >= 3 && (image[3] & 0x40)) reply(image);
}

void ScriptedModule::reply(const Bytes& image) {
    uint8_t command = image[2], option = image[3] & 0x3F, index = image[4] & 0x1F;
    Bytes data = {command, option, index};
    int delay = 0;
    {
        std::lock_guard<std::mutex> g(lock);
        delay = replyDelayMs;
        auto v = values.find({command, option, index});
        if (v == values.end()) {
            data[2] |= 0x80;
            data.push_back(29); // aErrInvalidOption
        } else {
            data.insert(data.end(), v->second.begin(), v->second.end());
        }
    }
    if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    sendPacket(addr, data);
}

} // namespace testsupport
