// Raw wire-protocol clients for the stationsim tests (the process and temporary
// folders come from tests/support): a run to exit, UDP queries, an upload
// connection and one scripted upload.
#pragma once

#include "FirmwareImage.h"
#include "Protocol.h"
#include "StationProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>

namespace simtest {

using zutest::StationProcess;
using zutest::TempDir;
using Bytes = std::vector<std::uint8_t>;

struct Exit {
    int code = -1;      // exit status, or 128 + signal
    std::string output; // stdout and stderr
};

// Runs stationsim with `args` until it exits. With `during`, waits for the startup
// line, calls `during(port)` and then sends `sig`.
inline Exit runSim(const std::vector<std::string>& args, const std::function<void(int)>& during = {},
                   int sig = SIGTERM) {
    // The shell tells its pid, which exec hands on to stationsim.
    std::string command = "echo $$; exec '" + zutest::binDir() + "/stationsim'";
    for (const auto& a : args)
        command += " '" + a + "'"; // no argument here holds a quote
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    char line[256] = {};
    const pid_t pid = std::fgets(line, sizeof line, pipe) ? std::atoi(line) : 0;
    Exit e;
    int port = 0;
    while (std::fgets(line, sizeof line, pipe)) {
        e.output += line;
        if (pid > 0 && std::sscanf(line, "stationsim listening on 127.0.0.1:%d\n", &port) == 1) {
            if (during)
                during(port);
            ::kill(pid, during ? sig : SIGKILL); // without `during` it should not have started
        }
    }
    const int status = ::pclose(pipe);
    e.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return e;
}

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Sends `requests` from one UDP socket; the replies until `atMost` came or none for `quietMs`.
inline std::vector<proto::Datagram> exchange(int port, const std::vector<Bytes>& requests, int quietMs = 300,
                                             std::size_t atMost = SIZE_MAX) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = loopback(port);
    for (const Bytes& d : requests)
        ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    std::vector<proto::Datagram> replies;
    pollfd p{fd, POLLIN, 0};
    std::uint8_t buffer[2048];
    while (replies.size() < atMost && ::poll(&p, 1, quietMs) > 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (auto d = n > 0 ? proto::parseDatagram(buffer, static_cast<std::size_t>(n)) : std::nullopt)
            replies.push_back(std::move(*d));
    }
    ::close(fd);
    return replies;
}

inline Bytes infoRequest(std::int32_t id, std::uint32_t seq) {
    Bytes body;
    proto::putI32(body, id);
    return proto::makeDatagram(proto::InfoRequest, seq, body);
}

inline std::pair<int, int> versionOf(int port, std::int32_t id) { // {-1, -1} without an answer
    const auto r = exchange(port, {infoRequest(id, 1)}, 1000, 1);
    if (r.empty() || r[0].body.size() < 24)
        return {-1, -1};
    return {proto::getI32(r[0].body.data() + 16), proto::getI32(r[0].body.data() + 20)};
}

class Conn {
public:
    explicit Conn(int port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in to = loopback(port);
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            close();
    }
    ~Conn() { close(); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool ok() const { return m_fd >= 0; }
    bool peerClosed() const { return m_closed; }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool sendRaw(const Bytes& bytes) {
        std::signal(SIGPIPE, SIG_IGN); // a reset shows as EPIPE, not as a dead test
        const ssize_t n = m_fd < 0 ? -1 : ::write(m_fd, bytes.data(), bytes.size());
        return n == static_cast<ssize_t>(bytes.size()); // frames are small: one write or none
    }
    // nullopt on silence for `timeoutMs` or when the peer closed.
    std::optional<proto::Frame> read(int timeoutMs = 2000) {
        std::optional<proto::Frame> f;
        while (!(f = m_reader.next()) && m_fd >= 0 && !m_closed) {
            pollfd p{m_fd, POLLIN, 0};
            std::uint8_t buffer[65536];
            if (::poll(&p, 1, timeoutMs) <= 0)
                break;
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            m_closed = n <= 0;
            if (n > 0)
                m_reader.feed(buffer, static_cast<std::size_t>(n));
        }
        return f;
    }

private:
    int m_fd;
    bool m_closed = false;
    proto::FrameReader m_reader;
};

inline std::uint32_t crcOf(const Bytes& image) {
    return fwimage::crc32Of(image.data(), image.size());
}

// A frame of little-endian u32 fields, then `tail`.
inline Bytes frame(std::uint16_t type, std::initializer_list<std::uint32_t> fields, const Bytes& tail = {}) {
    Bytes b;
    for (std::uint32_t v : fields)
        proto::putU32(b, v);
    b.insert(b.end(), tail.begin(), tail.end());
    return proto::makeFrame(type, b);
}

inline Bytes beginFrame(std::int32_t id, std::uint32_t size, std::uint32_t crc, std::uint32_t chunk) {
    return frame(proto::Begin, {static_cast<std::uint32_t>(id), size, crc, chunk});
}

// Past the end of `image`, the bytes come from its start: only the offset matters there.
inline Bytes chunkFrame(const Bytes& image, std::uint32_t offset, std::uint32_t size,
                        std::uint32_t crcXor = 0) {
    const auto data = image.begin() + (offset + size <= image.size() ? offset : 0);
    const Bytes bytes(data, data + size);
    return frame(proto::Chunk, {offset, crcOf(bytes) ^ crcXor}, bytes);
}

// The status field of any reply.
inline std::uint16_t statusOf(const proto::Frame& f) {
    const std::size_t at = f.type == proto::BeginReply || f.type == proto::ChunkAck ? 4 : 0;
    return f.body.size() >= at + 2 ? proto::getU16(f.body.data() + at) : 0xFFFF;
}

struct Outcome {
    std::optional<std::uint16_t> begin, verify, commit; // statuses
    int progress = 0;                                   // FlashProgress frames
};

// One upload, one chunk in flight at a time; leaves during the flash after
// `closeAfterProgress` progress frames if that is not -1.
inline Outcome upload(Conn& c, std::int32_t id, const Bytes& image, std::uint32_t chunk,
                      int closeAfterProgress = -1, int timeoutMs = 2000) {
    Outcome o;
    const auto size = static_cast<std::uint32_t>(image.size());
    c.sendRaw(beginFrame(id, size, crcOf(image), chunk));
    auto f = c.read(timeoutMs);
    if (!f || (o.begin = statusOf(*f)) != proto::Ok)
        return o;
    for (std::uint32_t offset = 0; offset < size; offset += chunk) {
        c.sendRaw(chunkFrame(image, offset, std::min(chunk, size - offset)));
        if (!(f = c.read(timeoutMs)) || f->type != proto::ChunkAck || statusOf(*f) != proto::Ok)
            return o;
    }
    c.sendRaw(frame(proto::End, {crcOf(image)}));
    if (!(f = c.read(timeoutMs)) || f->type != proto::VerifyReply || (o.verify = statusOf(*f)) != proto::Ok)
        return o;
    while ((f = c.read(timeoutMs)) && f->type == proto::FlashProgress)
        if (++o.progress == closeAfterProgress) {
            c.close();
            return o;
        }
    if (f && f->type == proto::CommitReply)
        o.commit = statusOf(*f);
    return o;
}

} // namespace simtest
