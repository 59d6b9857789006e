// discover - link specifiers and the enumeration of reachable modules
#include "discover.h"

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
