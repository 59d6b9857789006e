// Listing - the build and device lists as the front end prints them
#pragma once

#include <cstdint>
#include <vector>

#include "DeviceInfo.h"
#include "UpdateServerRequest.h"
#include "UpdaterDisplayInterface.h"

void PrintBuildList(UpdaterDisplayInterface& display, uint32_t serial, const BuildList& list);
void PrintDeviceList(UpdaterDisplayInterface& display, uint32_t link_type,
                     const std::vector<DeviceInfo>& devices);
