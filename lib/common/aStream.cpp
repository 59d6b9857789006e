// aStream - byte streams over any transport
#include "aStream.h"

#include <cstdlib>
#include <cstring>

#include "aFile.h"

namespace {
constexpr uint16_t kStreamMarker = 0x4321;
constexpr size_t kPushBackStep = 512;
// Reads this short use scratch space on the stack: the link reads one byte at a time.
constexpr size_t kStackScratch = 64;
} // namespace

struct aStream {
    uint16_t check; // kStreamMarker while live
    aStreamProcs procs;
    void* ref;
    // Ring of bytes returned to the stream; touched only by the reading thread.
    uint8_t* pushBack;
    size_t count, capacity, readPos, writePos;
};

namespace {

bool valid(const aStream* s) {
    return s != nullptr && s->check == kStreamMarker;
}

// Grows the ring by one step when only one slot is left, oldest byte first at 0.
aErr growPushBack(aStream* s) {
    size_t capacity = s->capacity + kPushBackStep;
    uint8_t* grown = static_cast<uint8_t*>(malloc(capacity));
    if (!grown) return aErrMemory;
    for (size_t i = 0; i < s->count; i++)
        grown[i] = s->pushBack[(s->readPos + i) % s->capacity];
    free(s->pushBack);
    s->pushBack = grown;
    s->capacity = capacity;
    s->readPos = 0;
    s->writePos = s->count;
    return aErrNone;
}

aErr pushBackByte(aStream* s, uint8_t byte) {
    if (s->capacity == 0 || s->count + 1 >= s->capacity) {
        aErr err = growPushBack(s);
        if (err != aErrNone) return err;
    }
    s->pushBack[s->writePos] = byte;
    s->writePos = (s->writePos + 1) % s->capacity;
    s->count++;
    return aErrNone;
}

// Returned bytes first, then the transport.
aErr takeByte(aStream* s, uint8_t* byte) {
    if (s->count > 0) {
        *byte = s->pushBack[s->readPos];
        s->readPos = (s->readPos + 1) % s->capacity;
        s->count--;
        return aErrNone;
    }
    return s->procs.get(byte, s->ref);
}

// Scratch space for one read: on the stack when small, else on the heap.
class Scratch {
  public:
    explicit Scratch(size_t length)
        : heap(length > kStackScratch ? static_cast<uint8_t*>(malloc(length)) : nullptr),
          bytes(length > kStackScratch ? heap : local) {}
    ~Scratch() { free(heap); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    uint8_t* data() { return bytes; }

  private:
    uint8_t local[kStackScratch];
    uint8_t* heap;
    uint8_t* bytes;
};

bool endsWith(const uint8_t* data, size_t n, const uint8_t* tail, size_t tailLength) {
    return n >= tailLength && memcmp(data + n - tailLength, tail, tailLength) == 0;
}

} // namespace

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* ref) {
    aStreamProcs procs = {get, put, write, del, nullptr};
    return aStream_CreateWithProcs(&procs, ref);
}

aStreamRef aStream_CreateWithProcs(const aStreamProcs* procs, void* ref) {
    if (!procs) return nullptr;
    aStream* s = static_cast<aStream*>(calloc(1, sizeof(aStream)));
    if (!s) return nullptr;
    s->procs = *procs;
    s->ref = ref;
    s->check = kStreamMarker;
    return s;
}

aErr aStream_ReadCounted(aStreamRef stream, uint8_t* buffer, size_t length, size_t* count) {
    if (count) *count = 0;
    if (!valid(stream) || !buffer) return aErrParam;
    if (!stream->procs.get) return aErrMode;
    Scratch scratch(length);
    if (!scratch.data()) return aErrResource;
    size_t got = 0;
    aErr err = aErrNone;
    while (got < length && (err = takeByte(stream, scratch.data() + got)) == aErrNone)
        got++;
    if (err == aErrNotReady) {
        // All or nothing: the next read sees these bytes again.
        aStream_Unread(stream, scratch.data(), got);
        return aErrNotReady;
    }
    if (err != aErrNone && err != aErrEOF) return err;
    memcpy(buffer, scratch.data(), got);
    if (count) *count = got;
    return err;
}

aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t length) {
    return aStream_ReadCounted(stream, buffer, length, nullptr);
}

