// Link - one packet link to a module: connection, UEI exchanges, packet log
#include "Link.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "LocklessQueue_SPSC.h"
#include "aLink.h"
#include "aLogger.h"
#include "aPacketDebug.h"
#include "aTime.h"
#include "aUEI.h"

namespace Pelmora::Corvane {

namespace {

constexpr size_t kNameMax = 1024;
constexpr uint8_t kMaxSendPacketLength = aPACKET_MAX_DATA - 1; // the command takes one
constexpr size_t kChunk = 24;
constexpr uint32_t kReplyTimeoutMs = 1000;
constexpr uint32_t kLongReplyTimeoutMs = 4000;
constexpr size_t kLongReply = 1000;
constexpr int kLinkWaitSteps = 200;
constexpr uint32_t kLinkWaitStepMs = 10;
constexpr uint16_t kAsyncQueueSize = 500;
// Records are at most 255 bytes: a smaller buffer would leave a long one stuck at the head.
constexpr size_t kLogRecordMax = 256;
constexpr uint32_t kLogIdleMs = 5;
constexpr int kNoLinkStatus = 8;

// Only one Link creates a link-table entry at a time.
std::mutex gLinkCreation;

bool isALOOM(uint32_t type) {
    return type >= ALOOM && type <= ALOOM_SERIAL;
}

bool validModule(uint8_t module) {
    return module != 0 && (module & 1) == 0;
}

// Any packet without data bytes: the answer to an address query.
bool MatchMagic(const aPacket* packet, void*) {
    return packet->dataSize == 0;
}

struct CommandMatch {
    uint8_t count;
    const uint8_t* bytes;
};

bool sCommandFilter(const aPacket* packet, void* ref) {
    auto* m = static_cast<const CommandMatch*>(ref);
    return packet->dataSize >= m->count && memcmp(packet->data, m->bytes, m->count) == 0;
}

// Wants the first module of the wanted model (any model when it is 0).
bool cbModelCallback(const linkSpec* spec, bool* found, void* context) {
    linkSpec* wanted = static_cast<linkSpec*>(context);
    if (wanted->model != 0 && spec->model != wanted->model) return true;
    *wanted = *spec;
    *found = true;
    return false;
}

// One line per record of the link's packet log, on the logger thread.
void sLogReader(aFileRef file, uint32_t linkId) {
    uint8_t direction = 0, buffer[kLogRecordMax];
    size_t length = sizeof buffer;
    if (aLink_PacketDebug_Read(linkId, &direction, &length, buffer) == aErrNone)
        aPacketLog_WriteLine(file, direction, length, buffer);
    else
        aTime_MSSleep(kLogIdleMs);
}

struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;
    StreamCallback callback;
    void* context = nullptr;
    uint32_t lastValue = 0;
};

struct asyncPacket {
    StreamCallback callback;
    void* context = nullptr;
    aPacket* packet = nullptr; // a private copy, destroyed after the callback
};

// The sample a stream packet carries, and its sub-index; false for anything else.
bool streamSample(const aPacket* p, uint8_t* subindex, uint32_t* value) {
    static const uint8_t kSizes[8] = {0, 14, 15, 17, 0, 15, 16, 18};
    uint8_t type = p->data[3];
    if (type == 0 || type > 7 || kSizes[type] == 0 || p->dataSize != kSizes[type]) return false;
    bool sub = type >= 5;
    *subindex = sub ? p->data[4] : 0;
    const uint8_t* v = p->data + (sub ? 13 : 12);
    switch (sub ? type - 4 : type) {
    case 1:
        *value = v[0];
        break;
    case 2:
        *value = aUEI_RetrieveShort(v);
        break;
    default:
        *value = aUEI_RetrieveInt(v);
    }
    return true;
}

} // namespace

struct Link::impl {
    Link* owner;
    uint32_t linkRef = 0;
    aLoggerRef packetLogger = nullptr;
    uint32_t loggerLinkRef = 0; // the link the logger reads
    aLoomConfig config;
    std::map<uint64_t, StreamEntry> streamCache;
    std::thread asyncWorker;
    LocklessQueue_SPSC<asyncPacket> asyncQueue{kAsyncQueueSize};
    std::promise<void> stopSignal;
    std::mutex cacheMutex;
    char* name = nullptr;
    linkSpec* specifier = nullptr;

