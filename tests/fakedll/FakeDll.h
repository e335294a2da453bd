// Scripted stand-in for the device-access library, for tests. It defines the
// six Dll* operations of TestDll.h; a test scripts their answers through the
// functions below and reads back what the program asked. Every function is
// thread-safe; no lock is held while an upload calls the progress callback or
// waits at its gate, so the program may query the fake during an upload.
//
// Defaults after reset(): the scan finds nothing, no device answers, no file
// is a firmware image, uploads report no progress and return 1, both serial
// ports open (result 1).
#pragma once

#include "TestDll.h"

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace fakedll {

// Back to the defaults; forgets the call log and releases a waiting upload.
void reset();

// --- DllScanNetwork -------------------------------------------------------
// The scan writes min(ids.size(), capacity) ids into the caller's slots and
// returns `returnedCount`, which need not match (negative or over capacity
// to test the caller's bounds).
void setScan(std::vector<int32_t> ids, int32_t returnedCount);
// Convenience: writes `ids` and returns their count.
void setScan(std::vector<int32_t> ids);

// --- DllGetRemoteInfo -----------------------------------------------------
// The device answers with these 196 bytes, copied as they are (a name with
// no terminator stays so).
void setDevice(int32_t id, const RemoteInfo& info);
// A known device that stops (or starts again) answering; unknown ids never answer.
void setDeviceAnswers(int32_t id, bool answers);

// Builds a record: address as four octets, most significant first.
RemoteInfo makeRemoteInfo(uint8_t a, uint8_t b, uint8_t c, uint8_t d, const std::string& name, uint8_t family,
                          uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor);

// --- DllGetFileInfo -------------------------------------------------------
struct FileInfo {
    // Copied into the caller's 20-byte buffer: at most 20 bytes, with a
    // terminator only when the name is shorter than 20 (longer names test
    // the caller's guard; the library never writes past 20 bytes).
    std::string name;
    int32_t date1 = 0, date2 = 0, date3 = 0;
    int32_t fileType = 0;
    int32_t versionMajor = 0, versionMinor = 0;
    int32_t result = 1; // returned; 0 leaves the outputs untouched
};
// Answers for exactly this 8-bit path; any other path returns 0.
void setFileInfo(const std::string& path, const FileInfo& info);

// --- DllUploadFile / DllUploadFileToDevices --------------------------------
struct UploadScript {
    std::vector<int32_t> progress; // reported in order through the callback, on the calling thread
    int32_t result = 1;            // returned by the upload
    // When >= 0: after reporting that many progress values the upload waits
    // for releaseUpload() (at most gateTimeoutMs), then reports the rest.
    int gateAfter = -1;
    int gateTimeoutMs = 10000;
};
void setUploadScript(const UploadScript& script);
// Lets a gated upload go on (also one that reaches its gate later).
void releaseUpload();
// Waits until an upload has reached its gate; false on timeout.
bool waitUploadGated(int timeoutMs);
// Waits until `count` uploads have returned since reset(); false on timeout.
bool waitUploadsFinished(int count, int timeoutMs);

// --- DllOpenPort -----------------------------------------------------------
void setOpenPortResult(int32_t port, int32_t result); // any port not set returns 1

// --- Call log ----------------------------------------------------------------
struct Call {
    std::string function;                 // "DllScanNetwork", "DllGetRemoteInfo", ...
    int32_t id = 0;                       // DllGetRemoteInfo, DllUploadFile
    std::vector<int32_t> ids;             // DllUploadFileToDevices: the ids passed
    int32_t count = 0;                    // capacity (scan) or count (upload to devices)
    std::string path;                     // file info and uploads
    int32_t port = 0;                     // DllOpenPort
    bool hasCallback = false;             // uploads: a callback was passed
    std::vector<int32_t> callbackReturns; // uploads: what the callback returned, per progress value
    std::thread::id thread;               // the calling thread
};
std::vector<Call> calls();
std::vector<Call> calls(const std::string& function);
// DllGetRemoteInfo queries since reset(), for one id or (no argument) all.
int remoteInfoQueries();
int remoteInfoQueries(int32_t id);

} // namespace fakedll
