// aPacketDebug - a ring of the newest packets a link sent and received
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aFile.h"

// Record directions.
enum : uint8_t {
    aPACKETLOG_OUT = 1,  // written by the link's writer
    aPACKETLOG_IN = 2,   // received by the link's reader
    aPACKETLOG_TEXT = 3, // a note such as "START", stored with its NUL
};

#define aPACKETLOG_DEFAULT_SIZE 65536
#define aPACKETLOG_MAX_SIZE 0x4000000

// Records: direction, length (0..255), bytes. The ring keeps one byte free.
// The log has no lock of its own: its owner serialises every Put and Get.
typedef struct {
    bool enabled; // owner's mark; recording does not depend on it
    uint8_t* data;
    size_t size;
    size_t head; // first byte of the oldest record
    size_t tail; // where the next record starts
} aPacketLog;

// A new empty log with a ring of size bytes (2 .. aPACKETLOG_MAX_SIZE); null otherwise
// or when memory is exhausted.
aPacketLog* aPacketLog_Create(size_t size);

// Appends a record, dropping the oldest as needed. aErrParam for an invalid log, null
// bytes or a length above 255; aErrOverrun when it cannot fit even an empty log.
aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, size_t length, const uint8_t* bytes);

// Takes the oldest record. length holds the buffer's capacity on entry and the record's
// length on return. aErrNotFound when empty; aErrOverrun (record kept) when too long.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, size_t* length, uint8_t* buffer);

// Frees the ring and the log and nulls the pointer; aErrParam for a null log.
aErr aPacketLog_Destroy(aPacketLog** log);

// Appends one record to a log file as a line: "<length> <sign> " where the sign is ">"
// for an outgoing record and "<" otherwise, then each byte as "0x%X " (a text record's
// characters unchanged), then "\r\n".
aErr aPacketLog_WriteLine(aFileRef file, uint8_t direction, size_t length, const uint8_t* bytes);
