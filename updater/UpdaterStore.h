// UpdaterStore - the firmware store: one directory per module with settings and BIRD files
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

enum store_item_t : uint8_t {
    STORE_ITEM_FILE = 0,      // a file inside a device directory
    STORE_ITEM_DIRECTORY = 1, // a device directory, or a directory inside one
    STORE_ITEM_NONE = 2,      // names nothing
};

// One entry of the store with its settings. Copyable.
class UpdaterStoreItem {
  public:
    UpdaterStoreItem() = default;
    // Loads settings from basePath/name/.settings, creating the file when it can.
    UpdaterStoreItem(std::string basePath, std::string name, store_item_t kind);

    bool IsValid() const { return !basePath.empty() && !name.empty(); }
    // The item's own directory, basePath/name.
    std::string Path() const;

    // Replaces basePath/name/fileName atomically. aErrNotFound for null data or a
    // file that cannot be created, else the write's result.
    aErr WriteFile(const std::string& fileName, const uint8_t* data, size_t length) const;
    // Throws std::runtime_error("Invalid bird " + path) for a file that fails the
    // header check, and the reader's error for one that does not load.
    BirdFile ReadBirdFile(const std::string& fileName) const;
    // True when an entry of the item's directory contains fileName in its name.
    bool FileExists(const std::string& fileName) const;

    std::string basePath;
    std::string name;
    store_item_t kind = STORE_ITEM_NONE;
    KeyValueStore settings;
};

// The store root. Creation and lookups throw std::runtime_error when a directory
// cannot be made or a path that must be a directory is a file.
class UpdaterStore {
  public:
    explicit UpdaterStore(std::string root);

    const std::string& BasePath() const { return basePath; }

    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const std::string& name);
    // The first root entry whose name contains name; item (when given) is filled.
    bool FindDevice(uint32_t serial, UpdaterStoreItem* item);
    bool FindDevice(const std::string& name, UpdaterStoreItem* item);
    // Appends one item per entry of the device's directory not starting with ".",
    // in listing order. Always true; nothing is appended for an unknown device.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& list);
    // Names of the device directories, sorted.
    std::vector<std::string> ListDevices() const;

    static std::string SerialText(uint32_t serial);

  private:
    std::string basePath;
};
