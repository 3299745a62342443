//===- tests/wine/probe.cpp - A child that reports what it was given ------===//
//
// The launcher's tests pack this program as the child. It is built twice,
// for the console and for the GUI subsystem. Everything it is told comes
// from its environment, since its command line is the launcher's:
//
//   VESKAR_PROBE_REPORT      file to write the report to (written under a
//                            temporary name, then renamed, so a reader never
//                            sees half of it); when it names a directory,
//                            the report is report-PID.txt in there
//   VESKAR_PROBE_EXIT        exit code, decimal or 0x-hex, all 32 bits
//   VESKAR_PROBE_READ_STDIN  "1": read standard input to its end first
//   VESKAR_PROBE_IGNORE_CTRL "1": ignore Ctrl+C and Ctrl+Break
//   VESKAR_PROBE_SLEEP_MS    sleep this long after the report, then write
//                            "probe: slept" to standard output, then exit
//   VESKAR_PROBE_HOLDER      path of the harness: start it to hold this
//                            program's own file open without delete sharing
//   VESKAR_PROBE_HOLD_MS     how long the holder keeps it open
//   VESKAR_PROBE_GRANDCHILD  path of the harness: start it, as an ordinary
//                            child with no flags, to wait for REPORT.go and
//                            then create REPORT.grandchild (see the harness's
//                            await mode)
//   VESKAR_PROBE_NEST        make this many directories "d", each in the
//                            last, in its own directory (after listing it);
//                            the report says how many it made
//   VESKAR_PROBE_FOLDER      "1": do to its own folder, in order, what a
//                            program may (FolderRows below), and report
//                            "folder ROW ok" or "folder ROW error N"
//
// The report is UTF-8 text, one "key value" line each; text values are
// the hex of their UTF-16LE code units, so nothing is lost or re-encoded on
// the way to the test.
//
//===----------------------------------------------------------------------===//
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "common/sha256.h"

namespace {

std::string report;

void Add(const char *text) { report += text; }

// Appends the UTF-16LE bytes of `text` as hex, or "-" for a missing value.
void AddHex(const wchar_t *text) {
  if (text == nullptr) {
    Add("-");
    return;
  }
  static const char kDigits[] = "0123456789abcdef";
  for (const wchar_t *p = text; *p != 0; ++p) {
    unsigned unit = (unsigned)*p;
    char bytes[5] = {kDigits[(unit >> 4) & 15], kDigits[unit & 15],
                     kDigits[(unit >> 12) & 15], kDigits[(unit >> 8) & 15], 0};
    Add(bytes);
  }
}

void AddBytesHex(const unsigned char *data, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    char pair[3] = {kDigits[data[i] >> 4], kDigits[data[i] & 15], 0};
    Add(pair);
  }
}

void AddNumber(unsigned long long value) {
  char text[32];
  snprintf(text, sizeof text, "%llu", value);
  Add(text);
}

// The value of an environment variable, or an empty string with `present`
// false.
std::wstring Variable(const wchar_t *name, bool *present = nullptr) {
  wchar_t small[1];
  SetLastError(0);
  DWORD needed = GetEnvironmentVariableW(name, small, 1);
  if (needed == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
    if (present != nullptr)
      *present = false;
    return std::wstring();
  }
  if (present != nullptr)
    *present = true;
  std::wstring value(needed, L'\0');
  DWORD got = GetEnvironmentVariableW(name, &value[0], needed);
  value.resize(got);
  return value;
}

void AddVariable(const char *key, const wchar_t *name) {
  bool present = false;
  std::wstring value = Variable(name, &present);
  Add(key);
  Add(" ");
  AddHex(present ? value.c_str() : nullptr);
  Add("\n");
}

void AddStdHandle(const char *key, DWORD which) {
  HANDLE handle = GetStdHandle(which);
  Add(key);
  if (handle == nullptr) {
    Add(" null\n");
    return;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    Add(" invalid\n");
    return;
  }
  DWORD type = GetFileType(handle);
  bool valid = type != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
  Add(valid ? " valid " : " invalid ");
  AddNumber(type);
  Add("\n");
}

// Adds a "file" line for every file below `directory`; `relative` is the
// name so far, with backslashes.
void AddFiles(const std::wstring &directory, const std::wstring &relative) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..")
      continue;
    std::wstring path = directory + L"\\" + name;
    std::wstring inside = relative.empty() ? name : relative + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      Add("directory ");
      AddHex(inside.c_str());
      Add("\n");
      AddFiles(path, inside);
      continue;
    }
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    Sha256 sha;
    Sha256Init(sha);
    unsigned long long size = 0;
    if (file != INVALID_HANDLE_VALUE) {
      static unsigned char chunk[65536];
      DWORD got = 0;
      while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        Sha256Update(sha, chunk, got);
        size += got;
      }
      CloseHandle(file);
    }
    char digest[65];
    Sha256HexDigest(sha, digest);
    Add("file ");
    AddHex(inside.c_str());
    Add(" ");
    AddNumber(size);
    Add(" ");
    Add(file != INVALID_HANDLE_VALUE ? digest : "unreadable");
    Add("\n");
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

