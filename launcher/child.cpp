//===- launcher/child.cpp - The child process and console events --------===//
//
// The child gets the launcher's own command line and standard handles and
// inherits its environment. Two threads may reach the child's handle: the
// main thread here, and the console control thread in StopChildAndCleanUp.
// The main thread keeps the handle CreateProcessW gave it for itself; the
// shared field holds a duplicate, and whoever takes that out of the field
// with an atomic exchange is the one who closes it. So each handle is closed
// exactly once and never used after its close.
//
//===----------------------------------------------------------------------===//
#include "diagnostics/fatal.h"
#include "launcher/state.h"

namespace {

// How long the main thread, done with its own work, leaves a console event's
// handling to end the process before it returns after all.
const int kConsoleEndingPolls = 300;
const DWORD kConsoleEndingPollMs = 100;

} // namespace

DWORD RunChild(void) {
  STARTUPINFOW startup = {};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};

  // A console event that arrives while the child is being created waits for
  // its handle instead of missing the child.
  InterlockedExchange(&state.childStarting, 1);
  if (state.consoleEventSeen) {
    // The event's handler has removed, or is removing, the unpack
    // directory: there is nothing left to start.
    InterlockedExchange(&state.childStarting, 0);
    AwaitConsoleEventEnding();
  }
  if (!CreateProcessW(state.childExecutablePath, GetCommandLineW(), nullptr,
                      nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                      &startup, &info)) {
    DWORD code = GetLastError();
    InterlockedExchange(&state.childStarting, 0);
    ReportFatalOsError("Error, couldn't launch child", code);
  }
  CloseHandle(info.hThread);
  HANDLE shared = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), info.hProcess, GetCurrentProcess(),
                       &shared, 0, FALSE, DUPLICATE_SAME_ACCESS))
    shared = nullptr;
  InterlockedExchangePointer((PVOID volatile *)&state.childProcess, shared);
  InterlockedExchange(&state.childStarting, 0);

  DWORD exitCode = 0;
  WaitForSingleObject(info.hProcess, INFINITE);
  if (!GetExitCodeProcess(info.hProcess, &exitCode))
    exitCode = 1;
  CloseHandle(info.hProcess);
  HANDLE left =
      InterlockedExchangePointer((PVOID volatile *)&state.childProcess, nullptr);
  if (left != nullptr)
    CloseHandle(left);
  return exitCode;
}

BOOL WINAPI OnConsoleControl(DWORD controlType) {
  switch (controlType) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
  case CTRL_CLOSE_EVENT:
  case CTRL_LOGOFF_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    InterlockedExchange(&state.consoleEventSeen, 1);
    StopChildAndCleanUp();
    return FALSE; // the system's default handling ends the process
  default:
    return FALSE;
  }
}

void AwaitConsoleEventEnding(void) {
  for (int i = 0; i < kConsoleEndingPolls && state.consoleEventSeen; ++i)
    Sleep(kConsoleEndingPollMs);
}

void PauseExtractionForConsoleEvent(void) {
  if (!state.consoleEventSeen)
    return;
  InterlockedExchange(&state.extractionParked, 1);
  AwaitConsoleEventEnding();
}
