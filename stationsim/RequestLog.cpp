#include "stationsim/RequestLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace sim {

namespace {
std::atomic<bool> g_enabled{false};
std::mutex g_lineMutex; // lines from session threads must not interleave
} // namespace

void enableRequestLog() {
    g_enabled = true;
}

void logRequest(const char* format, ...) {
    if (!g_enabled)
        return;
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard lock(g_lineMutex);
    std::fprintf(stderr, "stationsim: %s\n", line);
    std::fflush(stderr);
}

} // namespace sim
