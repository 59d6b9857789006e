// Files and directories through aFile and aDirectory
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "TestSupport.h"
#include "aDirectory.h"
#include "aFile.h"

using testsupport::TempDir;

TEST(aFile, ExistsOpenAndModes) {
    TempDir dir;
    std::string path = dir.file("f.bin");
    EXPECT_FALSE(aFile_Exists(path.c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str())); // a directory is not a file
    EXPECT_FALSE(aFile_Exists(nullptr));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
    EXPECT_EQ(aFile_Open(path.c_str(), aFileMode(3)), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(path.c_str(), aFileModeReadOnly), nullptr); // missing
    std::string tooLong(aFILE_MAX_PATH + 1, 'a');
    EXPECT_EQ(aFile_Open(tooLong.c_str(), aFileModeWriteOnly), nullptr);
    EXPECT_EQ(aFile_Delete(tooLong.c_str()), aErrFileNameLength);

    aFileRef f = aFile_Open(path.c_str(), aFileModeWriteOnly);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(aFile_Exists(path.c_str()));
    EXPECT_FALSE(aDirectory_Exists(path.c_str()));
    uint8_t byte = 0;
    size_t count = 7;
    EXPECT_EQ(aFile_Read(f, &byte, 1, &count), aErrMode);
    EXPECT_EQ(aFile_Write(f, reinterpret_cast<const uint8_t*>("hello"), 5, &count), aErrNone);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(aFile_Printf(f, " %d\n", 42), aErrNone);
    EXPECT_EQ(aFile_Write(f, nullptr, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(aFile_Close(&f), aErrParam); // a second close is harmless
    EXPECT_EQ(aFile_Read(nullptr, &byte, 1, &count), aErrParam);

    f = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(f, nullptr);
    size_t position = 0;
    EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
    EXPECT_EQ(position, 9u); // append starts at the end
    EXPECT_EQ(aFile_Write(f, reinterpret_cast<const uint8_t*>("!"), 1, &count), aErrNone);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(testsupport::ReadFile(path), "hello 42\n!");

    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
}

TEST(aFile, ReadEndOfFileSizeAndSeekBounds) {
    TempDir dir;
    std::string empty = dir.file("empty");
    testsupport::WriteFile(empty, "");
    aFileRef f = aFile_Open(empty.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    uint8_t buf[8];
    size_t count = 99;
    EXPECT_EQ(aFile_Read(f, buf, sizeof buf, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Write(f, buf, 1, &count), aErrMode);
    aFile_Close(&f);

    std::string path = dir.file("ten");
    testsupport::WriteFile(path, "0123456789");
    f = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    size_t size = 0;
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);
    EXPECT_EQ(aFile_Seek(f, 11, 0), aErrRange);
    EXPECT_EQ(aFile_Seek(f, -1, 0), aErrRange);
    EXPECT_EQ(aFile_Seek(f, 1, 2), aErrRange);
    EXPECT_EQ(aFile_Seek(f, 10, 0), aErrNone); // exactly the end
    EXPECT_EQ(aFile_Seek(f, -4, 1), aErrNone);
    EXPECT_EQ(aFile_Read(f, buf, sizeof buf, &count), aErrNone); // a short read
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), count), "6789");
    size_t position = 1234;
    EXPECT_EQ(aFile_Seek(f, 0, 0), aErrNone);
    EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
    EXPECT_EQ(position, 1234u); // position 0 leaves the caller's value
    aFile_Close(&f);
}

TEST(aFile, ReadLineReportsOverrunAndKeepsTheRest) {
    TempDir dir;
    std::string path = dir.file("lines");
    std::string fits(2047 - 1, 'a');
    std::string longLine(3000, 'b');
    testsupport::WriteFile(path, fits + "\n" + longLine + "\nlast");
    aFileRef f = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    char buf[2048];
    size_t length = 0;
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrNone);
    EXPECT_EQ(length, 2047u);
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrOverrun);
    EXPECT_EQ(length, 2047u);
    EXPECT_EQ(std::string(buf), std::string(2047, 'b'));
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrNone);
    EXPECT_EQ(std::string(buf), std::string(3000 - 2047, 'b') + "\n");
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrNone);
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrEOF);
    aFile_Close(&f);
}

