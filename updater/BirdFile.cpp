// BirdFile - reading, checking and patching BIRD firmware files in memory
#include "BirdFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <zlib.h>

#include "Log.h"
#include "aFile.h"

namespace {

uint32_t GetInt(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

uint16_t GetShort(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

uint32_t GetLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = uint8_t(v >> (8 * i));
}

// Code bytes of a loader or firmware block: the data past its 4-byte load address.
uint32_t codeLength(const BirdBlock& b) {
    return b.length >= 4 ? b.length - 4 : 0;
}

// True when [addr, addr + size) lies inside the device range the block's code covers.
bool covers(const BirdBlock& b, uint32_t addr, uint32_t size) {
    uint64_t start = b.address, end = start + codeLength(b);
    return start <= addr && uint64_t(addr) + size <= end;
}

} // namespace

BirdFile::BirdFile(const std::string& path) : path(path) {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this == &other) return *this;
    path = std::move(other.path);
    signature = std::exchange(other.signature, 0);
    version = std::exchange(other.version, 0);
    checksum = std::exchange(other.checksum, 0);
    blockCount = std::exchange(other.blockCount, 0);
    // The vector's buffer and the body move as they are, so data pointers stay valid.
    blocks = std::move(other.blocks);
    other.blocks.clear();
    hasSerialOffsets = std::exchange(other.hasSerialOffsets, false);
    serialNumberOffset = std::exchange(other.serialNumberOffset, 0);
    descriptorOffset = std::exchange(other.descriptorOffset, 0);
    body = std::move(other.body);
    bodySize = std::exchange(other.bodySize, 0);
    scanClean = std::exchange(other.scanClean, false);
    cutShort = std::exchange(other.cutShort, false);
    scanProblem = std::move(other.scanProblem);
    other.scanProblem.clear();
    return *this;
}

void BirdFile::reset() {
    signature = 0;
    version = 0;
    checksum = 0;
    blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialNumberOffset = 0;
    descriptorOffset = 0;
    body.reset();
    bodySize = 0;
    scanClean = false;
    cutShort = false;
    scanProblem.clear();
}

bool BirdFile::Load() {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err),
                 path.c_str());
        aFile_Close(&file);
        return false;
    }
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size ? size : 1]);
    bool result = false;
    size_t got = 0;
    err = bytes ? (size ? aFile_Read(file, bytes.get(), size, &got) : aErrNone) : aErrMemory;
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), path.c_str());
        reset();
    } else if (got < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 path.c_str(), got, size);
        reset();
    } else {
        result = LoadBytes(bytes.get(), size);
    }
    aFile_Close(&file);
    return result;
}

bool BirdFile::LoadBytes(const uint8_t* bytes, size_t size) {
    reset();
    bool result = false;
    if (bytes && size > HEADER_SIZE) {
        signature = GetInt(bytes);
        version = GetShort(bytes + 4);
        size_t compressed = size - HEADER_SIZE;
        if (compressed <= UINT32_MAX && DecompressData(bytes + HEADER_SIZE, uint32_t(compressed))) {
            ScanBlocks(body.get(), bodySize);
            FindSerialNumberOffsets();
            result = true;
        } else if (compressed > UINT32_MAX) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n",
                     Z_BUF_ERROR);
        }
    }
    if (firstBlock(BLOCK_SERIAL_OFFSETS)) {
        hasSerialOffsets = true;
        FindSerialNumberOffsets();
    }
    return result;
}

bool BirdFile::VerifyHeader(const uint8_t* bytes, size_t size) {
    return bytes && size >= HEADER_SIZE && memcmp(bytes, BIRD_FILE_SIGNATURE, 4) == 0 &&
           bytes[4] != 0 && bytes[5] != 0;
}

bool BirdFile::VerifyFile(const std::string& path) {
    aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    uint8_t header[HEADER_SIZE];
    size_t got = 0;
    aErr err = aFile_Read(file, header, sizeof header, &got);
    aFile_Close(&file);
    return err == aErrNone && VerifyHeader(header, got);
}

