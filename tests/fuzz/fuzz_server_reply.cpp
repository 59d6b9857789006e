// Update server replies: line splitting, build lists, version ordering and the
// Base64 file text, as a hostile server could send them
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "UpdateServerRequest.h"
#include "base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string body(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    if (UpdateServerRequest::ParseReply(body, lines)) {
        BuildList list;
        UpdateServerRequest::ParseBuildList(lines, list);
        UpdateServerRequest::SortBuildsByVersion(list);
        if (lines.size() > 1) {
            size_t length = 0;
            uint8_t* bytes = base64_decode(lines[1].data(), lines[1].size(), &length);
            if (bytes) {
                BirdFile bird;
                bird.LoadBytes(bytes, length);
                free(bytes);
            }
        }
    }
    size_t length = 0;
    uint8_t* bytes = base64_decode(body.data(), body.size(), &length);
    free(bytes);
    return 0;
}
