#include "FakeDll.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

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
    int gated = 0;
    int finished = 0;
};

struct State : Scripted {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned generation = 0; // bumped by reset(): a waiting upload lets go
};

State& state() {
    static State s;
    return s;
}

// Runs f(state) under the lock.
template <typename F> auto locked(F f) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return f(s);
}

// Appends to the log and returns the entry's index.
size_t logCall(State& s, fakedll::Call call) {
    call.thread = std::this_thread::get_id();
    s.calls.push_back(std::move(call));
    return s.calls.size() - 1;
}

int32_t runUpload(fakedll::Call call, ProgressCallback callback) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    const size_t entry = logCall(s, std::move(call));
    const fakedll::UploadScript script = s.upload;
    const unsigned generation = s.generation;

    const size_t gate = std::min(static_cast<size_t>(script.gateAfter), script.progress.size());
    for (size_t i = 0;; ++i) {
        if (script.gateAfter >= 0 && i == gate) {
            ++s.gated;
            s.changed.notify_all();
            s.changed.wait_for(lock, std::chrono::milliseconds(script.gateTimeoutMs),
                               [&] { return s.released || s.generation != generation; });
        }
        if (i == script.progress.size())
            break;
        if (!callback)
            continue;
        lock.unlock();
        const int32_t returned = callback(script.progress[i]);
        lock.lock();
        if (s.generation == generation && entry < s.calls.size())
            s.calls[entry].callbackReturns.push_back(returned);
    }
    ++s.finished;
    s.changed.notify_all();
    return script.result;
}

} // namespace

namespace fakedll {

void reset() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    static_cast<Scripted&>(s) = Scripted{};
    ++s.generation;
    s.changed.notify_all();
}

void setScan(std::vector<int32_t> ids, std::optional<int32_t> returnedCount) {
    const auto count = returnedCount.value_or(static_cast<int32_t>(ids.size()));
    locked([&](State& s) { s.scanIds = std::move(ids), s.scanCount = count; });
}

void setDevice(int32_t id, const RemoteInfo& info) {
    locked([&](State& s) { s.devices[id] = {info, true}; });
}

void setDeviceAnswers(int32_t id, bool answers) {
    locked([&](State& s) {
        if (auto found = s.devices.find(id); found != s.devices.end())
            found->second.second = answers;
    });
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
    locked([&](State& s) { s.files[path] = info; });
}

void setUploadScript(const UploadScript& script) {
    locked([&](State& s) { s.upload = script; });
}

void releaseUpload() {
    locked([](State& s) {
        s.released = true;
        s.changed.notify_all();
    });
}

// Waits until a counter reaches `atLeast`; false on timeout.
bool waitFor(int timeoutMs, const int State::*counter, int atLeast) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.*counter >= atLeast; });
}

bool waitUploadGated(int timeoutMs) {
    return waitFor(timeoutMs, &State::gated, 1);
}

bool waitUploadsFinished(int count, int timeoutMs) {
    return waitFor(timeoutMs, &State::finished, count);
}

void setOpenPortResult(int32_t port, int32_t result) {
    locked([&](State& s) { s.portResults[port] = result; });
}

std::vector<Call> calls() {
    return locked([](State& s) { return s.calls; });
}

std::vector<Call> calls(const std::string& function) {
    auto all = calls();
    std::erase_if(all, [&](const Call& c) { return c.function != function; });
    return all;
}

int remoteInfoQueries(std::optional<int32_t> id) {
    const auto queries = calls("DllGetRemoteInfo");
    return static_cast<int>(
        std::count_if(queries.begin(), queries.end(), [id](const Call& c) { return !id || c.id == *id; }));
}

} // namespace fakedll

extern "C" {

int32_t DllScanNetwork(int32_t* ids, int32_t capacity) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    logCall(s, {.function = "DllScanNetwork", .count = capacity});
    if (ids && capacity > 0)
        std::copy_n(s.scanIds.begin(), std::min(static_cast<size_t>(capacity), s.scanIds.size()), ids);
    return s.scanCount;
}

int32_t DllGetRemoteInfo(int32_t id, RemoteInfo* info) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    logCall(s, {.function = "DllGetRemoteInfo", .id = id});
    const auto found = s.devices.find(id);
    if (found == s.devices.end() || !found->second.second || !info)
        return 0;
    std::memcpy(info, &found->second.first, sizeof *info);
    return 1;
}

int32_t DllGetFileInfo(const char* path, char* name, int32_t* date1, int32_t* date2, int32_t* date3,
                       int32_t* fileType, int32_t* versionMajor, int32_t* versionMinor) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    const std::string file = path ? path : "";
    logCall(s, {.function = "DllGetFileInfo", .path = file});
    const auto found = s.files.find(file);
    if (found == s.files.end() || found->second.result == 0)
        return 0;
    const fakedll::FileInfo& f = found->second;
    if (name) // 20 bytes at most; the terminator only when the name is shorter
        std::memcpy(name, f.name.c_str(), std::min(f.name.size() + 1, size_t{20}));
    int32_t* outs[] = {date1, date2, date3, fileType, versionMajor, versionMinor};
    const int32_t values[] = {f.date1, f.date2, f.date3, f.fileType, f.versionMajor, f.versionMinor};
    for (size_t i = 0; i < 6; ++i)
        if (outs[i])
            *outs[i] = values[i];
    return f.result;
}

int32_t DllUploadFile(int32_t id, const char* path, ProgressCallback callback) {
    return runUpload(
        {.function = "DllUploadFile", .id = id, .path = path ? path : "", .hasCallback = callback != nullptr},
        callback);
}

int32_t DllUploadFileToDevices(int32_t count, const int32_t* ids, const char* path,
                               ProgressCallback callback) {
    fakedll::Call call{.function = "DllUploadFileToDevices",
                       .count = count,
                       .path = path ? path : "",
                       .hasCallback = callback != nullptr};
    if (ids && count > 0)
        call.ids.assign(ids, ids + count);
    return runUpload(std::move(call), callback);
}

int32_t DllOpenPort(int32_t port) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    logCall(s, {.function = "DllOpenPort", .port = port});
    const auto found = s.portResults.find(port);
    return found == s.portResults.end() ? 1 : found->second;
}

} // extern "C"
