// Helpers for the image tests: files of bytes, image metadata and header edits.
#pragma once

#include "FirmwareImage.h"
#include "StationProcess.h"

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace imagetest {

using Bytes = std::vector<std::uint8_t>;
using zutest::TempDir;

inline std::string writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline fwimage::ImageInfo meta(std::uint32_t type, const char* name, std::int32_t major, std::int32_t minor) {
    fwimage::ImageInfo m;
    m.typeCode = type;
    std::memcpy(m.name, name, strnlen(name, fwimage::kNameBytes)); // 20 characters: no NUL
    m.versionMajor = major;
    m.versionMinor = minor;
    return m;
}

inline Bytes payload(std::size_t size) {
    Bytes p(size);
    for (std::size_t i = 0; i < size; ++i)
        p[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return p;
}

// Sets a header field and recomputes the header CRC, so that the edit reaches the checks behind it.
inline void setField(Bytes& b, std::size_t offset, std::uint32_t v, int width = 4, bool fixCrc = true) {
    for (int i = 0; i < width; ++i)
        b[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    const std::uint32_t crc = fwimage::crc32Of(b.data(), 60);
    for (int i = 0; fixCrc && i < 4; ++i)
        b[60 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
}

} // namespace imagetest
