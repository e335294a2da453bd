// Optional log of what the station was asked and how it answered (--log), so a
// technician in training, or a test, can see what the updater did.
#pragma once

namespace sim {

void enableRequestLog();

// printf-style; one line on stderr, flushed, only when the log is enabled.
void logRequest(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace sim
