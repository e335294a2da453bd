// Station-file reader. Every problem is reported with the dotted path of the
// offending key, so a technician can find it in a long file.
#include "stationsim/StationConfig.h"

#include "support/Fd.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

using nlohmann::json;

// Each check returns false and fills `error` on failure.
class Checker {
public:
    explicit Checker(std::string& error) : m_error(error) {}

    bool fail(const std::string& path, const std::string& problem) {
        m_error = path + ": " + problem;
        return false;
    }

    bool onlyKeys(const json& object, const std::string& path, std::initializer_list<const char*> allowed) {
        for (auto it = object.begin(); it != object.end(); ++it) {
            bool known = false;
            for (const char* key : allowed)
                known = known || it.key() == key;
            if (!known)
                return fail(join(path, it.key()), "unknown key");
        }
        return true;
    }

    bool integer(const json& v, const std::string& path, std::int64_t min, std::int64_t max,
                 std::int64_t& out) {
        const std::string range = " (" + std::to_string(min) + ".." + std::to_string(max) + ")";
        if (v.is_number_unsigned()) {
            const auto u = v.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(max))
                return fail(path, "out of range" + range);
            out = static_cast<std::int64_t>(u);
        } else if (v.is_number_integer()) {
            const auto i = v.get<std::int64_t>();
            if (i < min || i > max)
                return fail(path, "out of range" + range);
            out = i;
        } else {
            return fail(path, "expected an integer" + range);
        }
        return true;
    }

    bool u32(const json& v, const std::string& path, std::uint32_t& out) {
        std::int64_t value = 0;
        if (!integer(v, path, 0, std::numeric_limits<std::uint32_t>::max(), value))
            return false;
        out = static_cast<std::uint32_t>(value);
        return true;
    }

    bool byte(const json& v, const std::string& path, std::uint8_t& out) {
        std::int64_t value = 0;
        if (!integer(v, path, 0, 255, value))
            return false;
        out = static_cast<std::uint8_t>(value);
        return true;
    }

    bool boolean(const json& v, const std::string& path, bool& out) {
        if (!v.is_boolean())
            return fail(path, "expected true or false");
        out = v.get<bool>();
        return true;
    }

    static std::string join(const std::string& path, const std::string& key) {
        return path.empty() ? key : path + "." + key;
    }

private:
    std::string& m_error;
};

bool parseAddress(const std::string& text, std::uint32_t& out) {
    std::uint32_t value = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::size_t digits = 0;
        unsigned octet = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            octet = octet * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || octet > 255)
            return false;
        value = (value << 8) | octet;
        ++parts;
        if (parts < 4) {
            if (i >= text.size() || text[i] != '.')
                return false;
            ++i;
        }
    }
    if (i != text.size())
        return false;
    out = value;
    return true;
}

bool parseFaults(Checker& c, const json& v, const std::string& path, Faults& f) {
    if (!v.is_object())
        return c.fail(path, "expected an object");
    if (!c.onlyKeys(
            v, path,
            {"silent", "drop_after", "corrupt_at", "reject", "flash_fail", "stall_after", "delay_ms"}))
        return false;
    for (auto it = v.begin(); it != v.end(); ++it) {
        const std::string& key = it.key();
        const std::string at = Checker::join(path, key);
        bool ok = true;
        if (key == "silent")
            ok = c.boolean(*it, at, f.silent);
        else if (key == "reject")
            ok = c.boolean(*it, at, f.reject);
        else if (key == "flash_fail")
            ok = c.boolean(*it, at, f.flashFail);
        else if (key == "drop_after")
            ok = c.u32(*it, at, f.dropAfter);
        else if (key == "corrupt_at")
            ok = c.u32(*it, at, f.corruptAt);
        else if (key == "stall_after")
            ok = c.u32(*it, at, f.stallAfter);
        else if (key == "delay_ms")
            ok = c.u32(*it, at, f.delayMs);
        if (!ok)
            return false;
    }
    return true;
}

