// SimModule - one simulated module: what it answers, as packets in and packets out
#include "SimModule.h"

#include <algorithm>

#include "FirmwareStamp.h"
#include "aError.h"
#include "aUEI.h"
#include "aVersion.h"

namespace {

constexpr uint8_t kCmdHeartbeat = 0;
constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kCmdI2C = 8;
constexpr uint8_t kCmdEcho = 23;
constexpr uint8_t kCmdInfo = 0x49;
constexpr uint8_t kCmdStore = 92;
constexpr uint8_t kCmdUpgrade = 0x5F;

enum : uint8_t { kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5 };
enum : uint8_t { kReboot = 6, kStatus = 7, kDataUei = 10 };

enum class Kind { U8, U32, Bytes, Call };
enum : uint8_t { kGet = 1, kSet = 2 };

struct OptionInfo {
    uint8_t option;
    Kind kind;
    uint8_t access;
    uint32_t initial;
};

// Every option of the system entity. Values computed from the configuration or the
// module's state (address, version, serial, ...) are filled in by getSystem.
const OptionInfo kSystemOptions[] = {
    {1, Kind::U8, kGet, 0},
    {2, Kind::U8, kGet | kSet, 0},
    {3, Kind::U8, kGet | kSet, 0},
    {4, Kind::U8, kGet | kSet, 0},
    {6, Kind::U8, kGet | kSet, 0},
    {7, Kind::U32, kGet, 0},
    {8, Kind::U8, kGet, 0},
    {9, Kind::U32, kGet, 0},
    {10, Kind::Call, kSet, 0},
    {11, Kind::Call, kSet, 0},
    {12, Kind::U32, kGet, 5000000},
    {13, Kind::U8, kGet, 0},
    {14, Kind::U8, kGet, 0},
    {15, Kind::U8, kGet | kSet, 0},
    {16, Kind::U8, kGet, 0},
    {20, Kind::U8, kGet | kSet, 0},
    {21, Kind::U32, kGet, 250000},
    {22, Kind::U32, kGet, 0},
    {23, Kind::U32, kGet, 45000000},
    {24, Kind::Call, kSet, 0},
    {25, Kind::U32, kGet, 5000000},
    {26, Kind::U32, kGet, 250000},
    {27, Kind::U32, kGet, 35000000},
    {28, Kind::U32, kGet, 20000000},
    {29, Kind::U8, kGet, 1},
    {30, Kind::U8, kGet | kSet, 0},
    {31, Kind::Bytes, kGet | kSet, 0},
    {32, Kind::Bytes, kGet | kSet, 0},
    {33, Kind::U32, kGet, 15000000},
    {34, Kind::U32, kGet | kSet, 15000000},
    {35, Kind::U32, kGet, 0},
    {37, Kind::Call, kSet, 0},
    {38, Kind::U8, kGet | kSet, 0},
    {40, Kind::U32, kGet, 1},
    {41, Kind::U32, kGet, 0},
    {42, Kind::U8, kGet | kSet, 255},
    {43, Kind::U32, kGet, 0},
    {45, Kind::U32, kGet, 0},
};

const OptionInfo* findOption(uint8_t option) {
    for (const auto& o : kSystemOptions)
        if (o.option == option) return &o;
    return nullptr;
}

// Entity classes the module has: command, instances, subclass count, group.
struct EntityInfo {
    uint8_t command, count, subclasses, group;
};
const EntityInfo kEntities[] = {
    {kCmdSystem, 1, 0, 0}, {kCmdI2C, 1, 0, 1}, {kCmdStore, 1, 0, 2}, {kCmdUpgrade, 1, 0, 3}};

const EntityInfo* findEntity(uint8_t command) {
    for (const auto& e : kEntities)
        if (e.command == command) return &e;
    return nullptr;
}

constexpr size_t kBytesMax = 4096; // longest byte value a module keeps
constexpr size_t kChunkBytes = 24; // value bytes per packet of a byte value
constexpr size_t kI2CMax = 23;     // data bytes of one I2C transaction

} // namespace