    impl(Link* o, const char* n) : owner(o) {
        size_t len = n ? strnlen(n, kNameMax) : 0;
        name = new char[len + 1];
        if (len) memcpy(name, n, len);
        name[len] = 0;
    }

    bool connected() const { return linkRef != 0 && aLink_GetStatus(linkRef) == LINK_RUNNING; }

    aErr exchangeCheck(uint8_t module) const {
        if (!connected()) return aErrConnection;
        return validModule(module) ? aErrNone : aErrPacket;
    }

    void setSpecifier(const linkSpec& spec) {
        aLinkSpec_Destroy(&specifier);
        specifier = aLinkSpec_Copy(&spec);
    }

    aErr linkCreateHelper();
    aErr waitForLink(int steps);
    aErr connectHelper();
    aErr discoveryAndConnectHelper(linkType type, uint32_t serial, uint8_t model);
    aErr put(uint8_t module, const uint8_t* data, uint8_t length);
    void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
    void asyncWork(std::future<void> stop);
    static bool streamFilter(const aPacket* packet, void* ref);
};

aErr Link::impl::linkCreateHelper() {
    std::lock_guard<std::mutex> creating(gLinkCreation);
    const linkSpec& s = *specifier;
    switch (s.type) {
    case USB:
        linkRef = aLink_CreateUSB(s.serialNumber);
        break;
    case TCPIP:
        linkRef = aLink_CreateTCPIP(s.serialNumber, s.t.ip.ipAddress, uint16_t(s.t.ip.ipPort));
        break;
    case SERIAL: {
        char port[sizeof s.t.serial.portName + 1] = {};
        memcpy(port, s.t.serial.portName, sizeof s.t.serial.portName);
        linkRef = aLink_CreateSerial(s.serialNumber, port, s.t.serial.baudRate);
        break;
    }
    default:
        if (!isALOOM(s.type)) return aErrMode;
        if (!config.enabled) return aErrConfiguration;
        linkRef = aLink_CreateClient(s.t.ip.ipAddress, uint16_t(s.t.ip.ipPort), linkRef);
    }
    // Wrapping a direct link in a link server is not carried by this build: the link
    // stays direct whatever config.enabled says.
    return aErrNone;
}

aErr Link::impl::waitForLink(int steps) {
    int status = aLink_GetStatus(linkRef);
    if (status == LINK_RUNNING) return aErrNone;
    switch (status) {
    case LINK_STOPPED:
    case LINK_STARTING:
    case LINK_SYNCING:
        for (int i = 0; i < steps && status != LINK_RUNNING; i++) {
            aTime_MSSleep(kLinkWaitStepMs);
            status = aLink_GetStatus(linkRef);
        }
        return status == LINK_RUNNING ? aErrNone : aErrConnection;
    case LINK_STOPPING:
        return aErrBusy;
    case LINK_NO_STREAM:
    case LINK_IO_ERROR:
    case LINK_PACKET_ERROR:
        return aErrConnection;
    default:
        return aErrDuplicate;
    }
}

aErr Link::impl::connectHelper() {
    if (!specifier) return aErrConfiguration;
    aErr err = linkCreateHelper();
    if (err != aErrNone) return err;
    if (!linkRef) return aErrConnection;
    return waitForLink(kLinkWaitSteps);
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serial, uint8_t model) {
    linkSpec* spec = nullptr;
    if (serial != 0) {
        spec = aDiscovery_FindModule(type, serial, config.networkInterface);
    } else if ((spec = aLinkSpec_Create(type)) != nullptr) {
        spec->model = model;
        if (aDiscovery_EnumerateModules(type, cbModelCallback, spec, config.networkInterface) == 0)
            aLinkSpec_Destroy(&spec);
    }
    if (!spec) return aErrNotFound;
    setSpecifier(*spec);
    aLinkSpec_Destroy(&spec);
    return owner->connect();
}

aErr Link::impl::put(uint8_t module, const uint8_t* data, uint8_t length) {
    aPacket* packet = aPacket_CreateWithData(module, length, data);
    if (!packet) return aErrResource;
    aErr err = aLink_PutPacket(linkRef, packet);
    aPacket_Destroy(&packet);
    return err;
}

void Link::impl::queueAsyncCallback(const StreamEntry& entry, const aPacket* packet) {
    asyncPacket a{entry.callback, entry.context, aPacket_Copy(packet)};
    if (!a.packet) return;
    if (!asyncQueue.push(a)) aPacket_Destroy(&a.packet); // full: the sample is dropped
}

