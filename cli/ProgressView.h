// What zentavo-flash shows while an upload runs: each device's own progress
// (transfer with its rate and time left, then flash) as a live line per device
// on a terminal, as plain lines at every fifth of a phase otherwise, or as JSON
// events; the flash warning once, when the first device starts programming its
// flash. Fed by the upload controller's signals on the main thread.
#pragma once

#include "core/UploadJob.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <vector>

class ProgressView : public QObject {
    Q_OBJECT
public:
    enum class Mode { Live, Plain, JsonEvents };

    // `perDevice`: the library reports each device (showDevice()), else only the combined value.
    ProgressView(Mode mode, bool perDevice, const UploadJob& job, QObject* parent = nullptr);

    // One device's own progress (phase: DevicePhase).
    void showDevice(int id, int phase, int percent);

    // Without per-device reports: the library's combined progress, and its flash warning.
    void showCombined(int percent);
    void combinedFlashWarning();

    // A message above the live lines, on a line of its own; `event` is its JSON form.
    void note(const QString& text, const QByteArray& event, bool error = false);

    // The devices programming their flash that have not finished it.
    QList<int32_t> flashing() const;

    // Shows the last state; the view says nothing more afterwards.
    void finish();

private:
    struct Device {
        int32_t id = 0;
        QString name;
        int phase = 0;   // DevicePhase
        int percent = 0; // within the phase
        int shownPhase = 0, shownPercent = -1;
        qint64 transferStartMs = -1; // when its transfer began, on m_clock
    };

    void warnFlash(const QString& first);
    QString liveLine(const Device& d) const;
    void redraw();
    void clearLive();

    Mode m_mode;
    bool m_perDevice;
    qint64 m_imageBytes;           // what each transfer carries; -1 unknown
    std::vector<Device> m_devices; // in target order
    QElapsedTimer m_clock;
    bool m_warned = false;
    bool m_finished = false;
    int m_drawn = 0; // live lines on the terminal above the cursor
    int m_combined = -1;
};
