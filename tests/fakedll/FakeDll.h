// Scripted stand-in for the device-access library: it defines the six Dll*
// operations of TestDll.h, answers as the script says and logs every call; the
// seventh, DllGetUploadReport, comes apart (fakedll_report) so that a test can
// do without it, as with an older library.
// The script is set from the test's own thread while no upload runs; the log
// and the upload's gate may be used from any thread, and no lock is held while
// an upload calls back or waits at its gate. After reset(): the scan finds
// nothing, no device answers, no file is an image, uploads report no progress
// and return 1 with every target committed (a known device then shows the
// known file's version), every serial port opens.
#pragma once

#include "devlib/TestDll.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fakedll {

struct Device {
    RemoteInfo info;     // handed out as these 196 bytes (an unterminated name stays so)
    bool answers = true; // a known device may fall silent; unknown ids never answer
};

struct FileInfo {
    std::string name{}; // at most 20 bytes into the caller's buffer, terminated only when shorter
    int32_t date1 = 0, date2 = 0, date3 = 0, fileType = 0, versionMajor = 0, versionMinor = 0;
    int32_t result = 1; // 0 leaves the outputs untouched
};

// What the report says of one target.
struct Outcome {
    int32_t code = UPLOAD_COMMITTED;
    std::string reason{};
    bool installs = true; // committed: the device takes the file's version
};

struct UploadScript {
    std::vector<int32_t> progress{}; // reported in order through the callback, on the calling thread
    int32_t result = 1;
    int gateAfter = -1; // >= 0: after that many values, wait (at most 10 s) for releaseUpload()
    std::map<int32_t, Outcome> outcomes{}; // by id; any other target commits, whatever the result
};

struct Script {
    // The scan writes min(scanIds.size(), capacity) ids and returns scanCount
    // (by default their number), which may be negative or over capacity.
    std::vector<int32_t> scanIds{};
    std::optional<int32_t> scanCount{};
    std::map<int32_t, Device> devices{};
    std::map<std::string, FileInfo> files{}; // by exact 8-bit path; any other path is no image
    UploadScript upload{};
    std::map<int32_t, int32_t> portResults{}; // any port not named opens
};
Script& script();

// Back to the defaults; forgets the call log.
void reset();

// Address as four octets, most significant first.
RemoteInfo makeRemoteInfo(uint8_t a, uint8_t b, uint8_t c, uint8_t d, const std::string& name, uint8_t family,
                          uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor);

void releaseUpload();
bool waitUploadGated(int timeoutMs);
bool waitUploadsFinished(int count, int timeoutMs); // `count` uploads returned since reset()

struct Call {
    std::string function{};                 // "DllScanNetwork", "DllGetRemoteInfo", ...
    int32_t id = 0;                         // the device id, the port, or the scan's capacity
    std::vector<int32_t> ids{};             // DllUploadFileToDevices
    std::string path{};                     // file info and uploads
    std::vector<int32_t> callbackReturns{}; // uploads: what the callback returned, per value
};
// The log since reset(), of one function or (empty name) all.
std::vector<Call> calls(const std::string& function = {});

// This thread's report of its last upload call, as DllGetUploadReport hands it out.
std::vector<UploadOutcome>& threadReport();

} // namespace fakedll