void ReadStandardInput(void) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  std::string data;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(input, chunk, sizeof chunk, &got, nullptr) && got > 0)
    data.append(chunk, got);
  Add("stdin ");
  AddBytesHex((const unsigned char *)data.data(), data.size());
  Add("\n");
}

BOOL WINAPI IgnoreControl(DWORD) { return TRUE; }

// Starts the harness in hold mode on `path` and waits until it holds it.
void StartHolder(const std::wstring &holder, const std::wstring &path,
                 const std::wstring &ready, const std::wstring &ms) {
  std::wstring command = L"\"" + holder + L"\" hold \"" + path + L"\" " + ms +
                         L" \"" + ready + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  // Detached and in a group of its own: no console event may end it early.
  if (!CreateProcessW(holder.c_str(), &command[0], nullptr, nullptr, FALSE,
                      DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr,
                      nullptr, &startup, &info)) {
    Add("holder failed ");
    AddNumber(GetLastError());
    Add("\n");
    return;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  for (int i = 0; i < 1000; ++i) {
    if (GetFileAttributesW(ready.c_str()) != INVALID_FILE_ATTRIBUTES) {
      Add("holder ready\n");
      return;
    }
    Sleep(10);
  }
  Add("holder not ready\n");
}

// Starts the harness in await mode as a child of our own, with no flags:
// an application's updater or viewer, started the ordinary way.
void StartGrandchild(const std::wstring &harness, const std::wstring &report) {
  std::wstring command = L"\"" + harness + L"\" await \"" + report +
                         L".go\" \"" + report + L".grandchild\" 60000";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(harness.c_str(), &command[0], nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &info)) {
    Add("grandchild failed ");
    AddNumber(GetLastError());
    Add("\n");
    return;
  }
  Add("grandchild ");
  AddNumber(info.dwProcessId);
  Add("\n");
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
}

// Makes up to `count` directories "d", each inside the last, in
// `directory`; gives how many it made.
unsigned long MakeNested(const std::wstring &directory, unsigned long count) {
  std::wstring at = directory.compare(0, 4, L"\\\\?\\") == 0
                        ? directory
                        : L"\\\\?\\" + directory;
  unsigned long made = 0;
  for (; made < count; ++made) {
    at += L"\\d";
    if (!CreateDirectoryW(at.c_str(), nullptr))
      break;
  }
  return made;
}

void AddRow(const char *row, bool done) {
  DWORD code = GetLastError();
  Add("folder ");
  Add(row);
  if (done) {
    Add(" ok\n");
    return;
  }
  Add(" error ");
  AddNumber(code);
  Add("\n");
}

// Whether the folder can be opened as a program opens it, sharing `share`.
bool OpensFolder(const std::wstring &own, DWORD share) {
  HANDLE folder =
      CreateFileW(own.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(folder);
  return true;
}

bool MakeFile(const std::wstring &path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(file);
  return true;
}

// What a program does to its own folder, each row on its own: the same
// packed as unpacked. The folder cannot be deleted while this program runs
// from it, packed or not.
void FolderRows(const std::wstring &own) {
  AddRow("open-sharing-reading", OpensFolder(own, FILE_SHARE_READ));
  AddRow("open-sharing-nothing", OpensFolder(own, 0));
  AddRow("open-sharing-everything",
         OpensFolder(own, FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE));

  // A change notification, signalled by a file made after it is asked for.
  HANDLE change = FindFirstChangeNotificationW(own.c_str(), FALSE,
                                               FILE_NOTIFY_CHANGE_FILE_NAME);
  bool watched = change != INVALID_HANDLE_VALUE &&
                 MakeFile(own + L"\\watched") &&
                 WaitForSingleObject(change, 30000) == WAIT_OBJECT_0;
  AddRow("watch", watched);
  if (change != INVALID_HANDLE_VALUE)
    FindCloseChangeNotification(change);
  DeleteFileW((own + L"\\watched").c_str());

  std::wstring file = own + L"\\made", renamed = own + L"\\made-renamed";
  MakeFile(file);
  AddRow("rename-file", MoveFileW(file.c_str(), renamed.c_str()));
  AddRow("delete-file", DeleteFileW(renamed.c_str()));
  std::wstring sub = own + L"\\made-folder", subRenamed = own + L"\\made-folder2";
  CreateDirectoryW(sub.c_str(), nullptr);
  AddRow("rename-subfolder", MoveFileW(sub.c_str(), subRenamed.c_str()));
  AddRow("delete-subfolder", RemoveDirectoryW(subRenamed.c_str()));

  std::wstring moved = own + L"-moved";
  bool there = MoveFileW(own.c_str(), moved.c_str());
  AddRow("rename-folder", there);
  if (there)
    MoveFileW(moved.c_str(), own.c_str());
  AddRow("delete-folder", RemoveDirectoryW(own.c_str()));
}

void WriteText(DWORD which, const char *text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(which), text, (DWORD)strlen(text), &written, nullptr);
}

} // namespace

