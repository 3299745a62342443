//===- launcher/cache.cpp - The cache directory of the cache modes ------===//
//
// The packer stores a cache-directory template and the SHA-256 digest of the
// payload container in the build values. The cache directory is the
// expanded template plus one level named by the first 16 hex digits of the
// digest, so each payload has a directory of its own: a newer build never
// looks at an older one's files. Beside it, each cold start unpacks into a
// private sibling named as a per-run directory is ("onefile_<pid>_<time>"),
// so that the sweep (launcher/sweep.cpp) knows the siblings of crashed
// starts and removes them once their run has ended.
//
// The marker, a file the cache directory keeps for itself (its name starts
// as the reserved names of common/names.h do), ties the directory to the
// payload; common/cache_marker.h gives its layout. The packer stores the
// SHA-256 and the size of the marker a cold start writes for this payload
// in the build values: a marker is believed only when it is exactly those
// bytes. Its names are still checked as any archive name is, and the
// program started is its first record, which is the payload's.
//
// Cold start: the sibling is filled as a per-run directory is (a console
// event or a fatal ending removes it), the marker is written into it last,
// and the sibling is renamed into place without replacing anything. From
// then on the directory is never removed. When several starts race, the
// first rename wins; the others find the winner's directory, remove their
// own sibling and run from there.
//
// Later starts read the marker (as many bytes as the build values give it,
// and one more to see that nothing follows), check it against its digest
// and check every listed file: each level below the cache directory a
// plain directory, the file a plain file (no link, fifo or device) of the
// listed size. Each directory is listed once for this (the files sorted by
// directory), not each file looked up by its path. No file is written and
// nothing is decoded. A file that is
// missing, not a plain file or of another size (and with the content
// check, one whose bytes differ from the payload's) is written again
// before the child starts: the extraction unpacks the broken files alone
// into this run's sibling, and each is moved over its broken namesake.
//
// A directory at the cache directory's path that is not this payload's
// image is never used as the cache and never touched: no marker, an
// unreadable one or one that does not check out, a level below it that is
// a link or not a directory. Nor is one whose broken file cannot be
// replaced (another instance holds it open, say). In each case the run
// unpacks the whole payload into its own sibling and runs from there as
// from a per-run directory, removed at its end.
//
//===----------------------------------------------------------------------===//
#include "launcher/cache.h"

#include <stdlib.h>
#include <string.h>

#include "common/cache_marker.h"
#include "common/container.h"
#include "common/names.h"
#include "common/sha256.h"
#include "diagnostics/fatal.h"
#include "launcher/console.h"
#include "launcher/hold.h"
#include "launcher/state.h"
#include "launcher/sweep.h"
#include "paths/paths.h"
#include "launcher/unpack.h"
#include "payload/extract.h"
#include "payload/parallel.h"
#include "payload/record.h"
#include "payload/writer.h"