aErr aStream_Unread(aStreamRef stream, const uint8_t* data, size_t length) {
    if (!valid(stream) || (!data && length > 0)) return aErrParam;
    // Returned bytes go before any still waiting, so a record's bytes keep their order.
    size_t waiting = stream->count;
    for (size_t i = 0; i < length; i++) {
        aErr err = pushBackByte(stream, data[i]);
        if (err != aErrNone) return err;
    }
    for (size_t i = 0; i < waiting; i++) {
        uint8_t b;
        takeByte(stream, &b);
        pushBackByte(stream, b);
    }
    return aErrNone;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length) {
    if (!valid(stream) || !data) return aErrParam;
    if (!stream->procs.put && !stream->procs.write) return aErrMode;
    if (length == 0) return aErrNone;
    if (length > 1 && stream->procs.write) return stream->procs.write(data, length, stream->ref);
    if (!stream->procs.put) return stream->procs.write(data, length, stream->ref);
    for (size_t i = 0; i < length; i++) {
        aErr err = stream->procs.put(data[i], stream->ref);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr aStream_WaitReadable(aStreamRef stream, uint32_t timeoutMs) {
    if (!valid(stream)) return aErrParam;
    if (stream->count > 0) return aErrNone;
    if (!stream->procs.wait) return aErrMode;
    return stream->procs.wait(timeoutMs, stream->ref);
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* received, size_t bufferSize,
                        const uint8_t* terminator, size_t terminatorLength) {
    if (received) *received = 0;
    if (!valid(stream) || !buffer || bufferSize == 0 || !terminator || terminatorLength == 0)
        return aErrParam;
    if (!stream->procs.get) return aErrMode;
    // Room for a full record plus a terminator still being matched.
    size_t room = bufferSize + terminatorLength;
    Scratch scratch(room);
    uint8_t* bytes = scratch.data();
    if (!bytes) return aErrResource;
    size_t n = 0; // bytes taken, terminator bytes included
    aErr err = aErrNone;
    bool ended = false;
    while (!ended && (err = takeByte(stream, bytes + n)) == aErrNone) {
        n++;
        if (endsWith(bytes, n, terminator, terminatorLength)) {
            n -= terminatorLength;
            ended = true;
        } else if (n >= bufferSize) {
            ended = true;
        }
    }
    if (err == aErrNotReady) {
        aStream_Unread(stream, bytes, n);
        return aErrNotReady;
    }
    if (err == aErrEOF && n == 0) return aErrEOF;
    if (err != aErrNone && err != aErrEOF) return err;
    memcpy(buffer, bytes, n);
    if (received) *received = n;
    return aErrNone;
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength) {
    if (!terminator) return aErrParam;
    aErr err = aStream_Write(stream, data, length);
    if (err != aErrNone) return err;
    return aStream_Write(stream, terminator, terminatorLength);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t bufferSize,
                               const char* terminatorText) {
    if (!buffer || bufferSize == 0 || !terminatorText) return aErrParam;
    // An empty terminator text stands for the NUL itself.
    size_t termLength = strlen(terminatorText);
    const uint8_t nul = 0;
    const uint8_t* term = termLength ? reinterpret_cast<const uint8_t*>(terminatorText) : &nul;
    size_t got = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &got, bufferSize - 1,
                                  term, termLength ? termLength : 1);
    buffer[err == aErrNone ? got : 0] = '\0';
    return err;
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t bufferSize) {
    return aStream_ReadCStringRecord(stream, buffer, bufferSize, "");
}

aErr aStream_WriteCString(aStreamRef stream, const char* text) {
    if (!text) return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminatorText) {
    if (!text || !terminatorText) return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                               reinterpret_cast<const uint8_t*>(terminatorText),
                               strlen(terminatorText) + 1);
}

aErr aStream_Flush(aStreamRef from, aStreamRef to) {
    if (!valid(from) || !valid(to)) return aErrParam;
    if (!from->procs.get || !to->procs.put) return aErrMode;
    for (;;) {
        uint8_t byte;
        aErr err = takeByte(from, &byte);
        if (err == aErrEOF) return aErrNone;
        if (err != aErrNone) return err;
        err = to->procs.put(byte, to->ref);
        if (err != aErrNone) return err;
    }
}

aErr aStream_Destroy(aStreamRef* stream) {
    if (!stream) return aErrParam;
    aStream* s = *stream;
    *stream = nullptr;
    if (!valid(s)) return aErrParam;
    aErr err = s->procs.del ? s->procs.del(s->ref) : aErrNone;
    free(s->pushBack);
    s->check = 0;
    free(s);
    return err;
}

// File streams -------------------------------------------------------------

namespace {

aErr fileGet(uint8_t* byte, void* ref) {
    aFileRef file = static_cast<aFileRef>(ref);
    if (!file) return aErrIO;
    size_t n = 0;
    aErr err = aFile_Read(file, byte, 1, &n);
    if (err == aErrNone && n == 0) return aErrEOF;
    return err;
}

aErr fileWrite(const uint8_t* data, size_t length, void* ref) {
    aFileRef file = static_cast<aFileRef>(ref);
    if (!file) return aErrIO;
    size_t n = 0;
    aErr err = aFile_Write(file, data, length, &n);
    if (err == aErrNone && n != length) return aErrIO;
    return err;
}

aErr filePut(uint8_t byte, void* ref) {
    return fileWrite(&byte, 1, ref);
}

aErr fileDelete(void* ref) {
    aFileRef file = static_cast<aFileRef>(ref);
    return file ? aFile_Close(&file) : aErrNone;
}

aErr createFileStream(const char* path, aFileMode mode, const aStreamProcs& procs,
                      aStreamRef* stream) {
    if (!path || !stream) return aErrResource;
    *stream = nullptr;
    aFileRef file = aFile_Open(path, mode);
    if (!file) return aErrResource;
    *stream = aStream_CreateWithProcs(&procs, file);
    if (!*stream) {
        aFile_Close(&file);
        return aErrResource;
    }
    return aErrNone;
}

} // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
    const aStreamProcs procs = {fileGet, nullptr, nullptr, fileDelete, nullptr};
    return createFileStream(path, aFileModeReadOnly, procs, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
    const aStreamProcs procs = {nullptr, filePut, fileWrite, fileDelete, nullptr};
    return createFileStream(path, aFileModeWriteOnly, procs, stream);
}
