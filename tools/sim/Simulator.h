// Simulator - simulated modules served over TCP/IP, pseudo-terminals and UDP discovery
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimLink.h"
#include "SimModule.h"

class SimUsbTestbed;
class SimUsbDevice;

// One way in to a module, as the ready line lists it.
struct SimEndpointInfo {
    std::string kind;  // "tcp", "serial", "usb", "usb-node", "routed" or "discovery"
    uint32_t serial;   // the module's serial number (0 for discovery)
    std::string where; // "ADDR:PORT", the pty path, the emulated USB test bed's root,
                       // the driver node, "ROUTER ADDRESS" or the interface
};

// Owns the modules and serves them from one thread. Modules, buses and endpoints are
// set up before start; while it runs, module state is read and changed only inside
// with(), which holds the simulator still.
class Simulator {
  public:
    Simulator();
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    SimModule& add(const SimModuleConfig& config);
    // Puts child on router's I2C bus; false when its address cannot be used there.
    bool attach(SimModule& router, SimModule& child);
    // A listening TCP port for the module (IPv4 text address, port 0 picks a free one).
    void listenTcp(SimModule& module, const std::string& address, uint16_t port);
    // A pseudo-terminal carrying the module's packets in COBS frames.
    void openPty(SimModule& module);
    // The module on emulated USB (vendor cvusb_VENDOR_ID, product id its model), for
    // programs run with umockdev's preload library and UMOCKDEV_DIR set to usbRoot().
    // A restart unplugs it, and it comes back after the restart time as a new device,
    // with the serial number it answers under then.
    void attachUsb(SimModule& module);
    // The module behind a kernel driver node /dev/corvane.SERIAL in the same test bed.
    // A restart hangs up the host's handle; the node stays (umockdev cannot bring back
    // a node of the same name) and the module is silent for the restart time.
    void attachKernelNode(SimModule& module);
    // Answers module discovery requests (group 232.2.2.2 port 9888) on the interface
    // with this IPv4 address, for the TCP ports bound to it or to any address.
    void setDiscovery(const std::string& interfaceAddress);
    // After each loader or image a module receives, its blocks are written here.
    void setDumpDir(const std::string& dir) { dumpDir = dir; }
    // Every packet is traced on standard error.
    void setVerbose(bool on) { verbose = on; }

    // Opens every endpoint and starts serving; the error text, empty on success.
    std::string start();
    // Stops serving and closes every endpoint; also done by the destructor.
    void stop();

    std::vector<SimEndpointInfo> endpoints() const;
    // The emulated USB test bed's root (UMOCKDEV_DIR), empty without USB endpoints.
    std::string usbRoot() const;
    // The module's emulated USB device as it is plugged in now (null while it is away),
    // for tests that look at transfers or hold writes (read inside with() or waitFor()).
    SimUsbDevice* usbDevice(const SimModule& module) const;
    // True while the module is away restarting (read inside with() or waitFor()).
    bool restarting(const SimModule& module) const {
        return downUntil.count(const_cast<SimModule*>(&module)) != 0;
    }
    SimModule* find(uint32_t originalSerial);
    // True while a host holds one of the module's TCP connections (read inside with()
    // or waitFor()).
    bool tcpHostConnected(const SimModule& module) const;

    template <typename Fn> auto with(Fn fn) {
        std::lock_guard<std::mutex> hold(mutex);
        return fn();
    }
    // Waits until pred (run while the simulator holds still) is true; false after the
    // time-out. Checked after every pass of the serving loop.
    bool waitFor(const std::function<bool()>& pred, int timeoutMs);

  private:
    struct Endpoint;
    void loop();
    void pass(const std::vector<struct pollfd>& fds);
    void acceptOn(Endpoint& e, uint64_t nowUs);
    void readFrom(Endpoint& e, int fd, uint64_t nowUs);
    void restart(SimModule* module, uint64_t nowUs);
    void revive(uint64_t nowUs);
    void answerDiscovery();
    void dump(SimModule& module);
    void traceOut(bool out, const SimModule& module, const SimPacket& p);
    std::unique_ptr<SimLink> newLink(Endpoint& e, uint64_t nowUs);
    bool openListener(Endpoint& e);
    bool plugUsb(Endpoint& e);
    void takeUsbInput(Endpoint& e, uint64_t nowUs);
    uint64_t nextWakeUs();

    std::vector<std::unique_ptr<SimModule>> modules;
    std::map<SimModule*, SimModule*> routerOf;
    std::vector<std::unique_ptr<Endpoint>> eps;
    std::unique_ptr<SimUsbTestbed> usb;
    std::map<SimModule*, uint64_t> downUntil;
    std::string discoveryInterface;
    int discoveryFd = -1;
    int wake[2] = {-1, -1};
    std::string dumpDir;
    bool verbose = false;
    std::atomic<bool> running{false};
    std::thread thread;
    std::mutex mutex;
    std::condition_variable passed;
};
