// Module - one module on the packet protocol: its link, its address and direct queries
#include "Module.h"

#include <cstring>

#include "aTime.h"

namespace Pelmora::Corvane {

namespace {

constexpr uint8_t kCmdInfo = 0x49;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kInfoHasUEI = 1;
constexpr uint8_t kInfoClassQuantity = 4;
constexpr uint8_t kInfoSubClassQuantity = 5;
constexpr uint8_t kInfoEntityGroup = 6;
constexpr uint8_t kCmdDebug = 23;
constexpr int kAddressTries = 4;
constexpr int kAddressRetryMs = 5;
constexpr int kNoLinkStatus = 8;
constexpr uint8_t kMaxEcho = 27; // one packet: the command and 27 bytes

} // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool autoNetworking, uint8_t model)
    : link(std::make_unique<Link>("Link")), address(address), networking(autoNetworking),
      model(model) {}

Module::~Module() = default;

// ---- Connection ----------------------------------------------------------------------------

// Asks the module which address answers on this link. A silent module leaves the link up
// but the caller learns of it: the last try's result is answered.
aErr Module::autoNetwork() {
    if (!networking || !link) return aErrNone;
    aErr err = aErrNotReady;
    uint8_t found = 0;
    for (int i = 0; i < kAddressTries; i++) {
        err = link->getModuleAddress(&found);
        if (err != aErrNotReady) break;
        aTime_MSSleep(kAddressRetryMs);
    }
    if (err == aErrNone && found != 0) address = found;
    return err;
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
    if (!link) return aErrInitialization;
    if (serialNumber == 0) return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
    if (!link) return aErrInitialization;
    aErr err = link->discoverAndConnect(type, serialNumber, model);
    return err == aErrNone ? autoNetwork() : err;
}

aErr Module::connectFromSpec(linkSpec spec) {
    if (!link) return aErrInitialization;
    if (link->isConnected()) return aErrBusy;
    aErr err = link->setLinkSpecifier(spec);
    if (err == aErrNone) err = link->connect();
    return err == aErrNone ? autoNetwork() : err;
}

aErr Module::reconnect() {
    if (!link) return aErrInitialization;
    aErr err = link->connect();
    return err == aErrNone ? autoNetwork() : err;
}

aErr Module::connectThroughLinkModule(Module* router) {
    if (!link) return aErrInitialization;
    if (link->isConnected()) return aErrNone;
    if (!router || !router->link) return aErrInitialization;
    linkSpec spec;
    aErr err = router->getLinkSpecifier(&spec);
    if (err != aErrNone) return err;
    aLoomConfig config;
    router->link->getConfig(&config);
    err = link->setConfig(config);
    if (err != aErrNone) return err;
    if (config.enabled) {
        // The router's link went through a link server: reach the same server.
        spec.type = ALOOM;
        spec.t.ip.ipAddress = config.networkInterface;
        spec.t.ip.ipPort = config.assignedPort;
    }
    err = link->setLinkSpecifier(spec);
    if (err == aErrNone) err = link->connectThroughLinkModule(*router->link);
    if (err == aErrNone) networking = false;
    return err;
}

bool Module::isConnected() const {
    return link && link->isConnected();
}

int Module::getStatus() const {
    return link ? link->getStatus() : kNoLinkStatus;
}

aErr Module::disconnect() {
    return link ? link->disconnect() : aErrInitialization;
}

// ---- Accessors -----------------------------------------------------------------------------

aErr Module::getLinkSpecifier(linkSpec* spec) const {
    if (!link) return aErrNotReady;
    return link->getLinkSpecifier(spec);
}

aErr Module::getConfig(aLoomConfig* config) const {
    if (!link) return aErrNotReady;
    if (!config) return aErrParam;
    return link->getConfig(config);
}

aErr Module::setConfig(aLoomConfig config) {
    if (!link) return aErrNotReady;
    return link->setConfig(config);
}

aErr Module::enablePacketLog(const char* fileName) {
    if (!link) return aErrConfiguration;
    return link->enablePacketLog(fileName);
}

aErr Module::disablePacketLog() {
    if (!link) return aErrConfiguration;
    return link->disablePacketLog();
}

// ---- Queries -------------------------------------------------------------------------------

aErr Module::infoQuery(const uint8_t* request, uint8_t length, uint8_t matchLength, uint8_t* reply,
                       uint8_t* replyLength) {
    if (!isConnected()) return aErrConnection;
    aErr err = link->sendPacket(address, kCmdInfo, length, request);
    if (err != aErrNone) return err;
    const uint8_t match[2] = {kCmdInfo, request[0]};
    *replyLength = matchLength;
    return link->receivePacket(address, match, replyLength, reply);
}

// A query whose reply repeats the request's first echoLength bytes and adds one value.
aErr Module::echoedQuery(const uint8_t* request, uint8_t length, uint8_t* value) {
    const uint8_t echoLength = request[0] == kInfoHasUEI ? 4 : length;
    uint8_t reply[aPACKET_MAX_DATA] = {}, replyLength = 0;
    aErr err = infoQuery(request, length, 1, reply, &replyLength);
    if (err != aErrNone) return err;
    if (replyLength != echoLength + 2 || memcmp(reply + 1, request, echoLength) != 0)
        return aErrUnknown;
    *value = reply[echoLength + 1];
    return aErrNone;
}

aErr Module::getBuild(uint32_t* build) {
    if (!build) return aErrParam;
    const uint8_t request[1] = {kInfoBuild};
    uint8_t reply[aPACKET_MAX_DATA] = {}, replyLength = 0;
    aErr err = infoQuery(request, 1, 2, reply, &replyLength);
    if (err != aErrNone) return err;
    if (replyLength != 6) return aErrSize;
    *build =
        uint32_t(reply[2]) << 24 | uint32_t(reply[3]) << 16 | uint32_t(reply[4]) << 8 | reply[5];
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if ((flags & 0x3F) || (flags & 0xC0) == 0xC0) return aErrParam;
    const uint8_t request[5] = {kInfoHasUEI, command, option, index, flags};
    uint8_t result = 0;
    aErr err = echoedQuery(request, 5, &result);
    return err == aErrNone ? aErr(result) : err;
}

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
    if (!count) return aErrParam;
    *count = 0;
    const uint8_t request[2] = {kInfoClassQuantity, command};
    return echoedQuery(request, 2, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* count) {
    if (!count) return aErrParam;
    *count = 0;
    const uint8_t request[3] = {kInfoSubClassQuantity, command, index};
    return echoedQuery(request, 3, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
    if (!group) return aErrParam;
    *group = 0;
    const uint8_t request[3] = {kInfoEntityGroup, command, index};
    return echoedQuery(request, 3, group);
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
    if ((length > 0 && !data) || length > kMaxEcho) return aErrParam;
    if (!isConnected()) return aErrConnection;
    aErr err = link->sendPacket(address, kCmdDebug, length, data);
    if (err != aErrNone) return err;
    const uint8_t match = kCmdDebug;
    uint8_t reply[aPACKET_MAX_DATA] = {}, replyLength = 1;
    err = link->receivePacket(address, &match, &replyLength, reply);
    if (err != aErrNone) return err;
    if (replyLength != length + 1 || (length && memcmp(reply + 1, data, length) != 0))
        return aErrIO;
    return aErrNone;
}

} // namespace Pelmora::Corvane
