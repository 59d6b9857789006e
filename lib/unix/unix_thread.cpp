// unix_thread - aThread on POSIX threads
#include "aThread.h"

#include <cerrno>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

namespace {
constexpr uint16_t kThreadMarker = 0x7EAD;
}

struct aThread {
    uint16_t marker; // kThreadMarker while live
    pthread_t handle;
    aThreadProc procedure; // set before the thread starts, read only by it
    void* argument;
};

namespace {

void* trampoline(void* record) {
    aThread* t = static_cast<aThread*>(record);
    t->procedure(t->argument);
    return nullptr;
}

} // namespace

aThreadRef aThread_Create(aThreadProc procedure, void* argument) {
    if (!procedure) return nullptr;
    aThread* t = static_cast<aThread*>(calloc(1, sizeof(aThread)));
    if (!t) return nullptr;
    t->procedure = procedure;
    t->argument = argument;
    t->marker = kThreadMarker;
    if (pthread_create(&t->handle, nullptr, trampoline, t) != 0) {
        t->marker = 0;
        free(t);
        return nullptr;
    }
    return t;
}

int aThread_Destroy(aThreadRef* thread) {
    if (!thread || !*thread || (*thread)->marker != kThreadMarker) return EINVAL;
    aThread* t = *thread;
    int rc = pthread_join(t->handle, nullptr);
    t->marker = 0;
    free(t);
    *thread = nullptr;
    return rc;
}

void aThread_Yield() {
    usleep(5);
}
