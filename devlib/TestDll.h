// The device-access library's interface: nine operations with C linkage, the
// records they fill and the progress callbacks they report through. Every
// integer is 32 bits wide; texts are NUL-terminated 8-bit strings. The last three,
// DllGetUploadReport, DllSetDeviceProgress and DllGetFileDetails, are newer than
// the others: a program that must also run on an older library looks them up at
// run time instead of linking them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#    if defined(TESTDLL_BUILDING)
#        define TESTDLL_API __declspec(dllexport)
#    else
#        define TESTDLL_API __declspec(dllimport)
#    endif
#else
#    define TESTDLL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Called with the progress on a 0..100 scale. Returning 1 goes on; returning 0
// cancels the call: every target not yet programming its flash is cut off (and
// reported UPLOAD_CANCELLED), the ones already flashing are waited for.
typedef int32_t (*ProgressCallback)(int32_t value);

// The phase a device's own progress is in.
enum { DEVICE_PHASE_TRANSFER = 1, DEVICE_PHASE_FLASH = 2 };

// One device's progress within its phase (percent 0..100), called on the
// thread running the upload call, never for the same device concurrently.
typedef void (*DeviceProgressCallback)(int32_t id, int32_t phase, int32_t percent, void* context);

// 196 bytes, caller's storage, little-endian. Bytes not named here belong to
// the library; ours leaves them zero.
typedef struct RemoteInfo {
    uint8_t reserved0[4];
    uint32_t address; // IPv4, first dotted octet in the most significant byte
    uint8_t reserved8[48];
    char name[64];     // NUL-terminated
    uint32_t typeCode; // family 31..24, kind 23..16, sub-address 15..8, letter 7..0
    uint8_t reserved124[64];
    int32_t versionMajor;
    int32_t versionMinor;
} RemoteInfo;

// The outcome of one target of an upload call.
enum {
    UPLOAD_COMMITTED = 0,
    UPLOAD_UNREACHABLE = 1,
    UPLOAD_REFUSED = 2,
    UPLOAD_TRANSFER_FAILED = 3,
    UPLOAD_VERIFY_FAILED = 4,
    UPLOAD_FLASH_FAILED = 5,
    UPLOAD_CANCELLED = 6 // the progress callback cancelled before the device programmed its flash
};

// 128 bytes. `reason` is a short English sentence ("image type GraphAppl is not
// accepted by this device"), empty for a commit, always NUL-terminated.
typedef struct UploadOutcome {
    int32_t id;
    int32_t outcome; // UPLOAD_*
    char reason[120];
} UploadOutcome;

// 160 bytes: what DllGetFileInfo does not say about a firmware file.
typedef struct FileDetails {
    char problem[120];        // why the file is no valid image ("bad payload CRC"); empty for a valid one
    int32_t isSigned;         // 1: the image carries a signature section
    uint8_t keyId[8];         // the signing key's id (first 8 bytes of SHA-256 of its public key)
    uint32_t securityCounter; // the image's security counter
    uint8_t reserved[24];     // zero
} FileDetails;

// Writes at most `capacity` ids into the first slots and returns their count.
TESTDLL_API int32_t DllScanNetwork(int32_t* ids, int32_t capacity);

// Non-zero when the device answered and `info` was filled.
TESTDLL_API int32_t DllGetRemoteInfo(int32_t id, RemoteInfo* info);

// Non-zero only for a valid firmware image; then every output is set.
// `name` must hold 20 bytes.
TESTDLL_API int32_t DllGetFileInfo(const char* path, char* name, int32_t* date1, int32_t* date2,
                                   int32_t* date3, int32_t* fileType, int32_t* versionMajor,
                                   int32_t* versionMinor);

// Single target over the serial port opened by DllOpenPort; exactly 1 is success.
TESTDLL_API int32_t DllUploadFile(int32_t id, const char* path, ProgressCallback callback);

// Every target over the network, concurrently; exactly 1 only if all committed.
TESTDLL_API int32_t DllUploadFileToDevices(int32_t count, const int32_t* ids, const char* path,
                                           ProgressCallback callback);

// Opens serial port 1 or 2; non-zero on success. Ports stay open.
TESTDLL_API int32_t DllOpenPort(int32_t port);

// Copies at most `capacity` outcomes of this thread's last upload call, in target order, and returns
// how many targets that call had (0 when this thread made none).
TESTDLL_API int32_t DllGetUploadReport(UploadOutcome* out, int32_t capacity);

// Sets the process's observer of each device's progress for the upload calls
// that start afterwards (null removes it); `context` is handed back to it. A call
// takes the observer once, when it starts. Returns 1. Looked up at run time like
// DllGetUploadReport.
TESTDLL_API int32_t DllSetDeviceProgress(DeviceProgressCallback callback, void* context);

// Fills `details` for the file at `path`: 1 for a valid firmware image (the same
// files DllGetFileInfo accepts), else 0 with `details->problem` saying why.
// Looked up at run time like DllGetUploadReport.
TESTDLL_API int32_t DllGetFileDetails(const char* path, FileDetails* details);

#ifdef __cplusplus
} // extern "C"

static_assert(sizeof(RemoteInfo) == 196, "RemoteInfo is a 196-byte record");
static_assert(offsetof(RemoteInfo, address) == 4, "address at 4");
static_assert(offsetof(RemoteInfo, name) == 56, "name at 56");
static_assert(offsetof(RemoteInfo, typeCode) == 120, "type code at 120");
static_assert(offsetof(RemoteInfo, versionMajor) == 188, "version major at 188");
static_assert(offsetof(RemoteInfo, versionMinor) == 192, "version minor at 192");
static_assert(sizeof(FileDetails) == 160, "FileDetails is a 160-byte record");
static_assert(sizeof(UploadOutcome) == 128, "UploadOutcome is a 128-byte record");
static_assert(offsetof(UploadOutcome, outcome) == 4, "outcome at 4");
static_assert(offsetof(UploadOutcome, reason) == 8, "reason at 8");
#endif
