#include "tests/support/ChildProcess.h"

#include <fcntl.h>
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

namespace support {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

pid_t spawn(const std::vector<std::string>& argv, const EnvChanges& changes, const std::string& outPath) {
    if (argv.empty())
        return -1;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (std::none_of(changes.begin(), changes.end(), [&](const auto& c) { return c.first == name; }))
            env.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        env.emplace_back(name).append("=").append(value);
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
    if (outPath != kSharedOutput) {
        const char* out = outPath.empty() ? "/dev/null" : outPath.c_str();
        posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argp.front(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

} // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const EnvChanges& env,
                           const std::string& outputPath)
    : m_outputPath(outputPath == kSharedOutput ? std::string() : outputPath) {
    m_pid = spawn(argv, env, outputPath);
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

bool ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= until)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return m_pid > 0;
}

int ChildProcess::stop(std::chrono::milliseconds grace, int sig) {
    if (m_pid <= 0)
        return -1;
    signal(sig);
    if (!wait(grace)) {
        signal(SIGKILL);
        wait(grace);
    }
    return m_status;
}

bool ChildProcess::exitedWith(int code) const {
    return m_reaped && WIFEXITED(m_status) && WEXITSTATUS(m_status) == code;
}

int ChildProcess::exitCode() const {
    if (!m_reaped)
        return -1;
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
}

std::string ChildProcess::output() const {
    return m_outputPath.empty() ? std::string() : readFile(m_outputPath);
}

bool ChildProcess::waitForOutput(const std::function<bool(const std::string&)>& found,
                                 std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    for (;;) {
        // Read before looking at the child, so output written just before it ended counts.
        const bool alive = running();
        if (found(output()))
            return true;
        if (!alive || Clock::now() >= until)
            return false;
        std::this_thread::sleep_for(5ms);
    }
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
        if (output)
            *output = child.output();
    }
    ::unlink(path);
    return code;
}

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

} // namespace support
