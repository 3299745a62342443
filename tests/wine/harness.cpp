//===- tests/wine/harness.cpp - Starts a program, reports how it ended ----===//
//
// A console program for the launcher's tests under Wine, where a Unix exit
// status keeps only 8 bits of a Windows exit code. Four modes:
//
//   harness run --app HEX --command-line HEX [--cwd HEX] [--timeout MS]
//               [--env HEX]... [--copies N]
//               [--ctrl-c-when HEX] [--ctrl-c-delay MS] [--stderr pipe|console]
//               [--terminate-when HEX]
//     Starts the program HEX names with exactly the command line HEX holds
//     (both the hex of UTF-16LE code units, so the test controls every code
//     unit), hands it the harness's own standard handles, waits, and prints
//     "harness: ran-ms N" and "harness: exit-code D 0xX". Each --env sets
//     NAME=VALUE in the harness's environment first (TEMP, for one, so that
//     each test has an unpack directory of its own). --copies starts that many
//     at once and prints one exit-code line for each, in the order they were
//     started. With --ctrl-c-when it first moves to a console of its own
//     (FreeConsole, AllocConsole, a handler that keeps the harness alive), and
//     once something matches the named path (its last part may hold wildcards),
//     and after the delay, sends CTRL_C_EVENT to process group
//     0, that is, to every process on that console, then prints
//     "harness: ended-after-ctrl-c-ms N".
//     With --stderr pipe the program's standard error is a pipe, whose
//     bytes the harness copies to its own standard error as they come. With
//     --stderr console the program runs on a pseudo console of the harness's
//     (Wine 8 still hands it the harness's standard handles: the program
//     reaches the console through CONOUT$), and the harness copies the
//     console's output, UTF-8 with VT sequences, to its own standard error.
//     With --terminate-when, once something matches that path, it ends the
//     program at once with TerminateProcess (exit code 1), as a task
//     manager or a crash would, and prints "harness: terminated".
//
//   harness hold PATH MS READY
//     Opens PATH for reading without delete sharing, creates READY, keeps
//     PATH open for MS milliseconds and exits.
//
//   harness gone PID MS
//     Prints "harness: gone" once the process PID has ended (or when there
//     is none), or "harness: running" when it still runs after MS
//     milliseconds.
//
//   harness short PATH
//     Prints "harness: short " and the short (8.3) form of PATH as
//     GetShortPathNameW gives it, in UTF-8 (exit status 4 when it fails).
//     Wine makes its short names from a hash of the long one, not as
//     Windows numbers them ("AVER~STY.BIN", not "AVERYL~1.BIN").
//
//   harness await GO DONE MS
//     Waits until GO exists, then creates DONE and exits; gives up after MS
//     milliseconds (exit status 3). A process that outlives its starter
//     shows it this way: the test creates GO only after the starter ended.
//
// Exit status: the harness's own, 0 when the child ended in time (its code is
// in the printed line), 3 on a time-out (the child is then ended), 4 for bad
// usage or a failed start.
//
//===----------------------------------------------------------------------===//
// The pseudo console came with Windows 10 1809.
#define _WIN32_WINNT 0x0A00
#define NTDDI_VERSION 0x0A000006
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "tests/wine/hex16.h"

namespace {

void Say(const char *format, unsigned long a, unsigned long b = 0) {
  char line[128];
  int length = snprintf(line, sizeof line, format, a, b);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)length, &written,
            nullptr);
}

int Usage(void) {
  Say("harness: bad usage\n", 0);
  return 4;
}

BOOL WINAPI KeepHarnessAlive(DWORD) { return TRUE; }

// Copies what comes through `pipe` to our standard error until every
// writer has closed it.
void CopyPipe(HANDLE pipe) {
  char buffer[4096];
  DWORD got = 0, written = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), buffer, got, &written, nullptr);
}

DWORD WINAPI CopyPipeInThread(void *pipe) {
  CopyPipe((HANDLE)pipe);
  return 0;
}

// Whether anything matches `pattern` (a path, wildcards allowed in its last
// part).
bool Exists(const std::wstring &pattern) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return false;
  FindClose(search);
  return true;
}

int Hold(int argc, wchar_t **argv) {
  if (argc != 5)
    return Usage();
  HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return 4;
  HANDLE ready = CreateFileW(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             0, nullptr);
  if (ready != INVALID_HANDLE_VALUE)
    CloseHandle(ready);
  Sleep((DWORD)wcstoul(argv[3], nullptr, 10));
  CloseHandle(file);
  return 0;
}

// Sets NAME=VALUE in our own environment; false when there is no "=".
bool SetVariable(const std::wstring &assignment) {
  size_t equals = assignment.find(L'=', 1);
  if (equals == std::wstring::npos)
    return false;
  return SetEnvironmentVariableW(assignment.substr(0, equals).c_str(),
                                 assignment.c_str() + equals + 1) != FALSE;
}

