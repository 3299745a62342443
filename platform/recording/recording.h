//===- platform/recording/recording.h - A recording platform for tests --===//
//
// The POSIX layer built with VESKAR_RECORDING logs every call of the
// operations whose order matters (directory creation, file opening, waits,
// removal requests, pauses, the child's start and its job, directory
// listings, processes opened by id, the millisecond clock) and lets a test
// script their results. A call with no scripted result goes to the real
// implementation.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace veskar_recording {

// Forgets every logged call and every scripted result.
void Reset();

// The calls so far, each as "Name argument note" (the argument as the core
// passed it, in UTF-8; either part only when there is one).
std::vector<std::string> Calls();

// Only the calls whose name is `name`.
std::vector<std::string> CallsTo(const char *name);

// Queues a result for the next call of `name`, with the last error it sets.
void Script(const char *name, uint64_t result, DWORD lastError = 0);

// Every call of `name` from now on returns `result` (after any queued ones).
void ScriptAlways(const char *name, uint64_t result, DWORD lastError = 0);

// Logs the call, with `note` after the argument when there is one; true
// with the result to return when one was scripted.
bool Hook(const char *name, const WCHAR *argument, uint64_t *result,
          DWORD *lastError, const char *note = nullptr);

} // namespace veskar_recording
