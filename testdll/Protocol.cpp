// Wire codec: little-endian helpers, UDP datagrams and the stream frame reader.
#include "Protocol.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace proto {

namespace {

std::uint32_t crcOf(const std::uint8_t* data, std::size_t size) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    // zlib takes uInt lengths; feed in pieces so any size_t length is safe.
    while (size > 0) {
        const uInt piece = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        crc = ::crc32(crc, data, piece);
        data += piece;
        size -= piece;
    }
    return static_cast<std::uint32_t>(crc);
}

} // namespace

void putU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void putU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
}

std::uint16_t getU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t getU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::vector<std::uint8_t> makeDatagram(std::uint16_t type, std::uint32_t seq,
                                       const std::vector<std::uint8_t>& body) {
    // Sized up front and filled in place (appending to a reserved vector trips a
    // false -Wstringop-overflow in GCC 12 at -O2).
    std::vector<std::uint8_t> out(kDatagramHeaderSize + body.size());
    std::memcpy(out.data(), kDatagramMagic, sizeof kDatagramMagic);
    out[4] = static_cast<std::uint8_t>(type & 0xFF);
    out[5] = static_cast<std::uint8_t>(type >> 8);
    for (int i = 0; i < 4; ++i)
        out[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((seq >> (8 * i)) & 0xFF);
    if (!body.empty())
        std::memcpy(out.data() + kDatagramHeaderSize, body.data(), body.size());
    return out;
}

std::optional<Datagram> parseDatagram(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < kDatagramHeaderSize || size > kMaxDatagram)
        return std::nullopt;
    if (std::memcmp(data, kDatagramMagic, sizeof kDatagramMagic) != 0)
        return std::nullopt;
    Datagram d;
    d.type = getU16(data + 4);
    d.seq = getU32(data + 8);
    d.body.assign(data + kDatagramHeaderSize, data + size);
    return d;
}

std::vector<std::uint8_t> makeFrame(std::uint16_t type, const std::uint8_t* body, std::size_t size) {
    std::vector<std::uint8_t> out;
    out.reserve(kFrameOverhead + size);
    out.push_back(kFrameSync0);
    out.push_back(kFrameSync1);
    putU16(out, type);
    putU32(out, static_cast<std::uint32_t>(size));
    if (size > 0)
        out.insert(out.end(), body, body + size);
    putU32(out, crcOf(out.data() + 2, out.size() - 2));
    return out;
}

void FrameReader::feed(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size == 0)
        return;
    // Drop consumed bytes before growing, so a long stream never accumulates.
    if (m_start > 0 && (m_start >= 65536 || m_start * 2 >= m_buffer.size())) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), data, data + size);
}

std::optional<Frame> FrameReader::next() {
    constexpr std::size_t kHeader = 8; // sync pair, type, length
    for (;;) {
        // Find the sync pair; everything before it is noise.
        std::size_t i = m_start;
        const std::size_t end = m_buffer.size();
        while (i + 1 < end && !(m_buffer[i] == kFrameSync0 && m_buffer[i + 1] == kFrameSync1))
            ++i;
        if (i + 1 >= end) {
            // Keep a trailing first sync byte: its partner may still arrive.
            const std::size_t keep = (i < end && m_buffer[i] == kFrameSync0) ? i : end;
            m_discarded += keep - m_start;
            m_start = keep;
            return std::nullopt;
        }
        m_discarded += i - m_start;
        m_start = i;

        if (end - m_start < kHeader)
            return std::nullopt;
        const std::uint8_t* h = m_buffer.data() + m_start;
        const std::uint32_t length = getU32(h + 4);
        if (length > kMaxFrameBody) {
            // Not a frame start (or a hostile one): skip the sync byte, look further.
            ++m_start;
            ++m_discarded;
            continue;
        }
        const std::size_t total = kHeader + length + 4;
        if (end - m_start < total)
            return std::nullopt;
        const std::uint32_t expected = getU32(h + kHeader + length);
        if (crcOf(h + 2, kHeader - 2 + length) != expected) {
            // A corrupt frame, or a sync pair inside noise: resync from the next byte.
            ++m_start;
            ++m_discarded;
            continue;
        }
        Frame f;
        f.type = getU16(h + 2);
        f.body.assign(h + kHeader, h + kHeader + length);
        m_start += total;
        if (m_start == m_buffer.size()) {
            m_buffer.clear();
            m_start = 0;
        }
        return f;
    }
}

} // namespace proto
