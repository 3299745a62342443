//===- launcher/state.h - The one process-wide record -------------------===//
//
// LauncherState lives in zero-initialised static storage for the whole
// process; every operation of the launcher works on it. Capacities count
// UTF-16 code units including the terminator.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "common/build_values.h"
#include "common/container.h"
#include "launcher/feedback.h"
#include "platform/platform.h"
#include "payload/stream.h"

enum {
  kPathCapacity = 4096,
  kNameCapacity = kMaxNameUnits + 1,
  kChildPathCapacity = kMaxNameUnits + 1, // as long as a name, no more
  kOwnPathCapacity = 4097,
  kWriteBufferSize = 32768,
  kKnownDirectoryCapacity = 1024,
  // The file writers (payload/writer.cpp): threads, chunks in flight, files
  // open at once, and the tasks one writer may have waiting (never more
  // than a task per chunk and one close per file).
  kWriterThreadCapacity = 4,
  kWriterBufferCount = 16,
  kWriterFileCapacity = 16,
  kWriterQueueCapacity = kWriterBufferCount + kWriterFileCapacity,
};

// What the main thread and the console control thread tell each other.
// Each flag is 0 or 1, written with InterlockedExchange.
struct ConsoleFlags {
  // A console event is being handled, and its ending wins over the main
  // thread's return. Set by OnConsoleControl on the console control thread,
  // never cleared. Read by the main thread between writes
  // (ConsoleEventSeen, PauseExtractionForConsoleEvent), before it starts the
  // child (BeginChildStart) and before it returns (AwaitConsoleEventEnding),
  // and by the handler's wait for the main thread to stop writing
  // (AwaitExtractionParked).
  volatile LONG eventSeen;
  // The main thread is writing the archive's files. Set by BeginExtraction,
  // cleared by EndExtraction, both on the main thread. Read by
  // AwaitExtractionParked.
  volatile LONG extracting;
  // The main thread has stopped writing for a console event and writes
  // nothing more; every file the writers held is closed. Set by PauseExtractionForConsoleEvent on the main thread,
  // never cleared. Read by AwaitExtractionParked.
  volatile LONG extractionParked;
  // The main thread is creating the child and has not published its handle
  // yet. Set by BeginChildStart, cleared by EndChildStart, both on the main
  // thread. Read by AwaitChildStarted in StopChildAndCleanUp, on either
  // thread: a console event then waits for the child instead of missing it.
  volatile LONG childStarting;
  // The event being handled is one after which the system ends the process
  // within a few seconds (close, log-off, shut-down, where the platform
  // has such a deadline): the shutdown then keeps to the tighter bounds.
  // Set by OnConsoleControl before it stops the child, never cleared.
  volatile LONG timedEvent;
  // Manual-reset events, made before the console control handler is
  // registered and never closed, that the handler waits on with a bound
  // instead of polling the flags above: childStartOver is signalled while
  // no start of the child is under way (reset by BeginChildStart, set by
  // EndChildStart), writingStopped while the main thread is not writing
  // (reset by BeginExtraction, set by EndExtraction and once it has parked
  // for an event). Null before they are made: a wait on null fails at once.
  HANDLE childStartOver;
  HANDLE writingStopped;
};

// One step for a writer thread: a chunk to write, or the file's close.
struct WriterTask {
  int file;   // index in WriterPool::files
  int buffer; // index in WriterPool::buffers; -1 for the close
  DWORD size;
};

// A file the main thread has opened and handed to the writers, until its
// close has run.
struct WriterFile {
  HANDLE handle;
  int writer; // the thread that runs all its tasks, in order
  bool inUse;
  WCHAR path[kPathCapacity];
};

// The file writers (payload/writer.cpp). `threads`, `threadCount` and
// `running` are the main thread's alone; everything else above `buffers` is
// shared with the writer threads and is read or written only with `lock`
// held. A buffer belongs to whoever holds its index (the main thread while
// it fills it, then the task that writes it), and a file slot's handle and
// path are set before its first task is queued and not changed until its
// close has run.
struct WriterPool {
  SRWLOCK lock;
  CONDITION_VARIABLE taskQueued[kWriterThreadCapacity];
  CONDITION_VARIABLE taskDone;
  HANDLE threads[kWriterThreadCapacity];
  // 0 when no thread could be made: the main thread runs each task itself.
  int threadCount;
  bool running;
  // The writers end once their queues are empty.
  bool quit;
  // Writes are dropped, closes still run: set when the main thread gives
  // up (an error, a fatal ending, a console event).
  bool stopping;
  bool mainWaiting;
  bool writerIdle[kWriterThreadCapacity];
  // The first error of a write or a close, with its file's path.
  bool failed;
  DWORD errorCode;
  WCHAR errorPath[kPathCapacity];
  // The file the main thread is filling, as index + 1; 0 when none.
  int currentFile;
  WriterTask queue[kWriterThreadCapacity][kWriterQueueCapacity];
  int queueHead[kWriterThreadCapacity];
  int queueCount[kWriterThreadCapacity];
  // Tasks queued or under way, per writer and in all.
  int unfinishedOf[kWriterThreadCapacity];
  int unfinished;
  int freeBuffers[kWriterBufferCount];
  int freeBufferCount;
  WriterFile files[kWriterFileCapacity];
  int filesInUse;
  unsigned char buffers[kWriterBufferCount][kWriteBufferSize];
};

