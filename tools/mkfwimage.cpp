// mkfwimage: writes a firmware image in the container format of
// docs/image-format.md, from a payload file or a reproducible synthetic payload.
// Exit status: 0 written, 1 could not write, 2 bad arguments.
#include "support/AtomicFile.h"
#include "support/ParseInt.h"
#include "wire/FirmwareImage.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kExitWriteFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage: mkfwimage --type CODE --name NAME --version MAJOR.MINOR --date D1/D2/D3\n"
    "                 (--payload FILE | --size BYTES) -o OUT\n"
    "\n"
    "Writes a firmware image (header and payload) to OUT.\n"
    "\n"
    "  --type CODE          module type code, 0..4294967295 (e.g. 1 NetBoot, 2 NetAppl,\n"
    "                       3 GraphBoot, 4 GraphAppl, 6 DSPAppl, 7 MotoAppl, 100 P21Boot,\n"
    "                       101 P21Appl, 255 Archive); stored as given\n"
    "  --name NAME          1 to 19 printable ASCII characters\n"
    "  --version MAJ.MIN    version major and minor, each 0..2147483647\n"
    "  --date D1/D2/D3      three numbers 0..4294967295, suggested day/month/year-2000;\n"
    "                       the updater shows the low byte of each\n"
    "  --payload FILE       take the payload from FILE\n"
    "  --size BYTES         synthetic payload of BYTES bytes (same arguments, same file)\n"
    "  -o, --output OUT     image file to write (replaced atomically)\n"
    "  -h, --help           show this text\n"
    "\n"
    "Numbers are decimal or 0x-prefixed hexadecimal. Exit status: 0 written,\n"
    "1 the image could not be written, 2 bad arguments.\n";

struct UsageError {
    std::string message;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

std::uint64_t numberOrThrow(const std::string& option, const std::string& text, std::uint64_t max,
                            const char* what) {
    // Decimal or 0x-hex, no sign, no blanks.
    const auto value = support::parseInteger(text, 0, static_cast<std::int64_t>(max), true);
    if (!value)
        throw UsageError{option + ": '" + text + "' is not " + what + " in the range 0.." +
                         std::to_string(max)};
    return static_cast<std::uint64_t>(*value);
}

// Reproducible synthetic payload: xorshift32 from a fixed seed, bytes taken
// little-endian so every platform writes the same file.
std::vector<std::uint8_t> syntheticPayload(std::size_t size) {
    std::vector<std::uint8_t> payload(size);
    std::uint32_t state = 0x2F6B5A1Du;
    for (std::size_t i = 0; i < size; i += 4) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        for (std::size_t k = 0; k < 4 && i + k < size; ++k)
            payload[i + k] = static_cast<std::uint8_t>(state >> (8 * k));
    }
    return payload;
}

std::vector<std::uint8_t> readPayload(const std::string& path) {
    // A FIFO or a device would block or never end; only plain files are payloads.
    std::error_code ec;
    const std::filesystem::path p(path);
    if (!std::filesystem::is_regular_file(p, ec))
        throw UsageError{"--payload: '" + path + "' is not a readable regular file"};
    const auto size = std::filesystem::file_size(p, ec);
    if (ec)
        throw UsageError{"--payload: cannot read '" + path + "': " + ec.message()};
    if (size > fwimage::kMaxPayload)
        throw UsageError{"--payload: '" + path + "' is larger than " + std::to_string(fwimage::kMaxPayload) +
                         " bytes"};
    std::ifstream in(p, std::ios::binary);
    std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
    if (in)
        in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!in || static_cast<std::uint64_t>(in.gcount()) != size || in.peek() != std::char_traits<char>::eof())
        throw UsageError{"--payload: cannot read '" + path + "' (unreadable or changed while read)"};
    return data;
}

struct Options {
    fwimage::ImageInfo meta;
    std::vector<std::uint8_t> payload;
    std::string output;
};