namespace {

void ExpandSiblingPath(void);

// How often, and how far apart, a failed rename into place is tried again.
const int kRenameRetries = 10;
const DWORD kRenamePauseMs = 100;

// The marker's name. Where a run holds its directory beside it
// (kHoldsBesideDirectory, launcher/hold.cpp), launchers of earlier releases
// cannot see that hold, and would reclaim any directory with a marker they
// know as one that no run uses: the marker there has a name they do not
// know. Where the hold is on the directory itself, as it always was, the
// name is the one they know.
const WCHAR kMarkerHeldOnDirectory[] =
    VESKAR_TEXT(VESKAR_CACHE_RESERVED_PREFIX "marker");
const WCHAR kMarkerHeldBeside[] =
    VESKAR_TEXT(VESKAR_CACHE_RESERVED_PREFIX "lock-marker");
const WCHAR *const kMarkerName =
    kHoldsBesideDirectory ? kMarkerHeldBeside : kMarkerHeldOnDirectory;

[[noreturn]] void ReportFatalMarkerMismatch(void) {
  ReportFatal("Error, the cache directory's marker does not match the "
              "attached data.");
}

void ReserveMarker(size_t more) {
  if (state.cache.markerSize + more <= state.cache.markerCapacity)
    return;
  size_t capacity =
      state.cache.markerCapacity == 0 ? 65536 : state.cache.markerCapacity;
  while (capacity < state.cache.markerSize + more)
    capacity *= 2;
  unsigned char *grown = (unsigned char *)realloc(state.cache.marker, capacity);
  if (grown == nullptr)
    ReportFatalMemory();
  state.cache.marker = grown;
  state.cache.markerCapacity = capacity;
}

void AppendToMarker(const void *bytes, size_t count) {
  ReserveMarker(count);
  memcpy(state.cache.marker + state.cache.markerSize, bytes, count);
  state.cache.markerSize += count;
}

void StartMarker(void) {
  state.cache.markerSize = 0;
  unsigned char header[kCacheMarkerHeaderSize];
  PutCacheMarkerHeader(header, buildValues.payloadDigest, 0);
  AppendToMarker(header, sizeof header);
}

// The size of this payload's marker, as the build values give it.
uint64_t ExpectedMarkerSize(void) {
  return GetLittleEndian64(buildValues.markerSize);
}

// Whether the marker in memory is, byte for byte, the one the build values
// describe.
bool MarkerMatchesDigest(void) {
  if (state.cache.markerSize != ExpectedMarkerSize())
    return false;
  Sha256 sha;
  Sha256Init(sha);
  Sha256Update(sha, state.cache.marker, state.cache.markerSize);
  unsigned char digest[kPayloadDigestSize];
  Sha256Digest(sha, digest);
  return memcmp(digest, buildValues.markerDigest, kPayloadDigestSize) == 0;
}

// The marker in memory's records (common/cache_marker.h).
CacheMarkerCursor FirstMarkerRecord(void) {
  return FirstCacheMarkerRecord(state.cache.marker);
}

// The next record's name (into `name`, kNameCapacity units) and size; false
// after the last one, or at one that is cut short or has a name no archive
// may hold in a cache directory.
bool NextMarkerRecord(CacheMarkerCursor &cursor, WCHAR *name, uint64_t *size) {
  return NextCacheMarkerRecord(state.cache.marker, state.cache.markerSize,
                               cursor, name, size, kFileSystemNameStyle);
}

// Whether the marker in memory is this payload's, whole: the bytes the
// build values describe, and every record one the cache may hold.
bool MarkerIsThisPayloads(void) {
  return MarkerMatchesDigest() &&
         IsWholeCacheMarker(state.cache.marker, state.cache.markerSize,
                            buildValues.payloadDigest, kFileSystemNameStyle);
}

// A file time as one count of 100 ns steps.
uint64_t FileTimeValue(const FILETIME &time) {
  return (uint64_t)time.dwHighDateTime << 32 | time.dwLowDateTime;
}

// Opens the file at `path` for reading when it is a plain file, never
// through a link at its last level, and gives its size (and, where
// `written` is given, its last-write time); otherwise INVALID_HANDLE_VALUE
// (nothing there, a directory, a link, a fifo, a device: none of them a
// cached file).
HANDLE OpenPlainFile(const WCHAR *path, uint64_t *size,
                     uint64_t *written = nullptr) {
  HANDLE file = CreateFileW(
      path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return file;
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
        FILE_ATTRIBUTE_DEVICE)) != 0) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  *size = (uint64_t)information.nFileSizeHigh << 32 | information.nFileSizeLow;
  if (written != nullptr)
    *written = FileTimeValue(information.ftLastWriteTime);
  return file;
}

// Opens the marker of `directory`, a plain file, with its size (and its
// last-write time where `written` is given); returns INVALID_HANDLE_VALUE
// when there is none.
HANDLE OpenMarker(const WCHAR *directory, uint64_t *size,
                  uint64_t *written = nullptr) {
  JoinPath(state.cache.filePath, directory, kMarkerName, kPathCapacity);
  return OpenPlainFile(state.cache.filePath, size, written);
}

// Reads the marker of `directory` into memory; true when it is this
// payload's. Never more than the payload's marker and one byte are read.
bool ReadMarker(const WCHAR *directory) {
  uint64_t size = 0;
  HANDLE file = OpenMarker(directory, &size, &state.cache.markerWritten);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  uint64_t expected = ExpectedMarkerSize();
  state.cache.markerSize = 0;
  bool read = size == expected && expected < (DWORD)-1;
  if (read) {
    ReserveMarker((size_t)expected + 1);
    state.cache.markerSize =
        ReadFileUpTo(file, state.cache.marker, (DWORD)expected + 1);
  }
  CloseHandle(file);
  return read && MarkerIsThisPayloads();
}

