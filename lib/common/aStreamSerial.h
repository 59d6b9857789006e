// aStreamSerial - streams over a serial port, raw or carrying framed packets
#pragma once

#include <cstdint>

#include "aStream.h"

// Baud index: 0 2400, 1 4800, 2 9600, 3 19200, 4 38400, 5 57600, 6 115200, 7 230400.
#define aSERIAL_BAUD_COUNT 8

// The baud index of a rate, or -1 for a rate outside the table.
int aStreamSerial_BaudIndex(uint32_t baud);

// Opens and configures port: parity true generates and checks even parity; dataBits 0
// selects 8 data bits, 1 seven; stopBits 0 one stop bit, 1 two. Reads never block: no
// byte answers aErrNotReady. Writes return once the bytes left the port. The stream is
// waitable. Answers aErrResource for a null argument or bad parameters, aErrNotFound,
// aErrPermission or aErrIO when the port cannot be opened or set up; *stream receives
// a stream only on success. Destroying the stream restores the port's attributes.
aErr aStream_CreateSerial(const char* port, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream);

// The same port carrying packet images in checked frames (see aStream_CobsEncoding).
aErr aStream_CreateSerial_Packetized(const char* port, uint32_t baudIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStreamRef* stream);
