// Updater - the engine object: every command the front end runs
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdateServerRequest.h"
#include "UpdaterDisplayInterface.h"
#include "discover.h"

class UpdaterStore;
class UpdaterStoreItem;
namespace Pelmora::Corvane {
class Module;
}

// One per run, owned by the entry point. Every command opens what it needs (store,
// server, modules) and releases it before it answers; each reports its own
// failures through the display and answers a value.
class Updater {
  public:
    Updater(std::string server_url, std::string store_path, UpdaterDisplayInterface& display);
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Chooses the block transfer mode of the next update or recovery.
    void Set_UEIBytes_Load(bool use);

    // link_type 0 searches USB, then TCP/IP.
    std::vector<DeviceInfo> Discover_Devices(linkType link_type);
    // Modules behind the router with that serial number; link_type 0 finds the router.
    std::vector<DeviceInfo> Discover_CVNetwork_Devices(uint32_t router_serial, linkType link_type);

    // Empty on failure.
    BuildList Get_BuildList(uint32_t serial);
    BuildList Get_BuildListLocal(uint32_t serial);
    // build: decimal text, empty for the latest. Answers the stored build, 0 on failure.
    uint32_t Download_Firmware(uint32_t serial, const std::string& build, bool override,
                               bool no_cal);
    // The file to transfer: bird_path when given, else the build from the store
    // (downloaded first when allowed and missing). Throws std::runtime_error.
    BirdFile load_bird(const std::string& label, const std::string& bird_path, uint32_t serial,
                       uint32_t build, bool allow_download);
    // The store, or null after reporting why it cannot be opened.
    static std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                             const std::string& store_path,
                                                             const char* caller_name);

    // build 0 chooses the build; module_address 0 finds it behind the router.
    bool Update_Firmware(uint32_t serial, uint32_t build, const std::string& bird_file,
                         uint8_t module_address, uint32_t router_serial, bool override);

    bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& serial_port,
                         uint32_t serial_number, const std::string& bird_file, uint32_t baud_rate,
                         bool reset_after);
    bool Recover_Firmware(const std::string& serial_port, uint32_t build_number, uint32_t baud_rate,
                          uint32_t serial_number, const std::string& bird_file, bool override);

    // Checks header, inflation and block table of a BIRD file and prints what it
    // carries; false, with the reason, for a file no update could use.
    bool Check_BirdFile(const std::string& path);
    // serial 0 lists the stored devices; otherwise the device's settings and files.
    bool Show_StoreInfo(uint32_t serial);

    // Module steps the listing, the update and recovery share.

    // The link configuration of the updater's own connections: no link server, no
    // fallback to another link type. Reports a failure and answers it.
    static aErr _disableEther(Pelmora::Corvane::Module& module, UpdaterDisplayInterface& display);
    // 0 when the module does not tell.
    static uint32_t _get_build_number(Pelmora::Corvane::Module& module);
    // Version, then module and router address as the module reports them.
    static aErr _get_version(Pelmora::Corvane::Module& module, DeviceInfo& info);
    // The name, read only from firmware 2.10.4 on.
    static aErr _get_device_name(Pelmora::Corvane::Module& module, DeviceInfo& info);
    // 1 when found on USB, else 2 when found on TCP/IP, else 0.
    static linkType _discover_link_type(uint32_t serial);
    // Does the file fit the connected module: serial number (or a generic file) and model.
    static bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird_file,
                                   Pelmora::Corvane::Module& module, uint32_t serial);

  private:
    bool _valid_build(uint32_t serial, uint32_t build, const std::string& url);
    bool _fetch_build(uint32_t serial, const std::string& firmware, const std::string& build,
                      bool no_cal, std::string& data);
    bool _store_build(UpdaterStoreItem& device, uint32_t number, std::string& text);
    // The build an update without a file uses: the server's current one when stored,
    // the last download, the last transfer; 0 when none.
    uint32_t _choose_build(UpdaterStoreItem& device, uint32_t serial);
    // fatal: the failure was reported and ends the update at once.
    aErr _connect_target(Pelmora::Corvane::Module& target,
                         std::unique_ptr<Pelmora::Corvane::Module>& router, uint32_t serial,
                         uint8_t module_address, uint32_t router_serial, bool& fatal);
    void _record_transfer(UpdaterStore& store, UpdaterStoreItem& device, uint32_t serial,
                          const std::string& bird_path);

    std::string server_url;
    std::string store_path;
    UpdaterDisplayInterface& display;
    uint8_t chip_family = 0; // 2 LPC, 1 i.MX; set by the fingerprint step
    bool use_uei_bytes = false;
};
