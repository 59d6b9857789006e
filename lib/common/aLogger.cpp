// aLogger - a background thread that feeds a log file
#include "aLogger.h"

#include <atomic>
#include <new>
#include <thread>

#include "aThread.h"

namespace {
constexpr uint16_t kLoggerMarker = 0xDEED;
}

struct aLogger {
    uint16_t check = kLoggerMarker;
    uint32_t linkId = 0;
    aFileRef file = nullptr; // appending, unbuffered
    aLoggerProc procedure = nullptr;
    aThreadRef thread = nullptr;        // null while none runs
    std::atomic<std::thread::id> owner; // the logger thread's id while it runs
    std::atomic<bool> running{false};   // cleared by the controlling thread to stop it
};

namespace {

bool valid(const aLogger* l) {
    return l != nullptr && l->check == kLoggerMarker;
}

void loggerThread(void* arg) {
    aLogger* l = static_cast<aLogger*>(arg);
    l->owner = std::this_thread::get_id();
    while (l->running)
        l->procedure(l->file, l->linkId);
}

} // namespace

aLoggerRef aLogger_Create(uint32_t linkId, aLoggerProc procedure, const char* path) {
    if (!procedure || !path) return nullptr;
    aLogger* l = new (std::nothrow) aLogger;
    if (!l) return nullptr;
    l->file = aFile_Open(path, aFileModeAppend);
    if (!l->file || aFile_SetUnbuffered(l->file) != aErrNone) {
        if (l->file) aFile_Close(&l->file);
        delete l;
        return nullptr;
    }
    l->linkId = linkId;
    l->procedure = procedure;
    return l;
}

aErr aLogger_Enable(aLoggerRef logger) {
    if (!valid(logger)) return aErrParam;
    if (logger->thread) return aErrNone;
    logger->running = true;
    logger->thread = aThread_Create(loggerThread, logger);
    if (!logger->thread) {
        logger->running = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
    if (!valid(logger)) return aErrParam;
    if (!logger->thread) return aErrNone;
    // Joining itself would deadlock; the thread's owner stops it later.
    if (logger->owner.load() == std::this_thread::get_id()) return aErrNone;
    logger->running = false;
    if (aThread_Destroy(&logger->thread) != 0) return aErrUnknown;
    logger->owner = std::thread::id();
    return aErrNone;
}

aErr aLogger_Destroy(aLoggerRef* logger) {
    if (!logger || !valid(*logger)) return aErrParam;
    aLogger* l = *logger;
    if (aLogger_Disable(l) != aErrNone) return aErrUnknown;
    aErr err = aFile_Close(&l->file);
    l->check = 0;
    delete l;
    *logger = nullptr;
    return err;
}
