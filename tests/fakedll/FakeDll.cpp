#include "tests/fakedll/FakeDll.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <tuple>

namespace {

fakedll::Script g_script;

// The log and the upload's gate, shared with the uploading thread.
struct Log {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<fakedll::Call> calls;
    bool released = false;
    int gated = 0, finished = 0;
} g_log;

using Lock = std::unique_lock<std::mutex>;

size_t logCall(fakedll::Call call) {
    const Lock lock(g_log.mutex);
    g_log.calls.push_back(std::move(call));
    return g_log.calls.size() - 1;
}

// Each target's outcome as scripted (any other commits); a commit installs the file's version.
void report(const fakedll::Call& call) {
    const auto file = g_script.files.find(call.path);
    std::vector<UploadOutcome>& report = fakedll::threadReport();
    report.clear();
    for (int32_t id : call.ids.empty() ? std::vector<int32_t>{call.id} : call.ids) {
        const auto scripted = g_script.upload.outcomes.find(id);
        const auto o = scripted == g_script.upload.outcomes.end() ? fakedll::Outcome{} : scripted->second;
        report.push_back({id, o.code, {}});
        std::snprintf(report.back().reason, sizeof report.back().reason, "%s", o.reason.c_str());
        const auto device = g_script.devices.find(id);
        if (o.code == UPLOAD_COMMITTED && o.installs && device != g_script.devices.end() &&
            file != g_script.files.end())
            std::tie(device->second.info.versionMajor, device->second.info.versionMinor) =
                std::tie(file->second.versionMajor, file->second.versionMinor);
    }
}

int32_t runUpload(fakedll::Call call, ProgressCallback callback) {
    report(call);
    const size_t entry = logCall(std::move(call));
    const fakedll::UploadScript& script = g_script.upload;
    Lock lock(g_log.mutex);
    for (size_t i = 0; i <= script.progress.size(); ++i) {
        if (script.gateAfter >= 0 && i == std::min<size_t>(script.gateAfter, script.progress.size())) {
            ++g_log.gated;
            g_log.changed.notify_all();
            g_log.changed.wait_for(lock, std::chrono::seconds(10), [] { return g_log.released; });
        }
        if (i == script.progress.size())
            break;
        lock.unlock();
        const int32_t returned = callback(script.progress[i]);
        lock.lock();
        g_log.calls[entry].callbackReturns.push_back(returned);
    }
    ++g_log.finished;
    g_log.changed.notify_all();
    return script.result;
}

bool waitFor(int timeoutMs, const int& counter, int atLeast) {
    Lock lock(g_log.mutex);
    return g_log.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return counter >= atLeast; });
}

} // namespace

namespace fakedll {

Script& script() {
    return g_script;
}

void reset() {
    g_script = Script{};
    const Lock lock(g_log.mutex);
    g_log.calls.clear();
    g_log.released = false;
    g_log.gated = g_log.finished = 0;
}

RemoteInfo makeRemoteInfo(uint8_t a, uint8_t b, uint8_t c, uint8_t d, const std::string& name, uint8_t family,
                          uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor) {
    RemoteInfo info;
    std::memset(&info, 0, sizeof info);
    info.address = (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | uint32_t{d};
    std::memcpy(info.name, name.data(), std::min(name.size(), sizeof info.name));
    info.typeCode =
        (uint32_t{family} << 24) | (uint32_t{kind} << 16) | (uint32_t{sub} << 8) | uint32_t{letter};
    std::tie(info.versionMajor, info.versionMinor) = std::tuple(major, minor);
    return info;
}

void releaseUpload() {
    const Lock lock(g_log.mutex);
    g_log.released = true;
    g_log.changed.notify_all();
}

bool waitUploadGated(int timeoutMs) {
    return waitFor(timeoutMs, g_log.gated, 1);
}

bool waitUploadsFinished(int count, int timeoutMs) {
    return waitFor(timeoutMs, g_log.finished, count);
}

std::vector<UploadOutcome>& threadReport() {
    thread_local std::vector<UploadOutcome> report;
    return report;
}

std::vector<Call> calls(const std::string& function) {
    const Lock lock(g_log.mutex);
    std::vector<Call> all = g_log.calls;
    std::erase_if(all, [&](const Call& c) { return !function.empty() && c.function != function; });
    return all;
}

} // namespace fakedll

extern "C" {

int32_t DllScanNetwork(int32_t* ids, int32_t capacity) {
    logCall({.function = "DllScanNetwork", .id = capacity});
    std::copy_n(g_script.scanIds.begin(), std::min<size_t>(std::max(capacity, 0), g_script.scanIds.size()),
                ids);
    return g_script.scanCount.value_or(static_cast<int32_t>(g_script.scanIds.size()));
}

int32_t DllGetRemoteInfo(int32_t id, RemoteInfo* info) {
    logCall({.function = "DllGetRemoteInfo", .id = id});
    const auto found = g_script.devices.find(id);
    if (found == g_script.devices.end() || !found->second.answers)
        return 0;
    *info = found->second.info;
    return 1;
}

int32_t DllGetFileInfo(const char* path, char* name, int32_t* date1, int32_t* date2, int32_t* date3,
                       int32_t* fileType, int32_t* versionMajor, int32_t* versionMinor) {
    logCall({.function = "DllGetFileInfo", .path = path});
    const auto found = g_script.files.find(path);
    if (found == g_script.files.end() || found->second.result == 0)
        return 0;
    const fakedll::FileInfo& f = found->second;
    std::memcpy(name, f.name.c_str(), std::min<size_t>(f.name.size() + 1, 20));
    std::tie(*date1, *date2, *date3, *fileType, *versionMajor, *versionMinor) =
        std::tie(f.date1, f.date2, f.date3, f.fileType, f.versionMajor, f.versionMinor);
    return f.result;
}

int32_t DllUploadFile(int32_t id, const char* path, ProgressCallback callback) {
    return runUpload({.function = "DllUploadFile", .id = id, .path = path}, callback);
}

int32_t DllUploadFileToDevices(int32_t count, const int32_t* ids, const char* path,
                               ProgressCallback callback) {
    return runUpload(
        {.function = "DllUploadFileToDevices", .ids = {ids, ids + std::max(count, 0)}, .path = path},
        callback);
}

int32_t DllOpenPort(int32_t port) {
    logCall({.function = "DllOpenPort", .id = port});
    const auto found = g_script.portResults.find(port);
    return found == g_script.portResults.end() ? 1 : found->second;
}

} // extern "C"
