// Upload benchmark: the dialog with the real library against stationsim on
// loopback, driven the way the technician drives it ("Upd. All", "Update").
//
//   bench_upload             both figures' runs
//   bench_upload stall       the GUI's longest stall, 16 MiB to 30 devices, unthrottled
//   bench_upload ratio       "Upd. All" to 30 over one device, 100 Mbit/s link, 4 MB/s
//                            flash, and the peak resident memory of that process
//   bench_upload flash       `zentavo-flash update --all` to the same 30 devices over the
//                            dialog's "Upd. All", same station, runs alternating
//   bench_upload silent      the GUI's longest freeze on Refresh and on "Upd. All" with
//                            15 of 30 devices switched off, T=500 ms
//
// Each setup runs in its own child process (the library reads its environment
// once per process; ru_maxrss is per process). A 1 ms timer on the GUI thread
// records the longest gap between its ticks while the job runs.
// Output, one line per figure: figure | median | target. With ZU_BENCH_TRACE
// set, every gap above 8 ms is reported on stderr with the bar's position.
#include "tests/support/ChildProcess.h"
#include "tests/support/StationProcess.h"

#include "app/ShowMessage.h"
#include "app/UpdaterApp.h"
#include "ui/ResourceIds.h"
#include "ui/UpdateDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace zutest;

namespace {

constexpr std::size_t kImagePayload = 16 * 1024 * 1024 - fwimage::kHeaderSize; // a 16 MiB file
constexpr int kDevices = 30;
constexpr int kStallRuns = 5;
constexpr int kRatioRuns = 3;
constexpr int kFlashRuns = 5;

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string fmt(double v, int decimals = 1) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

void line(const std::string& figure, const std::string& value, const std::string& target) {
    std::printf("%s | %s | %s\n", figure.c_str(), value.c_str(), target.c_str());
    std::fflush(stdout);
}

double peakRssMb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024;
}

struct JobTiming {
    bool ok = false;
    double wallSeconds = 0;
    double handlerMs = 0;  // the command handler on the GUI thread (checks and queries)
    double stallMs = 0;    // longest gap between ticks once the handler returned
    double stallAllMs = 0; // the same, the handler included
};

// The texts of the boxes the application would have shown (Setup records them).
QStringList g_boxes;

// Presses `command` from inside the event loop and runs the loop until the
// job has ended, ticking every millisecond.
JobTiming runJob(UpdateDialog& dialog, int command) {
    JobTiming timing;
    QStringList& messages = g_boxes;
    messages.clear();

    QEventLoop loop;
    QElapsedTimer clock;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    qint64 lastTick = -1;
    bool handlerDone = false;
    const bool trace = std::getenv("ZU_BENCH_TRACE") != nullptr; // where the long gaps fall
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastTick >= 0) {
            const double gap = static_cast<double>(now - lastTick) / 1e6;
            timing.stallAllMs = std::max(timing.stallAllMs, gap);
            if (handlerDone)
                timing.stallMs = std::max(timing.stallMs, gap);
            if (trace && gap > 8)
                std::fprintf(stderr, "bench: %.1f ms gap at %.3f s, bar %d, %s\n", gap,
                             static_cast<double>(now) / 1e9, dialog.progressBar()->value(),
                             dialog.isUploading() ? "uploading" : "ended");
        }
        lastTick = now;
        if (handlerDone && !dialog.isUploading())
            loop.quit();
    });
    QTimer::singleShot(5, [&] {
        const qint64 start = clock.nsecsElapsed();
        qobject_cast<QPushButton*>(dialog.control(command))->click();
        const qint64 end = clock.nsecsElapsed();
        timing.handlerMs = static_cast<double>(end - start) / 1e6;
        // The gap that ends at the next tick starts here, not before the click.
        lastTick = end;
        handlerDone = true;
    });
    clock.start();
    ticker.start();
    loop.exec();
    timing.wallSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    timing.ok = messages == QStringList{QStringLiteral("Upload Successfull     ")};
    if (!timing.ok)
        std::fprintf(stderr, "bench: job ended with %s\n", qPrintable(messages.join(", ")));
    return timing;
}

