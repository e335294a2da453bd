// Helpers for driving a stationsim process directly over its wire protocol:
// the process itself, a UDP query socket and a raw upload connection.
#pragma once

#include "Protocol.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simtest {

std::string simBinary(); // $ZU_BIN_DIR/stationsim

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::string m_path;
};

struct Exit {
    int code = -1; // exit status, or 128 + signal
    std::string err;
};

// Runs stationsim with `args` to completion (killed after `timeoutMs`).
Exit runToExit(const std::vector<std::string>& args, int timeoutMs = 5000);

// A running stationsim; SIGTERM and a bounded wait on destruction.
class Sim {
public:
    explicit Sim(const std::vector<std::string>& args);
    ~Sim();
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    bool ready() const { return m_port != 0; }
    std::uint16_t port() const { return m_port; }
    const std::string& line() const { return m_line; } // the startup line
    std::string err() const;
    // Sends `sig` and waits (bounded); the exit status, or 128 + signal.
    int stop(int sig = 15);

private:
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
    std::string m_line;
    std::string m_errPath;
};

// A UDP socket on loopback talking to one station.
class Udp {
public:
    explicit Udp(std::uint16_t port);
    ~Udp();
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    void send(std::uint16_t type, std::uint32_t seq, const std::vector<std::uint8_t>& body);
    std::optional<proto::Datagram> receive(int timeoutMs);

    // One scan: every reply part that arrives within `timeoutMs` of the last.
    std::vector<proto::Datagram> scan(std::uint32_t seq, int timeoutMs = 300);
    std::optional<proto::Datagram> info(std::int32_t id, std::uint32_t seq, int timeoutMs = 1000);

private:
    int m_fd;
    std::uint16_t m_port;
};

struct InfoFields {
    std::int32_t id = 0;
    std::uint16_t status = 0;
    std::uint32_t address = 0;
    std::uint32_t typeCode = 0;
    std::int32_t major = 0;
    std::int32_t minor = 0;
    std::string name;
};
InfoFields decodeInfo(const proto::Datagram& d);

// A raw upload connection.
class Conn {
public:
    explicit Conn(std::uint16_t port);
    explicit Conn(const std::string& ttyPath); // the serial line
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool ok() const { return m_fd >= 0; }
    bool sendRaw(const std::vector<std::uint8_t>& bytes);
    bool send(std::uint16_t type, const std::vector<std::uint8_t>& body) {
        return sendRaw(proto::makeFrame(type, body));
    }
    // Next frame within `timeoutMs`; nullopt on timeout or when the peer closed.
    std::optional<proto::Frame> read(int timeoutMs);
    bool peerClosed() const { return m_closed; }
    bool peerReset() const { return m_reset; }
    void close();

private:
    int m_fd = -1;
    bool m_closed = false;
    bool m_reset = false;
    proto::FrameReader m_reader;
};

// Frame bodies.
std::vector<std::uint8_t> beginBody(std::int32_t id, std::uint32_t size, std::uint32_t crc,
                                    std::uint32_t chunk);
std::vector<std::uint8_t> chunkBody(std::uint32_t offset, const std::uint8_t* data, std::size_t size);
std::vector<std::uint8_t> endBody(std::uint32_t crc);
std::uint16_t statusOf(const proto::Frame& f); // BeginReply, ChunkAck: status after the first u32

// A valid image with a pseudo-random payload.
std::vector<std::uint8_t> makeImage(std::size_t payload, std::int32_t major, std::int32_t minor);

// What one upload attempt saw.
struct Outcome {
    std::optional<std::uint16_t> begin;  // BeginReply status
    std::uint32_t acked = 0;             // last ChunkAck Ok count
    std::optional<std::uint16_t> nack;   // a failing ChunkAck status
    std::optional<std::uint16_t> verify; // VerifyReply status
    std::vector<int> progress;           // FlashProgress percents
    std::optional<std::uint16_t> commit; // CommitReply status
    std::int32_t major = -1, minor = -1; // CommitReply version
    bool silence = false;                // the device stopped answering
    bool reset = false;                  // connection reset by the device
};

struct UploadPlan {
    std::uint32_t chunk = 256;
    int timeoutMs = 2000;        // per expected frame
    int silenceMs = 300;         // how long a stalled device is watched
    int closeAfterProgress = -1; // leave during the flash once this many progress frames came
};

// Drives one upload with one chunk in flight at a time.
Outcome upload(Conn& c, std::int32_t id, const std::vector<std::uint8_t>& image, const UploadPlan& plan = {});

} // namespace simtest
