//===- launcher/hold.cpp - What proves that a run is alive --------------===//
//
// A run's hold is a handle on its directory, opened with write access (to
// the directory: the right to add entries, not to any file) and sharing
// everything. The proof that a directory may be removed is a handle that
// refuses to share write access: while any hold is open it fails with a
// sharing violation, and while it is open no hold can be taken. Holds share
// with each other, so several runs may hold one cache directory; and since
// a hold shares deletion, it does not stop its own run from renaming the
// directory (the cache mode's sibling, put into place, keeps its hold
// throughout: there is no moment without one) or removing it. The proof
// itself only lists, and shares reading and deletion, so the removal it
// guards can list and delete the tree while it is open (under Wine a
// listing fails while a handle with delete access is open).
//
// On Linux the POSIX layer plays these rules with flock on the directory:
// a hold is a shared lock, the proof an exclusive one (platform/posix/
// win32.h). Both are on the directory's own descriptor, close-on-exec, so
// nothing appears in the application's folder and the child inherits
// nothing; the lock follows the directory through a rename.
//
// Between making a directory and taking its hold there is a moment when
// nothing holds it. A removal takes its proof and removes only what it has
// proof of, and a run writes nothing before its hold is taken and the
// directory it holds is checked to be the one at its path, still there:
// one that a removal took in that moment is made again. On Windows the
// moment is also covered by the rule on process ids (launcher/sweep.cpp),
// which cannot be fooled there: there are no process-id namespaces, and a
// process's creation time is the system's record, not worked out with
// today's clock.
//
//===----------------------------------------------------------------------===//
#include "launcher/hold.h"
#include "launcher/state.h"

namespace {

// How often, and how far apart, a hold is tried while a removal holds its
// proof: a removal takes the proof of a directory only when the directory's
// run looks ended, and the directory of a run that has just made it holds
// nothing, so the wait is short.
const int kHoldAttempts = 20;
const DWORD kHoldPauseMs = 10;

const DWORD kOpenDirectory =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// Whether `opened` is a real directory, not removed, and the one at `path`
// now.
bool IsDirectoryAt(HANDLE opened, const WCHAR *path) {
  BY_HANDLE_FILE_INFORMATION held;
  if (!GetFileInformationByHandle(opened, &held) || held.nNumberOfLinks == 0 ||
      (held.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (held.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return false;
  HANDLE query = CreateFileW(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, kOpenDirectory, nullptr);
  if (query == INVALID_HANDLE_VALUE)
    return false;
  BY_HANDLE_FILE_INFORMATION there;
  bool same = GetFileInformationByHandle(query, &there) &&
              there.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
              there.nFileIndexHigh == held.nFileIndexHigh &&
              there.nFileIndexLow == held.nFileIndexLow;
  CloseHandle(query);
  return same;
}

// The file systems whose locks the kernel keeps for every process that
// can see the file, however it reaches it: the local ones. Windows names
// them; Linux gives the type number statfs reports (ext2, ext3 and ext4
// share one). A network file system (NFS, SMB) keeps them per client, or
// the server's own way; a FUSE one (sshfs, bindfs, any second mount of a
// directory) for its own mount alone, or not at all; 9p passes them on or
// not as its server likes. There, and on any file system not named here,
// a lock that one process cannot take proves nothing of a process that
// reaches the directory another way, so nothing is removed on its word.
const char *const kLockKeepingFileSystems[] = {
    "NTFS",       "ReFS",      "FAT",       "FAT32",
    "exFAT",      "0xef53", // ext2, ext3, ext4
    "0x58465342", // xfs
    "0x9123683e", // btrfs
    "0x1021994",  // tmpfs
    "0xf2f52010", // f2fs
    "0x794c7630", // overlay
};

bool IsNamed(const WCHAR *name, const char *listed) {
  for (; *listed != 0; ++name, ++listed)
    if (*name != (WCHAR)(unsigned char)*listed)
      return false;
  return *name == 0;
}

// Whether the file system holding `opened` (found at `path`) keeps its
// locks for every process that can see it: a local one of the list above.
bool LocksHoldForEveryone(HANDLE opened, const WCHAR *path) {
  WCHAR name[32];
  name[0] = 0;
  BOOL remote = TRUE;
  if (!GetFileSystemKind(opened, path, name, sizeof name / sizeof name[0],
                         &remote) ||
      remote)
    return false;
  name[sizeof name / sizeof name[0] - 1] = 0;
  for (const char *listed : kLockKeepingFileSystems)
    if (IsNamed(name, listed))
      return true;
  return false;
}

bool IsMissing(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_CANT_RESOLVE_FILENAME;
}

} // namespace

HoldResult TakeDirectoryHold(const WCHAR *directory, HANDLE *hold) {
  *hold = nullptr;
  for (int attempt = 1;; ++attempt) {
    HANDLE opened =
        CreateFileW(directory, FILE_ADD_FILE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, kOpenDirectory, nullptr);
    if (opened != INVALID_HANDLE_VALUE) {
      if (!IsDirectoryAt(opened, directory)) {
        CloseHandle(opened);
        return kHoldDirectoryGone;
      }
      *hold = opened;
      return kHoldTaken;
    }
    DWORD code = GetLastError();
    if (IsMissing(code))
      return kHoldDirectoryGone;
    if (code != ERROR_SHARING_VIOLATION)
      return kHoldUnavailable;
    if (attempt >= kHoldAttempts)
      return kHoldRefused;
    Sleep(kHoldPauseMs);
  }
}

HANDLE TakeRemovalProof(const WCHAR *directory) {
  HANDLE proof = CreateFileW(directory, FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, kOpenDirectory, nullptr);
  if (proof == INVALID_HANDLE_VALUE)
    return nullptr;
  if (!IsDirectoryAt(proof, directory) ||
      !LocksHoldForEveryone(proof, directory)) {
    CloseHandle(proof);
    return nullptr;
  }
  return proof;
}

void ReleaseHold(HANDLE volatile *hold) {
  HANDLE taken =
      (HANDLE)InterlockedExchangePointer((PVOID volatile *)hold, nullptr);
  if (taken != nullptr)
    CloseHandle(taken);
}

bool HoldCacheDirectory(void) {
  if (state.cache.directoryHold != nullptr)
    return true;
  HANDLE hold = nullptr;
  if (TakeDirectoryHold(state.cache.directory, &hold) != kHoldTaken)
    return false;
  state.cache.directoryHold = hold;
  return true;
}

void CarrySiblingHoldIntoPlace(void) {
  ReleaseHold(&state.cache.directoryHold);
  state.cache.directoryHold = (HANDLE)InterlockedExchangePointer(
      (PVOID volatile *)&state.unpackDirectoryHold, nullptr);
}

void ReleaseUnpackDirectoryHold(void) {
  ReleaseHold(&state.unpackDirectoryHold);
}
