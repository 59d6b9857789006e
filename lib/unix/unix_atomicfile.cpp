// unix_atomicfile - aAtomicFile with mkstemp, fsync and rename
#include "aAtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

// The rename itself must reach the disk too, or a crash may bring back the old name.
void syncFolder(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

} // namespace

aErr aAtomicFile_Write(const char* path, const uint8_t* data, size_t length) {
    if (!path || !path[0] || (!data && length > 0)) return aErrParam;
    std::string target(path);
    std::string tmpl = target + ".tmp.XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return aErrNotFound;
    struct stat st;
    mode_t mode = stat(path, &st) == 0 ? (st.st_mode & 07777) : 0644;
    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, data, length) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok && rename(name.data(), path) == 0) {
        syncFolder(folderOf(target));
        return aErrNone;
    }
    unlink(name.data());
    return aErrIO;
}
