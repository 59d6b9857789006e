// aMutex - named, non-recursive mutexes
#pragma once

#include "aError.h"

#define aMUTEX_NAME_MAX 255

typedef struct aMutex* aMutexRef;

// A new mutex owned by the caller; a null name is stored as "". Null for a name of 256
// characters or more, or when memory or the system runs out.
aMutexRef aMutex_Create(const char* name);

// The name given at creation; "" for a null mutex.
const char* aMutex_Identifier(aMutexRef mutex);

// Destroys and frees the mutex and nulls the caller's pointer whatever the system
// answers. aErrParam (null), aErrBusy (still locked), aErrResource, aErrUnknown.
aErr aMutex_Destroy(aMutexRef* mutex);

// Blocks until locked. aErrParam, aErrDuplicate when the caller already holds it.
aErr aMutex_Lock(aMutexRef mutex);

// Locks when free, else aErrBusy at once. aErrParam.
aErr aMutex_TryLock(aMutexRef mutex);

// aErrParam, aErrPermission when the caller does not hold the mutex.
aErr aMutex_Unlock(aMutexRef mutex);
