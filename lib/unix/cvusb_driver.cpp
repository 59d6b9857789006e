// cvusb_driver - modules on USB through libusb or through the kernel driver's nodes
#include "cvusb_driver.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libusb.h>
#include <new>
#include <poll.h>
#include <unistd.h>

#include "Corvane-C.h"
#include "aFile.h"

namespace {

constexpr uint16_t kDriverMarker = 0xC5B0;
constexpr size_t kReadBuffer = 1024;
constexpr unsigned kReadTimeoutMs = 1000;
constexpr unsigned kWriteTimeoutMs = 50;
constexpr int kWriteFailures = 10;
// A transfer of a whole number of 512-byte packets would leave the module waiting for
// a zero-length packet that never comes, so such a chunk goes one byte short.
constexpr size_t kAwkwardChunk = 512;
// I/O errors in a row that are absorbed before the device counts as failed.
constexpr uint8_t kToleratedErrors = 4;
constexpr int kKernelWriteAttempts = 1000;
constexpr size_t kSerialTextMax = 256;

struct DriverRecord {
    uint16_t check = kDriverMarker;
    cvusbBackEnd backEnd;
    char serialText[16] = {};
    libusb_device_handle* handle = nullptr;
    int fd = -1; // kernel node; -1 when closed
    // Written by whichever of the reading and writing threads meets an error.
    std::atomic<uint8_t> state{cvusb_STATE_CREATED};
    std::atomic<uint8_t> errorCount{0};
    int interfaceNumber = -1;
    uint8_t outEndpoint = 0, inEndpoint = 0;
    uint16_t outMaxPacket = 0, inMaxPacket = 0;
    // The reading thread's alone.
    uint8_t rx[kReadBuffer];
    size_t rxPos = 0, rxCount = 0;
};

DriverRecord* record(cvusbRef ref) {
    DriverRecord* r = reinterpret_cast<DriverRecord*>(ref);
    return r && r->check == kDriverMarker ? r : nullptr;
}

// Applies the tolerance rule to the result of one libusb read or write.
aErr tolerate(DriverRecord* r, aErr err, aErr absorbedAs) {
    if (err != aErrIO) {
        r->errorCount = 0;
        return err;
    }
    uint8_t before = r->errorCount;
    // Saturates, so a device that keeps failing never wraps back into tolerance.
    if (before < 0xFF) r->errorCount = uint8_t(before + 1);
    if (before < kToleratedErrors) return absorbedAs;
    r->state = cvusb_STATE_FAILED;
    return aErrIO;
}

// Answers the error a libusb transfer may not start with, or aErrNone when claimed.
aErr readiness(const DriverRecord* r) {
    uint8_t state = r->state;
    if (state == cvusb_STATE_READY) return aErrNone;
    if (state == cvusb_STATE_CLOSED) return aErrConnection;
    if (state == cvusb_STATE_CREATED || state == cvusb_STATE_OPEN) return aErrNotReady;
    return aErrIO;
}

// ---- libusb back end ----

// The serial-number string of an open device, ASCII; false when it cannot be read.
bool readSerial(libusb_device_handle* h, const libusb_device_descriptor& d, char* text,
                size_t size) {
    if (d.iSerialNumber == 0) return false;
    int n = libusb_get_string_descriptor_ascii(h, d.iSerialNumber,
                                               reinterpret_cast<unsigned char*>(text), int(size));
    if (n < 0) return false;
    text[size_t(n) < size ? size_t(n) : size - 1] = '\0';
    return true;
}

// Takes the bulk or interrupt endpoints of one alternate setting of the vendor interface.
bool takeEndpoints(DriverRecord* r, const libusb_interface_descriptor& alt) {
    r->inEndpoint = r->outEndpoint = 0;
    for (int e = 0; e < alt.bNumEndpoints; e++) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        uint8_t kind = ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
        if (kind != LIBUSB_TRANSFER_TYPE_BULK && kind != LIBUSB_TRANSFER_TYPE_INTERRUPT) continue;
        if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
            r->inEndpoint = ep.bEndpointAddress;
            r->inMaxPacket = ep.wMaxPacketSize;
        } else {
            r->outEndpoint = ep.bEndpointAddress;
            r->outMaxPacket = ep.wMaxPacketSize;
        }
    }
    r->interfaceNumber = alt.bInterfaceNumber;
    return r->inEndpoint != 0 && r->outEndpoint != 0 && r->outMaxPacket != 0;
}

