//===- payload/writer.cpp - Writing and closing files behind the decoder -===//
//
// Threads: the main thread decodes the payload and opens each file (so an
// open error is reported at once, with the file's name); the writer threads,
// kWriterThreadCapacity of them, run the WriteFile and CloseHandle calls.
// Closing a new file is slow where a virus scanner looks at it as its
// handle closes, and writing fills the page cache: both now run while the
// decoder goes on. Memory stays constant: a fixed set of chunk buffers and
// of file slots in LauncherState, whatever the payload's size.
//
// Each file belongs to one writer, chosen when it is handed over (the one
// with the fewest tasks waiting), and each writer runs its queue in order:
// a file's chunks are written in order, and its close comes after them.
//
// Errors: a writer never reports anything. The first failed write or close
// is kept with its file's path; from then on writes are dropped and closes
// still run. The main thread sees the failure at its next hand-over or
// buffer, or at FinishWriters, lets every file be closed, and reports it
// with the unpack message: always before the child starts, and before the
// unpack directory's removal begins.
//
// Stopping (a fatal ending, a console event) waits for the closes a bounded
// time: a writer stuck in a system call is left behind with what it holds,
// and the process ends without it.
//
// The pool's shared fields are read and written only under its lock. The
// main thread waits on `taskDone` (for a buffer, a file slot or the end);
// writer w waits on `taskQueued[w]`. Each side signals the other only when
// it is waiting.
//
//===----------------------------------------------------------------------===//
#include "payload/writer.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "common/names.h"
#include "common/text.h"
#include "diagnostics/fatal.h"
#include "launcher/state.h"
#include "paths/paths.h"

