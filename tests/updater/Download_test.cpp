// Download checks that end before the server is asked anything
#include <gtest/gtest.h>

#include "CannedServer.h"
#include "TestSupport.h"
#include "RecordingDisplay.h"
#include "Updater.h"

TEST(Download_Firmware, RefusesBadArgumentsBeforeAnyRequest) {
    testsupport::CannedServer server([](const httplib::Request&) {
        return testsupport::CannedServer::Reply{200, "ok\n"};
    });
    testsupport::TempDir store;
    struct Case {
        uint32_t serial;
        const char* build;
        const char* message;
    } cases[] = {
        {1, "abc", "Build number 'abc' must be an number\n"},
        {1, "4294967296", "Build number '4294967296' must be an number\n"},
        {1, "-1", "Build number '-1' must be an number\n"},
        {0, "", "Serial Number must be non-zero\n"},
    };
    for (const Case& c : cases) {
        RecordingDisplay display;
        Updater updater(server.url(), store.path(), display);
        EXPECT_EQ(updater.Download_Firmware(c.serial, c.build, false, false), 0u);
        EXPECT_EQ(display.errors, c.message);
    }
    EXPECT_TRUE(server.requests().empty());
}
