// Raw wire-protocol clients for the stationsim tests (the process and temporary
// folders come from tests/support): a run to exit, a UDP query socket, an upload
// connection over TCP or the serial line, and one scripted upload.
#pragma once

#include "Protocol.h"
#include "StationProcess.h"

#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace simtest {

using zutest::StationProcess;
using zutest::TempDir;

struct Exit {
    int code = -1; // exit status, or 128 + signal
    std::string out, err;
};

inline zutest::StationOptions serialAt(const std::string& link) {
    zutest::StationOptions o;
    o.serialPath = link;
    return o;
}

// Runs stationsim with `args` until it exits. With `during`, waits for the startup
// line, calls `during(port)` and then sends `sig`.
Exit runSim(const std::vector<std::string>& args, const std::function<void(int)>& during = {},
            int sig = SIGTERM);

class Udp {
public:
    explicit Udp(int port);
    ~Udp();
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    void send(std::uint16_t type, std::uint32_t seq, const std::vector<std::uint8_t>& body);
    std::optional<proto::Datagram> receive(int timeoutMs);
    // Every reply part that arrives within `timeoutMs` of the last.
    std::vector<proto::Datagram> scan(std::uint32_t seq, int timeoutMs = 300);
    std::optional<proto::Datagram> info(std::int32_t id, std::uint32_t seq, int timeoutMs = 1000);

private:
    int m_fd;
    int m_port;
};

struct InfoFields {
    std::int32_t id = 0;
    std::uint16_t status = 0;
    std::uint32_t address = 0, typeCode = 0;
    std::int32_t major = 0, minor = 0;
    std::string name;
};
InfoFields decodeInfo(const proto::Datagram& d);
// The version a device reports, {-1, -1} without an answer.
std::pair<int, int> versionOf(int port, std::int32_t id);

class Conn {
public:
    explicit Conn(int port);
    explicit Conn(const std::string& ttyPath); // the serial line
    ~Conn() { close(); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool ok() const { return m_fd >= 0; }
    bool sendRaw(const std::vector<std::uint8_t>& bytes);
    bool send(std::uint16_t type, const std::vector<std::uint8_t>& body) {
        return sendRaw(proto::makeFrame(type, body));
    }
    // Next frame within `timeoutMs`; nullopt on timeout or when the peer closed.
    std::optional<proto::Frame> read(int timeoutMs = 2000);
    bool peerClosed() const { return m_closed; }
    bool peerReset() const { return m_reset; }
    void close();

private:
    int m_fd = -1;
    bool m_closed = false;
    bool m_reset = false;
    proto::FrameReader m_reader;
};

using Bytes = std::vector<std::uint8_t>;
std::uint32_t crcOf(const Bytes& image);
Bytes beginBody(std::int32_t id, std::uint32_t size, std::uint32_t crc, std::uint32_t chunk);
Bytes chunkFrame(const Bytes& image, std::uint32_t offset, std::uint32_t size, std::uint32_t crcXor = 0);
Bytes endFrame(std::uint32_t crc);
std::uint16_t statusOf(const proto::Frame& f); // the status field of any reply

// What one upload attempt saw.
struct Outcome {
    std::optional<std::uint16_t> begin;  // BeginReply status
    std::uint32_t acked = 0;             // last ChunkAck Ok count
    std::optional<std::uint16_t> nack;   // a failing ChunkAck status
    std::optional<std::uint16_t> verify; // VerifyReply status
    std::vector<int> progress;           // FlashProgress percents
    std::optional<std::uint16_t> commit; // CommitReply status
    std::pair<int, int> version{-1, -1}; // CommitReply version
    bool silence = false;                // the device stopped answering
    bool reset = false;                  // connection reset by the device
};

struct UploadPlan {
    std::uint32_t chunk = 256;
    int timeoutMs = 2000;        // per expected frame
    int closeAfterProgress = -1; // leave during the flash once this many progress frames came
};

// Drives one upload with one chunk in flight at a time.
Outcome upload(Conn& c, std::int32_t id, const Bytes& image, const UploadPlan& plan = {});

} // namespace simtest
