// KeyValueStore - the settings file: reading rules, typed access, atomic saves
#include "KeyValueStore.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "TestSupport.h"

using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

// Lowers the file-size limit while it lives, so writes past it fail as on a full disk.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit low = saved;
        low.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &low);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }

  private:
    rlimit saved{};
};

size_t FilesIn(const std::string& dir) {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        n += e.is_regular_file();
    return n;
}

} // namespace

TEST(KeyValueStore, MissingFileIsCreatedWithTwoEqualTimeStamps) {
    testsupport::TempDir dir;
    std::string path = dir.file(".settings");
    KeyValueStore s(path.c_str());
    EXPECT_FALSE(s.changed());
    ASSERT_EQ(s.Entries().size(), 2u);
    std::string created = s.GetString("CREATED_TIME"), updated = s.GetString("UPDATED_TIME");
    EXPECT_EQ(created.size(), 24u);
    EXPECT_EQ(created, updated);
    EXPECT_EQ(ReadFile(path), "CREATED_TIME=" + created + "\nUPDATED_TIME=" + updated + "\n");
    EXPECT_EQ(FilesIn(dir.path()), 1u); // no temporary file left behind
}

TEST(KeyValueStore, LinesFollowTheReadingRules) {
    testsupport::TempDir dir;
    std::string path = dir.file("s");
    std::string longLine(3000, 'x');
    std::string fits(2045, 'y'); // with "=" and newline exactly fills the buffer
    WriteFile(path, "  NAME =  a = b  \n"
                    "#COMMENT=1\n"
                    "  #NOT_COMMENT=2\n"
                    "ab\n"
                    "c\n"
                    "BEFORE=1\n" +
                        longLine + "=lost\n" + "AFTER=2\n" + fits + "=\n" +
                        "words without equals \r\n"
                        "LAST=end");
    KeyValueStore s(path.c_str());
    std::map<std::string, std::string> want = {
        {"NAME", "a = b"}, {"#NOT_COMMENT", "2"},        {"ab", ""}, {"BEFORE", "1"},
        {"AFTER", "2"},    {"words without equals", ""}, {fits, ""}, {"LAST", "end"}};
    EXPECT_EQ(s.Entries(), want);
    EXPECT_FALSE(s.changed());
    EXPECT_EQ(s.FileName(), path);
}

TEST(KeyValueStore, ConvertingGettersInsertAbsentKeys) {
    testsupport::TempDir dir;
    std::string path = dir.file("s");
    WriteFile(path, "HEX=0x1f\nNUM= -12abc\nFLAG=3\nREAL=2.5\nEMPTY=\nTEXT=hello\n");
    KeyValueStore s(path.c_str());
    EXPECT_EQ(s.GetHex("HEX", 0), 31u);
    EXPECT_EQ(s.GetInt("NUM", 0), -12);
    EXPECT_TRUE(s.GetBOOL("FLAG", false));
    EXPECT_DOUBLE_EQ(s.GetDouble("REAL", 0), 2.5);
    EXPECT_EQ(s.GetInt("EMPTY", 9), 9);
    EXPECT_EQ(s.GetInt("TEXT", 9), 0);
    EXPECT_EQ(s.GetString("MISSING"), "");
    EXPECT_EQ(s["MISSING"], nullptr);
    EXPECT_EQ(s.GetString("MISSING", "dflt"), "dflt");
    EXPECT_EQ(s.GetInt("ABSENT", 7), 7);
    EXPECT_STREQ(s["ABSENT"], "");
    EXPECT_FALSE(s.changed());
    ASSERT_TRUE(s.Save());
    std::string text = ReadFile(path);
    EXPECT_EQ(text.find("ABSENT=\nEMPTY=\n"), 0u) << text;
    EXPECT_EQ(text.find("MISSING"), std::string::npos);
}

TEST(KeyValueStore, SettersTrackChanges) {
    KeyValueStore s;
    EXPECT_TRUE(s.Add("EMPTY", ""));
    EXPECT_FALSE(s.changed()); // an empty value on an absent key changes nothing
    s.AddHex("SERIAL", 255);
    EXPECT_STREQ(s["SERIAL"], "0x000000FF");
    EXPECT_EQ(s.GetHex("SERIAL", 0), 255u);
    EXPECT_TRUE(s.changed());
    testsupport::TempDir dir;
    ASSERT_TRUE(s.Save(dir.file("s").c_str()));
    EXPECT_FALSE(s.changed());
    s.Add("SERIAL", "0x000000FF");
    EXPECT_FALSE(s.changed());
    s.Add("N", 5);
    s.Add("D", 1.5);
    EXPECT_STREQ(s["N"], "5");
    EXPECT_STREQ(s["D"], "1.500000");
    KeyValueStore other;
    other.Add("N", 6);
    s.Save();
    s.Add(other);
    EXPECT_TRUE(s.changed());
    EXPECT_EQ(s.GetInt("N", 0), 6);
    s.Clear();
    EXPECT_TRUE(s.Entries().empty());
}

TEST(KeyValueStore, UnchangedSaveKeepsUpdatedTime) {
    testsupport::TempDir dir;
    std::string path = dir.file("s");
    WriteFile(path, "UPDATED_TIME=Thu Jan  1 00:00:00 1970\nA=1\n");
    KeyValueStore s(path.c_str());
    ASSERT_TRUE(s.Save());
    EXPECT_EQ(ReadFile(path), "A=1\nUPDATED_TIME=Thu Jan  1 00:00:00 1970\n");
    s.Add("A", 2);
    ASSERT_TRUE(s.Save());
    EXPECT_EQ(ReadFile(path).find("1970"), std::string::npos);
}

TEST(KeyValueStore, LineBreakInValueNeverBecomesAnotherEntry) {
    testsupport::TempDir dir;
    std::string path = dir.file("s");
    KeyValueStore s;
    s.Add("LATEST_TRANSFER", std::string("/tmp/odd\nLATEST_DOWNLOAD=1.bird\r\n"));
    ASSERT_TRUE(s.Save(path.c_str()));
    KeyValueStore back(path.c_str());
    EXPECT_EQ(back["LATEST_DOWNLOAD"], nullptr);
    EXPECT_EQ(back.GetString("LATEST_TRANSFER"), "/tmp/odd LATEST_DOWNLOAD=1.bird");
}

TEST(KeyValueStore, FailedSaveLeavesThePreviousFileWhole) {
    testsupport::TempDir dir;
    std::string path = dir.file("s");
    std::string before = "A=" + std::string(200, 'a') + "\nB=2\n";
    WriteFile(path, before);
    KeyValueStore s(path.c_str());
    s.Add("C", std::string(5000, 'c'));
    {
        FileSizeLimit limit(1024);
        EXPECT_FALSE(s.Save());
    }
    EXPECT_TRUE(s.changed());
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(FilesIn(dir.path()), 1u);
    EXPECT_TRUE(s.Save());
    EXPECT_NE(ReadFile(path).find(std::string(5000, 'c')), std::string::npos);
}
