// aThread - joinable threads
#pragma once

#include "aError.h"

typedef struct aThread* aThreadRef;

// Body of a thread; it must watch a flag its owner clears before destroying it.
typedef void (*aThreadProc)(void* argument);

// Starts procedure(argument) on a new joinable thread; null on failure.
aThreadRef aThread_Create(aThreadProc procedure, void* argument);

// Joins the thread, frees the record and nulls the caller's pointer. Answers the
// system's join error number (0 on success), EINVAL for a null thread.
int aThread_Destroy(aThreadRef* thread);

// Gives up the processor for about 5 microseconds.
void aThread_Yield();
