// One side of an upload link: a TCP connection or the serial line. The upload
// session speaks frames through it and never sees sockets or terminals.
#pragma once

#include "wire/Frame.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

class FrameChannel {
public:
    using Clock = std::chrono::steady_clock;
    enum class Read { Frame, Closed, Idle, Stopping };

    virtual ~FrameChannel() = default;

    // Waits for the next frame until `deadline`.
    virtual Read next(wire::Frame& out, Clock::time_point deadline) = 0;
    // False if the peer is gone or the station is stopping.
    virtual bool send(const std::vector<std::uint8_t>& frame) = 0;
    // Waits until `until` without reading; false if the peer left or the station is stopping.
    virtual bool pauseUntil(Clock::time_point until) = 0;
    // Stops reading and answering until the peer gives up (or the station stops).
    // A line that carries many sessions returns the Begin of the next one, if any.
    virtual std::optional<wire::Frame> holdUntilPeerLeaves() = 0;
    // Ends the session abruptly (a TCP reset); the serial line just forgets it.
    virtual void reset() = 0;
    // Serial lines carry several sessions; a Begin seen mid-session starts the next one.
    virtual bool carriesManySessions() const = 0;
};

} // namespace sim
