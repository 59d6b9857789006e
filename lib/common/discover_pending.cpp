// discover - enumeration not carried by this build yet: nothing is found
#include "discover.h"

uint8_t aDiscovery_EnumerateModules(linkType, aDiscoveryModuleFoundProc, void*, uint32_t) {
    return 0;
}

linkSpec* aDiscovery_FindModule(linkType, uint32_t, uint32_t) { return nullptr; }

linkSpec* aDiscovery_FindFirstModule(linkType, uint32_t) { return nullptr; }
