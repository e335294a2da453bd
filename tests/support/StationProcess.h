// Test helpers without Qt: stationsim as a child process on a free loopback port,
// station files written from a small description, firmware images, temporary
// folders, and a frame stream over a socket.
#pragma once

#include "support/Fd.h"
#include "tests/support/ChildProcess.h"
#include "wire/FirmwareImage.h"
#include "wire/Frame.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zutest {

// A private folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::string write(const std::string& name, const std::string& contents) const;

private:
    std::string m_path;
};

struct DeviceFaults {
    bool silent = false;
    std::uint32_t dropAfter = 0;
    std::uint32_t corruptAt = 0;
    bool reject = false;
    bool flashFail = false;
    std::uint32_t stallAfter = 0;
};

struct DeviceSetup {
    std::int32_t id = 0;
    std::string address = "192.168.1.20"; // reported only; nothing binds to it
    std::string name = "Device";
    int family = 1;
    int kind = 1;
    int sub = 0;
    char letter = 'A';
    int major = 1;
    int minor = 0;
    bool serial = false;
    std::vector<int> accepts{}; // empty: the key left out (every type)
    DeviceFaults faults{};
    std::vector<std::string> trustedKeys{}; // lines of .pub files; empty: the key left out
    std::uint32_t securityCounter = 0;
};

struct StationLayout {
    std::uint32_t linkKbps = 0;
    std::uint32_t flashKbps = 0;
    std::uint32_t serialBaud = 0;
    std::vector<DeviceSetup> devices;

    std::string toJson() const;
};

// `count` devices with ids first, first+1, ..., addresses 192.168.1.(10+i), names "Device N".
StationLayout makeStation(int count, std::int32_t firstId = 101);

struct StationOptions {
    int port = 0;             // --port; 0 picks a free one
    std::string statePath{};  // --state
    std::string serialPath{}; // --serial
};

// $ZU_BIN_DIR/stationsim, waited for (bounded) until it prints "stationsim listening
// on 127.0.0.1:PORT"; stopped with SIGTERM on destruction.
class StationProcess {
public:
    explicit StationProcess(const StationLayout& station, const StationOptions& options = {});
    explicit StationProcess(const std::string& stationJson, const StationOptions& options = {});
    // Exactly these arguments; one that exits at once leaves its code in exitCode().
    explicit StationProcess(const std::vector<std::string>& args);
    ~StationProcess();
    StationProcess(const StationProcess&) = delete;
    StationProcess& operator=(const StationProcess&) = delete;

    bool running() const { return m_port > 0; }
    int port() const { return m_port; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(m_port); }
    const std::string& error() const { return m_error; } // why it did not start
    std::string output() const;                          // stdout and stderr so far
    int exitCode() const { return m_child ? m_child->exitCode() : -1; }

    // `sig`, then a bounded wait (SIGKILL after it). Returns the exit status as
    // waitpid reports it, or -1 if the process never started.
    int stop(int sig = SIGTERM);
    // Its peak resident memory in KiB, once stop() has reaped it.
    long peakRssKb() const { return m_child ? m_child->usage().ru_maxrss : -1; }

private:
    void start(std::vector<std::string> args);

    TempDir m_dir;
    std::unique_ptr<support::ChildProcess> m_child;
    int m_port = 0;
    std::string m_error;
};

// One end of an upload link (TCP or a socket pair), owned: whole frames out, frames in.
class FrameStream {
public:
    explicit FrameStream(int fd) : m_fd(fd) {}
    static FrameStream connectTo(int port); // 127.0.0.1:port; closed if refused

    int fd() const { return m_fd.get(); }
    bool peerClosed() const { return m_closed; }
    void close() { m_fd.reset(); }
    bool send(const std::vector<std::uint8_t>& bytes); // frames are small: one write or none
    // The next frame; nullopt on silence for `timeoutMs` or when the peer closed.
    std::optional<wire::Frame> read(int timeoutMs = 2000);

private:
    support::Fd m_fd;
    bool m_closed = false;
    wire::FrameReader m_reader;
};

// Writes a valid image (deterministic pseudo-random payload) and returns its path.
std::string makeImageFile(const std::string& path, std::size_t payloadSize, int major = 3, int minor = 7,
                          std::uint32_t typeCode = 0x01010241, const char* name = "Test image");

// The bytes of such an image, without writing it.
std::vector<std::uint8_t> makeImageBytes(std::size_t payloadSize, int major = 3, int minor = 7,
                                         std::uint32_t typeCode = 0x01010241,
                                         const char* name = "Test image");

using support::readFile;

// Directory holding the project's binaries ($ZU_BIN_DIR, else this program's own folder).
std::string binDir();

// Full path of the running program.
std::string selfPath();

} // namespace zutest