struct LauncherState {
  // Handle of the running child; null when none. Shared with the console
  // control thread: published by EndChildStart, taken out with
  // TakeChildHandle by whoever then closes it (launcher/console.cpp).
  HANDLE volatile childProcess;
  // The job the child runs in (launcher/child.cpp); null when there is none.
  // Never closed: the system closes it when the launcher ends, however it
  // ends, and that ends the child.
  HANDLE childJob;
  int knownDirectoryCount;
  // The profile folder has been offered as the first known directory.
  bool knownDirectoriesSeeded;
  // The unpack directory may hold files of this run, so clean-up removes it.
  // Set once by BeginExtraction (launcher/console.cpp) on the main thread;
  // read by StopChildAndCleanUp on either thread.
  volatile bool extractionStarted;
  // The unpack directory is this run's: made by it (or, where TEMP is the
  // user's own, found there and used as it always was). No ending ever
  // removes a directory that is not.
  volatile bool unpackDirectoryOwned;
  // This run's hold on its unpack directory (launcher/hold.h), which tells
  // other starts' sweeps that the run lives; null when it holds none. Taken
  // by the extraction as soon as it has made the directory, before anything
  // is written there; closed (ReleaseHold) by whoever removes the directory,
  // on either thread, or kept until the process ends.
  HANDLE volatile unpackDirectoryHold;
  WCHAR ownPath[kOwnPathCapacity];
  PayloadStream payload;
  WCHAR entryName[kNameCapacity];
  // One unit more than a path needs, so that the path is always followed by
  // two NULs, even when it fills the 4096 units.
  WCHAR unpackDirectory[kPathCapacity + 1];
  WCHAR *knownDirectories[kKnownDirectoryCapacity];
  WCHAR childExecutablePath[kChildPathCapacity];
  WCHAR outputFilePath[kPathCapacity];
  // The sweep's search pattern, then the path of each leftover it removes.
  WCHAR sweepPath[kPathCapacity];

  // Writes and closes the extracted files behind the decoder. A fatal
  // ending and a console event stop it, and every file it holds is closed
  // before the removal (Windows deletes no open file).
  WriterPool writers;

  // The cache modes (launcher/cache.cpp). cacheDirectory is this payload's
  // directory, which is never removed; unpackDirectory is then this run's
  // private sibling of it, which a cold start fills and renames into place.
  WCHAR cacheDirectory[kPathCapacity];
  // The hold on the cache directory, taken before its marker is read (or
  // carried over from the sibling that was renamed into place) and kept
  // for the whole run; null while the run does not use it.
  HANDLE volatile cacheDirectoryHold;
  // The path of the cached file being checked or repaired.
  WCHAR cachedFilePath[kPathCapacity];
  // The marker: its bytes as a cold start records them or as read from the
  // cache directory (heap), their count and the room allocated.
  unsigned char *marker;
  size_t markerSize, markerCapacity;
  // Per marker entry, while the cached files are checked: 1 when the file
  // must be written again (heap).
  unsigned char *brokenFiles;
  // Decoded bytes the cache checks compare or skip, apart from the
  // writers' buffers, which may be in use at the same time.
  unsigned char cacheBuffer[kWriteBufferSize];
  // A cold start records each extracted record in the marker.
  bool recordingMarker;
  // A repair: the extraction writes only the broken files, checking each
  // record against the marker (the next record's offset in it, the records
  // left, the record's number).
  bool repairing;
  size_t markerCursorAt;
  uint32_t markerCursorLeft;
  uint32_t recordIndex;

  // The console-event protocol's flags. Only launcher/console.cpp reads or
  // writes them, through its named transitions.
  ConsoleFlags console;

  // The progress window and the error box (launcher/feedback.h).
  FeedbackState feedback;
};

extern LauncherState state;

// The values of COMPANY, PRODUCT and VERSION, which the packer rewrites.
extern BuildValues buildValues;

// Where each run unpacks: "{TEMP}\onefile_{PID}_{TIME}". The sweep
// (launcher/sweep.cpp) knows leftovers by the names its last level makes.
extern const WCHAR kUnpackTemplate[];

// Step functions of the launch sequence. The console-event protocol's
// operations are declared in launcher/console.h.
DWORD RunChild(void);
void StopChildAndCleanUp(void);
// Called by every fatal ending before the process ends: removes what this
// run has written, best effort, as the shutdown does. Returns.
void CleanUpAfterFatalError(void);
int RunLauncher(void);
