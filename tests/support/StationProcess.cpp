#include "tests/support/StationProcess.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zutest {

using namespace std::chrono_literals;

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zutest-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr)
        m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::write(const std::string& name, const std::string& contents) const {
    std::ofstream(file(name), std::ios::binary | std::ios::trunc) << contents;
    return file(name);
}

std::string StationLayout::toJson() const {
    nlohmann::json list = nlohmann::json::array();
    for (const DeviceSetup& d : devices) {
        const DeviceFaults& f = d.faults;
        list.push_back({{"id", d.id},
                        {"address", d.address},
                        {"name", d.name},
                        {"family", d.family},
                        {"kind", d.kind},
                        {"sub", d.sub},
                        {"letter", std::string(1, d.letter)},
                        {"version", {d.major, d.minor}},
                        {"serial", d.serial},
                        {"faults",
                         {{"silent", f.silent},
                          {"drop_after", f.dropAfter},
                          {"corrupt_at", f.corruptAt},
                          {"reject", f.reject},
                          {"flash_fail", f.flashFail},
                          {"stall_after", f.stallAfter}}}});
        if (!d.accepts.empty())
            list.back()["accepts"] = d.accepts;
        if (!d.trustedKeys.empty())
            list.back()["trusted_keys"] = d.trustedKeys;
        if (d.securityCounter != 0)
            list.back()["security_counter"] = d.securityCounter;
    }
    return nlohmann::json{
        {"link_kbps", linkKbps}, {"flash_kbps", flashKbps}, {"serial_baud", serialBaud}, {"devices", list}}
        .dump(2);
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
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

std::string binDir() {
    const char* dir = std::getenv("ZU_BIN_DIR");
    if (dir != nullptr && *dir != '\0')
        return dir;
    // Run by hand: the project's binaries sit next to this one, as in the build tree.
    const std::string self = selfPath();
    return self.empty() ? std::string("bin") : self.substr(0, self.rfind('/'));
}

StationProcess::StationProcess(const StationLayout& station, const StationOptions& options)
    : StationProcess(station.toJson(), options) {}

StationProcess::StationProcess(const std::string& stationJson, const StationOptions& options) {
    std::vector<std::string> args = {"--station", m_dir.write("station.json", stationJson), "--port",
                                     std::to_string(options.port)};
    if (!options.statePath.empty())
        args.insert(args.end(), {"--state", options.statePath});
    if (!options.serialPath.empty())
        args.insert(args.end(), {"--serial", options.serialPath});
    start(args);
}

StationProcess::StationProcess(const std::vector<std::string>& args) {
    start(args);
}

StationProcess::~StationProcess() {
    stop();
}

void StationProcess::start(std::vector<std::string> args) {
    args.insert(args.begin(), binDir() + "/stationsim");
    // Output goes to a file, so a chatty simulator can never block on a full pipe.
    m_child = std::make_unique<support::ChildProcess>(args, support::EnvChanges{}, m_dir.file("output.txt"));
    const std::string prefix = "stationsim listening on 127.0.0.1:";
    const bool listening = m_child->waitForOutput(
        [&](const std::string& out) {
            const auto at = out.find(prefix);
            return at != std::string::npos && out.find('\n', at) != std::string::npos;
        },
        10s);
    const std::string out = output();
    if (listening)
        m_port = std::atoi(out.c_str() + out.find(prefix) + prefix.size());
    if (m_port <= 0)
        m_error = (m_child->running() ? "no port reported in time: " : "stationsim ended: ") + out;
}

std::string StationProcess::output() const {
    return m_child ? m_child->output() : std::string();
}

int StationProcess::stop(int sig) {
    m_port = 0;
    return m_child ? m_child->stop(5s, sig) : -1;
}

FrameStream FrameStream::connectTo(int port) {
    FrameStream s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        s.close();
    return s;
}

bool FrameStream::send(const std::vector<std::uint8_t>& bytes) {
    // MSG_NOSIGNAL: a peer that hung up shows as EPIPE, not as a dead test.
    return ::send(fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::optional<wire::Frame> FrameStream::read(int timeoutMs) {
    std::optional<wire::Frame> f;
    while (!(f = m_reader.next()) && m_fd.valid() && !m_closed) {
        pollfd p{fd(), POLLIN, 0};
        std::uint8_t buffer[65536];
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        const ssize_t n = ::read(fd(), buffer, sizeof buffer);
        m_closed = n <= 0;
        if (n > 0)
            m_reader.feed(buffer, static_cast<std::size_t>(n));
    }
    return f;
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
    fwimage::ImageInfo meta{typeCode, "", major, minor, {24, 5, 17}, 0, 0};
    std::strncpy(meta.name, name, sizeof meta.name - 1);
    return fwimage::buildImage(meta, payload.data(), payload.size());
}

std::string makeImageFile(const std::string& path, std::size_t payloadSize, int major, int minor,
                          std::uint32_t typeCode, const char* name) {
    const auto bytes = makeImageBytes(payloadSize, major, minor, typeCode, name);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

} // namespace zutest
