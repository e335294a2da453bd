#include "StateFile.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

using nlohmann::json;

bool parseId(const std::string& text, std::int32_t& out) {
    if (text.empty() || text.size() > 11)
        return false;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size())
        return false;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    if (text[0] == '-')
        value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        return false;
    out = static_cast<std::int32_t>(value);
    return true;
}

bool versionPart(const json& v, std::int32_t& out) {
    if (!v.is_number_integer())
        return false;
    const auto i = v.get<std::int64_t>();
    if (i < 0 || i > std::numeric_limits<std::int32_t>::max())
        return false;
    out = static_cast<std::int32_t>(i);
    return true;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool StateFile::load(DeviceTable& table, std::string& error) const {
    std::string text;
    if (!readWholeFile(m_path, text, error)) {
        struct stat st {};
        if (::lstat(m_path.c_str(), &st) != 0 && errno == ENOENT)
            return true;
        error = "cannot read: " + error;
        return false;
    }
    const json root = json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        error = "not a valid state file (malformed JSON)";
        return false;
    }
    if (!root.is_object() || root.size() != 1 || !root.contains("versions") ||
        !root["versions"].is_object()) {
        error = "not a valid state file (expected {\"versions\": {...}})";
        return false;
    }
    const json& versions = root["versions"];
    for (auto it = versions.begin(); it != versions.end(); ++it) {
        std::int32_t id = 0;
        Version v;
        const json& value = *it;
        if (!parseId(it.key(), id) || !value.is_array() || value.size() != 2 ||
            !versionPart(value[0], v.major) || !versionPart(value[1], v.minor)) {
            error = "not a valid state file (bad entry \"" + it.key() + "\")";
            return false;
        }
        if (table.find(id) != nullptr)
            table.setVersion(id, v);
    }
    return true;
}

bool StateFile::commit(DeviceTable& table, std::int32_t id, Version v, std::string& error) {
    std::lock_guard lock(m_mutex);
    table.setVersion(id, v);
    return save(table, error);
}

bool StateFile::save(const DeviceTable& table, std::string& error) {
    json versions = json::object();
    for (const auto& [id, v] : table.versions())
        versions[std::to_string(id)] = json::array({v.major, v.minor});
    const std::string text = json{{"versions", versions}}.dump(2) + "\n";

    const std::string temp = m_path + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = temp + ": " + std::strerror(errno);
        return false;
    }
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!written || ::rename(temp.c_str(), m_path.c_str()) != 0) {
        error = m_path + ": " + std::strerror(written ? errno : savedErrno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace sim
