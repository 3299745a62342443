//===- tests/fuzz/guard.cpp - The core's file calls in the fuzz build ----===//
//
// The core reaches these through redirect.h instead of the POSIX layer's
// CreateFileW, WriteFile and CloseHandle. They pass every call on to the
// harness's file layer (file_layer.h), and in between remember which files
// are open (a fatal ending jumps past the extraction's CloseHandle) and
// count what the run writes, ending it once the budget is spent.
//
//===----------------------------------------------------------------------===//
#include <stdlib.h>

#include "platform/platform.h"
#include "tests/fuzz/file_layer.h"

HANDLE FuzzGuardedCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition,
                              DWORD flags, HANDLE templateFile);
BOOL FuzzGuardedWriteFile(HANDLE file, const void *data, DWORD count,
                          LPDWORD written, LPOVERLAPPED overlapped);
BOOL FuzzGuardedCloseHandle(HANDLE handle);
HANDLE FuzzNoWriterThread(LPSECURITY_ATTRIBUTES security, size_t stackSize,
                          LPTHREAD_START_ROUTINE start, LPVOID parameter,
                          DWORD flags, LPDWORD threadId);

namespace {

// The extraction has one file open at a time; a few more slots cost nothing.
enum { kOpenSlots = 8 };
HANDLE openFiles[kOpenSlots];
uint64_t filesOpened;
uint64_t bytesWritten;

} // namespace

namespace veskar_fuzz {

void ResetGuard(void) {
  filesOpened = 0;
  bytesWritten = 0;
}

void CloseAbandonedHandles(void) {
  for (HANDLE &file : openFiles)
    if (file != nullptr) {
      FuzzLayerCloseHandle(file);
      file = nullptr;
    }
}

} // namespace veskar_fuzz

HANDLE FuzzGuardedCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition,
                              DWORD flags, HANDLE templateFile) {
  if (++filesOpened > veskar_fuzz::kBudgetFiles)
    veskar_fuzz::EndRun(veskar_fuzz::Ending::kBudget);
  HANDLE file = FuzzLayerCreateFileW(path, access, share, security, disposition,
                                     flags, templateFile);
  if (file == INVALID_HANDLE_VALUE)
    return file;
  for (HANDLE &slot : openFiles)
    if (slot == nullptr) {
      slot = file;
      return file;
    }
  abort(); // more files open at once than the extraction ever holds
}

BOOL FuzzGuardedWriteFile(HANDLE file, const void *data, DWORD count,
                          LPDWORD written, LPOVERLAPPED overlapped) {
  bytesWritten += count;
  if (bytesWritten > veskar_fuzz::kBudgetBytes)
    veskar_fuzz::EndRun(veskar_fuzz::Ending::kBudget);
  return FuzzLayerWriteFile(file, data, count, written, overlapped);
}

BOOL FuzzGuardedCloseHandle(HANDLE handle) {
  for (HANDLE &slot : openFiles)
    if (slot == handle && handle != nullptr)
      slot = nullptr;
  return FuzzLayerCloseHandle(handle);
}

// A fatal report jumps back to the run (recoverable_fatal.cpp), which only
// the thread that started it can do: the writers run their tasks on the
// main thread, as they do wherever no thread can be made.
HANDLE FuzzNoWriterThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE,
                          LPVOID, DWORD, LPDWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}
