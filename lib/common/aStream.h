// aStream - byte streams over any transport
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

typedef struct aStream* aStreamRef;

// The procedure table a transport plugs in through. Every member receives the
// transport's own reference and checks it before use. In a link exactly one thread
// reads (get, wait) and one thread writes (put, write) at the same time, so a
// transport must allow one reader beside one writer; delete runs after both stopped.

// get: called by the reading thread for one byte. Answers aErrNone with *byte set,
// aErrNotReady when no byte is there yet (polled transports answer at once), aErrEOF
// at the end of input, or the transport's error. Optional: reads answer aErrMode.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);

// put: called by the writing thread for one byte; aErrNone or the transport's error.
// Optional, but a transport with a write procedure offers put too.
typedef aErr (*aStreamPutProc)(uint8_t byte, void* ref);

// write: called by the writing thread for a block of more than one byte; answers
// aErrNone once every byte is handed to the transport. Optional: blocks go to put.
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* ref);

// delete: called once by aStream_Destroy to release the transport's state.
// Optional; its answer is the answer of aStream_Destroy.
typedef aErr (*aStreamDeleteProc)(void* ref);

// wait: called by the reading thread before a get when it has nothing else to do.
// Blocks until a get may make progress (a byte or an error is there) or timeoutMs
// passes: aErrNone when get is worth calling, aErrTimeout when nothing came, or the
// transport's error. Optional: a transport without it either blocks in get already or
// must be polled, and aStream_WaitReadable answers aErrMode.
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* ref);

typedef struct {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    aStreamWaitProc wait;
} aStreamProcs;

// Errors common to every operation: aErrParam for an invalid stream or a null buffer,
// aErrMode when the stream lacks the procedure the operation needs, aErrResource when
// scratch memory cannot be had.

// A new stream owned by the caller (release with aStream_Destroy); null when memory is
// exhausted. The stream keeps ref and hands it to every procedure.
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* ref);

// The same from a full table; the table is copied.
aStreamRef aStream_CreateWithProcs(const aStreamProcs* procs, void* ref);

// Reads exactly length bytes or none: aErrNotReady keeps the bytes obtained for the next
// read; aErrEOF delivers the bytes there were (count is optional and receives them).
aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t length);
aErr aStream_ReadCounted(aStreamRef stream, uint8_t* buffer, size_t length, size_t* count);

// Writes length bytes; 0 bytes succeed at once.
aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length);

// Waits up to timeoutMs until a read may make progress: aErrNone at once when returned
// bytes are waiting, aErrMode when the transport offers no wait (poll instead),
// otherwise the transport's answer.
aErr aStream_WaitReadable(aStreamRef stream, uint32_t timeoutMs);

// Returns bytes to the stream; the next reads see them first, in the order given.
// aErrMemory when the push-back buffer cannot grow (the remaining bytes are not kept).
aErr aStream_Unread(aStreamRef stream, const uint8_t* data, size_t length);

// Reads up to the terminator (consumed, not stored) or until bufferSize bytes are
// stored; all or nothing on aErrNotReady; aErrEOF after a stored byte ends the record.
// A terminator of several bytes is matched anywhere in the byte run, overlaps included;
// the bytes of a broken partial match are ordinary data. received is optional.
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* received, size_t bufferSize,
                        const uint8_t* terminator, size_t terminatorLength);

// Writes the data, then the terminator.
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);

// Reads up to a NUL, at most bufferSize - 1 bytes, and stores them NUL-terminated.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t bufferSize);

// Writes the text and its NUL.
aErr aStream_WriteCString(aStreamRef stream, const char* text);

// Reads up to the characters of terminatorText, at most bufferSize - 1 bytes, stored
// NUL-terminated.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t bufferSize,
                               const char* terminatorText);

// Writes the text without its NUL, then terminatorText with its NUL.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminatorText);

// Copies bytes from one stream to the other until the source reports aErrEOF
// (success) or another error (answered); a put error is answered at once.
aErr aStream_Flush(aStreamRef from, aStreamRef to);

// Calls the delete procedure, frees the stream and nulls the caller's pointer (also for
// an invalid stream, which answers aErrParam). Otherwise answers the delete's result.
aErr aStream_Destroy(aStreamRef* stream);

// File streams through aFile: input has get and delete, output put, write and delete.
// aErrResource and no stream when an argument is missing or the file cannot be opened.
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);
