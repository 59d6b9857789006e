// unix_streamserial - serial-port streams over POSIX terminals
#include "aStreamSerial.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "aFile.h"
#include "aStream_CobsEncoding.h"

namespace {

constexpr uint16_t kSerialMarker = 0xBEEF;
const uint32_t kBauds[aSERIAL_BAUD_COUNT] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const speed_t kSpeeds[aSERIAL_BAUD_COUNT] = {B2400,  B4800,  B9600,   B19200,
                                             B38400, B57600, B115200, B230400};

struct SerialRecord {
    uint16_t check; // kSerialMarker while live
    uint32_t baudIndex;
    char path[aFILE_MAX_PATH + 1];
    int fd;                  // open terminal; -1 when closed
    struct termios saved;    // found at open, restored at delete
    struct termios settings; // applied
};

SerialRecord* record(void* ref) {
    SerialRecord* r = static_cast<SerialRecord*>(ref);
    return r && r->check == kSerialMarker && r->fd >= 0 ? r : nullptr;
}

aErr serialGet(uint8_t* byte, void* ref) {
    SerialRecord* r = record(ref);
    if (!r) return aErrParam;
    ssize_t n = read(r->fd, byte, 1);
    if (n == 1) return aErrNone;
    if (n == 0 || errno == EAGAIN || errno == EINTR) return aErrNotReady;
    return aErrIO;
}

aErr serialWrite(const uint8_t* data, size_t length, void* ref) {
    SerialRecord* r = record(ref);
    if (!r) return aErrParam;
    ssize_t n = write(r->fd, data, length);
    if (n < 0 || size_t(n) != length) return aErrIO;
    // Keep the writer from running ahead of the wire.
    return tcdrain(r->fd) == 0 ? aErrNone : aErrIO;
}

aErr serialPut(uint8_t byte, void* ref) {
    return serialWrite(&byte, 1, ref);
}

aErr serialWait(uint32_t timeoutMs, void* ref) {
    SerialRecord* r = record(ref);
    if (!r) return aErrParam;
    struct pollfd p = {r->fd, POLLIN, 0};
    int rc = poll(&p, 1, int(timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : timeoutMs));
    if (rc > 0) return aErrNone; // a byte, or a hang-up the next get reports
    if (rc == 0 || errno == EINTR) return aErrTimeout;
    return aErrIO;
}

aErr serialDelete(void* ref) {
    SerialRecord* r = static_cast<SerialRecord*>(ref);
    if (!r || r->check != kSerialMarker) return aErrParam;
    aErr err = aErrNone;
    if (r->fd >= 0) {
        if (tcsetattr(r->fd, TCSANOW, &r->saved) != 0) err = aErrIO;
        close(r->fd);
    }
    memset(r, 0, sizeof *r);
    free(r);
    return err;
}

aErr openErrno(int e) {
    if (e == ENOENT) return aErrNotFound;
    if (e == EACCES) return aErrPermission;
    return aErrIO;
}

void buildSettings(SerialRecord* r, bool parity, uint32_t dataBits, uint32_t stopBits) {
    struct termios& t = r->settings;
    memset(&t, 0, sizeof t);
    t.c_cflag = CREAD | CLOCAL | (dataBits == 0 ? CS8 : CS7);
    if (parity) t.c_cflag |= PARENB;
    if (stopBits == 1) t.c_cflag |= CSTOPB;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    // Raw, and a read answers at once whether a byte is there or not.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = r->baudIndex < aSERIAL_BAUD_COUNT ? kSpeeds[r->baudIndex] : B0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
}

aErr openPort(SerialRecord* r, bool parity, uint32_t dataBits, uint32_t stopBits) {
    r->fd = open(r->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (r->fd < 0) return openErrno(errno);
    if (fcntl(r->fd, F_SETFL, 0) != 0) return aErrIO;
    if (tcgetattr(r->fd, &r->saved) != 0) return aErrIO;
    buildSettings(r, parity, dataBits, stopBits);
    if (tcsetattr(r->fd, TCSANOW, &r->settings) != 0) return aErrIO;
    return tcflush(r->fd, TCIOFLUSH) == 0 ? aErrNone : aErrIO;
}

// Opens the port into a new record; on failure nothing is left open.
aErr createRecord(const char* port, uint32_t baudIndex, bool parity, uint32_t dataBits,
                  uint32_t stopBits, SerialRecord** out) {
    if (!port || dataBits > 1 || stopBits > 1 || strlen(port) > aFILE_MAX_PATH) return aErrResource;
    SerialRecord* r = static_cast<SerialRecord*>(calloc(1, sizeof(SerialRecord)));
    if (!r) return aErrResource;
    strcpy(r->path, port);
    r->baudIndex = baudIndex;
    aErr err = openPort(r, parity, dataBits, stopBits);
    if (err != aErrNone) {
        if (r->fd >= 0) close(r->fd);
        free(r);
        return err;
    }
    r->check = kSerialMarker;
    *out = r;
    return aErrNone;
}

const aStreamProcs kSerialProcs = {serialGet, serialPut, serialWrite, serialDelete, serialWait};

} // namespace

int aStreamSerial_BaudIndex(uint32_t baud) {
    for (int i = 0; i < aSERIAL_BAUD_COUNT; i++)
        if (kBauds[i] == baud) return i;
    return -1;
}

aErr aStream_CreateSerial(const char* port, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream) {
    if (!stream) return aErrResource;
    SerialRecord* r = nullptr;
    aErr err = createRecord(port, baudIndex, parity, dataBits, stopBits, &r);
    if (err != aErrNone) return err;
    aStreamRef s = aStream_CreateWithProcs(&kSerialProcs, r);
    if (!s) {
        serialDelete(r);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* port, uint32_t baudIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStreamRef* stream) {
    if (!stream) return aErrResource;
    SerialRecord* r = nullptr;
    aErr err = createRecord(port, baudIndex, parity, dataBits, stopBits, &r);
    if (err != aErrNone) return err;
    aStreamRef s = nullptr;
    if (aStream_CreateCobsEncodingWithProcs(&kSerialProcs, r, &s) != aErrNone) {
        serialDelete(r);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}
