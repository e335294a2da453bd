#include "cli/ProgressView.h"

#include "cli/Output.h"
#include "core/JsonLine.h"

#include <algorithm>
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

ProgressView::ProgressView(Mode mode, bool perDevice, const std::vector<JobTarget>& targets, QObject* parent)
    : QObject(parent), m_mode(mode), m_perDevice(perDevice) {
    for (const JobTarget& t : targets) {
        if (!t.held)
            m_devices.push_back({t.id, t.name});
    }
    if (m_mode == Mode::Live)
        redraw();
}

void ProgressView::showDevice(int id, int phase, int percent) {
    const auto d =
        std::find_if(m_devices.begin(), m_devices.end(), [id](const Device& x) { return x.id == id; });
    if (m_finished || d == m_devices.end())
        return;
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
        else if (m_mode == Mode::Json)
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
    if (m_mode == Mode::Json) {
        printLine(event);
        return;
    }
    if (m_mode == Mode::Live && m_drawn > 0) {
        clearLive();
        writeRaw("\x1b[2K");
        m_drawn = 0;
    }
    if (error)
        writeRaw((text + QLatin1Char('\n')).toLocal8Bit(), stderr);
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

QString ProgressView::liveLine(const Device& d) const {
    return QStringLiteral("%1  %2  %3 %4%")
        .arg(d.id, 7)
        .arg(d.name, -24)
        .arg(QLatin1String(phaseName(d.phase)), -8)
        .arg(d.percent, 3);
}

void ProgressView::clearLive() {
    if (m_drawn > 0)
        writeRaw(QStringLiteral("\x1b[%1A").arg(m_drawn).toLatin1());
}

void ProgressView::redraw() {
    clearLive();
    QByteArray block;
    if (!m_perDevice) {
        block = QStringLiteral("\x1b[2K%1 targets  %2%\n")
                    .arg(m_devices.size())
                    .arg(std::max(m_combined, 0), 3)
                    .toUtf8();
        m_drawn = 1;
    } else {
        for (const Device& d : m_devices)
            block += "\x1b[2K" + liveLine(d).toUtf8() + '\n';
        m_drawn = static_cast<int>(m_devices.size());
    }
    writeRaw(block);
}
