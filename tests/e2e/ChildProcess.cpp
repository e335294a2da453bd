#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace zutest {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Spawns with stdin from /dev/null and stdout+stderr to `outPath`.
pid_t spawn(const std::vector<std::string>& argv, const EnvChanges& changes, const char* outPath) {
    if (argv.empty())
        return -1;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (std::none_of(changes.begin(), changes.end(), [&](const auto& c) { return c.first == name; }))
            env.push_back(entry);
    }
    for (const auto& change : changes) {
        if (change.second != kUnset)
            env.push_back(change.first + "=" + change.second);
    }
    std::vector<std::string> args = argv;
    std::vector<char*> argp, envp;
    for (std::string& s : args)
        argp.push_back(s.data());
    for (std::string& s : env)
        envp.push_back(s.data());
    argp.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argp.front(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const EnvChanges& env,
                           const std::string& outputPath) {
    m_pid = spawn(argv, env, outputPath.empty() ? "/dev/null" : outputPath.c_str());
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, SIGKILL);
        wait(5s);
    }
}

bool ChildProcess::running() {
    if (m_pid <= 0 || m_reaped)
        return false;
    const pid_t r = ::wait4(m_pid, &m_status, WNOHANG, &m_usage);
    if (r == m_pid || (r < 0 && errno == ECHILD))
        m_reaped = true;
    return !m_reaped;
}

void ChildProcess::signal(int sig) const {
    if (m_pid > 0 && !m_reaped)
        ::kill(m_pid, sig);
}

bool ChildProcess::wait(std::chrono::milliseconds timeout, const std::function<void()>& idle) {
    const auto until = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= until)
            return false;
        if (idle)
            idle();
        else
            std::this_thread::sleep_for(2ms);
    }
    return m_pid > 0;
}

bool ChildProcess::exitedWith(int code) const {
    return m_reaped && WIFEXITED(m_status) && WEXITSTATUS(m_status) == code;
}

int runProgram(const std::vector<std::string>& argv, const EnvChanges& env, std::string* output,
               std::chrono::milliseconds timeout) {
    char path[] = "/tmp/zu-run-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        return -1;
    ::close(fd);
    int code = -1;
    {
        ChildProcess child(argv, env, path);
        if (child.wait(timeout) && WIFEXITED(child.status()))
            code = WEXITSTATUS(child.status());
    }
    if (output) {
        std::ifstream in(path, std::ios::binary);
        output->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ::unlink(path);
    return code;
}

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

VirtualDisplay::VirtualDisplay() {
    const std::string xvfb = findProgram("Xvfb");
    if (xvfb.empty()) {
        m_error = "Xvfb not found";
        return;
    }
    int fds[2];
    if (::pipe(fds) != 0) {
        m_error = "pipe failed";
        return;
    }
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    // The write end stays open in Xvfb, which reports its display number there.
    // -noreset: a server resetting as its last client leaves refuses the next one for a moment.
    const std::vector<std::string> args = {xvfb,        "-displayfd",   std::to_string(fds[1]),
                                           "-nolisten", "tcp",          "-screen",
                                           "0",         "1280x1024x24", "-noreset"};
    m_pid = spawn(args, {}, "/dev/null");
    ::close(fds[1]);
    if (m_pid <= 0) {
        ::close(fds[0]);
        m_error = "cannot start Xvfb";
        return;
    }
    std::string number;
    const auto until = Clock::now() + 15s;
    while (Clock::now() < until && number.find('\n') == std::string::npos) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[32];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        number.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    const auto end = number.find('\n');
    if (end == std::string::npos || end == 0) {
        m_error = "Xvfb did not report a display";
        return;
    }
    m_display = ":" + number.substr(0, end);
}

VirtualDisplay::~VirtualDisplay() {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(m_pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(10ms);
    if (::waitpid(m_pid, &status, WNOHANG) == 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
    }
}

bool VirtualDisplay::available(std::string* missing) {
    std::string absent;
    for (const char* program : {"Xvfb", "xdotool"}) {
        if (findProgram(program).empty())
            absent += absent.empty() ? program : std::string(", ") + program;
    }
    if (missing)
        *missing = absent;
    return absent.empty();
}

int VirtualDisplay::xdotool(const std::vector<std::string>& args, std::string* out) const {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, {{"DISPLAY", m_display}}, out);
}

std::vector<std::string> VirtualDisplay::visibleWindows(const std::string& title) const {
    std::string out;
    // --name takes a regular expression; the title holds no special characters.
    if (xdotool({"search", "--onlyvisible", "--name", "^" + title + "$"}, &out) != 0)
        return {};
    std::vector<std::string> ids;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty())
            ids.push_back(line);
    }
    return ids;
}

} // namespace zutest
