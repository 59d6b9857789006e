// aFile - files through opaque handles with aErr results
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Paths longer than this are refused with aErrFileNameLength.
#define aFILE_MAX_PATH 4096

typedef enum : uint32_t {
    aFileModeReadOnly = 0,  // existing file, reading
    aFileModeWriteOnly = 1, // created or truncated, writing
    aFileModeAppend = 2,    // opened or created, reading and appending
} aFileMode;

typedef struct aFile* aFileRef;

// True only for an existing entry that is not a directory.
bool aFile_Exists(const char* path);

// A new handle owned by the caller until aFile_Close, or null on any failure.
aFileRef aFile_Open(const char* path, aFileMode mode);

// Closes the file, frees the handle and nulls the caller's variable (also for an
// invalid handle). aErrParam for a null reference or handle.
aErr aFile_Close(aFileRef* file);

// Up to length bytes. aErrMode unless readable, aErrEOF when nothing was left,
// aErrParam for a missing buffer; a short read is aErrNone.
aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* count);

// aErrMode unless writable, aErrIO when nothing could be written.
aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length, size_t* count);

// origin 0 start, 1 current, 2 end; the target must lie within 0..size (aErrRange).
aErr aFile_Seek(aFileRef file, long offset, int origin);

aErr aFile_GetSize(aFileRef file, size_t* size);

// One line with its newline, at most size - 1 characters, always terminated.
// aErrOverrun when the line did not fit (the rest stays unread), aErrEOF at the end.
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);

aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));

aErr aFile_SetUnbuffered(aFileRef file);

// Writes the position only when it is greater than 0.
aErr aFile_GetPosition(aFileRef file, size_t* position);

// Flushes the library's buffer and the system's to the medium: aErrIO on failure.
aErr aFile_Sync(aFileRef file);

// aErrNotFound, aErrPermission or aErrIO on failure.
aErr aFile_Delete(const char* path);
