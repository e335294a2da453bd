// Paces a byte stream to a rate: after moving n bytes, the caller waits until
// the returned time. A wait that overslept is made good on the next bytes (up to
// kCredit), so scheduling delays do not lower the rate; longer idle time is not
// saved up, so a burst after a pause is still held to the rate.
#pragma once

#include <chrono>
#include <cstddef>

namespace sim {

class Pacer {
public:
    using Clock = std::chrono::steady_clock;

    explicit Pacer(double bytesPerSecond = 0) : m_rate(bytesPerSecond) {}
    bool active() const { return m_rate > 0; }

    Clock::time_point account(std::size_t bytes) {
        const auto now = Clock::now();
        if (!active())
            return now;
        if (m_next == Clock::time_point{})
            m_next = now; // the first bytes start the clock: no credit before them
        else if (m_next < now - kCredit)
            m_next = now - kCredit;
        m_next += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(bytes) / m_rate));
        return m_next;
    }

private:
    static constexpr std::chrono::milliseconds kCredit{20};

    double m_rate;
    Clock::time_point m_next{};
};

} // namespace sim
