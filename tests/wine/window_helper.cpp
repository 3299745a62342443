//===- tests/wine/window_helper.cpp - The launcher's windows, from outside
//-===//
//
// A console program for the window tests under Wine. Titles are given as
// the hex of their UTF-16LE code units; texts come back the same way.
//
//   window-helper close TITLE MS
//     Waits up to MS for a top-level window titled TITLE, sends it
//     WM_CLOSE (what its close box sends) and prints "window-helper:
//     closed"; exit status 3 when none came.
//
//   window-helper box APP TITLE MS GO (none|pipe)
//     Starts the program APP (hex) with no standard handles at all ("none":
//     as from the desktop) or with a pipe for its standard output and error
//     ("pipe"), and watches for a window titled TITLE while it runs. When
//     one comes, prints "window-helper: box-text HEX" (the texts of its
//     static controls, the message box's line among them), waits up to MS
//     for the file GO (hex) to exist (the test has found the title in the X
//     display meanwhile) and closes it as its OK button does. Once the
//     program has ended, prints "window-helper: no-box" when no such window
//     came, what a pipe brought as "window-helper: piped HEX" (bytes), and
//     "window-helper: exit-code D".
//
//===----------------------------------------------------------------------===//
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

#include "tests/wine/hex16.h"

namespace {

void PrintHex16(const wchar_t *text) {
  for (const wchar_t *p = text; *p != 0; ++p)
    printf("%02x%02x", (unsigned)*p & 0xff, ((unsigned)*p >> 8) & 0xff);
}

HWND FindTitled(const std::wstring &title) {
  return FindWindowW(nullptr, title.c_str());
}

HWND AwaitTitled(const std::wstring &title, DWORD ms) {
  for (DWORD waited = 0;; waited += 20) {
    HWND found = FindTitled(title);
    if (found != nullptr || waited >= ms)
      return found;
    Sleep(20);
  }
}

BOOL CALLBACK PrintStatic(HWND child, LPARAM) {
  wchar_t name[32], text[4096];
  if (GetClassNameW(child, name, 32) > 0 && _wcsicmp(name, L"Static") == 0 &&
      GetWindowTextW(child, text, 4096) > 0) {
    printf("window-helper: box-text ");
    PrintHex16(text);
    printf("\n");
    fflush(stdout);
  }
  return TRUE;
}

int Close(const std::wstring &title, DWORD ms) {
  HWND found = AwaitTitled(title, ms);
  if (found == nullptr)
    return 3;
  PostMessageW(found, WM_CLOSE, 0, 0);
  printf("window-helper: closed\n");
  return 0;
}

int Box(const std::wstring &app, const std::wstring &title, DWORD ms,
        const std::wstring &go, bool pipe) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (pipe) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
      return 4;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    startup.hStdOutput = startup.hStdError = writeEnd;
  }
  PROCESS_INFORMATION info = {};
  std::wstring commandLine = L"\"" + app + L"\"";
  if (!CreateProcessW(app.c_str(), &commandLine[0], nullptr, nullptr, pipe, 0,
                      nullptr, nullptr, &startup, &info))
    return 4;
  CloseHandle(info.hThread);
  if (writeEnd != nullptr)
    CloseHandle(writeEnd);
  std::string piped;
  bool seen = false;
  for (;;) {
    if (readEnd != nullptr) {
      DWORD available = 0;
      char bytes[4096];
      DWORD got = 0;
      while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) &&
             available > 0 &&
             ReadFile(readEnd, bytes, sizeof bytes, &got, nullptr) && got > 0)
        piped.append(bytes, got);
    }
    HWND box = seen ? nullptr : FindTitled(title);
    if (box != nullptr) {
      seen = true;
      EnumChildWindows(box, PrintStatic, 0);
      for (DWORD waited = 0; waited < ms && GetFileAttributesW(go.c_str()) ==
                                                INVALID_FILE_ATTRIBUTES;
           waited += 20)
        Sleep(20);
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    if (WaitForSingleObject(info.hProcess, 20) == WAIT_OBJECT_0)
      break;
  }
  if (readEnd != nullptr) {
    char bytes[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, bytes, sizeof bytes, &got, nullptr) && got > 0)
      piped.append(bytes, got);
    printf("window-helper: piped ");
    for (unsigned char c : piped)
      printf("%02x", c);
    printf("\n");
  }
  if (!seen)
    printf("window-helper: no-box\n");
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  printf("window-helper: exit-code %lu\n", (unsigned long)code);
  return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  std::wstring title, app, go;
  if (argc == 4 && wcscmp(argv[1], L"close") == 0 && FromHex(argv[2], &title))
    return Close(title, (DWORD)_wtoi(argv[3]));
  if (argc == 7 && wcscmp(argv[1], L"box") == 0 && FromHex(argv[2], &app) &&
      FromHex(argv[3], &title) && FromHex(argv[5], &go))
    return Box(app, title, (DWORD)_wtoi(argv[4]), go,
               wcscmp(argv[6], L"pipe") == 0);
  fprintf(stderr, "usage: window-helper close TITLE MS | box APP TITLE MS "
                  "GO none|pipe\n");
  return 4;
}
