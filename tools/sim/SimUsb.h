// SimUsb - modules on emulated USB and kernel driver nodes (umockdev) with a byte-pipe device side
//
// The host side is any unchanged program running with umockdev's preload library and
// UMOCKDEV_DIR pointing at the test bed: libusb and the kernel driver back end meet the
// emulated devices there. The device side lives in the process that owns the test bed;
// it can be the same process when that process itself runs under the preload.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The preload library the host side must run under.
constexpr const char* kSimUsbPreload = "libumockdev-preload.so.0";

// True when this process runs under the preload library.
bool SimUsb_PreloadActive();

// What an emulated module tells the host about itself.
struct SimUsbSpec {
    std::string serial;   // the serial-number string, as the device reports it
    uint16_t vendorId;    // the maker's id unless a test wants a stranger
    uint16_t productId;   // low eight bits are the model
    uint16_t maxPacket;   // of both bulk endpoints
    bool vendorInterface; // false: the interface has another class (no module interface)
};

// How injected transfer failures look to the host.
enum class SimUsbFault {
    Stall,   // the endpoint halts (the host sees a pipe error)
    IoError, // a protocol error on the wire (the host sees an I/O error)
};

// The device side of one emulated module. Thread-safe: umockdev serves the host on its
// own thread while the owner reads and queues here.
class SimUsbDevice {
  public:
    using Bytes = std::vector<uint8_t>;
    // Takes the bytes of each bulk OUT transfer, on umockdev's thread, with no lock held.
    using Receiver = std::function<void(const uint8_t* bytes, size_t length)>;

    virtual ~SimUsbDevice() = default;
    // Every byte the host wrote so far, in order (none once a receiver takes them).
    virtual Bytes written() const = 0;
    // Waits until the host wrote at least count bytes in all; false after the time-out.
    virtual bool awaitWritten(size_t count, int timeoutMs) = 0;
    // The length of each bulk OUT transfer that reached the device, in order.
    virtual std::vector<size_t> outTransfers() const = 0;
    // Bytes for the host to read; one IN transfer takes as many as it has room for.
    virtual void queue(const Bytes& bytes) = 0;
    // How many queued bytes the host has not read yet.
    virtual size_t pendingIn() const = 0;
    // The next count bulk transfers, either direction, fail; a pending read fails at once.
    virtual void failNext(int count, SimUsbFault fault) = 0;
    // Whether the device refuses to clear a halted endpoint.
    virtual void refuseClearHalt(bool refuse) = 0;
    // While held, bulk OUT transfers wait (the host's write blocks until its time-out);
    // releasing completes the waiting ones.
    virtual void holdWrites(bool hold) = 0;
    // Waits until an OUT transfer is held; false after the time-out.
    virtual bool awaitHeldWrite(int timeoutMs) = 0;
    // How often the host opened the device node and claimed the interface.
    virtual int opens() const = 0;
    virtual int claims() const = 0;
    // Where the host's bytes go instead of written(); set before the host writes.
    virtual void setReceiver(Receiver receiver) = 0;
    // False once unplugged.
    virtual bool plugged() const = 0;
};

// The device side of a kernel driver node "/dev/corvane.%08X": a raw byte pipe.
class SimUsbNode {
  public:
    using Bytes = std::vector<uint8_t>;
    virtual ~SimUsbNode() = default;
    // Reads what the host wrote until count bytes arrived in all; false after the time-out.
    virtual bool awaitWritten(size_t count, int timeoutMs) = 0;
    virtual Bytes written() const = 0;
    // Bytes for the host to read (call after the host opened the node).
    virtual void queue(const Bytes& bytes) = 0;
    // The pty master behind the node, for an owner that polls it itself (then leave
    // awaitWritten and queue alone). It answers EIO until the host opens the node, and
    // never hangs up: the device side holds a slave open.
    virtual int fd() const = 0;
};

// One umockdev test bed. Attach every device before the host first uses libusb (libusb
// lists devices when its context starts); the host ends that context before the test
// bed goes.
class SimUsbTestbed {
  public:
    // hostHere: the host side runs in this process, which therefore needs the preload.
    explicit SimUsbTestbed(bool hostHere = false);
    ~SimUsbTestbed();
    SimUsbTestbed(const SimUsbTestbed&) = delete;
    SimUsbTestbed& operator=(const SimUsbTestbed&) = delete;

    // Empty when the test bed works; otherwise why not.
    const std::string& error() const;
    // The test bed's root, the value of UMOCKDEV_DIR for the host.
    std::string root() const;

    // A module on USB; the reference lives as long as the test bed. Null on failure
    // (error() says why).
    SimUsbDevice* attach(const SimUsbSpec& spec);
    // A kernel driver node for that serial number. Null on failure.
    SimUsbNode* attachKernelNode(uint32_t serialNumber);
    // Unplugs: the host's open handle fails with "no device" from now on, and the device
    // leaves sysfs and /dev with a remove event. The object stays valid until the test
    // bed goes; a module that comes back is attached anew (under a new device number).
    void detach(SimUsbDevice* device);
    // Hangs up every handle the host holds on the node: reads see end of file, writes
    // fail. The node itself stays, because umockdev cannot add a node of a removed name
    // again; a host may open it anew. False when the hang-up is not permitted.
    bool hangUp(SimUsbNode* node);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl;
};
