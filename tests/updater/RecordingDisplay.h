// RecordingDisplay - a display that keeps the engine's messages for the tests to read
#pragma once

#include <string>

#include "UpdaterDisplayInterface.h"

// Progress and spinner draw nothing; each message is kept with its line end.
class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { info += std::string(text) + "\n"; }
    void error_message(const char* text) override { errors += std::string(text) + "\n"; }
    std::string info, errors;
};