bool BirdFile::DecompressData(const uint8_t* bytes, uint32_t length) {
    blocks.clear();
    blockCount = 0;
    body.reset();
    bodySize = 0;
    // The body may be at most eight times the compressed size; a size whose
    // eightfold does not fit 32 bits is refused rather than wrapped.
    if (length > UINT32_MAX / 8) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_BUF_ERROR);
        return false;
    }
    uint32_t capacity = length * 8;
    body.reset(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
    if (!body) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        return false;
    }
    uLongf out = capacity;
    int r = uncompress(body.get(), &out, bytes, length);
    if (r != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", r);
        body.reset();
        return false;
    }
    bodySize = uint32_t(out);
    return true;
}

bool BirdFile::ScanBlocks(const uint8_t* bytes, uint32_t size) {
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    scanProblem.clear();
    if (!bytes || size < 4) {
        scanProblem = "body shorter than its block count";
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes "
                 "remaining)\n",
                 int(size));
        return scanClean = false;
    }
    uint32_t reported = GetInt(bytes);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(reported));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
    const uint8_t* cursor = bytes + 4;
    uint32_t remaining = size - 4;
    bool overrun = false;
    while (remaining > 4) {
        BirdBlock b;
        b.type = cursor[0] & BIRD_FILE_TYPE_MASK;
        b.flags = uint8_t((cursor[0] & BIRD_FILE_FLAG_MASK) >> 5);
        b.length = GetInt(cursor + 1);
        remaining -= 5;
        if (b.length > remaining) {
            // Never recorded: its data would run past the body.
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Block %u of length %u runs past the end of the "
                     "body (%u bytes left)\n",
                     blockCount, b.length, remaining);
            scanProblem = "block " + std::to_string(blockCount) + " runs past the end of the body";
            overrun = true;
            break;
        }
        b.data = const_cast<uint8_t*>(cursor + 5);
        if ((b.type == BLOCK_LOADER || b.type == BLOCK_FIRMWARE) && b.length >= 4)
            b.address = GetInt(b.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", b.type, b.flags,
                 int(b.length));
        if (b.type == BLOCK_INFO)
            for (uint32_t off = 0; off + 16 <= b.length && off < INFO_SIZE; off += 16)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(b.data + off));
        cursor += 5 + b.length;
        remaining -= b.length;
        blockCount++;
        blocks.push_back(b);
    }
    cutShort = overrun;
    bool result = !overrun;
    if (!overrun && remaining == 4) {
        checksum = GetInt(cursor);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
        remaining = 0;
    }
    if (!overrun && remaining != 0) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(remaining));
        scanProblem = std::to_string(remaining) + " stray bytes after the blocks";
        result = false;
    }
    if (blockCount != reported) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(blockCount), int(reported));
        if (scanProblem.empty())
            scanProblem = "file reports " + std::to_string(reported) + " blocks, holds " +
                          std::to_string(blockCount);
        result = false;
    }
    return scanClean = result;
}

