#include "FakeDll.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

namespace {

struct Device {
    RemoteInfo info;
    bool answers = true;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int32_t> scanIds;
    int32_t scanCount = 0;
    std::map<int32_t, Device> devices;
    std::map<std::string, fakedll::FileInfo> files;
    fakedll::UploadScript upload;
    std::map<int32_t, int32_t> portResults;
    std::vector<fakedll::Call> calls;
    bool released = false;
    int gated = 0;
    int finished = 0;
    unsigned generation = 0; // bumped by reset(): a waiting upload lets go
};

State& state() {
    static State s;
    return s;
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

    for (size_t i = 0; i < script.progress.size(); ++i) {
        if (script.gateAfter >= 0 && i == static_cast<size_t>(script.gateAfter)) {
            ++s.gated;
            s.changed.notify_all();
            s.changed.wait_for(lock, std::chrono::milliseconds(script.gateTimeoutMs),
                               [&] { return s.released || s.generation != generation; });
        }
        if (!callback)
            continue;
        lock.unlock();
        const int32_t returned = callback(script.progress[i]);
        lock.lock();
        if (s.generation == generation && entry < s.calls.size())
            s.calls[entry].callbackReturns.push_back(returned);
    }
    if (script.gateAfter >= 0 && static_cast<size_t>(script.gateAfter) >= script.progress.size()) {
        ++s.gated;
        s.changed.notify_all();
        s.changed.wait_for(lock, std::chrono::milliseconds(script.gateTimeoutMs),
                           [&] { return s.released || s.generation != generation; });
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
    s.scanIds.clear();
    s.scanCount = 0;
    s.devices.clear();
    s.files.clear();
    s.upload = UploadScript{};
    s.portResults.clear();
    s.calls.clear();
    s.released = false;
    s.gated = 0;
    s.finished = 0;
    ++s.generation;
    s.changed.notify_all();
}

void setScan(std::vector<int32_t> ids, int32_t returnedCount) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.scanIds = std::move(ids);
    s.scanCount = returnedCount;
}

void setScan(std::vector<int32_t> ids) {
    const auto count = static_cast<int32_t>(ids.size());
    setScan(std::move(ids), count);
}

void setDevice(int32_t id, const RemoteInfo& info) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.devices[id] = Device{info, true};
}

void setDeviceAnswers(int32_t id, bool answers) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto found = s.devices.find(id);
    if (found != s.devices.end())
        found->second.answers = answers;
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
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.files[path] = info;
}

void setUploadScript(const UploadScript& script) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.upload = script;
}

void releaseUpload() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.released = true;
    s.changed.notify_all();
}

bool waitUploadGated(int timeoutMs) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s.gated > 0; });
}

bool waitUploadsFinished(int count, int timeoutMs) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.finished >= count; });
}

void setOpenPortResult(int32_t port, int32_t result) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.portResults[port] = result;
}

std::vector<Call> calls() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.calls;
}

std::vector<Call> calls(const std::string& function) {
    std::vector<Call> matching;
    for (Call& call : calls()) {
        if (call.function == function)
            matching.push_back(std::move(call));
    }
    return matching;
}

int remoteInfoQueries() {
    return static_cast<int>(calls("DllGetRemoteInfo").size());
}

int remoteInfoQueries(int32_t id) {
    const auto queries = calls("DllGetRemoteInfo");
    return static_cast<int>(
        std::count_if(queries.begin(), queries.end(), [id](const Call& c) { return c.id == id; }));
}

} // namespace fakedll

extern "C" {

int32_t DllScanNetwork(int32_t* ids, int32_t capacity) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    fakedll::Call call;
    call.function = "DllScanNetwork";
    call.count = capacity;
    logCall(s, std::move(call));
    const size_t room = capacity > 0 ? static_cast<size_t>(capacity) : 0;
    const size_t written = std::min(room, s.scanIds.size());
    if (ids)
        std::copy_n(s.scanIds.begin(), written, ids);
    return s.scanCount;
}

int32_t DllGetRemoteInfo(int32_t id, RemoteInfo* info) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    fakedll::Call call;
    call.function = "DllGetRemoteInfo";
    call.id = id;
    logCall(s, std::move(call));
    const auto found = s.devices.find(id);
    if (found == s.devices.end() || !found->second.answers || !info)
        return 0;
    std::memcpy(info, &found->second.info, sizeof *info);
    return 1;
}

int32_t DllGetFileInfo(const char* path, char* name, int32_t* date1, int32_t* date2, int32_t* date3,
                       int32_t* fileType, int32_t* versionMajor, int32_t* versionMinor) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    fakedll::Call call;
    call.function = "DllGetFileInfo";
    call.path = path ? path : "";
    logCall(s, call);
    const auto found = s.files.find(call.path);
    if (found == s.files.end() || found->second.result == 0)
        return 0;
    const fakedll::FileInfo& file = found->second;
    if (name) {
        constexpr size_t kNameBuffer = 20;
        const size_t length = std::min(file.name.size(), kNameBuffer);
        std::memcpy(name, file.name.data(), length);
        if (length < kNameBuffer)
            name[length] = '\0';
    }
    const auto put = [](int32_t* out, int32_t value) {
        if (out)
            *out = value;
    };
    put(date1, file.date1);
    put(date2, file.date2);
    put(date3, file.date3);
    put(fileType, file.fileType);
    put(versionMajor, file.versionMajor);
    put(versionMinor, file.versionMinor);
    return file.result;
}

int32_t DllUploadFile(int32_t id, const char* path, ProgressCallback callback) {
    fakedll::Call call;
    call.function = "DllUploadFile";
    call.id = id;
    call.path = path ? path : "";
    call.hasCallback = callback != nullptr;
    return runUpload(std::move(call), callback);
}

int32_t DllUploadFileToDevices(int32_t count, const int32_t* ids, const char* path,
                               ProgressCallback callback) {
    fakedll::Call call;
    call.function = "DllUploadFileToDevices";
    call.count = count;
    if (ids && count > 0)
        call.ids.assign(ids, ids + count);
    call.path = path ? path : "";
    call.hasCallback = callback != nullptr;
    return runUpload(std::move(call), callback);
}

int32_t DllOpenPort(int32_t port) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    fakedll::Call call;
    call.function = "DllOpenPort";
    call.port = port;
    logCall(s, std::move(call));
    const auto found = s.portResults.find(port);
    return found == s.portResults.end() ? 1 : found->second;
}

} // extern "C"
