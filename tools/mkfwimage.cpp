// mkfwimage: writes a firmware image in the container format of
// docs/image-format.md, from a payload file or a reproducible synthetic payload;
// makes signing keys, signs images and checks their signatures.
// Exit status: 0 written (or a good signature), 1 could not write (or no good
// signature), 2 bad arguments or unusable input files.
#include "support/AtomicFile.h"
#include "support/Fd.h"
#include "support/ParseInt.h"
#include "wire/FirmwareImage.h"
#include "wire/ImageSigning.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kExitWriteFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage: mkfwimage --type CODE --name NAME --version MAJOR.MINOR --date D1/D2/D3\n"
    "                 (--payload FILE | --size BYTES) [--sign BASE.key [--counter N]] -o OUT\n"
    "       mkfwimage keygen --out BASE\n"
    "       mkfwimage sign --key BASE.key [--counter N] IN -o OUT\n"
    "       mkfwimage verify --pub BASE.pub FILE\n"
    "\n"
    "Writes a firmware image (header and payload, and a signature section when signed) to OUT.\n"
    "keygen writes a signing key pair, BASE.key (secret, mode 0600) and BASE.pub; sign adds or\n"
    "replaces the signature section of an image; verify exits 0 only for a good signature by\n"
    "the key of BASE.pub, and prints the key id and security counter.\n"
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
    "  --sign BASE.key      sign the image with this secret key\n"
    "  --counter N          security counter of the signature, 0..4294967295 (default 0)\n"
    "  -o, --output OUT     image file to write (replaced atomically)\n"
    "  -h, --help           show this text\n"
    "\n"
    "Numbers are decimal or 0x-prefixed hexadecimal. Exit status: 0 written (verify: a good\n"
    "signature), 1 the image could not be written (verify: no good signature by that key),\n"
    "2 bad arguments, or a key or image file that cannot be used.\n";

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

// A key or image file: regular, small enough to be what it claims, read whole.
std::string readSmallFile(const std::string& option, const std::string& path, bool secret) {
    const support::Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        throw UsageError{option + ": cannot read '" + path + "': " + std::strerror(errno)};
    if (!S_ISREG(st.st_mode))
        throw UsageError{option + ": '" + path + "' is not a regular file"};
    // A secret key others can read is no longer secret: refuse it as ssh does.
    if (secret && (st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw UsageError{option + ": '" + path + "' is accessible by others (mode " + mode +
                         "); make it private with chmod 600"};
    }
    constexpr std::size_t kMaxKeyFile = 4096; // a key file is one line of about 100 bytes
    std::string text(kMaxKeyFile + 1, '\0');
    const ssize_t got = ::read(fd.get(), text.data(), text.size());
    if (got < 0)
        throw UsageError{option + ": cannot read '" + path + "': " + std::strerror(errno)};
    text.resize(static_cast<std::size_t>(got));
    return text;
}

fwsign::SecretKey loadSecretKey(const std::string& option, const std::string& path) {
    const auto key = fwsign::parseSecretKey(readSmallFile(option, path, true));
    if (!key)
        throw UsageError{option + ": '" + path + "' is not a secret key written by mkfwimage keygen"};
    return *key;
}

fwsign::PublicKey loadPublicKey(const std::string& option, const std::string& path) {
    const auto key = fwsign::parsePublicKey(readSmallFile(option, path, false));
    if (!key)
        throw UsageError{option + ": '" + path + "' is not a public key written by mkfwimage keygen"};
    return *key;
}

std::uint32_t counterOf(std::map<std::string, std::string>& given) {
    return given.count("--counter") ? static_cast<std::uint32_t>(numberOrThrow(
                                          "--counter", given["--counter"], 0xFFFFFFFFu, "a security counter"))
                                    : 0;
}

// A subcommand's options (each at most once) and its operands, in order.
struct Arguments {
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;
};

Arguments parseSubcommand(const std::vector<std::string>& args, std::initializer_list<const char*> known) {
    Arguments out;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string option = args[i] == "-o" ? "--output" : args[i];
        if (option.rfind('-', 0) != 0) {
            out.operands.push_back(args[i]);
            continue;
        }
        if (std::find(known.begin(), known.end(), option) == known.end())
            throw UsageError{args[0] + ": unknown option '" + args[i] + "'"};
        if (i + 1 >= args.size())
            throw UsageError{args[i] + " needs a value"};
        if (!out.options.emplace(option, args[++i]).second)
            throw UsageError{option + " given more than once"};
    }
    return out;
}

std::string required(Arguments& a, const char* option) {
    if (!a.options.count(option) || a.options[option].empty())
        throw UsageError{std::string("missing option ") + option};
    return a.options[option];
}

struct Options {
    fwimage::ImageInfo meta;
    std::vector<std::uint8_t> payload;
    std::string output;
    std::optional<fwsign::SecretKey> key; // --sign
    std::uint32_t counter = 0;
};

