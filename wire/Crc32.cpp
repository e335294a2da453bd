#include "wire/Crc32.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace wire {

std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    // zlib takes a uInt length, so very large buffers go in slices.
    constexpr std::size_t kSlice = std::numeric_limits<uInt>::max() / 2;
    uLong value = crc;
    while (size > 0) {
        const std::size_t n = std::min(size, kSlice);
        value = ::crc32(value, data, static_cast<uInt>(n));
        data += n;
        size -= n;
    }
    return static_cast<std::uint32_t>(value);
}

std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB) {
    return static_cast<std::uint32_t>(::crc32_combine(crcA, crcB, static_cast<z_off_t>(lengthB)));
}

} // namespace wire
