// Serial streams on pseudo-terminals: set-up, restore, polling, framed packets
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "aStreamSerial.h"
#include "cobs.h"
#include "crc8.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A pseudo-terminal whose slave stands in for the port; the test plays the device on
// the master.
class Pty {
  public:
    Pty() {
        char name[256];
        // Both ends share the slave's attributes, which the stream under test sets.
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    }
    ~Pty() {
        close(master);
        close(slave);
    }
    // Reads what the program sent until n bytes came or a time-out.
    Bytes readMaster(size_t n) {
        Bytes got;
        while (got.size() < n) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) break;
            uint8_t buf[64];
            ssize_t r = read(master, buf, sizeof buf);
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    int master = -1, slave = -1;
    std::string path;
};

struct StreamDeleter {
    void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using Stream = std::unique_ptr<aStream, StreamDeleter>;

Bytes frame(const Bytes& image) {
    Bytes withCrc = image;
    withCrc.push_back(crc8_create(image.data(), image.size()));
    Bytes f(COBS_ENCODED_MAX(withCrc.size()) + 1);
    f.resize(cobs_encode(withCrc.data(), withCrc.size(), f.data()));
    f.push_back(0);
    return f;
}

// Reads through the stream, waiting in between, until n bytes came or a time-out.
Bytes readStream(aStreamRef s, size_t n) {
    Bytes got;
    for (int rounds = 0; got.size() < n && rounds < 2000; rounds++) {
        aErr w = aStream_WaitReadable(s, 50);
        if (w != aErrNone && w != aErrTimeout) break;
        uint8_t b;
        aErr err = aStream_Read(s, &b, 1);
        if (err == aErrNone)
            got.push_back(b);
        else if (err != aErrNotReady)
            break;
    }
    return got;
}

} // namespace

TEST(aStreamSerial, Configures8N1AndRestoresTheAttributes) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    struct termios before;
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON); // a fresh pty is cooked: the change is visible

    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, false, 0, 0, &s), aErrNone);
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_TRUE((t.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));

    // No byte waiting: answered at once, not blocked.
    uint8_t b;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_EQ(aStream_WaitReadable(s, 0), aErrTimeout);

    ASSERT_EQ(aStream_Destroy(&s), aErrNone);
    struct termios after;
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST(aStreamSerial, RefusesBadParametersAndMissingPorts) {
    Pty pty;
    testsupport::TempDir dir;
    aStreamRef s = nullptr;
    EXPECT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, false, 2, 0, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, false, 0, 2, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(nullptr, 6, false, 0, 0, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(dir.file("ttyNone").c_str(), 6, false, 0, 0, &s), aErrNotFound);
    if (geteuid() != 0) { // root opens anything
        std::string locked = dir.file("locked");
        testsupport::WriteFile(locked, "");
        chmod(locked.c_str(), 0);
        EXPECT_EQ(aStream_CreateSerial(locked.c_str(), 6, false, 0, 0, &s), aErrPermission);
    }
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStreamSerial_BaudIndex(115200), 6);
    EXPECT_EQ(aStreamSerial_BaudIndex(1200), -1);
}

TEST(aStreamSerial, RawBytesCrossThePortBothWays) {
    Pty pty;
    aStreamRef raw = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 2, false, 0, 0, &raw), aErrNone);
    Stream s(raw);
    const Bytes out = {0x00, 0x7F, 0x80, 0xFF, '\n', '\r', 0x03};
    ASSERT_EQ(aStream_Write(s.get(), out.data(), out.size()), aErrNone);
    EXPECT_EQ(pty.readMaster(out.size()), out);
    ASSERT_EQ(write(pty.master, out.data(), out.size()), ssize_t(out.size()));
    EXPECT_EQ(readStream(s.get(), out.size()), out);
}

TEST(aStreamSerial, FramedPacketsCrossThePortBothWays) {
    Pty pty;
    aStreamRef framed = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.path.c_str(), 6, false, 0, 0, &framed), aErrNone);
    Stream s(framed);

    Bytes image = {0x04, 28};
    for (int i = 0; i < 28; i++)
        image.push_back(uint8_t(i * 9)); // zeros included
    ASSERT_EQ(aStream_Write(s.get(), image.data(), image.size()), aErrNone);
    Bytes expectedFrame = frame(image);
    EXPECT_EQ(pty.readMaster(expectedFrame.size()), expectedFrame);

    const Bytes reply = {0x04, 0x03, 0x03, 0x08, 0x00};
    Bytes line = frame(reply);
    ASSERT_EQ(write(pty.master, line.data(), line.size()), ssize_t(line.size()));
    EXPECT_EQ(readStream(s.get(), reply.size()), reply);
}
