// BirdFile - reading, checking and patching BIRD firmware files in memory
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,         // 4-byte load address, then loader code
    BLOCK_FIRMWARE = 1,       // 4-byte load address, then application code
    BLOCK_SERIAL_OFFSETS = 2, // device addresses of the serial word and descriptor text
    BLOCK_INFO = 4,           // build, version, serial number, model: 16 bytes each
    BLOCK_LOADER_START = 5,   // address at which a loader is started
};

// One block as the scan found it. data points into the owning BirdFile's body.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;       // 0..7, passed unchanged to the module
    uint32_t length = 0;     // number of data bytes
    uint32_t address = 0;    // load address of loader and firmware blocks, else 0
    uint8_t* data = nullptr; // not owned
};

// A loaded file. Movable, not copyable: every block points into the body, and a
// move carries body and blocks together.
class BirdFile {
  public:
    static constexpr const char* BIRD_FILE_SIGNATURE = "bird";
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
    static constexpr size_t HEADER_SIZE = 6;
    static constexpr uint32_t INFO_SIZE = 64;

    BirdFile() = default;
    // Loads the file; throws std::runtime_error("Failed to load bird data") on failure.
    explicit BirdFile(const std::string& path);
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Reads, inflates and scans the file named by path. A scan mismatch does not fail it.
    bool Load();
    // The same over the bytes of a whole file already in memory (header included).
    bool LoadBytes(const uint8_t* bytes, size_t size);
    // Quick header check: "bird" and two non-zero version bytes.
    static bool VerifyFile(const std::string& path);
    static bool VerifyHeader(const uint8_t* bytes, size_t size);

    bool DecompressData(const uint8_t* bytes, uint32_t length);
    bool ScanBlocks(const uint8_t* bytes, uint32_t size);
    std::vector<BirdBlock> FindBlocks(uint8_t type) const;
    bool FindSerialNumberOffsets();

    bool ReplaceSerialNumber(uint32_t serial);
    bool ReplaceVectorChecksum();
    bool DecodeFirmwareBlocks(const uint32_t key[4]);

    bool ValidateData(const uint8_t* pattern, uint32_t count) const;
    bool ValidateModel(const char* modelName) const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    // The model field with trailing spaces removed; empty without an info block.
    std::string GetModel() const;
    bool DumpBlocks(uint8_t type) const;

    const uint8_t* Body() const { return body.get(); }
    uint32_t BodySize() const { return bodySize; }
    // True after a scan that found exactly the reported blocks and no stray bytes;
    // ScanProblem says what was wrong otherwise.
    bool ScanClean() const { return scanClean; }
    const std::string& ScanProblem() const { return scanProblem; }
    // True when a block's length runs past the body: the table is damaged and the
    // blocks after the damage are missing, so no update may use the file.
    bool BlocksCutShort() const { return cutShort; }

    std::string path;
    uint32_t signature = 0;
    uint16_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0; // blocks actually found, not the reported count
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;

  private:
    void reset();
    const BirdBlock* firstBlock(uint8_t type) const;
    std::string infoField(uint32_t offset, uint32_t size) const;

    std::unique_ptr<uint8_t[]> body;
    uint32_t bodySize = 0;
    bool scanClean = false;
    bool cutShort = false;
    std::string scanProblem;
};
