// The exported operations (DllGetFileInfo and DllGetFileDetails in FileInfo.cpp). Nothing is thrown across
// this boundary: any unexpected exception (allocation failure) turns into a 0 result. Each upload operation
// leaves the outcome of every target for DllGetUploadReport, whichever way it returns.
#include "devlib/TestDll.h"

#include "devlib/DeviceProgress.h"
#include "devlib/Discovery.h"
#include "devlib/Endpoints.h"
#include "devlib/InfoCache.h"
#include "devlib/LibConfig.h"
#include "devlib/SerialPort.h"
#include "devlib/UploadReport.h"
#include "devlib/UploadRunner.h"
#include "wire/FirmwareImage.h"

#include <termios.h>

#include <algorithm>
#include <cstring>

using namespace testdll;

namespace {

// Nothing escapes the boundary; the report says so as far as memory allows.
int32_t failedCall(const int32_t* ids, int32_t count) {
    try {
        reportAll(ids, count, UPLOAD_TRANSFER_FAILED, "the library ran out of memory");
    } catch (...) {
    }
    return 0;
}

// What both upload operations do once their targets are checked: load and check the
// image (before any device is contacted, held once for all targets), open one session
// per target with `connect`, run them, and leave the report. The targets' next info
// queries ask them afresh, all at once.
template <class Connect>
int32_t uploadImage(const char* path, const int32_t* ids, int32_t count, std::uint32_t chunkSize,
                    ProgressCallback callback, Connect connect) {
    fwimage::ImageBytes bytes;
    fwimage::ImageInfo info;
    std::vector<std::uint32_t> crcs;
    if (fwimage::loadImageFile(path, bytes, info, chunkSize, crcs) != fwimage::ImageError::None) {
        reportAll(ids, count, UPLOAD_UNREACHABLE, "not sent: the file is not a valid firmware image");
        return 0;
    }
    const SharedImage image(bytes, info.payloadCrc, chunkSize, info.typeCode, std::move(crcs),
                            info.signature);
    std::vector<std::unique_ptr<UploadSession>> sessions;
    sessions.reserve(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i)
        sessions.push_back(connect(ids[i], image));
    const int32_t result = runUploads(sessions, callback);
    infoCache().uploaded(ids, static_cast<std::size_t>(count));
    reportSessions(sessions);
    return result;
}

} // namespace

extern "C" {

TESTDLL_API int32_t DllScanNetwork(int32_t* ids, int32_t capacity) {
    try {
        return scanNetwork(ids, capacity);
    } catch (...) {
        return 0;
    }
}

TESTDLL_API int32_t DllGetRemoteInfo(int32_t id, RemoteInfo* info) {
    if (info == nullptr)
        return 0;
    try {
        return queryInfo(id, *info) ? 1 : 0;
    } catch (...) {
        std::memset(info, 0, sizeof *info);
        return 0;
    }
}

TESTDLL_API int32_t DllUploadFileToDevices(int32_t count, const int32_t* ids, const char* path,
                                           ProgressCallback callback) {
    try {
        if (count <= 0 || ids == nullptr || path == nullptr) {
            reportAll(ids, std::max(count, 0), UPLOAD_UNREACHABLE, "not sent: no file or no targets named");
            return 0;
        }
        if (std::any_of(ids, ids + count, [](int32_t id) { return id == 0; })) {
            reportAll(ids, count, UPLOAD_UNREACHABLE, "not sent: the targets name the empty slot 0");
            return 0;
        }
        const auto timeout = config().timeout;
        return uploadImage(path, ids, count, wire::kNetworkChunkSize, callback,
                           [&](int32_t id, const SharedImage& image) {
                               return UploadSession::connectTcp(id, image, endpointFor(id), timeout);
                           });
    } catch (...) {
        return failedCall(ids, count);
    }
}

TESTDLL_API int32_t DllUploadFile(int32_t id, const char* path, ProgressCallback callback) {
    try {
        if (id == 0 || path == nullptr) {
            reportAll(&id, 1, UPLOAD_UNREACHABLE,
                      id == 0 ? "not sent: 0 is the empty slot, not a device" : "not sent: no file named");
            return 0;
        }
        std::lock_guard line(serialLineMutex());
        const int fd = currentSerialFd();
        if (fd < 0) {
            reportAll(&id, 1, UPLOAD_UNREACHABLE, "not sent: no serial port is open");
            return 0;
        }
        return uploadImage(path, &id, 1, wire::kSerialChunkSize, callback,
                           [&](int32_t target, const SharedImage& image) {
                               // Whatever an earlier, abandoned session left on the line is stale.
                               ::tcflush(fd, TCIOFLUSH);
                               return UploadSession::overStream(target, image, fd, config().timeout);
                           });
    } catch (...) {
        return failedCall(&id, 1);
    }
}

TESTDLL_API int32_t DllOpenPort(int32_t port) {
    try {
        return openSerialPort(port) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

TESTDLL_API int32_t DllGetUploadReport(UploadOutcome* out, int32_t capacity) {
    return copyReport(out, capacity);
}

TESTDLL_API int32_t DllSetDeviceProgress(DeviceProgressCallback callback, void* context) {
    setDeviceObserver({callback, context});
    return 1;
}

} // extern "C"
