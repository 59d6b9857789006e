// aError - the result code of every device-library and store operation
#pragma once

#include <cstdint>

// A plain unsigned enumeration; the numbers also travel in modules' error replies,
// so they never change order.
typedef enum : uint32_t {
    aErrNone = 0,
    aErrMemory,
    aErrParam,
    aErrNotFound,
    aErrFileNameLength,
    aErrBusy,
    aErrIO,
    aErrMode,
    aErrWrite,
    aErrRead,
    aErrEOF,
    aErrNotReady,
    aErrPermission,
    aErrRange,
    aErrSize,
    aErrOverrun,
    aErrParse,
    aErrConfiguration,
    aErrTimeout,
    aErrInitialization,
    aErrVersion,
    aErrUnimplemented,
    aErrDuplicate,
    aErrCancel,
    aErrPacket,
    aErrConnection,
    aErrIndexRange,
    aErrShortCommand,
    aErrInvalidEntity,
    aErrInvalidOption,
    aErrResource,
    aErrMedia,
    aErrAsyncReturn,
    aErrStreamStale,
    aErrUnknown,
} aErr;

// Name text of a code ("aErrNone"); "aErrUnknown" for any code above the table.
const char* aError_GetErrorText(aErr code);

// Description text of a code; "Unknown error" for any code above the table.
const char* aError_GetErrorDescription(aErr code);
