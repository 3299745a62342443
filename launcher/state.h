//===- launcher/state.h - The one process-wide record -------------------===//
//
// LauncherState lives in zero-initialised static storage for the whole
// process; every operation of the launcher works on it. It only composes:
// each module declares the struct it owns in its own header (the payload
// reader in payload/stream.h, the file writers in payload/writer.h, the
// console-event protocol in launcher/console.h, the cache mode in
// launcher/cache.h) and is the only one to touch its fields. Capacities
// count UTF-16 code units including the terminator.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "common/build_values.h"
#include "common/container.h"
#include "diagnostics/error_box.h"
#include "launcher/cache.h"
#include "launcher/console.h"
#include "launcher/progress_window.h"
#include "paths/paths.h"
#include "payload/parallel.h"
#include "payload/record.h"
#include "payload/stream.h"
#include "payload/writer.h"
#include "platform/platform.h"

enum {
  kChildPathCapacity = kMaxNameUnits + 1, // as long as a name, no more
  kOwnPathCapacity = 4097,
  kKnownDirectoryCapacity = 1024,
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
  // A record's file was there already when it was opened: two records of
  // the pass name one file (payload/extract.h, TakeOverExistingFile). The
  // cache mode never publishes such a sibling.
  bool recordFileExisted;
  // The unpack directory may hold files of this run, so clean-up removes it.
  // Set once by BeginExtraction (launcher/console.cpp) on the main thread;
  // read by StopChildAndCleanUp on either thread.
  volatile bool extractionStarted;
  // The unpack directory is this run's: made by it (or, where TEMP is the
  // user's own, found there and used as it always was). No ending ever
  // removes a directory that is not.
  volatile bool unpackDirectoryOwned;
  // Both threads may end the run at once (a console event as the child
  // ends): the removal of the directory and its lock file is one thread's
  // at a time, so that neither lets the process end while the other is
  // half-way.
  LONG volatile unpackRemovalBusy;
  // This run's hold on its unpack directory (launcher/hold.h), which tells
  // other starts' sweeps that the run lives; null when it holds none. Taken
  // (launcher/unpack.cpp) as soon as the directory is made, before anything
  // is written there; closed (ReleaseHold) by whoever removes the directory,
  // on either thread, or kept until the process ends.
  HANDLE volatile unpackDirectoryHold;
  // What the unpack directory is, whatever it is called: read once it is
  // made and held (RememberUnpackDirectory), before anything is written
  // into it. The removal takes that directory and nothing else: one moved
  // away since, and whatever was put at its path, stay.
  FileIdentity unpackDirectoryIdentity;
  bool unpackDirectoryIdentified;
  // Its lock file's part, where holds lie beside the directory
  // (kHoldsBesideDirectory); null elsewhere.
  HANDLE volatile unpackDirectoryLock;
  // The unpack directory was made by this run, not found at its path (where
  // TEMP is the user's own): all that is in it is this run's.
  bool unpackDirectoryMade;
  WCHAR ownPath[kOwnPathCapacity];
  PayloadStream payload;
  // The record being read (payload/record.h).
  PayloadRecord record;
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
  // Or the decoder threads of a payload with an index, which write the
  // files themselves (payload/parallel.h); a pass uses one or the other.
  ParallelExtraction parallel;

  // The cache mode's directory, marker and checks (launcher/cache.cpp).
  CacheState cache;

  // The console-event protocol's flags. Only launcher/console.cpp reads or
  // writes them, through its named transitions.
  ConsoleFlags console;

  // The progress window (launcher/progress_window.h) and the error box
  // (diagnostics/error_box.h), the two options that show something.
  ProgressWindowState progressWindow;
  ErrorBoxState errorBox;
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
// Once the unpack directory is made and held (launcher/unpack.cpp): what
// it is, from `hold` where that is a handle on it, or from the directory
// at its path.
void RememberUnpackDirectory(HANDLE hold);
// Lets go of the hold and removes the unpack directory, where this run owns
// it and it is still the one this run made (launcher/shutdown.cpp): retried
// while it is still there, within the current shutdown bounds.
void RemoveUnpackDirectory(void);
int RunLauncher(void);
