// unix_discovery - finding modules on USB and on the local network
#pragma once

#include <cstdint>

#include "discover.h"

// UDP ports and group of the modules' own discovery service.
#define aDISCOVERY_REQUEST_GROUP "232.2.2.2"
constexpr uint16_t aDISCOVERY_REQUEST_PORT = 9888;
constexpr uint16_t aDISCOVERY_REPLY_PORT = 9889;
// Replies are awaited until this long passes without one.
constexpr int aDISCOVERY_WINDOW_MS = 2000;

// Calls back for each module on USB (vendor and product id rule, eight-character
// serial text); answers how many calls set found.
uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* context);

// Multicasts a request through the chosen interface (network byte order; 0 or
// 127.0.0.1 for every IPv4 interface of the host) and calls back for each reply.
uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* context,
                                  uint32_t networkInterface);
