// UpdaterEntity - the upgrade command of one module: loader and firmware transfer steps
#pragma once

#include <cstdint>

#include "BirdFile.h"
#include "Entity.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

namespace Pelmora::Corvane {
class Module;
}

// Command and option bytes of the upgrade exchanges.
enum : uint8_t {
    cmdUPGRADE = 0x5F,
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
    val_UPGRADE_DATA_UEI = 10,
};

// Lives for one stage of an update; does not own the module. Every step answers aErr.
class UpdaterEntity : public Pelmora::Corvane::EntityClass {
  public:
    // Payload bytes in one DATA packet: a packet's 28 data bytes less command and option.
    static constexpr uint8_t kDataPayload = 26;
    // A DATA reply whose count keeps differing ends the transfer after this many resends.
    static constexpr int kMaxDataResends = 8;
    // The wait for the link to drop after REBOOT: passes of 250 ms.
    static constexpr int kRebootPolls = 40;
    static constexpr uint32_t kRebootPollMs = 250;
    static constexpr int kReconnectAttempts = 5;
    static constexpr uint32_t kDefaultSerial = 0xDEADDEAD;

    UpdaterEntity() = default;
    ~UpdaterEntity() override = default;

    void init(Pelmora::Corvane::Module* module, uint8_t index, bool validate, bool through_router);

    aErr LoaderInit();
    // chunk_size: the size of the chunks the loader wants (0 when the reply lacks it).
    aErr TransferPrepare(const uint8_t* block_data, uint32_t block_length, uint8_t flags,
                         uint16_t& chunk_size);
    aErr LoaderTransfer(const uint8_t* block_data, uint32_t block_length);
    aErr LoaderStart();
    aErr FirmwareTransfer(const uint8_t* block_data, uint32_t block_length, uint16_t chunk_size,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(uint32_t length);
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();

    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& block_count);
    aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& block_count,
                                    uint32_t& sum);
    aErr _reconnect(uint32_t delay_ms);

    bool usesUEIData() const { return uei_data; }

  private:
    // One request of the upgrade command: option, then extra bytes.
    aErr send(uint8_t option, const uint8_t* extra, uint8_t length);
    // The reply whose data begin with 5F option; length is the reply's data length.
    aErr receive(uint8_t option, uint8_t* data, uint8_t& length);
    aErr checkSum(uint32_t sum, uint32_t block_count);

    Pelmora::Corvane::Module* module = nullptr;
    bool validate = true;
    bool through_router = false;
    bool uei_data = false;
};

// The loader stage: INIT, every loader block, LOAD.
aErr _transfer_loader(UpdaterDisplayInterface& display, Pelmora::Corvane::Module& module,
                      BirdFile& bird_file);
// The firmware stage: every firmware block chunk by chunk, then REBOOT.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Pelmora::Corvane::Module& module,
                        BirdFile& bird_file, bool through_router, bool use_uei_bytes);
