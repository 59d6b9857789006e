// Simulator - simulated modules served over TCP/IP, pseudo-terminals and UDP discovery
#include "Simulator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "SimUsb.h"
#include "aAtomicFile.h"
#include "cvusb_driver.h"

namespace {

constexpr uint16_t kDiscoveryPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr size_t kOutMax = 1 << 16;         // bytes held for a host that does not read
constexpr uint16_t kUsbMaxPacket = 512;     // high-speed bulk endpoints
constexpr uint64_t kUnplugGraceUs = 200000; // for the host to read a restart's last reply

uint64_t nowUs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void nonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

} // namespace

struct Simulator::Endpoint {
    enum class Via { Tcp, Pty, Usb, Node };
    Via via = Via::Tcp;
    bool tcp = true;
    SimModule* module = nullptr;
    uint32_t bindAddress = 0; // network byte order
    std::string bindText;
    uint16_t port = 0;
    int listenFd = -1, connFd = -1;
    int master = -1, slaveHold = -1;
    std::string path;
    std::unique_ptr<SimLink> link;
    std::vector<uint8_t> out;
    // Emulated USB: the device plugged in now, and the host's bytes it took, which
    // arrive on umockdev's thread.
    SimUsbDevice* device = nullptr;
    SimUsbNode* node = nullptr;
    std::mutex inboxLock;
    std::vector<uint8_t> inbox;
    uint64_t unplugByUs = 0; // restarting: unplug once the host read the rest, or by then

    int fd() const { return tcp ? connFd : via == Via::Usb ? -1 : master; }
};

Simulator::Simulator() = default;

Simulator::~Simulator() {
    stop();
}

SimModule& Simulator::add(const SimModuleConfig& config) {
    modules.push_back(std::make_unique<SimModule>(config));
    return *modules.back();
}

bool Simulator::attach(SimModule& router, SimModule& child) {
    if (!router.attach(&child)) return false;
    routerOf[&child] = &router;
    return true;
}

void Simulator::listenTcp(SimModule& module, const std::string& address, uint16_t port) {
    auto e = std::make_unique<Endpoint>();
    e->module = &module;
    e->bindText = address;
    e->port = port;
    eps.push_back(std::move(e));
}

void Simulator::openPty(SimModule& module) {
    auto e = std::make_unique<Endpoint>();
    e->via = Endpoint::Via::Pty;
    e->tcp = false;
    e->module = &module;
    eps.push_back(std::move(e));
}

void Simulator::attachUsb(SimModule& module) {
    auto e = std::make_unique<Endpoint>();
    e->via = Endpoint::Via::Usb;
    e->tcp = false;
    e->module = &module;
    eps.push_back(std::move(e));
}

void Simulator::attachKernelNode(SimModule& module) {
    auto e = std::make_unique<Endpoint>();
    e->via = Endpoint::Via::Node;
    e->tcp = false;
    e->module = &module;
    eps.push_back(std::move(e));
}

std::string Simulator::usbRoot() const {
    return usb ? usb->root() : "";
}

bool Simulator::tcpHostConnected(const SimModule& module) const {
    for (auto& e : eps)
        if (e->module == &module && e->tcp && e->connFd >= 0) return true;
    return false;
}

SimUsbDevice* Simulator::usbDevice(const SimModule& module) const {
    for (auto& e : eps)
        if (e->module == &module && e->via == Endpoint::Via::Usb) return e->device;
    return nullptr;
}

bool Simulator::plugUsb(Endpoint& e) {
    char serial[16];
    snprintf(serial, sizeof serial, "%08X", e.module->serial());
    e.device = usb->attach({serial, cvusb_VENDOR_ID, e.module->model(), kUsbMaxPacket, true});
    if (!e.device) return false;
    {
        std::lock_guard<std::mutex> g(e.inboxLock);
        e.inbox.clear();
    }
    int wakeFd = wake[1];
    Endpoint* ep = &e;
    e.device->setReceiver([ep, wakeFd](const uint8_t* bytes, size_t length) {
        {
            std::lock_guard<std::mutex> g(ep->inboxLock);
            ep->inbox.insert(ep->inbox.end(), bytes, bytes + length);
        }
        char b = 0;
        (void)!write(wakeFd, &b, 1);
    });
    return true;
}

void Simulator::takeUsbInput(Endpoint& e, uint64_t now) {
    std::vector<uint8_t> bytes;
    {
        std::lock_guard<std::mutex> g(e.inboxLock);
        bytes.swap(e.inbox);
    }
    if (e.link && !bytes.empty()) e.link->input(bytes.data(), bytes.size(), now);
}

