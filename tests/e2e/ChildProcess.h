// A program run as a child process with a few environment changes, its output
// kept in a file, reaped with its resource usage; and the X display the
// end-to-end checks of the real program use (Xvfb, driven with xdotool).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zutest {

// name=value sets, a name alone unsets.
using EnvChanges = std::vector<std::pair<std::string, std::string>>;
constexpr const char* kUnset = "\x01unset";

class ChildProcess {
public:
    // `outputPath` empty: output goes to /dev/null. stdin is /dev/null.
    ChildProcess(const std::vector<std::string>& argv, const EnvChanges& env = {},
                 const std::string& outputPath = {});
    ~ChildProcess(); // SIGKILL and reap if still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    bool running(); // reaps it when it has ended
    void signal(int sig) const;

    // Polls until it ends or `timeout` passes, calling `idle` (if any) between
    // polls. True when it ended; status() and usage() then hold its end.
    bool wait(std::chrono::milliseconds timeout, const std::function<void()>& idle = {});
    bool exitedWith(int code) const;
    int status() const { return m_status; }
    const rusage& usage() const { return m_usage; }

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
    rusage m_usage{};
};

// Runs a program to its end (bounded) and returns its exit code, or -1 when it
// did not end normally; its standard output goes to `output`.
int runProgram(const std::vector<std::string>& argv, const EnvChanges& env, std::string* output,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Full path of `name` found on $PATH, or empty.
std::string findProgram(const std::string& name);

// Xvfb on a display number it picks itself (-displayfd), local connections only.
class VirtualDisplay {
public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    static bool available(std::string* missing); // Xvfb and xdotool on $PATH
    bool running() const { return !m_display.empty(); }
    const std::string& display() const { return m_display; } // ":N"
    const std::string& error() const { return m_error; }

    // xdotool with DISPLAY set; returns its exit code, output in `out`.
    int xdotool(const std::vector<std::string>& args, std::string* out = nullptr) const;
    // Visible top-level windows titled exactly `title` (xdotool ids), empty if none.
    std::vector<std::string> visibleWindows(const std::string& title) const;

private:
    pid_t m_pid = -1;
    std::string m_display;
    std::string m_error;
};

} // namespace zutest
