// The device-access library behind DeviceLibrary: the only place that calls
// the library's C operations. The six older ones are bound when the program
// loads; the newer ones (each device's report and progress, a file's details)
// are looked up where the program runs, so it still runs on a library that
// lacks them.
#pragma once

#include "core/DeviceLibrary.h"

class TestDllLibrary final : public DeviceLibrary {
public:
    TestDllLibrary();

    int32_t scanNetwork(int32_t* ids, int32_t capacity) override;
    std::optional<DeviceInfo> remoteInfo(int32_t id) override;
    std::optional<ImageFileInfo> fileInfo(const QByteArray& path) override;
    std::optional<ImageFileDetails> fileDetails(const QByteArray& path) override;
    bool openPort(int port) override;
    UploadReply upload(const UploadRequest& request, UploadObserver& observer) override;
    bool reportsEachDevice() const override { return m_setDeviceProgress != nullptr; }
    QString station(int serialPort) const override;

private:
    using ReportFn = int32_t (*)(void* outcomes, int32_t capacity);
    using SetDeviceProgressFn = int32_t (*)(void (*)(int32_t, int32_t, int32_t, void*), void*);
    using FileDetailsFn = int32_t (*)(const char*, void*);

    ReportFn m_report = nullptr;
    SetDeviceProgressFn m_setDeviceProgress = nullptr;
    FileDetailsFn m_fileDetails = nullptr;
};
