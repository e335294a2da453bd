// The device side of one upload: Begin, chunks, End, flash, commit. Runs on
// the thread that owns the channel and blocks until the session is over.
#pragma once

#include "stationsim/DeviceTable.h"
#include "stationsim/FrameChannel.h"
#include "stationsim/StateFile.h"
#include "stationsim/StopSignal.h"

#include <optional>

namespace sim {

struct SessionContext {
    DeviceTable& table;
    StateFile* state = nullptr; // null: versions are kept in memory only
    bool serialLine = false;    // only devices marked serial answer on the line
    double linkBytesPerSecond = 0;
    double flashBytesPerSecond = 0;
};

// Devices drop a session that has been idle this long.
constexpr std::chrono::seconds kSessionIdleLimit{30};
// Images above this are refused at Begin (header plus the largest payload).
constexpr std::uint64_t kMaxImageSize = 64 + 256ull * 1024 * 1024;

// Runs the session that `begin` opens. On a line carrying many sessions, a Begin
// that arrives mid-session ends this one and is handed back to start the next.
std::optional<wire::Frame> runUpload(const SessionContext& ctx, FrameChannel& channel,
                                     const wire::Frame& begin);

} // namespace sim
