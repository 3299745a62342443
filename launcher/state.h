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
#include "platform/platform.h"
#include "payload/stream.h"

enum {
  kPathCapacity = 4096,
  kNameCapacity = kMaxNameUnits + 1,
  kChildPathCapacity = kMaxNameUnits + 1, // as long as a name, no more
  kOwnPathCapacity = 4097,
  kWriteBufferSize = 32768,
  kKnownDirectoryCapacity = 1024,
};

struct LauncherState {
  // Handle of the running child; null when none. Shared with the console
  // control thread: taken out with an atomic exchange before it is closed.
  HANDLE volatile childProcess;
  int knownDirectoryCount;
  // The unpack directory may hold files of this run.
  volatile bool extractionStarted;
  WCHAR ownPath[kOwnPathCapacity];
  PayloadStream payload;
  WCHAR entryName[kNameCapacity];
  unsigned char writeBuffer[kWriteBufferSize];
  // One unit more than a path needs, so that the path is always followed by
  // two NULs, even when it fills the 4096 units.
  WCHAR unpackDirectory[kPathCapacity + 1];
  WCHAR *knownDirectories[kKnownDirectoryCapacity];
  WCHAR childExecutablePath[kChildPathCapacity];
  WCHAR outputFilePath[kPathCapacity];

  // Set while CreateProcessW runs, so that a console event arriving before
  // the new child's handle is stored waits for it instead of missing it.
  volatile LONG childStarting;
  // Set once a console event is being handled: its ending wins over the
  // main thread's return.
  volatile LONG consoleEventSeen;
  // The main thread is writing files, and has stopped for a console event.
  volatile LONG extracting;
  volatile LONG extractionParked;
};

extern LauncherState state;

// The values of COMPANY, PRODUCT and VERSION, which the packer rewrites.
extern BuildValues buildValues;

// Step functions of the launch sequence.
DWORD RunChild(void);
BOOL WINAPI OnConsoleControl(DWORD controlType);
void StopChildAndCleanUp(void);
// Leaves a console event that is being handled the time to end the process
// (bounded), so that its ending wins over the main thread's.
void AwaitConsoleEventEnding(void);
// Called between writes: stops extracting while a console event is handled.
void PauseExtractionForConsoleEvent(void);
int RunLauncher(void);