bool parseDevice(Checker& c, const json& v, const std::string& path, DeviceConfig& d) {
    if (!v.is_object())
        return c.fail(path, "expected an object");
    if (!c.onlyKeys(v, path,
                    {"id", "address", "name", "family", "kind", "sub", "letter", "version", "serial",
                     "accepts", "trusted_keys", "security_counter", "faults"}))
        return false;
    if (!v.contains("id"))
        return c.fail(Checker::join(path, "id"), "missing (every device needs an id)");
    for (auto it = v.begin(); it != v.end(); ++it) {
        const std::string& key = it.key();
        const std::string at = Checker::join(path, key);
        const json& value = *it;
        bool ok = true;
        if (key == "id") {
            std::int64_t id = 0;
            ok = c.integer(value, at, std::numeric_limits<std::int32_t>::min(),
                           std::numeric_limits<std::int32_t>::max(), id);
            if (ok && id == 0)
                return c.fail(at, "must not be 0 (0 marks an empty slot)");
            d.id = static_cast<std::int32_t>(id);
        } else if (key == "address") {
            if (!value.is_string() || !parseAddress(value.get<std::string>(), d.address))
                return c.fail(at, "expected a dotted IPv4 address such as \"192.168.1.20\"");
        } else if (key == "name") {
            if (!value.is_string())
                return c.fail(at, "expected a string");
            d.name = value.get<std::string>();
            if (d.name.size() > kMaxNameBytes)
                return c.fail(at, "longer than 63 bytes");
            if (d.name.find('\0') != std::string::npos)
                return c.fail(at, "contains a NUL character");
        } else if (key == "family") {
            ok = c.byte(value, at, d.family);
        } else if (key == "kind") {
            ok = c.byte(value, at, d.kind);
        } else if (key == "sub") {
            ok = c.byte(value, at, d.sub);
        } else if (key == "letter") {
            if (!value.is_string())
                return c.fail(at, "expected a string of one ASCII character");
            const std::string letter = value.get<std::string>();
            if (letter.size() != 1 || static_cast<unsigned char>(letter[0]) > 0x7F)
                return c.fail(at, "expected exactly one ASCII character");
            d.letter = static_cast<std::uint8_t>(letter[0]);
        } else if (key == "version") {
            if (!value.is_array() || value.size() != 2)
                return c.fail(at, "expected [major, minor]");
            std::int64_t major = 0;
            std::int64_t minor = 0;
            const std::int64_t max = std::numeric_limits<std::int32_t>::max();
            ok = c.integer(value[0], at + "[0]", 0, max, major) &&
                 c.integer(value[1], at + "[1]", 0, max, minor);
            d.versionMajor = static_cast<std::int32_t>(major);
            d.versionMinor = static_cast<std::int32_t>(minor);
        } else if (key == "serial") {
            ok = c.boolean(value, at, d.serial);
        } else if (key == "accepts") {
            if (!value.is_array())
                return c.fail(at, "expected an array of image type codes such as [2, 255]");
            d.acceptsAll = false;
            d.accepts.resize(value.size());
            for (std::size_t i = 0; ok && i < value.size(); ++i)
                ok = c.byte(value[i], at + "[" + std::to_string(i) + "]", d.accepts[i]);
        } else if (key == "trusted_keys") {
            if (!value.is_array())
                return c.fail(at, "expected an array of public keys (the lines of .pub files)");
            for (std::size_t i = 0; i < value.size(); ++i) {
                const auto parsed =
                    value[i].is_string() ? fwsign::parsePublicKey(value[i].get<std::string>()) : std::nullopt;
                if (!parsed)
                    return c.fail(at + "[" + std::to_string(i) + "]",
                                  "expected a public key as mkfwimage keygen writes it (\"ed25519 BASE64\")");
                d.trustedKeys.push_back({fwsign::keyIdOf(*parsed), *parsed});
            }
        } else if (key == "security_counter") {
            ok = c.u32(value, at, d.securityCounter);
        } else if (key == "faults") {
            ok = parseFaults(c, value, at, d.faults);
        }
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

bool parseStation(const std::string& text, StationConfig& out, std::string& error) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception& e) {
        // A syntax error, or a number beyond a double ("1E400"). Drop the library's
        // "[json.exception.parse_error.101] " tag.
        std::string what = e.what();
        const auto close = what.find("] ");
        error = "malformed JSON: " + (close == std::string::npos ? what : what.substr(close + 2));
        return false;
    }
    Checker c(error);
    if (!root.is_object())
        return c.fail("(top level)", "expected a JSON object");
    if (!c.onlyKeys(root, "", {"link_kbps", "flash_kbps", "serial_baud", "devices"}))
        return false;
    StationConfig station;
    if (root.contains("link_kbps") && !c.u32(root["link_kbps"], "link_kbps", station.linkKbps))
        return false;
    if (root.contains("flash_kbps") && !c.u32(root["flash_kbps"], "flash_kbps", station.flashKbps))
        return false;
    if (root.contains("serial_baud") && !c.u32(root["serial_baud"], "serial_baud", station.serialBaud))
        return false;
    if (root.contains("devices")) {
        const json& devices = root["devices"];
        if (!devices.is_array())
            return c.fail("devices", "expected an array");
        if (devices.size() > kMaxDevices)
            return c.fail("devices", "more than 65535 devices");
        std::set<std::int32_t> seen;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const std::string path = "devices[" + std::to_string(i) + "]";
            DeviceConfig d;
            if (!parseDevice(c, devices[i], path, d))
                return false;
            if (!seen.insert(d.id).second)
                return c.fail(path + ".id", "duplicate id " + std::to_string(d.id));
            station.devices.push_back(std::move(d));
        }
    }
    out = std::move(station);
    return true;
}

bool readWholeFile(const std::string& path, std::string& out, std::string& error) {
    const support::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return false;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    out = std::move(text);
    return true;
}

bool loadStationFile(const std::string& path, StationConfig& out, std::string& error) {
    std::string text;
    if (!readWholeFile(path, text, error)) {
        error = "cannot read: " + error;
        return false;
    }
    return parseStation(text, out, error);
}

} // namespace sim
