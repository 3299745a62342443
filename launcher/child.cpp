//===- launcher/child.cpp - The child process ---------------------------===//
//
// The child gets the launcher's own command line and standard handles and
// inherits its environment. Once it has started, the main thread removes
// what ended runs left behind (launcher/sweep.cpp) while the child starts
// up, then waits for it here and takes its exit code; a console event may
// stop it meanwhile from the other thread, through the handle published
// with EndChildStart (launcher/console.cpp).
//
//===----------------------------------------------------------------------===//
#include "diagnostics/fatal.h"
#include "launcher/console.h"
#include "launcher/state.h"
#include "launcher/sweep.h"

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
  BeginChildStart();
  if (!CreateProcessW(state.childExecutablePath, GetCommandLineW(), nullptr,
                      nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                      &startup, &info)) {
    DWORD code = GetLastError();
    EndChildStart(nullptr);
    ReportFatalOsError("Error, couldn't launch child", code);
  }
  CloseHandle(info.hThread);
  HANDLE shared = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), info.hProcess, GetCurrentProcess(),
                       &shared, 0, FALSE, DUPLICATE_SAME_ACCESS))
    shared = nullptr;
  EndChildStart(shared);

  SweepLeftovers();

  DWORD exitCode = 0;
  WaitForSingleObject(info.hProcess, INFINITE);
  if (!GetExitCodeProcess(info.hProcess, &exitCode))
    exitCode = 1;
  CloseHandle(info.hProcess);
  HANDLE left = TakeChildHandle();
  if (left != nullptr)
    CloseHandle(left);
  return exitCode;
}
