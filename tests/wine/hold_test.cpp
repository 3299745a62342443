//===- tests/wine/hold_test.cpp - A run's hold and the sweep's proof ------===//
//
// Runs launcher/hold.cpp on real directories under a base directory given
// on the command line, with the holder in another process (this program
// started again), and prints PASS/FAIL lines; exits with the number of
// failures:
//
//   hold_test cases BASE    every case below
//   hold_test hold DIR      holds DIR until the event named below is set
//   hold_test oldhold DIR   the same, as launchers of earlier releases held
//                           a directory: a handle on it with write access
//
// A hold lies beside the directory, a shared byte-range lock on
// "<directory>.lock", and keeps a handle on the directory that asks for no
// access, so the program may open its own folder as it likes; the proof is
// the exclusive lock, and the directory opened refusing to share write
// access, which honours the holds of earlier releases. Wine 8 keeps byte-range
// locks and the sharing rules on directory handles across processes as
// Windows does. What Wine does that matters here: while a handle with delete
// access is open on a directory, its listing fails, and so would the removal
// of the tree; the proof therefore asks only to list. The recording layer's
// tests (tests/unit) follow the order of the calls; these cases show that
// the modes those calls ask for do what the launcher needs.
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

// Starts this program holding `directory` as `how` says ("hold",
// "oldhold"); waits until it holds it.
HANDLE StartHolder(const wchar_t *how, const std::wstring &directory,
                   HANDLE held) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line = L"\"" + std::wstring(self) + L"\" " + how + L" \"" +
                      directory + L"\"";
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

int Hold(const wchar_t *directory, bool old) {
  HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, kHeld);
  HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, kRelease);
  HANDLE hold = nullptr, lock = nullptr;
  if (old)
    hold = CreateFileW(directory, FILE_ADD_FILE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
  else if (TakeDirectoryHold(directory, &hold, &lock) != kHoldTaken)
    hold = INVALID_HANDLE_VALUE;
  if (held == nullptr || release == nullptr || hold == INVALID_HANDLE_VALUE)
    return 1;
  SetEvent(held);
  WaitForSingleObject(release, 30000);
  CloseHandle(hold);
  if (lock != nullptr)
    CloseHandle(lock);
  return 0;
}

// Whether `directory` can be opened, as a program opens its own folder,
// with `share`.
bool Opens(const std::wstring &directory, DWORD share) {
  HANDLE opened =
      CreateFileW(directory.c_str(), GENERIC_READ, share, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (opened == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(opened);
  return true;
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

  // A launcher of an earlier release holds it: honoured.
  HANDLE holder = StartHolder(L"oldhold", directory, held);
  Check("an earlier release's run holds the directory", holder != nullptr,
        GetLastError());
  if (holder == nullptr)
    return;
  HANDLE lock = nullptr;
  HANDLE proof = TakeRemovalProof(directory.c_str(), &lock);
  Check("no proof while an earlier release's run holds it",
        proof == nullptr && lock == nullptr, GetLastError());
  SetEvent(release);
  WaitForSingleObject(holder, 30000);
  CloseHandle(holder);
  ResetEvent(release);
  ResetEvent(held);

  holder = StartHolder(L"hold", directory, held);
  Check("another process holds the directory", holder != nullptr,
        GetLastError());
  if (holder == nullptr)
    return;
  // The program may open its folder as it would unpacked: a handle of its
  // own that shares only reading, or nothing.
  Check("the program opens its held folder sharing reading only",
        Opens(directory, FILE_SHARE_READ), GetLastError());
  Check("the program opens its held folder sharing nothing",
        Opens(directory, 0), GetLastError());

  SetLastError(0);
  proof = TakeRemovalProof(directory.c_str(), &lock);
  Check("no proof while another process holds it",
        proof == nullptr && lock == nullptr &&
            GetLastError() == ERROR_LOCK_VIOLATION,
        GetLastError());
  HANDLE second = nullptr, secondLock = nullptr;
  Check("holds share with each other",
        TakeDirectoryHold(directory.c_str(), &second, &secondLock) ==
            kHoldTaken,
        GetLastError());
  // The cache mode's rename into place: the hold beside the new path is
  // taken first, since a lock does not follow a rename.
  wcscpy(state.cache.directory, moved.c_str());
  HANDLE beside = nullptr;
  Check("the hold beside a path with nothing there yet",
        HoldBesideCacheDirectory(&beside) && beside != nullptr,
        GetLastError());
  bool renamed = MoveFileExW(directory.c_str(), moved.c_str(), 0) != FALSE;
  Check("a held directory can be renamed", renamed, GetLastError());
  proof = TakeRemovalProof(moved.c_str(), &lock);
  Check("the hold taken beside its new path holds it", proof == nullptr,
        GetLastError());
  if (proof != nullptr)
    EndRemovalProof(moved.c_str(), proof, lock);
  CloseHandle(beside);
  if (renamed)
    MoveFileExW(moved.c_str(), directory.c_str(), 0);
  RemoveHoldLock(moved.c_str()); // as a rename that failed leaves it
  CloseHandle(second);
  CloseHandle(secondLock);

  // The holder ends; its hold goes with it.
  SetEvent(release);
  WaitForSingleObject(holder, 30000);
  CloseHandle(holder);
  proof = TakeRemovalProof(directory.c_str(), &lock);
  Check("the proof once nobody holds it", proof != nullptr && lock != nullptr,
        GetLastError());
  if (proof == nullptr)
    return;
  HANDLE refused = nullptr, refusedLock = nullptr;
  Check("no hold while a removal holds its proof",
        TakeDirectoryHold(directory.c_str(), &refused, &refusedLock) ==
            kHoldRefused,
        GetLastError());
  // The removal goes on with the proof open, and the lock file goes after.
  RemoveDirectoryTree(directory.c_str());
  EndRemovalProof(directory.c_str(), proof, lock);
  Check("the removal with its proof open", !Exists(directory),
        GetLastError());
  Check("the lock file goes with its directory",
        !Exists(directory + L".lock") && !Exists(moved + L".lock"),
        GetLastError());

  // A run's own ending: the hold let go, the directory removed, then the
  // lock file, unless another run holds it.
  MakeTree(directory);
  HANDLE own = nullptr, ownLock = nullptr;
  TakeDirectoryHold(directory.c_str(), &own, &ownLock);
  HANDLE other = nullptr, otherLock = nullptr;
  TakeDirectoryHold(directory.c_str(), &other, &otherLock);
  CloseHandle(own);
  CloseHandle(ownLock);
  CloseHandle(other);
  RemoveDirectoryTree(directory.c_str());
  RemoveHoldLock(directory.c_str());
  Check("a lock file another run holds stays", Exists(directory + L".lock"),
        GetLastError());
  CloseHandle(otherLock);
  RemoveHoldLock(directory.c_str());
  Check("the lock file goes at the run's end", !Exists(directory + L".lock"),
        GetLastError());
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"hold")
    return Hold(argv[2], false);
  if (argc == 3 && std::wstring(argv[1]) == L"oldhold")
    return Hold(argv[2], true);
  if (argc == 3 && std::wstring(argv[1]) == L"cases") {
    Cases(argv[2]);
    return failures;
  }
  fprintf(stderr, "usage: hold_test cases BASE | hold DIR | oldhold DIR\n");
  return 64;
}