Options parseArguments(const std::vector<std::string>& args) {
    // Collect first, so each option's value is checked once, in a fixed order.
    std::map<std::string, std::string> given;
    static const std::map<std::string, std::string> kAliases = {
        {"--type", "--type"},       {"--name", "--name"},       {"--version", "--version"},
        {"--date", "--date"},       {"--payload", "--payload"}, {"--size", "--size"},
        {"-o", "--output"},         {"--output", "--output"},   {"--sign", "--sign"},
        {"--counter", "--counter"},
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

    if (given.count("--counter") && !given.count("--sign"))
        throw UsageError{"--counter needs --sign"};
    options.counter = counterOf(given);
    if (given.count("--sign"))
        options.key = loadSecretKey("--sign", given["--sign"]);

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

// Appends the signature section for header and payload.
void appendSignature(std::vector<std::uint8_t>& image, const fwsign::SecretKey& key, std::uint32_t counter) {
    const auto section =
        fwimage::encodeSignatureSection(fwsign::signImage(image.data(), image.size(), key, counter));
    image.insert(image.end(), section.begin(), section.end());
}

// Header and payload of a valid image file (any signature section left out), or a usage error.
std::vector<std::uint8_t> loadImage(const std::string& path, fwimage::ImageInfo& info) {
    std::vector<std::uint8_t> image;
    const fwimage::ImageError error = fwimage::loadImageFile(path.c_str(), image, info);
    if (error != fwimage::ImageError::None)
        throw UsageError{"'" + path + "' is not a valid firmware image (" + fwimage::describe(error) + ")"};
    return image;
}

std::string oneOperand(const Arguments& a, const char* what) {
    if (a.operands.size() != 1)
        throw UsageError{std::string("give exactly one ") + what};
    return a.operands[0];
}

int keygen(const std::vector<std::string>& args) {
    Arguments a = parseSubcommand(args, {"--out"});
    if (!a.operands.empty())
        throw UsageError{"keygen: unexpected argument '" + a.operands[0] + "'"};
    const std::string base = required(a, "--out");
    if (!fwsign::ready())
        throw std::runtime_error("the crypto library cannot start");
    const fwsign::KeyPair pair = fwsign::generateKeyPair();
    // Never over an existing key: a lost secret key cannot be made again.
    const auto create = [](const std::string& path, const std::string& text, mode_t mode) {
        const support::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!fd.valid())
            throw UsageError{"keygen: cannot create '" + path + "': " + std::strerror(errno)};
        if (::fchmod(fd.get(), mode) != 0 ||
            ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
            ::fsync(fd.get()) != 0) {
            ::unlink(path.c_str());
            throw std::runtime_error("cannot write '" + path + "': " + std::strerror(errno));
        }
    };
    const std::string pub = base + ".pub";
    struct stat st {};
    if (::lstat(pub.c_str(), &st) == 0)
        throw UsageError{"keygen: '" + pub + "' exists already"};
    create(base + ".key", fwsign::secretKeyText(pair.secretKey), 0600);
    try {
        create(pub, fwsign::publicKeyText(pair.publicKey), 0644);
    } catch (...) {
        ::unlink((base + ".key").c_str());
        throw;
    }
    std::cout << "key id " << fwsign::keyIdText(fwsign::keyIdOf(pair.publicKey)) << "\n";
    return 0;
}

int sign(const std::vector<std::string>& args) {
    Arguments a = parseSubcommand(args, {"--key", "--counter", "--output"});
    const std::string input = oneOperand(a, "input image");
    const std::string output = required(a, "--output");
    const fwsign::SecretKey key = loadSecretKey("--key", required(a, "--key"));
    const std::uint32_t counter = counterOf(a.options);
    fwimage::ImageInfo info;
    std::vector<std::uint8_t> image = loadImage(input, info);
    appendSignature(image, key, counter); // a section the input had is replaced
    std::string error;
    if (!writeAtomically(output, image, error)) {
        std::cerr << "mkfwimage: " << error << "\n";
        return kExitWriteFailed;
    }
    return 0;
}

int verify(const std::vector<std::string>& args) {
    Arguments a = parseSubcommand(args, {"--pub"});
    const std::string file = oneOperand(a, "image file");
    const fwsign::PublicKey key = loadPublicKey("--pub", required(a, "--pub"));
    fwimage::ImageInfo info;
    const std::vector<std::uint8_t> image = loadImage(file, info);
    const fwimage::ImageSignature& sig = info.signature;
    if (!sig.present) {
        std::cerr << "mkfwimage: '" << file << "' is not signed\n";
        return kExitWriteFailed;
    }
    const std::string signer =
        "key id " + fwsign::keyIdText(sig.keyId) + ", security counter " + std::to_string(sig.counter);
    if (sig.keyId != fwsign::keyIdOf(key)) {
        std::cerr << "mkfwimage: '" << file << "' is signed by another key (" << signer << ")\n";
        return kExitWriteFailed;
    }
    fwsign::ImageHasher hasher;
    hasher.update(image.data(), image.size());
    if (!hasher.verify(sig, key)) {
        std::cerr << "mkfwimage: '" << file << "': signature does not verify (" << signer << ")\n";
        return kExitWriteFailed;
    }
    std::cout << file << ": good signature, " << signer << "\n";
    return 0;
}

int build(const std::vector<std::string>& args) {
    const Options options = parseArguments(args);
    auto image = fwimage::buildImage(options.meta, options.payload.data(), options.payload.size());
    if (image.empty()) {
        std::cerr << "mkfwimage: the image could not be built\n";
        return kExitWriteFailed;
    }
    if (options.key)
        appendSignature(image, *options.key, options.counter);
    std::string error;
    if (!writeAtomically(options.output, image, error)) {
        std::cerr << "mkfwimage: " << error << "\n";
        return kExitWriteFailed;
    }
    return 0;
}

int run(const std::vector<std::string>& args) {
    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
    }
    const std::string command = args.empty() ? "" : args[0];
    try {
        if (command == "keygen")
            return keygen(args);
        if (command == "sign")
            return sign(args);
        if (command == "verify")
            return verify(args);
        return build(args);
    } catch (const UsageError& e) {
        std::cerr << "mkfwimage: " << e.message << " (see mkfwimage --help)\n";
        return kExitUsage;
    }
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
