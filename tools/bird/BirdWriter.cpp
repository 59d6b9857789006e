// BirdWriter - composing BIRD files from images and info fields
#include "BirdWriter.h"

#include <cstdio>
#include <zlib.h>

namespace {

void putBE32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(v >> shift));
}

void putField(std::vector<uint8_t>& out, const std::string& text) {
    for (size_t i = 0; i < 16; i++)
        out.push_back(i < text.size() ? uint8_t(text[i]) : ' ');
}

bool printable(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

} // namespace

std::string BirdWriter::CheckInfo(const BirdInfo& info) {
    if (info.version.empty() || info.version.size() > 15 || !printable(info.version) ||
        info.version.find(' ') != std::string::npos)
        return "version must be 1 to 15 printable characters without spaces";
    if (info.model.empty() || info.model.size() > 16 || !printable(info.model) ||
        info.model.back() == ' ')
        return "model must be 1 to 16 printable characters, not ending in a space";
    return {};
}

void BirdWriter::AddBlock(uint8_t typeAndFlags, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> b{typeAndFlags};
    putBE32(b, uint32_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    blocks.push_back(std::move(b));
}

void BirdWriter::AddInfo(const BirdInfo& info) {
    std::vector<uint8_t> d;
    char serial[9];
    snprintf(serial, sizeof serial, "%08X", info.serial);
    putField(d, std::to_string(info.build));
    putField(d, info.version);
    putField(d, serial);
    putField(d, info.model);
    AddBlock(4, d);
}

void BirdWriter::AddSerialOffsets(uint32_t serialWord, uint32_t descriptor) {
    std::vector<uint8_t> d;
    putBE32(d, serialWord);
    putBE32(d, descriptor);
    AddBlock(2, d);
}

void BirdWriter::AddLoaderStart(uint32_t address) {
    std::vector<uint8_t> d;
    putBE32(d, address);
    AddBlock(5, d);
}

void BirdWriter::AddImage(uint8_t type, uint8_t flags, uint32_t address,
                          const std::vector<uint8_t>& code) {
    std::vector<uint8_t> d;
    putBE32(d, address);
    d.insert(d.end(), code.begin(), code.end());
    AddBlock(uint8_t((flags & 7) << 5 | (type & 0x1F)), d);
}

std::vector<uint8_t> BirdWriter::Body() const {
    std::vector<uint8_t> body;
    putBE32(body, uint32_t(blocks.size()));
    for (const auto& b : blocks)
        body.insert(body.end(), b.begin(), b.end());
    putBE32(body, uint32_t(crc32(0L, body.data(), uInt(body.size()))));
    return body;
}

namespace {

bool compressInto(std::vector<uint8_t>& file, const std::vector<uint8_t>& body, int level) {
    uLongf size = compressBound(uLong(body.size()));
    file.resize(6 + size);
    if (compress2(file.data() + 6, &size, body.data(), uLong(body.size()), level) != Z_OK)
        return false;
    file.resize(6 + size);
    return true;
}

} // namespace

std::vector<uint8_t> BirdWriter::File() const {
    std::vector<uint8_t> body = Body();
    std::vector<uint8_t> file{'b', 'i', 'r', 'd', 1, 1};
    if (!compressInto(file, body, Z_BEST_COMPRESSION)) return {};
    // Readers size their inflate buffer at eight times the compressed length, so a
    // body that shrinks further is stored uncompressed instead.
    if (body.size() > 8 * (file.size() - 6) && !compressInto(file, body, Z_NO_COMPRESSION))
        return {};
    return file;
}
