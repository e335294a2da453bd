#include "SimHarness.h"

#include "FirmwareImage.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace simtest {

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

} // namespace

Exit runSim(const std::vector<std::string>& args, const std::function<void(int)>& during, int sig) {
    TempDir dir;
    const std::string outPath = dir.file("out"), errPath = dir.file("err");
    std::vector<std::string> all{zutest::binDir() + "/stationsim"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    // Sanitizer builds start slowly.
    auto deadline = Clock::now() + std::chrono::seconds(15);
    const std::string prefix = "stationsim listening on 127.0.0.1:";
    bool served = !during, exited = false;
    int status = 0;
    while (!(exited = ::waitpid(pid, &status, WNOHANG) == pid) && Clock::now() < deadline) {
        const std::string out = served ? "" : readFile(outPath);
        if (out.rfind(prefix, 0) == 0 && out.find('\n') != std::string::npos) {
            during(std::atoi(out.c_str() + prefix.size()));
            ::kill(pid, sig);
            served = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readFile(outPath),
            readFile(errPath)};
}

std::vector<proto::Datagram> exchange(int port, const std::vector<Bytes>& requests, int quietMs,
                                      std::size_t atMost) {
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

Bytes infoRequest(std::int32_t id, std::uint32_t seq) {
    Bytes body;
    proto::putI32(body, id);
    return proto::makeDatagram(proto::InfoRequest, seq, body);
}

std::pair<int, int> versionOf(int port, std::int32_t id) {
    const auto r = exchange(port, {infoRequest(id, 1)}, 1000, 1);
    if (r.empty() || r[0].body.size() < 24)
        return {-1, -1};
    return {proto::getI32(r[0].body.data() + 16), proto::getI32(r[0].body.data() + 20)};
}

Conn::Conn(int port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = loopback(port);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        close();
}

Conn::Conn(const std::string& ttyPath) {
    m_fd = ::open(ttyPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (m_fd >= 0 && ::tcgetattr(m_fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(m_fd, TCSANOW, &t);
        ::tcflush(m_fd, TCIOFLUSH); // like any serial client: drop what an earlier one left
    }
}

void Conn::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool Conn::sendRaw(const std::vector<std::uint8_t>& bytes) {
    std::signal(SIGPIPE, SIG_IGN); // a reset shows as EPIPE, not as a dead test
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = m_fd < 0 ? -1 : ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            m_reset = m_reset || errno == ECONNRESET || errno == EPIPE;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return m_fd >= 0;
}

std::optional<proto::Frame> Conn::read(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto f = m_reader.next())
            return f;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (m_fd < 0 || m_closed || left.count() <= 0)
            return std::nullopt;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        std::uint8_t buffer[65536];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0) {
            m_closed = true;
            m_reset = n < 0 && errno == ECONNRESET;
            return std::nullopt;
        }
        m_reader.feed(buffer, static_cast<std::size_t>(n));
    }
}

std::uint32_t crcOf(const Bytes& image) {
    return fwimage::crc32Of(image.data(), image.size());
}

Bytes beginFrame(std::int32_t id, std::uint32_t size, std::uint32_t crc, std::uint32_t chunk) {
    Bytes b;
    proto::putI32(b, id);
    for (std::uint32_t v : {size, crc, chunk})
        proto::putU32(b, v);
    return proto::makeFrame(proto::Begin, b);
}

Bytes chunkFrame(const Bytes& image, std::uint32_t offset, std::uint32_t size, std::uint32_t crcXor) {
    // Past the end, the bytes come from the start: only the offset matters there.
    const std::uint8_t* data = image.data() + (offset + size <= image.size() ? offset : 0);
    Bytes b;
    proto::putU32(b, offset);
    proto::putU32(b, fwimage::crc32Of(data, size) ^ crcXor);
    b.insert(b.end(), data, data + size);
    return proto::makeFrame(proto::Chunk, b);
}

Bytes endFrame(std::uint32_t crc) {
    Bytes b;
    proto::putU32(b, crc);
    return proto::makeFrame(proto::End, b);
}

std::uint16_t statusOf(const proto::Frame& f) {
    const std::size_t at = f.type == proto::BeginReply || f.type == proto::ChunkAck ? 4 : 0;
    return f.body.size() >= at + 2 ? proto::getU16(f.body.data() + at) : 0xFFFF;
}

Outcome upload(Conn& c, std::int32_t id, const Bytes& image, const UploadPlan& plan) {
    Outcome o;
    const auto size = static_cast<std::uint32_t>(image.size());
    // Notes silence or a reset; on the serial line skips an abandoned session's leftovers.
    auto expect = [&](std::uint16_t type) {
        auto f = c.read(plan.timeoutMs);
        while (type == proto::BeginReply && f && f->type != type)
            f = c.read(plan.timeoutMs);
        o.reset = o.reset || c.peerReset();
        o.silence = !f && !c.peerClosed();
        return f && (f->type == type || type == proto::FlashProgress) ? f : std::nullopt;
    };
    c.sendRaw(beginFrame(id, size, crcOf(image), plan.chunk));
    const auto begin = expect(proto::BeginReply);
    if (!begin || (o.begin = statusOf(*begin)) != proto::Ok)
        return o;
    for (std::uint32_t offset = 0; offset < size; offset += plan.chunk) {
        const bool sent = c.sendRaw(chunkFrame(image, offset, std::min(plan.chunk, size - offset)));
        o.reset = o.reset || c.peerReset();
        const auto ack = expect(proto::ChunkAck);
        if (!sent || !ack)
            return o;
        if (statusOf(*ack) != proto::Ok) {
            o.nack = statusOf(*ack);
            return o;
        }
        o.acked = proto::getU32(ack->body.data());
    }
    c.sendRaw(endFrame(crcOf(image)));
    const auto verify = expect(proto::VerifyReply);
    if (!verify || (o.verify = statusOf(*verify)) != proto::Ok)
        return o;
    while (const auto f = expect(proto::FlashProgress)) {
        if (f->type == proto::CommitReply && f->body.size() >= 12) {
            o.commit = statusOf(*f);
            o.version = {proto::getI32(f->body.data() + 4), proto::getI32(f->body.data() + 8)};
            return o;
        }
        if (f->type != proto::FlashProgress)
            return o;
        o.progress.push_back(statusOf(*f));
        if (static_cast<int>(o.progress.size()) == plan.closeAfterProgress) {
            c.close();
            return o;
        }
    }
    return o;
}

} // namespace simtest
