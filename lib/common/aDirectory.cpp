// aDirectory - path joining (the system calls live in unix_directory)
#include "aDirectory.h"

#include <cstdarg>
#include <cstring>

#include "aDefs.h"

namespace {

constexpr int kMaxFurtherParts = 9;

aErr appendPart(char* buffer, size_t size, const char* part) {
    size_t length = strlen(buffer);
    size_t room = size - length - 1;
    if (room > 1 && !(length > 0 && buffer[length - 1] == aDIR_PATH_SEP) &&
        part[0] != aDIR_PATH_SEP) {
        buffer[length++] = aDIR_PATH_SEP;
        buffer[length] = '\0';
        room--;
    }
    size_t partLength = strlen(part);
    if (partLength >= room) return aErrOverrun;
    memcpy(buffer + length, part, partLength + 1);
    return aErrNone;
}

aErr buildPath(char* buffer, size_t size, const char* first, va_list args) {
    if (!buffer || size == 0 || !first) return aErrParam;
    const char* parts[kMaxFurtherParts + 1];
    int count = 0;
    for (const char* p = va_arg(args, const char*); p; p = va_arg(args, const char*)) {
        if (count == kMaxFurtherParts) return aErrParam;
        parts[count++] = p;
    }
    if (buffer == first) return aErrParam;
    for (int i = 0; i < count; i++)
        if (parts[i] == buffer) return aErrParam;
    buffer[0] = '\0';
    if (strlen(first) >= size - 1) return aErrOverrun;
    strcpy(buffer, first);
    for (int i = 0; i < count; i++) {
        aErr err = appendPart(buffer, size, parts[i]);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

} // namespace

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    va_list args;
    va_start(args, first);
    aErr err = buildPath(buffer, size, first, args);
    va_end(args);
    return err;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
    return aDirectory_BuildPath(buffer, size, first, second, static_cast<const char*>(nullptr));
}
