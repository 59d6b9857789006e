// aStreamUSB - a module on USB as a byte stream
#pragma once

#include <cstdint>

#include "aError.h"
#include "aStream.h"

// Opens the module with that serial number (kernel-driver node when present, else
// libusb) and answers a stream over it; *stream is nulled first. aErrParam for a
// null pointer or serial 0, aErrNotFound when no such module is attached, aErrBusy
// when another program holds it, aErrPermission without access, aErrConfiguration
// when the module lacks its vendor interface. A libusb stream's get blocks up to a
// second in its transfer, so its wait answers aErrNone at once; a kernel-node stream's
// wait polls the node.
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);
