#include "core/LibraryOperations.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#    define NOMINMAX
#    define WIN32_LEAN_AND_MEAN
#    include <windows.h>
#else
#    include <dlfcn.h>
#endif

void* libraryFunction(const char* name) {
#ifdef Q_OS_WIN
    const HMODULE library = GetModuleHandleW(L"TestDll.dll");
    return library ? reinterpret_cast<void*>(GetProcAddress(library, name)) : nullptr;
#else
    return dlsym(RTLD_DEFAULT, name);
#endif
}

bool watchDeviceProgress(DeviceProgressCallback callback, void* context) {
    const auto set = libraryOperation<int32_t (*)(DeviceProgressCallback, void*)>("DllSetDeviceProgress");
    return set != nullptr && set(callback, context) != 0;
}