Options parseArguments(const std::vector<std::string>& args) {
    // Collect first, so each option's value is checked once, in a fixed order.
    std::map<std::string, std::string> given;
    static const std::map<std::string, std::string> kAliases = {
        {"--type", "--type"}, {"--name", "--name"},       {"--version", "--version"},
        {"--date", "--date"}, {"--payload", "--payload"}, {"--size", "--size"},
        {"-o", "--output"},   {"--output", "--output"},
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto alias = kAliases.find(args[i]);
        if (alias == kAliases.end())
            throw UsageError{"unknown option '" + args[i] + "'"};
        if (i + 1 >= args.size())
            throw UsageError{args[i] + " needs a value"};
        if (!given.emplace(alias->second, args[++i]).second)
            throw UsageError{alias->second + " given more than once"};
    }
    for (const char* required : {"--type", "--name", "--version", "--date", "--output"}) {
        if (!given.count(required))
            throw UsageError{std::string("missing option ") + required};
    }
    const bool hasPayload = given.count("--payload") != 0;
    const bool hasSize = given.count("--size") != 0;
    if (hasPayload == hasSize)
        throw UsageError{"give exactly one of --payload FILE or --size BYTES"};

    Options options;
    auto& meta = options.meta;
    constexpr std::uint64_t kU32Max = 0xFFFFFFFFu;
    constexpr std::uint64_t kI32Max = 0x7FFFFFFFu;
    meta.typeCode =
        static_cast<std::uint32_t>(numberOrThrow("--type", given["--type"], kU32Max, "a type code"));

    const std::string& name = given["--name"];
    if (name.empty() || name.size() > fwimage::kNameBytes - 1)
        throw UsageError{"--name: '" + name + "' must be 1 to 19 characters long (it has " +
                         std::to_string(name.size()) + ")"};
    for (char c : name) {
        if (c < 0x20 || c > 0x7E)
            throw UsageError{"--name: only printable ASCII characters are allowed"};
    }
    std::memcpy(meta.name, name.data(), name.size());

    const auto version = split(given["--version"], '.');
    if (version.size() != 2)
        throw UsageError{"--version: '" + given["--version"] + "' is not MAJOR.MINOR"};
    meta.versionMajor =
        static_cast<std::int32_t>(numberOrThrow("--version", version[0], kI32Max, "a major version"));
    meta.versionMinor =
        static_cast<std::int32_t>(numberOrThrow("--version", version[1], kI32Max, "a minor version"));

    const auto dates = split(given["--date"], '/');
    if (dates.size() != 3)
        throw UsageError{"--date: '" + given["--date"] + "' is not D1/D2/D3"};
    for (std::size_t i = 0; i < 3; ++i)
        meta.date[i] =
            static_cast<std::uint32_t>(numberOrThrow("--date", dates[i], kU32Max, "a date number"));

    options.output = given["--output"];
    if (options.output.empty())
        throw UsageError{"--output: the file name is empty"};

    if (hasSize) {
        const auto size = numberOrThrow("--size", given["--size"], fwimage::kMaxPayload, "a payload size");
        options.payload = syntheticPayload(static_cast<std::size_t>(size));
    } else {
        options.payload = readPayload(given["--payload"]);
    }
    return options;
}

// Written next to the target and renamed over it, so OUT is either the old
// file or the complete new image, never a partial one.
bool writeAtomically(const std::string& output, const std::vector<std::uint8_t>& image, std::string& error) {
    bool created = false;
    const int failed = support::replaceFile(output, image.data(), image.size(), 0666, &created);
    if (failed != 0)
        error = (created ? "cannot write '" : "cannot create a file next to '") + output +
                "': " + std::strerror(failed);
    return failed == 0;
}

int run(const std::vector<std::string>& args) {
    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
    }
    Options options;
    try {
        options = parseArguments(args);
    } catch (const UsageError& e) {
        std::cerr << "mkfwimage: " << e.message << " (see mkfwimage --help)\n";
        return kExitUsage;
    }
    const auto image = fwimage::buildImage(options.meta, options.payload.data(), options.payload.size());
    if (image.empty()) {
        std::cerr << "mkfwimage: the image could not be built\n";
        return kExitWriteFailed;
    }
    std::string error;
    if (!writeAtomically(options.output, image, error)) {
        std::cerr << "mkfwimage: " << error << "\n";
        return kExitWriteFailed;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "mkfwimage: " << e.what() << "\n";
        return kExitWriteFailed;
    }
}
