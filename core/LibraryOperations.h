// The library's newer operations, looked up where the program runs rather
// than linked, so the program still runs on a library that lacks them.
#pragma once

#include "devlib/TestDll.h"

// The library's exported operation `name`, or null when it has none.
void* libraryFunction(const char* name);

template <typename Function> Function libraryOperation(const char* name) {
    return reinterpret_cast<Function>(libraryFunction(name));
}

// Sets (or with null, removes) the observer of each device's own progress.
// False when the library cannot report it: then only the combined progress comes.
bool watchDeviceProgress(DeviceProgressCallback callback, void* context);
