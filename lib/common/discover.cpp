// discover - link specifiers and the enumeration of reachable modules
#include "discover.h"
#include "unix_discovery.h"

#include <cstdlib>
#include <cstring>

linkSpec* aLinkSpec_Create(linkType type) {
    linkSpec* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
    if (spec) spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
    if (!spec) return nullptr;
    linkSpec* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
    if (copy) memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
    if (!spec || !*spec) return aErrParam;
    free(*spec);
    *spec = nullptr;
    return aErrNone;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                    void* context, uint32_t networkInterface) {
    if (!callback) return 0;
    if (type == USB) return aDiscovery_EnumerateUSB(callback, context);
    if (type == TCPIP) return aDiscovery_EnumerateTCPIP(callback, context, networkInterface);
    // Link servers are found by their own discovery, which this build does not carry yet.
    return 0;
}

namespace {

// What a find is after, and where the first match is copied.
struct FindRequest {
    linkSpec* spec;
    bool anySerial; // the first module with a non-zero serial number
};

bool takeMatch(const linkSpec* spec, bool* found, void* context) {
    FindRequest* req = static_cast<FindRequest*>(context);
    bool match =
        req->anySerial ? spec->serialNumber != 0 : spec->serialNumber == req->spec->serialNumber;
    if (!match) return true;
    memcpy(req->spec, spec, sizeof(linkSpec));
    *found = true;
    return false;
}

linkSpec* find(linkType type, uint32_t serialNumber, bool anySerial, uint32_t networkInterface) {
    FindRequest req = {aLinkSpec_Create(type), anySerial};
    if (!req.spec) return nullptr;
    req.spec->serialNumber = serialNumber;
    if (aDiscovery_EnumerateModules(type, takeMatch, &req, networkInterface) == 0)
        aLinkSpec_Destroy(&req.spec);
    return req.spec;
}

} // namespace

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return find(type, serialNumber, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return find(type, 0, true, networkInterface);
}
