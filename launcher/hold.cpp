//===- launcher/hold.cpp - What proves that a run is alive --------------===//
//
// A run's hold is in two parts where holds lie beside the directory
// (kHoldsBesideDirectory: Windows), and in one elsewhere (Linux).
//
// On Linux it is a handle on the directory, opened with write access (to
// the directory: the right to add entries, not to any file) and sharing
// everything, which the POSIX layer plays with flock on the directory: a
// hold is a shared lock, the proof that the directory may be removed an
// exclusive one (platform/posix/win32.h). Both are on the directory's own
// descriptor, close-on-exec, so nothing appears in the application's
// folder, the child inherits nothing, and the lock follows the directory
// through a rename. The program sees it only if it flocks its own folder.
//
// On Windows no handle on the directory can refuse the proof without also
// refusing the program's own opens of its folder (one sharing reading only
// fails with a sharing violation while another handle may write). So the
// hold lies beside the directory: a shared byte-range lock (LockFileEx) on
// byte 0 of "<directory>.lock", and the proof is an exclusive one. The
// hold also keeps a handle on the directory that asks for no access at all,
// which Windows leaves out of every sharing check: it only ties the hold to
// the directory it checked. A lock file is made by whoever needs it first
// and deleted only under its proof (exclusive), once its directory is
// gone, so a run never holds a lock file that is no longer at its path
// unnoticed: the hold checks that the file it locked is the one there.
// The lock does not follow a rename: the cache mode takes the hold beside
// the cache directory's path before it renames its sibling there.
//
// Launchers of earlier releases held the directory itself with write
// access; the proof therefore still also opens the directory refusing to
// share write access, and keeps that too for the whole removal, so that
// their runs are honoured and none of them can take a hold meanwhile. Their
// own proof is that open alone, which a run of this release does not
// refuse; their sweeps ask the process id first (which cannot lie on
// Windows), and their reclaim of other builds only takes a cache directory
// whose marker it knows, which this release's is not (launcher/cache.cpp).
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
#include "paths/paths.h"

