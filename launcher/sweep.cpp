//===- launcher/sweep.cpp - Removing what ended runs left behind --------===//
//
// A run that is killed (TerminateProcess, SIGKILL), crashes or loses its
// power leaves its unpack directory behind. Each run therefore looks beside
// its own unpack directory for directories named as the template's last
// level names them, "onefile_<pid>_<time>", and removes those whose run has
// provably ended. The proof is the system's: every run holds its directory
// for its whole life (launcher/hold.h), and a leftover is removed only when
// the sweep can take the proof that no run holds it, which it keeps until
// the removal is done, so that no run can take a hold and write there
// meanwhile. A process id and a clock alone prove nothing: a run in another
// process-id namespace cannot be seen from here, and on Linux a process's
// creation time is worked out with today's wall clock, which may have been
// set forward since.
//
// The proof holds only where the kernel keeps one set of locks for every
// process that can see the directory: a local file system (hold.cpp names
// them). Two mounts of one directory through FUSE (sshfs, bindfs), or
// through the network (NFS, SMB), each grant their own locks, and a run
// that holds its directory through one would be removed through the other.
// There the proof is never given, and the sweep and the reclaim of other
// builds remove nothing, silently: a leftover there stays.
//
// The name's process must look ended too, by the older rule, which is asked
// first (a live run's directory is then never even opened for removal):
//
// - no process with that id exists; or
// - the process with that id has ended (one whose handle someone still
//   holds, or a zombie on Linux); or
// - the process with that id was created after <time>, later than
//   kSweepCreationSlack allows: a run's own process exists before it reads
//   the clock for {TIME}, and an id goes to a new process only after its
//   last holder has ended, so a process created after the run's {TIME}
//   cannot be that run.
//
// Only that side of the creation time is looked at. A process created long
// before its {TIME} is still its run: a wrapper that waits before it execs
// the launcher, or a start in a suspended state, makes one; and no process
// other than the run can hold the id across the run's {TIME}. The slack
// covers the clocks: the Linux start time is counted in clock ticks (10 ms)
// and converted with the wall clock of today, Windows reads {TIME} from a
// clock that moves in timer ticks (about 16 ms); 10 s also leaves room for
// the wall clock being set forward a little while a run lives. Its cost: a
// leftover whose id came back within 10 s of its {TIME} waits for a later
// sweep.
//
// Whatever is not plainly a leftover of this user's is left alone: the
// run's own directory, what is not a directory, links and junctions (named
// like ours or not: the launcher never makes one there, so they are not
// removed, not even as links), entries of other users (kOtherOwnerAttribute;
// on a shared /tmp), a process that exists but may not be looked at.
//
// When: on the main thread, right after the child has been started and
// before it is waited for, so the sweep overlaps the child's own start
// instead of delaying it, and a run whose child ends at once still sweeps
// before it ends. Bounded: at most kSweepMaxRemovals removals and
// kSweepBudgetMs of looking, so a TEMP full of leftovers costs each start
// the same; the rest go at later starts. A removal that has begun is not
// cut short. A console event meanwhile is handled on its own thread as
// always (stop the child, remove this run's directory); the sweep only
// stops beginning new work.
//
// In a cache mode, a run that runs from its own cache directory (it holds
// it) also reclaims the directories of other builds beside it: named as a
// payload's level, the user's own, no link, marked by a launcher that holds
// its directory (IsReclaimableCacheDirectory), and not held by any run now.
// The proof is taken before the marker is read and kept for the removal.
// Those removals share the sweep's bounds.
//
//===----------------------------------------------------------------------===//
#include "launcher/sweep.h"
#include "launcher/cache.h"
#include "launcher/console.h"
#include "launcher/hold.h"
#include "launcher/state.h"

namespace {

// What a leftover's name says of its run.
struct RunName {
  DWORD processId;
  uint64_t time;
};

// True when `text` starts with `prefix`.
bool StartsWith(const WCHAR *text, const char *prefix) {
  for (; *prefix != 0; ++text, ++prefix)
    if (*text != (WCHAR)*prefix)
      return false;
  return true;
}

// Reads a decimal number as {PID} and {TIME} print one: digits, the first
// not a zero, no more than `largest`. Moves `text` past it.
bool ReadNumber(const WCHAR **text, uint64_t largest, uint64_t *value) {
  const WCHAR *p = *text;
  if (*p < '1' || *p > '9')
    return false;
  uint64_t number = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    uint64_t digit = (uint64_t)(*p - '0');
    if (number > (largest - digit) / 10)
      return false;
    number = number * 10 + digit;
  }
  *value = number;
  *text = p;
  return true;
}

