#include "devlib/UploadRunner.h"

#include "devlib/DeviceProgress.h"

#include <poll.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace testdll {

namespace {

constexpr std::chrono::milliseconds kRepeatAfter{250};

// The combined value, on the callback's 0..100 scale, from the targets still in the race
// (a failed target drops out):
//   1..95   no target has reached its flash yet: the slowest target's transfer;
//   96..99  at least one target is programming its flash or has committed, others still
//           run: the slowest target, but never below 96, so the flash warning (above 95)
//           shows the moment the first device starts to program, however far behind a
//           stalled partner is; capped at 99 while anything runs;
//   100     every target has finished.
// The caller reports only rises, and repeats the last value when nothing rose for a
// while, so the bar never moves back (a drop from 96 to a partner's 40 is simply not
// reported). -1: every target failed, nothing to report.
int overallProgress(const std::vector<std::unique_ptr<UploadSession>>& sessions) {
    int lowest = INT_MAX;
    bool running = false;
    bool flashing = false;
    for (const auto& s : sessions) {
        if (s->failed())
            continue;
        lowest = std::min(lowest, s->progress());
        running = running || s->active();
        flashing = flashing || s->phase() == UploadSession::Phase::Flashing || s->committed();
    }
    if (lowest == INT_MAX)
        return -1;
    if (!running)
        return 100;
    return flashing ? std::clamp(lowest, 96, 99) : std::min(lowest, 95);
}

} // namespace

std::int32_t runUploads(std::vector<std::unique_ptr<UploadSession>>& sessions, ProgressCallback callback) {
    int reported = 0;
    bool cancelled = false; // the callback answered 0
    auto lastCall = Clock::now();
    auto call = [&](int value) {
        lastCall = Clock::now();
        if (callback != nullptr && callback(value) == 0)
            cancelled = true;
    };
    auto report = [&] {
        const int p = overallProgress(sessions);
        if (p > reported)
            call(reported = p);
    };

    // The observer of this call, taken once: see DeviceObserver.
    const DeviceObserver observer = currentDeviceObserver();
    for (auto& s : sessions) {
        s->setProgressListener(report);
        s->setDeviceObserver(observer);
    }

    std::vector<pollfd> fds;
    std::vector<UploadSession*> owners;
    for (;;) {
        if (cancelled) // here, not inside the callback: no session is in the middle of a step
            cancelUnflashed(sessions);
        fds.clear();
        owners.clear();
        auto earliest = Clock::time_point::max();
        for (auto& s : sessions) {
            if (!s->active())
                continue;
            fds.push_back({s->fd(), s->pollEvents(), 0});
            owners.push_back(s.get());
            earliest = std::min(earliest, s->deadline());
        }
        if (owners.empty())
            break;
        const auto now = Clock::now();
        const auto wait =
            earliest <= now ? 0 : std::chrono::ceil<std::chrono::milliseconds>(earliest - now).count();
        const int ready =
            ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(wait, kRepeatAfter.count())));
        if (ready > 0) {
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents != 0)
                    owners[i]->onEvents(fds[i].revents);
            }
        }
        const auto after = Clock::now();
        for (auto* s : owners)
            s->checkDeadline(after);
        // While nothing rises (a stalled partner holds the value, a long flash) the caller is
        // still asked, with the value it has, so that it can cancel within a fraction of a second.
        if (reported > 0 && !cancelled && after - lastCall >= kRepeatAfter)
            call(reported);
    }

    report(); // the last commit may have brought no progress change of its own (flash at 100)
    for (auto& s : sessions) {
        s->setProgressListener({});
        s->setDeviceObserver({});
    }

    if (std::getenv("TESTDLL_TRACE") != nullptr) {
        for (const auto& s : sessions)
            if (s->failed())
                std::fprintf(stderr, "testdll: upload session failed: %s\n", s->failure());
    }
    const bool all =
        std::all_of(sessions.begin(), sessions.end(), [](const auto& s) { return s->committed(); });
    return all ? 1 : 0;
}

} // namespace testdll