// One process: a station, an image, the application and its dialog.
class Setup {
public:
    Setup(int argc, char** argv, const StationLayout& layout, const char* timeoutMs = "2000")
        : m_station(layout) {
        // Settings and the update history go to a folder of our own, never the user's.
        ::setenv("XDG_CONFIG_HOME", m_dir.path().c_str(), 1);
        ::setenv("XDG_STATE_HOME", m_dir.path().c_str(), 1);
        if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY"))
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (m_station.running()) {
            ::setenv("TESTDLL_NETWORK", m_station.endpoint().c_str(), 1);
            ::setenv("TESTDLL_TIMEOUT_MS", timeoutMs, 1);
        }
        // Written by mkfwimage, so building the image does not count in this process's peak.
        m_image = m_dir.file("cluster.bin");
        support::runProgram({binDir() + "/mkfwimage", "--type", "2", "--name", "Cluster app", "--version",
                             "3.7", "--date", "24/5/17", "--size", std::to_string(kImagePayload), "-o",
                             m_image},
                            {}, nullptr, std::chrono::seconds(60));
        m_application = new QApplication(argc, argv);
        m_app = new UpdaterApp(QString::fromStdString(m_dir.file("bench-upload")));
        m_app->messages().setPresenter([](const MessageRecord& record) { g_boxes.append(record.text); });
    }
    ~Setup() {
        m_dialog.reset();
        delete m_app;
        delete m_application;
    }

    bool ready() const { return m_station.running(); }
    const std::string& error() const { return m_station.error(); }

    UpdateDialog& dialog() {
        if (!m_dialog) {
            m_dialog = m_app->createMainDialog();
            m_app->setMainWindow(m_dialog.get());
            m_dialog->show(); // scans now
            m_dialog->fileBox()->setEditText(QString::fromStdString(m_image));
            QCoreApplication::processEvents();
        }
        return *m_dialog;
    }

private:
    TempDir m_dir;
    StationProcess m_station;

public:
    const std::string& image() const { return m_image; }

private:
    std::string m_image;
    QApplication* m_application = nullptr;
    UpdaterApp* m_app = nullptr;
    std::unique_ptr<UpdateDialog> m_dialog;
};

int figureStall(int argc, char** argv) {
    Setup setup(argc, argv, makeStation(kDevices));
    if (!setup.ready()) {
        std::fprintf(stderr, "bench: %s\n", setup.error().c_str());
        return 1;
    }
    UpdateDialog& dialog = setup.dialog();
    if (dialog.deviceList()->count() != kDevices) {
        std::fprintf(stderr, "bench: %d rows, not %d\n", dialog.deviceList()->count(), kDevices);
        return 1;
    }
    runJob(dialog, IDC_UPDATE_ALL); // warm-up: page cache, first connections
    std::vector<double> stall, stallAll, handler, wall;
    for (int run = 0; run < kStallRuns; ++run) {
        const JobTiming t = runJob(dialog, IDC_UPDATE_ALL);
        if (!t.ok)
            return 1;
        stall.push_back(t.stallMs);
        stallAll.push_back(t.stallAllMs);
        handler.push_back(t.handlerMs);
        wall.push_back(t.wallSeconds);
    }
    line("GUI longest stall while uploading 16 MiB to 30 devices (ms)", fmt(median(stall)), "<= 20");
    line("  the same with the Upd. All handler itself (ms)", fmt(median(stallAll)), "-");
    line("  Upd. All handler: file check and 30 info queries (ms)", fmt(median(handler)), "-");
    line("  16 MiB to 30 devices, unthrottled, wall time (s)", fmt(median(wall), 2), "-");
    return 0;
}

