//===- launcher/child.cpp - The child process ---------------------------===//
//
// The child gets the launcher's own command line and standard handles and
// inherits its environment. Once it has started, the main thread removes
// what ended runs left behind (launcher/sweep.cpp) while the child starts
// up, then waits for it here and takes its exit code; a console event may
// stop it meanwhile from the other thread, through the handle published
// with EndChildStart (launcher/console.cpp).
//
// The child ends with the launcher. It is created suspended and put into a
// job object that ends every process in it when its last handle closes; the
// launcher holds the only handle and never closes it, so however the
// launcher ends (returning, a fatal error, TerminateProcess, a crash), the
// system closes it and ends the child. The child's own children leave the
// job silently: an updater or a viewer the application starts may outlive
// it. Without a job (none could be made, or the launcher's own job allows
// no nested one) the child runs as it would have before: only resuming it
// is required.
//
// A start that fails because the new program is still held (a scanner
// looking at it) is tried again, briefly and a bounded number of times.
//
//===----------------------------------------------------------------------===//
#include "common/console_bounds.h"
#include "diagnostics/fatal.h"
#include "launcher/console.h"
#include "launcher/progress_window.h"
#include "launcher/state.h"
#include "launcher/sweep.h"

namespace {

// The job the child goes into, or null when the system gives none.
HANDLE CreateChildJob(void) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr)
    return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    // A job that would not end the child is no use.
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

} // namespace

DWORD RunChild(void) {
  STARTUPINFOW startup = {};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};

  state.childJob = CreateChildJob();

  // A console event that arrives while the child is being created waits for
  // its handle instead of missing the child. Between two attempts no start
  // is under way: an event then goes on at once, and the next attempt's
  // BeginChildStart ends the run as the event would.
  for (unsigned retry = 0;; ++retry) {
    BeginChildStart();
    if (CreateProcessW(state.childExecutablePath, GetCommandLineW(), nullptr,
                       nullptr, TRUE, NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED,
                       nullptr, nullptr, &startup, &info))
      break;
    DWORD code = GetLastError();
    EndChildStart(nullptr);
    // The program has just been written, and an anti-virus scanner may
    // still hold it: the start fails with a sharing violation until the
    // scan is over. Any other failure is final at once (access denied, for
    // one, is a policy or missing rights, which waiting does not change).
    if (code != ERROR_SHARING_VIOLATION || retry == kChildStartRetries)
      ReportFatalOsError("Error, couldn't launch child", code);
    Sleep(kChildStartRetryPauseMs);
  }
  // When the assignment fails (the launcher's own job allows no nested one,
  // before Windows 8), the child runs outside any job of ours.
  if (state.childJob != nullptr)
    AssignProcessToJobObject(state.childJob, info.hProcess);
  if (ResumeThread(info.hThread) == (DWORD)-1) {
    // A child that cannot run would be waited for for ever.
    DWORD code = GetLastError();
    TerminateProcess(info.hProcess, 1);
    EndChildStart(nullptr);
    ReportFatalOsError("Error, couldn't launch child", code);
  }
  CloseHandle(info.hThread);
  HANDLE shared = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), info.hProcess, GetCurrentProcess(),
                       &shared, 0, FALSE, DUPLICATE_SAME_ACCESS))
    shared = nullptr;
  EndChildStart(shared);
  CloseProgressWindow(); // the child runs: the window goes

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
