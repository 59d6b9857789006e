// cobs - consistent overhead byte stuffing: blocks without zero bytes
#include "cobs.h"

#include <cstring>

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
    if ((!source && length > 0) || !destination) return 0;
    size_t out = 1, codePos = 0;
    uint8_t code = 1;
    for (size_t i = 0; i < length; i++) {
        if (source[i] != 0) {
            destination[out++] = source[i];
            code++;
        }
        if (source[i] == 0 || code == 0xFF) {
            destination[codePos] = code;
            code = 1;
            codePos = out;
            // A full run that ends the data needs no further code byte.
            if (source[i] != 0 && i + 1 == length) return out;
            out++;
        }
    }
    destination[codePos] = code;
    return out;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length) {
    if (!buffer) return 0;
    // Move the input right by the most overhead the encoding can add: the output then
    // never overtakes the input still to be read.
    size_t shift = COBS_ENCODED_MAX(length) - length;
    memmove(buffer + shift, buffer, length);
    return cobs_encode(buffer + shift, length, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination) {
    if ((!source && length > 0) || !destination) return 0;
    size_t in = 0, out = 0;
    while (in < length) {
        uint8_t code = source[in];
        if (code == 0) return 0;
        if (in + code > length && code != 1) return 0;
        in++;
        for (uint8_t k = 1; k < code; k++) {
            if (source[in] == 0) return 0;
            destination[out++] = source[in++];
        }
        if (code != 0xFF && in < length) destination[out++] = 0;
    }
    return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) {
    // The output never runs ahead of the input, so decoding forward is safe in place.
    return cobs_decode(buffer, length, buffer);
}
