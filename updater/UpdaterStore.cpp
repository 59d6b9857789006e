// UpdaterStore - the firmware store: one directory per module with settings and BIRD files
#include "UpdaterStore.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "Log.h"
#include "aAtomicFile.h"
#include "aDirectory.h"
#include "aFile.h"

namespace {

std::string baseName(const char* path) {
    std::string p(path);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string dirName(const char* path) {
    std::string p(path);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

void _ensure_directory(const std::string& path) {
    if (!aDirectory_Exists(path.c_str()) && !aFile_Exists(path.c_str())) {
        aErr e = aDirectory_Ensure(path.c_str(), 0755);
        if (e != aErrNone)
            throw std::runtime_error("UpdaterStore: Could not create directory " + path +
                                     " error " + std::to_string(int(e)));
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    } else if (!aDirectory_Exists(path.c_str())) {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    } else {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    }
}

// Context of a search through one directory for an entry whose name holds a text.
struct FindContext {
    const std::string* wanted;
    std::string foundPath;
    bool foundDirectory = false;
    bool found = false;
};

bool _find_item(const aDirectoryListData* entry, void* context) {
    auto* ctx = static_cast<FindContext*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             entry->isDirectory ? 1 : 0, int(entry->size), ctx->wanted->c_str());
    std::string name = baseName(entry->path);
    if (name == "." || name == ".." || name.find(*ctx->wanted) == std::string::npos) return true;
    ctx->found = true;
    ctx->foundPath = entry->path;
    ctx->foundDirectory = entry->isDirectory;
    return false;
}

bool findIn(const std::string& folder, const std::string& wanted, FindContext& ctx) {
    ctx.wanted = &wanted;
    aDirectory_List(folder.c_str(), _find_item, &ctx);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", ctx.found ? "Found" : "Not Found",
             wanted.c_str());
    return ctx.found;
}

struct ItemsContext {
    std::string folder;
    std::vector<UpdaterStoreItem>* list;
};

bool _find_items(const aDirectoryListData* entry, void* context) {
    auto* ctx = static_cast<ItemsContext*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
             entry->isDirectory ? 1 : 0, int(entry->size));
    std::string name = baseName(entry->path);
    if (name.empty() || name[0] == '.') return true;
    ctx->list->emplace_back(ctx->folder, name,
                            entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

bool _list_devices(const aDirectoryListData* entry, void* context) {
    std::string name = baseName(entry->path);
    if (entry->isDirectory && !name.empty() && name[0] != '.')
        static_cast<std::vector<std::string>*>(context)->push_back(name);
    return true;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem(std::string basePath, std::string name, store_item_t kind)
    : basePath(std::move(basePath)), name(std::move(name)), kind(kind) {
    settings.Load((Path() + "/" + KeyValueStore::DEFAULT_FILENAME).c_str());
}

std::string UpdaterStoreItem::Path() const {
    return basePath + "/" + name;
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* data,
                                 size_t length) const {
    if (!data) return aErrNotFound;
    return aAtomicFile_Write((Path() + "/" + fileName).c_str(), data, length);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
    std::string path = Path() + "/" + fileName;
    if (!BirdFile::VerifyFile(path)) throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
    FindContext ctx;
    return findIn(Path(), fileName, ctx);
}

UpdaterStore::UpdaterStore(std::string root) : basePath(std::move(root)) {
    _ensure_directory(basePath);
}

std::string UpdaterStore::SerialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) {
    return AddDevice(SerialText(serial));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
    _ensure_directory(basePath + "/" + name);
    return UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) {
    return FindDevice(SerialText(serial), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) {
    FindContext ctx;
    if (!findIn(basePath, name, ctx)) return false;
    if (item)
        *item = UpdaterStoreItem(dirName(ctx.foundPath.c_str()), baseName(ctx.foundPath.c_str()),
                                 ctx.foundDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& list) {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device)) return true;
    ItemsContext ctx{device.Path(), &list};
    aDirectory_List(ctx.folder.c_str(), _find_items, &ctx);
    return true;
}

std::vector<std::string> UpdaterStore::ListDevices() const {
    std::vector<std::string> names;
    aDirectory_List(basePath.c_str(), _list_devices, &names);
    std::sort(names.begin(), names.end());
    return names;
}
