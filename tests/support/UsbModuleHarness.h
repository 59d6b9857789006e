// UsbModuleHarness - emulated modules on USB (umockdev) whose device side is a byte pipe
//
// The program under test runs in the same process, unchanged: libusb and the kernel
// driver back end meet the emulated devices through umockdev's preload library. The
// harness starts the test program again under that library (once, at load time) when
// it was started without it, so the suite runs the same from ctest or by hand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// What an emulated module tells the host about itself.
struct UsbModuleSpec {
    std::string serial;   // the serial-number string, as the device reports it
    uint16_t vendorId;    // the maker's id unless a test wants a stranger
    uint16_t productId;   // low eight bits are the model
    uint16_t maxPacket;   // of both bulk endpoints
    bool vendorInterface; // false: the interface has another class (no module interface)
};

// How injected transfer failures look to the host.
enum class UsbFault {
    Stall,   // the endpoint halts (the host sees a pipe error)
    IoError, // a protocol error on the wire (the host sees an I/O error)
};

// The device side of one emulated module. Thread-safe: umockdev serves the host on its
// own thread while the test reads and queues here.
class UsbModule {
  public:
    virtual ~UsbModule() = default;
    // Every byte the host wrote so far, in order.
    virtual Bytes written() const = 0;
    // Waits until the host wrote at least count bytes in all; false after the time-out.
    virtual bool awaitWritten(size_t count, int timeoutMs) = 0;
    // The length of each bulk OUT transfer that reached the device, in order.
    virtual std::vector<size_t> outTransfers() const = 0;
    // Bytes for the host to read; one IN transfer takes as many as it has room for.
    virtual void queue(const Bytes& bytes) = 0;
    // The next count bulk transfers, either direction, fail; a pending read fails at once.
    virtual void failNext(int count, UsbFault fault) = 0;
    // Whether the device refuses to clear a halted endpoint.
    virtual void refuseClearHalt(bool refuse) = 0;
    // How often the host opened the device node and claimed the interface.
    virtual int opens() const = 0;
    virtual int claims() const = 0;
};

// The device side of a kernel driver node "/dev/corvane.%08X": a raw byte pipe.
class KernelNode {
  public:
    virtual ~KernelNode() = default;
    // Reads what the host wrote until count bytes arrived in all; false after the time-out.
    virtual bool awaitWritten(size_t count, int timeoutMs) = 0;
    virtual Bytes written() const = 0;
    // Bytes for the host to read (call after the host opened the node).
    virtual void queue(const Bytes& bytes) = 0;
};

// One umockdev test bed. Attach every device before the code under test first uses
// libusb (libusb lists devices when its context starts); end that context
// (Corvane_libusb_exit) before the test bed goes.
class UsbTestbed {
  public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // Empty when the test bed works; otherwise why not.
    const std::string& error() const;

    // A module on USB; the reference lives as long as the test bed. Null on failure
    // (error() says why).
    UsbModule* attach(const UsbModuleSpec& spec);
    // A kernel driver node for that serial number. Null on failure.
    KernelNode* attachKernelNode(uint32_t serialNumber);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl;
};

} // namespace testsupport
