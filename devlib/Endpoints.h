// Which station endpoint listed which device id, so queries and uploads for that
// id go where it was found. Shared between threads.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace testdll {

void rememberEndpoint(std::int32_t id, const sockaddr_in& where);

// The endpoint that listed `id`, or the configured one for an id never seen.
sockaddr_in endpointFor(std::int32_t id);

} // namespace testdll
