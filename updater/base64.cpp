// base64 - the text form in which the update server sends BIRD files
#include "base64.h"

#include <array>
#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;

// Every byte value maps somewhere, so no character can index outside the table.
const std::array<uint8_t, 256> kDecode = [] {
    std::array<uint8_t, 256> t{};
    t.fill(kInvalid);
    for (uint8_t i = 0; i < 64; i++)
        t[uint8_t(kAlphabet[i])] = i;
    return t;
}();

} // namespace

uint8_t* base64_decode(const char* text, size_t length, size_t* decoded) {
    if (!text || length % 4 != 0) return nullptr;
    size_t padding = 0;
    if (length > 0 && text[length - 1] == '=') padding = (text[length - 2] == '=') ? 2 : 1;
    size_t size = length / 4 * 3 - padding;
    uint8_t* out = static_cast<uint8_t*>(malloc(size + 1));
    if (!out) return nullptr;
    out[size] = 0;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t group = 0;
        for (size_t k = 0; k < 4; k++) {
            uint8_t c = uint8_t(text[i + k]);
            uint8_t v = kDecode[c];
            bool padAllowed = c == '=' && i + k >= length - padding;
            if (v == kInvalid && !padAllowed) {
                free(out);
                return nullptr;
            }
            group = (group << 6) | (v == kInvalid ? 0 : v);
        }
        for (int shift = 16; shift >= 0 && o < size; shift -= 8)
            out[o++] = uint8_t(group >> shift);
    }
    if (decoded) *decoded = size;
    return out;
}

char* base64_encode(const uint8_t* bytes, size_t length, size_t* encoded) {
    if (!bytes && length) return nullptr;
    size_t size = (length + 2) / 3 * 4;
    char* out = static_cast<char*>(malloc(size + 1));
    if (!out) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        uint32_t group = uint32_t(bytes[i]) << 16;
        if (i + 1 < length) group |= uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < length) group |= bytes[i + 2];
        out[o++] = kAlphabet[(group >> 18) & 63];
        out[o++] = kAlphabet[(group >> 12) & 63];
        out[o++] = i + 1 < length ? kAlphabet[(group >> 6) & 63] : '=';
        out[o++] = i + 2 < length ? kAlphabet[group & 63] : '=';
    }
    out[o] = '\0';
    if (encoded) *encoded = size;
    return out;
}
