// Shared helpers for the image tests: a private temporary folder and small
// builders for valid images and byte-level edits of them.
#pragma once

#include "FirmwareImage.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace imagetest {

class TempDir {
public:
    TempDir() {
        std::random_device rd;
        m_path = std::filesystem::temp_directory_path() /
                 ("zu-image-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

inline void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline fwimage::ImageInfo meta(std::uint32_t type = 2, const char* name = "NetAppl test",
                               std::int32_t major = 3, std::int32_t minor = 7) {
    fwimage::ImageInfo m;
    m.typeCode = type;
    std::memcpy(m.name, name, strnlen(name, fwimage::kNameBytes - 1)); // rest stays zero
    m.versionMajor = major;
    m.versionMinor = minor;
    m.date[0] = 24;
    m.date[1] = 12;
    m.date[2] = 25;
    return m;
}

inline std::vector<std::uint8_t> payload(std::size_t size) {
    std::vector<std::uint8_t> p(size);
    for (std::size_t i = 0; i < size; ++i)
        p[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return p;
}

inline std::vector<std::uint8_t> smallImage(std::size_t payloadSize = 40) {
    const auto p = payload(payloadSize);
    return fwimage::buildImage(meta(), p.data(), p.size());
}

inline void putU32(std::vector<std::uint8_t>& b, std::size_t offset, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Recomputes the header CRC, so that an edit reaches the field checks behind it.
inline void fixHeaderCrc(std::vector<std::uint8_t>& b) {
    putU32(b, 60, fwimage::crc32Of(b.data(), 60));
}

} // namespace imagetest
