// libFuzzer target for the image reader. Every input goes through the
// in-memory reader; small ones also through the file checker and the loader,
// which must reach the same verdict on the same bytes.
#include "FirmwareImage.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kFileCheckLimit = 4096;

bool sameInfo(const fwimage::ImageInfo& a, const fwimage::ImageInfo& b) {
    return a.typeCode == b.typeCode && std::memcmp(a.name, b.name, sizeof a.name) == 0 &&
           a.versionMajor == b.versionMajor && a.versionMinor == b.versionMinor &&
           std::memcmp(a.date, b.date, sizeof a.date) == 0 && a.payloadLength == b.payloadLength &&
           a.payloadCrc == b.payloadCrc;
}

void fail(const char* what) {
    std::fprintf(stderr, "fuzz_image: %s\n", what);
    std::abort();
}

// An anonymous in-memory file, reachable by path through /proc.
int memoryFile() {
    static const int fd = ::memfd_create("fuzz_image", 0);
    return fd;
}

void checkBytes(const std::uint8_t* data, std::size_t size) {
    fwimage::ImageInfo fromMemory;
    const fwimage::ImageError memoryVerdict = fwimage::parseImage(data, size, fromMemory);
    if (memoryVerdict == fwimage::ImageError::None) {
        if (std::strlen(fromMemory.name) >= fwimage::kNameBytes)
            fail("name not terminated");
        if (size != fwimage::kHeaderSize + fromMemory.payloadLength)
            fail("accepted an image whose size does not match its header");
    }
    if (size > kFileCheckLimit)
        return;

    const int fd = memoryFile();
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    fwimage::ImageInfo fromFile;
    const fwimage::ImageError fileVerdict = fwimage::checkImageFile(path.c_str(), fromFile);
    if (fileVerdict != memoryVerdict)
        fail("file check and memory parse disagree");
    if (fileVerdict == fwimage::ImageError::None && !sameInfo(fromFile, fromMemory))
        fail("file check and memory parse report different fields");

    std::vector<std::uint8_t> contents;
    fwimage::ImageInfo loaded;
    const fwimage::ImageError loadVerdict = fwimage::loadImageFile(path.c_str(), contents, loaded);
    if (loadVerdict != memoryVerdict)
        fail("loader and memory parse disagree");
    if (loadVerdict == fwimage::ImageError::None &&
        (contents.size() != size || std::memcmp(contents.data(), data, size) != 0))
        fail("loader returned other bytes than the file holds");
}

void putU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkBytes(data, size);
    // Random bytes almost never carry matching CRCs, so the same input is tried
    // again with both CRCs made right: that reaches the name and length checks
    // and the accepting paths.
    if (size >= fwimage::kHeaderSize) {
        std::vector<std::uint8_t> fixed(data, data + size);
        putU32(fixed.data() + 56,
               fwimage::crc32Of(fixed.data() + fwimage::kHeaderSize, size - fwimage::kHeaderSize));
        putU32(fixed.data() + 60, fwimage::crc32Of(fixed.data(), 60));
        checkBytes(fixed.data(), fixed.size());
    }
    return 0;
}
