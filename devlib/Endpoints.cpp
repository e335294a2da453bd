#include "devlib/Endpoints.h"

#include "devlib/LibConfig.h"

#include <mutex>
#include <unordered_map>

namespace testdll {

namespace {

std::mutex g_mutex;
std::unordered_map<std::int32_t, sockaddr_in>& table() {
    static std::unordered_map<std::int32_t, sockaddr_in> t;
    return t;
}

} // namespace

void rememberEndpoint(std::int32_t id, const sockaddr_in& where) {
    std::lock_guard lock(g_mutex);
    table()[id] = where;
}

sockaddr_in endpointFor(std::int32_t id) {
    {
        std::lock_guard lock(g_mutex);
        const auto it = table().find(id);
        if (it != table().end())
            return it->second;
    }
    return config().endpoint;
}

} // namespace testdll
