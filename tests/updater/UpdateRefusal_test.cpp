// Update refusals that come before any module is contacted
#include <gtest/gtest.h>

#include <sched.h>
#include <thread>

#include "BirdFixture.h"
#include "TestSupport.h"
#include "RecordingDisplay.h"
#include "Updater.h"

using namespace fixture;

TEST(Update_Firmware, RefusesAFileWhoseBlockTableIsCutShort) {
    testsupport::TempDir dir;
    // The second block claims 1000 bytes inside a body of a few dozen: it never loads, and
    // an update must not send the first block alone.
    Bytes body = Body(2, {Image(1, 0x100, Bytes(8, 7)), Block(1, Bytes(8, 0))});
    Bytes length = BE32(1000);
    std::copy(length.begin(), length.end(), body.begin() + 4 + 17 + 1);
    Write(dir.file("cut.bird"), File(body));
    // Should the refusal ever go, the update would look for the module on the network:
    // run it in a network namespace of its own, where nothing can leave the machine.
    bool isolated = false;
    std::thread t([&] {
        if (unshare(CLONE_NEWNET) != 0) return;
        isolated = true;
        for (bool override : {false, true}) {
            RecordingDisplay display;
            Updater updater("http://127.0.0.1:1/cgi/u", dir.path(), display);
            EXPECT_FALSE(
                updater.Update_Firmware(0x40F5849A, 0, dir.file("cut.bird"), 0, 0, override));
            EXPECT_EQ(display.errors,
                      "BIRD file is damaged: block 1 runs past the end of the body\n");
        }
    });
    t.join();
    if (!isolated) GTEST_SKIP() << "no private network namespace (needs root)";
}
