// Entity - one entity instance of a module and the UEI exchanges that reach its options
#pragma once

#include <cstddef>
#include <cstdint>

#include "Link.h"
#include "aError.h"

namespace Pelmora::Corvane {

class Module;

// Binds an entity class (command) and an instance (index) to a module. Every operation
// answers aErrResource while the entity is unbound or the module has no link, and
// aErrParam for a null output. A module's error reply answers the module's code.
class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // A get of one option; a byte-typed value carries a subindex to the module.
    // aErrTimeout when no reply came within the link's wait.
    aErr getUEI(uint8_t option, uei* value);
    aErr setUEI(uint8_t option, uei* value);
    // Sends the subindex byte ahead of the value.
    aErr setUEI(uint8_t option, uint8_t subindex, uei* value);
    // A set without a value.
    aErr callUEI(uint8_t option);
    // Raw packets to and from the bound module (see Link).
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    // Sent in packets of 24 bytes with a sequence trailer.
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

    // The output takes the reply's value when the answer is aErrNone or aErrStreamStale.
    aErr getUEI8(uint8_t option, uint8_t* out);
    aErr getUEI16(uint8_t option, uint16_t* out);
    aErr getUEI32(uint8_t option, uint32_t* out);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* out);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* out);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* out);
    // A byte value arriving in a run of packets. aErrParam for a null pointer or a zero
    // capacity; aErrMemory when the value does not fit (the rest of the run is consumed);
    // aErrTimeout when a packet of the run did not come. *received counts the bytes
    // stored.
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received);
    // Turns a byte count into a count of units: 1 (the count kept) when the count is no
    // multiple of unitSize.
    static aErr getUEIBytesCheck(size_t* count, size_t unitSize);

    // Waits for an int value of this option the module sends unasked; nothing is sent.
    aErr awaitUEI32Val(uint8_t option, uint32_t* out);
    // Drops every queued reply of this option.
    aErr drainUEI(uint8_t option);

    // The module's store entity saves, resets or reloads this entity's settings.
    aErr saveEntityToStore();
    aErr resetEntityToFactoryDefaults();
    aErr loadEntityFromStore();

    // The link's stream facility, which the updater never uses.
    aErr setStreamEnabled(bool on);
    aErr registerOptionCallback(uint8_t option, StreamCallback callback, void* context);
    aErr getStreamStatus(uint8_t option, uint32_t* value);

    struct impl;

  protected:
    Module* getModule() const;

  private:
    impl* p;
};

} // namespace Pelmora::Corvane
