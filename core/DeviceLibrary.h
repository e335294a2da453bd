// The device-access library as the updater sees it: its operations with Qt and
// C++ values instead of C records and callbacks. TestDllLibrary is the one
// implementation over the library's C interface; tests hand in a fake.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// How an upload ended for one device. The first seven are the library's report codes,
// in its order; Current is the updater's own: the device already had the image.
enum class TargetOutcome {
    Committed,
    Unreachable,
    Refused,
    TransferFailed,
    VerifyFailed,
    FlashFailed,
    Cancelled,
    Current
};
constexpr int kLibraryOutcomes = 7;
constexpr int kTargetOutcomes = 8;

// The phase a device's own progress is in (the library's codes).
enum class DevicePhase { Waiting = 0, Transfer = 1, Flash = 2 };

// What a device answers to an info query.
struct DeviceInfo {
    uint32_t address = 0; // IPv4, first dotted octet in the most significant byte
    QByteArray name;      // the device's bytes, at most 64, up to the first NUL
    uint32_t typeCode = 0;
    int32_t versionMajor = 0;
    int32_t versionMinor = 0;
};

// What the library says of a firmware file; every number as the library gives it.
struct ImageFileInfo {
    QByteArray name; // at most 19 bytes
    int32_t date1 = 0, date2 = 0, date3 = 0;
    int32_t fileType = 0;
    int32_t versionMajor = 0, versionMinor = 0;
};

// More about a file, from a newer library only.
struct ImageFileDetails {
    QString problem; // why the file is no image; empty for a valid one
    bool isSigned = false;
    QByteArray keyId; // 8 bytes when signed
    uint32_t securityCounter = 0;
};

struct UploadRequest {
    std::vector<int32_t> ids; // serial: exactly one
    bool serial = false;      // over the serial port that opened
    QByteArray path;          // encoded as the library takes paths
};

// One device's end of an upload call, as the library reports it.
struct DeviceReport {
    int32_t id = 0;
    int32_t code = 0; // the library's outcome code; within 0..kLibraryOutcomes-1 when known
    QString reason;
};

struct UploadReply {
    int32_t status = 0;               // the call's result; exactly 1 is success
    std::vector<DeviceReport> report; // one per target in order; empty when the library gave none
};

// Told the progress of an upload call, on the thread that made the call.
class UploadObserver {
public:
    virtual ~UploadObserver() = default;
    // The combined progress, 0..100; false asks the library to cancel.
    virtual bool progress(int32_t value) = 0;
    // One device's own progress within its phase.
    virtual void deviceProgress(int32_t id, DevicePhase phase, int percent) = 0;
};

class DeviceLibrary {
public:
    virtual ~DeviceLibrary() = default;

    // Writes at most `capacity` ids into `ids` and returns the library's count, unchecked.
    virtual int32_t scanNetwork(int32_t* ids, int32_t capacity) = 0;
    // The device's answer, or none when it does not answer.
    virtual std::optional<DeviceInfo> remoteInfo(int32_t id) = 0;
    // The file's description, or none when it is no firmware image.
    virtual std::optional<ImageFileInfo> fileInfo(const QByteArray& path) = 0;
    // Why a file is no image and its signature; none when the library cannot tell.
    virtual std::optional<ImageFileDetails> fileDetails(const QByteArray& path) = 0;
    // Opens serial port 1 or 2; true when it opened.
    virtual bool openPort(int port) = 0;
    // One upload call; the observer hears from it on this thread until it returns.
    virtual UploadReply upload(const UploadRequest& request, UploadObserver& observer) = 0;
    // Whether upload() reports each device's own progress.
    virtual bool reportsEachDevice() const = 0;
    // The station the library talks to: its network address, or the device of serial port 1 or 2.
    virtual QString station(int serialPort) const = 0;
};
