// CRC-32 as zlib, Ethernet and PNG compute it: every checksum on the wire and in image files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wire {

// The CRC of `size` bytes, continuing from `crc` (start with 0); any length.
std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

// The CRC of A followed by B, from the CRCs of A and B and the length of B.
std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB);

} // namespace wire