// Matches `name` against `level`, a template's last level made of literals,
// "{PID}" and "{TIME}" (each once, no other variable). True, with what the
// name says, when `level` expands to `name` for some run.
bool MatchRunName(const WCHAR *level, const WCHAR *name, RunName *run) {
  bool hasProcessId = false, hasTime = false;
  while (*level != 0) {
    uint64_t number = 0;
    if (StartsWith(level, "{PID}") && !hasProcessId) {
      if (!ReadNumber(&name, 0xFFFFFFFFull, &number))
        return false;
      run->processId = (DWORD)number;
      hasProcessId = true;
      level += 5;
    } else if (StartsWith(level, "{TIME}") && !hasTime) {
      if (!ReadNumber(&name, 0x7FFFFFFFFFFFFFFFull, &number))
        return false;
      run->time = number;
      hasTime = true;
      level += 6;
    } else if (*level == '{' || *level != *name) {
      return false;
    } else {
      ++level;
      ++name;
    }
  }
  return *name == 0 && hasProcessId && hasTime;
}

uint64_t Ticks(const FILETIME &time) {
  return ((uint64_t)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

bool RunHasEnded(const RunName &run) {
  HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, run.processId);
  if (process == nullptr) // no such process, or one we may not look at
    return GetLastError() == ERROR_INVALID_PARAMETER;
  bool ended = false;
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(process, &created, &exited, &kernel, &user))
    ended = Ticks(created) > run.time + kSweepCreationSlack;
  DWORD exitCode = 0;
  if (!ended && GetExitCodeProcess(process, &exitCode) &&
      exitCode != STILL_ACTIVE)
    ended = true;
  CloseHandle(process);
  return ended;
}

// Puts `parent` (its first `parentLength` units), a separator and `name`
// in state.sweepPath; false when that does not fit.
bool SetSweepPath(const WCHAR *parent, size_t parentLength, const WCHAR *name) {
  size_t nameLength = Utf16Length(name);
  if (parentLength + 1 + nameLength + 1 > kPathCapacity)
    return false;
  for (size_t i = 0; i < parentLength; ++i)
    state.sweepPath[i] = parent[i];
  state.sweepPath[parentLength] = '\\';
  for (size_t i = 0; i <= nameLength; ++i)
    state.sweepPath[parentLength + 1 + i] = name[i];
  return true;
}

// Where holds lie beside directories: whether `found` is the lock file of a
// leftover whose directory has already gone (a removal cut short between
// the directory and its lock file), named "<leftover>.lock", a plain file
// of this user's, its run ended. Puts the directory's path in
// state.sweepPath.
bool IsLockFileLeftAlone(const WCHAR *level, const WCHAR *directory,
                         size_t parentLength, const WIN32_FIND_DATAW &found) {
  static const WCHAR kSuffix[] = {'.', 'l', 'o', 'c', 'k', 0};
  const size_t suffix = sizeof kSuffix / sizeof kSuffix[0] - 1;
  size_t length = Utf16Length(found.cFileName);
  if (!kHoldsBesideDirectory || length <= suffix || length >= kNameCapacity ||
      !Utf16Equal(found.cFileName + length - suffix, kSuffix) ||
      (found.dwFileAttributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
        kOtherOwnerAttribute)) != 0)
    return false;
  WCHAR stem[kNameCapacity];
  for (size_t i = 0; i < length - suffix; ++i)
    stem[i] = found.cFileName[i];
  stem[length - suffix] = 0;
  RunName run = {};
  return MatchRunName(level, stem, &run) && RunHasEnded(run) &&
         SetSweepPath(directory, parentLength, stem) &&
         GetFileAttributesW(state.sweepPath) == INVALID_FILE_ATTRIBUTES;
}

// Whether `name` is a payload's level, as the cache directory's last level
// is named: kCacheLevelDigits lower-case hex digits.
bool IsDigestLevel(const WCHAR *name) {
  int digits = 0;
  for (; name[digits] != 0; ++digits)
    if (!((name[digits] >= '0' && name[digits] <= '9') ||
          (name[digits] >= 'a' && name[digits] <= 'f')))
      return false;
  return digits == kCacheLevelDigits;
}

