// What zentavo-flash shows while an upload runs: each device's own progress
// (transfer, then flash) as a live line per device on a terminal, as plain
// lines at every fifth of a phase otherwise, or as JSON events; the flash
// warning once, when the first device starts programming its flash.
//
// The library reports from its upload thread: observe() only records under a
// lock, and a timer on the main thread shows what changed.
#pragma once

#include "core/UploadJob.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <mutex>
#include <vector>

class ProgressView : public QObject {
    Q_OBJECT
public:
    enum class Mode { Live, Plain, Json };

    // `perDevice`: the library reports each device (observe()), else only the combined value.
    ProgressView(Mode mode, bool perDevice, const std::vector<TargetResult>& targets,
                 QObject* parent = nullptr);

    // The library's per-device observer; `context` is the view. Any thread.
    static void observe(int32_t id, int32_t phase, int32_t percent, void* context);

    // Without per-device reports: the library's combined progress, and its flash warning.
    void showCombined(int percent);
    void combinedFlashWarning();

    // A message above the live lines; `event` is its JSON form.
    void note(const QString& text, const QByteArray& event, bool error = false);

    // The devices programming their flash that have not finished it.
    QList<int32_t> flashing();

    // Shows the last state; the view says nothing more afterwards.
    void finish();

private:
    struct Device {
        int32_t id = 0;
        QString name;
        int phase = 0;   // 0 not started, else DEVICE_PHASE_*
        int percent = 0; // within the phase
        int shownPhase = 0, shownPercent = -1;
    };

    void update();
    void warnFlash(const QString& first);
    QString liveLine(const Device& d) const;
    void redraw();
    void clearLive();

    Mode m_mode;
    bool m_perDevice;
    QTimer m_timer;
    std::vector<Device> m_devices; // main thread, in target order
    bool m_warned = false;
    bool m_finished = false;
    int m_drawn = 0; // live lines on the terminal below the cursor's line start
    int m_combined = -1;

    std::mutex m_mutex; // guards what the library thread hands over
    QHash<int32_t, std::pair<int, int>> m_reported;
};
