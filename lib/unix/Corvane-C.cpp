// Corvane-C - the one libusb context every USB user of the process shares
#include "Corvane-C.h"

#include <libusb.h>
#include <mutex>

namespace {

// Statically initialised, so the first user on any thread finds it ready.
std::mutex contextLock;
libusb_context* context = nullptr;

} // namespace

libusb_context* Corvane_libusb_context() {
    std::lock_guard<std::mutex> lock(contextLock);
    if (!context && libusb_init(&context) != LIBUSB_SUCCESS) context = nullptr;
    return context;
}

libusb_context* Corvane_libusb_init() {
    return Corvane_libusb_context();
}

void Corvane_libusb_exit() {
    std::lock_guard<std::mutex> lock(contextLock);
    if (context) libusb_exit(context);
    context = nullptr;
}