aErr findEndpoints(DriverRecord* r, libusb_device* dev) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(dev, 0, &config) != LIBUSB_SUCCESS) return aErrConfiguration;
    bool found = false;
    for (int i = 0; i < config->bNumInterfaces && !found; i++) {
        const libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting && !found; a++) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            found = alt.bInterfaceClass == cvusb_INTERFACE_CLASS &&
                    alt.bInterfaceSubClass == cvusb_INTERFACE_SUBCLASS &&
                    alt.bInterfaceProtocol == cvusb_INTERFACE_PROTOCOL && takeEndpoints(r, alt);
        }
    }
    libusb_free_config_descriptor(config);
    return found ? aErrNone : aErrConfiguration;
}

aErr claimError(int rc) {
    if (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_NO_DEVICE) return aErrBusy;
    if (rc == LIBUSB_ERROR_ACCESS) return aErrPermission;
    return aErrUnknown;
}

// Holds the matching device's handle: finds its endpoints and claims its interface.
aErr claim(DriverRecord* r, libusb_device* dev, libusb_device_handle* h) {
    r->handle = h;
    r->state = cvusb_STATE_OPEN;
    aErr err = findEndpoints(r, dev);
    int rc = err == aErrNone ? libusb_claim_interface(h, r->interfaceNumber) : LIBUSB_SUCCESS;
    if (err == aErrNone && rc != LIBUSB_SUCCESS) err = claimError(rc);
    if (err != aErrNone) {
        libusb_close(h);
        r->handle = nullptr;
        r->state = cvusb_STATE_CLOSED;
        return err;
    }
    r->errorCount = 0;
    r->rxPos = r->rxCount = 0;
    r->state = cvusb_STATE_READY;
    return aErrNone;
}

// Opens dev when it is a module with that exact serial text; the handle or null.
libusb_device_handle* openIfMatching(libusb_device* dev, const char* serialText) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(dev, &d) != LIBUSB_SUCCESS) return nullptr;
    if (!cvusb_is_module_id(d.idVendor, d.idProduct)) return nullptr;
    libusb_device_handle* h = nullptr;
    if (libusb_open(dev, &h) != LIBUSB_SUCCESS) return nullptr;
    char text[kSerialTextMax + 1];
    if (readSerial(h, d, text, sizeof text) && strcmp(text, serialText) == 0) return h;
    libusb_close(h);
    return nullptr;
}

aErr libusbOpen(DriverRecord* r, const char* serialText) {
    if (r->state == 0) return aErrResource;
    libusb_context* ctx = Corvane_libusb_context();
    libusb_device** list = nullptr;
    ssize_t count = ctx ? libusb_get_device_list(ctx, &list) : -1;
    if (count < 0) return aErrNotFound;
    aErr err = aErrNotFound;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device_handle* h = openIfMatching(list[i], serialText);
        if (!h) continue;
        err = claim(r, list[i], h);
        break;
    }
    libusb_free_device_list(list, 1);
    return err;
}

// Clears a stalled endpoint; false when the device refuses.
bool clearHalt(DriverRecord* r, uint8_t endpoint) {
    return libusb_clear_halt(r->handle, endpoint) == LIBUSB_SUCCESS;
}

size_t chunkSize(const DriverRecord* r, size_t remaining) {
    size_t chunk = remaining < r->outMaxPacket ? remaining : r->outMaxPacket;
    return chunk == kAwkwardChunk ? chunk - 1 : chunk;
}

