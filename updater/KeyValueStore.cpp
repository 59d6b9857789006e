// KeyValueStore - a settings file of key=value lines with typed access
#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "aAtomicFile.h"
#include "aFile.h"

namespace {

const char* skipSpace(const char* p, const char* end) {
    while (p < end && isspace(static_cast<unsigned char>(*p)))
        p++;
    return p;
}

const char* trimEnd(const char* begin, const char* end) {
    while (end > begin && isspace(static_cast<unsigned char>(end[-1])))
        end--;
    return end;
}

std::string withoutLineBreaks(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

} // namespace

KeyValueStore::KeyValueStore(const char* path) {
    if (path) Load(path);
}

const char* KeyValueStore::operator[](const std::string& key) const {
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : it->second.c_str();
}

std::string& KeyValueStore::slot(const std::string& key) {
    return entries[key];
}

int32_t KeyValueStore::GetInt(const std::string& key, int32_t def) {
    const std::string& v = slot(key);
    if (v.empty()) return def;
    long n = strtol(v.c_str(), nullptr, 10);
    if (n > INT32_MAX) return INT32_MAX;
    if (n < INT32_MIN) return INT32_MIN;
    return int32_t(n);
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t def) {
    const std::string& v = slot(key);
    if (v.empty()) return def;
    unsigned long n = strtoul(v.c_str(), nullptr, 16);
    return n > UINT32_MAX ? UINT32_MAX : uint32_t(n);
}

bool KeyValueStore::GetBOOL(const std::string& key, bool def) {
    const std::string& v = slot(key);
    if (v.empty()) return def;
    return strtol(v.c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double def) {
    const std::string& v = slot(key);
    if (v.empty()) return def;
    return strtod(v.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const std::string& key, const char* def) const {
    auto it = entries.find(key);
    if (it != entries.end()) return it->second;
    return def ? def : "";
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
    std::string k = withoutLineBreaks(key), v = withoutLineBreaks(value);
    auto it = entries.find(k);
    // An absent key counts as an empty value.
    const std::string old = it == entries.end() ? std::string() : it->second;
    if (old != v) isChanged = true;
    entries[k] = v;
    return true;
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
    return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const std::string& key, int value) {
    return Add(key, std::to_string(value));
}

bool KeyValueStore::Add(const std::string& key, double value) {
    char text[64];
    snprintf(text, sizeof text, "%f", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& [k, v] : other.entries)
        entries[k] = v;
    if (!other.entries.empty()) isChanged = true;
    return true;
}

bool KeyValueStore::Clear() {
    entries.clear();
    isChanged = true;
    return true;
}

std::string KeyValueStore::TimeStamp(time_t when) {
    char text[32] = {0};
    if (!ctime_r(&when, text)) return {};
    size_t n = strnlen(text, sizeof text);
    while (n > 0 && (text[n - 1] == '\n'))
        n--;
    return std::string(text, n);
}

void KeyValueStore::parseLine(const char* line, size_t length) {
    if (length < 3 || line[0] == '#') return;
    const char* end = line + length;
    const char* key = skipSpace(line, end);
    const char* eq = static_cast<const char*>(memchr(key, '=', size_t(end - key)));
    std::string k, v;
    if (!eq) {
        k.assign(key, trimEnd(key, end));
    } else {
        k.assign(key, trimEnd(key, eq));
        const char* value = skipSpace(eq + 1, end);
        v.assign(value, trimEnd(value, end));
    }
    // A blank line names no key; keeping it would write a bare "=" line back.
    if (!k.empty()) entries[k] = v;
}

void KeyValueStore::Load(const char* path) {
    if (!path) return;
    aFileRef file = aFile_Open(path, aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 path, errno);
        // One time stamp for both entries, so creation and update read the same.
        std::string now = TimeStamp(time(nullptr));
        Add(KEY_CREATED_TIME, now);
        saveStamped(path, now);
        return;
    }
    fileName = path;
    isChanged = false;
    char line[LINE_BUFFER];
    size_t length = 0;
    bool skipping = false;
    for (;;) {
        aErr err = aFile_ReadLine(file, line, sizeof line, &length);
        if (err == aErrOverrun) {
            // Too long for the buffer: drop only this line and read on.
            if (!skipping)
                Log::log(DEBUG_Attributes, "Attibutes: skipping over-long line in '%s'\n", path);
            skipping = true;
            continue;
        }
        if (err != aErrNone) break;
        if (skipping) {
            skipping = false; // the tail of the over-long line
            continue;
        }
        parseLine(line, length);
    }
    aFile_Close(&file);
}

bool KeyValueStore::Save(const char* path) {
    return saveStamped(path, TimeStamp(time(nullptr)));
}

bool KeyValueStore::saveStamped(const char* path, const std::string& stamp) {
    if (path) {
        fileName = path;
    } else if (fileName.empty()) {
        fileName = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 fileName.c_str());
    }
    if (isChanged) Add(KEY_UPDATED_TIME, stamp);
    std::string text;
    for (const auto& [k, v] : entries)
        text += k + "=" + v + "\n";
    errno = 0;
    aErr err = aAtomicFile_Write(fileName.c_str(), reinterpret_cast<const uint8_t*>(text.data()),
                                 text.size());
    if (err != aErrNone) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 fileName.c_str(), errno);
        return false;
    }
    isChanged = false;
    return true;
}