int figureRatio(int argc, char** argv) {
    StationLayout layout = makeStation(kDevices);
    layout.linkKbps = 100000;
    layout.flashKbps = 4000;
    Setup setup(argc, argv, layout);
    if (!setup.ready()) {
        std::fprintf(stderr, "bench: %s\n", setup.error().c_str());
        return 1;
    }
    UpdateDialog& dialog = setup.dialog();
    const double rssBefore = peakRssMb();
    std::vector<double> one, thirty, stall;
    for (int run = 0; run < kRatioRuns; ++run) {
        // One device: "Update" with the first row alone selected.
        dialog.deviceList()->clearSelection();
        dialog.deviceList()->item(0)->setSelected(true);
        const JobTiming single = runJob(dialog, IDC_UPDATE);
        const JobTiming all = runJob(dialog, IDC_UPDATE_ALL);
        if (!single.ok || !all.ok)
            return 1;
        one.push_back(single.wallSeconds);
        thirty.push_back(all.wallSeconds);
        stall.push_back(all.stallMs);
    }
    const double t1 = median(one), t30 = median(thirty);
    line("Upd. All 16 MiB to 30 / to 1 device, 100 Mbit/s link, 4 MB/s flash (ratio)", fmt(t30 / t1, 2),
         "<= 1.3");
    line("  1 device (s) / 30 devices (s)", fmt(t1, 2) + " / " + fmt(t30, 2), "-");
    line("  GUI longest stall during the throttled 30-device upload (ms)", fmt(median(stall)), "<= 20");
    line("peak RSS during the 30-device upload (MB)", fmt(peakRssMb()), "<= 80");
    line("  peak RSS with the dialog open, before any upload (MB)", fmt(rssBefore), "-");
    return 0;
}

std::string spread(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return fmt(v.front(), 2) + " / " + fmt(median(v), 2) + " / " + fmt(v.back(), 2);
}

// The command line's whole run (start, scan, job) against the dialog's job alone.
int figureFlash(int argc, char** argv) {
    StationLayout layout = makeStation(kDevices);
    layout.linkKbps = 100000;
    layout.flashKbps = 4000;
    Setup setup(argc, argv, layout);
    if (!setup.ready()) {
        std::fprintf(stderr, "bench: %s\n", setup.error().c_str());
        return 1;
    }
    UpdateDialog& dialog = setup.dialog();
    std::vector<double> viaDialog, viaFlash;
    for (int run = 0; run < kFlashRuns; ++run) {
        const JobTiming all = runJob(dialog, IDC_UPDATE_ALL);
        QElapsedTimer clock;
        clock.start();
        // The environment set up for the dialog (station, timeout, history folder) is inherited.
        // The dialog's job installed the image: the same job again, not "current".
        const int status = support::runProgram(
            {binDir() + "/zentavo-flash", "update", setup.image(), "--all", "--allow-reinstall"}, {}, nullptr,
            std::chrono::minutes(5));
        const double flashSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        if (!all.ok || status != 0) {
            std::fprintf(stderr, "bench: zentavo-flash ended with status %d\n", status);
            return 1;
        }
        viaDialog.push_back(all.wallSeconds);
        viaFlash.push_back(flashSeconds);
    }
    line("zentavo-flash update --all / dialog Upd. All, 16 MiB to 30 devices (ratio)",
         fmt(median(viaFlash) / median(viaDialog), 3), "<= 1.05");
    line("  zentavo-flash, whole run, min / median / max (s)", spread(viaFlash), "-");
    line("  dialog Upd. All job, min / median / max (s)", spread(viaDialog), "-");

    // Every device has the image's version now: a re-run asks them once and sends nothing, so it
    // takes what a scan with its info queries takes. Whole runs of each, alternating, with an
    // image of firmware size (1 MiB, the same version), so that what is timed is the devices'
    // part; reading a 16 MiB file once for its record adds its own time (the row below).
    const std::string oneMiB = setup.image() + ".1m";
    support::runProgram({binDir() + "/mkfwimage", "--type", "2", "--name", "Cluster app", "--version", "3.7",
                         "--date", "24/5/17", "--size", "1048576", "-o", oneMiB},
                        {}, nullptr, std::chrono::seconds(60));
    std::vector<double> rerun, scan, rerunLarge;
    for (int run = 0; run < 3 * 4 * kFlashRuns; ++run) {
        const int kind = run % 3; // 0: re-run, 1: scan, 2: re-run with the 16 MiB image
        const std::vector<std::string> args =
            kind != 1 ? std::vector<std::string>{binDir() + "/zentavo-flash", "update",
                                                 kind == 0 ? oneMiB : setup.image(), "--all"}
                      : std::vector<std::string>{binDir() + "/zentavo-flash", "scan"};
        QElapsedTimer clock;
        clock.start();
        std::string out;
        const int status = support::runProgram(args, {}, &out, std::chrono::minutes(1));
        (kind == 0   ? rerun
         : kind == 1 ? scan
                     : rerunLarge)
            .push_back(static_cast<double>(clock.nsecsElapsed()) / 1e9);
        if (status != 0 || (kind != 1 && out.find("current") == std::string::npos)) {
            std::fprintf(stderr, "bench: %s ended with status %d\n%s", args[1].c_str(), status, out.c_str());
            return 1;
        }
    }
    line("zentavo-flash update --all, every device current / scan, 30 devices, 1 MiB (ratio)",
         fmt(median(rerun) / median(scan), 2), "<= 1.1");
    line("  re-run / scan, whole runs, median (s)", fmt(median(rerun), 3) + " / " + fmt(median(scan), 3),
         "-");
    line("  re-run with the 16 MiB image, whole run, median (s)", fmt(median(rerunLarge), 3), "-");
    return 0;
}