const BirdBlock* BirdFile::firstBlock(uint8_t type) const {
    for (const auto& b : blocks)
        if (b.type == type) return &b;
    return nullptr;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
    std::vector<BirdBlock> found;
    for (const auto& b : blocks)
        if (b.type == type) found.push_back(b);
    return found;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount == 0) return false;
    const BirdBlock* b = firstBlock(BLOCK_SERIAL_OFFSETS);
    if (!b) return false;
    // A short block supplies only the fields it holds.
    serialNumberOffset = b->length >= 4 ? GetInt(b->data) : 0;
    descriptorOffset = b->length >= 8 ? GetInt(b->data + 4) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             int(serialNumberOffset), int(descriptorOffset));
    return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    bool result = false;
    for (auto& b : blocks) {
        if (b.type != BLOCK_FIRMWARE) continue;
        if (serialNumberOffset != 0) {
            if (covers(b, serialNumberOffset, 4)) {
                uint8_t* at = b.data + 4 + (serialNumberOffset - b.address);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         GetLE32(at), serial);
                PutLE32(at, serial);
            }
            result = true;
        }
        if (descriptorOffset != 0 && covers(b, descriptorOffset, 16)) {
            // Low bytes of the descriptor's UTF-16LE code units; the high bytes stay.
            uint8_t* at = b.data + 4 + (descriptorOffset - b.address);
            for (int i = 0; i < 8; i++)
                at[2 * i] = uint8_t(text[i]);
            result = true;
        }
    }
    return result;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (auto& b : blocks) {
        if (b.type != BLOCK_FIRMWARE || b.address != 0 || codeLength(b) < 32) continue;
        uint8_t* vectors = b.data + 4;
        uint32_t sum = 0;
        for (int i = 0; i < 7; i++)
            sum += GetLE32(vectors + 4 * i);
        uint32_t old = GetLE32(vectors + 28), word = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", old,
                 word);
        PutLE32(vectors + 28, word);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
    uint8_t stream[16];
    for (int w = 0; w < 4; w++)
        for (int i = 0; i < 4; i++)
            stream[4 * w + i] = uint8_t(key[w] >> (24 - 8 * i));
    for (auto& b : blocks) {
        if (b.type != BLOCK_FIRMWARE || codeLength(b) == 0) continue;
        // Key stream and chaining byte start afresh in every block.
        uint8_t prev = 0;
        uint8_t* code = b.data + 4;
        for (uint32_t j = 0, n = codeLength(b); j < n; j++) {
            uint8_t plain = uint8_t(code[j] ^ stream[j % 16] ^ prev);
            code[j] = plain;
            prev = plain;
        }
    }
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t count) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool result = false;
    for (const auto& b : blocks) {
        if (b.type != BLOCK_FIRMWARE || !pattern) continue;
        for (int64_t i = 0; i < int64_t(b.length) - int64_t(count); i++) {
            if (memcmp(b.data + i, pattern, count) == 0) {
                Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
                result = true;
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return result;
}

std::string BirdFile::infoField(uint32_t offset, uint32_t size) const {
    const BirdBlock* b = firstBlock(BLOCK_INFO);
    // An info block shorter than the layout gives only the bytes it holds.
    if (!b || b->length <= offset) return {};
    uint32_t n = std::min(size, b->length - offset);
    return std::string(reinterpret_cast<const char*>(b->data + offset), n);
}

bool BirdFile::ValidateModel(const char* modelName) const {
    if (!firstBlock(BLOCK_INFO) || !modelName) return false;
    std::string field = GetModel();
    size_t n = strlen(modelName);
    if (n > field.size() || field.compare(0, n, modelName) != 0) return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(),
             modelName);
    return true;
}

std::string BirdFile::GetModel() const {
    std::string field = infoField(48, 16);
    while (!field.empty() && field.back() == ' ')
        field.pop_back();
    return field;
}

uint32_t BirdFile::GetSerialNumber() const {
    std::string text = infoField(32, 8);
    return uint32_t(strtoul(text.c_str(), nullptr, 16));
}

uint32_t BirdFile::GetBuild() const {
    std::string text = infoField(0, 15);
    return uint32_t(strtoul(text.c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
    std::string text = infoField(16, 15);
    size_t cut = text.find_first_of(std::string(" \0", 2));
    return cut == std::string::npos ? text : text.substr(0, cut);
}

bool BirdFile::DumpBlocks(uint8_t type) const {
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    std::string column;
    for (const auto& b : blocks) {
        if (b.type != type) continue;
        for (uint32_t i = 0; i < b.length; i++) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", column.c_str(), int(i));
                column.clear();
            }
            printf("%02X ", b.data[i]);
            column += isprint(b.data[i]) ? char(b.data[i]) : ' ';
        }
        printf(" %s\n", column.c_str());
        column.clear();
    }
    printf("\n");
    return true;
}
