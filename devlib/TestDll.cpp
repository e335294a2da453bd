// The six exported operations. Nothing is thrown across this boundary: any
// unexpected exception (allocation failure) turns into a 0 result.
#include "devlib/TestDll.h"

#include "devlib/Discovery.h"
#include "devlib/Endpoints.h"
#include "devlib/LibConfig.h"
#include "devlib/SerialPort.h"
#include "devlib/UploadRunner.h"
#include "wire/FirmwareImage.h"

#include <termios.h>

#include <algorithm>
#include <cstring>

using namespace testdll;

namespace {

bool loadImage(const char* path, std::vector<std::uint8_t>& bytes, fwimage::ImageInfo& info) {
    return path != nullptr && fwimage::loadImageFile(path, bytes, info) == fwimage::ImageError::None;
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
    if (count <= 0 || ids == nullptr || path == nullptr)
        return 0;
    if (std::any_of(ids, ids + count, [](int32_t id) { return id == 0; }))
        return 0;
    try {
        // The image is checked before any device is contacted, and held once for all targets.
        std::vector<std::uint8_t> bytes;
        fwimage::ImageInfo info;
        if (!loadImage(path, bytes, info))
            return 0;
        const SharedImage image(bytes, info.payloadCrc, wire::kNetworkChunkSize);
        const auto timeout = config().timeout;
        std::vector<std::unique_ptr<UploadSession>> sessions;
        sessions.reserve(static_cast<std::size_t>(count));
        for (int32_t i = 0; i < count; ++i)
            sessions.push_back(UploadSession::connectTcp(ids[i], image, endpointFor(ids[i]), timeout));
        return runUploads(sessions, callback);
    } catch (...) {
        return 0;
    }
}

TESTDLL_API int32_t DllUploadFile(int32_t id, const char* path, ProgressCallback callback) {
    if (id == 0 || path == nullptr)
        return 0;
    try {
        std::lock_guard line(serialLineMutex());
        const int fd = currentSerialFd();
        if (fd < 0)
            return 0;
        std::vector<std::uint8_t> bytes;
        fwimage::ImageInfo info;
        if (!loadImage(path, bytes, info))
            return 0;
        // Whatever an earlier, abandoned session left on the line is stale.
        ::tcflush(fd, TCIOFLUSH);
        const SharedImage image(bytes, info.payloadCrc, wire::kSerialChunkSize);
        std::vector<std::unique_ptr<UploadSession>> sessions;
        sessions.push_back(UploadSession::overStream(id, image, fd, config().timeout));
        return runUploads(sessions, callback);
    } catch (...) {
        return 0;
    }
}

TESTDLL_API int32_t DllOpenPort(int32_t port) {
    try {
        return openSerialPort(port) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

} // extern "C"
