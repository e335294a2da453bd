#include "SimHarness.h"

#include "FirmwareImage.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
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
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

pid_t spawn(const std::vector<std::string>& args, int stdoutFd, const std::string& errPath) {
    std::vector<std::string> all{simBinary()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(stdoutFd >= 0 ? stdoutFd : null, 1);
        ::dup2(err >= 0 ? err : null, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for `pid` for at most `timeoutMs`, then kills it.
int reap(pid_t pid, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0)
            return -1;
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int startupLimitMs() {
    // Sanitizer builds start slowly.
    return 15000;
}

} // namespace

std::string simBinary() {
    const char* dir = std::getenv("ZU_BIN_DIR");
    return std::string(dir ? dir : "bin") + "/stationsim";
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "stationsim-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr)
        m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::write(const std::string& name, const std::string& text) const {
    const std::string path = file(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

Exit runToExit(const std::vector<std::string>& args, int timeoutMs) {
    TempDir dir;
    const std::string errPath = dir.file("stderr");
    Exit e;
    const pid_t pid = spawn(args, -1, errPath);
    e.code = reap(pid, timeoutMs);
    e.err = readFile(errPath);
    return e;
}

Sim::Sim(const std::vector<std::string>& args) {
    char name[] = "/tmp/stationsim-err-XXXXXX";
    const int errFd = ::mkstemp(name);
    if (errFd >= 0)
        ::close(errFd);
    m_errPath = name;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    m_pid = spawn(args, out[1], m_errPath);
    ::close(out[1]);
    const auto deadline = Clock::now() + std::chrono::milliseconds(startupLimitMs());
    while (m_line.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char c[256];
        const ssize_t n = ::read(out[0], c, sizeof c);
        if (n <= 0)
            break;
        m_line.append(c, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    const std::string prefix = "stationsim listening on 127.0.0.1:";
    if (m_line.rfind(prefix, 0) == 0 && m_line.back() == '\n')
        m_port = static_cast<std::uint16_t>(std::atoi(m_line.c_str() + prefix.size()));
}

Sim::~Sim() {
    stop();
    ::unlink(m_errPath.c_str());
}

std::string Sim::err() const {
    return readFile(m_errPath);
}

int Sim::stop(int sig) {
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, sig);
    const int code = reap(m_pid, 15000);
    m_pid = -1;
    return code;
}

Udp::Udp(std::uint16_t port) : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), m_port(port) {}

Udp::~Udp() {
    ::close(m_fd);
}

void Udp::send(std::uint16_t type, std::uint32_t seq, const std::vector<std::uint8_t>& body) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto d = proto::makeDatagram(type, seq, body);
    ::sendto(m_fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::optional<proto::Datagram> Udp::receive(int timeoutMs) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return std::nullopt;
    std::uint8_t buffer[2048];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0)
        return std::nullopt;
    return proto::parseDatagram(buffer, static_cast<std::size_t>(n));
}

std::vector<proto::Datagram> Udp::scan(std::uint32_t seq, int timeoutMs) {
    send(proto::ScanRequest, seq, {});
    std::vector<proto::Datagram> parts;
    while (auto d = receive(timeoutMs))
        parts.push_back(std::move(*d));
    return parts;
}

std::optional<proto::Datagram> Udp::info(std::int32_t id, std::uint32_t seq, int timeoutMs) {
    std::vector<std::uint8_t> body;
    proto::putI32(body, id);
    send(proto::InfoRequest, seq, body);
    return receive(timeoutMs);
}

InfoFields decodeInfo(const proto::Datagram& d) {
    InfoFields f;
    if (d.body.size() < 88)
        return f;
    const std::uint8_t* b = d.body.data();
    f.id = proto::getI32(b);
    f.status = proto::getU16(b + 4);
    f.address = proto::getU32(b + 8);
    f.typeCode = proto::getU32(b + 12);
    f.major = proto::getI32(b + 16);
    f.minor = proto::getI32(b + 20);
    f.name.assign(reinterpret_cast<const char*>(b + 24), strnlen(reinterpret_cast<const char*>(b + 24), 64));
    return f;
}

Conn::Conn(std::uint16_t port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

Conn::~Conn() {
    close();
}

void Conn::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool Conn::sendRaw(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (m_fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) {
            const ssize_t w = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            if (w <= 0)
                return false;
            done += static_cast<std::size_t>(w);
            continue;
        }
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
        if (m_fd < 0 || m_closed)
            return std::nullopt;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
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

std::vector<std::uint8_t> beginBody(std::int32_t id, std::uint32_t size, std::uint32_t crc,
                                    std::uint32_t chunk) {
    std::vector<std::uint8_t> b;
    proto::putI32(b, id);
    proto::putU32(b, size);
    proto::putU32(b, crc);
    proto::putU32(b, chunk);
    return b;
}

std::vector<std::uint8_t> chunkBody(std::uint32_t offset, const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> b;
    proto::putU32(b, offset);
    proto::putU32(b, fwimage::crc32Of(data, size));
    b.insert(b.end(), data, data + size);
    return b;
}

std::vector<std::uint8_t> endBody(std::uint32_t crc) {
    std::vector<std::uint8_t> b;
    proto::putU32(b, crc);
    return b;
}

std::uint16_t statusOf(const proto::Frame& f) {
    return f.body.size() >= 6 ? proto::getU16(f.body.data() + 4) : 0xFFFF;
}

std::vector<std::uint8_t> makeImage(std::size_t payload, std::int32_t major, std::int32_t minor) {
    std::vector<std::uint8_t> data(payload);
    std::uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    fwimage::ImageInfo meta;
    meta.typeCode = 0x01010241;
    std::strcpy(meta.name, "Test image");
    meta.versionMajor = major;
    meta.versionMinor = minor;
    return fwimage::buildImage(meta, data.data(), data.size());
}

Outcome upload(Conn& c, std::int32_t id, const std::vector<std::uint8_t>& image, const UploadPlan& plan) {
    Outcome o;
    const auto size = static_cast<std::uint32_t>(image.size());
    const std::uint32_t crc = fwimage::crc32Of(image.data(), image.size());
    auto expect = [&](std::uint16_t type) -> std::optional<proto::Frame> {
        auto f = c.read(plan.timeoutMs);
        o.reset = o.reset || c.peerReset();
        if (!f) {
            o.silence = !c.peerClosed();
            return std::nullopt;
        }
        if (f->type != type)
            return std::nullopt;
        return f;
    };
    c.send(proto::Begin, beginBody(id, size, crc, plan.chunk));
    // On the serial line an abandoned session's last frames may still be on their way.
    std::optional<proto::Frame> begin;
    do
        begin = c.read(plan.timeoutMs);
    while (begin && begin->type != proto::BeginReply);
    o.reset = c.peerReset();
    o.silence = !begin && !c.peerClosed();
    if (!begin)
        return o;
    o.begin = statusOf(*begin);
    if (*o.begin != proto::Ok)
        return o;
    for (std::uint32_t offset = 0; offset < size;) {
        const std::uint32_t n = std::min(plan.chunk, size - offset);
        if (!c.send(proto::Chunk, chunkBody(offset, image.data() + offset, n))) {
            o.reset = o.reset || c.peerReset();
            expect(proto::ChunkAck);
            return o;
        }
        const auto ack = expect(proto::ChunkAck);
        if (!ack)
            return o;
        if (statusOf(*ack) != proto::Ok) {
            o.nack = statusOf(*ack);
            return o;
        }
        o.acked = proto::getU32(ack->body.data());
        offset += n;
    }
    c.send(proto::End, endBody(crc));
    const auto verify = expect(proto::VerifyReply);
    if (!verify)
        return o;
    o.verify = proto::getU16(verify->body.data());
    if (*o.verify != proto::Ok)
        return o;
    for (;;) {
        auto f = c.read(plan.timeoutMs);
        if (!f) {
            o.silence = !c.peerClosed();
            return o;
        }
        if (f->type == proto::FlashProgress) {
            o.progress.push_back(proto::getU16(f->body.data()));
            if (static_cast<int>(o.progress.size()) == plan.closeAfterProgress) {
                c.close();
                return o;
            }
        } else if (f->type == proto::CommitReply && f->body.size() >= 12) {
            o.commit = proto::getU16(f->body.data());
            o.major = proto::getI32(f->body.data() + 4);
            o.minor = proto::getI32(f->body.data() + 8);
            return o;
        } else {
            return o;
        }
    }
}

} // namespace simtest
