// Firmware image container: reading, checking and building. Every reader here
// treats the file as hostile: sizes come from the header only after they were
// checked against the file, and nothing is read past what the header promises.
#include "wire/FirmwareImage.h"

#include "support/Fd.h"
#include "support/LittleEndian.h"
#include "wire/Crc32.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

namespace fwimage {

namespace {

// Byte offsets inside the header; docs/image-format.md describes each field.
constexpr std::size_t kOffMagic = 0;
constexpr std::size_t kOffFormatVersion = 4;
constexpr std::size_t kOffHeaderSize = 6;
constexpr std::size_t kOffTypeCode = 8;
constexpr std::size_t kOffName = 12;
constexpr std::size_t kOffVersionMajor = 32;
constexpr std::size_t kOffVersionMinor = 36;
constexpr std::size_t kOffDate = 40;
constexpr std::size_t kOffPayloadLength = 52;
constexpr std::size_t kOffPayloadCrc = 56;
constexpr std::size_t kOffHeaderCrc = 60;

constexpr std::array<std::uint8_t, 4> kMagic = {'F', 'W', 'I', 'M'};
constexpr std::size_t kBlockSize = 64 * 1024;

using support::getU16;
using support::getU32;
using support::storeU16;
using support::storeU32;
using wire::crc32Of;

// From this many blocks on, an image is loaded by two threads.
constexpr std::size_t kParallelBlocks = 4;

// A file opened for reading that refuses anything but a regular file, without
// ever blocking in open(). Reads retry short counts and interruptions.
class InputFile {
public:
    explicit InputFile(const char* path) {
        if (path == nullptr || *path == '\0')
            return;
        // Opening some device nodes has side effects, so they are refused before
        // open(); the fstat() below closes the race with a path swapped meanwhile.
        struct stat before {};
        if (::stat(path, &before) != 0 || !S_ISREG(before.st_mode))
            return;
        m_fd.reset(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st {};
        if (!m_fd.valid() || ::fstat(m_fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
            return;
        m_size = static_cast<std::uint64_t>(st.st_size);
        m_regular = true;
    }

    bool isRegular() const { return m_regular; }
    std::uint64_t size() const { return m_size; }

    // Fills up to `size` bytes from where the last read ended; returns how many were
    // read (less only at end of file) or -1 on a read error.
    long long read(std::uint8_t* buffer, std::size_t size) {
        const long long got = readAt(buffer, size, m_offset);
        m_offset += got > 0 ? static_cast<std::uint64_t>(got) : 0;
        return got;
    }

    // The same at `offset`, leaving the position alone: safe from several threads.
    long long readAt(std::uint8_t* buffer, std::size_t size, std::uint64_t offset) const {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got =
                ::pread(m_fd.get(), buffer + done, size - done, static_cast<off_t>(offset + done));
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            if (got == 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        return static_cast<long long>(done);
    }

private:
    support::Fd m_fd;
    std::uint64_t m_size = 0;
    std::uint64_t m_offset = 0;
    bool m_regular = false;
};

using HeaderBytes = std::array<std::uint8_t, kHeaderSize>;

// Reads and checks the header, and that the file's size matches it.
ImageError readAndCheckHeader(InputFile& file, HeaderBytes& header, ImageInfo& info) {
    if (!file.isRegular())
        return ImageError::NotRegularFile;
    const long long got = file.read(header.data(), header.size());
    if (got < 0)
        return ImageError::ReadFailed;
    if (static_cast<std::size_t>(got) < kHeaderSize)
        return ImageError::TooShort;
    const ImageError error = parseHeader(header.data(), info);
    if (error != ImageError::None)
        return error;
    // Exactly the header's length, or that and one signature section: a fixed size, read
    // whole and checked before anything of it is used.
    const std::uint64_t end = kHeaderSize + std::uint64_t{info.payloadLength};
    if (file.size() == end)
        return ImageError::None;
    if (file.size() != end + kSignatureSectionSize)
        return ImageError::LengthMismatch;
    std::array<std::uint8_t, kSignatureSectionSize> section{};
    const long long read = file.readAt(section.data(), section.size(), end);
    if (read < 0)
        return ImageError::ReadFailed;
    if (static_cast<std::size_t>(read) != section.size())
        return ImageError::LengthMismatch;
    return parseSignatureSection(section.data(), info.signature);
}

// The size a valid file with these fields has.
std::uint64_t fileSizeOf(const ImageInfo& info) {
    return kHeaderSize + std::uint64_t{info.payloadLength} +
           (info.signature.present ? kSignatureSectionSize : 0);
}

// After the payload (and section), the file must be at its end: a file that grew while it
// was read is as wrong as one with trailing bytes from the start.
ImageError expectEnd(const InputFile& file, const ImageInfo& info) {
    std::uint8_t extra = 0;
    const long long got = file.readAt(&extra, 1, fileSizeOf(info));
    if (got < 0)
        return ImageError::ReadFailed;
    return got == 0 ? ImageError::None : ImageError::LengthMismatch;
}

// Section offsets; the signed bytes are the first kSignedSectionBytes.
constexpr std::size_t kOffSectionVersion = 4;
constexpr std::size_t kOffSectionSize = 6;
constexpr std::size_t kOffKeyId = 8;
constexpr std::size_t kOffCounter = 16;
constexpr std::size_t kOffSignature = 20;
constexpr std::size_t kOffSectionCrc = 84;
constexpr std::array<std::uint8_t, 4> kSectionMagic = {'F', 'W', 'S', 'G'};

} // namespace

ImageError parseHeader(const std::uint8_t* header, ImageInfo& out) {
    if (!std::equal(kMagic.begin(), kMagic.end(), header + kOffMagic))
        return ImageError::BadMagic;
    if (getU16(header + kOffFormatVersion) != kFormatVersion ||
        getU16(header + kOffHeaderSize) != kHeaderSize)
        return ImageError::BadFormatVersion;
    if (crc32Of(header, kOffHeaderCrc) != getU32(header + kOffHeaderCrc))
        return ImageError::BadHeaderCrc;

    const auto* name = header + kOffName;
    const auto* nul = std::find(name, name + kNameBytes, std::uint8_t{0});
    if (nul == name + kNameBytes ||
        std::any_of(nul, name + kNameBytes, [](std::uint8_t b) { return b != 0; }))
        return ImageError::BadName;

    const std::uint32_t length = getU32(header + kOffPayloadLength);
    if (length > kMaxPayload)
        return ImageError::TooLarge;

    out = ImageInfo{};
    out.typeCode = getU32(header + kOffTypeCode);
    std::memcpy(out.name, name, kNameBytes);
    out.versionMajor = static_cast<std::int32_t>(getU32(header + kOffVersionMajor));
    out.versionMinor = static_cast<std::int32_t>(getU32(header + kOffVersionMinor));
    for (std::size_t i = 0; i < 3; ++i)
        out.date[i] = getU32(header + kOffDate + 4 * i);
    out.payloadLength = length;
    out.payloadCrc = getU32(header + kOffPayloadCrc);
    return ImageError::None;
}

const char* describe(ImageError error) {
    switch (error) {
    case ImageError::None:
        return "valid image";
    case ImageError::NotRegularFile:
        return "not a regular file";
    case ImageError::ReadFailed:
        return "unreadable";
    case ImageError::TooShort:
        return "too short";
    case ImageError::BadMagic:
        return "not a firmware image";
    case ImageError::BadFormatVersion:
        return "unsupported format";
    case ImageError::BadHeaderCrc:
        return "bad header CRC";
    case ImageError::BadName:
        return "bad name field";
    case ImageError::TooLarge:
        return "too large";
    case ImageError::LengthMismatch:
        return "truncated or trailing bytes";
    case ImageError::BadPayloadCrc:
        return "bad payload CRC";
    case ImageError::BadSignatureSection:
        return "bad signature section";
    }
    return "unknown error";
}

ImageError parseSignatureSection(const std::uint8_t* section, ImageSignature& out) {
    if (!std::equal(kSectionMagic.begin(), kSectionMagic.end(), section) ||
        getU16(section + kOffSectionVersion) != kSignatureVersion ||
        getU16(section + kOffSectionSize) != kSignatureSectionSize ||
        crc32Of(section, kOffSectionCrc) != getU32(section + kOffSectionCrc))
        return ImageError::BadSignatureSection;
    out.present = true;
    std::copy_n(section + kOffKeyId, kKeyIdBytes, out.keyId.begin());
    out.counter = getU32(section + kOffCounter);
    std::copy_n(section + kOffSignature, kSignatureBytes, out.signature.begin());
    return ImageError::None;
}

std::array<std::uint8_t, kSignatureSectionSize> encodeSignatureSection(const ImageSignature& sig) {
    std::array<std::uint8_t, kSignatureSectionSize> s{};
    std::copy(kSectionMagic.begin(), kSectionMagic.end(), s.begin());
    storeU16(s.data() + kOffSectionVersion, kSignatureVersion);
    storeU16(s.data() + kOffSectionSize, static_cast<std::uint16_t>(kSignatureSectionSize));
    std::copy(sig.keyId.begin(), sig.keyId.end(), s.begin() + kOffKeyId);
    storeU32(s.data() + kOffCounter, sig.counter);
    std::copy(sig.signature.begin(), sig.signature.end(), s.begin() + kOffSignature);
    storeU32(s.data() + kOffSectionCrc, crc32Of(s.data(), kOffSectionCrc));
    return s;
}

ImageError parseImage(const std::uint8_t* data, std::size_t size, ImageInfo& out) {
    if (data == nullptr || size < kHeaderSize)
        return ImageError::TooShort;
    ImageInfo info;
    ImageError error = parseHeader(data, info);
    if (error != ImageError::None)
        return error;
    const std::size_t end = kHeaderSize + std::size_t{info.payloadLength};
    if (size == end + kSignatureSectionSize) {
        if ((error = parseSignatureSection(data + end, info.signature)) != ImageError::None)
            return error;
    } else if (size != end) {
        return ImageError::LengthMismatch;
    }
    if (crc32Of(data + kHeaderSize, info.payloadLength) != info.payloadCrc)
        return ImageError::BadPayloadCrc;
    out = info;
    return ImageError::None;
}

ImageError checkImageFile(const char* path, ImageInfo& out) {
    InputFile file(path);
    HeaderBytes header{};
    ImageInfo info;
    ImageError error = readAndCheckHeader(file, header, info);
    if (error != ImageError::None)
        return error;

    // Streamed in blocks: a 256 MiB image costs 64 KiB of memory to check.
    std::vector<std::uint8_t> block(
        std::min<std::size_t>(kBlockSize, std::max<std::uint32_t>(info.payloadLength, 1)));
    std::uint32_t crc = 0;
    std::uint32_t left = info.payloadLength;
    while (left > 0) {
        const std::size_t want = std::min<std::size_t>(left, block.size());
        const long long got = file.read(block.data(), want);
        if (got < 0)
            return ImageError::ReadFailed;
        if (static_cast<std::size_t>(got) != want)
            return ImageError::LengthMismatch; // shrank while being read
        crc = crc32Of(block.data(), want, crc);
        left -= static_cast<std::uint32_t>(want);
    }
    if ((error = expectEnd(file, info)) != ImageError::None)
        return error;
    if (crc != info.payloadCrc)
        return ImageError::BadPayloadCrc;
    out = info;
    return ImageError::None;
}

ImageError loadImageFile(const char* path, std::vector<std::uint8_t>& contents, ImageInfo& out) {
    ImageBytes bytes;
    std::vector<std::uint32_t> blockCrcs;
    const ImageError error = loadImageFile(path, bytes, out, kBlockSize, blockCrcs);
    if (error == ImageError::None)
        contents.assign(bytes.begin(), bytes.end());
    return error;
}

ImageError loadImageFile(const char* path, ImageBytes& contents, ImageInfo& out, std::uint32_t blockSize,
                         std::vector<std::uint32_t>& blockCrcs) {
    if (blockSize <= kHeaderSize)
        return ImageError::ReadFailed;
    InputFile file(path);
    HeaderBytes header{};
    ImageInfo info;
    ImageError error = readAndCheckHeader(file, header, info);
    if (error != ImageError::None)
        return error;

    // Allocated only after the header's length matched the file's real size.
    const std::size_t size = kHeaderSize + std::size_t{info.payloadLength};
    ImageBytes data(size);
    std::copy(header.begin(), header.end(), data.begin());
    const std::size_t blocks = (size + blockSize - 1) / blockSize;
    std::vector<std::uint32_t> crcs(blocks);
    // Each block read and its CRC taken while it is still in the cache (block 0 without the
    // header): one pass over the bytes gives every block's CRC and, combined, the payload's.
    const auto loadBlocks = [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            const std::size_t at = b * blockSize;
            const std::size_t end = std::min(size, at + blockSize);
            const std::size_t from = std::max(at, kHeaderSize);
            const long long got = file.readAt(data.data() + from, end - from, from);
            if (got < 0)
                return ImageError::ReadFailed;
            if (static_cast<std::size_t>(got) != end - from)
                return ImageError::LengthMismatch; // shrank while being read
            crcs[b] = crc32Of(data.data() + from, end - from);
        }
        return ImageError::None;
    };
    // A large image is checked in two halves at once: copying and checking it is all the
    // wait before the first byte goes out. Without a second thread, one does it all.
    const std::size_t half = blocks >= kParallelBlocks ? blocks / 2 : blocks;
    ImageError secondHalf = ImageError::None;
    std::thread helper;
    try {
        if (half < blocks)
            helper = std::thread([&] { secondHalf = loadBlocks(half, blocks); });
    } catch (const std::system_error&) {
    }
    error = loadBlocks(0, helper.joinable() ? half : blocks);
    if (helper.joinable())
        helper.join();
    if (error == ImageError::None)
        error = secondHalf;
    if (error != ImageError::None)
        return error;
    std::uint32_t payloadCrc = crcs[0];
    crcs[0] = wire::crc32Combine(crc32Of(data.data(), kHeaderSize), crcs[0],
                                 std::min(size, std::size_t{blockSize}) - kHeaderSize);
    for (std::size_t b = 1; b < blocks; ++b)
        payloadCrc =
            wire::crc32Combine(payloadCrc, crcs[b], std::min(size - b * blockSize, std::size_t{blockSize}));
    if ((error = expectEnd(file, info)) != ImageError::None)
        return error;
    if (payloadCrc != info.payloadCrc)
        return ImageError::BadPayloadCrc;
    contents = std::move(data);
    blockCrcs = std::move(crcs);
    out = info;
    return ImageError::None;
}

std::vector<std::uint8_t> buildImage(const ImageInfo& meta, const std::uint8_t* payload, std::size_t size) {
    if (size > kMaxPayload || (payload == nullptr && size != 0))
        return {};
    std::vector<std::uint8_t> image(kHeaderSize + size, 0);
    std::uint8_t* h = image.data();
    std::copy(kMagic.begin(), kMagic.end(), h + kOffMagic);
    storeU16(h + kOffFormatVersion, kFormatVersion);
    storeU16(h + kOffHeaderSize, static_cast<std::uint16_t>(kHeaderSize));
    storeU32(h + kOffTypeCode, meta.typeCode);
    // At most 19 characters; the rest of the field stays zero.
    const std::size_t nameLength = std::find(meta.name, meta.name + kNameBytes - 1, '\0') - meta.name;
    std::memcpy(h + kOffName, meta.name, nameLength);
    storeU32(h + kOffVersionMajor, static_cast<std::uint32_t>(meta.versionMajor));
    storeU32(h + kOffVersionMinor, static_cast<std::uint32_t>(meta.versionMinor));
    for (std::size_t i = 0; i < 3; ++i)
        storeU32(h + kOffDate + 4 * i, meta.date[i]);
    storeU32(h + kOffPayloadLength, static_cast<std::uint32_t>(size));
    if (size != 0)
        std::memcpy(h + kHeaderSize, payload, size);
    storeU32(h + kOffPayloadCrc, crc32Of(h + kHeaderSize, size));
    storeU32(h + kOffHeaderCrc, crc32Of(h, kOffHeaderCrc));
    return image;
}

} // namespace fwimage
