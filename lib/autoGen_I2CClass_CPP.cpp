// I2CClass - the I2C entity (class 8): transactions on a module's I2C bus
#include "autoGen_I2CClass_CPP.h"

#include <cstring>

namespace Pelmora::Corvane {

namespace {

constexpr uint8_t kCmdI2C = 8;
constexpr uint8_t kPullupAddress = 1;
constexpr uint8_t kReadBit = 1;
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kShortestReply = 5;
constexpr uint8_t kStatusByte = 4;
constexpr uint8_t kCountByte = 3;

// The module's verdict in the status byte: bit 7 marks a failure, the rest is its code.
aErr status(const uint8_t* reply) {
    return reply[kStatusByte] & 0x80 ? aErr(reply[kStatusByte] & 0x7F) : aErrNone;
}

} // namespace

// Sends 8 and request, then waits for the reply whose leading bytes equal match (the
// command first).
aErr I2CClass::transact(const uint8_t* request, uint8_t length, const uint8_t* match,
                        uint8_t matchLength, uint8_t* reply, uint8_t* replyLength) {
    aErr err = sendPacket(kCmdI2C, length, request);
    if (err != aErrNone) return err;
    *replyLength = matchLength;
    err = receivePacket(match, replyLength, reply);
    if (err != aErrNone) return err;
    return *replyLength < kShortestReply ? aErrPacket : status(reply);
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* data) {
    if (length > 0 && !data) return aErrParam;
    if (length > kMaxData) return aErrSize;
    const uint8_t target = uint8_t(address | kReadBit);
    const uint8_t request[4] = {getIndex(), target, length, speed};
    const uint8_t match[3] = {kCmdI2C, getIndex(), target};
    uint8_t reply[aPACKET_MAX_DATA] = {}, replyLength = 0;
    aErr err = transact(request, 4, match, 3, reply, &replyLength);
    if (err != aErrNone) return err;
    // The count comes from the module: it must fit both the reply and the caller's buffer.
    uint8_t count = reply[kCountByte];
    if (count > length || kShortestReply + count > replyLength) return aErrPacket;
    if (count) memcpy(data, reply + kShortestReply, count);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > 0 && !data) return aErrParam;
    if (length > kMaxData) return aErrSize;
    uint8_t request[aPACKET_MAX_DATA] = {getIndex(), address, length, speed};
    if (length) memcpy(request + 4, data, length);
    const uint8_t match[4] = {kCmdI2C, getIndex(), address, 0};
    uint8_t reply[aPACKET_MAX_DATA] = {}, replyLength = 0;
    return transact(request, uint8_t(length + 4), match, 4, reply, &replyLength);
}

aErr I2CClass::setPullup(bool on) {
    const uint8_t request[3] = {getIndex(), kPullupAddress, uint8_t(on ? 1 : 0)};
    const uint8_t match[3] = {kCmdI2C, getIndex(), kPullupAddress};
    uint8_t reply[aPACKET_MAX_DATA] = {}, replyLength = 0;
    return transact(request, 3, match, 3, reply, &replyLength);
}

aErr I2CClass::setSpeed(uint8_t value) {
    if (value > kMaxSpeed) return aErrParam;
    speed = value;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* value) const {
    if (!value) return aErrParam;
    *value = speed;
    return aErrNone;
}

} // namespace Pelmora::Corvane
