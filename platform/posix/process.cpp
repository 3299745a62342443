//===- platform/posix/process.cpp - The child, waiting, signals ---------===//
//
// The child is started with vfork and execve and the argument vector the
// launcher received, argv[0] included; posix_spawn cannot set the signal
// the child gets at the launcher's death. A close-on-exec pipe carries the
// exec's error back, so that CreateProcessW fails for a program that cannot
// run, as on Windows. Waits never reap the child (waitid with WNOWAIT), so
// any number of waits and exit-code reads may happen, from either thread,
// and its id can never be reused while the launcher holds a handle.
//
// SIGINT, SIGHUP and SIGTERM play the console events: they are blocked in
// every thread but one, which takes them with sigwait and calls the handler
// there, as Windows calls it on a thread of its own. When the handler
// returns FALSE, the signal is raised again with its default action, so the
// launcher ends as the signal would have ended it. A signal the launcher
// was started ignoring (nohup, a shell's trap '' INT) plays no event: it is
// neither blocked nor waited for, so it stays as harmless to the launcher
// as to the program unpacked, just as a Windows process started with Ctrl+C
// disabled never sees CTRL_C_EVENT.
//
// The child starts with the signal actions and the signal mask the launcher
// was started with (recorded at entry, NoteInheritedSignals), whatever the
// launcher has changed for itself since.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "common/console_bounds.h"
#include "platform/posix/hook.h"
#include "platform/posix/internal.h"

extern char **environ;

using namespace veskar_posix;