int Run(int argc, wchar_t **argv) {
  std::wstring application, commandLine, directory, trigger, assignment;
  std::wstring errorKind;
  bool haveApplication = false, haveCommandLine = false;
  bool haveDirectory = false, haveTrigger = false, terminate = false;
  DWORD timeout = 60000, delay = 0, copies = 1;
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc)
      return Usage();
    const wchar_t *option = argv[i], *value = argv[i + 1];
    bool ok = true;
    if (wcscmp(option, L"--app") == 0)
      ok = haveApplication = FromHex(value, &application);
    else if (wcscmp(option, L"--command-line") == 0)
      ok = haveCommandLine = FromHex(value, &commandLine);
    else if (wcscmp(option, L"--cwd") == 0)
      ok = haveDirectory = FromHex(value, &directory);
    else if (wcscmp(option, L"--ctrl-c-when") == 0)
      ok = !haveTrigger && (haveTrigger = FromHex(value, &trigger));
    else if (wcscmp(option, L"--terminate-when") == 0)
      ok = !haveTrigger && (haveTrigger = terminate = FromHex(value, &trigger));
    else if (wcscmp(option, L"--ctrl-c-delay") == 0)
      delay = (DWORD)wcstoul(value, nullptr, 10);
    else if (wcscmp(option, L"--timeout") == 0)
      timeout = (DWORD)wcstoul(value, nullptr, 10);
    else if (wcscmp(option, L"--env") == 0)
      ok = FromHex(value, &assignment) && SetVariable(assignment);
    else if (wcscmp(option, L"--stderr") == 0)
      ok = (errorKind = value) == L"pipe" || errorKind == L"console";
    else if (wcscmp(option, L"--copies") == 0)
      ok = (copies = (DWORD)wcstoul(value, nullptr, 10)) >= 1 &&
           copies <= MAXIMUM_WAIT_OBJECTS;
    else
      ok = false;
    if (!ok)
      return Usage();
  }
  if (!haveApplication || !haveCommandLine || (haveTrigger && copies != 1) ||
      (!errorKind.empty() && (haveTrigger || copies != 1)))
    return Usage();

  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (haveTrigger && !terminate) {
    // A console of our own, with the launcher and its child on it, so that
    // the event reaches them; our handler keeps the harness itself alive.
    // The redirected standard handles are put back for the child and for
    // the final report.
    FreeConsole();
    AllocConsole();
    SetConsoleCtrlHandler(KeepHarnessAlive, TRUE);
    SetStdHandle(STD_INPUT_HANDLE, input);
    SetStdHandle(STD_OUTPUT_HANDLE, output);
    SetStdHandle(STD_ERROR_HANDLE, error);
  }
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE pipeEnd = nullptr;
  if (errorKind == L"pipe") {
    if (!CreatePipe(&pipeEnd, &error, &inherited, 0)) {
      Say("harness: pipe failed %lu\n", GetLastError());
      return 4;
    }
    SetHandleInformation(pipeEnd, HANDLE_FLAG_INHERIT, 0);
  }
  HPCON pseudoConsole = nullptr;
  HANDLE screen = nullptr, copier = nullptr;
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;
  if (errorKind == L"console") {
    HANDLE keys = nullptr, keysEnd = nullptr, screenEnd = nullptr;
    SIZE_T size = 0;
    if (!CreatePipe(&keys, &keysEnd, nullptr, 0) ||
        !CreatePipe(&screen, &screenEnd, nullptr, 0) ||
        CreatePseudoConsole({200, 50}, keys, screenEnd, 0, &pseudoConsole) !=
            S_OK) {
      Say("harness: pseudo console failed %lu\n", GetLastError());
      return 4;
    }
    CloseHandle(keys);
    CloseHandle(screenEnd);
    // The console writes as it goes; a pipe nobody reads would stall it.
    copier = CreateThread(nullptr, 0, CopyPipeInThread, screen, 0, nullptr);
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    attributes = (LPPROC_THREAD_ATTRIBUTE_LIST)malloc(size);
    InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    UpdateProcThreadAttribute(
        attributes, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, pseudoConsole,
        sizeof pseudoConsole, nullptr, nullptr);
  }

  STARTUPINFOEXW extended = {};
  STARTUPINFOW &startup = extended.StartupInfo;
  startup.cb = sizeof startup;
  DWORD flags = 0;
  if (attributes != nullptr) {
    startup.cb = sizeof extended;
    extended.lpAttributeList = attributes;
    flags = EXTENDED_STARTUPINFO_PRESENT;
  } else {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
  }
  HANDLE processes[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < copies; ++i) {
    PROCESS_INFORMATION info = {};
    // CreateProcessW may write into the command line: hand it a copy.
    std::wstring writable = commandLine;
    writable.push_back(0);
    // Wine 8, with several Wine programs starting at once on a loaded
    // machine, now and then fails a start with ERROR_INTERNAL_ERROR that
    // succeeds when made again; Windows does not. A few tries, then the
    // failure is reported as before.
    BOOL created = FALSE;
    for (int attempt = 0; attempt < 5 && !created; ++attempt) {
      if (attempt > 0)
        Sleep(200);
      std::wstring line = writable;
      created = CreateProcessW(application.c_str(), &line[0], nullptr, nullptr,
                               attributes == nullptr, flags, nullptr,
                               haveDirectory ? directory.c_str() : nullptr,
                               &startup, &info);
      if (!created && GetLastError() != ERROR_INTERNAL_ERROR)
        break;
    }
    if (!created) {
      Say("harness: start failed %lu\n", GetLastError());
      return 4;
    }
    CloseHandle(info.hThread);
    processes[i] = info.hProcess;
  }
  ULONGLONG started = GetTickCount64();
  if (pipeEnd != nullptr) {
    CloseHandle(error); // only the program holds the writing end now
    CopyPipe(pipeEnd);
    CloseHandle(pipeEnd);
  }

  if (haveTrigger) {
    HANDLE process = processes[0];
    while (!Exists(trigger)) {
      if (WaitForSingleObject(process, 10) == WAIT_OBJECT_0)
        break;
      if (GetTickCount64() - started > timeout)
        break;
    }
    if (terminate) {
      if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT)
        Say("harness: ended before terminate\n", 0);
      else if (!TerminateProcess(process, 1))
        Say("harness: terminate failed %lu\n", GetLastError());
      else
        Say("harness: terminated\n", 0);
    } else if (WaitForSingleObject(process, delay) == WAIT_TIMEOUT) {
      ULONGLONG sent = GetTickCount64();
      if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
        Say("harness: ctrl-c failed %lu\n", GetLastError());
      if (WaitForSingleObject(process, timeout) == WAIT_OBJECT_0)
        Say("harness: ended-after-ctrl-c-ms %lu\n",
            (unsigned long)(GetTickCount64() - sent));
    } else {
      Say("harness: ended before ctrl-c\n", 0);
    }
  }

  if (WaitForMultipleObjects(copies, processes, TRUE, timeout) ==
      WAIT_TIMEOUT) {
    for (DWORD i = 0; i < copies; ++i)
      TerminateProcess(processes[i], 1);
    Say("harness: timeout after %lu ms\n", timeout);
    return 3;
  }
  Say("harness: ran-ms %lu\n", (unsigned long)(GetTickCount64() - started));
  if (pseudoConsole != nullptr) {
    ClosePseudoConsole(pseudoConsole); // ends the copy at the last output
    WaitForSingleObject(copier, timeout);
  }
  for (DWORD i = 0; i < copies; ++i) {
    DWORD code = 0;
    if (!GetExitCodeProcess(processes[i], &code)) {
      Say("harness: no exit code %lu\n", GetLastError());
      return 4;
    }
    Say("harness: exit-code %lu 0x%08lX\n", code, code);
    CloseHandle(processes[i]);
  }
  return 0;
}

