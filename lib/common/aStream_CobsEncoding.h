// aStream_CobsEncoding - packet images framed with a CRC and COBS over another stream
#pragma once

#include "aStream.h"

// Makes a stream that frames every packet image written to it and hands out the
// images of the frames that pass their checks. The procedures and reference are the
// transport's below; the new stream owns them and calls their delete on destroy.
// aErrParam for a null result pointer (otherwise nulled first), aErrMemory,
// aErrResource when the stream cannot be made.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* ref, aStreamRef* stream);

// The same over a full table: a wait procedure below makes the framed stream waitable.
aErr aStream_CreateCobsEncodingWithProcs(const aStreamProcs* below, void* ref, aStreamRef* stream);
