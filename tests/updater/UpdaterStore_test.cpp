// UpdaterStore - store layout, device lookup, local builds and stored files
#include "UpdaterStore.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>

#include "BirdFixture.h"
#include "TestSupport.h"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

Bytes GoodBird(const std::string& version) {
    return File(Body(1, {Info("12345", version, "40F5849A", "ABCD")}));
}

std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

} // namespace

TEST(UpdaterStore, AddDeviceLaysOutDirectoryAndSettings) {
    testsupport::TempDir dir;
    std::string root = dir.file("store/updater");
    UpdaterStore store(root);
    EXPECT_TRUE(fs::is_directory(root));
    UpdaterStoreItem item = store.AddDevice(0x40F5849A);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(item.Path(), root + "/40F5849A");
    std::string settings = testsupport::ReadFile(root + "/40F5849A/.settings");
    EXPECT_EQ(settings.find("CREATED_TIME="), 0u);
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos);
    EXPECT_FALSE(UpdaterStoreItem().IsValid());
}

TEST(UpdaterStore, FindDeviceMatchesNamesContainingTheSerial) {
    testsupport::TempDir dir;
    UpdaterStore store(dir.path());
    fs::create_directory(dir.file("ABCD"));
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x0000ABCD, &item));
    fs::create_directory(dir.file("0000ABCD"));
    ASSERT_TRUE(store.FindDevice(0x0000ABCD, &item));
    EXPECT_EQ(item.basePath, dir.path());
    EXPECT_EQ(item.name, "0000ABCD");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_NE(item.settings["CREATED_TIME"], nullptr);
    EXPECT_TRUE(store.FindDevice("ABCD", nullptr));
    EXPECT_EQ(store.ListDevices(), (std::vector<std::string>{"0000ABCD", "ABCD"}));
}

TEST(UpdaterStore, LocalBuildsSkipHiddenEntries) {
    testsupport::TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    Write(device.Path() + "/99528558.bird", GoodBird("1.0"));
    Write(device.Path() + "/100.bird", GoodBird("1.1"));
    std::vector<UpdaterStoreItem> list;
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, list));
    std::vector<std::string> names;
    for (const auto& i : list) {
        names.push_back(i.name);
        EXPECT_EQ(i.kind, STORE_ITEM_FILE);
        EXPECT_EQ(i.basePath, device.Path());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"100.bird", "99528558.bird"}));
    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x11111111, none));
    EXPECT_TRUE(none.empty());
}

TEST(UpdaterStore, StoredFilesAreWrittenWholeAndReadBack) {
    testsupport::TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice("40F5849A");
    Bytes bird = GoodBird("2.12.2");
    ASSERT_EQ(device.WriteFile("12345.bird", bird.data(), bird.size()), aErrNone);
    EXPECT_TRUE(device.FileExists("12345"));
    EXPECT_FALSE(device.FileExists("999"));
    EXPECT_EQ(device.ReadBirdFile("12345.bird").GetVersion(), "2.12.2");
    EXPECT_EQ(device.WriteFile("x.bird", nullptr, 4), aErrNotFound);
    UpdaterStoreItem gone(dir.path(), "NOPE", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("x.bird", bird.data(), bird.size()), aErrNotFound);

    std::string notBird = device.Path() + "/1.bird";
    testsupport::WriteFile(notBird, "BIRD\x01\x01 not a bird at all");
    EXPECT_EQ(ErrorOf([&] { device.ReadBirdFile("1.bird"); }), "Invalid bird " + notBird);
    testsupport::WriteFile(device.Path() + "/2.bird", "bird\x01\x01 corrupt body");
    EXPECT_EQ(ErrorOf([&] { device.ReadBirdFile("2.bird"); }), "Failed to load bird data");
    EXPECT_EQ(ErrorOf([&] { device.ReadBirdFile("3.bird"); }),
              "Invalid bird " + device.Path() + "/3.bird");
}

TEST(UpdaterStore, RootThatIsAFileIsRefused) {
    testsupport::TempDir dir;
    std::string root = dir.file("plain");
    testsupport::WriteFile(root, "x");
    EXPECT_EQ(ErrorOf([&] { UpdaterStore s(root); }),
              "UpdaterStore: " + root + " exists and is a file");
    UpdaterStore store(dir.path());
    testsupport::WriteFile(dir.file("40F5849A"), "x");
    EXPECT_EQ(ErrorOf([&] { store.AddDevice(0x40F5849A); }),
              "UpdaterStore: " + dir.file("40F5849A") + " exists and is a file");
}
