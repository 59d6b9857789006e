// Entity - one entity instance of a module and the UEI exchanges that reach its options
#include "Entity.h"

#include <cstring>
#include <type_traits>

#include "Module.h"

namespace Pelmora::Corvane {

namespace {

constexpr uint8_t kCmdStore = 92;
enum : uint8_t { kStoreSave = 0, kStoreReset = 1, kStoreLoad = 2 };
constexpr uint8_t kReplyToHost = 0x20;
constexpr uint8_t kErrorReply = 0x80;
constexpr uint8_t kIndexBits = 0x1F;
constexpr uint8_t kOptionBits = 0x3F;
constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kSetReply = 0xC0;
// Packets of a run still taken after the value overflowed, so that the rest of a long
// run does not stay queued for the next get of the same option.
constexpr size_t kDiscardPackets = 4096;

// A byte value being received. The uei comes first so the link, which hands the filter
// the uei it was given, hands it this record.
struct BytesReply {
    uei u;
    bool overflow = false; // the value did not fit: the rest of the run is only consumed
};
static_assert(std::is_standard_layout_v<BytesReply>);

bool isError(const uei& u) {
    return u.specifier & kErrorReply;
}

// Takes the next packet of a byte-value run, in sequence order only. Sequence numbers
// are 7 bits on the wire, so the expected one wraps with them.
bool bytesFilter(const aPacket* packet, void* context) {
    auto* r = reinterpret_cast<BytesReply*>(context);
    uei& u = r->u;
    const uint8_t* d = packet->data;
    if (packet->address != u.module || packet->dataSize <= 2 || d[0] != u.command ||
        d[1] != u.option || (d[2] & kIndexBits) != (u.specifier & kIndexBits))
        return false;
    if (d[2] & kErrorReply) {
        u.specifier = d[2];
        u.v.byteVal = packet->dataSize > 3 ? d[3] : uint8_t(aErrUnknown);
        return true;
    }
    if (packet->dataSize < 4) return false; // no trailer: not part of a run
    uint8_t trailer = d[packet->dataSize - 1];
    if ((trailer & 0x7F) != (u.sequence & 0x7F)) return false;
    size_t payload = packet->dataSize - 4u;
    u.more = (trailer & 0x80) != 0;
    if (r->overflow) return true;
    if (*u.received + payload > u.length) {
        r->overflow = true;
        return true;
    }
    memcpy(u.v.bytes, d + 3, payload);
    u.v.bytes += payload;
    *u.received += payload;
    return true;
}

uint32_t replyValue(const uei& u) {
    switch (u.type) {
    case ueiTypeByte:
        return u.v.byteVal;
    case ueiTypeShort:
        return u.v.shortVal;
    default:
        return u.v.intVal;
    }
}

} // namespace

struct EntityClass::impl {
    EntityClass* owner;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;

