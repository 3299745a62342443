//===- tests/fuzz/guard.cpp - The core's file calls in the fuzz build ----===//
//
// The core reaches these through redirect.h instead of the POSIX layer's
// CreateFileW, WriteFile and CloseHandle. They pass every call on to the
// harness's file layer (file_layer.h), and in between remember which files
// are open (a fatal ending jumps past the extraction's CloseHandle) and
// count what the run writes, ending it once the budget is spent.
//
// The decoder threads of the parallel reader write and close files too, so
// every call keeps the guard's books under one mutex. Only the thread that
// started the run can end it (recoverable_fatal.cpp jumps back on it): a
// decoder thread that spends the budget gets a failed write instead, which
// stops the decoders, and the run counts as ended by the budget
// (BudgetSpent).
//
//===----------------------------------------------------------------------===//
#include <pthread.h>
#include <stdlib.h>

#include <mutex>

#include "payload/parallel.h"
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
HANDLE FuzzDecoderThread(LPSECURITY_ATTRIBUTES security, size_t stackSize,
                         LPTHREAD_START_ROUTINE start, LPVOID parameter,
                         DWORD flags, LPDWORD threadId);

namespace {

// The one-thread reader has one file open at a time, the parallel one up
// to kParallelOpenFileCapacity; a few more slots cost nothing.
enum { kOpenSlots = kParallelOpenFileCapacity + 8 };

std::mutex books; // guards everything below
HANDLE openFiles[kOpenSlots];
uint64_t filesOpened;
uint64_t bytesWritten;
bool budgetSpent;
uint64_t decoderThreads;
pthread_t runThread;

bool OnRunThread(void) { return pthread_equal(pthread_self(), runThread); }

} // namespace

namespace veskar_fuzz {

void ResetGuard(void) {
  std::lock_guard<std::mutex> hold(books);
  filesOpened = 0;
  bytesWritten = 0;
  budgetSpent = false;
  decoderThreads = 0;
  runThread = pthread_self();
}

bool BudgetSpent(void) {
  std::lock_guard<std::mutex> hold(books);
  return budgetSpent;
}

uint64_t DecoderThreadsStarted(void) {
  std::lock_guard<std::mutex> hold(books);
  return decoderThreads;
}

void CloseAbandonedHandles(void) {
  std::lock_guard<std::mutex> hold(books);
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
  if (!OnRunThread())
    abort(); // only the main thread creates files
  bool spent;
  {
    std::lock_guard<std::mutex> hold(books);
    spent = ++filesOpened > veskar_fuzz::kBudgetFiles || budgetSpent;
    budgetSpent = budgetSpent || spent;
  }
  if (spent)
    veskar_fuzz::EndRun(veskar_fuzz::Ending::kBudget);
  HANDLE file = FuzzLayerCreateFileW(path, access, share, security, disposition,
                                     flags, templateFile);
  if (file == INVALID_HANDLE_VALUE)
    return file;
  std::lock_guard<std::mutex> hold(books);
  for (HANDLE &slot : openFiles)
    if (slot == nullptr) {
      slot = file;
      return file;
    }
  abort(); // more files open at once than the extraction ever holds
}

BOOL FuzzGuardedWriteFile(HANDLE file, const void *data, DWORD count,
                          LPDWORD written, LPOVERLAPPED overlapped) {
  bool spent;
  {
    std::lock_guard<std::mutex> hold(books);
    bytesWritten += count;
    spent = bytesWritten > veskar_fuzz::kBudgetBytes || budgetSpent;
    budgetSpent = budgetSpent || spent;
  }
  if (spent) {
    if (OnRunThread())
      veskar_fuzz::EndRun(veskar_fuzz::Ending::kBudget);
    if (written != nullptr)
      *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  return FuzzLayerWriteFile(file, data, count, written, overlapped);
}

BOOL FuzzGuardedCloseHandle(HANDLE handle) {
  {
    // The slot goes before the layer's handle does: only then may the main
    // thread be given the same handle for a new file.
    std::lock_guard<std::mutex> hold(books);
    for (HANDLE &slot : openFiles)
      if (slot == handle && handle != nullptr)
        slot = nullptr;
  }
  return FuzzLayerCloseHandle(handle);
}

// The parallel reader's decoder threads: real ones, counted, so that the
// harness knows the parallel pass ran.
HANDLE FuzzDecoderThread(LPSECURITY_ATTRIBUTES security, size_t stackSize,
                         LPTHREAD_START_ROUTINE start, LPVOID parameter,
                         DWORD flags, LPDWORD threadId) {
  HANDLE thread =
      CreateThread(security, stackSize, start, parameter, flags, threadId);
  if (thread != nullptr) {
    std::lock_guard<std::mutex> hold(books);
    ++decoderThreads;
  }
  return thread;
}

// A fatal report jumps back to the run (recoverable_fatal.cpp), which only
// the thread that started it can do: the writers run their tasks on the
// main thread, as they do wherever no thread can be made.
HANDLE FuzzNoWriterThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE,
                          LPVOID, DWORD, LPDWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}
