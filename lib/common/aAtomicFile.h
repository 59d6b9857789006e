// aAtomicFile - replacing a whole file so a crash or a full disk never leaves half of it
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Writes the bytes to a temporary file beside path, flushes them to the medium and
// renames it over path. On any failure the temporary file is removed and an earlier
// file at path stays as it was. A new file gets mode 0644; a replaced file keeps its
// mode. aErrParam for a null path or null data with a non-zero length, aErrNotFound
// when the temporary file cannot be created, aErrIO when writing, flushing or the
// rename fails.
aErr aAtomicFile_Write(const char* path, const uint8_t* data, size_t length);
