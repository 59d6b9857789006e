// KeyValueStore - a settings file of key=value lines with typed access
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>

// Settings in memory, loaded from and saved to a text file. Copyable.
class KeyValueStore {
  public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";
    // Longest line the reader takes, newline included; longer lines are skipped.
    static constexpr size_t LINE_BUFFER = 2048;

    // Loads path when it is not null.
    explicit KeyValueStore(const char* path = nullptr);

    // The stored value, null when absent; never adds the key.
    const char* operator[](const std::string& key) const;

    // Converting getters: an empty value yields the default. Reading an absent key
    // adds it with an empty value (not counted as a change), so a save writes it.
    int32_t GetInt(const std::string& key, int32_t def);
    uint32_t GetHex(const std::string& key, uint32_t def);
    bool GetBOOL(const std::string& key, bool def);
    double GetDouble(const std::string& key, double def);
    // The stored value (even empty) or the default; never adds the key.
    std::string GetString(const std::string& key, const char* def = nullptr) const;

    // Each sets changed when the stored text differs. A line break in a key or value
    // is stored as a space: the file holds one entry per line, and a value such as a
    // user's file path must never turn into a second entry.
    bool Add(const std::string& key, int value);
    bool Add(const std::string& key, double value);
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, uint32_t value);
    bool Add(const KeyValueStore& other);
    bool Clear();

    // A missing file is created with its creation time. Failures are only logged.
    void Load(const char* path);
    // Null path: the file last loaded or saved (".settings" when none). Replaces the
    // file atomically; answers false, leaving the earlier file whole, when it cannot.
    bool Save(const char* path = nullptr);

    bool changed() const { return isChanged; }
    const std::string& FileName() const { return fileName; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

    // The local time as the 24-character calendar text, without a line end.
    static std::string TimeStamp(time_t when);

  private:
    std::string& slot(const std::string& key);
    bool saveStamped(const char* path, const std::string& stamp);
    void parseLine(const char* line, size_t length);

    std::string fileName;
    std::map<std::string, std::string> entries;
    bool isChanged = false;
};
