#include "cli/ProgressView.h"

#include "cli/JsonText.h"
#include "cli/Output.h"
#include "devlib/TestDll.h"

#include <algorithm>
#include <cstdio>

namespace {

const char* phaseName(int phase) {
    return phase == DEVICE_PHASE_FLASH ? "flash" : phase == DEVICE_PHASE_TRANSFER ? "transfer" : "waiting";
}

void writeRaw(const QByteArray& bytes, std::FILE* stream = stdout) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

ProgressView::ProgressView(Mode mode, bool perDevice, const std::vector<TargetResult>& targets,
                           QObject* parent)
    : QObject(parent), m_mode(mode), m_perDevice(perDevice) {
    for (const TargetResult& t : targets)
        m_devices.push_back({t.id, t.name});
    // A terminal is redrawn often enough to look live; a log gets fewer, whole lines.
    m_timer.setInterval(mode == Mode::Live ? 100 : 200);
    connect(&m_timer, &QTimer::timeout, this, &ProgressView::update);
    m_timer.start();
    if (m_mode == Mode::Live)
        redraw();
}

void ProgressView::observe(int32_t id, int32_t phase, int32_t percent, void* context) {
    auto* view = static_cast<ProgressView*>(context);
    const std::lock_guard lock(view->m_mutex);
    view->m_reported.insert(id, {phase, percent});
}

void ProgressView::update() {
    if (m_finished)
        return;
    QHash<int32_t, std::pair<int, int>> reported;
    {
        const std::lock_guard lock(m_mutex);
        reported.swap(m_reported);
    }
    bool changed = false;
    QString firstFlashing;
    for (Device& d : m_devices) {
        const auto it = reported.constFind(d.id);
        if (it == reported.constEnd())
            continue;
        d.phase = it->first;
        d.percent = it->second;
        if (d.phase == DEVICE_PHASE_FLASH && firstFlashing.isEmpty())
            firstFlashing = QStringLiteral("%1 %2").arg(d.id).arg(d.name);
        // A plain log gets a line per phase and per fifth of it; JSON every change.
        const int shown = m_mode == Mode::Plain ? d.percent / 20 * 20 : d.percent;
        if (d.phase == d.shownPhase && shown == d.shownPercent)
            continue;
        d.shownPhase = d.phase;
        d.shownPercent = shown;
        changed = true;
        if (m_mode == Mode::Plain)
            printLine(QStringLiteral("%1  %2  %3 %4%")
                          .arg(d.id)
                          .arg(d.name, QLatin1String(phaseName(d.phase)))
                          .arg(shown));
        else if (m_mode == Mode::Json)
            printLine(JsonObject()
                          .add("event", "progress")
                          .add("id", d.id)
                          .add("phase", phaseName(d.phase))
                          .add("percent", d.percent)
                          .text());
    }
    if (changed && m_mode == Mode::Live)
        redraw();
    if (!firstFlashing.isEmpty())
        warnFlash(firstFlashing);
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
        printLine(JsonObject().add("event", "progress").add("percent", percent).text());
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
    note(text, JsonObject().add("event", "flash-warning").add("text", kFlashWarning).text());
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

QList<int32_t> ProgressView::flashing() {
    update();
    QList<int32_t> ids;
    for (const Device& d : m_devices) {
        if (d.phase == DEVICE_PHASE_FLASH && d.percent < 100)
            ids.append(d.id);
    }
    return ids;
}

void ProgressView::finish() {
    update();
    m_timer.stop();
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
