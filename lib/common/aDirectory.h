// aDirectory - directories, well-known paths and path joining with aErr results
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aDIRECTORY_PATH_MAX 2048

// One entry handed to a listing callback.
typedef struct {
    char path[aDIRECTORY_PATH_MAX]; // the listed directory joined with the entry name
    uint32_t size;                  // low 32 bits of the entry's size
    bool isDirectory;
} aDirectoryListData;

// Answers true to go on listing, false to stop.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* context);

bool aDirectory_Exists(const char* path);

// Creates the directory and every missing ancestor with the given mode.
// aErrPermission when a level could not be created.
aErr aDirectory_Ensure(const char* path, uint32_t mode);

// Every entry in the system's order, "." and ".." included. aErrNotFound when the
// directory cannot be opened; aErrNone otherwise, also when stopped early.
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context);

// Removes an empty directory; aErrUnknown on failure.
aErr aDirectory_Delete(const char* path);

// Removes a directory and everything below it. Symbolic links are removed, never
// followed. aErrNotFound when it cannot be opened, aErrUnknown when the directory
// itself could not be removed.
aErr aDirectory_DeleteTree(const char* path);

aErr aDirectory_CWD(char* buffer, size_t size);

// The running program's absolute path; aErrRead when it cannot be read.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// The user's home directory from the password database, else from HOME.
// aErrNotFound when neither gives one (the buffer then holds an empty text),
// aErrOverrun when it does not fit the buffer.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// Joins the parts with "/" where neither side brings one. aErrParam for a null
// buffer, a buffer that is one of the parts, or more than nine further parts;
// aErrOverrun when the result does not fit (the buffer keeps what was joined).
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
