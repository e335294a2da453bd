// Scripted stand-in for the device-access library: it defines the six Dll*
// operations of TestDll.h, answers as scripted below and logs every call.
// Thread-safe; no lock is held while an upload calls back or waits at its gate.
// After reset(): the scan finds nothing, no device answers, no file is an image,
// uploads report no progress and return 1, every serial port opens.
#pragma once

#include "devlib/TestDll.h"

#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fakedll {

// Back to the defaults; forgets the call log. (An upload left at its gate by a
// failed test goes on by itself after 10 s.)
void reset();

// The scan writes min(ids.size(), capacity) ids and returns `returnedCount`
// (by default their count), which may be negative or over capacity.
void setScan(std::vector<int32_t> ids, std::optional<int32_t> returnedCount = {});
// The device answers with these 196 bytes as they are; setDeviceAnswers(id,
// false) silences it (unknown ids never answer).
void setDevice(int32_t id, const RemoteInfo& info);
void setDeviceAnswers(int32_t id, bool answers);
// Address as four octets, most significant first.
RemoteInfo makeRemoteInfo(uint8_t a, uint8_t b, uint8_t c, uint8_t d, const std::string& name, uint8_t family,
                          uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor);

struct FileInfo {
    std::string name{}; // at most 20 bytes into the caller's buffer, terminated only when shorter
    int32_t date1 = 0, date2 = 0, date3 = 0, fileType = 0, versionMajor = 0, versionMinor = 0;
    int32_t result = 1; // 0 leaves the outputs untouched
};
// Answers for exactly this 8-bit path; any other path returns 0.
void setFileInfo(const std::string& path, const FileInfo& info);

struct UploadScript {
    std::vector<int32_t> progress{}; // reported in order through the callback, on the calling thread
    int32_t result = 1;
    int gateAfter = -1; // >= 0: after that many values, wait (at most 10 s) for releaseUpload()
};
void setUploadScript(const UploadScript& script);
void releaseUpload();
bool waitUploadGated(int timeoutMs);
bool waitUploadsFinished(int count, int timeoutMs); // `count` uploads returned since reset()
void setOpenPortResult(int32_t port, int32_t result);

struct Call {
    std::string function{};                 // "DllScanNetwork", "DllGetRemoteInfo", ...
    int32_t id = 0;                         // the device id, the port, or the scan's capacity
    std::vector<int32_t> ids{};             // DllUploadFileToDevices
    std::string path{};                     // file info and uploads
    std::vector<int32_t> callbackReturns{}; // uploads: what the callback returned, per value
    std::thread::id thread{};
};
// The log since reset(), of one function or (empty name) all.
std::vector<Call> calls(const std::string& function = {});

} // namespace fakedll