void Link::impl::asyncWork(std::future<void> stop) {
    for (;;) {
        if (stop.wait_for(std::chrono::milliseconds(1)) == std::future_status::ready) return;
        asyncPacket a;
        while (asyncQueue.pop(a)) {
            a.callback(a.packet, a.context);
            aPacket_Destroy(&a.packet);
        }
        aTime_MSSleep(1);
    }
}

// On the engine's reader thread: takes the stream packets the cache knows.
bool Link::impl::streamFilter(const aPacket* packet, void* ref) {
    auto* self = static_cast<impl*>(ref);
    uint8_t subindex = 0;
    uint32_t value = 0;
    if (!aUEI_isStreamPacket(packet) || !streamSample(packet, &subindex, &value)) return false;
    uint64_t key = createStreamKey(packet->address, packet->data[0], packet->data[1] & 0x3F,
                                   packet->data[2] & 0x1F, subindex);
    std::lock_guard<std::mutex> g(self->cacheMutex);
    auto e = self->streamCache.find(key);
    if (e == self->streamCache.end()) return false;
    e->second.lastValue = value;
    e->second.fresh = true;
    if (e->second.callback) self->queueAsyncCallback(e->second, packet);
    return true;
}

// ---- Construction and configuration -------------------------------------------------------

Link::Link(const char* name) : p(new impl(this, name)) {}

Link::Link(linkSpec spec, const char* name) : Link(name) {
    p->setSpecifier(spec);
}

Link::~Link() {
    installStreamFilter(false);
    if (p->linkRef) aLink_Destroy(&p->linkRef);
    aLinkSpec_Destroy(&p->specifier);
    if (p->packetLogger) aLogger_Destroy(&p->packetLogger);
    delete[] p->name;
    delete p;
}

aErr Link::getConfig(aLoomConfig* out) const {
    if (!out) return aErrParam;
    *out = p->config;
    return aErrNone;
}

aErr Link::setConfig(aLoomConfig config) {
    if (isConnected()) return aErrMode;
    p->config = config;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* out) const {
    if (!p->specifier) return aErrNotFound;
    if (!out) return aErrParam;
    *out = *p->specifier;
    return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec) {
    if (isConnected()) return aErrBusy;
    p->setSpecifier(spec);
    return p->specifier ? aErrNone : aErrMemory;
}

const char* Link::getName() const {
    return p->name;
}

// ---- Connection ----------------------------------------------------------------------------

linkType Link::fallbackType(linkType type, aErr result, const aLoomConfig& config) {
    bool retryable =
        result == aErrConnection || result == aErrNotFound || result == aErrInitialization;
    if (!retryable || !config.fallback) return INVALID;
    if (type == USB || type == TCPIP) return ALOOM;
    return isALOOM(type) ? USB : INVALID;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
    aErr result = p->discoveryAndConnectHelper(type, serialNumber, model);
    linkType alternate = fallbackType(type, result, p->config);
    if (alternate == INVALID) return result;
    return p->discoveryAndConnectHelper(alternate, serialNumber, model);
}

aErr Link::connect() {
    if (p->linkRef) return aErrConnection;
    return p->connectHelper();
}

aErr Link::connectThroughLinkModule(Link& router) {
    if (!router.p->linkRef) return aErrInitialization;
    if (p->linkRef) return aErrConnection;
    p->linkRef = router.p->linkRef;
    aErr err = p->connectHelper();
    // The router's reference was only lent unless the engine counted us as a user.
    if (err != aErrNone && p->linkRef == router.p->linkRef && aLink_GetUseCount(p->linkRef) < 2)
        p->linkRef = 0;
    return err;
}

bool Link::isConnected() const {
    return p->connected();
}

int Link::getStatus() const {
    return p->linkRef ? aLink_GetStatus(p->linkRef) : kNoLinkStatus;
}

aErr Link::disconnect() {
    if (p->linkRef) aLink_Destroy(&p->linkRef);
    return aErrNone;
}

aErr Link::reset() {
    aLink_Reset(p->linkRef);
    return aErrNone;
}

// ---- Exchanges -----------------------------------------------------------------------------

