// libFuzzer target for the image reader. Every input goes through the in-memory
// reader; small ones also through the file checker and the loader, which must reach
// the same verdict and fields on the same bytes. Each input is tried again with both
// CRCs made right, which random bytes almost never carry, to reach the checks behind them,
// and once more as a signed image: its last 88 bytes a section with the length and every
// CRC made right, so the section's own checks are reached.
#include "support/LittleEndian.h"
#include "wire/Crc32.h"
#include "wire/FirmwareImage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void checkBytes(const std::uint8_t* data, std::size_t size) {
    fwimage::ImageInfo fromMemory;
    const fwimage::ImageError verdict = fwimage::parseImage(data, size, fromMemory);
    const std::size_t section = fromMemory.signature.present ? fwimage::kSignatureSectionSize : 0;
    if (verdict == fwimage::ImageError::None &&
        (strnlen(fromMemory.name, fwimage::kNameBytes) == fwimage::kNameBytes ||
         size != fwimage::kHeaderSize + fromMemory.payloadLength + section))
        std::abort(); // an unterminated name, or a size other than the header's
    if (size > 4096)
        return;
    // An anonymous in-memory file, reachable by path through /proc.
    static const int fd = ::memfd_create("fuzz_image", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    fwimage::ImageInfo fromFile, loaded;
    std::vector<std::uint8_t> contents;
    if (fwimage::checkImageFile(path.c_str(), fromFile) != verdict ||
        fwimage::loadImageFile(path.c_str(), contents, loaded) != verdict)
        std::abort();
    if (verdict == fwimage::ImageError::None &&
        (!(fromFile == fromMemory) || !(loaded == fromMemory) || contents.size() != size - section ||
         std::memcmp(contents.data(), data, size - section) != 0))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkBytes(data, size);
    constexpr std::size_t kSection = fwimage::kSignatureSectionSize;
    for (const std::size_t section : {std::size_t{0}, kSection}) { // as an unsigned, then a signed image
        if (size < fwimage::kHeaderSize + section)
            continue;
        std::vector<std::uint8_t> fixed(data, data + size);
        const std::size_t end = size - section;
        if (section != 0) {
            support::storeU32(fixed.data() + 52, static_cast<std::uint32_t>(end - 64));
            support::storeU32(fixed.data() + size - 4, wire::crc32Of(fixed.data() + end, kSection - 4));
        }
        support::storeU32(fixed.data() + 56, wire::crc32Of(fixed.data() + 64, end - 64));
        support::storeU32(fixed.data() + 60, wire::crc32Of(fixed.data(), 60));
        checkBytes(fixed.data(), fixed.size());
    }
    return 0;
}
