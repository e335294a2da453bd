// Library benchmark against stationsim on loopback. Each figure runs in its own
// child process, because the library reads its environment once per process.
//
//   bench_library              all figures
//   bench_library FIGURE...    scan | one | many | rss | resync
//
// Output, one line per figure: figure | median | target | peer | ratio
#include "devlib/TestDll.h"
#include "support/ChildProcess.h"
#include "tests/support/StationProcess.h"
#include "wire/Frame.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

using namespace zutest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kImagePayload = 4 * kMiB - fwimage::kHeaderSize; // a 4 MiB file

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double seconds(const std::function<void()>& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void line(const char* figure, const std::string& median, const char* target, const std::string& peer,
          const std::string& ratio) {
    std::printf("%s | %s | %s | %s | %s\n", figure, median.c_str(), target, peer.c_str(), ratio.c_str());
    std::fflush(stdout);
}

std::string fmt(double v, int decimals = 2) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// Starts a station and points this process's library at it (before any library call).
bool useStation(const StationProcess& station) {
    if (!station.running()) {
        std::fprintf(stderr, "bench: %s\n", station.error().c_str());
        return false;
    }
    ::setenv("TESTDLL_NETWORK", station.endpoint().c_str(), 1);
    ::setenv("TESTDLL_TIMEOUT_MS", "2000", 1);
    return true;
}

std::vector<std::int32_t> ids(const StationLayout& s) {
    std::vector<std::int32_t> v;
    for (const auto& d : s.devices)
        v.push_back(d.id);
    return v;
}

int upload(const std::vector<std::int32_t>& targets, const std::string& path) {
    return DllUploadFileToDevices(static_cast<std::int32_t>(targets.size()), targets.data(), path.c_str(),
                                  nullptr);
}

// (a) what the updater does on every refresh: one scan, one info query per slot.
int figureScan() {
    const StationLayout layout = makeStation(30);
    StationProcess station(layout);
    if (!useStation(station))
        return 1;
    std::vector<double> ms;
    for (int run = 0; run < 21; ++run) {
        bool ok = true;
        ms.push_back(1000 * seconds([&] {
                         std::int32_t found[30] = {};
                         ok = DllScanNetwork(found, 30) == 30;
                         for (const std::int32_t id : found) {
                             RemoteInfo info{};
                             ok = ok && DllGetRemoteInfo(id, &info) != 0;
                         }
                     }));
        if (!ok) {
            std::fprintf(stderr, "bench: scan/info incomplete\n");
            return 1;
        }
    }
    line("scan + 30 info, 30-device station (ms)", fmt(median(ms)), "<= 50", "-", "-");
    return 0;
}

// (b) raw transfer speed: 4 MiB to one unthrottled device.
int figureOne() {
    TempDir dir;
    const StationLayout layout = makeStation(1);
    StationProcess station(layout);
    if (!useStation(station))
        return 1;
    const std::string path = makeImageFile(dir.file("img.bin"), kImagePayload, 2, 0);
    upload(ids(layout), path); // warm-up: page cache, first connection
    std::vector<double> mbps;
    for (int run = 0; run < 15; ++run) {
        int r = 0;
        const double s = seconds([&] { r = upload(ids(layout), path); });
        if (r != 1) {
            std::fprintf(stderr, "bench: upload failed\n");
            return 1;
        }
        mbps.push_back(4.0 * kMiB / 1e6 / s);
    }
    line("4 MiB to 1 unthrottled device (MB/s)", fmt(median(mbps), 1), "-", "-", "-");
    return 0;
}

// (c) concurrency: 30 throttled devices should take about as long as one.
int figureMany() {
    TempDir dir;
    StationLayout layout = makeStation(30);
    layout.linkKbps = 100000;
    layout.flashKbps = 4000;
    StationProcess station(layout);
    if (!useStation(station))
        return 1;
    const std::string path = makeImageFile(dir.file("img.bin"), kImagePayload, 2, 0);
    const auto all = ids(layout);
    const std::vector<std::int32_t> single = {all.front()};
    std::vector<double> one, thirty;
    for (int run = 0; run < 3; ++run) {
        int r1 = 0, r30 = 0;
        one.push_back(seconds([&] { r1 = upload(single, path); }));
        thirty.push_back(seconds([&] { r30 = upload(all, path); }));
        if (r1 != 1 || r30 != 1) {
            std::fprintf(stderr, "bench: throttled upload failed\n");
            return 1;
        }
    }
    const double t1 = median(one), t30 = median(thirty);
    line("4 MiB to 30 / to 1 device, 100 Mbit/s link, 4 MB/s flash (ratio)", fmt(t30 / t1), "<= 1.3",
         "1 device " + fmt(t1) + " s", "30 devices " + fmt(t30) + " s");
    return 0;
}

// Memory: the image is held once, however many targets.
int figureRss() {
    TempDir dir;
    const std::string path = dir.file("img.bin");
    // Written by mkfwimage, so building the image does not count in our peak.
    support::runProgram({binDir() + "/mkfwimage", "--type", "2", "--name", "Test image", "--version", "2.0",
                         "--date", "24/5/17", "--size", std::to_string(16 * kMiB - fwimage::kHeaderSize),
                         "-o", path},
                        {}, nullptr, std::chrono::seconds(60));
    const StationLayout layout = makeStation(30);
    StationProcess station(layout);
    if (!useStation(station))
        return 1;
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    if (upload(ids(layout), path) != 1) {
        std::fprintf(stderr, "bench: 16 MiB upload failed\n");
        return 1;
    }
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    line("peak RSS, 16 MiB to 30 devices (MB)", fmt(static_cast<double>(after.ru_maxrss) / 1024, 1), "< 80",
         "before upload " + fmt(static_cast<double>(before.ru_maxrss) / 1024, 1) + " MB", "-");
    return 0;
}

// The serial line's frame reader, fed 4 KiB at a time: 1 MiB of false frame headers (each
// claiming a 64 KiB body whose CRC fails) against 1 MiB of noise, in CPU time.
int figureResync() {
    const std::uint8_t fake[] = {0x7E, 0xA5, 0x11, 0x00, 0x40, 0x00, 0x01, 0x00};
    std::vector<std::uint8_t> headers, noise(kMiB);
    while (headers.size() < kMiB)
        headers.insert(headers.end(), std::begin(fake), std::end(fake));
    std::uint32_t x = 1;
    for (auto& b : noise)
        b = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    auto cpuMs = [](const std::vector<std::uint8_t>& bytes) {
        std::vector<double> ms;
        for (int run = 0; run < 11; ++run) {
            const std::clock_t start = std::clock();
            wire::FrameReader reader;
            for (std::size_t at = 0; at < bytes.size(); at += 4096) {
                reader.feed(bytes.data() + at, std::min<std::size_t>(4096, bytes.size() - at));
                while (reader.next()) {
                }
            }
            ms.push_back(1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
        }
        return median(ms);
    };
    const double h = cpuMs(headers), n = cpuMs(noise);
    line("1 MiB of false frame headers / of noise, serial frame reader (CPU ratio)", fmt(h / n), "<= 6",
         "noise " + fmt(n) + " ms", "headers " + fmt(h) + " ms");
    return 0;
}

int runFigure(const std::string& name) {
    if (name == "scan")
        return figureScan();
    if (name == "one")
        return figureOne();
    if (name == "many")
        return figureMany();
    if (name == "rss")
        return figureRss();
    if (name == "resync")
        return figureResync();
    std::fprintf(stderr, "bench: unknown figure '%s' (scan, one, many, rss, resync)\n", name.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const std::string self = zutest::selfPath();

    if (argc == 3 && std::strcmp(argv[1], "--child") == 0)
        return runFigure(argv[2]);

    std::vector<std::string> figures;
    for (int i = 1; i < argc; ++i)
        figures.emplace_back(argv[i]);
    if (figures.empty())
        figures = {"scan", "one", "many", "rss", "resync"};

    std::printf("figure | median | target | peer | ratio\n");
    std::fflush(stdout);
    int status = 0;
    for (const auto& f : figures) {
        support::ChildProcess child({self, "--child", f}, {}, support::kSharedOutput);
        if (!child.wait(std::chrono::hours(1)) || !child.exitedWith(0))
            status = 1;
    }
    return status;
}
