// unix_mutex - aMutex on POSIX mutexes
#include "aMutex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

namespace {
constexpr uint16_t kMutexMarker = 0x3A7E;
}

struct aMutex {
    uint16_t marker; // kMutexMarker while live
    pthread_mutex_t mutex;
    char name[aMUTEX_NAME_MAX + 1];
};

namespace {

bool valid(aMutex* m) {
    return m != nullptr && m->marker == kMutexMarker;
}

// One table per operation; anything not listed is aErrUnknown.
aErr mapErrno(int rc, aErr onInval, aErr onBusy, aErr onAgain, aErr onDeadlk, aErr onPerm) {
    switch (rc) {
    case 0:
        return aErrNone;
    case EINVAL:
        return onInval;
    case EBUSY:
        return onBusy;
    case EAGAIN:
        return onAgain;
    case EDEADLK:
        return onDeadlk;
    case EPERM:
        return onPerm;
    default:
        return aErrUnknown;
    }
}

} // namespace

aMutexRef aMutex_Create(const char* name) {
    if (!name) name = "";
    size_t len = strnlen(name, aMUTEX_NAME_MAX + 1);
    if (len > aMUTEX_NAME_MAX) return nullptr;
    aMutex* m = static_cast<aMutex*>(calloc(1, sizeof(aMutex)));
    if (!m) return nullptr;
    // Error checking keeps the mutex non-recursive but lets a relock by the holder and
    // an unlock by another thread be reported instead of deadlocking or corrupting it.
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    int rc = pthread_mutex_init(&m->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        free(m);
        return nullptr;
    }
    memcpy(m->name, name, len);
    m->marker = kMutexMarker;
    return m;
}

const char* aMutex_Identifier(aMutexRef mutex) {
    return valid(mutex) ? mutex->name : "";
}

aErr aMutex_Destroy(aMutexRef* mutex) {
    if (!mutex || !valid(*mutex)) return aErrParam;
    aMutex* m = *mutex;
    *mutex = nullptr;
    int rc = pthread_mutex_destroy(&m->mutex);
    m->marker = 0;
    free(m);
    return mapErrno(rc, aErrParam, aErrBusy, aErrResource, aErrUnknown, aErrUnknown);
}

aErr aMutex_Lock(aMutexRef mutex) {
    if (!valid(mutex)) return aErrParam;
    int rc = pthread_mutex_lock(&mutex->mutex);
    return mapErrno(rc, aErrParam, aErrUnknown, aErrUnknown, aErrDuplicate, aErrUnknown);
}

aErr aMutex_TryLock(aMutexRef mutex) {
    if (!valid(mutex)) return aErrParam;
    int rc = pthread_mutex_trylock(&mutex->mutex);
    return mapErrno(rc, aErrParam, aErrBusy, aErrUnknown, aErrUnknown, aErrUnknown);
}

aErr aMutex_Unlock(aMutexRef mutex) {
    if (!valid(mutex)) return aErrParam;
    int rc = pthread_mutex_unlock(&mutex->mutex);
    return mapErrno(rc, aErrParam, aErrUnknown, aErrUnknown, aErrUnknown, aErrPermission);
}
