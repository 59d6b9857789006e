// aStreamsocket - a TCP client stream that reconnects by itself
#pragma once

#include <cstdint>

#include "aStream.h"

// Connects to address (IPv4, network byte order) and port (host order). Reads never
// block: no byte answers aErrNotReady. A connection reset or closed by the peer is
// reconnected once by the next read or write; when that fails the caller sees
// aErrConnection (or aErrIO) until a later attempt succeeds. The stream is waitable.
// Answers aErrResource for any failure; *stream receives a stream only on success.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);
