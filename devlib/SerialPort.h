// Serial ports 1 and 2: opened raw on request, kept open for the life of the process.
#pragma once

#include <cstdint>
#include <mutex>

namespace testdll {

// Opens (or finds already open) port 1 or 2; true on success. The port becomes
// the one single-target uploads use.
bool openSerialPort(std::int32_t port);

// The descriptor of the port opened last, or -1.
int currentSerialFd();

// Held by a serial upload for its whole run: the line carries one session at a time.
std::mutex& serialLineMutex();

} // namespace testdll
