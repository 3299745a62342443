//===- platform/posix/process.cpp - The child, waiting, signals ---------===//
//
// The child is started with posix_spawn and the argument vector the launcher
// received, argv[0] included. Waits never reap it (waitid with WNOWAIT), so
// any number of waits and exit-code reads may happen, from either thread,
// and its id can never be reused while the launcher holds a handle.
//
// SIGINT, SIGHUP and SIGTERM play the console events: they are blocked in
// every thread but one, which takes them with sigwait and calls the handler
// there, as Windows calls it on a thread of its own. When the handler
// returns FALSE, the signal is raised again with its default action, so the
// launcher ends as the signal would have ended it.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "launcher/console_bounds.h"
#include "platform/posix/hook.h"
#include "platform/posix/internal.h"

extern char **environ;

using namespace veskar_posix;

namespace {

int argumentCount;
char **arguments;
WCHAR *commandLine;
Handle currentProcess = {kProcessHandle, -1, 0, -1, false};

const int kConsoleSignals[] = {SIGINT, SIGHUP, SIGTERM};
// How often AwaitConsoleSignal looks for a pending or running handling.
const unsigned kSignalPollMs = 10;

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    fcntl((int)fd, F_SETFD, FD_CLOEXEC);
    return (int)fd;
  }
#endif
  (void)pid;
  return -1;
}

// True when the child has ended; its status stays for later reads.
bool HasEnded(pid_t pid, siginfo_t *info, bool block) {
  for (;;) {
    memset(info, 0, sizeof *info);
    int flags = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
    if (waitid(P_PID, (id_t)pid, info, flags) == 0)
      return info->si_pid == pid;
    if (errno != EINTR)
      return false;
  }
}

long long NowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

DWORD ControlTypeFor(int signal) {
  switch (signal) {
  case SIGINT:
    return CTRL_C_EVENT;
  case SIGHUP:
    return CTRL_CLOSE_EVENT;
  default:
    return CTRL_SHUTDOWN_EVENT;
  }
}

PHANDLER_ROUTINE consoleHandler;
// Set by the signal thread as soon as it has taken a signal.
volatile sig_atomic_t handlingConsoleSignal;

void *ConsoleSignalThread(void *) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kConsoleSignals)
    sigaddset(&set, s);
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0)
      continue;
    __atomic_store_n(&handlingConsoleSignal, 1, __ATOMIC_SEQ_CST);
    if (consoleHandler(ControlTypeFor(signal))) {
      __atomic_store_n(&handlingConsoleSignal, 0, __ATOMIC_SEQ_CST);
      continue;
    }
    // Not handled: end as the signal would.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
    _exit(128 + signal);
  }
  return nullptr;
}

} // namespace

namespace veskar_posix {

void SetArguments(int argc, char **argv) {
  argumentCount = argc;
  arguments = argv;
}

char **GetArguments(void) { return arguments; }

void AwaitConsoleSignal(void) {
  if (consoleHandler == nullptr)
    return;
  // As long as the core's own wait for an event's ending.
  for (unsigned i = 0; i < kConsoleEndingWaitMs / kSignalPollMs; ++i) {
    sigset_t pending;
    sigpending(&pending);
    bool waiting = __atomic_load_n(&handlingConsoleSignal, __ATOMIC_SEQ_CST);
    for (int s : kConsoleSignals)
      waiting = waiting || sigismember(&pending, s) == 1;
    if (!waiting)
      return;
    usleep(kSignalPollMs * 1000);
  }
}

} // namespace veskar_posix

LPWSTR GetCommandLineW(void) {
  // The arguments joined by spaces, for display only: the child gets the
  // argument vector itself, never a re-split of this text.
  if (commandLine != nullptr)
    return commandLine;
  size_t total = 1;
  for (int i = 0; i < argumentCount; ++i)
    total += FromNative(arguments[i], nullptr, 0, false) + 1;
  commandLine = (WCHAR *)calloc(total, sizeof(WCHAR));
  if (commandLine == nullptr) {
    static WCHAR empty[1];
    return empty;
  }
  size_t at = 0;
  for (int i = 0; i < argumentCount; ++i) {
    if (i > 0)
      commandLine[at++] = ' ';
    at += FromNative(arguments[i], commandLine + at, total - at, false);
  }
  return commandLine;
}

HANDLE GetCurrentProcess(void) { return &currentProcess; }

DWORD GetCurrentProcessId(void) { return (DWORD)getpid(); }

