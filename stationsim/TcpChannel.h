// An upload session's TCP connection. Every wait also watches the station's
// stop signal, so shutdown never waits on a client.
#pragma once

#include "stationsim/FrameChannel.h"
#include "stationsim/StopSignal.h"
#include "support/Fd.h"

namespace sim {

class TcpChannel : public FrameChannel {
public:
    TcpChannel(int fd, const StopSignal& stop); // takes ownership of fd
    TcpChannel(const TcpChannel&) = delete;
    TcpChannel& operator=(const TcpChannel&) = delete;

    Read next(wire::Frame& out, Clock::time_point deadline) override;
    bool send(const std::vector<std::uint8_t>& frame) override;
    bool pauseUntil(Clock::time_point until) override;
    std::optional<wire::Frame> holdUntilPeerLeaves() override;
    void reset() override;
    bool carriesManySessions() const override { return false; }

    // Sends FIN and waits briefly for the peer to close, so a final reply is not
    // destroyed by a reset when unread data is still queued.
    void closeGracefully();

private:
    enum class Wait { Ready, PeerGone, Timeout, Stopping };
    Wait wait(short events, Clock::time_point deadline);

    support::Fd m_fd;
    const StopSignal& m_stop;
    wire::FrameReader m_reader{wire::FrameReader::Mode::Stream}; // a bad frame ends the session
};

} // namespace sim