TEST(aDirectory, BuildPathJoinsWithOneSeparator) {
    struct Case {
        const char* a;
        const char* b;
        const char* expected;
    } cases[] = {
        {"x", "y", "x/y"},
        {"x/", "y", "x/y"},
        {"x", "/y", "x/y"},
        {"x/", "/y", "x//y"},
    };
    char buf[64];
    for (const Case& c : cases) {
        EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, c.a, c.b), aErrNone);
        EXPECT_STREQ(buf, c.expected);
    }
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "a", "b", "c", nullptr), aErrNone);
    EXPECT_STREQ(buf, "a/b/c");
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "0", "1", "2", "3", "4", "5", "6", "7", "8",
                                   "9", nullptr),
              aErrNone);
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "0", "1", "2", "3", "4", "5", "6", "7", "8",
                                   "9", "10", nullptr),
              aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(nullptr, 8, "a", "b"), aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, buf, "b"), aErrParam);
    char small[6];
    EXPECT_EQ(aDirectory_JoinPath(small, sizeof small, "abcde", "f"), aErrOverrun);
    EXPECT_EQ(aDirectory_JoinPath(small, sizeof small, "ab", "cde"), aErrOverrun);
    EXPECT_STREQ(small, "ab/"); // what was joined so far
    EXPECT_EQ(aDirectory_JoinPath(small, sizeof small, "ab", "c"), aErrNone);
    EXPECT_STREQ(small, "ab/c");
}

TEST(aDirectory, EnsureListAndDeleteTree) {
    TempDir dir;
    char cwd[4096];
    ASSERT_EQ(aDirectory_CWD(cwd, sizeof cwd), aErrNone);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(aDirectory_Ensure("a/b/c", 0755), aErrNone); // relative to the working folder
    EXPECT_TRUE(aDirectory_Exists("a") && aDirectory_Exists("a/b") && aDirectory_Exists("a/b/c"));
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_EQ(aDirectory_Ensure((dir.path() + "/x//y/").c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists((dir.path() + "/x/y").c_str()));
    testsupport::WriteFile(dir.file("file"), "12345");
    EXPECT_EQ(aDirectory_Ensure(dir.file("file/sub").c_str(), 0755), aErrPermission);

    std::set<std::string> names;
    auto collect = [](const aDirectoryListData* e, void* ctx) {
        std::string p(e->path);
        static_cast<std::set<std::string>*>(ctx)->insert(
            p.substr(p.rfind('/') + 1) + (e->isDirectory ? "/" : "") + std::to_string(e->size));
        return true;
    };
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &names), aErrNone);
    EXPECT_TRUE(names.count("file5"));
    EXPECT_EQ(names.size(), 5u); // ., .., a, x, file
    bool sawDot = false, sawDotDot = false;
    for (const std::string& n : names) {
        sawDot |= n.rfind("./", 0) == 0;
        sawDotDot |= n.rfind("../", 0) == 0;
    }
    EXPECT_TRUE(sawDot && sawDotDot);
    int calls = 0;
    EXPECT_EQ(
        aDirectory_List(
            dir.path().c_str(),
            [](const aDirectoryListData*, void* ctx) { return ++*static_cast<int*>(ctx) < 1; },
            &calls),
        aErrNone);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(aDirectory_List(dir.file("none").c_str(), collect, &names), aErrNotFound);

    // A link to a folder outside the tree is removed, never followed.
    TempDir outside;
    testsupport::WriteFile(outside.file("keep"), "k");
    ASSERT_EQ(symlink(outside.path().c_str(), (dir.path() + "/a/b/link").c_str()), 0);
    EXPECT_EQ(aDirectory_DeleteTree((dir.path() + "/a").c_str()), aErrNone);
    EXPECT_FALSE(aDirectory_Exists((dir.path() + "/a").c_str()));
    EXPECT_TRUE(aFile_Exists(outside.file("keep").c_str()));
    EXPECT_EQ(aDirectory_DeleteTree((dir.path() + "/a").c_str()), aErrNotFound);
    EXPECT_EQ(aDirectory_Delete(dir.path().c_str()), aErrUnknown); // not empty
}

TEST(aDirectory, HomeAndExecutablePaths) {
    char buf[2048];
    EXPECT_EQ(aDirectory_GetHomeDirectory(buf, sizeof buf), aErrNone);
    EXPECT_GT(strlen(buf), 0u);
    char tiny[2];
    EXPECT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrOverrun);
    EXPECT_EQ(strlen(tiny), 1u);
    EXPECT_EQ(aDirectory_ExecutableFilePath(buf, sizeof buf), aErrNone);
    EXPECT_NE(std::string(buf).find("test_common"), std::string::npos);
}
