// A program run as a child process, for tests and benchmarks: a few environment
// changes, stdin from /dev/null, its output kept in a file (or shared with ours),
// stopped within a bound and reaped with its resource usage.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace support {

// name=value pairs set in the child's environment.
using EnvChanges = std::vector<std::pair<std::string, std::string>>;
// As an output path: the child writes to this process's stdout and stderr.
constexpr const char* kSharedOutput = "-";

class ChildProcess {
public:
    // stdout and stderr go to `outputPath` (created anew), or to /dev/null when it is empty.
    explicit ChildProcess(const std::vector<std::string>& argv, const EnvChanges& env = {},
                          const std::string& outputPath = {});
    ~ChildProcess(); // SIGKILL and reap if still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool running(); // reaps it when it has ended
    void signal(int sig) const;

    // Polls until it ends or `timeout` passes. True when it ended; status() and usage() then hold its end.
    bool wait(std::chrono::milliseconds timeout);
    // Sends `sig`, waits up to `grace`, then SIGKILL. The wait status, or -1 if it never started.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(5), int sig = SIGTERM);

    bool exitedWith(int code) const;
    int exitCode() const; // exit status, 128 + signal, or -1 while not reaped
    int status() const { return m_status; }
    const rusage& usage() const { return m_usage; }

    // What the output file holds so far (empty without one).
    std::string output() const;
    // Polls the output until `found` accepts it; false if the child ended or `timeout` passed first.
    bool waitForOutput(const std::function<bool(const std::string&)>& found,
                       std::chrono::milliseconds timeout);

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
    rusage m_usage{};
    std::string m_outputPath;
};

// Runs a program to its end (bounded) and returns its exit code, or -1 when it did
// not end normally; its output goes to `output` if given.
int runProgram(const std::vector<std::string>& argv, const EnvChanges& env, std::string* output,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Full path of `name` found on $PATH, or empty.
std::string findProgram(const std::string& name);

// A whole file's contents (empty if unreadable).
std::string readFile(const std::string& path);

} // namespace support
