//===- platform/recording/recording.h - A recording platform for tests --===//
//
// The POSIX layer built with VESKAR_RECORDING logs every call, from any
// thread, of the operations whose order matters (directory creation, file
// opening, byte-range locks and file deletions, waits, removal requests,
// pauses, the child's start and its job, directory listings, processes
// opened by id, what a file system says it is, the millisecond clock) and
// lets a test script their results. A call with no scripted result goes to
// the real implementation.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <functional>
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

// Runs `action` at every call of `name`, on the calling thread, after the
// call is logged and before it goes on (a test holds a writer thread in its
// WriteFile this way, or raises an event at the third open). Reset forgets
// it.
void OnCall(const char *name, std::function<void()> action);
// The same, with the call as the log shows it ("WriteFile 1 /d/a.txt"): a
// test holds one file's writes this way.
void OnEachCall(const char *name,
                std::function<void(const std::string &call)> action);

// From now on (until Reset), a positional WriteFile of zero bytes alone
// writes nothing and only makes the file reach the write's end, a hole: a
// test writes gigabytes of zeros this way without the disk. The call is
// logged as any.
void WriteZerosAsHoles(bool on);
bool ZerosAreHoles();

// Runs `edit` on each entry a directory listing (FindFirstFileExW,
// FindNextFileW) returns, before the core sees it: a test shows a size or
// a last-write time that is not current this way, as a listing on NTFS may
// for a file open elsewhere. Reset forgets it.
void EditListedEntries(std::function<void(WIN32_FIND_DATAW &entry)> edit);
// Called by the layer on each entry it lists.
void EditListedEntry(WIN32_FIND_DATAW *entry);

// Files by name: CreateFileW names the handle it returns with its path, and
// WriteFile and CloseHandle log that name after their argument, so that a
// test can follow each file however the threads that write them interleave.
// The name goes with the handle's CloseHandle.
void NameHandle(HANDLE handle, const WCHAR *path);
// The handle's name, or null for a handle without one. It stays valid until
// the handle's CloseHandle.
const char *HandleName(HANDLE handle);
void ForgetHandle(HANDLE handle);

// Logs the call, with `note` after the argument when there is one; true
// with the result to return when one was scripted.
bool Hook(const char *name, const WCHAR *argument, uint64_t *result,
          DWORD *lastError, const char *note = nullptr);

} // namespace veskar_recording