namespace {

// How often, and how far apart, a hold is tried while a removal holds its
// proof: a removal takes the proof of a directory only when the directory's
// run looks ended, and the directory of a run that has just made it holds
// nothing, so the wait is short.
const int kHoldAttempts = 20;
const DWORD kHoldPauseMs = 10;

const DWORD kOpenDirectory =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// Whether what `path` names now, opened with `flags`, is what `held`
// describes: the same volume and file id.
bool IsSameAt(const BY_HANDLE_FILE_INFORMATION &held, const WCHAR *path,
              DWORD flags) {
  HANDLE query = CreateFileW(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, flags, nullptr);
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

// Whether `opened` is a real directory, not removed, and the one at `path`
// now.
bool IsDirectoryAt(HANDLE opened, const WCHAR *path) {
  BY_HANDLE_FILE_INFORMATION held;
  return GetFileInformationByHandle(opened, &held) &&
         held.nNumberOfLinks != 0 &&
         (held.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (held.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
         IsSameAt(held, path, kOpenDirectory);
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

// The lock file beside `directory` ("<directory>.lock") into `path`
// (kPathCapacity units); false when it does not fit.
bool LockPathOf(const WCHAR *directory, WCHAR *path) {
  static const WCHAR kSuffix[] = {'.', 'l', 'o', 'c', 'k', 0};
  size_t length = Utf16Length(directory);
  if (length + sizeof kSuffix / sizeof kSuffix[0] > kPathCapacity)
    return false;
  for (size_t i = 0; i < length; ++i)
    path[i] = directory[i];
  for (size_t i = 0; i < sizeof kSuffix / sizeof kSuffix[0]; ++i)
    path[length + i] = kSuffix[i];
  return true;
}

// Whether `opened` is the file at `path` now, not one deleted since.
bool IsFileAt(HANDLE opened, const WCHAR *path) {
  BY_HANDLE_FILE_INFORMATION held;
  return GetFileInformationByHandle(opened, &held) &&
         held.nNumberOfLinks != 0 &&
         IsSameAt(held, path, FILE_FLAG_OPEN_REPARSE_POINT);
}

// Locks byte 0 of the lock file beside `directory` (made when missing),
// shared for a hold or exclusive for a proof, into `*lock`. A hold waits a
// moment while a removal holds the proof; a proof never waits.
HoldResult LockBeside(const WCHAR *directory, bool exclusive, HANDLE *lock) {
  *lock = nullptr;
  WCHAR path[kPathCapacity];
  if (!LockPathOf(directory, path))
    return kHoldUnavailable;
  for (int attempt = 1;; ++attempt) {
    HANDLE file = CreateFileW(
        path, GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr);
    DWORD code = 0;
    if (file == INVALID_HANDLE_VALUE) {
      code = GetLastError();
      if (IsMissing(code))
        return kHoldDirectoryGone; // its folder has gone
      // A lock file that a removal has just deleted, and that another
      // handle still keeps, cannot be opened until it is closed.
      if (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION)
        return kHoldUnavailable;
    } else {
      OVERLAPPED at = {};
      if (LockFileEx(file,
                     LOCKFILE_FAIL_IMMEDIATELY |
                         (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0),
                     0, 1, 0, &at)) {
        // Locked; but a removal may have deleted the file between the open
        // and the lock, once it was done with its directory.
        if (IsFileAt(file, path)) {
          *lock = file;
          return kHoldTaken;
        }
        code = ERROR_FILE_NOT_FOUND;
      } else {
        code = GetLastError();
      }
      CloseHandle(file);
      if (code != ERROR_LOCK_VIOLATION && code != ERROR_FILE_NOT_FOUND)
        return kHoldUnavailable;
    }
    if (exclusive || attempt >= kHoldAttempts) {
      SetLastError(code == ERROR_FILE_NOT_FOUND ? ERROR_SHARING_VIOLATION
                                                : code);
      return kHoldRefused;
    }
    Sleep(kHoldPauseMs);
  }
}

// Deletes the lock file beside `directory`, whose proof (its exclusive
// lock) the caller holds. A lock file nobody holds says nothing, whether its
// directory is there or not; and a hold that locks it as it goes checks
// that what it locked is still at its path, and makes another if not.
void DeleteLockFileUnder(const WCHAR *directory) {
  WCHAR path[kPathCapacity];
  if (LockPathOf(directory, path))
    DeleteFileW(path);
}

} // namespace

HoldResult TakeDirectoryHold(const WCHAR *directory, HANDLE *hold,
                             HANDLE *lock) {
  *hold = nullptr;
  *lock = nullptr;
  if (kHoldsBesideDirectory) {
    HoldResult locked = LockBeside(directory, false, lock);
    if (locked != kHoldTaken)
      return locked;
  }
  for (int attempt = 1;; ++attempt) {
    HANDLE opened = CreateFileW(
        directory, kHoldsBesideDirectory ? FILE_READ_ATTRIBUTES : FILE_ADD_FILE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, kOpenDirectory, nullptr);
    if (opened != INVALID_HANDLE_VALUE) {
      if (!IsDirectoryAt(opened, directory)) {
        CloseHandle(opened);
        ReleaseHold(lock);
        return kHoldDirectoryGone;
      }
      *hold = opened;
      return kHoldTaken;
    }
    DWORD code = GetLastError();
    HoldResult result = kHoldRefused;
    if (IsMissing(code))
      result = kHoldDirectoryGone;
    else if (code != ERROR_SHARING_VIOLATION)
      result = kHoldUnavailable;
    else if (attempt < kHoldAttempts) {
      Sleep(kHoldPauseMs);
      continue;
    }
    ReleaseHold(lock);
    return result;
  }
}

HANDLE TakeRemovalProof(const WCHAR *directory, HANDLE *lock) {
  *lock = nullptr;
  if (kHoldsBesideDirectory &&
      LockBeside(directory, true, lock) != kHoldTaken)
    return nullptr;
  HANDLE proof = CreateFileW(directory, FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, kOpenDirectory, nullptr);
  if (proof != INVALID_HANDLE_VALUE &&
      IsDirectoryAt(proof, directory) &&
      LocksHoldForEveryone(proof, directory))
    return proof;
  DWORD code = GetLastError();
  if (proof != INVALID_HANDLE_VALUE)
    CloseHandle(proof);
  ReleaseHold(lock);
  SetLastError(code);
  return nullptr;
}

void EndRemovalProof(const WCHAR *directory, HANDLE proof, HANDLE lock) {
  CloseHandle(proof);
  if (lock != nullptr) {
    DeleteLockFileUnder(directory);
    CloseHandle(lock);
  }
}

void ReleaseHold(HANDLE volatile *hold) {
  HANDLE taken =
      (HANDLE)InterlockedExchangePointer((PVOID volatile *)hold, nullptr);
  if (taken != nullptr)
    CloseHandle(taken);
}

void RemoveHoldLock(const WCHAR *directory) {
  if (!kHoldsBesideDirectory)
    return;
  // None there (already removed): none is made only to be deleted.
  WCHAR path[kPathCapacity];
  if (!LockPathOf(directory, path) ||
      GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
    return;
  HANDLE lock = nullptr;
  if (LockBeside(directory, true, &lock) != kHoldTaken)
    return; // another run holds it, or a removal: theirs to delete
  DeleteLockFileUnder(directory);
  CloseHandle(lock);
}

bool HoldCacheDirectory(void) {
  if (state.cache.directoryHold != nullptr)
    return true;
  HANDLE hold = nullptr, lock = nullptr;
  if (TakeDirectoryHold(state.cache.directory, &hold, &lock) != kHoldTaken)
    return false;
  state.cache.directoryLock = lock;
  state.cache.directoryHold = hold;
  return true;
}

void ReleaseCacheDirectoryHold(void) {
  ReleaseHold(&state.cache.directoryHold);
  ReleaseHold(&state.cache.directoryLock);
}

bool HoldBesideCacheDirectory(HANDLE *lock) {
  *lock = nullptr;
  return !kHoldsBesideDirectory ||
         LockBeside(state.cache.directory, false, lock) == kHoldTaken;
}

void CarrySiblingHoldIntoPlace(HANDLE lock) {
  ReleaseCacheDirectoryHold();
  state.cache.directoryLock = lock;
  state.cache.directoryHold = (HANDLE)InterlockedExchangePointer(
      (PVOID volatile *)&state.unpackDirectoryHold, nullptr);
  // The sibling's lock file is left without a directory.
  ReleaseHold(&state.unpackDirectoryLock);
  RemoveHoldLock(state.unpackDirectory);
}

void ReleaseUnpackDirectoryHold(void) {
  ReleaseHold(&state.unpackDirectoryHold);
  ReleaseHold(&state.unpackDirectoryLock);
}