SimModule::SimModule(const SimModuleConfig& config) : cfg(config) {
    if (cfg.version == 0) cfg.version = aVersion_Pack(2, 12, 0);
    for (const auto& o : kSystemOptions)
        if (o.access & kSet && o.kind != Kind::Call) factory[o.option].number = o.initial;
    factory[2].number = cfg.router;
    factory[3].number = cfg.heartbeat;
    factory[32].bytes.assign(cfg.name.begin(), cfg.name.end());
    values = saved = factory;
}

std::string SimModule::name() const {
    const auto& b = values.at(32).bytes;
    return std::string(b.begin(), b.end());
}

uint32_t SimModule::serial() const {
    return loaderRunning && cfg.afterLoad == SimAfterLoad::DeadBeef ? kLoaderSerial : cfg.serial;
}

bool SimModule::routing() const {
    return values.at(20).number != 0;
}

bool SimModule::attach(SimModule* child) {
    uint8_t a = child ? child->address() : 0;
    if (a == 0 || a & 1 || a == cfg.address || bus.count(a)) return false;
    bus[a] = child;
    return true;
}

SimModule* SimModule::answererFor(uint8_t address) {
    if (address == cfg.address || address == kMagicAddress || address == kForceRouteAddress)
        return this;
    auto it = bus.find(address);
    return it != bus.end() && routing() ? it->second : nullptr;
}

void SimModule::linkOpened(uint64_t nowMs) {
    linkUp = true;
    hbOutstanding = -1;
    nextHbMs = nowMs + values[3].number * 100u;
    if (startMs == 0) startMs = nowMs;
}

void SimModule::linkClosed() {
    linkUp = false;
}

uint64_t SimModule::nextTickMs() const {
    return linkUp && values.at(3).number ? nextHbMs : UINT64_MAX;
}

SimResult SimModule::tick(uint64_t nowMs) {
    SimResult r;
    uint32_t interval = values[3].number * 100u;
    if (!linkUp || interval == 0 || nowMs < nextHbMs) return r;
    // Heartbeats alternate between "up" (0) and "down" (1); the host answers v + 2.
    hbOutstanding = hbNext;
    reply(r, {kCmdHeartbeat, hbNext});
    hbNext ^= 1;
    hbSent++;
    nextHbMs = nowMs + interval;
    return r;
}

void SimModule::heartbeatAnswer(const SimPacket& in) {
    if (hbOutstanding >= 0 && in.data[1] == hbOutstanding + 2) {
        hbAnswered++;
        hbOutstanding = -1;
    } else {
        hbWrong++;
    }
}

void SimModule::reply(SimResult& r, std::vector<uint8_t> data) {
    r.replies.push_back({cfg.address, std::move(data)});
}

void SimModule::errorReply(SimResult& r, uint8_t command, uint8_t option, uint8_t index,
                           uint8_t err) {
    reply(r, {command, option, uint8_t(index | aUEI_INDEX_ERROR), err});
}

void SimModule::bytesReply(SimResult& r, uint8_t command, uint8_t option, uint8_t index,
                           const std::vector<uint8_t>& bytes) {
    size_t at = 0;
    uint8_t sequence = 0;
    do {
        size_t n = std::min(kChunkBytes, bytes.size() - at);
        std::vector<uint8_t> d{command, option, index};
        d.insert(d.end(), bytes.begin() + long(at), bytes.begin() + long(at + n));
        at += n;
        d.push_back(uint8_t((sequence++ & 0x7F) | (at < bytes.size() ? 0x80 : 0)));
        reply(r, std::move(d));
    } while (at < bytes.size());
}

void SimModule::filterReplies(SimResult& r) {
    auto& f = cfg.faults;
    if (f.dropReplies <= 0 || f.dropReplyPrefix.empty()) return;
    auto& list = r.replies;
    for (auto it = list.begin(); it != list.end() && f.dropReplies > 0;) {
        const auto& p = f.dropReplyPrefix;
        bool match =
            it->data.size() >= p.size() && std::equal(p.begin(), p.end(), it->data.begin());
        if (match) {
            it = list.erase(it);
            f.dropReplies--;
        } else {
            ++it;
        }
    }
}