void Simulator::setDiscovery(const std::string& interfaceAddress) {
    discoveryInterface = interfaceAddress;
}

bool Simulator::openListener(Endpoint& e) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = e.bindAddress;
    a.sin_port = htons(e.port);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return false;
    }
    nonBlocking(fd);
    e.port = ntohs(a.sin_port);
    e.listenFd = fd;
    return true;
}

std::string Simulator::start() {
    if (running) return "already running";
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return "cannot make a pipe";
    for (auto& e : eps) {
        if (e->via == Endpoint::Via::Usb || e->via == Endpoint::Via::Node) {
            if (!usb) usb = std::make_unique<SimUsbTestbed>();
            if (!usb->error().empty()) return "cannot emulate USB: " + usb->error();
            if (e->via == Endpoint::Via::Usb && !plugUsb(*e))
                return "cannot attach an emulated USB device: " + usb->error();
            if (e->via == Endpoint::Via::Node) {
                e->node = usb->attachKernelNode(e->module->serial());
                if (!e->node) return "cannot add a driver node: " + usb->error();
                e->master = e->node->fd();
                nonBlocking(e->master); // a host that does not read must not stall the loop
            }
            e->link = newLink(*e, nowUs());
            continue;
        }
        if (e->tcp) {
            if (inet_pton(AF_INET, e->bindText.c_str(), &e->bindAddress) != 1)
                return "bad listening address " + e->bindText;
            if (!openListener(*e))
                return "cannot listen on " + e->bindText + ":" + std::to_string(e->port) + ": " +
                       strerror(errno);
            continue;
        }
        char name[128] = {};
        if (openpty(&e->master, &e->slaveHold, name, nullptr, nullptr) != 0)
            return std::string("cannot open a pseudo-terminal: ") + strerror(errno);
        // Our own slave descriptor stays open so the master never reports a hang-up
        // while no host holds the port; raw mode keeps every byte as it is.
        termios t{};
        tcgetattr(e->slaveHold, &t);
        cfmakeraw(&t);
        tcsetattr(e->slaveHold, TCSANOW, &t);
        nonBlocking(e->master);
        fcntl(e->master, F_SETFD, FD_CLOEXEC);
        fcntl(e->slaveHold, F_SETFD, FD_CLOEXEC);
        e->path = name;
        e->link = newLink(*e, nowUs());
    }
    if (!discoveryInterface.empty()) {
        in_addr ifAddr{}, group{};
        if (inet_pton(AF_INET, discoveryInterface.c_str(), &ifAddr) != 1)
            return "bad discovery interface " + discoveryInterface;
        inet_pton(AF_INET, kDiscoveryGroup, &group);
        discoveryFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(discoveryFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kDiscoveryPort);
        ip_mreq m{};
        m.imr_multiaddr = group;
        m.imr_interface = ifAddr;
        if (bind(discoveryFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            setsockopt(discoveryFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0)
            return "cannot join the discovery group on " + discoveryInterface + ": " +
                   strerror(errno);
        nonBlocking(discoveryFd);
    }
    running = true;
    thread = std::thread([this] { loop(); });
    return {};
}

void Simulator::stop() {
    if (running.exchange(false)) {
        char b = 0;
        (void)!write(wake[1], &b, 1);
        thread.join();
    }
    std::lock_guard<std::mutex> hold(mutex);
    for (auto& e : eps) {
        if (e->link && e->fd() >= 0 && !e->out.empty())
            (void)!write(e->fd(), e->out.data(), e->out.size());
        e->link.reset();
        closeFd(e->connFd);
        closeFd(e->listenFd);
        if (e->via == Endpoint::Via::Node) e->master = -1; // the test bed's own
        closeFd(e->master);
        closeFd(e->slaveHold);
        e->device = nullptr;
        e->node = nullptr;
    }
    // The devices go before the wake-up pipe their receivers write to.
    usb.reset();
    closeFd(discoveryFd);
    closeFd(wake[0]);
    closeFd(wake[1]);
}

std::vector<SimEndpointInfo> Simulator::endpoints() const {
    std::vector<SimEndpointInfo> list;
    for (const auto& e : eps) {
        uint32_t serial = e->module->originalSerial();
        char node[32];
        snprintf(node, sizeof node, cvusb_KERNEL_NODE_FORMAT, serial);
        if (e->tcp)
            list.push_back({"tcp", serial, e->bindText + ":" + std::to_string(e->port)});
        else if (e->via == Endpoint::Via::Usb)
            list.push_back({"usb", serial, usbRoot()});
        else if (e->via == Endpoint::Via::Node)
            list.push_back({"usb-node", serial, node});
        else
            list.push_back({"serial", serial, e->path});
    }
    for (const auto& [child, router] : routerOf) {
        char where[32];
        snprintf(where, sizeof where, "%08X %u", router->originalSerial(), child->address());
        list.push_back({"routed", child->originalSerial(), where});
    }
    if (!discoveryInterface.empty()) list.push_back({"discovery", 0, discoveryInterface});
    return list;
}

SimModule* Simulator::find(uint32_t originalSerial) {
    for (auto& m : modules)
        if (m->originalSerial() == originalSerial) return m.get();
    return nullptr;
}

bool Simulator::waitFor(const std::function<bool()>& pred, int timeoutMs) {
    std::unique_lock<std::mutex> hold(mutex);
    return passed.wait_for(hold, std::chrono::milliseconds(timeoutMs), pred);
}

std::unique_ptr<SimLink> Simulator::newLink(Endpoint& e, uint64_t now) {
    auto link = std::make_unique<SimLink>(
        *e.module, e.via == Endpoint::Via::Pty ? SimFraming::Cobs : SimFraming::Bare, now);
    if (verbose)
        link->setTrace(
            [this](bool out, const SimModule& m, const SimPacket& p) { traceOut(out, m, p); });
    return link;
}

void Simulator::traceOut(bool out, const SimModule& module, const SimPacket& p) {
    char line[160];
    int n = snprintf(line, sizeof line, "corvane-sim %08X %s %02X [%zu]", module.originalSerial(),
                     out ? ">" : "<", p.address, p.data.size());
    for (uint8_t b : p.data)
        n += snprintf(line + n, sizeof line - size_t(n), " %02X", b);
    fprintf(stderr, "%s\n", line);
}

uint64_t Simulator::nextWakeUs() {
    uint64_t next = UINT64_MAX;
    for (auto& e : eps) {
        if (e->link) next = std::min(next, e->link->nextEventUs());
        if (e->unplugByUs && e->device) next = std::min(next, e->unplugByUs);
    }
    for (auto& [m, until] : downUntil)
        next = std::min(next, until);
    return next;
}

void Simulator::loop() {
    while (running) {
        std::vector<pollfd> fds;
        uint64_t next;
        {
            std::lock_guard<std::mutex> hold(mutex);
            fds.push_back({wake[0], POLLIN, 0});
            if (discoveryFd >= 0) fds.push_back({discoveryFd, POLLIN, 0});
            for (auto& e : eps) {
                if (e->listenFd >= 0) fds.push_back({e->listenFd, POLLIN, 0});
                if (e->fd() >= 0)
                    fds.push_back({e->fd(), short(POLLIN | (e->out.empty() ? 0 : POLLOUT)), 0});
            }
            next = nextWakeUs();
        }
        uint64_t now = nowUs();
        int timeout = 1000;
        if (next != UINT64_MAX)
            timeout = next <= now ? 0 : int(std::min<uint64_t>(1000, (next - now + 999) / 1000));
        poll(fds.data(), fds.size(), timeout);
        {
            std::lock_guard<std::mutex> hold(mutex);
            pass(fds);
        }
        passed.notify_all();
    }
}

void Simulator::pass(const std::vector<pollfd>& fds) {
    uint64_t now = nowUs();
    auto ready = [&](int fd) {
        for (const auto& p : fds)
            if (p.fd == fd && fd >= 0) return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        return false;
    };
    if (ready(wake[0])) {
        char b[64];
        while (read(wake[0], b, sizeof b) > 0) {
        }
    }
    if (ready(discoveryFd)) answerDiscovery();
    for (auto& e : eps) {
        // A host that closed and connects again: see the close before the new connection,
        // or the module would still count as taken and refuse it.
        if (ready(e->fd())) readFrom(*e, e->fd(), now);
        if (ready(e->listenFd)) acceptOn(*e, now);
        if (e->via == Endpoint::Via::Usb) takeUsbInput(*e, now);
    }
    for (auto& e : eps) {
        if (e->unplugByUs && e->device && (!e->device->pendingIn() || now >= e->unplugByUs)) {
            usb->detach(e->device);
            e->device = nullptr;
        }
        if (!e->link) continue;
        e->link->tick(now);
        auto bytes = e->link->output(now);
        if (e->device)
            e->device->queue(bytes);
        else
            e->out.insert(e->out.end(), bytes.begin(), bytes.end());
        if (e->link->takeStarted() && !dumpDir.empty()) dump(*e->module);
        if (e->link->dropped()) restart(e->module, now);
    }
    for (auto& e : eps) {
        if (e->fd() < 0 || e->out.empty()) continue;
        ssize_t n = write(e->fd(), e->out.data(), e->out.size());
        if (n > 0) e->out.erase(e->out.begin(), e->out.begin() + n);
        if (e->out.size() > kOutMax) e->out.clear(); // nobody reads: forget the backlog
    }
    revive(now);
}

void Simulator::acceptOn(Endpoint& e, uint64_t now) {
    int fd = accept4(e.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    // A module takes one host at a time; a busy one (held by another program) none.
    if (e.connFd >= 0 || e.module->faults().busy) {
        close(fd);
        return;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    e.connFd = fd;
    e.out.clear();
    e.link = newLink(e, now);
}

void Simulator::readFrom(Endpoint& e, int fd, uint64_t now) {
    uint8_t buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        if (e.link) e.link->input(buffer, size_t(n), now);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (e.tcp) { // the host went away
        e.link.reset();
        closeFd(e.connFd);
        e.out.clear();
    }
}

// The module restarts: every link to it goes, after what it already said has left,
// and it stays away for its restart time.
void Simulator::restart(SimModule* module, uint64_t now) {
    for (auto& e : eps) {
        if (e->module != module) continue;
        if (e->link) {
            auto rest = e->link->flush();
            e->out.insert(e->out.end(), rest.begin(), rest.end());
        }
        if (e->device) {
            // Pulled out once the host has read what the module still said.
            e->device->queue(e->out);
            e->unplugByUs = now + kUnplugGraceUs;
        }
        if (e->fd() >= 0 && !e->out.empty()) (void)!write(e->fd(), e->out.data(), e->out.size());
        e->out.clear();
        e->link.reset();
        if (e->tcp) {
            closeFd(e->connFd);
            closeFd(e->listenFd);
        }
        if (e->node) usb->hangUp(e->node);
    }
    downUntil[module] = now + uint64_t(module->restartMs()) * 1000;
}

void Simulator::revive(uint64_t now) {
    for (auto it = downUntil.begin(); it != downUntil.end();) {
        if (it->second > now) {
            ++it;
            continue;
        }
        for (auto& e : eps) {
            if (e->module != it->first) continue;
            if (e->tcp) {
                if (!openListener(*e))
                    fprintf(stderr, "corvane-sim: cannot listen again on port %u\n", e->port);
            } else if (e->via == Endpoint::Via::Usb) {
                if (e->device) usb->detach(e->device); // the grace ran past the restart
                e->unplugByUs = 0;
                if (!plugUsb(*e))
                    fprintf(stderr, "corvane-sim: cannot plug %08X in again: %s\n",
                            e->module->originalSerial(), usb->error().c_str());
                e->link = newLink(*e, now);
            } else {
                e->link = newLink(*e, now);
            }
        }
        it = downUntil.erase(it);
    }
}

void Simulator::answerDiscovery() {
    uint8_t request[64];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n =
        recvfrom(discoveryFd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 1 || request[0] != 1) return;
    in_addr ifAddr{};
    inet_pton(AF_INET, discoveryInterface.c_str(), &ifAddr);
    for (auto& e : eps) {
        if (!e->tcp || e->listenFd < 0) continue;
        if (e->bindAddress != ifAddr.s_addr && e->bindAddress != INADDR_ANY) continue;
        SimModule& m = *e->module;
        uint8_t reply[16] = {};
        // A stale record can name another address than the module now has.
        reply[1] = m.config().announced ? m.config().announced : m.address();
        reply[2] = uint8_t(e->port);
        reply[3] = uint8_t(e->port >> 8);
        for (int i = 0; i < 4; i++)
            reply[4 + i] = uint8_t(m.serial() >> (8 * i));
        reply[12] = m.model();
        // The reply leaves from the module's own address: the host takes it from there.
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = e->bindAddress ? e->bindAddress : ifAddr.s_addr;
        sockaddr_in to = from;
        to.sin_port = htons(kDiscoveryReplyPort);
        if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) == 0)
            sendto(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(fd);
    }
}

void Simulator::dump(SimModule& module) {
    auto write = [&](const char* what, const std::vector<SimBlock>& blocks) {
        for (size_t i = 0; i < blocks.size(); i++) {
            char name[64];
            snprintf(name, sizeof name, "/%08X-%s-%zu.bin", module.originalSerial(), what, i + 1);
            std::string path = dumpDir + name;
            const auto& b = blocks[i].bytes;
            if (aAtomicFile_Write(path.c_str(), b.data(), b.size()) != aErrNone)
                fprintf(stderr, "corvane-sim: cannot write %s\n", path.c_str());
        }
    };
    write("loader", module.loader());
    write("firmware", module.firmware());
    for (auto& [child, router] : routerOf)
        if (router == &module) dump(*child);
}
