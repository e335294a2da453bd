// The updater's work behind the main dialog, without a window: the device
// scan and its slot table, the file check, the serial ports, and the checks
// and targets of the two upload commands. The caller shows what it answers.
#pragma once

#include "core/DeviceList.h"
#include "core/FirmwareFile.h"
#include "core/UploadJob.h"

#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

enum class UploadCommand {
    Selected,    // "Update": the selected rows' devices that answer
    AllEligible, // "Upd. All": every eligible cluster of all 30 slots
};

enum class PlanRefusal { None, NoFile, InvalidFile, WrongFile, NoTarget };

// What an upload command comes to: a job to start, or the refusal to show.
struct UploadPlan {
    UploadJob job;
    PlanRefusal refused = PlanRefusal::None;
    QString refusal;          // non-empty: refused, shown with the exclamation icon
    bool fileChecked = false; // the file check ran and `file` is the info line's text
    FileInfoResult file;
    QList<int> rowsToSelect; // "Upd. All": the rows of the devices taken
};

class UpdateEngine {
public:
    explicit UpdateEngine(DeviceLibrary& library) : m_library(library) {}

    DeviceLibrary& library() const { return m_library; }

    // Refresh: scans anew and returns the list lines, one per answering
    // device in slot order (the slot table records which row shows which slot).
    QStringList refresh();
    QList<ScannedDevice> refreshDevices(); // every slot of the scan, with each device's answer
    const DeviceSlotTable& slotTable() const { return m_slots; }

    // The file check: what the info line shows, valid only for a known image. Paths
    // go to the library as the file system takes them (`localPath`: those bytes).
    FileInfoResult checkFile(const QString& path) const { return checkFile(QFile::encodeName(path)); }
    FileInfoResult checkFile(const QByteArray& localPath) const {
        return describeFirmwareFile(m_library, localPath);
    }

    // The upload commands' steps up to the start: file name, file check,
    // targets (devices asked afresh, what they answered kept for the job's
    // record), then serial mode: `serialPort` 1 or 2 sends over that port, 0
    // over the network. `selectedRows` ascending.
    UploadPlan planUpload(UploadCommand command, const QString& path, const QList<int>& selectedRows,
                          int serialPort) const {
        return planUpload(command, QFile::encodeName(path), selectedRows, serialPort);
    }
    UploadPlan planUpload(UploadCommand command, const QByteArray& localPath, const QList<int>& selectedRows,
                          int serialPort) const;

    // The file's part of a plan alone (name, check, the one read for its record, the
    // expected SHA-256), so that a refused file is known before any device is asked;
    // the two plans below go on from such a plan, or start with it themselves.
    UploadPlan planFile(const QByteArray& localPath) const;
    UploadPlan planUpload(UploadPlan plan, UploadCommand command, const QList<int>& selectedRows,
                          int serialPort) const;

    // An upload to devices named by id: each is asked first. A named device that does
    // not answer stays in the job, held back as unreachable with the reason (not listed
    // by the last scan, or no answer), so a name is never dropped silently; repeated ids
    // count once. The plan is refused only for the file or when no id is named.
    UploadPlan planNamedUpload(const QByteArray& localPath, const QList<int32_t>& ids, int serialPort) const {
        return planNamedUpload(planFile(localPath), ids, serialPort);
    }
    UploadPlan planNamedUpload(UploadPlan plan, const QList<int32_t>& ids, int serialPort) const;

    // From now on a plan refuses (WrongFile) a file whose SHA-256 is not `hex`, before
    // any device is asked; empty: no such check (the dialog's way).
    void expectSha256(const QString& hex) { m_expectedSha256 = hex; }

    // Opens serial port 1 or 2; true when it opened.
    bool openSerialPort(int port) const { return m_library.openPort(port); }

private:
    bool checkPlanFile(UploadPlan& plan, const QByteArray& localPath) const;
    void completePlan(UploadPlan& plan, const char* command, int serialPort) const;

    DeviceLibrary& m_library;
    DeviceSlotTable m_slots;
    QString m_expectedSha256;
};
