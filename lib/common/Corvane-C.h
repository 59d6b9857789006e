// Corvane-C - the one libusb context every USB user of the process shares
#pragma once

// Only the handle's name is needed here, so portable modules need no libusb header.
struct libusb_context;

// The process's libusb context, created on first use; null when libusb cannot start.
// Creation and destruction are serialised; the context itself is libusb's to guard.
libusb_context* Corvane_libusb_context();

// The same call under the older name: makes sure the context exists and answers it.
libusb_context* Corvane_libusb_init();

// Ends the context (libusb_exit) and forgets it, so the next use starts a fresh one that
// sees the devices attached since. Every handle opened on the old context must be
// closed first. Harmless without a context.
void Corvane_libusb_exit();