aErr libusbWriteOnce(DriverRecord* r, const uint8_t* data, size_t length) {
    aErr err = readiness(r);
    if (err != aErrNone) return err;
    size_t sent = 0;
    int failures = 0;
    while (sent < length && failures < kWriteFailures) {
        int moved = 0;
        int rc = libusb_bulk_transfer(r->handle, r->outEndpoint, const_cast<uint8_t*>(data + sent),
                                      int(chunkSize(r, length - sent)), &moved, kWriteTimeoutMs);
        // A time-out may still have moved part of the chunk.
        if (moved > 0) sent += size_t(moved);
        // A transfer that moved nothing counts as failed, so the loop stays bounded.
        if (rc == LIBUSB_SUCCESS && moved > 0) continue;
        failures++;
        if (rc == LIBUSB_ERROR_PIPE && !clearHalt(r, r->outEndpoint)) err = aErrIO;
    }
    if (err == aErrNone && sent < length) err = aErrWrite;
    return err;
}

// Fills the read buffer with one transfer.
aErr libusbFill(DriverRecord* r) {
    aErr err = readiness(r);
    if (err != aErrNone) return err;
    int got = 0;
    int rc = libusb_bulk_transfer(r->handle, r->inEndpoint, r->rx, int(kReadBuffer), &got,
                                  kReadTimeoutMs);
    r->rxPos = 0;
    r->rxCount = got > 0 ? size_t(got) : 0;
    if (rc == LIBUSB_SUCCESS) return aErrNone;
    if (rc == LIBUSB_ERROR_PIPE) {
        clearHalt(r, r->inEndpoint);
        return aErrNotReady;
    }
    if (rc == LIBUSB_ERROR_TIMEOUT) return r->rxCount > 0 ? aErrNone : aErrNotReady;
    r->rxCount = 0;
    return aErrIO;
}

aErr libusbGet(DriverRecord* r, uint8_t* byte) {
    aErr err = aErrNone;
    if (r->rxPos >= r->rxCount) err = libusbFill(r);
    if (err == aErrNone && r->rxPos >= r->rxCount) err = aErrNotReady;
    if (err == aErrNone) *byte = r->rx[r->rxPos++];
    return tolerate(r, err, aErrNotReady);
}

aErr libusbClose(DriverRecord* r) {
    if (r->handle) {
        if (r->state == cvusb_STATE_READY || r->state == cvusb_STATE_FAILED)
            libusb_release_interface(r->handle, r->interfaceNumber);
        libusb_close(r->handle);
    }
    r->handle = nullptr;
    r->state = cvusb_STATE_CLOSED;
    r->inEndpoint = r->outEndpoint = 0;
    r->interfaceNumber = -1;
    r->rxPos = r->rxCount = 0;
    return aErrNone;
}

// ---- kernel driver back end ----

aErr kernelOpen(DriverRecord* r, const char* serialText) {
    char path[64];
    snprintf(path, sizeof path, "/dev/corvane.%s", serialText);
    // Non-blocking, so a stopping link is never held in a read; wait polls instead.
    int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
    r->fd = fd;
    r->rxPos = r->rxCount = 0;
    r->state = cvusb_STATE_READY;
    return aErrNone;
}

// Lets the node take more; false when it stays full past the write's bound.
bool awaitRoom(int fd) {
    struct pollfd p = {fd, POLLOUT, 0};
    return poll(&p, 1, kWriteTimeoutMs) >= 0;
}

aErr kernelWrite(DriverRecord* r, const uint8_t* data, size_t length) {
    if (r->fd < 0) return aErrIO;
    size_t sent = 0;
    for (int i = 0; i < kKernelWriteAttempts && sent < length; i++) {
        ssize_t n = write(r->fd, data + sent, length - sent);
        if (n > 0)
            sent += size_t(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return aErrIO;
        else if (!awaitRoom(r->fd))
            return aErrIO;
    }
    return sent == length ? aErrNone : aErrIO;
}

aErr kernelGet(DriverRecord* r, uint8_t* byte) {
    if (r->fd < 0) return aErrIO;
    if (r->rxPos >= r->rxCount) {
        ssize_t n = read(r->fd, r->rx, kReadBuffer);
        if (n == 0 || (n < 0 && (errno == EFAULT || errno == EAGAIN || errno == EINTR)))
            return aErrNotReady;
        if (n < 0) return aErrIO;
        r->rxPos = 0;
        r->rxCount = size_t(n);
    }
    *byte = r->rx[r->rxPos++];
    return aErrNone;
}

aErr kernelWait(DriverRecord* r, uint32_t timeoutMs) {
    if (r->rxPos < r->rxCount) return aErrNone;
    if (r->fd < 0) return aErrIO;
    struct pollfd p = {r->fd, POLLIN, 0};
    int rc = poll(&p, 1, int(timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : timeoutMs));
    if (rc > 0) return aErrNone; // a byte, or a hang-up the next read reports
    if (rc == 0 || errno == EINTR) return aErrTimeout;
    return aErrIO;
}

aErr kernelClose(DriverRecord* r) {
    aErr err = aErrNone;
    if (r->fd >= 0 && close(r->fd) != 0) err = aErrCancel;
    r->fd = -1;
    r->rxPos = r->rxCount = 0;
    r->state = cvusb_STATE_CLOSED;
    return err;
}

} // namespace