    Link* link() const { return module ? module->getLink() : nullptr; }
    uint8_t address() const { return module->getModuleAddress(); }
    uei request(uint8_t option) const {
        uei u;
        u.module = address();
        u.command = command;
        u.option = option;
        u.specifier = uint8_t(index | kReplyToHost);
        return u;
    }
    aErr exchange(uint8_t option, uei* value, bool set, const uint8_t* subindex);
    template <typename T> aErr getTyped(uint8_t option, const uint8_t* subindex, T* out);
    aErr setTyped(uint8_t option, const uint8_t* subindex, uint32_t type, uint32_t value);
    aErr storeOperation(uint8_t operation);
};

// One request and its single reply. The stream cache is looked at first for gets; it is
// only ever filled by streaming.
aErr EntityClass::impl::exchange(uint8_t option, uei* value, bool set, const uint8_t* subindex) {
    Link* l = link();
    if (!l) return aErrResource;
    if (!value) return aErrParam;
    uint8_t bare = option & kOptionBits;
    if (!set) {
        uint32_t cached = 0;
        uint8_t sub = value->type == ueiTypeByte ? value->v.byteVal : 0;
        aErr hit = l->getStreamValue(address(), command, bare, index, sub, &cached);
        if (hit == aErrNone || hit == aErrStreamStale) {
            value->type = ueiTypeInt;
            value->v.intVal = cached;
            return hit;
        }
    }
    uei req = *value;
    req.module = address();
    req.command = command;
    req.option = uint8_t(bare | (set ? kSet : kGet));
    req.specifier = uint8_t(index | kReplyToHost);
    aErr err = subindex ? l->sendUEI(req, *subindex) : l->sendUEI(req);
    if (err != aErrNone) return err;
    err = l->receiveUEI(address(), command, uint8_t(set ? bare | kSetReply : bare), index, value);
    if (err == aErrNone && isError(*value)) return aErr(value->v.byteVal);
    return err;
}

template <typename T>
aErr EntityClass::impl::getTyped(uint8_t option, const uint8_t* subindex, T* out) {
    if (!link()) return aErrResource;
    if (!out) return aErrParam;
    uei value;
    if (subindex) {
        value.type = ueiTypeByte;
        value.v.byteVal = *subindex;
    }
    aErr err = exchange(option, &value, false, nullptr);
    if (err == aErrNone || err == aErrStreamStale) *out = T(replyValue(value));
    return err;
}

aErr EntityClass::impl::setTyped(uint8_t option, const uint8_t* subindex, uint32_t type,
                                 uint32_t value) {
    uei u;
    u.type = type;
    if (type == ueiTypeByte) u.v.byteVal = uint8_t(value);
    if (type == ueiTypeShort) u.v.shortVal = uint16_t(value);
    if (type == ueiTypeInt) u.v.intVal = value;
    return exchange(option, &u, true, subindex);
}

aErr EntityClass::impl::storeOperation(uint8_t operation) {
    if (!link()) return aErrResource;
    EntityClass store;
    store.init(module, kCmdStore, 0);
    return store.setUEI32(operation, uint32_t(command) << 8 | index);
}

// ---- Binding -------------------------------------------------------------------------------

EntityClass::EntityClass() : p(new impl{this}) {}

EntityClass::~EntityClass() {
    delete p;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    p->module = module;
    p->command = command;
    p->index = index;
}

uint8_t EntityClass::getIndex() const {
    return p->index;
}

Module* EntityClass::getModule() const {
    return p->module;
}

// ---- Core exchanges ------------------------------------------------------------------------

aErr EntityClass::getUEI(uint8_t option, uei* value) {
    // A byte-typed value is the subindex and travels as the request's value.
    return p->exchange(option, value, false, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uei* value) {
    return p->exchange(option, value, true, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* value) {
    return p->exchange(option, value, true, &subindex);
}

aErr EntityClass::callUEI(uint8_t option) {
    uei none;
    return p->exchange(option, &none, true, nullptr);
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    Link* l = p->link();
    return l ? l->sendPacket(p->address(), command, length, data) : aErrResource;
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data) {
    Link* l = p->link();
    return l ? l->receivePacket(p->address(), match, length, data) : aErrResource;
}

// ---- Typed forms ---------------------------------------------------------------------------

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    return p->setTyped(option, nullptr, ueiTypeByte, value);
}
aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    return p->setTyped(option, &subindex, ueiTypeByte, value);
}
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    return p->setTyped(option, nullptr, ueiTypeShort, value);
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    return p->setTyped(option, &subindex, ueiTypeShort, value);
}
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    return p->setTyped(option, nullptr, ueiTypeInt, value);
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    return p->setTyped(option, &subindex, ueiTypeInt, value);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
    if (length > 0 && !data) return aErrParam;
    uei u;
    u.type = ueiTypeBytes;
    u.v.bytes = const_cast<uint8_t*>(data); // only read when sending
    u.length = length;
    return p->exchange(option, &u, true, nullptr);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* out) {
    return p->getTyped(option, nullptr, out);
}
aErr EntityClass::getUEI16(uint8_t option, uint16_t* out) {
    return p->getTyped(option, nullptr, out);
}
aErr EntityClass::getUEI32(uint8_t option, uint32_t* out) {
    return p->getTyped(option, nullptr, out);
}
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* out) {
    return p->getTyped(option, &subindex, out);
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* out) {
    return p->getTyped(option, &subindex, out);
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* out) {
    return p->getTyped(option, &subindex, out);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received) {
    Link* l = p->link();
    if (!l) return aErrResource;
    if (!buffer || !received || capacity == 0) return aErrParam;
    *received = 0;
    uint8_t bare = option & kOptionBits;
    uei req = p->request(uint8_t(bare | kGet));
    aErr err = l->sendUEI(req);
    if (err != aErrNone) return err;
    BytesReply r;
    r.u.type = ueiTypeBytes;
    r.u.length = capacity;
    r.u.v.bytes = buffer;
    r.u.received = received;
    // Every packet but the last carries at least one byte, so the bound only stops a
    // module that never ends its run.
    for (size_t packets = 0; packets <= capacity + kDiscardPackets; packets++) {
        err = l->receiveUEI(p->address(), p->command, bare, p->index, &r.u, bytesFilter);
        if (err != aErrNone) return r.overflow ? aErrMemory : err;
        if (isError(r.u)) return aErr(r.u.v.byteVal);
        if (!r.u.more) return r.overflow ? aErrMemory : aErrNone;
        r.u.sequence = uint8_t((r.u.sequence + 1) & 0x7F);
    }
    return r.overflow ? aErrMemory : aErrPacket;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize) {
    if (!count) return aErrParam;
    if (unitSize == 0 ? *count != 0 : *count % unitSize != 0) return aErr(1);
    if (unitSize != 0) *count /= unitSize;
    return aErrNone;
}

// ---- Other operations ----------------------------------------------------------------------

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* out) {
    Link* l = p->link();
    if (!l) return aErrResource;
    if (!out) return aErrParam;
    uei value;
    aErr err = l->receiveUEI(p->address(), p->command, option & kOptionBits, p->index, &value);
    if (err != aErrNone) return err;
    if (isError(value)) return aErr(value.v.byteVal);
    *out = replyValue(value);
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
    Link* l = p->link();
    if (!l) return aErrResource;
    return l->dropMatchingUEIPackets(p->address(), p->command, option, p->index);
}

aErr EntityClass::saveEntityToStore() {
    return p->storeOperation(kStoreSave);
}
aErr EntityClass::resetEntityToFactoryDefaults() {
    return p->storeOperation(kStoreReset);
}
aErr EntityClass::loadEntityFromStore() {
    return p->storeOperation(kStoreLoad);
}

aErr EntityClass::setStreamEnabled(bool on) {
    Link* l = p->link();
    return l ? l->installStreamFilter(on) : aErrResource;
}

aErr EntityClass::registerOptionCallback(uint8_t option, StreamCallback callback, void* context) {
    Link* l = p->link();
    if (!l) return aErrResource;
    uint64_t key = Link::createStreamKey(p->address(), p->command, option, p->index, 0);
    return l->registerStreamCallback(key, std::move(callback), context);
}

aErr EntityClass::getStreamStatus(uint8_t option, uint32_t* value) {
    Link* l = p->link();
    if (!l) return aErrResource;
    if (!value) return aErrParam;
    return l->getStreamValue(p->address(), p->command, option, p->index, 0, value);
}

} // namespace Pelmora::Corvane
