// unix_streamusb - a module on USB as a byte stream
#include "aStreamUSB.h"

#include <cstdio>
#include <new>

#include "cvusb_driver.h"

namespace {

constexpr uint16_t kUsbStreamMarker = 0xDEAD;

struct UsbStreamRecord {
    uint16_t check = kUsbStreamMarker;
    uint32_t serialNumber = 0;
    cvusbRef driver = nullptr; // owned
};

UsbStreamRecord* record(void* ref) {
    UsbStreamRecord* r = static_cast<UsbStreamRecord*>(ref);
    return r && r->check == kUsbStreamMarker ? r : nullptr;
}

aErr usbGet(uint8_t* byte, void* ref) {
    UsbStreamRecord* r = record(ref);
    return r ? cvusb_get_from_device(r->driver, byte) : aErrParam;
}

aErr usbWrite(const uint8_t* data, size_t length, void* ref) {
    UsbStreamRecord* r = record(ref);
    return r ? cvusb_write_to_device(r->driver, data, length) : aErrParam;
}

aErr usbPut(uint8_t byte, void* ref) {
    return usbWrite(&byte, 1, ref);
}

// With libusb the answer is at once: get blocks in its bulk transfer for up to a second,
// which is the reader's wait. The kernel node is polled for up to timeoutMs.
aErr usbWait(uint32_t timeoutMs, void* ref) {
    UsbStreamRecord* r = record(ref);
    return r ? cvusb_wait_for_data(r->driver, timeoutMs) : aErrParam;
}

// A close that fails keeps both records, so the caller may try again.
aErr usbDelete(void* ref) {
    UsbStreamRecord* r = record(ref);
    if (!r) return aErrParam;
    aErr err = cvusb_close_corvane_device(r->driver);
    if (err != aErrNone) return err;
    cvusb_destroy(&r->driver);
    r->check = 0;
    delete r;
    return aErrNone;
}

const aStreamProcs kUsbProcs = {usbGet, usbPut, usbWrite, usbDelete, usbWait};

} // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
    if (!stream) return aErrParam;
    *stream = nullptr;
    if (serialNumber == 0) return aErrParam;
    cvusbBackEnd backEnd = cvusb_is_kernel_driver_installed(serialNumber) ? cvusb_BACKEND_KERNEL
                                                                          : cvusb_BACKEND_LIBUSB;
    UsbStreamRecord* r = new (std::nothrow) UsbStreamRecord;
    if (!r) return aErrMemory;
    r->serialNumber = serialNumber;
    r->driver = cvusb_create_usb(backEnd);
    if (!r->driver) {
        delete r;
        return aErrResource;
    }
    char serialText[16];
    snprintf(serialText, sizeof serialText, "%08X", unsigned(serialNumber));
    aErr err = cvusb_open_corvane_device(r->driver, serialText);
    aStreamRef s = err == aErrNone ? aStream_CreateWithProcs(&kUsbProcs, r) : nullptr;
    if (err == aErrNone && !s) err = aErrMemory;
    if (err != aErrNone) {
        cvusb_destroy(&r->driver);
        delete r;
        return err;
    }
    *stream = s;
    return aErrNone;
}
