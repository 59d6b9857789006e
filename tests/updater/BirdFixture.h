// BirdFixture - composing BIRD bodies and files byte by byte for the tests
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <zlib.h>

#include "Log.h"

namespace fixture {

using Bytes = std::vector<uint8_t>;

inline Bytes BE32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A type-and-flags byte, the big-endian length, the data.
inline Bytes Block(uint8_t typeAndFlags, const Bytes& data) {
    return Cat({{typeAndFlags}, BE32(uint32_t(data.size())), data});
}

// Each field padded with spaces to 16 bytes (or cut to 16).
inline Bytes Info(const std::string& build, const std::string& version, const std::string& serial,
                  const std::string& model) {
    Bytes d;
    for (std::string f : {build, version, serial, model}) {
        f.resize(16, ' ');
        d.insert(d.end(), f.begin(), f.end());
    }
    return Block(4, d);
}

inline Bytes Image(uint8_t type, uint32_t address, const Bytes& code) {
    return Block(type, Cat({BE32(address), code}));
}

// Reported count, the blocks, a 4-byte checksum.
inline Bytes Body(uint32_t reported, std::initializer_list<Bytes> blocks,
                  uint32_t checksum = 0xC0FFEE01) {
    Bytes b = BE32(reported);
    for (const auto& x : blocks)
        b.insert(b.end(), x.begin(), x.end());
    Bytes c = BE32(checksum);
    b.insert(b.end(), c.begin(), c.end());
    return b;
}

inline Bytes File(const Bytes& body, uint8_t v0 = 1, uint8_t v1 = 1) {
    uLongf size = compressBound(uLong(body.size()));
    Bytes f{'b', 'i', 'r', 'd', v0, v1};
    f.resize(6 + size);
    compress2(f.data() + 6, &size, body.data(), uLong(body.size()), Z_NO_COMPRESSION);
    f.resize(6 + size);
    return f;
}

inline void Write(const std::string& path, const Bytes& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// Collects the diagnostic log of some packages while it lives.
class LogCapture {
  public:
    explicit LogCapture(uint32_t mask) : mask(mask), file(tmpfile()) {
        Log::SetOutput(file);
        Log::ActivatePackage(mask);
    }
    ~LogCapture() {
        Log::DeactivatePackage(mask);
        Log::SetOutput(nullptr);
        fclose(file);
    }
    std::string text() {
        fflush(file);
        std::string s;
        rewind(file);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file)) > 0)
            s.append(buf, n);
        return s;
    }

  private:
    uint32_t mask;
    FILE* file;
};

} // namespace fixture
