// CLI_Display - the console display: messages, progress bar and spinner
#pragma once

#include "UpdaterDisplayInterface.h"

// Messages go to standard output (Info) or standard error (Error); progress and
// spinner draw on standard output only when it is a terminal.
class CLI_Display : public UpdaterDisplayInterface {
  public:
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
