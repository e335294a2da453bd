#include "wire/Frame.h"

#include "support/LittleEndian.h"
#include "wire/Crc32.h"

#include <algorithm>
#include <cstring>

namespace wire {

namespace {

// The frame CRC covers type, length and body: everything after the sync pair.
constexpr std::size_t kCrcFrom = 2;
// Room for the check of two frames of the largest size.
constexpr std::size_t kMaxCrcBudget = 2 * (kMaxFrameBody + kFrameOverhead);

} // namespace

std::vector<std::uint8_t> makeFrame(std::uint16_t type, const std::uint8_t* body, std::size_t size) {
    std::vector<std::uint8_t> out(kFrameHeaderSize + size + 4);
    out[0] = kFrameSync0;
    out[1] = kFrameSync1;
    support::storeU16(out.data() + 2, type);
    support::storeU32(out.data() + 4, static_cast<std::uint32_t>(size));
    if (size > 0)
        std::memcpy(out.data() + kFrameHeaderSize, body, size);
    const std::size_t end = kFrameHeaderSize + size;
    support::storeU32(out.data() + end, crc32Of(out.data() + kCrcFrom, end - kCrcFrom));
    return out;
}

void frameAround(std::uint16_t type, const std::uint8_t* bodyStart, std::size_t bodyStartSize,
                 std::size_t tailSize, std::uint32_t tailCrc, std::uint8_t* head, std::uint8_t* trailer) {
    head[0] = kFrameSync0;
    head[1] = kFrameSync1;
    support::storeU16(head + 2, type);
    support::storeU32(head + 4, static_cast<std::uint32_t>(bodyStartSize + tailSize));
    if (bodyStartSize > 0)
        std::memcpy(head + kFrameHeaderSize, bodyStart, bodyStartSize);
    // The tail's share of the CRC is folded in, so its bytes are read once, not once per frame.
    const std::uint32_t headCrc = crc32Of(head + kCrcFrom, kFrameHeaderSize + bodyStartSize - kCrcFrom);
    support::storeU32(trailer, crc32Combine(headCrc, tailCrc, tailSize));
}

std::uint32_t tailCrcOf(const Frame& f, std::size_t bodyStartSize) {
    bodyStartSize = std::min(bodyStartSize, f.body.size());
    std::vector<std::uint8_t> head(kFrameHeaderSize + bodyStartSize);
    support::storeU16(head.data() + 2, f.type);
    support::storeU32(head.data() + 4, static_cast<std::uint32_t>(f.body.size()));
    std::copy_n(f.body.begin(), bodyStartSize, head.begin() + kFrameHeaderSize);
    // CRC(head + tail) = CRC(head) shifted over the tail, xor CRC(tail): undo the first part.
    const std::uint32_t headCrc = crc32Of(head.data() + kCrcFrom, head.size() - kCrcFrom);
    return f.crc ^ crc32Combine(headCrc, 0, f.body.size() - bodyStartSize);
}

void FrameReader::feed(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size == 0 || m_failed)
        return;
    // Drop consumed bytes before growing, so a long stream never accumulates.
    if (m_start > 0 && (m_start >= 65536 || m_start * 2 >= m_buffer.size())) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), data, data + size);
    // Every byte earns two bytes of CRC work: a real frame pays for its own check twice over,
    // while false headers (one every few bytes, each claiming 64 KiB) soon find the budget
    // spent and are skipped unchecked. The cap stops idle noise from saving up for a burst.
    m_crcBudget = std::min(kMaxCrcBudget, m_crcBudget + 2 * std::min(size, kMaxCrcBudget));
}

bool FrameReader::skipCandidate() {
    if (m_mode == Mode::Stream) {
        m_failed = true;
        return false;
    }
    ++m_start;
    ++m_discarded;
    return true;
}

std::optional<Frame> FrameReader::next() {
    while (!m_failed) {
        const std::size_t end = m_buffer.size();
        if (m_mode == Mode::Resync) {
            // Find the sync pair; everything before it is noise.
            std::size_t i = m_start;
            while (i + 1 < end && !(m_buffer[i] == kFrameSync0 && m_buffer[i + 1] == kFrameSync1))
                ++i;
            // Keep a trailing first sync byte: its partner may still arrive.
            if (i + 1 >= end && !(i < end && m_buffer[i] == kFrameSync0))
                i = end;
            m_discarded += i - m_start;
            m_start = i;
        } else if ((m_start < end && m_buffer[m_start] != kFrameSync0) ||
                   (m_start + 1 < end && m_buffer[m_start + 1] != kFrameSync1)) {
            m_failed = true;
            break;
        }

        if (end - m_start < kFrameHeaderSize)
            return std::nullopt;
        const std::uint8_t* h = m_buffer.data() + m_start;
        const std::uint32_t length = support::getU32(h + 4);
        if (length > kMaxFrameBody) {
            // Not a frame start (or a hostile one): skip the sync byte, look further.
            if (!skipCandidate())
                break;
            continue;
        }
        const std::size_t total = kFrameHeaderSize + length + 4;
        if (end - m_start < total)
            return std::nullopt;
        const std::size_t work = kFrameHeaderSize + length - kCrcFrom;
        if (m_mode == Mode::Resync) {
            if (work > m_crcBudget) {
                ++m_start; // too much spent on false starts lately: take this one for noise
                ++m_discarded;
                continue;
            }
            m_crcBudget -= work;
        }
        const std::uint32_t expected = support::getU32(h + kFrameHeaderSize + length);
        if (crc32Of(h + kCrcFrom, work) != expected) {
            // A corrupt frame, or a sync pair inside noise: resync from the next byte.
            if (!skipCandidate())
                break;
            continue;
        }
        Frame f;
        f.crc = expected;
        f.type = support::getU16(h + 2);
        f.body.assign(h + kFrameHeaderSize, h + kFrameHeaderSize + length);
        m_start += total;
        if (m_start == m_buffer.size()) {
            m_buffer.clear();
            m_start = 0;
        }
        return f;
    }
    return std::nullopt;
}

} // namespace wire
