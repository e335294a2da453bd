// One upload to one device over a non-blocking stream (TCP socket or serial line),
// driven by the caller's poll loop. Sessions share one read-only image.
#pragma once

#include "devlib/TestDll.h"
#include "wire/UploadFrames.h"

#include <netinet/in.h>
#include <sys/uio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace testdll {

using Clock = std::chrono::steady_clock;

// How long a device may take from VerifyReply to CommitReply: 4T plus one second per
// 16 KiB of image (docs/protocol.md, 6), so progress reports cannot hold a session forever.
std::chrono::milliseconds flashLimit(std::uint32_t imageSize, std::chrono::milliseconds timeout);

// The image and its per-chunk CRCs, shared by every target of a call. Chunk CRCs
// are computed when a chunk is first sent, so the work overlaps the transfer.
// Used from the calling thread only.
class SharedImage {
public:
    // `payloadCrc` and `typeCode` are the image header's (already verified on load);
    // `chunkCrcs`, when the loader computed them, the CRC of every chunk.
    // `signature`, the file's signature section if any, travels in Begin.
    SharedImage(std::span<const std::uint8_t> bytes, std::uint32_t payloadCrc, std::uint32_t chunkSize,
                std::uint32_t typeCode, std::vector<std::uint32_t> chunkCrcs = {},
                const fwimage::ImageSignature& signature = {});

    std::span<const std::uint8_t> bytes() const { return m_bytes; }
    std::uint32_t size() const { return static_cast<std::uint32_t>(m_bytes.size()); }
    std::uint32_t chunkSize() const { return m_chunkSize; }
    std::uint32_t crc() const { return m_crc; }
    std::uint32_t typeCode() const { return m_typeCode; }
    const fwimage::ImageSignature& signature() const { return m_signature; }
    std::uint32_t chunkCrc(std::uint32_t offset) const;

private:
    std::span<const std::uint8_t> m_bytes;
    std::uint32_t m_chunkSize;
    std::uint32_t m_typeCode;
    std::uint32_t m_crc = 0;
    fwimage::ImageSignature m_signature;
    mutable std::vector<std::uint32_t> m_chunkCrcs;
    mutable std::vector<bool> m_known;
};

class UploadSession {
public:
    enum class Phase { Connecting, AwaitBegin, Streaming, AwaitVerify, Flashing, Committed, Failed };

    // A TCP session connecting to `to`; fails at once if no socket can be made.
    static std::unique_ptr<UploadSession> connectTcp(std::int32_t id, const SharedImage& image,
                                                     const sockaddr_in& to,
                                                     std::chrono::milliseconds timeout);
    // A session over an already open stream the caller keeps: the serial line, whose reader
    // resynchronises after damage, or a connected socket, where a bad frame ends the session.
    static std::unique_ptr<UploadSession> overStream(std::int32_t id, const SharedImage& image, int fd,
                                                     std::chrono::milliseconds timeout,
                                                     bool isSocket = false);

    // Pending output points into the session itself, so it never moves.
    UploadSession(const UploadSession&) = delete;
    UploadSession& operator=(const UploadSession&) = delete;
    ~UploadSession();

    std::int32_t id() const { return m_id; }
    int fd() const { return m_fd; }
    bool active() const { return m_phase != Phase::Committed && m_phase != Phase::Failed; }
    bool committed() const { return m_phase == Phase::Committed; }
    bool failed() const { return m_phase == Phase::Failed; }
    Phase phase() const { return m_phase; }
    int progress() const { return m_progress; } // 0 until the device accepted, then 1..100
    Clock::time_point deadline() const { return m_deadline; }
    // Why a failed session failed: an UPLOAD_* outcome of TestDll.h and a short sentence.
    int outcome() const { return m_outcome; }
    const char* failure() const { return m_reason; }

    // Called after every progress change, so no intermediate value is skipped
    // when several frames arrive in one read.
    void setProgressListener(std::function<void()> listener) { m_onProgress = std::move(listener); }
    // Told this device's own progress (phase and percent), each step once.
    void setDeviceObserver(std::function<void(std::int32_t, int, int)> observer) {
        m_observer = std::move(observer);
    }

    // Ends a session that is still active as UPLOAD_CANCELLED, closing its stream.
    void cancel(const char* why) { fail(UPLOAD_CANCELLED, why); }

    short pollEvents() const;
    void onEvents(short revents);
    void checkDeadline(Clock::time_point now);

    UploadSession(std::int32_t id, const SharedImage& image, int fd, bool ownsFd, bool isSocket,
                  std::chrono::milliseconds timeout);

private:
    void start(); // queue Begin
    void onWritable();
    void onReadable(bool hangUp);
    void handle(const wire::Frame& f);
    bool refill(); // queue the next chunk if the window allows
    void queueControl(std::vector<std::uint8_t> frame);
    void fail(int outcome, const char* why);
    void refused(const wire::BeginReplyMsg& reply); // BeginReply other than Ok
    void lost(const char* how);                     // the stream failed: the outcome follows the phase
    void finish();
    void touch(std::chrono::milliseconds within);
    void drainFrames();
    void setProgress(int value);
    void observe(int phase, int percent); // this device's own progress, each step once

    std::int32_t m_id;
    const SharedImage& m_image;
    int m_fd;
    bool m_ownsFd;
    bool m_isSocket;
    std::chrono::milliseconds m_timeout;
    Phase m_phase = Phase::AwaitBegin;
    int m_progress = 0;
    Clock::time_point m_deadline;
    Clock::time_point m_flashEnd; // the latest a commit may come, however often the device reports
    int m_outcome = -1;           // UPLOAD_* once committed or failed
    char m_reason[120] = {};      // as UploadOutcome carries it
    std::function<void()> m_onProgress;
    std::function<void(std::int32_t, int, int)> m_observer;
    int m_observedPhase = 0;
    int m_observedPercent = -1;

    wire::FrameReader m_reader;
    std::uint32_t m_nextOffset = 0; // next image byte to queue
    std::uint32_t m_acked = 0;      // bytes the device confirmed
    std::uint32_t m_inFlight = 0;   // chunks queued but not acknowledged

    // Output in progress: up to three pieces (frame head, image bytes, CRC trailer).
    std::vector<std::uint8_t> m_control;
    wire::ChunkFrameParts m_chunk;
    iovec m_iov[3] = {};
    int m_iovFirst = 0;
    int m_iovCount = 0;
};

} // namespace testdll