aErr Link::getModuleAddress(uint8_t* address) {
    if (!address) return aErrParam;
    *address = 0;
    if (!isConnected()) return aErrNotReady;
    const uint8_t none = 0;
    aErr err = p->put(aLINK_MAGIC_ADDRESS, &none, 0);
    if (err != aErrNone) return err;
    aPacket* reply = aLink_AwaitFirst(p->linkRef, MatchMagic, nullptr, kReplyTimeoutMs);
    if (!reply) return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::sendUEI(uei request) {
    aErr err = p->exchangeCheck(request.module);
    if (err != aErrNone) return err;
    uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.specifier};
    switch (request.type) {
    case ueiTypeNone:
        return p->put(request.module, data, 3);
    case ueiTypeByte:
        data[3] = request.v.byteVal;
        return p->put(request.module, data, 4);
    case ueiTypeShort:
        aUEI_StoreShort(data + 3, request.v.shortVal);
        return p->put(request.module, data, 5);
    case ueiTypeInt:
        aUEI_StoreInt(data + 3, request.v.intVal);
        return p->put(request.module, data, 7);
    case ueiTypeBytes:
        break;
    default:
        return aErrParam; // no encoding: nothing is sent
    }
    if (request.length > 0 && !request.v.bytes) return aErrParam;
    size_t offset = 0;
    uint8_t counter = 0;
    do {
        size_t chunk = std::min(kChunk, request.length - offset);
        if (chunk) memcpy(data + 3, request.v.bytes + offset, chunk);
        offset += chunk;
        bool more = offset < request.length;
        data[3 + chunk] = uint8_t((more ? 0x80 : 0) | (counter & 0x7F));
        counter = uint8_t((counter + 1) & 0x7F);
        err = p->put(request.module, data, uint8_t(chunk + 4));
    } while (err == aErrNone && offset < request.length);
    return err;
}

aErr Link::sendUEI(uei request, uint8_t subindex) {
    aErr err = p->exchangeCheck(request.module);
    if (err != aErrNone) return err;
    uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.specifier, subindex};
    switch (request.type) {
    case ueiTypeNone:
        return p->put(request.module, data, 4);
    case ueiTypeByte:
        data[4] = request.v.byteVal;
        return p->put(request.module, data, 5);
    case ueiTypeShort:
        aUEI_StoreShort(data + 4, request.v.shortVal);
        return p->put(request.module, data, 6);
    case ueiTypeInt:
        aUEI_StoreInt(data + 4, request.v.intVal);
        return p->put(request.module, data, 8);
    default:
        return aErrParam;
    }
}

