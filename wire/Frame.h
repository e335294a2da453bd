// Stream frames, the envelope of every upload message on TCP and the serial line
// (docs/protocol.md, 3.1): 0x7E 0xA5, u16 type, u32 body length, body, u32 CRC-32
// of type..body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace wire {

constexpr std::uint8_t kFrameSync0 = 0x7E;
constexpr std::uint8_t kFrameSync1 = 0xA5;
constexpr std::size_t kFrameHeaderSize = 8; // sync pair, type, length
constexpr std::size_t kFrameOverhead = 12;  // header and CRC
constexpr std::uint32_t kMaxFrameBody = 65536 + 64;

struct Frame {
    std::uint16_t type = 0;
    std::vector<std::uint8_t> body;
    std::uint32_t crc = 0; // the frame's CRC, as FrameReader checked it
};

std::vector<std::uint8_t> makeFrame(std::uint16_t type, const std::uint8_t* body, std::size_t size);
inline std::vector<std::uint8_t> makeFrame(std::uint16_t type, const std::vector<std::uint8_t>& body) {
    return makeFrame(type, body.data(), body.size());
}

// The bytes around a frame whose body ends in `tailSize` bytes the caller sends from
// where they lie: `head` receives the header and `bodyStart` (kFrameHeaderSize +
// bodyStartSize bytes), `trailer` the CRC, computed from `tailCrc`, the tail's own CRC.
void frameAround(std::uint16_t type, const std::uint8_t* bodyStart, std::size_t bodyStartSize,
                 std::size_t tailSize, std::uint32_t tailCrc, std::uint8_t* head, std::uint8_t* trailer);

// The CRC of a read frame's body after its first `bodyStartSize` bytes, worked out from the
// frame's checked CRC instead of reading those bytes again.
std::uint32_t tailCrcOf(const Frame& f, std::size_t bodyStartSize);

// Incremental frame reader for a byte stream.
// Resync (a serial line): bytes before a sync pair, and a frame whose CRC fails, are skipped
// (counted in `discarded`). The CRC work spent on candidates is held to a budget earned by
// the bytes fed, so a stream of false frame headers costs about as much as noise.
// Stream (TCP): the bytes arrive as sent, so anything but a frame means a broken or hostile
// peer: the reader stops for good and failed() turns true.
class FrameReader {
public:
    enum class Mode { Resync, Stream };
    explicit FrameReader(Mode mode = Mode::Resync) : m_mode(mode) {}

    void feed(const std::uint8_t* data, std::size_t size);
    std::optional<Frame> next();
    std::size_t discarded() const { return m_discarded; }
    bool failed() const { return m_failed; }

private:
    bool skipCandidate(); // false in Stream mode, which then fails

    Mode m_mode;
    bool m_failed = false;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    std::size_t m_discarded = 0;
    std::size_t m_crcBudget = 0; // bytes of CRC work the reader may still spend
};

} // namespace wire
