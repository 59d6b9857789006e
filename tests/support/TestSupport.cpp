// TestSupport - temporary folders, child processes and pseudo-terminals for the suites
#include "TestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/updater-test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

std::string BinPath(const std::string& name) {
    return std::string(UPDATER_BIN_DIR) + "/" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

namespace {

void drain(int fd, std::string& into, bool& open) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        into.append(buf, size_t(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
        open = false;
}

// In a forked child: the environment changes, then the program; never returns.
[[noreturn]] void execWith(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env) {
    for (const auto& [k, v] : env) {
        if (v.empty())
            unsetenv(k.c_str());
        else
            setenv(k.c_str(), v.c_str(), 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

} // namespace

RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env, int timeoutSeconds) {
    RunResult result;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        close(out[0]);
        close(err[0]);
        execWith(program, args, env);
    }
    close(out[1]);
    close(err[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool outOpen = true, errOpen = true, killed = false;
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        fds[0].fd = outOpen ? out[0] : -1;
        fds[1].fd = errOpen ? err[0] : -1;
        if (poll(fds, 2, int(left)) < 0 && errno != EINTR) break;
        if (outOpen && fds[0].revents) drain(out[0], result.out, outOpen);
        if (errOpen && fds[1].revents) drain(err[0], result.err, errOpen);
    }
    close(out[0]);
    close(err[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (!killed && WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    return result;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env) {
    char tmpl[] = "/tmp/updater-child-err.XXXXXX";
    int errFd = mkstemp(tmpl);
    errPath = tmpl;
    int pipeFds[2];
    if (errFd < 0 || pipe(pipeFds) != 0) throw std::runtime_error("child set-up failed");
    pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        close(pipeFds[0]);
        execWith(program, args, env);
    }
    close(pipeFds[1]);
    close(errFd);
    out = pipeFds[0];
}

std::string ChildProcess::waitForLine(const std::string& text, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (line.find(text) != std::string::npos) return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || out < 0) return "";
        pollfd p = {out, POLLIN, 0};
        if (poll(&p, 1, int(left)) <= 0) continue;
        char buf[4096];
        ssize_t n = read(out, buf, sizeof buf);
        if (n <= 0) {
            close(out);
            out = -1;
            return "";
        }
        pending.append(buf, size_t(n));
    }
}

std::string ChildProcess::errors() const {
    return ReadFile(errPath);
}

int ChildProcess::stop(int timeoutMs) {
    if (pid <= 0) return -1;
    kill(pid, SIGTERM);
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
    return -1;
}

ChildProcess::~ChildProcess() {
    stop();
    if (out >= 0) close(out);
    unlink(errPath.c_str());
}

StdoutRedirect::StdoutRedirect(bool terminal) : terminal(terminal) {
    fflush(stdout);
    saved = dup(STDOUT_FILENO);
    if (terminal) {
        struct termios raw;
        cfmakeraw(&raw);
        if (openpty(&master, &target, nullptr, &raw, nullptr) != 0)
            throw std::runtime_error("openpty failed");
    } else {
        char tmpl[] = "/tmp/updater-stdout.XXXXXX";
        target = mkstemp(tmpl);
        if (target < 0) throw std::runtime_error("mkstemp failed");
        filePath = tmpl;
    }
    dup2(target, STDOUT_FILENO);
}

std::string StdoutRedirect::finish() {
    fflush(stdout);
    std::string captured;
    if (terminal) {
        int flags = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, flags | O_NONBLOCK);
        char buf[4096];
        ssize_t n;
        while ((n = read(master, buf, sizeof buf)) > 0)
            captured.append(buf, size_t(n));
    } else {
        captured = ReadFile(filePath);
    }
    return captured;
}

StdoutRedirect::~StdoutRedirect() {
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    if (target >= 0) close(target);
    if (master >= 0) close(master);
    if (!filePath.empty()) unlink(filePath.c_str());
}

} // namespace testsupport
