// DllGetFileInfo and DllGetFileDetails: the library's answers to "what is in
// this firmware file". Outputs are written only for a valid image, so a caller's
// previous values survive a failed query.
#include "devlib/TestDll.h"
#include "wire/FirmwareImage.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" int32_t DllGetFileInfo(const char* path, char* name, int32_t* date1, int32_t* date2,
                                  int32_t* date3, int32_t* fileType, int32_t* versionMajor,
                                  int32_t* versionMinor) {
    if (path == nullptr || name == nullptr || date1 == nullptr || date2 == nullptr || date3 == nullptr ||
        fileType == nullptr || versionMajor == nullptr || versionMinor == nullptr)
        return 0;
    try {
        fwimage::ImageInfo info;
        if (fwimage::checkImageFile(path, info) != fwimage::ImageError::None)
            return 0;
        // The caller's buffer holds 20 bytes: at most 19 characters and the NUL.
        const auto length = static_cast<std::size_t>(
            std::find(info.name, info.name + fwimage::kNameBytes - 1, '\0') - info.name);
        std::memcpy(name, info.name, length);
        name[length] = '\0';
        // Unsigned header fields travel through the 32-bit slots bit for bit.
        *date1 = static_cast<int32_t>(info.date[0]);
        *date2 = static_cast<int32_t>(info.date[1]);
        *date3 = static_cast<int32_t>(info.date[2]);
        *fileType = static_cast<int32_t>(info.typeCode);
        *versionMajor = info.versionMajor;
        *versionMinor = info.versionMinor;
        return 1;
    } catch (...) {
        // Nothing may escape through the C interface (the checker's only
        // allocation is its read buffer).
        return 0;
    }
}

extern "C" int32_t DllGetFileDetails(const char* path, FileDetails* details) {
    if (details == nullptr)
        return 0;
    std::memset(details, 0, sizeof *details);
    fwimage::ImageError error = fwimage::ImageError::NotRegularFile;
    fwimage::ImageInfo info;
    try {
        if (path != nullptr)
            error = fwimage::checkImageFile(path, info);
    } catch (...) {
        error = fwimage::ImageError::ReadFailed;
    }
    if (error == fwimage::ImageError::None) {
        const fwimage::ImageSignature& sig = info.signature;
        details->isSigned = sig.present ? 1 : 0;
        std::copy(sig.keyId.begin(), sig.keyId.end(), details->keyId);
        details->securityCounter = sig.counter;
        return 1;
    }
    struct stat entry = {};
    const bool missing = path != nullptr && ::stat(path, &entry) != 0 && errno == ENOENT;
    std::snprintf(details->problem, sizeof details->problem, "%s",
                  missing ? "no such file" : fwimage::describe(error));
    return 0;
}