bool cvusb_is_module_id(uint16_t vendorId, uint16_t productId) {
    return vendorId == cvusb_VENDOR_ID && (productId & cvusb_PRODUCT_NOT_MODULE) == 0;
}

bool is_corvane_device(libusb_device* device) {
    libusb_device_descriptor d;
    if (!device || libusb_get_device_descriptor(device, &d) != LIBUSB_SUCCESS) return false;
    return cvusb_is_module_id(d.idVendor, d.idProduct);
}

bool cvusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char path[64];
    snprintf(path, sizeof path, cvusb_KERNEL_NODE_FORMAT, unsigned(serialNumber));
    return aFile_Exists(path);
}

cvusbRef cvusb_create_usb(cvusbBackEnd backEnd) {
    if (backEnd != cvusb_BACKEND_KERNEL && backEnd != cvusb_BACKEND_LIBUSB) return nullptr;
    if (backEnd == cvusb_BACKEND_LIBUSB && !Corvane_libusb_context()) return nullptr;
    DriverRecord* r = new (std::nothrow) DriverRecord;
    if (r) r->backEnd = backEnd;
    return reinterpret_cast<cvusbRef>(r);
}

aErr cvusb_open_corvane_device(cvusbRef device, const char* serialText) {
    DriverRecord* r = record(device);
    if (!r || !serialText) return aErrParam;
    if (r->handle || r->fd >= 0) cvusb_close_corvane_device(device);
    snprintf(r->serialText, sizeof r->serialText, "%s", serialText);
    if (r->backEnd == cvusb_BACKEND_LIBUSB) return libusbOpen(r, serialText);
    aErr err = kernelOpen(r, serialText);
    if (err != aErrNone) r->state = cvusb_STATE_CLOSED;
    return err;
}

aErr cvusb_write_to_device(cvusbRef device, const uint8_t* data, size_t length) {
    DriverRecord* r = record(device);
    if (!r || (!data && length)) return aErrParam;
    if (r->backEnd == cvusb_BACKEND_KERNEL) return kernelWrite(r, data, length);
    return tolerate(r, libusbWriteOnce(r, data, length), aErrNone);
}

aErr cvusb_get_from_device(cvusbRef device, uint8_t* byte) {
    DriverRecord* r = record(device);
    if (!r || !byte) return aErrParam;
    return r->backEnd == cvusb_BACKEND_KERNEL ? kernelGet(r, byte) : libusbGet(r, byte);
}

aErr cvusb_wait_for_data(cvusbRef device, uint32_t timeoutMs) {
    DriverRecord* r = record(device);
    if (!r) return aErrParam;
    return r->backEnd == cvusb_BACKEND_KERNEL ? kernelWait(r, timeoutMs) : aErrNone;
}

aErr cvusb_close_corvane_device(cvusbRef device) {
    DriverRecord* r = record(device);
    if (!r) return aErrParam;
    return r->backEnd == cvusb_BACKEND_KERNEL ? kernelClose(r) : libusbClose(r);
}

aErr cvusb_destroy(cvusbRef* device) {
    if (!device) return aErrParam;
    DriverRecord* r = record(*device);
    if (!r) return aErrParam;
    cvusb_close_corvane_device(*device);
    r->check = 0;
    delete r;
    *device = nullptr;
    return aErrNone;
}

cvusbState cvusb_get_state(cvusbRef device) {
    DriverRecord* r = record(device);
    return r ? cvusbState(r->state.load()) : cvusbState(0);
}