// Writes the marker recorded during extraction into the sibling.
void WriteMarker(void) {
  JoinPath(state.outputFilePath, state.unpackDirectory, kMarkerName,
           kPathCapacity);
  HANDLE file =
      CreateFileW(state.outputFilePath, GENERIC_WRITE, FILE_SHARE_WRITE,
                  nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    ReportFatalOpen(state.outputFilePath);
  DWORD written = 0;
  // On the disk before the rename: a directory put in place with a marker
  // that a power loss emptied would never be used. The file is closed
  // before a failure is reported, so that the removal can take it.
  bool done = WriteFile(file, state.cache.marker, (DWORD)state.cache.markerSize,
                        &written, nullptr) &&
              FlushFileBuffers(file);
  DWORD code = done ? 0 : GetLastError();
  if (!CloseHandle(file) && done) {
    done = false;
    code = GetLastError();
  }
  if (!done)
    ReportFatalUnpack(state.outputFilePath, code);
}

// Ends the run unless `directory` is a directory of this user's own, and
// no link.
void RequireOwnDirectory(const WCHAR *directory) {
  DWORD attributes = GetFileAttributesW(directory);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    ReportFatalPathOsError("Error, couldn't create the cache directory '%ls'",
                           directory, GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | kOtherOwnerAttribute)) != 0)
    ReportFatalCacheDirectory(directory);
}

// The main program in `directory`, as the marker's first record names it.
void SetChildPathIn(const WCHAR *directory) {
  CacheMarkerCursor cursor = FirstMarkerRecord();
  WCHAR name[kNameCapacity];
  uint64_t size;
  NextMarkerRecord(cursor, name, &size); // the marker has been checked whole
  JoinPath(state.cache.filePath, directory, name, kPathCapacity);
  if (Utf16Length(state.cache.filePath) >= kChildPathCapacity)
    ReportFatalChildPathTooLong(state.cache.filePath);
  state.childExecutablePath[0] = 0;
  AppendWideString(state.childExecutablePath, state.cache.filePath,
                   kChildPathCapacity);
}

// What a look at the cache directory's files found.
enum CacheVerdict {
  kCacheWhole,
  // A file must be written again.
  kCacheBroken,
  // Not this payload's image: a level below the directory is a link or
  // no directory.
  kCacheUnusable,
};

// Checks the directory levels of the cached file at state.cache.filePath
// below the cache directory, those that `checked` (a directory whose levels
// have all been found plain directories, or empty) does not already hold;
// copies the file's directory into `checked` when every level is there.
// kCacheBroken when a level is missing.
CacheVerdict CheckLevels(WCHAR *checked) {
  WCHAR *path = state.cache.filePath;
  size_t top = Utf16Length(state.cache.directory);
  size_t end = (size_t)(LastLevel(path) - path) - 1; // the file's directory
  if (end <= top)
    return kCacheWhole; // a file at the top
  // The levels that `checked` shares with this file's directory are known:
  // those before the last separator up to which both agree, or both whole
  // where one ends a level of the other.
  size_t known = Utf16Length(checked);
  size_t from = top;
  if (known > top) {
    size_t same = top;
    while (same < known && same < end && checked[same] == path[same])
      ++same;
    from = same;
    if ((same < known && checked[same] != '\\') ||
        (same < end && path[same] != '\\')) {
      do
        --from;
      while (from > top && path[from] != '\\');
    }
  }
  while (from < end) {
    size_t level = from + 1;
    while (level < end && path[level] != '\\')
      ++level;
    path[level] = 0;
    DWORD attributes = GetFileAttributesW(path);
    path[level] = '\\';
    if (attributes == INVALID_FILE_ATTRIBUTES)
      return kCacheBroken;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE |
                       kOtherOwnerAttribute)) != 0)
      return kCacheUnusable;
    from = level;
  }
  memcpy(checked, path, end * sizeof(WCHAR));
  checked[end] = 0;
  return kCacheWhole;
}

// One file the marker lists, as the check of the cached files sorts them:
// its name (in a heap pool of the names), the units of its directory
// below the cache directory (0 at the top), its listed size and its place
// in the marker.
struct ListedFile {
  const WCHAR *name;
  size_t directoryLength;
  uint64_t size;
  uint32_t index;
};

// The last level of a listed file's name.
const WCHAR *ListedLevel(const ListedFile &file) {
  return file.name + file.directoryLength + (file.directoryLength != 0);
}