int Gone(int argc, wchar_t **argv) {
  if (argc != 4)
    return Usage();
  DWORD pid = (DWORD)wcstoul(argv[2], nullptr, 10);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  bool gone = process == nullptr;
  if (!gone) {
    gone = WaitForSingleObject(process, (DWORD)wcstoul(argv[3], nullptr, 10)) ==
           WAIT_OBJECT_0;
    CloseHandle(process);
  }
  Say(gone ? "harness: gone\n" : "harness: running\n", 0);
  return 0;
}

int Await(int argc, wchar_t **argv) {
  if (argc != 5)
    return Usage();
  ULONGLONG started = GetTickCount64();
  DWORD limit = (DWORD)wcstoul(argv[4], nullptr, 10);
  while (!Exists(argv[2])) {
    if (GetTickCount64() - started > limit)
      return 3;
    Sleep(10);
  }
  HANDLE done = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  if (done == INVALID_HANDLE_VALUE)
    return 4;
  CloseHandle(done);
  return 0;
}

int Short(int argc, wchar_t **argv) {
  if (argc != 3)
    return Usage();
  wchar_t path[32768];
  DWORD length = GetShortPathNameW(argv[2], path, 32768);
  if (length == 0 || length >= 32768)
    return 4;
  char utf8[3 * 32768];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, path, (int)length, utf8,
                                  (int)sizeof utf8 - 1, nullptr, nullptr);
  utf8[bytes] = 0;
  printf("harness: short %s\n", utf8);
  fflush(stdout);
  return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc >= 2 && wcscmp(argv[1], L"run") == 0)
    return Run(argc, argv);
  if (argc >= 2 && wcscmp(argv[1], L"hold") == 0)
    return Hold(argc, argv);
  if (argc >= 2 && wcscmp(argv[1], L"gone") == 0)
    return Gone(argc, argv);
  if (argc >= 2 && wcscmp(argv[1], L"await") == 0)
    return Await(argc, argv);
  if (argc >= 2 && wcscmp(argv[1], L"short") == 0)
    return Short(argc, argv);
  return Usage();
}
