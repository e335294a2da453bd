// The four commands; each returns the program's exit status.
#pragma once

#include "cli/FlashOptions.h"
#include "core/JsonLine.h"

class DeviceLibrary;
struct DeviceInfo;

int runScan(const FlashOptions& options);
int runInfo(const FlashOptions& options);
int runUpdate(const FlashOptions& options);
int runHistory(const FlashOptions& options);

// The application whose history both programs share.
inline constexpr char kHistoryApplication[] = "zentavo-update";

// The device-access library, for the process's life.
DeviceLibrary& deviceLibrary();

// "no station answered at ADDRESS" on stderr; the exit status for it.
int noStation(const FlashOptions& options);

// A device as scan --json shows it.
Json deviceJson(int32_t id, const DeviceInfo& info);
