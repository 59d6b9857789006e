// unix_directory - aDirectory's system calls: status, creation, listing, removal
#include "aDirectory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

bool aDirectory_Exists(const char* path) {
    if (!path) return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// mkdir that counts "already there as a directory" as success.
bool makeLevel(const std::string& path, uint32_t mode) {
    if (mkdir(path.c_str(), mode) == 0) return true;
    return errno == EEXIST && aDirectory_Exists(path.c_str());
}

bool isDotEntry(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

} // namespace

aErr aDirectory_Ensure(const char* path, uint32_t mode) {
    if (!path || !path[0]) return aErrParam;
    if (aDirectory_Exists(path)) return aErrNone;
    std::string full(path);
    aErr result = aErrNone;
    for (size_t next = full.find('/', 1); next != std::string::npos;
         next = full.find('/', next + 1)) {
        if (full[next - 1] == '/') continue; // doubled separator
        std::string level = full.substr(0, next);
        if (aDirectory_Exists(level.c_str())) continue;
        if (!makeLevel(level, mode)) {
            result = aErrPermission;
            break;
        }
    }
    if (!makeLevel(full, mode)) result = aErrPermission;
    return aDirectory_Exists(path) ? aErrNone : result;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context) {
    if (!path || !callback) return aErrParam;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;
    aDirectoryListData entry;
    while (struct dirent* d = readdir(dir)) {
        if (aDirectory_JoinPath(entry.path, sizeof entry.path, path, d->d_name) != aErrNone)
            continue;
        struct stat st;
        if (stat(entry.path, &st) != 0) continue;
        entry.size = uint32_t(st.st_size);
        entry.isDirectory = S_ISDIR(st.st_mode);
        if (!callback(&entry, context)) break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    if (!path) return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

namespace {

// Depth first; answers false when a file could not be removed, which ends the walk.
bool deleteBelow(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return true;
    bool ok = true;
    while (ok) {
        struct dirent* e = readdir(d);
        if (!e) break;
        if (isDotEntry(e->d_name)) continue;
        std::string child = dir + "/" + e->d_name;
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            ok = deleteBelow(child);
            rmdir(child.c_str());
        } else if (unlink(child.c_str()) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", child.c_str());
            ok = false;
        }
    }
    closedir(d);
    return ok;
}

} // namespace

aErr aDirectory_DeleteTree(const char* path) {
    if (!path) return aErrParam;
    DIR* d = opendir(path);
    if (!d) return aErrNotFound;
    closedir(d);
    deleteBelow(path);
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    return getcwd(buffer, size) ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';
    const char* home = nullptr;
    struct passwd pw;
    struct passwd* found = nullptr;
    char scratch[4096];
    if (getpwuid_r(getuid(), &pw, scratch, sizeof scratch, &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0])
        home = found->pw_dir;
    else
        home = getenv("HOME");
    if (!home || !home[0]) return aErrNotFound;
    // A cut-off home would put the store somewhere the user never chose.
    size_t length = strlen(home);
    size_t copied = length < size ? length : size - 1;
    memcpy(buffer, home, copied);
    buffer[copied] = '\0';
    return length < size ? aErrNone : aErrOverrun;
}