bool Link::UEIFilter(const aPacket* packet, void* context) {
    uei* u = static_cast<uei*>(context);
    const uint8_t* d = packet->data;
    if (packet->address != u->module || packet->dataSize <= 2 || d[0] != u->command ||
        d[1] != u->option || (d[2] & 0x1F) != (u->specifier & 0x1F))
        return false;
    if (d[2] & 0x80) {
        u->specifier = d[2];
        u->v.byteVal = packet->dataSize > 3 ? d[3] : 0;
        return true;
    }
    switch (packet->dataSize) {
    case 3:
        u->type = ueiTypeNone;
        break;
    case 4:
        u->type = ueiTypeByte;
        u->v.byteVal = d[3];
        break;
    case 5:
        u->type = ueiTypeShort;
        u->v.shortVal = aUEI_RetrieveShort(d + 3);
        break;
    case 7:
        u->type = ueiTypeInt;
        u->v.intVal = aUEI_RetrieveInt(d + 3);
        break;
    default:
        break;
    }
    return true;
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                      uei* reply) {
    return receiveUEI(module, command, option, specifier, reply, UEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                      uei* reply, aPacketFilterProc filter) {
    if (!reply || !filter) return aErrParam;
    aErr err = p->exchangeCheck(module);
    if (err != aErrNone) return err;
    reply->module = module;
    reply->command = command;
    reply->option = option;
    reply->specifier = specifier;
    uint32_t timeout = reply->type == ueiTypeBytes && reply->length > kLongReply
                           ? kLongReplyTimeoutMs
                           : kReplyTimeoutMs;
    aPacket* packet = aLink_AwaitFirst(p->linkRef, filter, reply, timeout);
    if (!packet) return aErrTimeout;
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
    aErr err = p->exchangeCheck(module);
    if (err != aErrNone) return err;
    uei match;
    match.module = module;
    match.command = command;
    match.option = option;
    match.specifier = index;
    aLink_DrainPackets(p->linkRef, UEIFilter, &match);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
    if (length > kMaxSendPacketLength) return aErrParam;
    if (length > 0 && !data) return aErrParam;
    aErr err = p->exchangeCheck(module);
    if (err != aErrNone) return err;
    uint8_t bytes[aPACKET_MAX_DATA] = {command};
    if (length) memcpy(bytes + 1, data, length);
    p->put(module, bytes, uint8_t(length + 1));
    return aErrNone;
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data) {
    if (!length || !data || (*length > 0 && !match)) return aErrParam;
    aErr err = p->exchangeCheck(module);
    if (err != aErrNone) return err;
    CommandMatch m{*length, match};
    aPacket* packet = aLink_AwaitFirst(p->linkRef, sCommandFilter, &m, kReplyTimeoutMs);
    if (!packet) return aErrTimeout;
    *length = packet->dataSize;
    memcpy(data, packet->data, packet->dataSize);
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool on) {
    return aLink_EnablePooledPackets(p->linkRef, on);
}

// ---- Packet log ----------------------------------------------------------------------------

aErr Link::enablePacketLog(const char* fileName) {
    if (!p->linkRef) return aErrConfiguration;
    aErr err = aLink_PacketDebug_Enable(p->linkRef);
    if (err != aErrNone) return err;
    // A logger made for an earlier connection reads the wrong link.
    if (p->packetLogger && p->loggerLinkRef != p->linkRef) aLogger_Destroy(&p->packetLogger);
    if (!p->packetLogger) {
        p->packetLogger = aLogger_Create(p->linkRef, sLogReader, fileName);
        if (!p->packetLogger) return aErrResource;
        p->loggerLinkRef = p->linkRef;
    }
    err = aLogger_Enable(p->packetLogger);
    if (err != aErrNone) return err;
    static const char kStart[] = "START";
    return aLink_PacketDebug_Write(p->linkRef, aPACKETLOG_TEXT, sizeof kStart,
                                   reinterpret_cast<const uint8_t*>(kStart));
}

aErr Link::disablePacketLog() {
    if (!p->linkRef) return aErrConfiguration;
    aErr err = aLink_PacketDebug_Disable(p->linkRef);
    if (p->packetLogger) aLogger_Disable(p->packetLogger);
    return err;
}

// ---- Stream value cache --------------------------------------------------------------------

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                               uint8_t subindex) {
    return uint64_t(subindex) << 32 | uint64_t(module) << 24 | uint64_t(command) << 16 |
           uint64_t(option) << 8 | index;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value) {
    if (!value) return aErrParam;
    std::lock_guard<std::mutex> g(p->cacheMutex);
    auto e = p->streamCache.find(createStreamKey(module, command, option, index, subindex));
    if (e == p->streamCache.end()) return aErrNotFound;
    *value = e->second.lastValue;
    if (!e->second.fresh) return aErrStreamStale;
    e->second.fresh = false;
    return aErrNone;
}

aErr Link::registerStreamCallback(uint64_t key, StreamCallback callback, void* context) {
    std::lock_guard<std::mutex> g(p->cacheMutex);
    StreamEntry& e = p->streamCache[key];
    e.key = key;
    e.callback = std::move(callback);
    e.context = context;
    return aErrNone;
}

aErr Link::installStreamFilter(bool on) {
    if (on) {
        aErr err = aLink_InstallUserPacketFilter(p->linkRef, impl::streamFilter, p);
        if (err != aErrNone || p->asyncWorker.joinable()) return err;
        p->asyncWorker = std::thread(&impl::asyncWork, p, p->stopSignal.get_future());
        return aErrNone;
    }
    // Once the filter is gone the reader queues nothing more.
    if (p->linkRef) aLink_InstallUserPacketFilter(p->linkRef, nullptr, nullptr);
    {
        std::lock_guard<std::mutex> g(p->cacheMutex);
        p->streamCache.clear();
    }
    if (p->asyncWorker.joinable()) {
        p->stopSignal.set_value();
        // Joined, not left running: it uses this object, which may be going away.
        p->asyncWorker.join();
        p->stopSignal = std::promise<void>();
    }
    asyncPacket left;
    while (p->asyncQueue.pop(left))
        aPacket_Destroy(&left.packet);
    return aErrNone;
}

} // namespace Pelmora::Corvane
