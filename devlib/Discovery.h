// UDP side of the protocol: the scan and the per-device info query.
#pragma once

#include "devlib/TestDll.h"

#include <cstdint>

namespace testdll {

// Writes at most `capacity` ids, returns how many were written. The ids written are the
// ones the next info query asks about all at once.
std::int32_t scanNetwork(std::int32_t* ids, std::int32_t capacity);

// Fills `info` (zeroed first) from the device's answer; false on no answer or unknown id.
// Served from the last burst of queries while that is fresh (InfoCache).
bool queryInfo(std::int32_t id, RemoteInfo& info);

} // namespace testdll
