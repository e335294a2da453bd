// The eight exported operations. Nothing is thrown across this boundary: any
// unexpected exception (allocation failure) turns into a 0 result. Each upload
// operation leaves the outcome of every target for DllGetUploadReport, whichever
// way it returns.
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

// Loads the image with the CRC of every `chunkSize` chunk, or reports every target as not
// sent and returns false.
bool loadImage(const char* path, std::uint32_t chunkSize, fwimage::ImageBytes& bytes,
               fwimage::ImageInfo& info, std::vector<std::uint32_t>& chunkCrcs, const int32_t* ids,
               int32_t count) {
    if (fwimage::loadImageFile(path, bytes, info, chunkSize, chunkCrcs) == fwimage::ImageError::None)
        return true;
    reportAll(ids, count, UPLOAD_UNREACHABLE, "not sent: the file is not a valid firmware image");
    return false;
}

// An upload may have changed what these devices report: their next query asks them.
void forgetInfo(const int32_t* ids, int32_t count) {
    for (int32_t i = 0; i < count; ++i)
        infoCache().forget(ids[i]);
}

// Nothing escapes the boundary; the report says so as far as memory allows.
int32_t failedCall(const int32_t* ids, int32_t count) {
    try {
        reportAll(ids, count, UPLOAD_TRANSFER_FAILED, "the library ran out of memory");
    } catch (...) {
    }
    return 0;
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
        // The image is checked before any device is contacted, and held once for all targets.
        fwimage::ImageBytes bytes;
        fwimage::ImageInfo info;
        std::vector<std::uint32_t> crcs;
        if (!loadImage(path, wire::kNetworkChunkSize, bytes, info, crcs, ids, count))
            return 0;
        const SharedImage image(bytes, info.payloadCrc, wire::kNetworkChunkSize, info.typeCode,
                                std::move(crcs));
        const auto timeout = config().timeout;
        std::vector<std::unique_ptr<UploadSession>> sessions;
        sessions.reserve(static_cast<std::size_t>(count));
        for (int32_t i = 0; i < count; ++i)
            sessions.push_back(UploadSession::connectTcp(ids[i], image, endpointFor(ids[i]), timeout));
        const int32_t result = runUploads(sessions, callback);
        forgetInfo(ids, count);
        reportSessions(sessions);
        return result;
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
        fwimage::ImageBytes bytes;
        fwimage::ImageInfo info;
        std::vector<std::uint32_t> crcs;
        if (!loadImage(path, wire::kSerialChunkSize, bytes, info, crcs, &id, 1))
            return 0;
        // Whatever an earlier, abandoned session left on the line is stale.
        ::tcflush(fd, TCIOFLUSH);
        const SharedImage image(bytes, info.payloadCrc, wire::kSerialChunkSize, info.typeCode,
                                std::move(crcs));
        std::vector<std::unique_ptr<UploadSession>> sessions;
        sessions.push_back(UploadSession::overStream(id, image, fd, config().timeout));
        const int32_t result = runUploads(sessions, callback);
        forgetInfo(&id, 1);
        reportSessions(sessions);
        return result;
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
    setDeviceObserver(callback, context);
    return 1;
}

} // extern "C"
