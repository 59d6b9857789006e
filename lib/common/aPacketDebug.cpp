// aPacketDebug - a ring of the newest packets a link sent and received
#include "aPacketDebug.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

size_t used(const aPacketLog* log) {
    return (log->tail + log->size - log->head) % log->size;
}

size_t freeSpace(const aPacketLog* log) {
    return log->size - used(log);
}

void advance(const aPacketLog* log, size_t* index, size_t by) {
    *index = (*index + by) % log->size;
}

void dropOldest(aPacketLog* log) {
    size_t length = log->data[(log->head + 1) % log->size];
    advance(log, &log->head, 2 + length);
}

bool valid(const aPacketLog* log) {
    return log != nullptr && log->data != nullptr && log->size >= 2;
}

} // namespace

aPacketLog* aPacketLog_Create(size_t size) {
    if (size < 2 || size > aPACKETLOG_MAX_SIZE) return nullptr;
    aPacketLog* log = static_cast<aPacketLog*>(calloc(1, sizeof(aPacketLog)));
    if (!log) return nullptr;
    log->data = static_cast<uint8_t*>(calloc(1, size));
    if (!log->data) {
        free(log);
        return nullptr;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, size_t length, const uint8_t* bytes) {
    if (!valid(log) || (!bytes && length > 0) || length > 255) return aErrParam;
    size_t record = length + 2;
    while (log->size > record && freeSpace(log) <= record && log->head != log->tail)
        dropOldest(log);
    if (freeSpace(log) <= record) return aErrOverrun;
    log->data[log->tail] = direction;
    advance(log, &log->tail, 1);
    log->data[log->tail] = uint8_t(length);
    advance(log, &log->tail, 1);
    for (size_t i = 0; i < length; i++) {
        log->data[log->tail] = bytes[i];
        advance(log, &log->tail, 1);
    }
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, size_t* length, uint8_t* buffer) {
    if (!valid(log) || !direction || !length || (!buffer && *length > 0)) return aErrParam;
    if (log->head == log->tail) return aErrNotFound;
    size_t capacity = *length;
    size_t n = log->data[(log->head + 1) % log->size];
    *length = n;
    if (n > capacity) return aErrOverrun;
    *direction = log->data[log->head];
    for (size_t i = 0; i < n; i++)
        buffer[i] = log->data[(log->head + 2 + i) % log->size];
    advance(log, &log->head, 2 + n);
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
    if (!log || !*log) return aErrParam;
    free((*log)->data);
    free(*log);
    *log = nullptr;
    return aErrNone;
}

aErr aPacketLog_WriteLine(aFileRef file, uint8_t direction, size_t length, const uint8_t* bytes) {
    if (!bytes && length > 0) return aErrParam;
    // One write per line, so a line is never split by another writer.
    std::string line = std::to_string(length) + (direction == aPACKETLOG_OUT ? " > " : " < ");
    char hex[8];
    for (size_t i = 0; i < length; i++) {
        if (direction == aPACKETLOG_TEXT) {
            line += char(bytes[i]);
        } else {
            snprintf(hex, sizeof hex, "0x%X ", bytes[i]);
            line += hex;
        }
    }
    line += "\r\n";
    size_t written = 0;
    aErr err =
        aFile_Write(file, reinterpret_cast<const uint8_t*>(line.data()), line.size(), &written);
    if (err == aErrNone && written != line.size()) return aErrIO;
    return err;
}