// Devices switched off are listed by the scan and silent to info queries. "Upd. All" is
// pressed once the last queries' answers have gone stale, so it asks the station again.
int figureSilent(int argc, char** argv) {
    StationLayout layout = makeStation(kDevices);
    for (std::size_t i = 1; i < layout.devices.size(); i += 2)
        layout.devices[i].faults.silent = true;
    Setup setup(argc, argv, layout, "500");
    if (!setup.ready()) {
        std::fprintf(stderr, "bench: %s\n", setup.error().c_str());
        return 1;
    }
    UpdateDialog& dialog = setup.dialog();
    auto* refresh = qobject_cast<QPushButton*>(dialog.control(IDC_REFRESH));
    std::vector<double> onRefresh, onAll;
    for (int run = 0; run < kStallRuns; ++run) {
        QElapsedTimer clock;
        clock.start();
        refresh->click(); // the handler runs on the GUI thread: its length is the freeze
        onRefresh.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        if (dialog.deviceList()->count() != kDevices / 2) {
            std::fprintf(stderr, "bench: %d rows, not %d\n", dialog.deviceList()->count(), kDevices / 2);
            return 1;
        }
        QThread::msleep(2100);
        const JobTiming t = runJob(dialog, IDC_UPDATE_ALL);
        if (!t.ok)
            return 1;
        onAll.push_back(std::max(t.handlerMs, t.stallMs)); // the handler, or any gap after it
    }
    line("GUI longest freeze on Refresh, 15 of 30 devices silent, T=500 ms (ms)", fmt(median(onRefresh)),
         "<= 600 | " + spread(onRefresh));
    line("GUI longest freeze on Upd. All, 15 of 30 devices silent, T=500 ms (ms)", fmt(median(onAll)),
         "<= 600 | " + spread(onAll));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string self = zutest::selfPath();

    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
        if (std::strcmp(argv[2], "stall") == 0)
            return figureStall(argc, argv);
        if (std::strcmp(argv[2], "ratio") == 0)
            return figureRatio(argc, argv);
        if (std::strcmp(argv[2], "flash") == 0)
            return figureFlash(argc, argv);
        if (std::strcmp(argv[2], "silent") == 0)
            return figureSilent(argc, argv);
        std::fprintf(stderr, "bench: unknown figure '%s' (stall, ratio, flash, silent)\n", argv[2]);
        return 2;
    }

    std::vector<std::string> figures;
    for (int i = 1; i < argc; ++i)
        figures.emplace_back(argv[i]);
    if (figures.empty())
        figures = {"stall", "ratio", "flash", "silent"};

    std::printf("figure | median | target\n");
    std::fflush(stdout);
    int status = 0;
    for (const auto& figure : figures) {
        support::ChildProcess child({self, "--child", figure}, {}, support::kSharedOutput);
        if (!child.wait(std::chrono::hours(1)) || !child.exitedWith(0))
            status = 1;
    }
    return status;
}
