// UpdaterDisplayInterface - where the engine's messages, progress and spinner go
#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
    if (muted) return;
    char buffer[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (level == Error)
        error_message(buffer);
    else
        info_message(buffer);
}
