// Module - one module on the packet protocol: its link, its address and direct queries
#pragma once

#include <cstdint>
#include <memory>

#include "Link.h"
#include "aError.h"
#include "discover.h"

namespace Pelmora::Corvane {

// Owns one Link. Connecting directly (by serial number, by specifier or again) ends with
// the address query when networking mode is on, so the module address follows what the
// module says it is; a module reached through a router keeps the address it is given.
class Module {
  public:
    // Networking mode on. model 0 accepts any model when connecting without a serial.
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool autoNetworking, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Every connection call answers aErrInitialization without a link. A module that
    // answers the link but never the address query leaves the link up and answers
    // aErrNotReady.

    // aErrParam for serial number 0, else discoverAndConnect.
    aErr connect(linkType type, uint32_t serialNumber);
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // aErrBusy when already connected.
    aErr connectFromSpec(linkSpec spec);
    aErr reconnect();
    // Shares the connected router's link; afterwards networking mode is off and the
    // caller sets the address of the module wanted behind the router. aErrNone at once
    // when this module is connected already.
    aErr connectThroughLinkModule(Module* router);
    bool isConnected() const;
    int getStatus() const; // 8 without a link
    aErr disconnect();

    uint8_t getModuleAddress() const { return address; }
    void setModuleAddress(uint8_t value) { address = value; }
    void setNetworkingMode(bool on) { networking = on; }
    Link* getLink() const { return link.get(); }

    // aErrNotReady without a link.
    aErr getLinkSpecifier(linkSpec* spec) const;
    // aErrNotReady without a link, aErrParam for a null pointer.
    aErr getConfig(aLoomConfig* config) const;
    // aErrMode while connected.
    aErr setConfig(aLoomConfig config);
    // aErrConfiguration without a link.
    aErr enablePacketLog(const char* fileName);
    aErr disablePacketLog();

    // Module-information queries; aErrConnection when not connected.

    // aErrSize for a reply that is not six bytes.
    aErr getBuild(uint32_t* build);
    // flags: 0x40 asks about a get, 0x80 about a set, 0 about either (aErrParam for any
    // other bit or both). Answers the module's verdict: aErrNone when it has that UEI.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    // The outputs are 0 until a matching reply arrives; aErrUnknown for a reply that
    // does not echo the request.
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);
    // The module echoes the bytes (at most 27); aErrIO when the echo differs.
    aErr debug(const uint8_t* data, uint8_t length);

  private:
    aErr autoNetwork();
    // Sends command 0x49 with request and takes the reply matching its first
    // matchLength bytes (0x49 included) into reply; answers the reply's length.
    aErr infoQuery(const uint8_t* request, uint8_t length, uint8_t matchLength, uint8_t* reply,
                   uint8_t* replyLength);
    aErr echoedQuery(const uint8_t* request, uint8_t length, uint8_t* value);

    std::unique_ptr<Link> link;
    uint8_t address = 0;
    bool networking = true;
    uint8_t model = 0;
};

} // namespace Pelmora::Corvane
