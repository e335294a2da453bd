// The station's serial line: a pseudo-terminal whose slave is published under a
// symlink for the client to open. Serves the devices marked "serial", one upload
// at a time, with the same frames as TCP, paced at the configured baud rate.
#pragma once

#include "stationsim/FrameChannel.h"
#include "stationsim/Pacer.h"
#include "stationsim/StopSignal.h"
#include "stationsim/UploadSession.h"
#include "support/Fd.h"

#include <string>

namespace sim {

class SerialLine : public FrameChannel {
public:
    SerialLine(const StopSignal& stop, std::uint32_t baud);
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Creates the pseudo-terminal and the symlink at `link`. An existing symlink is
    // replaced; anything else at that path is refused.
    bool open(const std::string& link, std::string& error);
    // Removes the symlink if it still points at this line.
    void removeLink();
    const std::string& slaveName() const { return m_slaveName; }

    // Serves sessions until the station stops.
    void serve(const SessionContext& ctx);

    Read next(wire::Frame& out, Clock::time_point deadline) override;
    bool send(const std::vector<std::uint8_t>& frame) override;
    bool pauseUntil(Clock::time_point until) override;
    std::optional<wire::Frame> holdUntilPeerLeaves() override;
    void reset() override {}
    bool carriesManySessions() const override { return true; }

private:
    const StopSignal& m_stop;
    support::Fd m_master;
    support::Fd m_slave; // held open so the master never reports EIO between clients
    std::string m_slaveName;
    std::string m_link;
    wire::FrameReader m_reader;
    Pacer m_rx;
    Pacer m_tx;
    std::size_t m_rxGulp; // bytes read at once: about 50 ms of line time
};

} // namespace sim