SimResult SimModule::handle(const SimPacket& in, uint64_t nowMs) {
    SimResult r;
    if (in.address == kMagicAddress) {
        if (in.data.empty()) reply(r, {});
        return r;
    }
    if (in.address == kForceRouteAddress) {
        if (in.data.size() == 1) forceRouteValue = in.data[0];
        return r;
    }
    if (in.address != cfg.address || in.data.empty()) return r;
    switch (in.data[0]) {
    case kCmdHeartbeat:
        if (in.data.size() == 2) heartbeatAnswer(in);
        break;
    case kCmdSystem:
        system(in, nowMs, r);
        break;
    case kCmdStore:
        store(in, r);
        break;
    case kCmdUpgrade:
        upgrade(in, r);
        break;
    case kCmdInfo:
        info(in, r);
        break;
    case kCmdI2C:
        i2c(in, r);
        break;
    case kCmdEcho:
        reply(r, in.data);
        break;
    default: {
        // Another entity class: a UEI request gets an error reply, anything else is
        // traffic this module has no part in.
        if (in.data.size() >= 3 && (in.data[2] & aUEI_INDEX_HOST) &&
            !(in.data[1] & aUEI_OPTION_GET && in.data[1] & aUEI_OPTION_SET)) {
            uint8_t op = in.data[1] & aUEI_OPTION_SET ? in.data[1] | 0xC0 : in.data[1] & 0x3F;
            errorReply(r, in.data[0], op, in.data[2] & aUEI_INDEX_MASK, aErrInvalidEntity);
        }
    }
    }
    filterReplies(r);
    return r;
}

// Gathers the packets of a byte value sent to the module. Answers true when the run
// ended and done holds the whole value; errors are answered here.
bool SimModule::collectBytes(const SimPacket& in, SimResult& r, std::vector<uint8_t>& done) {
    const auto& d = in.data;
    uint8_t reply = d[1] | 0xC0, index = d[2] & aUEI_INDEX_MASK;
    uint8_t trailer = d.back();
    bool fresh = !run.active || run.command != d[0] || run.option != d[1] || run.index != index;
    if (fresh) run = BytesRun{d[0], d[1], index, 0, {}, true};
    if ((trailer & 0x7F) != run.next || d.size() < 4) {
        run.active = false;
        errorReply(r, d[0], reply, index, aErrPacket);
        return false;
    }
    run.bytes.insert(run.bytes.end(), d.begin() + 3, d.end() - 1);
    run.next = (run.next + 1) & 0x7F;
    if (run.bytes.size() > kBytesMax) {
        run.active = false;
        errorReply(r, d[0], reply, index, aErrOverrun);
        return false;
    }
    if (trailer & 0x80) return false;
    run.active = false;
    done = std::move(run.bytes);
    return true;
}

bool SimModule::getSystem(uint8_t option, uint64_t nowMs, Value& out) const {
    switch (option) {
    case 1:
        out.number = cfg.address;
        return true;
    case 7:
        out.number = cfg.version;
        return true;
    case 8:
        out.number = cfg.model;
        return true;
    case 9:
        out.number = serial();
        return true;
    case 14:
        out.number = cfg.address;
        return true;
    case 16:
        out.number = values.at(2).number;
        return true;
    case 22:
        out.number = uint32_t((nowMs - std::min(nowMs, startMs)) / 1000);
        return true;
    case 43:
        out.number = cfg.build;
        return true;
    case 45:
        out.number = cfg.features;
        return true;
    }
    auto it = values.find(option);
    if (it != values.end()) {
        out = it->second;
        return true;
    }
    const OptionInfo* o = findOption(option);
    if (!o) return false;
    out.number = o->initial;
    return true;
}

