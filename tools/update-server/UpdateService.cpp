// UpdateService - the update server's answers, independent of the HTTP layer
#include "UpdateService.h"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "base64.h"

namespace {

ServiceReply error(int status, const std::string& reason) {
    return {status, "error: " + reason + "\n"};
}

std::optional<uint32_t> parseHex(const std::string& text) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    return uint32_t(strtoul(text.c_str(), nullptr, 16));
}

std::optional<uint32_t> parseDecimal(const std::string& text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    unsigned long long v = strtoull(text.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull) return std::nullopt;
    return uint32_t(v);
}

std::string param(const std::map<std::string, std::string>& q, const char* key) {
    auto it = q.find(key);
    return it == q.end() ? std::string() : it->second;
}

ServiceReply currentBuild(const FirmwareFolder& folder, uint32_t serial) {
    auto current = folder.Current(serial);
    if (!current) return error(404, "no build for this device");
    return {200,
            "ok\n" + std::to_string(current->number) + "\n" + folder.FirmwareId(serial) + "\n"};
}

ServiceReply buildList(const FirmwareFolder& folder, uint32_t serial) {
    std::string body = "ok\n";
    for (const FirmwareFolder::Build& b : folder.Builds(serial))
        body += std::to_string(b.number) + ";" + b.version + "\n";
    return {200, body};
}

ServiceReply birdFile(const FirmwareFolder& folder, uint32_t serial, const std::string& bld) {
    auto number = parseDecimal(bld);
    if (!number) return error(400, "bld must be a build number");
    auto build = folder.Find(serial, *number);
    if (!build) return error(404, "no such build for this device");
    std::ifstream in(build->path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string data = bytes.str();
    size_t length = 0;
    char* text = base64_encode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &length);
    if (!text) return error(500, "out of memory");
    ServiceReply reply{200, "ok\n"};
    reply.body.append(text, length);
    reply.body += "\n";
    free(text);
    return reply;
}

ServiceReply recovery(const FirmwareFolder& folder, const std::string& fp) {
    uint32_t words[4];
    std::istringstream in(fp);
    std::string word;
    for (uint32_t& w : words) {
        auto value = (in >> word) ? parseHex(word) : std::nullopt;
        if (!value) return error(400, "fp must be four hexadecimal words");
        w = *value;
    }
    auto found = folder.RecoveryFor(words);
    if (!found) return error(404, "no recovery firmware for this fingerprint");
    char serial[9];
    snprintf(serial, sizeof serial, "%08X", found->serial);
    return {200, std::string("ok\n") + serial + "\n" + std::to_string(found->build) + "\n"};
}

} // namespace

ServiceReply AnswerRequest(const FirmwareFolder& folder,
                           const std::map<std::string, std::string>& query) {
    std::string op = param(query, "op");
    if (op == "hi") return {200, "ok\n"};
    if (op == "fix") return recovery(folder, param(query, "fp"));
    if (op != "qu" && op != "builds" && op != "bird")
        return error(400, op.empty() ? "no operation" : "unknown operation " + op);
    auto serial = parseHex(param(query, "sn"));
    if (!serial) return error(400, "sn must be a serial number");
    if (op == "qu") return currentBuild(folder, *serial);
    if (op == "builds") return buildList(folder, *serial);
    return birdFile(folder, *serial, param(query, "bld"));
}
