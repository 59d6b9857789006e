// unix_file - aFile on the C library's buffered streams
#include "aFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr uint16_t kFileMarker = 0xFEED;
}

struct aFile {
    uint16_t marker; // kFileMarker while open, 0 after close
    FILE* stream;
    aFileMode mode;
};

#define aVALIDFILE(f) ((f) != nullptr && (f)->marker == kFileMarker)

namespace {

bool pathTooLong(const char* path) {
    return strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH;
}

bool readable(const aFile* f) {
    return f->mode == aFileModeReadOnly || f->mode == aFileModeAppend;
}

bool writable(const aFile* f) {
    return f->mode == aFileModeWriteOnly || f->mode == aFileModeAppend;
}

} // namespace

bool aFile_Exists(const char* path) {
    if (!path || pathTooLong(path)) return false;
    struct stat st;
    if (stat(path, &st) != 0) return false;
    return !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, aFileMode mode) {
    if (!path || !path[0] || pathTooLong(path)) return nullptr;
    const char* fmode;
    switch (mode) {
    case aFileModeReadOnly:
        fmode = "rb";
        break;
    case aFileModeWriteOnly:
        fmode = "wb";
        break;
    case aFileModeAppend:
        fmode = "a+b";
        break;
    default:
        return nullptr;
    }
    aFile* f = static_cast<aFile*>(calloc(1, sizeof(aFile)));
    if (!f) return nullptr;
    f->stream = fopen(path, fmode);
    if (!f->stream) {
        free(f);
        return nullptr;
    }
    if (mode == aFileModeAppend) fseek(f->stream, 0, SEEK_END);
    f->mode = mode;
    f->marker = kFileMarker;
    return f;
}

aErr aFile_Close(aFileRef* file) {
    if (!file || !*file) return aErrParam;
    aFile* f = *file;
    *file = nullptr;
    if (!aVALIDFILE(f)) return aErrParam;
    int rc = fclose(f->stream);
    f->marker = 0;
    free(f);
    return rc == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef f, uint8_t* buffer, size_t length, size_t* count) {
    if (!aVALIDFILE(f)) return aErrParam;
    if (count) *count = 0;
    if (!readable(f)) return aErrMode;
    if (!buffer) return aErrParam;
    size_t n = fread(buffer, 1, length, f->stream);
    if (count) *count = n;
    if (n == 0 && length > 0) return ferror(f->stream) ? aErrIO : aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFileRef f, const uint8_t* data, size_t length, size_t* count) {
    if (!aVALIDFILE(f)) return aErrParam;
    if (count) *count = 0;
    if (!writable(f)) return aErrMode;
    if (!data) return aErrParam;
    size_t n = fwrite(data, 1, length, f->stream);
    if (count) *count = n;
    if (n == 0 && length > 0) return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef f, size_t* size) {
    if (!aVALIDFILE(f)) return aErrParam;
    if (!size) return aErrParam;
    *size = 0;
    long here = ftell(f->stream);
    if (here < 0 || fseek(f->stream, 0, SEEK_END) != 0) return aErrIO;
    long end = ftell(f->stream);
    if (fseek(f->stream, here, SEEK_SET) != 0 || end < 0) return aErrIO;
    *size = size_t(end);
    return aErrNone;
}

aErr aFile_Seek(aFileRef f, long offset, int origin) {
    if (!aVALIDFILE(f)) return aErrParam;
    size_t size = 0;
    aErr err = aFile_GetSize(f, &size);
    if (err != aErrNone) return err;
    long base;
    switch (origin) {
    case 0:
        base = 0;
        break;
    case 1:
        base = ftell(f->stream);
        break;
    case 2:
        base = long(size);
        break;
    default:
        return aErrParam;
    }
    if (base < 0) return aErrIO;
    long target = base + offset;
    if (target < 0 || size_t(target) > size) return aErrRange;
    return fseek(f->stream, target, SEEK_SET) == 0 ? aErrNone : aErrIO;
}

aErr aFile_ReadLine(aFileRef f, char* buffer, size_t size, size_t* length) {
    if (!aVALIDFILE(f)) return aErrParam;
    if (!buffer || size < 2) return aErrParam;
    if (length) *length = 0;
    buffer[0] = '\0';
    if (!readable(f)) return aErrMode;
    if (!fgets(buffer, int(size), f->stream)) {
        buffer[0] = '\0';
        return feof(f->stream) ? aErrEOF : aErrIO;
    }
    size_t n = strlen(buffer);
    if (length) *length = n;
    if (n == size - 1 && buffer[n - 1] != '\n') return aErrOverrun;
    return aErrNone;
}

aErr aFile_Printf(aFileRef f, const char* format, ...) {
    if (!aVALIDFILE(f)) return aErrParam;
    if (!writable(f)) return aErrMode;
    if (!format) return aErrParam;
    va_list args;
    va_start(args, format);
    int rc = vfprintf(f->stream, format, args);
    va_end(args);
    return rc < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef f) {
    if (!aVALIDFILE(f)) return aErrParam;
    if (!writable(f)) return aErrMode;
    return setvbuf(f->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_GetPosition(aFileRef f, size_t* position) {
    if (!aVALIDFILE(f)) return aErrParam;
    if (!position) return aErrParam;
    long here = ftell(f->stream);
    if (here < 0) return aErrIO;
    if (here > 0) *position = size_t(here);
    return aErrNone;
}

aErr aFile_Sync(aFileRef f) {
    if (!aVALIDFILE(f)) return aErrParam;
    if (fflush(f->stream) != 0) return aErrIO;
    return fsync(fileno(f->stream)) == 0 ? aErrNone : aErrIO;
}

aErr aFile_Delete(const char* path) {
    if (!path) return aErrParam;
    if (pathTooLong(path)) return aErrFileNameLength;
    if (unlink(path) == 0) return aErrNone;
    switch (errno) {
    case ENOENT:
        return aErrNotFound;
    case EACCES:
    case EPERM:
        return aErrPermission;
    default:
        return aErrIO;
    }
}