int main() {
  if (Variable(L"VESKAR_PROBE_IGNORE_CTRL") == L"1") {
    SetConsoleCtrlHandler(nullptr, TRUE);
    SetConsoleCtrlHandler(IgnoreControl, TRUE);
  }

  wchar_t module[32768];
  DWORD moduleLength = GetModuleFileNameW(nullptr, module, 32768);
  module[moduleLength < 32768 ? moduleLength : 32767] = 0;
  std::wstring ownDirectory = module;
  ownDirectory.resize(ownDirectory.rfind(L'\\'));
  std::wstring reportPath = Variable(L"VESKAR_PROBE_REPORT");
  DWORD reportAttributes = GetFileAttributesW(reportPath.c_str());
  if (!reportPath.empty() && reportAttributes != INVALID_FILE_ATTRIBUTES &&
      (reportAttributes & FILE_ATTRIBUTE_DIRECTORY))
    reportPath +=
        L"\\report-" + std::to_wstring(GetCurrentProcessId()) + L".txt";

  Add("command-line ");
  AddHex(GetCommandLineW());
  Add("\n");
  AddVariable("parent-var", L"VESKAR_ONEFILE_PARENT");
  AddVariable("binary-var", L"VESKAR_ONEFILE_BINARY");
  wchar_t current[32768];
  DWORD currentLength = GetCurrentDirectoryW(32768, current);
  current[currentLength < 32768 ? currentLength : 0] = 0;
  Add("current-directory ");
  AddHex(current);
  Add("\n");
  Add("module-path ");
  AddHex(module);
  Add("\n");
  Add("pid ");
  AddNumber(GetCurrentProcessId());
  Add("\n");
  AddStdHandle("std-input", STD_INPUT_HANDLE);
  AddStdHandle("std-output", STD_OUTPUT_HANDLE);
  AddStdHandle("std-error", STD_ERROR_HANDLE);
  if (wchar_t *block = GetEnvironmentStringsW()) {
    for (wchar_t *entry = block; *entry != 0; entry += wcslen(entry) + 1) {
      Add("env ");
      AddHex(entry);
      Add("\n");
    }
    FreeEnvironmentStringsW(block);
  }
  AddFiles(ownDirectory, L"");
  if (Variable(L"VESKAR_PROBE_READ_STDIN") == L"1")
    ReadStandardInput();
  bool holding = false;
  std::wstring holder = Variable(L"VESKAR_PROBE_HOLDER", &holding);
  if (holding)
    StartHolder(holder, module, reportPath + L".held",
                Variable(L"VESKAR_PROBE_HOLD_MS"));
  bool grandchild = false;
  std::wstring harness = Variable(L"VESKAR_PROBE_GRANDCHILD", &grandchild);
  if (grandchild)
    StartGrandchild(harness, reportPath);
  std::wstring nest = Variable(L"VESKAR_PROBE_NEST");
  if (!nest.empty()) {
    Add("nested ");
    AddNumber(MakeNested(ownDirectory, wcstoul(nest.c_str(), nullptr, 10)));
    Add("\n");
  }
  if (Variable(L"VESKAR_PROBE_FOLDER") == L"1")
    FolderRows(ownDirectory);
  Add("end\n");

  if (!reportPath.empty()) {
    std::wstring partial = reportPath + L".partial";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
      WriteFile(file, report.data(), (DWORD)report.size(), &written, nullptr);
      CloseHandle(file);
      MoveFileExW(partial.c_str(), reportPath.c_str(),
                  MOVEFILE_REPLACE_EXISTING);
    }
  }

  WriteText(STD_OUTPUT_HANDLE, "probe: a line on standard output\n");
  WriteText(STD_ERROR_HANDLE, "probe: a line on standard error\n");

  std::wstring sleep = Variable(L"VESKAR_PROBE_SLEEP_MS");
  if (!sleep.empty()) {
    Sleep((DWORD)wcstoul(sleep.c_str(), nullptr, 10));
    // Shows that nothing ended the probe while it slept.
    WriteText(STD_OUTPUT_HANDLE, "probe: slept\n");
  }
  std::wstring code = Variable(L"VESKAR_PROBE_EXIT");
  ExitProcess(code.empty() ? 0 : (UINT)wcstoul(code.c_str(), nullptr, 0));
}
