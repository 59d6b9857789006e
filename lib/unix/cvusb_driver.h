// cvusb_driver - modules on USB through libusb or through the kernel driver's nodes
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

struct libusb_device;

// The maker's USB vendor id; a device carrying it with bit 15 of its product id clear
// is a module. The udev rule in packaging/ names the same value.
constexpr uint16_t cvusb_VENDOR_ID = 0x3A7C;
// Product ids with this bit set belong to the maker's other devices, never to modules.
constexpr uint16_t cvusb_PRODUCT_NOT_MODULE = 0x8000;

// The module's vendor interface.
constexpr uint8_t cvusb_INTERFACE_CLASS = 0xFF;
constexpr uint8_t cvusb_INTERFACE_SUBCLASS = 0x88;
constexpr uint8_t cvusb_INTERFACE_PROTOCOL = 0x10;

// Device node of the kernel driver: "/dev/corvane.%08X".
#define cvusb_KERNEL_NODE_FORMAT "/dev/corvane.%08X"

typedef enum : uint8_t {
    cvusb_BACKEND_KERNEL = 0,
    cvusb_BACKEND_LIBUSB = 1,
} cvusbBackEnd;

typedef enum : uint8_t {
    cvusb_STATE_CREATED = 1,
    cvusb_STATE_CLOSED = 2, // closed, or the open failed
    cvusb_STATE_OPEN = 3,   // handle held, interface not claimed yet
    cvusb_STATE_READY = 4,  // interface claimed
    cvusb_STATE_FAILED = 5, // too many I/O errors in a row; reopen to recover
} cvusbState;

typedef struct cvusb_device* cvusbRef;

// The vendor and product id rule for modules.
bool cvusb_is_module_id(uint16_t vendorId, uint16_t productId);

// The same rule on a device's descriptor; false when it cannot be read.
bool is_corvane_device(libusb_device* device);

// True when the kernel driver's node for that serial number exists.
bool cvusb_is_kernel_driver_installed(uint32_t serialNumber);

// A new record in state 1, owned by the caller (cvusb_destroy); null when memory or
// the shared libusb context cannot be had.
cvusbRef cvusb_create_usb(cvusbBackEnd backEnd);

// Opens the module whose serial text ("%08X", compared exactly) is given.
// libusb: aErrResource (record in no state), aErrNotFound, aErrConfiguration (no vendor
// interface with a bulk pair), aErrBusy, aErrPermission, aErrUnknown.
// Kernel: aErrBusy, aErrIO. aErrParam for a null argument.
aErr cvusb_open_corvane_device(cvusbRef device, const char* serialText);

// Writes every byte. libusb: aErrConnection (closed), aErrNotReady (not claimed),
// aErrIO (failed for good), aErrWrite (bytes left after ten failed transfers); up to
// four I/O errors in a row are absorbed as success. Kernel: aErrIO.
// Called by one writing thread, beside one reading thread.
aErr cvusb_write_to_device(cvusbRef device, const uint8_t* data, size_t length);

// One byte, from a buffer of up to 1024 filled per transfer. aErrNotReady when nothing
// came: libusb blocks up to 1000 ms in its transfer first, the kernel back end answers
// at once. aErrConnection, aErrIO as for writes. Called by one reading thread.
aErr cvusb_get_from_device(cvusbRef device, uint8_t* byte);

// Waits until a read may make progress. libusb answers aErrNone at once, because its
// read blocks in the transfer for up to a second by itself; the kernel back end polls
// its node up to timeoutMs (aErrNone, aErrTimeout, aErrIO).
aErr cvusb_wait_for_data(cvusbRef device, uint32_t timeoutMs);

// Releases the interface and closes the handle (libusb), or closes the node (kernel;
// aErrCancel when the close fails). State 2 afterwards.
aErr cvusb_close_corvane_device(cvusbRef device);

// Closes any handle, frees the record and nulls the caller's pointer; aErrParam when
// there is no record.
aErr cvusb_destroy(cvusbRef* device);

// The record's state; 0 for an invalid record. For diagnostics and tests.
cvusbState cvusb_get_state(cvusbRef device);