void SimModule::system(const SimPacket& in, uint64_t nowMs, SimResult& r) {
    const auto& d = in.data;
    if (d.size() < 3) return;
    uint8_t option = d[1] & aUEI_OPTION_MASK, index = d[2] & aUEI_INDEX_MASK;
    bool get = d[1] & aUEI_OPTION_GET, set = d[1] & aUEI_OPTION_SET;
    if (get == set) return; // a reply or a stream packet: not a request
    uint8_t replyOption = set ? uint8_t(option | 0xC0) : option;
    const OptionInfo* o = findOption(option);
    if (index != 0) return errorReply(r, d[0], replyOption, index, aErrIndexRange);
    if (!o || cfg.lacks.count(option) || !(o->access & (set ? kSet : kGet)))
        return errorReply(r, d[0], replyOption, index, aErrInvalidOption);
    if (set) {
        if (o->kind == Kind::Bytes) {
            std::vector<uint8_t> value;
            if (collectBytes(in, r, value))
                setSystem(option, value.data(), value.size(), true, r, index);
            return;
        }
        return setSystem(option, d.data() + 3, d.size() - 3, false, r, index);
    }
    Value v;
    getSystem(option, nowMs, v);
    if (o->kind == Kind::Bytes) return bytesReply(r, d[0], option, index, v.bytes);
    std::vector<uint8_t> out{d[0], option, index};
    if (o->kind == Kind::U8) {
        out.push_back(uint8_t(v.number));
    } else {
        out.resize(7);
        aUEI_StoreInt(out.data() + 3, v.number);
    }
    reply(r, std::move(out));
}

void SimModule::setSystem(uint8_t option, const uint8_t* value, size_t length, bool bytes,
                          SimResult& r, uint8_t index) {
    const OptionInfo* o = findOption(option);
    uint8_t replyOption = option | 0xC0;
    if (o->kind == Kind::Call) {
        callSystem(option);
    } else if (bytes) {
        values[option].bytes.assign(value, value + length);
    } else {
        size_t want = o->kind == Kind::U8 ? 1 : 4;
        if (length != want) return errorReply(r, kCmdSystem, replyOption, index, aErrSize);
        uint32_t v = want == 1 ? value[0] : aUEI_RetrieveInt(value);
        if (option == 20 && v > 1) return errorReply(r, kCmdSystem, replyOption, index, aErrRange);
        values[option].number = v;
        if (option == 3) nextHbMs = 0; // a new interval starts at once
    }
    reply(r, {kCmdSystem, replyOption, index});
}

void SimModule::callSystem(uint8_t option) {
    switch (option) {
    case 10: // save
        saved = values;
        break;
    case 11: // reset: the module restarts with what it saved; the link is kept
        values = saved;
        values[20].number = 0;
        break;
    case 37: // factory defaults, not saved until the next save
        values = factory;
        break;
    }
}

void SimModule::store(const SimPacket& in, SimResult& r) {
    const auto& d = in.data;
    if (d.size() < 3 || !(d[1] & aUEI_OPTION_SET) || (d[1] & aUEI_OPTION_GET)) return;
    uint8_t option = d[1] & aUEI_OPTION_MASK, index = d[2] & aUEI_INDEX_MASK;
    uint8_t replyOption = option | 0xC0;
    if (index != 0) return errorReply(r, kCmdStore, replyOption, index, aErrIndexRange);
    if (option > 2) return errorReply(r, kCmdStore, replyOption, index, aErrInvalidOption);
    if (d.size() != 7) return errorReply(r, kCmdStore, replyOption, index, aErrSize);
    uint32_t target = aUEI_RetrieveInt(d.data() + 3);
    const EntityInfo* e = findEntity(uint8_t(target >> 8));
    if (target > 0xFFFF || !e || (target & 0xFF) >= e->count)
        return errorReply(r, kCmdStore, replyOption, index, aErrInvalidEntity);
    if (e->command == kCmdSystem) {
        if (option == 0) saved = values;
        if (option == 1) values = factory;
        if (option == 2) values = saved;
    }
    reply(r, {kCmdStore, replyOption, index});
}

