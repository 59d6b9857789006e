// UpdaterEntity - the upgrade command of one module: loader and firmware transfer steps
#include "UpdaterEntity.h"

#include <algorithm>
#include <vector>

#include "Link.h"
#include "Log.h"
#include "Module.h"
#include "aTime.h"
#include "autoGen_SystemClass_CPP.h"

using Pelmora::Corvane::Link;
using Pelmora::Corvane::Module;
using Pelmora::Corvane::SystemClass;
using Pelmora::Corvane::uei;

namespace {

constexpr uint32_t kAddressBytes = 4; // every loader and firmware block opens with its address
constexpr size_t kReplyBuffer = 32;   // a packet's data and then some

uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint32_t ByteSum(const uint8_t* data, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; i++)
        sum += data[i];
    return sum;
}

} // namespace

void UpdaterEntity::init(Module* target, uint8_t index, bool validate_sums, bool routed) {
    module = target;
    validate = validate_sums;
    through_router = routed;
    uei_data = false;
    EntityClass::init(target, cmdUPGRADE, index);
}

aErr UpdaterEntity::send(uint8_t option, const uint8_t* extra, uint8_t length) {
    uint8_t data[28] = {option};
    length = std::min<uint8_t>(length, sizeof data - 1);
    if (length) std::copy(extra, extra + length, data + 1);
    return sendPacket(cmdUPGRADE, uint8_t(length + 1), data);
}

aErr UpdaterEntity::receive(uint8_t option, uint8_t* data, uint8_t& length) {
    const uint8_t match[2] = {cmdUPGRADE, option};
    length = sizeof match;
    return receivePacket(match, &length, data);
}

aErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr err = send(val_UPGRADE_INIT, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", int(err));
        return err;
    }
    uint8_t reply[kReplyBuffer];
    uint8_t length = 0;
    err = receive(val_UPGRADE_INIT, reply, length);
    if (err != aErrNone) return err;
    if (length <= 5) return aErrPacket;
    uint32_t base = Be32(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block_data, uint32_t block_length, uint8_t flags,
                                    uint16_t& chunk_size) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(block_length),
             flags, int(chunk_size));
    if (!block_data || block_length < kAddressBytes) return aErrSize;
    const uint8_t* a = block_data;
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
             "%02X]} \n",
             flags, a[0], a[1], a[2], a[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", int(Be32(a)));
    const uint8_t request[5] = {flags, a[0], a[1], a[2], a[3]};
    aErr err = send(val_UPGRADE_PREPARE, request, sizeof request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", int(err));
        return err;
    }
    uint8_t reply[kReplyBuffer];
    uint8_t length = 0;
    err = receive(val_UPGRADE_STATUS, reply, length);
    if (err != aErrNone) return err;
    if (length < 3 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    // A reply without the size asks for nothing usable; the transfer refuses size 0.
    chunk_size = length >= 5 ? uint16_t(reply[3] << 8 | reply[4]) : 0;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             int(chunk_size));
    return aErrNone;
}

