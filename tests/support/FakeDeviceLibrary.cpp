#include "tests/support/FakeDeviceLibrary.h"

#include <algorithm>
#include <chrono>

namespace zutest {

using Lock = std::unique_lock<std::mutex>;

DeviceInfo makeDevice(uint8_t a, uint8_t b, uint8_t c, uint8_t d, const QByteArray& name, uint8_t family,
                      uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor) {
    return {(uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | uint32_t{d}, name,
            (uint32_t{family} << 24) | (uint32_t{kind} << 16) | (uint32_t{sub} << 8) | uint32_t{letter},
            major, minor};
}

void FakeDeviceLibrary::reset() {
    const Lock lock(m_mutex);
    m_script = FakeScript{};
    m_calls.clear();
    m_released = false;
    m_gated = m_finished = 0;
}

size_t FakeDeviceLibrary::log(FakeCall call) {
    const Lock lock(m_mutex);
    m_calls.push_back(std::move(call));
    return m_calls.size() - 1;
}

std::vector<FakeCall> FakeDeviceLibrary::calls(const std::string& function) const {
    const Lock lock(m_mutex);
    std::vector<FakeCall> all = m_calls;
    std::erase_if(all, [&](const FakeCall& c) { return !function.empty() && c.function != function; });
    return all;
}

int32_t FakeDeviceLibrary::scanNetwork(int32_t* ids, int32_t capacity) {
    log({.function = "DllScanNetwork", .id = capacity});
    std::copy_n(m_script.scanIds.begin(), std::min<size_t>(std::max(capacity, 0), m_script.scanIds.size()),
                ids);
    return m_script.scanCount.value_or(static_cast<int32_t>(m_script.scanIds.size()));
}

std::optional<DeviceInfo> FakeDeviceLibrary::remoteInfo(int32_t id) {
    log({.function = "DllGetRemoteInfo", .id = id});
    const Lock lock(m_mutex); // the worker asks too, after an upload
    const auto found = m_script.devices.find(id);
    if (found == m_script.devices.end() || !found->second.answers)
        return std::nullopt;
    return found->second.info;
}

std::optional<ImageFileInfo> FakeDeviceLibrary::fileInfo(const QByteArray& path) {
    log({.function = "DllGetFileInfo", .path = path});
    const auto found = m_script.files.find(path);
    if (found == m_script.files.end() || !found->second.valid)
        return std::nullopt;
    return found->second.info;
}

bool FakeDeviceLibrary::openPort(int port) {
    log({.function = "DllOpenPort", .id = port});
    const auto found = m_script.portResults.find(port);
    return found == m_script.portResults.end() || found->second;
}

QString FakeDeviceLibrary::station(int serialPort) const {
    return serialPort != 0 ? QStringLiteral("/dev/ttyS%1").arg(serialPort - 1)
                           : QStringLiteral("127.0.0.1:47300");
}

UploadReply FakeDeviceLibrary::upload(const UploadRequest& request, UploadObserver& observer) {
    const FakeUpload& script = m_script.upload;
    UploadReply reply{script.result, {}};
    const auto file = m_script.files.find(request.path);
    {
        const Lock lock(m_mutex);
        for (const int32_t id : request.ids) {
            const auto scripted = script.outcomes.find(id);
            const FakeOutcome o = scripted == script.outcomes.end() ? FakeOutcome{} : scripted->second;
            if (script.report)
                reply.report.push_back({id, o.code, o.reason});
            const auto device = m_script.devices.find(id);
            if (o.code == 0 && o.installs && device != m_script.devices.end() &&
                file != m_script.files.end()) {
                device->second.info.versionMajor = file->second.info.versionMajor;
                device->second.info.versionMinor = file->second.info.versionMinor;
            }
        }
    }
    const size_t entry =
        request.serial
            ? log({.function = "DllUploadFile", .id = request.ids.front(), .path = request.path})
            : log({.function = "DllUploadFileToDevices", .ids = request.ids, .path = request.path});
    Lock lock(m_mutex);
    for (size_t i = 0; i <= script.progress.size(); ++i) {
        if (script.gateAfter >= 0 && i == std::min<size_t>(script.gateAfter, script.progress.size())) {
            ++m_gated;
            m_changed.notify_all();
            m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_released; });
        }
        if (i == script.progress.size())
            break;
        lock.unlock();
        const bool goOn = observer.progress(script.progress[i]);
        if (!request.ids.empty())
            observer.deviceProgress(request.ids.front(),
                                    script.progress[i] > 95 ? DevicePhase::Flash : DevicePhase::Transfer,
                                    script.progress[i]);
        lock.lock();
        m_calls[entry].callbackReturns.push_back(goOn ? 1 : 0);
    }
    ++m_finished;
    m_changed.notify_all();
    return reply;
}

void FakeDeviceLibrary::releaseUpload() {
    const Lock lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
}

bool FakeDeviceLibrary::waitFor(int timeoutMs, const int& counter, int atLeast) {
    Lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return counter >= atLeast; });
}

bool FakeDeviceLibrary::waitUploadGated(int timeoutMs) {
    return waitFor(timeoutMs, m_gated, 1);
}

bool FakeDeviceLibrary::waitUploadsFinished(int count, int timeoutMs) {
    return waitFor(timeoutMs, m_finished, count);
}

} // namespace zutest
