#include "core/TestDllLibrary.h"

#include "devlib/TestDll.h"

#include <QtGlobal>

#include <cstring>

#ifdef Q_OS_WIN
#    define NOMINMAX
#    define WIN32_LEAN_AND_MEAN
#    include <windows.h>
#else
#    include <dlfcn.h>
#endif

namespace {

// The library's exported operation `name`, or null when it has none.
void* libraryFunction(const char* name) {
#ifdef Q_OS_WIN
    const HMODULE library = GetModuleHandleW(L"TestDll.dll");
    return library ? reinterpret_cast<void*>(GetProcAddress(library, name)) : nullptr;
#else
    return dlsym(RTLD_DEFAULT, name);
#endif
}

template <typename Function> Function lookUp(const char* name) {
    return reinterpret_cast<Function>(libraryFunction(name));
}

QByteArray textOf(const char* text, size_t capacity) {
    return {text, static_cast<qsizetype>(strnlen(text, capacity))};
}

// The observer of the call running on this thread: the progress callback gets no context.
thread_local UploadObserver* t_observer = nullptr;

extern "C" int32_t onProgress(int32_t value) {
    return t_observer == nullptr || t_observer->progress(value) ? 1 : 0;
}

extern "C" void onDeviceProgress(int32_t id, int32_t phase, int32_t percent, void* context) {
    static_cast<UploadObserver*>(context)->deviceProgress(id, static_cast<DevicePhase>(phase), percent);
}

static_assert(static_cast<int>(TargetOutcome::Committed) == UPLOAD_COMMITTED &&
                  static_cast<int>(TargetOutcome::Cancelled) == UPLOAD_CANCELLED &&
                  kLibraryOutcomes == UPLOAD_CANCELLED + 1,
              "the first outcomes are the library's codes");
static_assert(static_cast<int>(DevicePhase::Transfer) == DEVICE_PHASE_TRANSFER &&
                  static_cast<int>(DevicePhase::Flash) == DEVICE_PHASE_FLASH,
              "the phases are the library's codes");

} // namespace

TestDllLibrary::TestDllLibrary()
    : m_report(lookUp<ReportFn>("DllGetUploadReport")),
      m_setDeviceProgress(lookUp<SetDeviceProgressFn>("DllSetDeviceProgress")),
      m_fileDetails(lookUp<FileDetailsFn>("DllGetFileDetails")) {}

int32_t TestDllLibrary::scanNetwork(int32_t* ids, int32_t capacity) {
    return DllScanNetwork(ids, capacity);
}

std::optional<DeviceInfo> TestDllLibrary::remoteInfo(int32_t id) {
    RemoteInfo record;
    std::memset(&record, 0, sizeof record);
    if (DllGetRemoteInfo(id, &record) == 0)
        return std::nullopt;
    // The library need not terminate the name: never read past its 64 bytes.
    return DeviceInfo{record.address, textOf(record.name, sizeof record.name), record.typeCode,
                      record.versionMajor, record.versionMinor};
}

std::optional<ImageFileInfo> TestDllLibrary::fileInfo(const QByteArray& path) {
    char name[20] = {};
    ImageFileInfo info;
    if (DllGetFileInfo(path.constData(), name, &info.date1, &info.date2, &info.date3, &info.fileType,
                       &info.versionMajor, &info.versionMinor) == 0)
        return std::nullopt;
    // The library may fill all 20 bytes: the name is at most 19 characters.
    info.name = textOf(name, sizeof name - 1);
    return info;
}

std::optional<ImageFileDetails> TestDllLibrary::fileDetails(const QByteArray& path) {
    if (m_fileDetails == nullptr)
        return std::nullopt;
    FileDetails record;
    std::memset(&record, 0, sizeof record);
    const bool valid = m_fileDetails(path.constData(), &record) != 0;
    ImageFileDetails details;
    if (!valid) {
        details.problem = QString::fromUtf8(textOf(record.problem, sizeof record.problem));
        if (details.problem.isEmpty())
            details.problem = QStringLiteral("not a firmware image");
    } else if (record.isSigned == 1) {
        details.isSigned = true;
        details.keyId = QByteArray(reinterpret_cast<const char*>(record.keyId), sizeof record.keyId);
        details.securityCounter = record.securityCounter;
    }
    return details;
}

bool TestDllLibrary::openPort(int port) {
    return DllOpenPort(port) != 0;
}

UploadReply TestDllLibrary::upload(const UploadRequest& request, UploadObserver& observer) {
    UploadReply reply;
    if (request.ids.empty())
        return reply;
    t_observer = &observer;
    // The library takes the observer when the call starts, so it is set just before.
    if (m_setDeviceProgress)
        m_setDeviceProgress(onDeviceProgress, &observer);
    const char* path = request.path.constData();
    reply.status = request.serial ? DllUploadFile(request.ids.front(), path, onProgress)
                                  : DllUploadFileToDevices(static_cast<int32_t>(request.ids.size()),
                                                           request.ids.data(), path, onProgress);
    if (m_setDeviceProgress)
        m_setDeviceProgress(nullptr, nullptr);
    t_observer = nullptr;

    // Still on this thread: the library's report is of this thread's last call. It counts
    // only when it names the call's targets in order.
    if (m_report == nullptr)
        return reply;
    const size_t count = request.serial ? 1 : request.ids.size();
    std::vector<UploadOutcome> outcomes(count);
    if (m_report(outcomes.data(), static_cast<int32_t>(count)) != static_cast<int32_t>(count))
        return reply;
    for (size_t i = 0; i < count; ++i) {
        if (outcomes[i].id != request.ids[i])
            return reply;
    }
    for (const UploadOutcome& o : outcomes)
        reply.report.push_back({o.id, o.outcome, QString::fromLatin1(textOf(o.reason, sizeof o.reason))});
    return reply;
}

QString TestDllLibrary::station(int serialPort) const {
#ifdef Q_OS_WIN
    return serialPort != 0 ? QStringLiteral("COM%1").arg(serialPort) : QStringLiteral("network");
#else
    // As our library reads its environment: a value it could not use leaves its default.
    if (serialPort != 0) {
        const QString device = qEnvironmentVariable(serialPort == 1 ? "TESTDLL_COM1" : "TESTDLL_COM2");
        return !device.isEmpty() ? device : QStringLiteral("/dev/ttyS%1").arg(serialPort - 1);
    }
    const QString network = qEnvironmentVariable("TESTDLL_NETWORK");
    const qsizetype colon = network.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const int port = colon > 0 ? network.mid(colon + 1).toInt(&portOk) : 0;
    return portOk && port >= 1 && port <= 65535 ? network : QStringLiteral("127.0.0.1:47300");
#endif
}