aErr UpdaterEntity::checkSum(uint32_t sum, uint32_t block_count) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    send(val_UPGRADE_SUM, nullptr, 0); // a lost request shows as a missing reply
    uint8_t reply[kReplyBuffer];
    uint8_t length = 0;
    if (receive(val_UPGRADE_STATUS, reply, length) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    uint8_t status = length >= 3 ? reply[2] : 0xFF;
    uint32_t theirs = length >= 7 ? Be32(reply + 3) : ~sum;
    if (status == 0 && theirs == sum) {
        Log::log(DEBUG_Network_FIRM,
                 "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 theirs, int(block_count));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
             theirs);
    return aErrInvalidOption;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& block_count) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t remaining = length, sum = 0;
    aErr err = aErrNone;
    if (uei_data) {
        err = _block_transfer_uei_helper(data, length, block_count, sum);
        if (err != aErrNone) return err;
        remaining = 0;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", int(length));
    }
    int resends = 0;
    while (remaining > 0 && err == aErrNone) {
        uint8_t n = uint8_t(std::min<uint32_t>(remaining, kDataPayload));
        const uint8_t* next = data + (length - remaining);
        Log::log(DEBUG_Network_FIRM,
                 "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", int(n));
        err = send(val_UPGRADE_DATA, next, n);
        if (err != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", int(err));
            return err;
        }
        uint8_t reply[kReplyBuffer];
        uint8_t replyLength = 0;
        if (receive(val_UPGRADE_DATA, reply, replyLength) != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            err = aErrPacket;
            break;
        }
        uint8_t accepted = replyLength >= 3 ? reply[2] : 0;
        if (accepted != n) {
            Log::log(DEBUG_Network_FIRM,
                     "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", int(accepted),
                     int(n));
            // A module that keeps miscounting would otherwise be fed the same bytes forever.
            if (++resends > kMaxDataResends) {
                Log::log(0, "\nNETWORK: Upgrade transfer count still wrong after %d resends.\n",
                         kMaxDataResends);
                err = aErrPacket;
            }
            continue;
        }
        resends = 0;
        sum += ByteSum(next, n);
        remaining -= n;
        block_count++;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 int(n), int(remaining), int(length));
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(length - remaining),
             int(length));
    if (err == aErrNone && validate) return checkSum(sum, block_count);
    return err;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length,
                                               uint32_t& block_count, uint32_t& sum) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", int(length));
    uei value;
    value.type = Pelmora::Corvane::ueiTypeBytes;
    value.v.bytes = const_cast<uint8_t*>(data); // only read when sending
    value.length = length;
    aErr err = setUEI(val_UPGRADE_DATA_UEI, &value);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", int(err));
        return err;
    }
    sum += ByteSum(data, length);
    block_count = 1;
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block_data, uint32_t block_length) {
    if (!block_data || block_length < kAddressBytes) return aErrSize;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", Be32(block_data),
             int(block_length - kAddressBytes));
    uint32_t count = 0;
    return _block_transfer(block_data + kAddressBytes, block_length - kAddressBytes, count);
}

aErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr err = send(val_UPGRADE_LOAD, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", int(err));
        return err;
    }
    uint8_t reply[kReplyBuffer];
    uint8_t length = 0;
    if (receive(val_UPGRADE_LOAD, reply, length) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    err = _reconnect(500);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 int(err), aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = receive(val_UPGRADE_LOAD, reply, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", int(err),
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
}

aErr UpdaterEntity::_reconnect(uint32_t delay_ms) {
    if (!module) return aErrResource;
    module->disconnect();
    aErr err = aErrNotFound;
    for (int attempt = 1; attempt <= kReconnectAttempts; attempt++) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
                 kReconnectAttempts);
        err = module->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 int(delay_ms));
        aTime_MSSleep(delay_ms);
    }
    for (int attempt = 1; attempt <= kReconnectAttempts; attempt++) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
                 attempt, kReconnectAttempts);
        module->disconnect();
        err = module->connect(USB, kDefaultSerial);
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 int(delay_ms));
        aTime_MSSleep(delay_ms);
    }
    return err;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    if (!module) return aErrResource;
    aErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", int(err));
    if (err == aErrNone) uei_data = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (!module) return aErrResource;
    SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", int(features),
             int(err));
    if (err != aErrNone) return err;
    if (!(features & 0x80000000u)) return aErrNone;
    Link* link = module->getLink();
    return link ? link->enablePooledPackets(true) : aErrConnection;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block_data, uint32_t block_length,
                                     uint16_t chunk_size, UpdaterDisplayInterface& display) {
    if (!block_data || block_length < kAddressBytes) return aErrSize;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
             Be32(block_data), int(block_length - kAddressBytes));
    uint32_t remaining = block_length - kAddressBytes, count = 0;
    const uint8_t* next = block_data + kAddressBytes;
    aErr err = aErrNone;
    display.display_progress(true);
    if (remaining > 0 && chunk_size == 0) {
        // Chunks of no bytes would never finish the block.
        Log::log(0, "NETWORK: Loader asked for firmware chunks of 0 bytes\n");
        err = aErrRange;
    }
    while (remaining > 0 && err == aErrNone) {
        uint32_t n = std::min<uint32_t>(remaining, chunk_size);
        err = _block_transfer(next, n, count);
        if (err == aErrNone) {
            next += n;
            remaining -= n;
            count++;
            display.update_progress(double(block_length - remaining) / block_length, nullptr);
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     int(n), int(remaining), int(block_length));
        }
        if (err == aErrNone) err = FirmwareWrite(n);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
             int(block_length - remaining), int(block_length));
    if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t length) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             int(length));
    const uint8_t request[2] = {uint8_t(length >> 8), uint8_t(length)};
    aErr err = send(val_UPGRADE_WRITE, request, sizeof request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", int(err),
                 aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[kReplyBuffer];
    uint8_t replyLength = 0;
    err = receive(val_UPGRADE_STATUS, reply, replyLength);
    uint8_t status = replyLength >= 3 ? reply[2] : 0xFF;
    if (err != aErrNone || status != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    aErr result = send(val_UPGRADE_REBOOT, nullptr, 0);
    if (result != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    // Bounded: a link that never notices the module went must not hold the update.
    for (int pass = 0; module && module->isConnected() && pass < kRebootPolls; pass++) {
        aTime_MSSleep(kRebootPollMs);
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (through_router) break; // the router's link stays up
    }
    display.update_spinner(false, "Verifying Update");
    return result;
}

// ---- Stages -----------------------------------------------------------------------------

namespace {

constexpr auto Info = UpdaterDisplayInterface::Info;
constexpr auto Error = UpdaterDisplayInterface::Error;
constexpr int kFirmwareTries = 5;

} // namespace

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird_file) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", int(err),
                 aError_GetErrorText(err));
        return err;
    }
    display.message(Info, "Transferring loader to device");
    std::vector<BirdBlock> blocks = bird_file.FindBlocks(BLOCK_LOADER);
    display.display_progress(true);
    uint32_t number = 1, total = 0;
    for (const BirdBlock& block : blocks) {
        display.message(Info, "Transferring loader block %d of %d, %d bytes", int(number),
                        int(blocks.size()), int(block.length));
        uint16_t unused = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, unused);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            // A loader that did not arrive whole must never be started.
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
            display.message(Error, "Loader block %d failed to transfer [%d, %s]", int(number),
                            int(err), aError_GetErrorText(err));
            break;
        }
        total += block.length;
        number++;
    }
    display.message(Info, "Transferred %d blocks, %d total bytes", int(number - 1), int(total));
    display.display_progress(false);
    if (err != aErrNone) return err;
    display.message(Info, "Starting Load on Device");
    err = entity.LoaderStart();
    if (err == aErrTimeout) {
        Log::log(DEBUG_Updater,
                 "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        err = aErrNone;
    } else if (err != aErrNone) {
        display.message(Error, "Error starting loader [%d, %s]", int(err),
                        aError_GetErrorText(err));
    }
    return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird_file,
                        bool through_router, bool use_uei_bytes) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, through_router);
    if (use_uei_bytes && entity.CheckUEIDataSupport() == aErrNone)
        entity.CheckPooledPacketsSupport();
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird_file.path.c_str());
    std::vector<BirdBlock> blocks = bird_file.FindBlocks(BLOCK_FIRMWARE);
    aErr err = aErrNone;
    uint32_t number = 1, total = 0;
    for (const BirdBlock& block : blocks) {
        for (int attempt = 0; attempt < kFirmwareTries; attempt++) {
            if (attempt == 0)
                display.message(Info, "Transferring firmware block %u of %u, %d bytes", number,
                                unsigned(blocks.size()), int(block.length));
            else
                display.message(Info, "Transferring firmware block %u of %u, %d bytes  Retry %d",
                                number, unsigned(blocks.size()), int(block.length), attempt);
            uint16_t chunk = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, chunk);
            if (err != aErrNone) {
                // A refused PREPARE is tried again like a failed transfer.
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", int(err),
                         aError_GetErrorText(err));
                continue;
            }
            err = entity.FirmwareTransfer(block.data, block.length, chunk, display);
            if (err == aErrNone) break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        number++;
    }
    display.message(Info, "Transferred %d blocks, %d total bytes", int(number - 1), int(total));
    if (err != aErrNone) return err;
    return entity.LoaderReboot(display);
}