// In a cache mode, once this run runs from its own cache directory (it
// holds it): removes, within what is left of the sweep's bounds, the
// directories of other payloads beside it that no run holds, the leftovers
// of earlier builds. Only what the cache mode itself made and marked as
// held by its runs (IsReclaimableCacheDirectory), never a link, another
// user's entry or a directory without such a marker.
void ReclaimOtherBuilds(const WCHAR *directory, size_t parentLength,
                        ULONGLONG started, int removals) {
  if (!CacheModeSelected() || state.cache.directoryHold == nullptr ||
      removals >= kSweepMaxRemovals)
    return;
  const WCHAR *ownLevel = LastLevel(state.cache.directory);
  static const WCHAR kEverything[] = {'*', 0};
  if (!SetSweepPath(directory, parentLength, kEverything))
    return;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(state.sweepPath, &found);
  if (search == INVALID_HANDLE_VALUE)
    return;
  do {
    if (ConsoleEventSeen() || GetTickCount64() - started >= kSweepBudgetMs)
      break;
    DWORD attributes = found.dwFileAttributes;
    if (!IsDigestLevel(found.cFileName) ||
        Utf16Equal(found.cFileName, ownLevel) ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | kOtherOwnerAttribute)) !=
            0 ||
        !SetSweepPath(directory, parentLength, found.cFileName))
      continue;
    // The proof first: a marker read before it might belong to a directory
    // a run is about to hold.
    HANDLE lock = nullptr;
    HANDLE proof = TakeRemovalProof(state.sweepPath, &lock);
    if (proof == nullptr)
      continue; // a run of that build holds it
    bool reclaimable = IsReclaimableCacheDirectory(state.sweepPath);
    if (reclaimable)
      RemoveDirectoryTree(state.sweepPath);
    EndRemovalProof(state.sweepPath, proof, lock);
    if (reclaimable && ++removals >= kSweepMaxRemovals)
      break;
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

} // namespace

const WCHAR *LastLevel(const WCHAR *path) {
  const WCHAR *level = path;
  for (const WCHAR *p = path; *p != 0; ++p)
    if (*p == '\\')
      level = p + 1;
  return level;
}

void SweepLeftovers(void) {
  // Only the built-in template's leftovers are known for what they are: a
  // template of the packer's user may name anything. The cache modes name
  // their siblings as the built-in template's last level does.
  if (buildValues.unpackMode == kUnpackPerRun &&
      buildValues.unpackTemplate[0] != 0 &&
      !Utf16Equal(buildValues.unpackTemplate, kUnpackTemplate))
    return;
  ULONGLONG started = GetTickCount64();
  const WCHAR *level = LastLevel(kUnpackTemplate);
  const WCHAR *directory = state.unpackDirectory;
  const WCHAR *ownName = LastLevel(directory);
  if (ownName == directory)
    return; // no folder to look in
  size_t parentLength = (size_t)(ownName - directory) - 1;

  // Search for the names that start as the level's literal start does.
  WCHAR pattern[kNameCapacity];
  size_t literal = 0;
  while (level[literal] != 0 && level[literal] != '{' &&
         literal + 2 < kNameCapacity) {
    pattern[literal] = level[literal];
    ++literal;
  }
  pattern[literal] = '*';
  pattern[literal + 1] = 0;
  if (!SetSweepPath(directory, parentLength, pattern))
    return;

  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(state.sweepPath, &found);
  int removals = 0;
  if (search == INVALID_HANDLE_VALUE) {
    ReclaimOtherBuilds(directory, parentLength, started, removals);
    return;
  }
  do {
    if (ConsoleEventSeen() || GetTickCount64() - started >= kSweepBudgetMs)
      break;
    if (IsLockFileLeftAlone(level, directory, parentLength, found)) {
      RemoveHoldLock(state.sweepPath); // under its own proof
      continue;
    }
    RunName run = {};
    DWORD attributes = found.dwFileAttributes;
    if (!MatchRunName(level, found.cFileName, &run) ||
        Utf16Equal(found.cFileName, ownName) ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | kOtherOwnerAttribute)) !=
            0 ||
        !RunHasEnded(run) ||
        !SetSweepPath(directory, parentLength, found.cFileName))
      continue;
    HANDLE lock = nullptr;
    HANDLE proof = TakeRemovalProof(state.sweepPath, &lock);
    if (proof == nullptr)
      continue; // a run holds it: alive, whatever its name says
    RemoveDirectoryTree(state.sweepPath);
    EndRemovalProof(state.sweepPath, proof, lock);
    if (++removals >= kSweepMaxRemovals)
      break;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  ReclaimOtherBuilds(directory, parentLength, started, removals);
}