BOOL CreateProcessW(LPCWSTR application, LPWSTR, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                    LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  VESKAR_HOOK("CreateProcessW", application, BOOL);
  static char path[kNativePathCapacity];
  if (application == nullptr || application[0] == 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (!ToNative(application, path, sizeof path, true)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  char *fallback[2] = {path, nullptr};
  char **argv = arguments != nullptr && argumentCount > 0 ? arguments : fallback;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (startup != nullptr && (startup->dwFlags & STARTF_USESTDHANDLES)) {
    HANDLE std[3] = {startup->hStdInput, startup->hStdOutput,
                     startup->hStdError};
    for (int target = 0; target < 3; ++target) {
      Handle *h = (Handle *)std[target];
      // A missing handle stands for a stream the launcher has not got
      // either: the child goes without it, as the launcher does.
      if (h == nullptr || h == INVALID_HANDLE_VALUE || h->fd < 0)
        continue;
      if (h->fd != target)
        posix_spawn_file_actions_adddup2(&actions, h->fd, target);
    }
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : kConsoleSignals)
    sigaddset(&defaults, s);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  int error = posix_spawn(&pid, path, &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    SetLastErrorFromErrno(error);
    return FALSE;
  }
  Handle *process = NewHandle(kProcessHandle);
  Handle *thread = NewHandle(kThreadHandle);
  if (process == nullptr || thread == nullptr)
    abort(); // a few bytes of heap; nothing sensible is left to do
  process->pid = pid;
  process->pidfd = OpenPidFd(pid);
  info->hProcess = process;
  info->hThread = thread;
  info->dwProcessId = (DWORD)pid;
  info->dwThreadId = (DWORD)pid;
  return TRUE;
}

BOOL DuplicateHandle(HANDLE, HANDLE source, HANDLE, HANDLE *target, DWORD,
                     BOOL, DWORD) {
  Handle *from = (Handle *)source;
  if (from == nullptr || from == INVALID_HANDLE_VALUE ||
      from->kind != kProcessHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Handle *copy = NewHandle(kProcessHandle);
  if (copy == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  copy->pid = from->pid;
  copy->pidfd = from->pidfd >= 0 ? fcntl(from->pidfd, F_DUPFD_CLOEXEC, 0) : -1;
  *target = copy;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  VESKAR_HOOK_COUNT("WaitForSingleObject", milliseconds, DWORD);
  Handle *handle = (Handle *)object;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      handle->kind != kProcessHandle || handle->pid <= 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  siginfo_t info;
  if (milliseconds == INFINITE)
    return HasEnded(handle->pid, &info, true) ? WAIT_OBJECT_0 : WAIT_FAILED;
  long long deadline = NowMs() + milliseconds;
  for (;;) {
    if (HasEnded(handle->pid, &info, false))
      return WAIT_OBJECT_0;
    long long left = deadline - NowMs();
    if (left <= 0)
      return WAIT_TIMEOUT;
    if (handle->pidfd >= 0) {
      struct pollfd ready = {handle->pidfd, POLLIN, 0};
      poll(&ready, 1, (int)left);
    } else {
      usleep((useconds_t)((left < 10 ? left : 10) * 1000));
    }
  }
}

BOOL GetExitCodeProcess(HANDLE object, LPDWORD exitCode) {
  Handle *handle = (Handle *)object;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      handle->kind != kProcessHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  siginfo_t info;
  if (!HasEnded(handle->pid, &info, false)) {
    if (errno == ECHILD) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    *exitCode = STILL_ACTIVE;
    return TRUE;
  }
  // A child ended by a signal reports as a shell would show it.
  *exitCode = info.si_code == CLD_EXITED ? (DWORD)info.si_status
                                         : (DWORD)(128 + info.si_status);
  return TRUE;
}

BOOL TerminateProcess(HANDLE object, UINT exitCode) {
  // The exit code is only logged: a signal ends the child here.
  VESKAR_HOOK_COUNT("TerminateProcess", exitCode, BOOL);
  Handle *handle = (Handle *)object;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      handle->kind != kProcessHandle || handle->pid <= 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (kill(handle->pid, SIGKILL) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

void ExitProcess(UINT exitCode) {
  if (exitCode == STATUS_CONTROL_C_EXIT) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigaction(SIGINT, &action, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, SIGINT);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(SIGINT);
    exitCode = 128 + SIGINT;
  }
  _exit((int)exitCode);
}

void Sleep(DWORD milliseconds) {
  VESKAR_HOOK_COUNT("Sleep", milliseconds, void);
  struct timespec left = {(time_t)(milliseconds / 1000),
                          (long)(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
  if (!add || routine == nullptr || consoleHandler != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  consoleHandler = routine;
  sigset_t set;
  sigemptyset(&set);
  for (int s : kConsoleSignals)
    sigaddset(&set, s);
  // Blocked before the thread exists, so that every thread made later
  // inherits the mask and only the signal thread takes them.
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
    return FALSE;
  pthread_t thread;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  int error = pthread_create(&thread, &attributes, ConsoleSignalThread, nullptr);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    consoleHandler = nullptr;
    SetLastErrorFromErrno(error);
    return FALSE;
  }
  return TRUE;
}

void AbortProcess(void) { abort(); }
