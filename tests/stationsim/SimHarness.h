// Raw wire-protocol clients for the stationsim tests (the process, temporary folders
// and frame streams come from tests/support): a run to exit, UDP queries and one
// scripted upload.
#pragma once

#include "tests/support/StationProcess.h"
#include "wire/Crc32.h"
#include "wire/Datagram.h"
#include "wire/UploadFrames.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

namespace simtest {

using zutest::FrameStream;
using zutest::StationProcess;
using zutest::TempDir;
using Bytes = std::vector<std::uint8_t>;

struct Exit {
    int code = -1;      // exit status, or 128 + signal
    std::string output; // stdout and stderr
};

// Runs stationsim with `args` until it exits. Once it listens, calls `during(port)`
// and then sends `sig`; without `during` it should not have started at all.
inline Exit runSim(const std::vector<std::string>& args, const std::function<void(int)>& during = {},
                   int sig = SIGTERM) {
    StationProcess sim(args);
    if (sim.running() && during)
        during(sim.port());
    sim.stop(during ? sig : SIGKILL);
    return {sim.exitCode(), sim.output()};
}

// Sends `requests` from one UDP socket; the replies until `atMost` came or none for `quietMs`.
inline std::vector<wire::Datagram> exchange(int port, const std::vector<Bytes>& requests, int quietMs = 300,
                                            std::size_t atMost = SIZE_MAX) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const Bytes& d : requests)
        ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    std::vector<wire::Datagram> replies;
    pollfd p{fd, POLLIN, 0};
    std::uint8_t buffer[2048];
    while (replies.size() < atMost && ::poll(&p, 1, quietMs) > 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (auto d = n > 0 ? wire::parseDatagram(buffer, static_cast<std::size_t>(n)) : std::nullopt)
            replies.push_back(std::move(*d));
    }
    ::close(fd);
    return replies;
}

inline std::pair<int, int> versionOf(int port, std::int32_t id) { // {-1, -1} without an answer
    const auto r = exchange(port, {wire::encodeInfoRequest(1, id)}, 1000, 1);
    const auto info = r.empty() ? std::nullopt : wire::decodeInfoReply(r[0]);
    return info ? std::pair(info->versionMajor, info->versionMinor) : std::pair(-1, -1);
}

inline std::uint32_t crcOf(const Bytes& image) {
    return wire::crc32Of(image.data(), image.size());
}

inline Bytes beginFrame(std::int32_t id, const Bytes& image, std::uint32_t chunk,
                        std::uint32_t size = UINT32_MAX) {
    return wire::encode(wire::BeginMsg{id, size == UINT32_MAX ? static_cast<std::uint32_t>(image.size()) : size,
                                       crcOf(image), chunk});
}

// Past the end of `image`, the bytes come from its start: only the offset matters there.
inline Bytes chunkFrame(const Bytes& image, std::uint32_t offset, std::uint32_t size, std::uint32_t crcXor = 0) {
    const auto data = image.begin() + (offset + size <= image.size() ? offset : 0);
    const Bytes bytes(data, data + size);
    return wire::encode(wire::ChunkMsg{offset, crcOf(bytes) ^ crcXor, bytes});
}

inline Bytes endFrame(const Bytes& image, std::uint32_t crcXor = 0) {
    return wire::encode(wire::EndMsg{crcOf(image) ^ crcXor});
}

// The status of any reply (0xFFFF for anything else).
inline std::uint16_t statusOf(const wire::Frame& f) {
    if (const auto m = wire::decodeBeginReply(f))
        return m->status;
    if (const auto m = wire::decodeChunkAck(f))
        return m->status;
    if (const auto m = wire::decodeVerifyReply(f))
        return m->status;
    const auto m = wire::decodeCommitReply(f);
    return m ? m->status : 0xFFFF;
}

struct Outcome {
    std::optional<std::uint16_t> begin, verify, commit; // statuses
    int progress = 0;                                   // FlashProgress frames
};

// One upload, one chunk in flight at a time; leaves during the flash after
// `closeAfterProgress` progress frames if that is not -1.
inline Outcome upload(FrameStream& c, std::int32_t id, const Bytes& image, std::uint32_t chunk,
                      int closeAfterProgress = -1, int timeoutMs = 2000) {
    Outcome o;
    const auto size = static_cast<std::uint32_t>(image.size());
    c.send(beginFrame(id, image, chunk));
    auto f = c.read(timeoutMs);
    if (!f || (o.begin = statusOf(*f)) != wire::Ok)
        return o;
    for (std::uint32_t offset = 0; offset < size; offset += chunk) {
        c.send(chunkFrame(image, offset, std::min(chunk, size - offset)));
        if (!(f = c.read(timeoutMs)) || f->type != wire::ChunkAck || statusOf(*f) != wire::Ok)
            return o;
    }
    c.send(endFrame(image));
    if (!(f = c.read(timeoutMs)) || f->type != wire::VerifyReply || (o.verify = statusOf(*f)) != wire::Ok)
        return o;
    while ((f = c.read(timeoutMs)) && f->type == wire::FlashProgress)
        if (++o.progress == closeAfterProgress) {
            c.close();
            return o;
        }
    if (f && f->type == wire::CommitReply)
        o.commit = statusOf(*f);
    return o;
}

} // namespace simtest
