// BirdWriter - composing BIRD files from images and info fields
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the info block holds; each text must fit its 16-byte field (checked by Pack).
struct BirdInfo {
    uint32_t build = 0;
    std::string version; // at most 15 characters, no spaces
    uint32_t serial = 0; // 0 for a generic image
    std::string model;   // at most 16 characters
};

// Collects blocks in file order and writes the whole file.
class BirdWriter {
  public:
    void AddInfo(const BirdInfo& info);
    void AddSerialOffsets(uint32_t serialWord, uint32_t descriptor);
    void AddLoaderStart(uint32_t address);
    // Loader (type 0) or firmware (type 1) code loaded at address.
    void AddImage(uint8_t type, uint8_t flags, uint32_t address, const std::vector<uint8_t>& code);
    void AddBlock(uint8_t typeAndFlags, const std::vector<uint8_t>& data);

    // The inflated body: block count, blocks and the trailing CRC-32 of all before it.
    std::vector<uint8_t> Body() const;
    // Header "bird" 01 01 and the zlib-compressed body; empty when compression fails.
    std::vector<uint8_t> File() const;

    // Why info cannot be written into the info block, or empty when it can.
    static std::string CheckInfo(const BirdInfo& info);

  private:
    std::vector<std::vector<uint8_t>> blocks;
};
