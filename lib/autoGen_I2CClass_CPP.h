// I2CClass - the I2C entity (class 8): transactions on a module's I2C bus
#pragma once

#include <cstdint>

#include "Entity.h"

namespace Pelmora::Corvane {

// Raw I2C transactions rather than UEI exchanges. Every transaction carries the bus
// speed set here. Replies shorter than five bytes answer aErrPacket; a failure the module
// reports answers its code.
class I2CClass : public EntityClass {
  public:
    static constexpr uint8_t kMaxData = 23; // data bytes of one transaction

    void init(Module* module, uint8_t index) { EntityClass::init(module, 8, index); }

    // At most kMaxData bytes (aErrSize above, nothing sent). address is the bus address
    // with its low bit clear.
    aErr read(uint8_t address, uint8_t length, uint8_t* data);
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr setPullup(bool on);
    // 0 to 3; aErrParam above, the speed kept.
    aErr setSpeed(uint8_t value);
    aErr getSpeed(uint8_t* value) const;

  private:
    aErr transact(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength,
                  uint8_t* reply, uint8_t* replyLength);

    uint8_t speed = 0;
};

} // namespace Pelmora::Corvane
