//===- tests/wine/hold_test.cpp - A run's hold and the sweep's proof ------===//
//
// Runs launcher/hold.cpp on real directories under a base directory given
// on the command line, with the holder in another process (this program
// started again), and prints PASS/FAIL lines; exits with the number of
// failures:
//
//   hold_test cases BASE    every case below
//   hold_test hold DIR      holds DIR until the event named below is set
//
// Wine 8 keeps the sharing rules on directory handles across processes as
// Windows does: a handle that refuses to share write access fails with a
// sharing violation while another process holds the directory with write
// access, a hold shares with other holds, and a directory held with delete
// sharing can still be renamed. What Wine does that matters here: while a
// handle with delete access is open on a directory, its listing fails, and
// so would the removal of the tree; the proof therefore asks only to
// list. The recording layer's tests
// (tests/unit) follow the order of the calls; these cases show that the
// modes those calls ask for do what the launcher needs.
//
//===----------------------------------------------------------------------===//
#include "launcher/hold.h"
#include "launcher/state.h"

#include <stdio.h>

#include <string>

LauncherState state;
BuildValues buildValues;

namespace {

int failures = 0;
const wchar_t kHeld[] = L"Local\\veskar-hold-test-held";
const wchar_t kRelease[] = L"Local\\veskar-hold-test-release";

void Check(const char *name, bool passed, DWORD code = 0) {
  printf("%s %s", passed ? "PASS" : "FAIL", name);
  if (!passed)
    printf(" (error %lu)", code);
  printf("\n");
  fflush(stdout);
  failures += passed ? 0 : 1;
}

bool MakeTree(const std::wstring &directory) {
  if (!CreateDirectoryW(directory.c_str(), nullptr) ||
      !CreateDirectoryW((directory + L"\\sub").c_str(), nullptr))
    return false;
  HANDLE file = CreateFileW((directory + L"\\sub\\file").c_str(), GENERIC_WRITE,
                            0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  WriteFile(file, "left", 4, &written, nullptr);
  CloseHandle(file);
  return true;
}

bool Exists(const std::wstring &path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Starts this program holding `directory`; waits until it holds it.
HANDLE StartHolder(const std::wstring &directory, HANDLE held) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line =
      L"\"" + std::wstring(self) + L"\" hold \"" + directory + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info))
    return nullptr;
  CloseHandle(info.hThread);
  HANDLE both[2] = {held, info.hProcess};
  if (WaitForMultipleObjects(2, both, FALSE, 30000) != WAIT_OBJECT_0) {
    CloseHandle(info.hProcess);
    return nullptr;
  }
  return info.hProcess;
}

int Hold(const wchar_t *directory) {
  HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, kHeld);
  HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, kRelease);
  HANDLE hold = nullptr;
  if (held == nullptr || release == nullptr ||
      TakeDirectoryHold(directory, &hold) != kHoldTaken)
    return 1;
  SetEvent(held);
  WaitForSingleObject(release, 30000);
  CloseHandle(hold);
  return 0;
}

void Cases(const std::wstring &base) {
  CreateDirectoryW(base.c_str(), nullptr);
  const std::wstring directory = base + L"\\onefile_1_2";
  const std::wstring moved = base + L"\\onefile_1_3";
  if (!MakeTree(directory)) {
    Check("setup", false, GetLastError());
    return;
  }
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, kHeld);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kRelease);
  HANDLE holder = StartHolder(directory, held);
  Check("another process holds the directory", holder != nullptr,
        GetLastError());
  if (holder == nullptr)
    return;

  SetLastError(0);
  HANDLE proof = TakeRemovalProof(directory.c_str());
  Check("no proof while another process holds it",
        proof == nullptr && GetLastError() == ERROR_SHARING_VIOLATION,
        GetLastError());
  if (proof != nullptr)
    CloseHandle(proof);
  HANDLE second = nullptr;
  Check("holds share with each other",
        TakeDirectoryHold(directory.c_str(), &second) == kHoldTaken,
        GetLastError());
  // The cache mode's rename into place, with holds open on the directory.
  bool renamed = MoveFileExW(directory.c_str(), moved.c_str(), 0) != FALSE;
  Check("a held directory can be renamed", renamed, GetLastError());
  proof = TakeRemovalProof(moved.c_str());
  Check("the holds follow the rename", proof == nullptr, GetLastError());
  if (proof != nullptr)
    CloseHandle(proof);
  if (renamed)
    MoveFileExW(moved.c_str(), directory.c_str(), 0);
  CloseHandle(second);

  // The holder ends; its hold goes with it.
  SetEvent(release);
  WaitForSingleObject(holder, 30000);
  CloseHandle(holder);
  proof = TakeRemovalProof(directory.c_str());
  Check("the proof once nobody holds it", proof != nullptr, GetLastError());
  if (proof == nullptr)
    return;
  HANDLE refused = nullptr;
  Check("no hold while a removal holds its proof",
        TakeDirectoryHold(directory.c_str(), &refused) == kHoldRefused,
        GetLastError());
  // The removal goes on with the proof open.
  RemoveDirectoryTree(directory.c_str());
  CloseHandle(proof);
  Check("the removal with its proof open", !Exists(directory), GetLastError());
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"hold")
    return Hold(argv[2]);
  if (argc == 3 && std::wstring(argv[1]) == L"cases") {
    Cases(argv[2]);
    return failures;
  }
  fprintf(stderr, "usage: hold_test cases BASE | hold DIR\n");
  return 64;
}
