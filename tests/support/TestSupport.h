// TestSupport - temporary folders, child processes and pseudo-terminals for the suites
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under TMPDIR, removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

  private:
    std::string dir;
};

struct RunResult {
    int status = -1; // exit status, or -1 when killed or not started
    std::string out;
    std::string err;
};

// Runs program with args, capturing both output streams; killed after the time-out.
// env entries are set on top of the inherited environment (an empty value unsets).
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {}, int timeoutSeconds = 60);

// A program running beside the test; killed (SIGTERM, then SIGKILL) on destruction.
// Its standard output can be read line by line; standard error goes to a file.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output holding text, or "" after the time-out or end.
    std::string waitForLine(const std::string& text, int timeoutMs = 10000);
    // Everything the program wrote to standard error so far.
    std::string errors() const;
    // SIGTERM and wait; answers the exit status, -1 when it had to be killed.
    int stop(int timeoutMs = 5000);

  private:
    int pid = -1;
    int out = -1;
    std::string pending;
    std::string errPath;
};

// Path of a built executable in the build's bin folder.
std::string BinPath(const std::string& name);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Runs fn with standard output pointed at a fresh pseudo-terminal and answers the
// bytes that reached the terminal.
template <typename Fn> std::string CaptureStdoutOnPty(Fn fn);

// Same with standard output pointed at a regular file.
template <typename Fn> std::string CaptureStdoutToFile(Fn fn);

// Implementation detail of the capture helpers.
class StdoutRedirect {
  public:
    explicit StdoutRedirect(bool terminal);
    ~StdoutRedirect();
    std::string finish();

  private:
    int saved = -1;
    int master = -1;
    int target = -1;
    std::string filePath;
    bool terminal;
};

template <typename Fn> std::string CaptureStdoutOnPty(Fn fn) {
    StdoutRedirect r(true);
    fn();
    return r.finish();
}

template <typename Fn> std::string CaptureStdoutToFile(Fn fn) {
    StdoutRedirect r(false);
    fn();
    return r.finish();
}

} // namespace testsupport
