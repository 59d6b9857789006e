// aLogger - a background thread that feeds a log file
#pragma once

#include <cstdint>

#include "aError.h"
#include "aFile.h"

typedef struct aLogger* aLoggerRef;

// Called over and over on the logger thread while it runs, with the log file and the
// link id given at creation. It should block or sleep briefly when it has nothing to do.
typedef void (*aLoggerProc)(aFileRef file, uint32_t linkId);

// Opens path for appending, unbuffered; null for a missing argument or on failure.
aLoggerRef aLogger_Create(uint32_t linkId, aLoggerProc procedure, const char* path);

// Starts the thread: aErrNone also when running already, aErrResource when the thread
// cannot start, aErrParam for an invalid logger.
aErr aLogger_Enable(aLoggerRef logger);

// Stops and joins the thread. aErrNone when not running, and (without stopping) when
// called from the logger thread itself; aErrUnknown when the join fails.
aErr aLogger_Disable(aLoggerRef logger);

// Disables, closes the file, frees the logger and nulls the pointer (left as it is
// when disabling failed). aErrParam for an invalid logger.
aErr aLogger_Destroy(aLoggerRef* logger);
