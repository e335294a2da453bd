// Library benchmark against stationsim on loopback. Each figure runs in its own
// child process, because the library reads its environment once per process.
//
//   bench_library              all figures
//   bench_library FIGURE...    scan | silent15 | silent30 | one | many | signedmany | pacer | flash
//                              | rss | simrss | resync
//
// Output, one line per figure: figure | median | target | peer | ratio
#include "devlib/TestDll.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/StationProcess.h"
#include "wire/Frame.h"
#include "wire/ImageSigning.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
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

// The spread of a sample set, for the table's peer column.
std::string spread(const std::vector<double>& v, int decimals = 2) {
    return "min " + fmt(*std::min_element(v.begin(), v.end()), decimals) + " / max " +
           fmt(*std::max_element(v.begin(), v.end()), decimals);
}

// Starts a station and points this process's library at it (before any library call).
bool useStation(const StationProcess& station, const char* timeoutMs = "2000") {
    if (!station.running()) {
        std::fprintf(stderr, "bench: %s\n", station.error().c_str());
        return false;
    }
    ::setenv("TESTDLL_NETWORK", station.endpoint().c_str(), 1);
    ::setenv("TESTDLL_TIMEOUT_MS", timeoutMs, 1);
    return true;
}

std::vector<std::int32_t> ids(const StationLayout& s) {
    std::vector<std::int32_t> v;
    for (const auto& d : s.devices)
        v.push_back(d.id);
    return v;
}