namespace {

// How many queued chunks wake a sleeping writer, and how many free buffers
// wake the main thread waiting for one.
const int kWakeBatch = 4;

WriterPool &Pool(void) { return state.writers; }

// Runs one task's system call, without the lock. Returns false, with the
// error in `code`, when it failed. A dropped write counts as done.
bool RunTask(const WriterTask &task, bool dropWrite, DWORD *code) {
  WriterPool &pool = Pool();
  HANDLE file = pool.files[task.file].handle;
  bool done;
  if (task.buffer < 0) {
    done = CloseHandle(file) != 0;
  } else {
    DWORD written = 0;
    done = dropWrite || WriteFile(file, pool.buffers[task.buffer], task.size,
                                  &written, nullptr) != 0;
  }
  *code = done ? 0 : GetLastError();
  return done;
}

// The bookkeeping after a task has run, with the lock held.
void EndTask(int writer, const WriterTask &task, bool done, DWORD code) {
  WriterPool &pool = Pool();
  WriterFile &file = pool.files[task.file];
  if (!done && !pool.failed) {
    pool.failed = true;
    pool.errorCode = code;
    memcpy(pool.errorPath, file.path, sizeof pool.errorPath);
  }
  if (task.buffer >= 0) {
    pool.freeBuffers[pool.freeBufferCount++] = task.buffer;
  } else {
    file.inUse = false;
    file.handle = nullptr;
    --pool.filesInUse;
  }
  --pool.unfinishedOf[writer];
  --pool.unfinished;
  // The main thread waits for a buffer, a file's close or the end: it is
  // woken when there is something worth waking for, not at every chunk.
  if (pool.mainWaiting &&
      (task.buffer < 0 || pool.freeBufferCount >= kWakeBatch ||
       pool.unfinished == 0 || pool.failed))
    WakeConditionVariable(&pool.taskDone);
}

// Called with the lock held: runs the task without it (a writer's system
// call never holds up the others), then does its bookkeeping.
void RunWithoutTheLock(int writer, const WriterTask &task) {
  WriterPool &pool = Pool();
  bool dropWrite = pool.failed || pool.stopping;
  ReleaseSRWLockExclusive(&pool.lock);
  DWORD code;
  bool done = RunTask(task, dropWrite, &code);
  AcquireSRWLockExclusive(&pool.lock);
  EndTask(writer, task, done, code);
}

DWORD WINAPI RunWriter(LPVOID parameter) {
  int writer = (int)(intptr_t)parameter;
  WriterPool &pool = Pool();
  AcquireSRWLockExclusive(&pool.lock);
  for (;;) {
    if (pool.queueCount[writer] == 0) {
      if (pool.quit)
        break;
      pool.writerIdle[writer] = true;
      SleepConditionVariableSRW(&pool.taskQueued[writer], &pool.lock, INFINITE,
                                0);
      pool.writerIdle[writer] = false;
      continue;
    }
    WriterTask task = pool.queue[writer][pool.queueHead[writer]];
    pool.queueHead[writer] =
        (pool.queueHead[writer] + 1) % kWriterQueueCapacity;
    --pool.queueCount[writer];
    RunWithoutTheLock(writer, task);
  }
  ReleaseSRWLockExclusive(&pool.lock);
  return 0;
}

// The main thread's wait for a task to end, with the lock held, for at
// most `milliseconds` (or INFINITE). A writer that sleeps with tasks queued
// (Queue wakes it only once it has a batch) is woken first.
void AwaitTaskDone(DWORD milliseconds = INFINITE) {
  WriterPool &pool = Pool();
  for (int writer = 0; writer < pool.threadCount; ++writer)
    if (pool.writerIdle[writer] && pool.queueCount[writer] != 0)
      WakeConditionVariable(&pool.taskQueued[writer]);
  pool.mainWaiting = true;
  SleepConditionVariableSRW(&pool.taskDone, &pool.lock, milliseconds, 0);
  pool.mainWaiting = false;
}

// Gives a task to its file's writer, with the lock held; without threads,
// runs it here and now.
void Queue(const WriterTask &task) {
  WriterPool &pool = Pool();
  int writer = pool.files[task.file].writer;
  ++pool.unfinishedOf[writer];
  ++pool.unfinished;
  if (pool.threadCount == 0) {
    RunWithoutTheLock(writer, task);
    return;
  }
  int at =
      (pool.queueHead[writer] + pool.queueCount[writer]) % kWriterQueueCapacity;
  pool.queue[writer][at] = task;
  ++pool.queueCount[writer];
  // A sleeping writer is woken for a batch of tasks: one wake per chunk
  // would cost as much as the write it saves. The main thread wakes it
  // before it waits itself (AwaitTaskDone), and at the end.
  if (pool.writerIdle[writer] && pool.queueCount[writer] >= kWakeBatch)
    WakeConditionVariable(&pool.taskQueued[writer]);
}

// With the lock held: waits until every task has run, then lets the threads
// end and waits for them. Returns with the lock released and the pool
// stopped. With `bounded`, the wait for the tasks ends after
// kWriterStopWaitMs however far they got: a writer stuck in a system call
// (a network TEMP that hangs) is left where it is, with the files it holds
// open, and the others end by themselves. False when that happened.
bool EndWriters(bool bounded) {
  WriterPool &pool = Pool();
  ULONGLONG deadline = bounded ? GetTickCount64() + kWriterStopWaitMs : 0;
  while (pool.unfinished != 0) {
    DWORD wait = INFINITE;
    if (bounded) {
      ULONGLONG now = GetTickCount64();
      if (now >= deadline)
        break;
      wait = (DWORD)(deadline - now);
    }
    AwaitTaskDone(wait);
  }
  bool ended = pool.unfinished == 0;
  pool.quit = true;
  for (int writer = 0; writer < pool.threadCount; ++writer)
    WakeConditionVariable(&pool.taskQueued[writer]);
  ReleaseSRWLockExclusive(&pool.lock);
  pool.running = false;
  if (!ended)
    return false; // the process ends soon, and the threads with it
  for (int writer = 0; writer < pool.threadCount; ++writer) {
    WaitForSingleObject(pool.threads[writer], INFINITE);
    CloseHandle(pool.threads[writer]);
    pool.threads[writer] = nullptr;
  }
  return true;
}

// With the lock held: drops the writes still queued, queues the close of
// the file being filled, and ends the pool once every file is closed or
// the bounded wait has run out.
void StopWithLockHeld(void) {
  WriterPool &pool = Pool();
  pool.stopping = true;
  if (pool.currentFile != 0) {
    WriterTask close = {pool.currentFile - 1, -1, 0};
    pool.currentFile = 0;
    Queue(close);
  }
  EndWriters(true);
}

// With the lock held, after a write or a close has failed: every file is
// closed, then the error is reported.
[[noreturn]] void ReportWriterFailure(void) {
  StopWithLockHeld();
  ReportFatalUnpack(Pool().errorPath, Pool().errorCode);
}

// The same, for a file the main thread has opened and not handed over yet:
// it is closed here first.
[[noreturn]] void ReportWriterFailureClosing(HANDLE opened) {
  ReleaseSRWLockExclusive(&Pool().lock);
  CloseHandle(opened);
  AcquireSRWLockExclusive(&Pool().lock);
  ReportWriterFailure();
}

// With the lock held: whether a file the writers hold may be, on some file
// system, the file at `path` (common/names.h, the wider rule).
bool HoldsPath(const WCHAR *path) {
  WriterPool &pool = Pool();
  for (const WriterFile &file : pool.files)
    if (file.inUse && MayBeSameFilePath(file.path, path))
      return true;
  return false;
}

// Sets the pool up and starts its threads.
void StartWriters(void) {
  WriterPool &pool = Pool();
  // The buffers' old bytes do not matter; everything before them does.
  memset((void *)&pool, 0, offsetof(WriterPool, buffers));
  InitializeSRWLock(&pool.lock);
  InitializeConditionVariable(&pool.taskDone);
  for (int i = 0; i < kWriterBufferCount; ++i)
    pool.freeBuffers[i] = kWriterBufferCount - 1 - i;
  pool.freeBufferCount = kWriterBufferCount;
  pool.running = true;
  for (int writer = 0; writer < kWriterThreadCapacity; ++writer) {
    InitializeConditionVariable(&pool.taskQueued[writer]);
    HANDLE thread = CreateThread(nullptr, 0, RunWriter,
                                 (LPVOID)(intptr_t)writer, 0, nullptr);
    // Fewer threads only cost speed; with none, the main thread writes.
    if (thread == nullptr)
      break;
    pool.threads[pool.threadCount++] = thread;
  }
}

} // namespace

