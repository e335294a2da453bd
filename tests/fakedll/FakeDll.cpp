#include "tests/fakedll/FakeDll.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

namespace {

// Everything reset() puts back.
struct Scripted {
    std::vector<int32_t> scanIds;
    int32_t scanCount = 0;
    std::map<int32_t, std::pair<RemoteInfo, bool>> devices; // the record, whether it answers
    std::map<std::string, fakedll::FileInfo> files;
    fakedll::UploadScript upload;
    std::map<int32_t, int32_t> portResults;
    std::vector<fakedll::Call> calls;
    bool released = false;
    int gated = 0, finished = 0;
};

struct State : Scripted {
    std::mutex mutex;
    std::condition_variable changed;
} g_state;

using Lock = std::unique_lock<std::mutex>;

size_t logCall(fakedll::Call call) {
    call.thread = std::this_thread::get_id();
    g_state.calls.push_back(std::move(call));
    return g_state.calls.size() - 1;
}

int32_t runUpload(fakedll::Call call, ProgressCallback callback) {
    Lock lock(g_state.mutex);
    const size_t entry = logCall(std::move(call));
    const fakedll::UploadScript script = g_state.upload;
    for (size_t i = 0; i <= script.progress.size(); ++i) {
        if (script.gateAfter >= 0 && i == std::min<size_t>(script.gateAfter, script.progress.size())) {
            ++g_state.gated;
            g_state.changed.notify_all();
            g_state.changed.wait_for(lock, std::chrono::seconds(10), [] { return g_state.released; });
        }
        if (i == script.progress.size())
            break;
        lock.unlock();
        const int32_t returned = callback(script.progress[i]);
        lock.lock();
        if (entry < g_state.calls.size()) // not reset meanwhile
            g_state.calls[entry].callbackReturns.push_back(returned);
    }
    ++g_state.finished;
    g_state.changed.notify_all();
    return script.result;
}

bool waitFor(int timeoutMs, int Scripted::*counter, int atLeast) {
    Lock lock(g_state.mutex);
    return g_state.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return g_state.*counter >= atLeast; });
}

} // namespace

namespace fakedll {

void reset() {
    const Lock lock(g_state.mutex);
    static_cast<Scripted&>(g_state) = Scripted{};
}

void setScan(std::vector<int32_t> ids, std::optional<int32_t> returnedCount) {
    const Lock lock(g_state.mutex);
    g_state.scanCount = returnedCount.value_or(static_cast<int32_t>(ids.size()));
    g_state.scanIds = std::move(ids);
}

void setDevice(int32_t id, const RemoteInfo& info) {
    const Lock lock(g_state.mutex);
    g_state.devices[id] = {info, true};
}

void setDeviceAnswers(int32_t id, bool answers) {
    const Lock lock(g_state.mutex);
    g_state.devices[id].second = answers;
}

RemoteInfo makeRemoteInfo(uint8_t a, uint8_t b, uint8_t c, uint8_t d, const std::string& name, uint8_t family,
                          uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor) {
    RemoteInfo info;
    std::memset(&info, 0, sizeof info);
    info.address = (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | uint32_t{d};
    std::memcpy(info.name, name.data(), std::min(name.size(), sizeof info.name));
    info.typeCode =
        (uint32_t{family} << 24) | (uint32_t{kind} << 16) | (uint32_t{sub} << 8) | uint32_t{letter};
    info.versionMajor = major;
    info.versionMinor = minor;
    return info;
}

void setFileInfo(const std::string& path, const FileInfo& info) {
    const Lock lock(g_state.mutex);
    g_state.files[path] = info;
}

void setUploadScript(const UploadScript& script) {
    const Lock lock(g_state.mutex);
    g_state.upload = script;
}

void releaseUpload() {
    const Lock lock(g_state.mutex);
    g_state.released = true;
    g_state.changed.notify_all();
}

bool waitUploadGated(int timeoutMs) {
    return waitFor(timeoutMs, &Scripted::gated, 1);
}

bool waitUploadsFinished(int count, int timeoutMs) {
    return waitFor(timeoutMs, &Scripted::finished, count);
}

void setOpenPortResult(int32_t port, int32_t result) {
    const Lock lock(g_state.mutex);
    g_state.portResults[port] = result;
}

std::vector<Call> calls(const std::string& function) {
    const Lock lock(g_state.mutex);
    std::vector<Call> all = g_state.calls;
    std::erase_if(all, [&](const Call& c) { return !function.empty() && c.function != function; });
    return all;
}

} // namespace fakedll

extern "C" {

int32_t DllScanNetwork(int32_t* ids, int32_t capacity) {
    const Lock lock(g_state.mutex);
    logCall({.function = "DllScanNetwork", .id = capacity});
    std::copy_n(g_state.scanIds.begin(), std::min<size_t>(std::max(capacity, 0), g_state.scanIds.size()),
                ids);
    return g_state.scanCount;
}

int32_t DllGetRemoteInfo(int32_t id, RemoteInfo* info) {
    const Lock lock(g_state.mutex);
    logCall({.function = "DllGetRemoteInfo", .id = id});
    const auto found = g_state.devices.find(id);
    if (found == g_state.devices.end() || !found->second.second)
        return 0;
    *info = found->second.first;
    return 1;
}

int32_t DllGetFileInfo(const char* path, char* name, int32_t* date1, int32_t* date2, int32_t* date3,
                       int32_t* fileType, int32_t* versionMajor, int32_t* versionMinor) {
    const Lock lock(g_state.mutex);
    logCall({.function = "DllGetFileInfo", .path = path});
    const auto found = g_state.files.find(path);
    if (found == g_state.files.end() || found->second.result == 0)
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
    const Lock lock(g_state.mutex);
    logCall({.function = "DllOpenPort", .id = port});
    const auto found = g_state.portResults.find(port);
    return found == g_state.portResults.end() ? 1 : found->second;
}

} // extern "C"