void SimModule::info(const SimPacket& in, SimResult& r) {
    const auto& d = in.data;
    if (d.size() == 2 && d[1] == 0xFF) {
        std::vector<uint8_t> out{kCmdInfo, 0xFF, 0, 0, 0, 0};
        aUEI_StoreInt(out.data() + 2, cfg.build);
        return reply(r, std::move(out));
    }
    if (d.size() == 6 && d[1] == 1) {
        // has-UEI: flags 0x40 ask about a get, 0x80 about a set, 0 about either.
        uint8_t command = d[2], option = d[3], index = d[4], flags = d[5];
        const EntityInfo* e = findEntity(command);
        uint8_t result = aErrNone;
        if (!e) {
            result = aErrInvalidEntity;
        } else if (index >= e->count) {
            result = aErrIndexRange;
        } else if (command == kCmdSystem) {
            const OptionInfo* o = findOption(option);
            uint8_t need = flags & 0x40 ? kGet : flags & 0x80 ? kSet : (kGet | kSet);
            if (!o || cfg.lacks.count(option) || !(o->access & need)) result = aErrInvalidOption;
        } else if (command == kCmdUpgrade) {
            bool ok = option == kDataUei && cfg.ueiBytes && !(flags & 0x40);
            if (!ok) result = aErrInvalidOption;
        } else if (command == kCmdStore) {
            if (option > 2 || flags & 0x40) result = aErrInvalidOption;
        } else {
            result = aErrInvalidOption; // the I2C entity speaks raw packets only
        }
        return reply(r, {kCmdInfo, 1, command, option, index, result});
    }
    if ((d.size() == 3 && d[1] == 4) || (d.size() == 4 && (d[1] == 5 || d[1] == 6))) {
        const EntityInfo* e = findEntity(d[2]);
        uint8_t value = 0;
        if (d[1] == 4) value = e ? e->count : 0;
        if (d[1] == 5) value = e && d[3] < e->count ? e->subclasses : 0;
        if (d[1] == 6) value = e && d[3] < e->count ? e->group : 0;
        std::vector<uint8_t> out(d.begin(), d.end());
        out.push_back(value);
        return reply(r, std::move(out));
    }
}

void SimModule::i2c(const SimPacket& in, SimResult& r) {
    const auto& d = in.data;
    if (d.size() < 4) return;
    uint8_t index = d[1], address = d[2];
    auto fail = [&](uint8_t err) { reply(r, {kCmdI2C, index, address, 0, uint8_t(0x80 | err)}); };
    if (d.size() == 4 && address == 1) { // pull-up
        if (index != 0) return fail(aErrIndexRange);
        pullup = d[3];
        return reply(r, {kCmdI2C, index, 1, pullup, 0});
    }
    if (d.size() < 5) return;
    if (index != 0) return fail(aErrIndexRange);
    uint8_t length = d[3];
    auto it = bus.find(uint8_t(address & 0xFE));
    if (length > kI2CMax) return fail(aErrSize);
    if (address & 1) { // read
        if (it == bus.end()) return fail(aErrIO);
        std::vector<uint8_t> out{kCmdI2C, index, address, length, 0};
        const auto& mem = it->second->i2cMemory;
        for (size_t i = 0; i < length; i++)
            out.push_back(i < mem.size() ? mem[i] : 0);
        return reply(r, std::move(out));
    }
    if (d.size() < size_t(5 + length)) return fail(aErrShortCommand);
    if (it == bus.end()) return fail(aErrIO); // nobody acknowledges the address
    it->second->i2cMemory.assign(d.begin() + 5, d.begin() + 5 + length);
    reply(r, {kCmdI2C, index, address, 0, 0});
}

void SimModule::status(SimResult& r, uint8_t code, std::vector<uint8_t> extra) {
    std::vector<uint8_t> out{kCmdUpgrade, kStatus, code};
    out.insert(out.end(), extra.begin(), extra.end());
    reply(r, std::move(out));
}

// Counts a DATA packet towards the mid-transfer drop; true when the link drops now.
bool SimModule::dataArrived(SimResult& r) {
    auto& f = cfg.faults;
    if (f.dropAfterData <= 0 || --f.dropAfterData > 0) return false;
    r.dropLink = true;
    blockOpen = false;
    chunk.clear();
    run.active = false;
    return true;
}