// Devices that check signatures: `count` of them from `firstId`, trusting one new key, added to
// `layout`; `unsigned` is signed with that key into the returned path.
std::string addSigningDevices(StationLayout& layout, int count, std::int32_t firstId,
                              const std::string& unsignedPath, const std::string& signedPath) {
    const fwsign::KeyPair key = fwsign::generateKeyPair();
    for (auto d : makeStation(count, firstId).devices) {
        d.trustedKeys = {fwsign::publicKeyText(key.publicKey)};
        layout.devices.push_back(d);
    }
    std::vector<std::uint8_t> image;
    fwimage::ImageInfo info;
    if (fwimage::loadImageFile(unsignedPath.c_str(), image, info) != fwimage::ImageError::None)
        return {};
    const auto section =
        fwimage::encodeSignatureSection(fwsign::signImage(image.data(), image.size(), key.secretKey, 1));
    image.insert(image.end(), section.begin(), section.end());
    std::ofstream(signedPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return signedPath;
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

// What a Refresh costs with devices switched off: listed by the station, silent to info
// queries, at the updater's default timeout.
int figureSilent(int silent) {
    StationLayout layout = makeStation(30);
    for (int i = 0; i < silent; ++i)
        layout.devices[static_cast<std::size_t>(silent == 30 ? i : 2 * i + 1)].faults.silent = true;
    StationProcess station(layout);
    if (!useStation(station, "500"))
        return 1;
    std::vector<double> s;
    for (int run = 0; run < 11; ++run) {
        int found = 0, answered = 0;
        s.push_back(seconds([&] {
            std::int32_t ids[30] = {};
            found = DllScanNetwork(ids, 30);
            for (const std::int32_t id : ids) {
                RemoteInfo info{};
                answered += DllGetRemoteInfo(id, &info) != 0 ? 1 : 0;
            }
        }));
        if (found != 30 || answered != 30 - silent) {
            std::fprintf(stderr, "bench: %d found, %d answered\n", found, answered);
            return 1;
        }
    }
    const std::string figure =
        "scan + 30 info, " + std::to_string(silent) + " of 30 devices silent, T=500 ms (s)";
    line(figure.c_str(), fmt(median(s), 3), "<= 0.6", spread(s, 3), "-");
    return 0;
}

// The raw peer: the same file streamed through a 256 KiB buffer (as cat or socat would), or
// read whole first into memory allocated as the library allocates it (the shape of an upload,
// which holds and checks the image before it contacts a device), sent over one loopback TCP
// connection to a thread that reads and drops it. Timed like an upload: from before the file
// is opened until the receiver has every byte and closed. Both ends are up before the clock
// starts; neither side checks anything.
double rawCopySeconds(const std::string& path, bool wholeFirst) {
    const support::Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof at;
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener.get(), 1) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&at), &len) != 0)
        return -1;
    std::thread receiver([&] {
        const support::Fd peer(::accept(listener.get(), nullptr, nullptr));
        std::vector<char> buf(256 * 1024);
        while (::read(peer.get(), buf.data(), buf.size()) > 0) {
        }
    });
    const support::Fd out(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    bool ok = false;
    std::vector<char> buf(256 * 1024);
    const double s = seconds([&] {
        const support::Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (::connect(out.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
            return;
        if (wholeFirst) {
            fwimage::ImageBytes whole(64 * kMiB);
            if (::read(file.get(), whole.data(), whole.size()) != static_cast<ssize_t>(whole.size()))
                return;
            for (std::size_t done = 0; done < whole.size();) {
                const ssize_t n = ::write(out.get(), whole.data() + done, whole.size() - done);
                if (n <= 0)
                    return;
                done += static_cast<std::size_t>(n);
            }
        }
        ssize_t got = 0;
        while ((got = ::read(file.get(), buf.data(), buf.size())) > 0) {
            for (ssize_t done = 0; done < got;) {
                const ssize_t n = ::write(out.get(), buf.data() + done, static_cast<std::size_t>(got - done));
                if (n <= 0)
                    return;
                done += n;
            }
        }
        ::shutdown(out.get(), SHUT_WR);
        char c = 0;
        ok = got == 0 && ::read(out.get(), &c, 1) == 0; // the receiver read everything and closed
    });
    if (!ok)
        ::shutdown(out.get(), SHUT_RDWR);
    receiver.join();
    return ok ? s : -1;
}

// (b) raw transfer speed: 64 MiB to one unthrottled device, against the raw TCP copy of the
// same file timed the same way, and the same image signed to a device that checks it (hashing
// every byte as it arrives), alternating run by run.
int figureOne() {
    constexpr double kBytes = 64.0 * kMiB;
    TempDir dir;
    StationLayout layout = makeStation(1);
    const std::string path = makeImageFile(dir.file("img.bin"), 64 * kMiB - fwimage::kHeaderSize, 2, 0);
    const std::string signedPath = addSigningDevices(layout, 1, 201, path, dir.file("signed.bin"));
    StationProcess station(layout);
    if (signedPath.empty() || !useStation(station))
        return 1;
    const std::vector<std::int32_t> plainDevice = {101}, checkingDevice = {201};
    upload(plainDevice, path); // warm-up: page cache, first connection
    upload(checkingDevice, signedPath);
    rawCopySeconds(path, false);
    std::vector<double> ours, streamed, whole, signedRuns;
    for (int run = 0; run < 9; ++run) {
        int r = 0, rs = 0;
        const double s = seconds([&] { r = upload(plainDevice, path); });
        const double t = rawCopySeconds(path, false);
        const double w = rawCopySeconds(path, true);
        const double g = seconds([&] { rs = upload(checkingDevice, signedPath); });
        if (r != 1 || rs != 1 || t <= 0 || w <= 0) {
            std::fprintf(stderr, "bench: upload or raw copy failed\n");
            return 1;
        }
        ours.push_back(kBytes / 1e6 / s);
        streamed.push_back(kBytes / 1e6 / t);
        whole.push_back(kBytes / 1e6 / w);
        signedRuns.push_back(kBytes / 1e6 / g);
    }
    line("64 MiB to 1 unthrottled device (MB/s)", fmt(median(ours), 1), "-", spread(ours, 1), "-");
    line("64 MiB signed, to 1 unthrottled device that checks it (MB/s)", fmt(median(signedRuns), 1), "-",
         spread(signedRuns, 1), "-");
    line("signed / unsigned, 64 MiB to 1 unthrottled device", fmt(median(signedRuns), 1) + " MB/s", ">= 0.8",
         fmt(median(ours), 1) + " MB/s", fmt(median(signedRuns) / median(ours)));
    line("64 MiB raw TCP copy, streamed from the file (MB/s)", fmt(median(streamed), 1), "-",
         spread(streamed, 1), "-");
    line("64 MiB raw TCP copy, file read whole first (MB/s)", fmt(median(whole), 1), "-", spread(whole, 1),
         "-");
    line("ours / raw TCP copy, streamed", fmt(median(ours), 1) + " MB/s", ">= 0.7",
         fmt(median(streamed), 1) + " MB/s", fmt(median(ours) / median(streamed)));
    line("ours / raw TCP copy, read whole first", fmt(median(ours), 1) + " MB/s", ">= 0.7",
         fmt(median(whole), 1) + " MB/s", fmt(median(ours) / median(whole)));
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

// (c') the throttled 30-device job (16 MiB, 100 Mbit/s links, 4 MB/s flash) signed to 30
// devices that check it, against the same job unsigned to 30 that do not, on one station,
// alternating.
int figureSignedMany() {
    TempDir dir;
    StationLayout layout = makeStation(30);
    layout.linkKbps = 100000;
    layout.flashKbps = 4000;
    const std::string path = makeImageFile(dir.file("img.bin"), 16 * kMiB - fwimage::kHeaderSize, 2, 0);
    const std::string signedPath = addSigningDevices(layout, 30, 201, path, dir.file("signed.bin"));
    StationProcess station(layout);
    if (signedPath.empty() || !useStation(station))
        return 1;
    const auto all = ids(layout);
    const std::vector<std::int32_t> plain(all.begin(), all.begin() + 30),
        checking(all.begin() + 30, all.end());
    std::vector<double> unsignedJob, signedJob;
    for (int run = 0; run < 3; ++run) {
        int ru = 0, rs = 0;
        unsignedJob.push_back(seconds([&] { ru = upload(plain, path); }));
        signedJob.push_back(seconds([&] { rs = upload(checking, signedPath); }));
        if (ru != 1 || rs != 1) {
            std::fprintf(stderr, "bench: throttled upload failed\n");
            return 1;
        }
    }
    const double tu = median(unsignedJob), ts = median(signedJob);
    line("signed / unsigned, 16 MiB to 30 devices, 100 Mbit/s link, 4 MB/s flash (ratio)", fmt(ts / tu, 3),
         "<= 1.02", "unsigned " + fmt(tu) + " s", "signed " + fmt(ts) + " s");
    return 0;
}

// The simulator's link pacer: what one throttled session delivers against its configured
// 100 Mbit/s (flash unthrottled, so the transfer is the whole call).
int figurePacer() {
    TempDir dir;
    StationLayout layout = makeStation(1);
    layout.linkKbps = 100000;
    StationProcess station(layout);
    if (!useStation(station))
        return 1;
    const std::string path = makeImageFile(dir.file("img.bin"), 16 * kMiB - fwimage::kHeaderSize, 2, 0);
    std::vector<double> percent;
    for (int run = 0; run < 5; ++run) {
        int r = 0;
        const double s = seconds([&] { r = upload(ids(layout), path); });
        if (r != 1) {
            std::fprintf(stderr, "bench: throttled upload failed\n");
            return 1;
        }
        percent.push_back(100.0 * (16.0 * kMiB / s) / (100000 * 125.0));
    }
    line("stationsim link pacer: delivered / configured rate, 16 MiB at 100 Mbit/s (%)",
         fmt(median(percent), 1), ">= 97", spread(percent, 1), "-");
    return 0;
}

std::atomic<long long> g_warnedNs{0};
Clock::time_point g_start;
std::int32_t onProgress(std::int32_t value) {
    long long none = 0;
    if (value > 95)
        g_warnedNs.compare_exchange_strong(
            none, std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - g_start).count());
    return 1;
}

// The flash warning: how soon the first value above 95 comes when one of 30 targets stalls
// at half the image. A single target's time to that value is the earliest any target can
// start to program, so the difference bounds the lag behind the first target's flash.
int figureFlash() {
    TempDir dir;
    StationLayout layout = makeStation(30);
    layout.linkKbps = 100000;
    layout.flashKbps = 4000;
    layout.devices[14].faults.stallAfter = 8 * kMiB;
    StationProcess station(layout);
    if (!useStation(station))
        return 1;
    const std::string path = makeImageFile(dir.file("img.bin"), 16 * kMiB - fwimage::kHeaderSize, 2, 0);
    const auto all = ids(layout);
    auto warnedAfter = [&](const std::vector<std::int32_t>& targets) {
        g_warnedNs = 0;
        g_start = Clock::now();
        DllUploadFileToDevices(static_cast<std::int32_t>(targets.size()), targets.data(), path.c_str(),
                               onProgress);
        return static_cast<double>(g_warnedNs.load()) / 1e9;
    };
    std::vector<double> one, thirty, lag;
    for (int run = 0; run < 3; ++run) {
        one.push_back(warnedAfter({all.front()}));
        thirty.push_back(warnedAfter(all));
        if (one.back() <= 0 || thirty.back() <= 0) {
            std::fprintf(stderr, "bench: no value above 95\n");
            return 1;
        }
        lag.push_back(thirty.back() - one.back());
    }
    line("first progress above 95, 16 MiB to 30 devices, one stalls at half (s)", fmt(median(thirty)),
         "<= 2.5", spread(thirty), "-");
    line("  the same to 1 device: earliest possible flash start (s)", fmt(median(one)), "-", spread(one),
         "-");
    line("  lag behind the earliest flash start (s)", fmt(median(lag)), "<= 0.3", spread(lag), "-");
    return 0;
}

// The simulator keeps no image: 30 uploads of 256 MiB at once, its peak resident memory.
int figureSimRss() {
    TempDir dir;
    const std::string path = dir.file("img.bin");
    support::runProgram({binDir() + "/mkfwimage", "--type", "2", "--name", "Test image", "--version", "2.0",
                         "--date", "24/5/17", "--size", std::to_string(256 * kMiB - fwimage::kHeaderSize),
                         "-o", path},
                        {}, nullptr, std::chrono::seconds(120));
    const StationLayout layout = makeStation(30);
    StationProcess station(layout);
    if (!useStation(station))
        return 1;
    const int r = upload(ids(layout), path);
    station.stop();
    if (r != 1) {
        std::fprintf(stderr, "bench: 30 x 256 MiB upload failed\n");
        return 1;
    }
    line("peak RSS of stationsim, 256 MiB to 30 devices at once (MB)",
         fmt(static_cast<double>(station.peakRssKb()) / 1024, 1), "< 100", "-", "-");
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
    if (name == "silent15")
        return figureSilent(15);
    if (name == "silent30")
        return figureSilent(30);
    if (name == "one")
        return figureOne();
    if (name == "pacer")
        return figurePacer();
    if (name == "flash")
        return figureFlash();
    if (name == "simrss")
        return figureSimRss();
    if (name == "many")
        return figureMany();
    if (name == "signedmany")
        return figureSignedMany();
    if (name == "rss")
        return figureRss();
    if (name == "resync")
        return figureResync();
    std::fprintf(stderr,
                 "bench: unknown figure '%s' (scan, silent15, silent30, one, many, signedmany, pacer, "
                 "flash, rss, simrss, resync)\n",
                 name.c_str());
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
        figures = {"scan",  "silent15", "silent30", "one",    "many",  "signedmany",
                   "pacer", "flash",    "rss",      "simrss", "resync"};

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