// The order the files are looked at in: by directory, unit by unit (each
// directory's files together, a directory before those below it), then by
// name as the file system compares names, so that a listed entry is found
// by a binary search.
int CompareListedFiles(const void *a, const void *b) {
  const ListedFile &x = *(const ListedFile *)a;
  const ListedFile &y = *(const ListedFile *)b;
  size_t shorter = x.directoryLength < y.directoryLength ? x.directoryLength
                                                         : y.directoryLength;
  for (size_t i = 0; i < shorter; ++i)
    if (x.name[i] != y.name[i])
      return x.name[i] < y.name[i] ? -1 : 1;
  if (x.directoryLength != y.directoryLength)
    return x.directoryLength < y.directoryLength ? -1 : 1;
  int order = CompareFilePaths(ListedLevel(x), ListedLevel(y),
                               kFileSystemNameStyle);
  if (order != 0)
    return order;
  return x.index < y.index ? -1 : x.index > y.index ? 1 : 0;
}

// Whether two sorted files lie in one directory, as their names spell it.
bool SameListedDirectory(const ListedFile &x, const ListedFile &y) {
  return x.directoryLength == y.directoryLength &&
         memcmp(x.name, y.name, x.directoryLength * sizeof(WCHAR)) == 0;
}

// The size of the directory entry `name` of the listing whose pattern is
// state.cache.filePath, from the file opened; false when it is no longer a
// plain file there. The pattern's last level is replaced: the search has
// it already.
bool SizeOfListedEntry(const WCHAR *name, uint64_t *size) {
  WCHAR *level = (WCHAR *)LastLevel(state.cache.filePath);
  size_t length = Utf16Length(name);
  if ((size_t)(level - state.cache.filePath) + length >= kPathCapacity)
    return false;
  memcpy(level, name, (length + 1) * sizeof(WCHAR));
  HANDLE file = OpenPlainFile(state.cache.filePath, size);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(file);
  return true;
}

