// UDP side of the protocol: the scan and the per-device info query.
#pragma once

#include "devlib/TestDll.h"

#include <cstdint>

namespace testdll {

// Writes at most `capacity` ids, returns how many were written.
std::int32_t scanNetwork(std::int32_t* ids, std::int32_t capacity);

// Fills `info` (zeroed first) from the device's answer; false on no answer or unknown id.
bool queryInfo(std::int32_t id, RemoteInfo& info);

} // namespace testdll
