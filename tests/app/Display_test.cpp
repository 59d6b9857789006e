// The console display and the diagnostic log
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "TestSupport.h"

using testsupport::CaptureStdoutOnPty;
using testsupport::CaptureStdoutToFile;

namespace {

std::string bar(int filled, int width) {
    return std::string(size_t(filled), '=') + ">" + std::string(size_t(width - filled - 1), ' ');
}

} // namespace

TEST(CLI_Display, ProgressBarBytesOnATerminal) {
    CLI_Display display;
    struct Case {
        double fraction;
        const char* label;
        std::string expected;
    } cases[] = {
        {0.0, nullptr, "\r[" + bar(0, 69) + "] (  0% ) "},
        {0.5, nullptr, "\r[" + bar(34, 69) + "] ( 50% ) "},
        {1.0, nullptr, "\r[" + std::string(69, '=') + "> ] (100% ) "},
        {0.0, "Loader", "\r (Loader) [" + bar(0, 59) + "] (  0% ) "},
        {0.5, "Loader", "\r (Loader) [" + bar(29, 59) + "] ( 50% ) "},
        {1.0, "Loader", "\r (Loader) [" + std::string(59, '=') + "> ] (100% ) "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fraction);
        EXPECT_EQ(CaptureStdoutOnPty([&] { display.update_progress(c.fraction, c.label); }),
                  c.expected);
    }
}

TEST(CLI_Display, OutOfRangeProgressStaysInsideTheLine) {
    CLI_Display display;
    std::string longLabel(100, 'x');
    EXPECT_EQ(CaptureStdoutOnPty([&] { display.update_progress(-1.0, nullptr); }),
              "\r[" + bar(0, 69) + "] (  0% ) ");
    EXPECT_EQ(CaptureStdoutOnPty([&] { display.update_progress(7.5, nullptr); }),
              "\r[" + std::string(69, '=') + "> ] (100% ) ");
    std::string out = CaptureStdoutOnPty([&] { display.update_progress(0.5, longLabel.c_str()); });
    EXPECT_NE(out.find(longLabel), std::string::npos);
    EXPECT_LT(out.size(), longLabel.size() + 40);
}

TEST(CLI_Display, EndingProgressBlanksTheLine) {
    CLI_Display display;
    std::string blank = "\r" + std::string(88, ' ') + "\r";
    EXPECT_EQ(CaptureStdoutOnPty([&] { display.display_progress(false); }), blank);
    EXPECT_EQ(CaptureStdoutOnPty([&] { display.display_progress(true); }), "");
    EXPECT_EQ(CaptureStdoutOnPty([&] { display.update_spinner(false, nullptr); }), blank);
}

TEST(CLI_Display, SpinnerFramesContinueAcrossRuns) {
    // Each test runs in a process of its own, so the shared frame index starts at 0.
    CLI_Display display;
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", ".", ".."};
    for (int i = 0; i < 10; i++) {
        if (i == 4) display.update_spinner(false, nullptr); // a new run keeps counting
        bool labelled = i % 2 == 1;
        std::string out = CaptureStdoutOnPty(
            [&] { display.update_spinner(true, labelled ? "Downloading" : nullptr); });
        std::string expected = labelled ? std::string("\r (Downloading) ") + frames[i] + "      \r"
                                        : std::string("\r ") + frames[i] + "      \r";
        EXPECT_EQ(out, expected) << i;
    }
}

TEST(CLI_Display, NothingDrawnWhenStdoutIsAFile) {
    CLI_Display display;
    std::string out = CaptureStdoutToFile([&] {
        display.update_progress(0.5, nullptr);
        display.update_progress(1.0, "x");
        display.display_progress(false);
        display.update_spinner(true, nullptr);
        display.update_spinner(false, nullptr);
        display.message(UpdaterDisplayInterface::Info, "still %s", "here");
    });
    EXPECT_EQ(out, "still here\n");
}

TEST(CLI_Display, MessagesAreCutAndMuted) {
    CLI_Display display;
    std::string longText(3000, 'a');
    std::string out = CaptureStdoutToFile(
        [&] { display.message(UpdaterDisplayInterface::Info, "%s", longText.c_str()); });
    EXPECT_EQ(out, std::string(2047, 'a') + "\n");
    display.mute_messages(true);
    out = CaptureStdoutToFile([&] {
        display.message(UpdaterDisplayInterface::Info, "hidden");
        display.update_progress(1.0, nullptr);
    });
    EXPECT_EQ(out, "");
    display.mute_messages(false);
}

TEST(Log, WritesOnlyActivePackagesToItsOutput) {
    testsupport::TempDir dir;
    std::string path = dir.file("log.txt");
    Log::log(0, "no output set\n");
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    Log::SetOutput(f);
    Log::DeactivatePackage(0xFFFFFFFF);
    Log::log(DEBUG_BirdFile, "inactive\n");
    Log::log(0, "always %d\n", 1);
    Log::ActivatePackage(DEBUG_BirdFile | DEBUG_APP);
    Log::log(DEBUG_BirdFile, "bird %s", "line");
    Log::log(DEBUG_Updater, "inactive too\n");
    Log::DeactivatePackage(DEBUG_BirdFile);
    Log::log(DEBUG_BirdFile, "gone\n");
    Log::log(DEBUG_APP, "|%s\n", std::string(3000, 'z').c_str());
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFF);
    fclose(f);
    EXPECT_EQ(testsupport::ReadFile(path), "always 1\nbird line|" + std::string(2046, 'z'));
}