void AwaitSamePathClosed(const WCHAR *path) {
  WriterPool &pool = Pool();
  if (!pool.running)
    return;
  AcquireSRWLockExclusive(&pool.lock);
  while (HoldsPath(path))
    AwaitTaskDone();
  ReleaseSRWLockExclusive(&pool.lock);
}

void AwaitEveryFileClosed(HANDLE opened) {
  WriterPool &pool = Pool();
  if (!pool.running)
    return;
  AcquireSRWLockExclusive(&pool.lock);
  while (!pool.failed && pool.filesInUse != 0)
    AwaitTaskDone();
  if (pool.failed)
    ReportWriterFailureClosing(opened);
  ReleaseSRWLockExclusive(&pool.lock);
}

int HandOverFile(HANDLE handle, const WCHAR *path) {
  WriterPool &pool = Pool();
  if (!pool.running)
    StartWriters();
  AcquireSRWLockExclusive(&pool.lock);
  while (!pool.failed && pool.filesInUse == kWriterFileCapacity)
    AwaitTaskDone();
  if (pool.failed)
    ReportWriterFailureClosing(handle);
  int slot = 0;
  while (pool.files[slot].inUse)
    ++slot;
  WriterFile &file = pool.files[slot];
  file.inUse = true;
  file.handle = handle;
  file.path[0] = 0;
  AppendWideString(file.path, path, kPathCapacity);
  int writer = 0;
  for (int w = 1; w < pool.threadCount; ++w)
    if (pool.unfinishedOf[w] < pool.unfinishedOf[writer])
      writer = w;
  file.writer = writer;
  ++pool.filesInUse;
  pool.currentFile = slot + 1;
  ReleaseSRWLockExclusive(&pool.lock);
  return slot;
}

unsigned char *TakeWriteBuffer(void) {
  WriterPool &pool = Pool();
  AcquireSRWLockExclusive(&pool.lock);
  while (!pool.failed && pool.freeBufferCount == 0)
    AwaitTaskDone();
  if (pool.failed)
    ReportWriterFailure();
  int buffer = pool.freeBuffers[--pool.freeBufferCount];
  ReleaseSRWLockExclusive(&pool.lock);
  return pool.buffers[buffer];
}

void QueueWrite(int file, unsigned char *buffer, DWORD size) {
  WriterPool &pool = Pool();
  WriterTask task = {file, (int)((buffer - pool.buffers[0]) / kWriteBufferSize),
                     size};
  AcquireSRWLockExclusive(&pool.lock);
  Queue(task);
  ReleaseSRWLockExclusive(&pool.lock);
}

void QueueClose(int file) {
  WriterPool &pool = Pool();
  WriterTask task = {file, -1, 0};
  AcquireSRWLockExclusive(&pool.lock);
  pool.currentFile = 0;
  Queue(task);
  ReleaseSRWLockExclusive(&pool.lock);
}

void FinishWriters(void) {
  WriterPool &pool = Pool();
  if (!pool.running)
    return;
  AcquireSRWLockExclusive(&pool.lock);
  // Unbounded: a large file on a slow disk takes what it takes.
  EndWriters(false);
  if (pool.failed)
    ReportFatalUnpack(pool.errorPath, pool.errorCode);
}

void StopWriters(void) {
  WriterPool &pool = Pool();
  if (!pool.running)
    return;
  AcquireSRWLockExclusive(&pool.lock);
  StopWithLockHeld();
}