namespace {

int argumentCount;
char **arguments;
WCHAR *commandLine;
Handle currentProcess = {kProcessHandle, -1,      0, -1,    false,
                         nullptr,        nullptr, 0, false, nullptr, false};

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

// What /proc/<pid>/stat says of a process.
struct ProcessStat {
  char state;                    // 'R', 'S', ..., 'Z' for a zombie
  unsigned long long startTicks; // clock ticks since boot
  int exitStatus; // waitpid's form; 0 while it runs, or when not shown to us
};

// Reads the stat of the process opened as `object` (OpenProcess), through
// its /proc folder. False, with the last error set, when `object` is no
// such handle or the stat cannot be read: the process has been reaped
// meanwhile, for one.
bool ReadOpenedProcess(HANDLE object, ProcessStat *stat) {
  Handle *handle = HandleOfKind(object, kOpenedProcessHandle);
  if (handle == nullptr)
    return false;
  int fd = openat(handle->fd, "stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  char text[1024];
  ssize_t length = read(fd, text, sizeof text - 1);
  int error = errno;
  close(fd);
  // The command name in parentheses may hold anything, ')' and spaces
  // included; the fields after it are plain numbers, the state first.
  char *at = length > 0 ? (text[length] = 0, strrchr(text, ')')) : nullptr;
  if (at == nullptr || at[1] != ' ') {
    SetLastErrorFromErrno(length < 0 ? error : ESRCH);
    return false;
  }
  at += 2;
  stat->state = *at;
  stat->startTicks = 0;
  stat->exitStatus = 0;
  // Field 3 is the state, 22 the start time, 52 the exit status.
  for (int field = 3; at != nullptr && *at != 0; ++field) {
    if (field == 22)
      stat->startTicks = strtoull(at, nullptr, 10);
    else if (field == 52)
      stat->exitStatus = (int)strtol(at, nullptr, 10);
    at = strchr(at, ' ');
    if (at != nullptr)
      ++at;
  }
  return true;
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

// What the launcher was started with. Left empty (every action the
// default, nothing blocked) where nothing was recorded.
struct {
  sigset_t ignored;
  sigset_t mask;
} inherited;

// The console signals the launcher takes: those it was not started
// ignoring (SetConsoleCtrlHandler).
sigset_t consoleSignals;

PHANDLER_ROUTINE consoleHandler;
// Set by the signal thread as soon as it has taken a signal.
volatile sig_atomic_t handlingConsoleSignal;

// Ends the process the way `signal` does by default: its default action
// restored and the signal unblocked and raised; the status a shell shows
// for it if the signal does not end the process after all.
[[noreturn]] void EndBySignal(int signal) {
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

void *ConsoleSignalThread(void *) {
  for (;;) {
    int signal = 0;
    if (sigwait(&consoleSignals, &signal) != 0)
      continue;
    __atomic_store_n(&handlingConsoleSignal, 1, __ATOMIC_SEQ_CST);
    if (consoleHandler(ControlTypeFor(signal))) {
      __atomic_store_n(&handlingConsoleSignal, 0, __ATOMIC_SEQ_CST);
      continue;
    }
    // Not handled: end as the signal would.
    EndBySignal(signal);
  }
  return nullptr;
}

// What the child needs between vfork and exec, all made ready before the
// vfork.
struct ChildStart {
  const char *path;
  char **argv;
  char **envp;
  // The descriptor for each standard stream, or -1 to leave it as it is.
  int standard[3];
  // The signals to be ignored in the child; every other one gets its
  // default action.
  sigset_t ignored;
  // The child's signal mask.
  sigset_t mask;
  // The launcher's id, taken before the vfork.
  pid_t launcher;
  // The write end of the pipe that carries the exec's errno back; it closes
  // at a successful exec.
  int errorPipe;
};

// The child, from its vfork to its exec. It runs in the launcher's memory
// while the launcher's thread waits, with every signal blocked: it calls
// only async-signal-safe functions, allocates nothing and writes nothing
// but its own stack (and errno, which the launcher does not read after the
// vfork).
[[noreturn]] void StartChild(const ChildStart &start) {
  // SIGKILL when the launcher dies, not SIGTERM: a child may ignore or block
  // SIGTERM (the console signals are there for it to handle), and a SIGKILL
  // to follow would need a process to send it, while the one that would
  // have sent it is what has just died. On Windows the job's close ends
  // the child as TerminateProcess does, with no chance to refuse either.
  int error = 0;
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    error = errno;
  } else if (getppid() != start.launcher) {
    // The launcher died before the signal was set, so it will never come.
    _exit(127);
  }
  for (int target = 0; error == 0 && target < 3; ++target) {
    int fd = start.standard[target];
    if (fd >= 0 && fd != target && dup2(fd, target) < 0)
      error = errno;
  }
  if (error == 0) {
    struct sigaction action;
    for (int s = 1; s < NSIG; ++s) {
      if (sigaction(s, nullptr, &action) != 0)
        continue; // not a signal an action can be set for
      void (*wanted)(int) =
          sigismember(&start.ignored, s) == 1 ? SIG_IGN : SIG_DFL;
      if (action.sa_handler != wanted) {
        memset(&action, 0, sizeof action);
        action.sa_handler = wanted;
        sigaction(s, &action, nullptr);
      }
    }
    sigprocmask(SIG_SETMASK, &start.mask, nullptr);
    execve(start.path, start.argv, start.envp);
    error = errno;
  }
  ssize_t written;
  do
    written = write(start.errorPipe, &error, sizeof error);
  while (written < 0 && errno == EINTR);
  _exit(127);
}

} // namespace

namespace veskar_posix {

const int kSelfRaisedSignals[2] = {SIGXFSZ, SIGPIPE};

void NoteInheritedSignals(void) {
  sigemptyset(&inherited.ignored);
  struct sigaction action;
  for (int s = 1; s < NSIG; ++s)
    if (sigaction(s, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
      sigaddset(&inherited.ignored, s);
  pthread_sigmask(SIG_SETMASK, nullptr, &inherited.mask);
}

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
      waiting = waiting || (sigismember(&consoleSignals, s) == 1 &&
                            sigismember(&pending, s) == 1);
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

BOOL GetProcessAffinityMask(HANDLE, PDWORD_PTR processMask,
                            PDWORD_PTR systemMask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  DWORD_PTR mask = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE && cpu < 64; ++cpu)
    if (CPU_ISSET(cpu, &set))
      mask |= (DWORD_PTR)1 << cpu;
  *processMask = *systemMask = mask;
  return TRUE;
}

BOOL CreateProcessW(LPCWSTR application, LPWSTR, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD flags, LPVOID, LPCWSTR,
                    LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  VESKAR_HOOK_NOTED("CreateProcessW", application,
                    (flags & CREATE_SUSPENDED) ? "suspended" : nullptr, BOOL);
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
  ChildStart start;
  start.path = path;
  start.argv = arguments != nullptr && argumentCount > 0 ? arguments : fallback;
  start.envp = environ;
  for (int target = 0; target < 3; ++target)
    start.standard[target] = -1;
  if (startup != nullptr && (startup->dwFlags & STARTF_USESTDHANDLES)) {
    HANDLE std[3] = {startup->hStdInput, startup->hStdOutput,
                     startup->hStdError};
    for (int target = 0; target < 3; ++target) {
      Handle *h = (Handle *)std[target];
      // A missing handle stands for a stream the launcher has not got
      // either: the child goes without it, as the launcher does.
      if (h == nullptr || h == INVALID_HANDLE_VALUE || h->fd < 0)
        continue;
      start.standard[target] = h->fd;
    }
  }
  start.ignored = inherited.ignored;
  start.mask = inherited.mask;
  start.launcher = getpid();

  int errorPipe[2];
  if (pipe2(errorPipe, O_CLOEXEC) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  start.errorPipe = errorPipe[1];
  // Every signal stays blocked until the child has put back the action
  // each one had when the launcher started: a handler of the launcher's
  // must never run in the child, which shares the launcher's memory.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  pid_t pid = vfork();
  if (pid == 0)
    StartChild(start);
  int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  close(errorPipe[1]);
  if (pid < 0) {
    close(errorPipe[0]);
    SetLastErrorFromErrno(forkError);
    return FALSE;
  }
  // The child has run its program, or has failed to: then the pipe holds
  // its errno. At its exec the pipe closed, and the read finds nothing.
  int childError = 0;
  ssize_t got;
  do
    got = read(errorPipe[0], &childError, sizeof childError);
  while (got < 0 && errno == EINTR);
  close(errorPipe[0]);
  if (got == (ssize_t)sizeof childError) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    SetLastErrorFromErrno(childError);
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

DWORD ResumeThread(HANDLE object) {
  VESKAR_HOOK("ResumeThread", nullptr, DWORD);
  Handle *handle = HandleOfKind(object, kThreadHandle);
  if (handle == nullptr)
    return (DWORD)-1;
  return 0; // the child never waited (see win32.h)
}

HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES, LPCWSTR name) {
  VESKAR_HOOK("CreateJobObjectW", name, HANDLE);
  Handle *job = NewHandle(kJobHandle);
  if (job == nullptr)
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return job;
}

BOOL SetInformationJobObject(HANDLE object, JOBOBJECTINFOCLASS infoClass,
                             LPVOID info, DWORD length) {
  bool limits = infoClass == JobObjectExtendedLimitInformation &&
                info != nullptr &&
                length == sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION);
  // The log shows the limits asked for.
  VESKAR_HOOK_COUNT("SetInformationJobObject",
                    limits ? ((JOBOBJECT_EXTENDED_LIMIT_INFORMATION *)info)
                                 ->BasicLimitInformation.LimitFlags
                           : 0,
                    BOOL);
  Handle *job = (Handle *)object;
  if (job == nullptr || job == INVALID_HANDLE_VALUE ||
      job->kind != kJobHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!limits) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL AssignProcessToJobObject(HANDLE object, HANDLE process) {
  VESKAR_HOOK("AssignProcessToJobObject", nullptr, BOOL);
  Handle *job = (Handle *)object, *child = (Handle *)process;
  if (job == nullptr || job == INVALID_HANDLE_VALUE ||
      job->kind != kJobHandle || child == nullptr ||
      child == INVALID_HANDLE_VALUE || child->kind != kProcessHandle ||
      child->pid <= 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL DuplicateHandle(HANDLE, HANDLE source, HANDLE, HANDLE *target, DWORD, BOOL,
                     DWORD) {
  Handle *from = HandleOfKind(source, kProcessHandle);
  if (from == nullptr)
    return FALSE;
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
  Handle *handle = (Handle *)object;
  // The log keeps the waits for processes: a wait for one of the launcher's
  // own threads is neither logged nor scripted.
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      handle->kind == kOwnThreadHandle)
    return WaitForOwnThread(handle, milliseconds);
  // A wait on an event is logged, and scripted, under a name of its own, so
  // that a test can script it and the waits for processes apart.
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      handle->kind == kEventHandle) {
    VESKAR_HOOK_COUNT("WaitForEvent", milliseconds, DWORD);
    return WaitForEvent(handle, milliseconds);
  }
  VESKAR_HOOK_COUNT("WaitForSingleObject", milliseconds, DWORD);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      handle->kind != kProcessHandle || handle->pid <= 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  siginfo_t info;
  if (milliseconds == INFINITE)
    return HasEnded(handle->pid, &info, true) ? WAIT_OBJECT_0 : WAIT_FAILED;
  long long deadline = (long long)MonotonicMilliseconds() + milliseconds;
  for (;;) {
    if (HasEnded(handle->pid, &info, false))
      return WAIT_OBJECT_0;
    long long left = deadline - (long long)MonotonicMilliseconds();
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

namespace {

// A status in waitpid's form as the exit code a shell shows for it.
DWORD ExitCodeFromStatus(int status) {
  return WIFEXITED(status) ? (DWORD)WEXITSTATUS(status)
                           : (DWORD)(128 + WTERMSIG(status));
}

} // namespace

BOOL GetExitCodeProcess(HANDLE object, LPDWORD exitCode) {
  Handle *handle = (Handle *)object;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      handle->kind == kOpenedProcessHandle) {
    ProcessStat stat;
    if (!ReadOpenedProcess(object, &stat))
      return FALSE;
    // A zombie ('Z', or 'X' on its way out) has ended; only its parent has
    // not collected its status yet.
    *exitCode = stat.state == 'Z' || stat.state == 'X'
                    ? ExitCodeFromStatus(stat.exitStatus)
                    : STILL_ACTIVE;
    return TRUE;
  }
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

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
  VESKAR_HOOK_COUNT("OpenProcess", processId, HANDLE);
  if (processId == 0 || processId > (DWORD)INT32_MAX) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  char path[32];
  snprintf(path, sizeof path, "/proc/%u", (unsigned)processId);
  // The folder stays bound to this process: once it has been reaped, reads
  // through it fail, even if its id has been given to another.
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    // /proc may hide other users' processes (hidepid=2); kill() with no
    // signal still tells whether one exists. Only that answer is "no such
    // process": whatever else went wrong says nothing about it.
    if (error == ENOENT && kill((pid_t)processId, 0) != 0 && errno == ESRCH)
      SetLastError(ERROR_INVALID_PARAMETER);
    else if (error == EMFILE || error == ENFILE || error == ENOMEM)
      SetLastErrorFromErrno(error);
    else
      SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  Handle *handle = NewHandle(kOpenedProcessHandle);
  if (handle == nullptr) {
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  handle->fd = fd;
  handle->pid = (pid_t)processId;
  return handle;
}

BOOL GetProcessTimes(HANDLE object, LPFILETIME creation, LPFILETIME exit,
                     LPFILETIME kernel, LPFILETIME user) {
  ProcessStat stat;
  if (!ReadOpenedProcess(object, &stat))
    return FALSE;
  unsigned long long startTicks = stat.startTicks;
  long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (ticksPerSecond <= 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  // The start time counts clock ticks since boot on CLOCK_BOOTTIME; the
  // boot's moment on the wall clock is now less the time since boot.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  struct timespec sinceBoot;
  clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
  uint64_t nowTicks = ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
  uint64_t bootTicks = nowTicks - ((uint64_t)sinceBoot.tv_sec * 10000000ULL +
                                   (uint64_t)sinceBoot.tv_nsec / 100);
  uint64_t created =
      bootTicks +
      startTicks / (unsigned long long)ticksPerSecond * 10000000ULL +
      startTicks % (unsigned long long)ticksPerSecond * 10000000ULL /
          (unsigned long long)ticksPerSecond;
  creation->dwLowDateTime = (DWORD)created;
  creation->dwHighDateTime = (DWORD)(created >> 32);
  FILETIME zero = {0, 0};
  *exit = zero;
  *kernel = zero;
  *user = zero;
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
  if (exitCode == STATUS_CONTROL_C_EXIT)
    EndBySignal(SIGINT);
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
  sigemptyset(&consoleSignals);
  bool any = false;
  for (int s : kConsoleSignals) {
    if (sigismember(&inherited.ignored, s) == 1)
      continue;
    sigaddset(&consoleSignals, s);
    any = true;
  }
  if (!any)
    return TRUE; // nothing to take, so no thread to take it
  // Blocked before the thread exists, so that every thread made later
  // inherits the mask and only the signal thread takes them.
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &consoleSignals, &previous) != 0)
    return FALSE;
  pthread_t thread;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  int error =
      pthread_create(&thread, &attributes, ConsoleSignalThread, nullptr);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    consoleHandler = nullptr;
    SetLastErrorFromErrno(error);
    return FALSE;
  }
  return TRUE;
}

void AbortProcess(void) { abort(); }
