// BuildDate - kept alone so only this file is rebuilt for a new date
#include "BuildDate.h"

const char* UpdaterBuildDate() {
    return __DATE__;
}
