// CLI_Display - the console display: messages, progress bar and spinner
#include "CLI_Display.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char kBar[] = "=====================================================================";
constexpr int kBarWidth = sizeof kBar - 1; // 69
constexpr int kBlankWidth = 88;

bool stdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

void blankLine() {
    printf("\r%*s\r", kBlankWidth, " ");
}

} // namespace

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::info_message(const char* text) {
    printf("%s\n", text);
}

void CLI_Display::error_message(const char* text) {
    fprintf(stderr, "%s\n", text);
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!stdoutIsTerminal()) return;
    // Out-of-range input must not turn the precision or width arguments negative.
    if (!(fraction >= 0.0)) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    int width = kBarWidth;
    if (label) width = kBarWidth - int(strlen(label)) - 4;
    if (width < 0) width = 0;
    int filled = int(width * fraction);
    int percent = int(fraction * 100);
    if (label)
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "",
               percent);
    else
        printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
}

void CLI_Display::display_progress(bool show) {
    if (!stdoutIsTerminal()) return;
    if (!show) blankLine();
}

void CLI_Display::update_spinner(bool active, const char* label) {
    static const char* const kFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    static int frame = 0; // shared by every spinner of the process
    if (!stdoutIsTerminal()) return;
    if (!active) {
        blankLine();
        return;
    }
    if (label)
        printf("\r (%s) %s      \r", label, kFrames[frame]);
    else
        printf("\r %s      \r", kFrames[frame]);
    frame = (frame + 1) % 8;
}
