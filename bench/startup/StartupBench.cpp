// Start-up benchmark against a 30-device stationsim on loopback.
//   in-process: a fresh process (this binary, --child) that does what the
//     program does up to the dialog's first paint (application, start-up,
//     dialog, show with its scan, one painted frame), timed from the moment
//     the parent spawned it, so loading Qt and the libraries counts too;
//   real executable, offscreen: zentavo-update through a UDP relay, timed to
//     its last info answer (the scan is done and the dialog shows next), then
//     ended with SIGTERM; its peak resident memory comes from wait4;
//   real executable under Xvfb (when Xvfb and xdotool exist): timed until its
//     window is visible, ended with Escape; peak resident memory from wait4.
// Each figure is the median of --runs runs (default 11) after one warm-up.
#include "bench/startup/UdpRelay.h"
#include "bench/startup/VirtualDisplay.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/StationProcess.h"

#include "app/UpdaterApp.h"
#include "ui/UpdateDialog.h"

#include <QApplication>
#include <QListWidget>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int kDevices = 30;
constexpr double kStartTargetMs = 300;
constexpr double kRssTargetMb = 80;
constexpr char kTitle[] = "Zentavo software update";

// CLOCK_MONOTONIC is one clock for every process, so a child's reading and its
// parent's can be subtracted.
long long nowNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

long long field(const std::string& text, const std::string& name) {
    const auto at = text.find(name + "=");
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size() + 1);
}

// Marks the first paint of the watched widget.
class PaintWatch : public QObject {
public:
    bool painted = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted = true;
        return QObject::eventFilter(watched, event);
    }
};

int runChild() {
    const long long mainNs = nowNs();
    UpdaterApp::preparePlatform();
    int argc = 1;
    char name[] = "zentavo-update";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    UpdaterApp app;
    app.startUp();
    const std::unique_ptr<UpdateDialog> dialog = app.createMainDialog();
    PaintWatch watch;
    dialog->installEventFilter(&watch);
    dialog->show();
    const long long until = nowNs() + 10'000'000'000LL;
    while (!watch.painted && nowNs() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const long long shownNs = nowNs();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("main_ns=%lld shown_ns=%lld painted=%d rows=%d maxrss_kb=%ld\n", mainNs, shownNs,
                watch.painted ? 1 : 0, dialog->deviceList()->count(), usage.ru_maxrss);
    return watch.painted ? 0 : 1;
}

struct Samples {
    std::vector<double> startMs;
    std::vector<double> rssMb;
    std::vector<double> extraMs; // in-process: spawn to main()
};

void printRow(const std::string& figure, const std::vector<double>& v, const char* unit, double target) {
    if (v.empty()) {
        std::printf("%s | n/a | <= %.0f %s\n", figure.c_str(), target, unit);
        return;
    }
    std::printf("%s | %.1f %s | <= %.0f %s\n", figure.c_str(), median(v), unit, target, unit);
}

void printRange(const char* what, const std::vector<double>& v) {
    if (v.empty())
        return;
    std::printf("# %s: n=%zu min %.1f max %.1f\n", what, v.size(), *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()));
}

class Bench {
public:
    Bench(int runs, const zutest::StationProcess& station) : m_runs(runs), m_station(station) {
        m_configHome = m_dir.path() + "/config";
        ::mkdir(m_configHome.c_str(), 0700);
    }

    support::EnvChanges environment(const std::string& network, const std::string& platform) const {
        return {{"QT_QPA_PLATFORM", platform},
                {"TESTDLL_NETWORK", network},
                {"TESTDLL_TIMEOUT_MS", "500"},
                {"XDG_CONFIG_HOME", m_configHome}};
    }

    // `station` defaults to the bench's; `rows` is how many devices answer there.
    Samples inProcess(const zutest::StationProcess* station = nullptr, int rows = kDevices) {
        if (station == nullptr)
            station = &m_station;
        Samples s;
        const std::string self = "/proc/self/exe";
        char exe[4096] = {};
        const ssize_t n = ::readlink(self.c_str(), exe, sizeof exe - 1);
        if (n <= 0)
            return s;
        const std::string out = m_dir.file("child.txt");
        for (int run = 0; run <= m_runs; ++run) {
            const long long spawnNs = nowNs();
            support::ChildProcess child({exe, "--child"}, environment(station->endpoint(), "offscreen"), out);
            if (!child.wait(30s) || !child.exitedWith(0)) {
                std::fprintf(stderr, "bench: in-process run failed: %s\n", readFile(out).c_str());
                continue;
            }
            const std::string text = readFile(out);
            if (field(text, "rows") != rows) {
                std::fprintf(stderr, "bench: in-process run listed %lld rows\n", field(text, "rows"));
                continue;
            }
            if (run == 0)
                continue; // warm-up: file caches
            s.startMs.push_back(static_cast<double>(field(text, "shown_ns") - spawnNs) / 1e6);
            s.extraMs.push_back(static_cast<double>(field(text, "main_ns") - spawnNs) / 1e6);
            s.rssMb.push_back(static_cast<double>(field(text, "maxrss_kb")) / 1024.0);
        }
        return s;
    }