// Marks in state.cache.brokenFiles, for the files `files[0..count)` of one
// directory (sorted), what the directory's one listing shows: an entry of
// a file's name (as the file system compares names) that is a plain file
// of the listed size makes it whole, unless another entry of that name is
// not; no entry leaves it broken. The listing is of
// state.cache.filePath, a pattern for every entry of the directory. A
// directory that cannot be listed leaves every file broken.
//
// A listing on NTFS may show a size that is not current for a file open
// elsewhere. The listed sizes are trusted, except for an entry written
// later than the marker: that file is opened (never through a link) and
// its size taken from the open file. Elsewhere no file is opened.
void MarkListedFiles(const ListedFile *files, size_t count) {
  unsigned char *broken = state.cache.brokenFiles;
  // 1: no whole entry seen yet; 2: an entry of its name that is not whole.
  for (size_t i = 0; i < count; ++i)
    broken[files[i].index] = 1;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(state.cache.filePath, FindExInfoBasic,
                                   &found, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE)
    return;
  do {
    const WCHAR *name = found.cFileName;
    // The first file whose name is not before the entry's.
    size_t low = 0, high = count;
    while (low < high) {
      size_t middle = low + (high - low) / 2;
      if (CompareFilePaths(ListedLevel(files[middle]), name,
                           kFileSystemNameStyle) < 0)
        low = middle + 1;
      else
        high = middle;
    }
    bool whole =
        (found.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
          FILE_ATTRIBUTE_DEVICE)) == 0;
    uint64_t size = (uint64_t)found.nFileSizeHigh << 32 | found.nFileSizeLow;
    if (whole && low < count &&
        CompareFilePaths(ListedLevel(files[low]), name,
                         kFileSystemNameStyle) == 0 &&
        FileTimeValue(found.ftLastWriteTime) > state.cache.markerWritten)
      whole = SizeOfListedEntry(name, &size);
    for (size_t i = low;
         i < count && CompareFilePaths(ListedLevel(files[i]), name,
                                       kFileSystemNameStyle) == 0;
         ++i) {
      unsigned char &mark = broken[files[i].index];
      if (!whole || size != files[i].size)
        mark = 2;
      else if (mark == 1)
        mark = 0;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (size_t i = 0; i < count; ++i)
    if (broken[files[i].index] == 2)
      broken[files[i].index] = 1;
}

// Marks, in state.cache.brokenFiles, every listed file that is missing, not a
// plain file, or of another size. Each directory is listed once, after its
// levels have been found plain directories.
CacheVerdict FindBrokenFiles(void) {
  uint32_t count = CacheMarkerCount(state.cache.marker);
  free(state.cache.brokenFiles);
  state.cache.brokenFiles = (unsigned char *)calloc(count, 1);
  // The names' units: at most half the marker's bytes, and a terminator
  // for each.
  size_t poolUnits = state.cache.markerSize / sizeof(WCHAR) + count;
  WCHAR *pool = (WCHAR *)malloc(poolUnits * sizeof(WCHAR));
  ListedFile *files = (ListedFile *)malloc((count + 1) * sizeof(ListedFile));
  if (state.cache.brokenFiles == nullptr || pool == nullptr ||
      files == nullptr)
    ReportFatalMemory();
  CacheMarkerCursor cursor = FirstMarkerRecord();
  WCHAR name[kNameCapacity];
  uint64_t size;
  size_t used = 0;
  uint32_t listed = 0;
  while (listed < count && NextMarkerRecord(cursor, name, &size)) {
    size_t length = Utf16Length(name);
    if (used + length + 1 > poolUnits)
      break; // the marker has been checked whole: never so
    memcpy(pool + used, name, (length + 1) * sizeof(WCHAR));
    const WCHAR *last = LastLevel(pool + used);
    size_t directoryLength = (size_t)(last - (pool + used));
    files[listed] = {pool + used,
                     directoryLength == 0 ? 0 : directoryLength - 1, size,
                     listed};
    used += length + 1;
    ++listed;
  }
  qsort(files, listed, sizeof(ListedFile), CompareListedFiles);

  CacheVerdict verdict = kCacheWhole;
  WCHAR checked[kPathCapacity];
  checked[0] = 0;
  for (size_t first = 0, next; first < listed; first = next) {
    next = first + 1;
    while (next < listed && SameListedDirectory(files[first], files[next]))
      ++next;
    JoinPath(state.cache.filePath, state.cache.directory, files[first].name,
             kPathCapacity);
    CacheVerdict levels = CheckLevels(checked);
    if (levels == kCacheUnusable) {
      verdict = kCacheUnusable;
      break;
    }
    if (levels == kCacheBroken) {
      for (size_t i = first; i < next; ++i)
        state.cache.brokenFiles[files[i].index] = 1;
    } else {
      // The directory's every entry: its path and "*" in place of the
      // file's name, which takes at least one unit.
      WCHAR *level = (WCHAR *)LastLevel(state.cache.filePath);
      level[0] = '*';
      level[1] = 0;
      MarkListedFiles(files + first, next - first);
    }
    for (size_t i = first; i < next; ++i)
      if (state.cache.brokenFiles[files[i].index])
        verdict = kCacheBroken;
  }
  free(pool);
  free(files);
  return verdict;
}

// Ends the run unless the record just read (its name and size) is the
// next one the marker lists.
void RequireListedRecord(CacheMarkerCursor &cursor) {
  WCHAR listed[kNameCapacity];
  uint64_t size;
  if (!NextMarkerRecord(cursor, listed, &size) ||
      !Utf16Equal(listed, state.record.name) || size != state.record.size)
    ReportFatalMarkerMismatch();
}

// For a repair over the payload's index, every record in order: whether
// PlaceRecord would place it and it is the next the marker lists, as
// RequireListedRecord asks of the stream. Where the index says otherwise,
// the one-thread reader runs, and the stream decides.
bool PlaceableAndListed(const WCHAR *name, uint64_t size, bool first) {
  if (first)
    state.cache.repairCheck = FirstMarkerRecord();
  WCHAR listed[kNameCapacity];
  uint64_t listedSize;
  return WouldPlaceRecord(name, size, first) &&
         NextMarkerRecord(state.cache.repairCheck, listed, &listedSize) &&
         Utf16Equal(listed, name) && listedSize == size;
}

// Records the record just read in the marker.
void AppendRecordToMarker(void) {
  unsigned char bytes[kCacheMarkerRecordCapacity];
  AppendToMarker(bytes, PutCacheMarkerRecord(bytes, state.record.name,
                                             Utf16Length(state.record.name),
                                             state.record.size));
  SetCacheMarkerCount(state.cache.marker,
                      CacheMarkerCount(state.cache.marker) + 1);
}

// Whether the cached file at state.cache.filePath holds exactly the
// record's data, which it reads from the payload.
bool SameContent(void) {
  uint64_t size = 0;
  HANDLE file = OpenPlainFile(state.cache.filePath, &size);
  if (file != INVALID_HANDLE_VALUE && size != state.record.size) {
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
  bool same = CompareRecordData(file);
  if (file != INVALID_HANDLE_VALUE)
    CloseHandle(file);
  return same;
}

// Unpacks the whole payload into this run's sibling and leaves the run
// there, as in a per-run directory, which goes at its end. The cache
// directory is not touched.
void ExtractIntoOwnSibling(void) {
  state.childExecutablePath[0] = 0; // the extraction makes the sibling anew
  RunPayloadPass(kExtractEveryRecord);
}

// Puts the filled sibling into place as the cache directory. False when
// another start was first: the sibling is removed, and the run is to use
// that one's directory. A sibling whose marker is not the one the build
// values describe (the payload does not agree with them) is never put into
// place; it stays this run's, as does one that cannot be renamed, and goes
// at its end. So does a sibling where two records named one file (the
// file system said so at the open: a short name, case, a folder that
// folds names): its marker lists both records, and a later start would
// find the earlier one's size wrong and repair it at every start. Such a
// payload runs from a sibling of its own at every start, as a per-run
// directory, and repairs nothing.
bool PublishSibling(void) {
  if (!MarkerMatchesDigest() || state.recordFileExisted)
    return true;
  WriteMarker();
  // The hold beside the cache directory's path, taken before anything is
  // there, so that the directory is held from its first moment there.
  HANDLE lock = nullptr;
  if (!HoldBesideCacheDirectory(&lock))
    return true;
  // A file just closed in the sibling may still be held for a moment (an
  // anti-virus scanning it), which keeps the directory from being renamed:
  // tried again a while, as long as nothing is at the cache directory's
  // path.
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  for (int attempt = 0;; ++attempt) {
    PauseExtractionForConsoleEvent();
    // The sibling's hold on the directory does not stand in the rename's
    // way, and follows the directory into place (launcher/hold.cpp).
    if (MoveFileExW(state.unpackDirectory, state.cache.directory, 0)) {
      CarrySiblingHoldIntoPlace(lock);
      state.unpackDirectoryOwned = false;
      SetChildPathIn(state.cache.directory);
      return true;
    }
    attributes = GetFileAttributesW(state.cache.directory);
    if (attributes != INVALID_FILE_ATTRIBUTES || attempt >= kRenameRetries)
      break;
    Sleep(kRenamePauseMs);
  }
  ReleaseHold(&lock);
  RemoveHoldLock(state.cache.directory); // unless a run holds it
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    RequireOwnDirectory(state.cache.directory);
    if (HoldCacheDirectory() && ReadMarker(state.cache.directory)) {
      // Another start was first: its directory is this payload's.
      ReleaseUnpackDirectoryHold();
      RemoveDirectoryTree(state.unpackDirectory);
      RemoveHoldLock(state.unpackDirectory);
      ForgetKnownDirectories(); // the sibling's levels among them
      state.unpackDirectoryOwned = false;
      return false;
    }
  }
  ReleaseCacheDirectoryHold();
  return true;
}

} // namespace

