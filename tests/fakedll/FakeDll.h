// Scripted stand-in for the device-access library: it defines the six Dll*
// operations of TestDll.h, answers as scripted below and logs what was asked.
// Thread-safe; no lock is held while an upload calls back or waits at its gate.
// After reset(): the scan finds nothing, no device answers, no file is an image,
// uploads report no progress and return 1, every serial port opens.
#pragma once

#include "devlib/TestDll.h"

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fakedll {

// Back to the defaults; forgets the call log and releases a waiting upload.
void reset();

// The scan writes min(ids.size(), capacity) ids and returns `returnedCount`
// (by default their count), which may be negative or over capacity.
void setScan(std::vector<int32_t> ids, std::optional<int32_t> returnedCount = {});
// The device answers with these 196 bytes as they are (an unterminated name stays so).
void setDevice(int32_t id, const RemoteInfo& info);
// A known device stops (or starts again) answering; unknown ids never answer.
void setDeviceAnswers(int32_t id, bool answers);
// Address as four octets, most significant first.
RemoteInfo makeRemoteInfo(uint8_t a, uint8_t b, uint8_t c, uint8_t d, const std::string& name, uint8_t family,
                          uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor);

struct FileInfo {
    // At most 20 bytes into the caller's buffer, terminated only when shorter.
    std::string name{};
    int32_t date1 = 0, date2 = 0, date3 = 0, fileType = 0, versionMajor = 0, versionMinor = 0;
    int32_t result = 1; // returned; 0 leaves the outputs untouched
};
// Answers for exactly this 8-bit path; any other path returns 0.
void setFileInfo(const std::string& path, const FileInfo& info);

struct UploadScript {
    std::vector<int32_t> progress{}; // reported in order through the callback, on the calling thread
    int32_t result = 1;              // returned by the upload
    int gateAfter = -1;              // >= 0: after that many progress values, wait for releaseUpload()
    int gateTimeoutMs = 10000;       // (at most this long)
};
void setUploadScript(const UploadScript& script);
// Lets a gated upload go on (also one that reaches its gate later).
void releaseUpload();
// Waits until an upload has reached its gate; false on timeout.
bool waitUploadGated(int timeoutMs);
// Waits until `count` uploads have returned since reset(); false on timeout.
bool waitUploadsFinished(int count, int timeoutMs);
void setOpenPortResult(int32_t port, int32_t result); // any port not set returns 1

struct Call {
    std::string function{};                 // "DllScanNetwork", "DllGetRemoteInfo", ...
    int32_t id = 0;                         // DllGetRemoteInfo, DllUploadFile
    std::vector<int32_t> ids{};             // DllUploadFileToDevices: the ids passed
    int32_t count = 0;                      // capacity (scan) or count (upload to devices)
    std::string path{};                     // file info and uploads
    int32_t port = 0;                       // DllOpenPort
    bool hasCallback = false;               // uploads: a callback was passed
    std::vector<int32_t> callbackReturns{}; // uploads: what the callback returned, per progress value
    std::thread::id thread{};               // the calling thread
};
std::vector<Call> calls();
std::vector<Call> calls(const std::string& function);
// DllGetRemoteInfo queries since reset(), for one id or (no argument) all.
int remoteInfoQueries(std::optional<int32_t> id = {});

} // namespace fakedll
