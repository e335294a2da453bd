#include "wire/Crc32.h"

#include <libdeflate.h>
#include <zlib.h>

namespace wire {

std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    return size == 0 ? crc : ::libdeflate_crc32(crc, data, size);
}

std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB) {
    return static_cast<std::uint32_t>(::crc32_combine(crcA, crcB, static_cast<z_off_t>(lengthB)));
}

} // namespace wire
