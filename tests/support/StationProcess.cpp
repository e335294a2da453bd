#include "StationProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zutest {

namespace {

using namespace std::chrono_literals;
constexpr auto kStartWait = 10s;
constexpr auto kStopWait = 5s;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zutest-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) != nullptr)
        m_path = buf.data();
}

TempDir::~TempDir() {
    if (!m_path.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
}

std::string TempDir::write(const std::string& name, const std::string& contents) const {
    const std::string p = file(name);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << contents;
    return p;
}

std::string StationLayout::toJson() const {
    std::ostringstream j;
    j << "{ \"link_kbps\": " << linkKbps << ", \"flash_kbps\": " << flashKbps
      << ", \"serial_baud\": " << serialBaud << ",\n  \"devices\": [";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const DeviceSetup& d = devices[i];
        const DeviceFaults& f = d.faults;
        j << (i == 0 ? "\n" : ",\n") << "    { \"id\": " << d.id << ", \"address\": " << quoted(d.address)
          << ", \"name\": " << quoted(d.name) << ", \"family\": " << d.family << ", \"kind\": " << d.kind
          << ", \"sub\": " << d.sub << ", \"letter\": " << quoted(std::string(1, d.letter))
          << ", \"version\": [" << d.major << ", " << d.minor
          << "], \"serial\": " << (d.serial ? "true" : "false")
          << ", \"faults\": { \"silent\": " << (f.silent ? "true" : "false")
          << ", \"drop_after\": " << f.dropAfter << ", \"corrupt_at\": " << f.corruptAt
          << ", \"reject\": " << (f.reject ? "true" : "false")
          << ", \"flash_fail\": " << (f.flashFail ? "true" : "false") << ", \"stall_after\": " << f.stallAfter
          << ", \"delay_ms\": " << f.delayMs << " } }";
    }
    j << "\n  ] }\n";
    return j.str();
}

StationLayout makeStation(int count, std::int32_t firstId) {
    StationLayout s;
    for (int i = 0; i < count; ++i) {
        DeviceSetup d;
        d.id = firstId + i;
        d.address = "192.168.1." + std::to_string(10 + i);
        d.name = "Device " + std::to_string(d.id);
        d.sub = i % 256;
        s.devices.push_back(d);
    }
    return s;
}

std::string selfPath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::string binDir() {
    const char* dir = std::getenv("ZU_BIN_DIR");
    if (dir != nullptr && *dir != '\0')
        return dir;
    // Run by hand: the project's binaries sit next to this one, as in the build tree.
    const std::string self = selfPath();
    return self.empty() ? std::string("bin") : self.substr(0, self.rfind('/'));
}

StationProcess::StationProcess(const StationLayout& station, const StationOptions& options) {
    start(station.toJson(), options);
}

StationProcess::StationProcess(const std::string& stationJson, const StationOptions& options) {
    start(stationJson, options);
}

StationProcess::~StationProcess() {
    stop();
}

void StationProcess::start(const std::string& json, const StationOptions& options) {
    if (m_dir.path().empty()) {
        m_error = "no temporary folder";
        return;
    }
    const std::string stationFile = m_dir.write("station.json", json);
    const std::string outFile = m_dir.file("stdout.txt");
    const std::string errFile = m_dir.file("stderr.txt");
    const std::string exe = binDir() + "/stationsim";

    std::vector<std::string> args = {exe, "--station", stationFile, "--port", std::to_string(options.port)};
    if (!options.statePath.empty()) {
        args.push_back("--state");
        args.push_back(options.statePath);
    }
    if (!options.serialPath.empty()) {
        args.push_back("--serial");
        args.push_back(options.serialPath);
    }
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // Output goes to files, so a chatty simulator can never block on a full pipe.
    const int outFd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int errFd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (outFd < 0 || errFd < 0) {
        m_error = "cannot create output files";
        if (outFd >= 0)
            ::close(outFd);
        if (errFd >= 0)
            ::close(errFd);
        return;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        ::execv(exe.c_str(), argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", exe.c_str(), std::strerror(errno));
        ::_exit(127);
    }
    ::close(outFd);
    ::close(errFd);
    if (m_pid < 0) {
        m_error = "fork failed";
        return;
    }

    const std::string prefix = "stationsim listening on 127.0.0.1:";
    const auto until = std::chrono::steady_clock::now() + kStartWait;
    while (std::chrono::steady_clock::now() < until) {
        const std::string out = readFile(outFile);
        const auto at = out.find(prefix);
        if (at != std::string::npos) {
            const auto eol = out.find('\n', at);
            if (eol != std::string::npos) {
                m_port = std::atoi(out.c_str() + at + prefix.size());
                if (m_port <= 0)
                    m_error = "unreadable port in: " + out;
                return;
            }
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = "stationsim exited early: " + output();
            return;
        }
        std::this_thread::sleep_for(5ms);
    }
    m_error = "stationsim did not report its port in time: " + output();
}

std::string StationProcess::output() const {
    return readFile(m_dir.file("stdout.txt")) + readFile(m_dir.file("stderr.txt"));
}

int StationProcess::stop() {
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    const auto until = std::chrono::steady_clock::now() + kStopWait;
    for (;;) {
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid || r < 0)
            break;
        if (std::chrono::steady_clock::now() >= until) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    m_pid = -1;
    m_port = 0;
    return status;
}

std::vector<std::uint8_t> makeImageBytes(std::size_t payloadSize, int major, int minor,
                                         std::uint32_t typeCode, const char* name) {
    std::vector<std::uint8_t> payload(payloadSize);
    std::uint32_t x = 0x2545F491u ^ static_cast<std::uint32_t>(payloadSize);
    for (auto& b : payload) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    fwimage::ImageInfo meta;
    meta.typeCode = typeCode;
    std::strncpy(meta.name, name, sizeof meta.name - 1);
    meta.versionMajor = major;
    meta.versionMinor = minor;
    meta.date[0] = 24;
    meta.date[1] = 5;
    meta.date[2] = 17;
    return fwimage::buildImage(meta, payload.data(), payload.size());
}

std::string makeImageFile(const std::string& path, std::size_t payloadSize, int major, int minor,
                          std::uint32_t typeCode, const char* name) {
    const auto bytes = makeImageBytes(payloadSize, major, minor, typeCode, name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

} // namespace zutest
