// UpdateService - the update server's answers, independent of the HTTP layer
#pragma once

#include <map>
#include <string>

#include "FirmwareFolder.h"

struct ServiceReply {
    int status = 200;
    std::string body; // "ok\n..." for an answered request, "error: ...\n" otherwise
};

// Answers one request from its decoded query parameters: op=hi, qu, builds, bird
// or fix. A malformed or unanswerable request gets a reply that is not "ok".
ServiceReply AnswerRequest(const FirmwareFolder& folder,
                           const std::map<std::string, std::string>& query);
