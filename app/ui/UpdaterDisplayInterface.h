// UpdaterDisplayInterface - where the engine's messages, progress and spinner go
#pragma once

class UpdaterDisplayInterface {
  public:
    enum Level { Info = 0, Error = 1 };

    virtual ~UpdaterDisplayInterface() = default;

    virtual void display_progress(bool show) = 0;
    // fraction in 0..1; label may be null.
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // One line at the level; cut to 2047 characters; nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Silences message() only; progress and spinner still draw.
    void mute_messages(bool mute) { muted = mute; }

  protected:
    bool muted = false;
};
