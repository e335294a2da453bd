#include "cli/ProgressView.h"

#include "cli/Output.h"
#include "core/JsonLine.h"

#include <QStringList>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kTransfer = static_cast<int>(DevicePhase::Transfer);
constexpr int kFlash = static_cast<int>(DevicePhase::Flash);

const char* phaseName(int phase) {
    return phase == kFlash ? "flash" : phase == kTransfer ? "transfer" : "waiting";
}

void writeRaw(const QByteArray& bytes, std::FILE* stream = stdout) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

ProgressView::ProgressView(Mode mode, bool perDevice, const UploadJob& job, QObject* parent)
    : QObject(parent), m_mode(mode), m_perDevice(perDevice), m_imageBytes(job.image.size) {
    for (const JobTarget& t : job.targets) {
        if (!t.held)
            m_devices.push_back({t.id, printable(t.name)});
    }
    m_clock.start();
    if (m_mode == Mode::Live && !m_devices.empty())
        redraw();
}

void ProgressView::showDevice(int id, int phase, int percent) {
    const auto d =
        std::find_if(m_devices.begin(), m_devices.end(), [id](const Device& x) { return x.id == id; });
    if (m_finished || d == m_devices.end())
        return;
    if (phase == kTransfer && d->transferStartMs < 0)
        d->transferStartMs = m_clock.elapsed();
    d->phase = phase;
    d->percent = percent;
    // A plain log gets a line per phase and per fifth of it; JSON every change.
    const int shown = m_mode == Mode::Plain ? d->percent / 20 * 20 : d->percent;
    if (d->phase != d->shownPhase || shown != d->shownPercent) {
        d->shownPhase = d->phase;
        d->shownPercent = shown;
        if (m_mode == Mode::Plain)
            printLine(QStringLiteral("%1  %2  %3 %4%")
                          .arg(d->id)
                          .arg(d->name, QLatin1String(phaseName(d->phase)))
                          .arg(shown));
        else if (m_mode == Mode::JsonEvents)
            printLine(jsonLine({{"event", "progress"},
                                {"id", d->id},
                                {"phase", phaseName(d->phase)},
                                {"percent", d->percent}}));
        else
            redraw();
    }
    if (phase == kFlash)
        warnFlash(QStringLiteral("%1 %2").arg(d->id).arg(d->name));
}

void ProgressView::showCombined(int percent) {
    const int shown = m_mode == Mode::Plain ? percent / 20 * 20 : percent;
    if (m_finished || shown == m_combined)
        return;
    m_combined = shown;
    if (m_mode == Mode::Live)
        redraw();
    else if (m_mode == Mode::Plain)
        printLine(QStringLiteral("all targets  %1%").arg(shown));
    else
        printLine(jsonLine({{"event", "progress"}, {"percent", percent}}));
}

void ProgressView::combinedFlashWarning() {
    warnFlash(QString());
}

void ProgressView::warnFlash(const QString& first) {
    if (m_warned)
        return;
    m_warned = true;
    const QString text = QStringLiteral("warning: %1%2")
                             .arg(QLatin1String(kFlashWarning),
                                  first.isEmpty() ? QString() : QStringLiteral(" (%1 first)").arg(first));
    note(text, jsonLine({{"event", "flash-warning"}, {"text", kFlashWarning}}));
}

void ProgressView::note(const QString& text, const QByteArray& event, bool error) {
    if (m_mode == Mode::JsonEvents) {
        printLine(event);
        return;
    }
    if (m_mode == Mode::Live)
        clearLive();
    if (error)
        writeRaw((printable(text) + QLatin1Char('\n')).toLocal8Bit(), stderr);
    else
        printLine(text);
    if (m_mode == Mode::Live && !m_finished)
        redraw();
}

QList<int32_t> ProgressView::flashing() const {
    QList<int32_t> ids;
    for (const Device& d : m_devices) {
        if (d.phase == kFlash && d.percent < 100)
            ids.append(d.id);
    }
    return ids;
}

void ProgressView::finish() {
    m_finished = true;
}

// "  101  Cluster A   transfer  40%  1.2 MB/s  3 s left": the rate from the share of the
// image acknowledged so far, as esptool shows its effective rate.
QString ProgressView::liveLine(const Device& d) const {
    QString line = QStringLiteral("%1  %2  %3 %4%")
                       .arg(d.id, 7)
                       .arg(d.name, -24)
                       .arg(QLatin1String(phaseName(d.phase)), -8)
                       .arg(d.percent, 3);
    const qint64 elapsedMs = d.transferStartMs < 0 ? 0 : m_clock.elapsed() - d.transferStartMs;
    if (d.phase == kTransfer && m_imageBytes > 0 && d.percent > 0 && elapsedMs > 0) {
        const double bytes = static_cast<double>(m_imageBytes) * d.percent / 100.0;
        const double rate = bytes * 1000.0 / static_cast<double>(elapsedMs);
        const double left = (static_cast<double>(m_imageBytes) - bytes) / rate;
        line += rate >= 1e6 ? QStringLiteral("  %1 MB/s").arg(rate / 1e6, 0, 'f', 1)
                            : QStringLiteral("  %1 kB/s").arg(rate / 1e3, 0, 'f', 1);
        line += QStringLiteral("  %1 s left").arg(std::llround(left));
    }
    return line;
}

namespace {

// The terminal's width now (it may have been resized), 80 when it cannot tell.
int terminalWidth() {
    winsize size{};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

} // namespace

// Moves back to the first live line and clears it and everything below.
void ProgressView::clearLive() {
    if (m_drawn > 0)
        writeRaw(QStringLiteral("\x1b[%1A").arg(m_drawn).toLatin1());
    writeRaw("\r\x1b[J");
    m_drawn = 0;
}

// Each line cut to the width, so that none wraps and the count of lines to go back stays true.
void ProgressView::redraw() {
    clearLive();
    const int width = std::max(terminalWidth() - 1, 10);
    QStringList lines;
    if (!m_perDevice)
        lines.append(QStringLiteral("%1 targets  %2%").arg(m_devices.size()).arg(std::max(m_combined, 0), 3));
    else
        for (const Device& d : m_devices)
            lines.append(liveLine(d));
    QByteArray block;
    for (const QString& line : lines)
        block += line.left(width).toUtf8() + "\x1b[K\n";
    m_drawn = static_cast<int>(lines.size());
    writeRaw(block);
}