bool FillAndPublishSibling(void) {
  StartMarker();
  state.recordFileExisted = false;
  bool done = false;
  if (StartIndexedExtraction()) {
    while (NextIndexedRecord()) {
      PauseExtractionForConsoleEvent();
      PlaceRecord();
      AppendRecordToMarker();
      WriteIndexedRecord();
    }
    done = FinishIndexedRecords();
    // The marker lists what the stream holds, as the one-thread reader
    // reads it.
    if (!done)
      StartMarker();
  }
  if (!done) {
    while (ReadRecordName()) {
      PauseExtractionForConsoleEvent();
      PlaceRecord();
      ReadRecordSize();
      AppendRecordToMarker();
      WriteRecord();
    }
    FinishWriters();
  }
  // The console protocol still counts the main thread as extracting until
  // the sibling is either renamed, and no longer this run's to remove, or
  // known to stay.
  return PublishSibling();
}

bool CompareCachedFiles(void) {
  CacheMarkerCursor cursor = FirstMarkerRecord();
  bool marked = false;
  for (uint32_t i = 0; ReadRecordName(); ++i) {
    // The comparison reads only; a console event ends the run between
    // records.
    PauseExtractionForConsoleEvent();
    ReadRecordSize();
    RequireListedRecord(cursor);
    JoinPath(state.cache.filePath, state.cache.directory, state.record.name,
             kPathCapacity);
    if (state.cache.brokenFiles[i]) {
      SkipRecordData();
    } else if (!SameContent()) {
      state.cache.brokenFiles[i] = 1;
      marked = true;
    }
  }
  return marked;
}

