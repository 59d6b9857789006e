// base64 - the text form in which the update server sends BIRD files
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes standard padded Base64. Answers a new buffer of *decoded bytes plus one
// terminating zero byte (release with free), or null when the length is not a
// multiple of 4 or the text holds a character outside the alphabet or misplaced
// padding.
uint8_t* base64_decode(const char* text, size_t length, size_t* decoded);

// Standard padded encoding; a new zero-terminated text (release with free) or null.
char* base64_encode(const uint8_t* bytes, size_t length, size_t* encoded);
