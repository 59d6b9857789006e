// unix_streamusb - USB not carried by this build yet: no module is ever found
#include "aStreamUSB.h"

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
    if (!stream) return aErrParam;
    *stream = nullptr;
    return serialNumber == 0 ? aErrParam : aErrNotFound;
}