bool RepairBrokenFiles(void) {
  // Only the broken files are written, and only as the marker lists them.
  // With an index, only the frames that hold them are decoded.
  CacheMarkerCursor cursor = FirstMarkerRecord();
  bool done = false;
  if (StartParallelRepair(PlaceableAndListed, state.cache.brokenFiles,
                          CacheMarkerCount(state.cache.marker))) {
    for (uint32_t i = 0; NextIndexedRecord(); ++i) {
      PauseExtractionForConsoleEvent();
      PlaceRecord();
      RequireListedRecord(cursor);
      if (state.cache.brokenFiles[i])
        WriteIndexedRecord();
      else
        PassIndexedRecord();
    }
    done = FinishIndexedRecords();
    // The stream decides, from its first record and the marker's.
    if (!done)
      cursor = FirstMarkerRecord();
  }
  if (!done) {
    for (uint32_t i = 0; ReadRecordName(); ++i) {
      PauseExtractionForConsoleEvent();
      PlaceRecord();
      ReadRecordSize();
      RequireListedRecord(cursor);
      if (state.cache.brokenFiles[i])
        WriteRecord();
      else
        SkipRecordData();
    }
    FinishWriters();
  }

  cursor = FirstMarkerRecord();
  WCHAR name[kNameCapacity];
  uint64_t size;
  bool repaired = true;
  for (uint32_t i = 0; repaired && NextMarkerRecord(cursor, name, &size); ++i) {
    if (!state.cache.brokenFiles[i])
      continue;
    PauseExtractionForConsoleEvent();
    JoinPath(state.outputFilePath, state.unpackDirectory, name, kPathCapacity);
    JoinPath(state.cache.filePath, state.cache.directory, name, kPathCapacity);
    repaired = CreateParentDirectories(state.cache.filePath) &&
               MoveFileExW(state.outputFilePath, state.cache.filePath,
                           MOVEFILE_REPLACE_EXISTING);
  }
  // Nothing of this run's is left in the sibling but directories, and
  // whatever was not moved.
  PauseExtractionForConsoleEvent();
  ReleaseUnpackDirectoryHold();
  RemoveDirectoryTree(state.unpackDirectory);
  RemoveHoldLock(state.unpackDirectory);
  ForgetKnownDirectories(); // the sibling's levels among them
  return repaired;
}

namespace {

// After a repair that could not put its files in place, and removed its
// sibling: the run's own sibling gets a name of its own. On Windows a file
// of the removed sibling that a scanner still holds with delete sharing
// keeps its name until it is let go (delete-pending), and so does its
// folder: making a directory at that path again would fail.
void TakeFreshSiblingPath(void) {
  WCHAR used[kPathCapacity + 1];
  memcpy(used, state.unpackDirectory, sizeof used);
  // A clock that never moves (a frozen one in a test) keeps the name.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    ExpandSiblingPath();
    if (!Utf16Equal(used, state.unpackDirectory))
      return;
    Sleep(1); // the clock has not moved on yet
  }
}

// The cache directory holds this payload's marker: checks the files,
// repairs what needs it (the broken files are unpacked alone into this
// run's sibling, as a per-run directory, and each is then moved over its
// broken namesake), and starts the child from there. Where the directory
// is not this payload's image after all, or a file cannot be put in place
// (another instance holds it open, say), the sibling is emptied and the run
// goes on from a whole sibling of its own.
void UseCacheDirectory(void) {
  CacheVerdict verdict = FindBrokenFiles();
  if (verdict != kCacheUnusable &&
      buildValues.unpackMode == kUnpackCacheContent &&
      RunPayloadPass(kCacheContentCheck))
    verdict = kCacheBroken;
  if (verdict == kCacheBroken) {
    state.childExecutablePath[0] = 0; // the repair makes the sibling anew
    if (RunPayloadPass(kCacheRepair)) {
      state.unpackDirectoryOwned = false;
    } else {
      verdict = kCacheUnusable;
      TakeFreshSiblingPath();
    }
  }
  if (verdict == kCacheUnusable) {
    ExtractIntoOwnSibling();
    return;
  }
  SetChildPathIn(state.cache.directory);
}

} // namespace

bool CacheModeSelected(void) { return buildValues.unpackMode != kUnpackPerRun; }