void SimModule::upgrade(const SimPacket& in, SimResult& r) {
    const auto& d = in.data;
    if (d.size() < 2) return;
    if (d[1] == (kDataUei | aUEI_OPTION_SET)) return dataUei(in, r);
    auto& blocks = loaderRunning ? incomingBlocks : incomingLoader;
    switch (d[1]) {
    case kInit: {
        if (loaderRunning) return;
        std::vector<uint8_t> out{kCmdUpgrade, kInit, 0, 0, 0, 0};
        aUEI_StoreInt(out.data() + 2, cfg.loadBase);
        return reply(r, std::move(out));
    }
    case kPrepare: {
        if (d.size() < 7) return status(r, 1, {0, 0});
        if (cfg.faults.refusePrepares > 0) {
            cfg.faults.refusePrepares--;
            return status(r, 1, {0, 0});
        }
        uint32_t address = aUEI_RetrieveInt(d.data() + 3);
        auto it = std::find_if(blocks.begin(), blocks.end(),
                               [&](const SimBlock& b) { return b.address == address; });
        if (it == blocks.end()) it = blocks.insert(blocks.end(), SimBlock{address, d[2], {}});
        it->flags = d[2];
        it->bytes.clear(); // a retried block starts again
        current = size_t(it - blocks.begin());
        blockOpen = true;
        sum = 0;
        chunk.clear();
        return status(r, 0, {uint8_t(cfg.chunkSize >> 8), uint8_t(cfg.chunkSize)});
    }
    case kData: {
        if (dataArrived(r)) return;
        if (!blockOpen) return reply(r, {kCmdUpgrade, kData, 0});
        for (size_t i = 2; i < d.size(); i++)
            sum += d[i];
        auto& target = loaderRunning ? chunk : blocks[current].bytes;
        target.insert(target.end(), d.begin() + 2, d.end());
        return reply(r, {kCmdUpgrade, kData, uint8_t(d.size() - 2)});
    }
    case kSum: {
        uint32_t reported = sum;
        if (cfg.faults.corruptSums > 0) {
            cfg.faults.corruptSums--;
            reported ^= 0x5A;
        }
        sum = 0;
        std::vector<uint8_t> extra(4);
        aUEI_StoreInt(extra.data(), reported);
        return status(r, blockOpen ? 0 : 1, extra);
    }
    case kWrite: {
        uint32_t length = d.size() >= 4 ? aUEI_RetrieveShort(d.data() + 2) : 0xFFFFFFFF;
        bool ok = loaderRunning && blockOpen && length == chunk.size();
        if (ok) {
            auto& b = blocks[current].bytes;
            b.insert(b.end(), chunk.begin(), chunk.end());
        }
        chunk.clear();
        sum = 0; // the next chunk is counted afresh, written or not
        return status(r, ok ? 0 : 1);
    }
    case kLoad: {
        if (loaderRunning) return;
        if (!cfg.faults.noLoadReply) reply(r, {kCmdUpgrade, kLoad});
        loaderBlocks = incomingLoader;
        incomingLoader.clear();
        incomingBlocks.clear();
        loaderRunning = true;
        blockOpen = false;
        r.loaderStarted = true;
        r.dropLink = cfg.afterLoad != SimAfterLoad::Keep;
        return;
    }
    case kReboot:
        if (loaderRunning) startFirmware(r);
        return;
    }
}

void SimModule::dataUei(const SimPacket& in, SimResult& r) {
    const auto& d = in.data;
    uint8_t replyOption = kDataUei | 0xC0, index = d.size() > 2 ? d[2] & aUEI_INDEX_MASK : 0;
    if (d.size() < 4) return;
    if (!cfg.ueiBytes || !loaderRunning)
        return errorReply(r, kCmdUpgrade, replyOption, index, aErrInvalidOption);
    if (dataArrived(r)) return;
    std::vector<uint8_t> value;
    if (!collectBytes(in, r, value)) return;
    if (!blockOpen) return errorReply(r, kCmdUpgrade, replyOption, index, aErrMode);
    for (uint8_t b : value)
        sum += b;
    chunk.insert(chunk.end(), value.begin(), value.end());
    reply(r, {kCmdUpgrade, replyOption, index});
}

void SimModule::startFirmware(SimResult& r) {
    firmwareBlocks = incomingBlocks;
    incomingBlocks.clear();
    loaderRunning = false;
    blockOpen = false;
    for (const auto& b : firmwareBlocks) {
        auto stamp = FirmwareStamp_Find(b.bytes.data(), b.bytes.size());
        if (!stamp) continue;
        cfg.version = stamp->packedVersion;
        cfg.build = stamp->build;
        break;
    }
    r.firmwareStarted = true;
    r.dropLink = true;
}
