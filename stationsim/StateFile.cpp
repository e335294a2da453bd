#include "stationsim/StateFile.h"

#include "support/AtomicFile.h"
#include "support/ParseInt.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace sim {

namespace {

using nlohmann::json;

bool parseId(const std::string& text, std::int32_t& out) {
    using Limits = std::numeric_limits<std::int32_t>;
    const auto id = support::parseInteger(text, Limits::min(), Limits::max());
    if (id)
        out = static_cast<std::int32_t>(*id);
    return id.has_value();
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

} // namespace

bool StateFile::load(DeviceTable& table, std::string& error) const {
    ::unlink(support::temporaryPathFor(m_path).c_str());
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
    const bool hasCounters = root.is_object() && root.contains("counters");
    if (!root.is_object() || root.size() != (hasCounters ? 2u : 1u) || !root.contains("versions") ||
        !root["versions"].is_object() || (hasCounters && !root["counters"].is_object())) {
        error = "not a valid state file (expected {\"versions\": {...}, \"counters\": {...}})";
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
    if (!hasCounters)
        return true;
    const json& counters = root["counters"];
    for (auto it = counters.begin(); it != counters.end(); ++it) {
        std::int32_t id = 0;
        if (!parseId(it.key(), id) || !it->is_number_unsigned() ||
            it->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
            error = "not a valid state file (bad counter \"" + it.key() + "\")";
            return false;
        }
        table.raiseCounter(id, it->get<std::uint32_t>());
    }
    return true;
}

bool StateFile::commit(DeviceTable& table, std::int32_t id, Version v, std::uint32_t counter,
                       std::string& error) {
    std::lock_guard lock(m_mutex);
    auto versions = table.versions();
    for (auto& [each, version] : versions)
        version = each == id ? v : version;
    auto counters = table.counters();
    for (auto& [each, value] : counters)
        value = each == id ? std::max(value, counter) : value;
    if (!save(versions, counters, error)) {
        // The step that failed may have come after the rename: put the old record back.
        std::string ignored;
        save(table.versions(), table.counters(), ignored);
        return false;
    }
    table.setVersion(id, v);
    table.raiseCounter(id, counter);
    return true;
}

bool StateFile::save(const std::vector<std::pair<std::int32_t, Version>>& list,
                     const std::vector<std::pair<std::int32_t, std::uint32_t>>& counters,
                     std::string& error) {
    json versions = json::object();
    for (const auto& [id, v] : list)
        versions[std::to_string(id)] = json::array({v.major, v.minor});
    json root{{"versions", versions}};
    // Only a station with signature-checking devices has counters to keep.
    for (const auto& [id, value] : counters)
        root["counters"][std::to_string(id)] = value;
    const std::string text = root.dump(2) + "\n";
    const int failed = support::replaceFile(m_path, text.data(), text.size(), 0644);
    if (failed != 0)
        error = m_path + ": " + std::strerror(failed);
    return failed == 0;
}

} // namespace sim
