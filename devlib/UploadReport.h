// The outcome of every target of the calling thread's last upload call, kept
// for DllGetUploadReport. Each upload operation replaces it on every path,
// so a report never describes an earlier call.
#pragma once

#include "devlib/TestDll.h"
#include "devlib/UploadSession.h"

#include <memory>
#include <vector>

namespace testdll {

// Every target of the call the same outcome: a call refused before any session.
void reportAll(const int32_t* ids, int32_t count, int32_t outcome, const char* reason);

// One entry per session, in target order.
void reportSessions(const std::vector<std::unique_ptr<UploadSession>>& sessions);

// Copies at most `capacity` entries and returns how many there are.
int32_t copyReport(UploadOutcome* out, int32_t capacity);

} // namespace testdll
