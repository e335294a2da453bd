// The four commands; each returns the program's exit status.
#pragma once

#include "cli/FlashOptions.h"

class DeviceLibrary;

int runScan(const FlashOptions& options);
int runInfo(const FlashOptions& options);
int runUpdate(const FlashOptions& options);
int runHistory(const FlashOptions& options);

// The application whose history both programs share.
inline constexpr char kHistoryApplication[] = "zentavo-update";

// The device-access library, for the process's life.
DeviceLibrary& deviceLibrary();