namespace {

// The sibling's path into state.unpackDirectory: the template's directory
// and a per-run last level.
void ExpandSiblingPath(void) {
  const WCHAR *given = buildValues.unpackTemplate;
  WCHAR pathTemplate[kUnpackTemplateCapacity + kNameCapacity];
  pathTemplate[0] = 0;
  AppendWideString(pathTemplate, given, kUnpackTemplateCapacity);
  size_t length = Utf16Length(pathTemplate);
  while (length > 0 && pathTemplate[length - 1] == '\\')
    pathTemplate[--length] = 0;
  AppendWideString(pathTemplate, VESKAR_TEXT("\\"),
                   sizeof pathTemplate / sizeof pathTemplate[0]);
  AppendWideString(pathTemplate, LastLevel(kUnpackTemplate),
                   sizeof pathTemplate / sizeof pathTemplate[0]);
  state.unpackDirectory[0] = 0;
  if (!ExpandPathTemplate(state.unpackDirectory, pathTemplate, kPathCapacity))
    ReportFatalExpand(given);
}

} // namespace

void ExpandCachePaths(void) {
  buildValues.unpackTemplate[kUnpackTemplateCapacity - 1] = 0;
  const WCHAR *given = buildValues.unpackTemplate;
  if (given[0] == 0)
    ReportFatalExpand(given);
  ExpandSiblingPath();

  bool digestSet = false;
  for (size_t i = 0; i < kPayloadDigestSize; ++i)
    digestSet = digestSet || buildValues.payloadDigest[i] != 0;
  if (!digestSet || ExpectedMarkerSize() <= kCacheMarkerHeaderSize)
    ReportFatal("Error, the launcher carries no digest of its attached data "
                "for its cache directory.");

  // The cache directory: the same directory, and the digest as last level.
  const WCHAR *sibling = LastLevel(state.unpackDirectory);
  size_t parentLength = (size_t)(sibling - state.unpackDirectory);
  WCHAR level[kCacheLevelDigits + 1];
  for (int i = 0; i < kCacheLevelDigits; ++i) {
    unsigned char byte = buildValues.payloadDigest[i / 2];
    level[i] = (WCHAR)HexDigit(i % 2 == 0 ? byte >> 4 : byte);
  }
  level[kCacheLevelDigits] = 0;
  memcpy(state.cache.directory, state.unpackDirectory,
         parentLength * sizeof(WCHAR));
  state.cache.directory[parentLength] = 0;
  AppendWideString(state.cache.directory, level, kPathCapacity);
}

void PrepareCacheDirectory(void) {
  // The template's directory, made as needed (a later start makes
  // nothing), must be the user's own.
  bool present =
      GetFileAttributesW(state.cache.directory) != INVALID_FILE_ATTRIBUTES;
  if (!present)
    CreateParentDirectories(state.cache.directory);
  WCHAR parent[kPathCapacity];
  size_t parentLength =
      (size_t)(LastLevel(state.cache.directory) - state.cache.directory) - 1;
  memcpy(parent, state.cache.directory, parentLength * sizeof(WCHAR));
  parent[parentLength] = 0;
  RequireOwnDirectory(parent);

  if (present) {
    RequireOwnDirectory(state.cache.directory);
    // Held for the whole run, so that no other build's start takes it for
    // an old build's directory that nobody runs.
    if (HoldCacheDirectory() && ReadMarker(state.cache.directory)) {
      UseCacheDirectory();
      return;
    }
    // Not this payload's, or held by a removal: its files are never used.
    // The run unpacks into its sibling and runs from there, which goes at
    // its end.
    ReleaseCacheDirectoryHold();
    ExtractIntoOwnSibling();
    return;
  }
  // A cold start: the sibling is filled, recording the marker, and put
  // into place; when another start was first, the run uses its directory.
  if (!RunPayloadPass(kCacheColdStart))
    UseCacheDirectory();
}

bool IsReclaimableCacheDirectory(const WCHAR *directory) {
  // This release's marker, or where it has another name, that of a
  // launcher that held the directory itself (the proof honours both).
  uint64_t size = 0;
  HANDLE file = OpenMarker(directory, &size);
  if (file == INVALID_HANDLE_VALUE && kMarkerName != kMarkerHeldOnDirectory) {
    JoinPath(state.cache.filePath, directory, kMarkerHeldOnDirectory,
             kPathCapacity);
    file = OpenPlainFile(state.cache.filePath, &size);
  }
  if (file == INVALID_HANDLE_VALUE)
    return false;
  unsigned char header[kCacheMarkerFormatOffset + 4];
  bool ours = IsHeldFormatCacheMarker(
      header, ReadFileUpTo(file, header, sizeof header));
  CloseHandle(file);
  return ours;
}
