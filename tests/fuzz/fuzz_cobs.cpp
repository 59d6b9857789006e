// fuzz_cobs - line bytes into the framed stream's reader, and arbitrary bytes through
// its writer, whose frames must decode back to the images written
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "aStream_CobsEncoding.h"
#include "cobs.h"
#include "crc8.h"

namespace {

struct Line {
    const uint8_t* data;
    size_t size, pos;
    static aErr get(uint8_t* b, void* ref) {
        Line* l = static_cast<Line*>(ref);
        if (l->pos >= l->size) return aErrEOF;
        *b = l->data[l->pos++];
        return aErrNone;
    }
};

struct Sink {
    std::vector<uint8_t> frames;
    static aErr write(const uint8_t* d, size_t n, void* ref) {
        auto* s = static_cast<Sink*>(ref);
        s->frames.insert(s->frames.end(), d, d + n);
        return aErrNone;
    }
    static aErr put(uint8_t b, void* ref) { return write(&b, 1, ref); }
};

void readSide(const uint8_t* data, size_t size) {
    Line line = {data, size, 0};
    aStreamRef s = nullptr;
    if (aStream_CreateCobsEncoding(Line::get, nullptr, nullptr, nullptr, &line, &s) != aErrNone)
        abort();
    // Every line byte costs at most one read; a handed-out image at most 30 more.
    for (size_t i = 0; i < 2 * size + 64; i++) {
        uint8_t b;
        aStream_Read(s, &b, 1);
    }
    aStream_Destroy(&s);
    std::vector<uint8_t> out(size + 1);
    if (cobs_decode(data, size, out.data()) > size) abort();
}

void writeSide(const uint8_t* data, size_t size) {
    Sink sink;
    aStreamRef s = nullptr;
    if (aStream_CreateCobsEncoding(nullptr, Sink::put, Sink::write, nullptr, &sink, &s) != aErrNone)
        abort();
    aStream_Write(s, data, size);
    aStream_Destroy(&s);
    // Each frame on the line must be a checked image.
    size_t start = 0;
    for (size_t i = 0; i < sink.frames.size(); i++) {
        if (sink.frames[i] != 0) continue;
        if (i - start > 33) abort(); // longer than any frame of a packet image
        uint8_t image[64];
        size_t n = cobs_decode(sink.frames.data() + start, i - start, image);
        if (n < 3 || n != size_t(image[1]) + 3 || !crc8_check(image, n - 1, image[n - 1])) abort();
        start = i + 1;
    }
    if (start != sink.frames.size()) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    readSide(data, size);
    // A single byte goes to put, which passes it on unframed by design.
    if (size >= 2) writeSide(data, size);
    return 0;
}