    Samples offscreen() {
        Samples s;
        for (int run = 0; run <= m_runs; ++run) {
            zutest::UdpRelay relay(m_station.port());
            const long long spawnNs = nowNs();
            support::ChildProcess updater(
                {program()}, environment("127.0.0.1:" + std::to_string(relay.port()), "offscreen"));
            const long long until = spawnNs + 30'000'000'000LL;
            while (relay.answeredIds().size() < static_cast<std::size_t>(kDevices) && nowNs() < until &&
                   updater.running())
                relay.pump(1ms);
            const long long scannedNs = nowNs();
            // Let it show and paint before ending it, so the peak includes that.
            const long long settle = nowNs() + 500'000'000LL;
            while (nowNs() < settle)
                relay.pump(5ms);
            updater.signal(SIGTERM);
            updater.wait(10s);
            if (relay.answeredIds().size() != static_cast<std::size_t>(kDevices)) {
                std::fprintf(stderr, "bench: offscreen run saw %zu answers\n", relay.answeredIds().size());
                continue;
            }
            if (run == 0)
                continue;
            s.startMs.push_back(static_cast<double>(scannedNs - spawnNs) / 1e6);
            s.rssMb.push_back(static_cast<double>(updater.usage().ru_maxrss) / 1024.0);
        }
        return s;
    }

    Samples onDisplay() {
        Samples s;
        support::VirtualDisplay display;
        if (!display.running()) {
            std::fprintf(stderr, "bench: %s\n", display.error().c_str());
            return s;
        }
        support::EnvChanges env = environment(m_station.endpoint(), "xcb");
        env.push_back({"DISPLAY", display.display()});
        for (int run = 0; run <= m_runs; ++run) {
            const long long spawnNs = nowNs();
            support::ChildProcess updater({program()}, env, m_dir.file("updater.txt"));
            std::vector<std::string> windows;
            const long long until = spawnNs + 30'000'000'000LL;
            while (windows.empty() && nowNs() < until && updater.running())
                windows = display.visibleWindows(kTitle);
            const long long shownNs = nowNs();
            if (windows.empty()) {
                std::fprintf(stderr, "bench: no window under Xvfb: %s\n",
                             readFile(m_dir.file("updater.txt")).c_str());
                continue;
            }
            display.xdotool({"windowfocus", "--sync", windows.front()});
            display.xdotool({"key", "Escape"});
            if (!updater.wait(10s) || !updater.exitedWith(0)) {
                std::fprintf(stderr, "bench: Escape did not end the program\n");
                continue;
            }
            if (run == 0)
                continue;
            s.startMs.push_back(static_cast<double>(shownNs - spawnNs) / 1e6);
            s.rssMb.push_back(static_cast<double>(updater.usage().ru_maxrss) / 1024.0);
        }
        return s;
    }

private:
    static std::string program() { return zutest::binDir() + "/zentavo-update"; }

    int m_runs;
    const zutest::StationProcess& m_station;
    zutest::TempDir m_dir;
    std::string m_configHome;
};

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--child") == 0)
        return runChild();
    int runs = 11;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: bench_startup [--runs N]\n");
            return 2;
        }
    }
    zutest::StationProcess station(zutest::makeStation(kDevices));
    if (!station.running()) {
        std::fprintf(stderr, "bench: %s\n", station.error().c_str());
        return 1;
    }
    Bench bench(runs, station);
    const Samples inside = bench.inProcess();
    // Half the station switched off: listed by the scan, silent to info queries.
    zutest::StationLayout halfOff = zutest::makeStation(kDevices);
    for (std::size_t i = 1; i < halfOff.devices.size(); i += 2)
        halfOff.devices[i].faults.silent = true;
    zutest::StationProcess halfOffStation(halfOff);
    const Samples silent = bench.inProcess(&halfOffStation, kDevices / 2);
    const Samples outside = bench.offscreen();
    std::string missing;
    const bool display = support::VirtualDisplay::available(&missing);
    const Samples shown = display ? bench.onDisplay() : Samples{};

    std::printf("figure | median | target\n");
    printRow("start-up to dialog painted, 30-device scan (in-process, offscreen)", inside.startMs, "ms",
             kStartTargetMs);
    if (silent.startMs.empty())
        std::printf("start-up to dialog painted, 15 of 30 devices silent, T=500 ms | n/a | <= 800 ms\n");
    else
        std::printf("start-up to dialog painted, 15 of 30 devices silent, T=500 ms | %.1f ms | <= 800 ms | "
                    "min %.1f / max %.1f\n",
                    median(silent.startMs), *std::min_element(silent.startMs.begin(), silent.startMs.end()),
                    *std::max_element(silent.startMs.begin(), silent.startMs.end()));
    printRow("start-up to last info answer (zentavo-update, offscreen)", outside.startMs, "ms",
             kStartTargetMs);
    printRow("start-up to window visible (zentavo-update, Xvfb)", shown.startMs, "ms", kStartTargetMs);
    printRow("peak resident memory (zentavo-update, offscreen)", outside.rssMb, "MB", kRssTargetMb);
    printRow("peak resident memory (zentavo-update, Xvfb)", shown.rssMb, "MB", kRssTargetMb);
    printRow("peak resident memory (in-process, at first paint)", inside.rssMb, "MB", kRssTargetMb);
    printRange("in-process start-up ms", inside.startMs);
    printRange("in-process spawn to main() ms", inside.extraMs);
    printRange("offscreen start-up ms", outside.startMs);
    printRange("Xvfb start-up ms", shown.startMs);
    printRange("offscreen peak MB", outside.rssMb);
    printRange("Xvfb peak MB", shown.rssMb);
    if (!display)
        std::printf("# Xvfb figures skipped: %s not installed\n", missing.c_str());
    return 0;
}
