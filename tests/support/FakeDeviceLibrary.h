// A scripted DeviceLibrary for the engine, dialog and controller tests: it answers
// as its script says and logs every call under the name of the library operation
// it stands for. The script is set from the test's thread while no upload runs;
// the log and the upload's gate may be used from any thread, and no lock is held
// while an upload reports progress or waits at its gate. By default the scan finds
// nothing, no device answers, no file is an image, uploads report no progress and
// return 1 with every target committed (a known device then shows the known file's
// version), every serial port opens.
#pragma once

#include "core/DeviceLibrary.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zutest {

struct FakeDevice {
    DeviceInfo info;
    bool answers = true; // a known device may fall silent; unknown ids never answer
};

struct FakeFile {
    ImageFileInfo info;
    bool valid = true; // false: no image
};

// What the report says of one target.
struct FakeOutcome {
    int32_t code = 0; // TargetOutcome's number; anything else stands for a library's unknown code
    QString reason{};
    bool installs = true; // committed: the device takes the file's version
};

struct FakeUpload {
    std::vector<int32_t> progress{}; // reported in order, on the calling thread
    int32_t result = 1;
    int gateAfter = -1; // >= 0: after that many values, wait (at most 10 s) for releaseUpload()
    std::map<int32_t, FakeOutcome> outcomes{}; // by id; any other target commits, whatever the result
    bool report = true;                        // false: a library without the per-device report
};

struct FakeScript {
    // The scan writes min(scanIds.size(), capacity) ids and returns scanCount
    // (by default their number), which may be negative or over capacity.
    std::vector<int32_t> scanIds{};
    std::optional<int32_t> scanCount{};
    std::map<int32_t, FakeDevice> devices{};
    std::map<QByteArray, FakeFile> files{}; // by exact 8-bit path; any other path is no image
    FakeUpload upload{};
    std::map<int, bool> portResults{}; // any port not named opens
};

struct FakeCall {
    std::string function{};                 // "DllScanNetwork", "DllGetRemoteInfo", ...
    int32_t id = 0;                         // the device id, the port, or the scan's capacity
    std::vector<int32_t> ids{};             // DllUploadFileToDevices
    QByteArray path{};                      // file info and uploads
    std::vector<int32_t> callbackReturns{}; // uploads: what the observer answered, per value
};

// Address as four octets, most significant first.
DeviceInfo makeDevice(uint8_t a, uint8_t b, uint8_t c, uint8_t d, const QByteArray& name, uint8_t family,
                      uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor);

class FakeDeviceLibrary final : public DeviceLibrary {
public:
    FakeScript& script() { return m_script; }
    // Back to the defaults; forgets the call log. Not while an upload runs.
    void reset();

    // The log, of one operation or (empty name) all.
    std::vector<FakeCall> calls(const std::string& function = {}) const;
    void releaseUpload();
    bool waitUploadGated(int timeoutMs);
    bool waitUploadsFinished(int count, int timeoutMs); // `count` uploads returned

    int32_t scanNetwork(int32_t* ids, int32_t capacity) override;
    std::optional<DeviceInfo> remoteInfo(int32_t id) override;
    std::optional<ImageFileInfo> fileInfo(const QByteArray& path) override;
    std::optional<ImageFileDetails> fileDetails(const QByteArray&) override { return std::nullopt; }
    bool openPort(int port) override;
    UploadReply upload(const UploadRequest& request, UploadObserver& observer) override;
    bool reportsEachDevice() const override { return false; }
    QString station(int serialPort) const override;

private:
    size_t log(FakeCall call);
    bool waitFor(int timeoutMs, const int& counter, int atLeast);

    FakeScript m_script;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<FakeCall> m_calls;
    bool m_released = false;
    int m_gated = 0, m_finished = 0;
};

} // namespace zutest
