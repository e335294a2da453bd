// Raw wire-protocol clients for the stationsim tests (the process and temporary
// folders come from tests/support): a run to exit, UDP queries, an upload
// connection over TCP or the serial line, and one scripted upload.
#pragma once

#include "Protocol.h"
#include "StationProcess.h"

#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace simtest {

using zutest::StationProcess;
using zutest::TempDir;
using Bytes = std::vector<std::uint8_t>;

struct Exit {
    int code = -1; // exit status, or 128 + signal
    std::string out, err;
};

// Runs stationsim with `args` until it exits. With `during`, waits for the startup
// line, calls `during(port)` and then sends `sig`.
Exit runSim(const std::vector<std::string>& args, const std::function<void(int)>& during = {},
            int sig = SIGTERM);

// Sends `requests` from one UDP socket; the replies until `atMost` came or none for `quietMs`.
std::vector<proto::Datagram> exchange(int port, const std::vector<Bytes>& requests, int quietMs = 300,
                                      std::size_t atMost = SIZE_MAX);
Bytes infoRequest(std::int32_t id, std::uint32_t seq);
std::pair<int, int> versionOf(int port, std::int32_t id); // {-1, -1} without an answer

class Conn {
public:
    explicit Conn(int port);
    explicit Conn(const std::string& ttyPath); // the serial line
    ~Conn() { close(); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool ok() const { return m_fd >= 0; }
    bool sendRaw(const Bytes& bytes);
    std::optional<proto::Frame> read(int timeoutMs = 2000); // nullopt on silence or close
    bool peerClosed() const { return m_closed; }
    bool peerReset() const { return m_reset; }
    void close();

private:
    int m_fd = -1;
    bool m_closed = false, m_reset = false;
    proto::FrameReader m_reader;
};

std::uint32_t crcOf(const Bytes& image);
Bytes beginFrame(std::int32_t id, std::uint32_t size, std::uint32_t crc, std::uint32_t chunk);
Bytes chunkFrame(const Bytes& image, std::uint32_t offset, std::uint32_t size, std::uint32_t crcXor = 0);
Bytes endFrame(std::uint32_t crc);
std::uint16_t statusOf(const proto::Frame& f); // the status field of any reply

struct Outcome {
    std::optional<std::uint16_t> begin, nack, verify, commit; // statuses; nack: a failing ChunkAck
    std::uint32_t acked = 0;                                  // last ChunkAck Ok count
    std::vector<int> progress;                                // FlashProgress percents
    std::pair<int, int> version{-1, -1};                      // CommitReply version
    bool silence = false, reset = false; // the device stopped answering / reset the connection
};

// One upload, one chunk in flight at a time; leaves during the flash after
// `closeAfterProgress` progress frames if that is not -1.
struct UploadPlan {
    std::uint32_t chunk = 256;
    int timeoutMs = 2000; // per expected frame
    int closeAfterProgress = -1;
};
Outcome upload(Conn& c, std::int32_t id, const Bytes& image, const UploadPlan& plan = {});

} // namespace simtest
