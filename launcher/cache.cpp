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
// payload. Little-endian:
//
//   "VSKCACHE", a 32-bit format number (1), the 32-byte digest, a 32-bit
//   count of records, then per record in archive order: a 16-bit count of
//   UTF-16 units, the name's units, the 64-bit size.
//
// The first record is the main program. Nothing may follow the last one.
//
// Cold start: the sibling is filled as a per-run directory is (a console
// event or a fatal ending removes it), the marker is written into it last,
// and the sibling is renamed into place without replacing anything. From
// then on the directory is never removed. When several starts race, the
// first rename wins; the others find the winner's directory, remove their
// own sibling and run from there.
//
// Later starts read the marker, compare its digest with their own and check
// every listed file's presence and size: no file is written and nothing is
// decoded. A file that is missing or of another size (and with the content
// check, one whose bytes differ from the payload's) is written again
// before the child starts: the extraction unpacks the broken files alone
// into this run's sibling, and each is moved over its broken namesake. Any
// failure ends the run.
//
// A directory at the cache directory's path that is not this payload's (no
// marker, an unreadable one, another digest) is never used and never
// touched: the run unpacks into its sibling and runs from there as from a
// per-run directory, removed at its end.
//
//===----------------------------------------------------------------------===//
#include "launcher/cache.h"

#include <stdlib.h>
#include <string.h>

#include "common/container.h"
#include "common/names.h"
#include "diagnostics/fatal.h"
#include "launcher/console.h"
#include "launcher/hold.h"
#include "launcher/state.h"
#include "launcher/sweep.h"
#include "paths/paths.h"
#include "payload/extract.h"
#include "payload/stream.h"

namespace {

const unsigned char kMarkerMagic[8] = {'V', 'S', 'K', 'C', 'A', 'C', 'H', 'E'};
const uint32_t kMarkerFormat = 1;
const size_t kMarkerFormatOffset = 8;
const size_t kMarkerDigestOffset = 12;
const size_t kMarkerCountOffset = kMarkerDigestOffset + kPayloadDigestSize;
const size_t kMarkerHeaderSize = kMarkerCountOffset + 4;
// A marker larger than this is not one of ours.
const size_t kMarkerSizeLimit = (size_t)1 << 28;
const size_t kMarkerReadStep = 1 << 20;
// How often, and how far apart, a failed rename into place is tried again.
const int kRenameRetries = 10;
const DWORD kRenamePauseMs = 100;
// Hex digits of the digest in the cache directory's last level.
const int kDigestLevelDigits = 16;

const WCHAR kMarkerName[] = VESKAR_TEXT(VESKAR_CACHE_RESERVED_PREFIX "marker");

[[noreturn]] void ReportFatalMarkerMismatch(void) {
  ReportFatal("Error, the cache directory's marker does not match the "
              "attached data.");
}

uint32_t Get32(const unsigned char *from) {
  return (uint32_t)from[0] | (uint32_t)from[1] << 8 |
         (uint32_t)from[2] << 16 | (uint32_t)from[3] << 24;
}

void Put32(unsigned char *to, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    to[i] = (unsigned char)(value >> (8 * i));
}

void ReserveMarker(size_t more) {
  if (state.markerSize + more <= state.markerCapacity)
    return;
  size_t capacity = state.markerCapacity == 0 ? 65536 : state.markerCapacity;
  while (capacity < state.markerSize + more)
    capacity *= 2;
  unsigned char *grown = (unsigned char *)realloc(state.marker, capacity);
  if (grown == nullptr)
    ReportFatalMemory();
  state.marker = grown;
  state.markerCapacity = capacity;
}

void AppendToMarker(const void *bytes, size_t count) {
  ReserveMarker(count);
  memcpy(state.marker + state.markerSize, bytes, count);
  state.markerSize += count;
}

void StartMarker(void) {
  state.markerSize = 0;
  unsigned char header[kMarkerHeaderSize] = {};
  memcpy(header, kMarkerMagic, sizeof kMarkerMagic);
  Put32(header + kMarkerFormatOffset, kMarkerFormat);
  memcpy(header + kMarkerDigestOffset, buildValues.payloadDigest,
         kPayloadDigestSize);
  AppendToMarker(header, sizeof header);
}

// Walks the marker's records.
struct MarkerCursor {
  size_t at = kMarkerHeaderSize;
  uint32_t left = 0;
};

MarkerCursor FirstMarkerRecord(void) {
  MarkerCursor cursor;
  cursor.left = Get32(state.marker + kMarkerCountOffset);
  return cursor;
}

// The next record's name (into `name`, kNameCapacity units) and size; false
// after the last one, or at one that is cut short or has a name no archive
// may hold in a cache directory.
bool NextMarkerRecord(MarkerCursor &cursor, WCHAR *name, uint64_t *size) {
  if (cursor.left == 0 || state.markerSize - cursor.at < 2)
    return false;
  const unsigned char *p = state.marker + cursor.at;
  size_t units = (size_t)p[0] | (size_t)p[1] << 8;
  if (units == 0 || units > kMaxNameUnits ||
      state.markerSize - cursor.at < 2 + 2 * units + 8)
    return false;
  for (size_t i = 0; i < units; ++i)
    name[i] = (WCHAR)(p[2 + 2 * i] | p[3 + 2 * i] << 8);
  name[units] = 0;
  if (CheckCacheArchiveName(name, units, kFileSystemNameStyle).problem !=
      kNameAllowed)
    return false;
  *size = GetLittleEndian64(p + 2 + 2 * units);
  cursor.at += 2 + 2 * units + 8;
  --cursor.left;
  return true;
}

// Whether the marker in memory is one of this payload's, whole.
bool MarkerIsThisPayloads(void) {
  if (state.markerSize < kMarkerHeaderSize ||
      memcmp(state.marker, kMarkerMagic, sizeof kMarkerMagic) != 0 ||
      Get32(state.marker + kMarkerFormatOffset) != kMarkerFormat ||
      memcmp(state.marker + kMarkerDigestOffset, buildValues.payloadDigest,
             kPayloadDigestSize) != 0 ||
      Get32(state.marker + kMarkerCountOffset) == 0)
    return false;
  MarkerCursor cursor = FirstMarkerRecord();
  WCHAR name[kNameCapacity];
  uint64_t size;
  while (NextMarkerRecord(cursor, name, &size)) {
  }
  return cursor.left == 0 && cursor.at == state.markerSize;
}

// Reads the marker of `directory` into memory; true when it is this
// payload's.
bool ReadMarker(const WCHAR *directory) {
  JoinPath(state.cachedFilePath, directory, kMarkerName, kPathCapacity);
  HANDLE file = CreateFileW(state.cachedFilePath, GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  state.markerSize = 0;
  bool read = true;
  for (;;) {
    if (state.markerSize >= kMarkerSizeLimit) {
      read = false;
      break;
    }
    ReserveMarker(kMarkerReadStep);
    DWORD got = 0;
    if (!ReadFile(file, state.marker + state.markerSize, kMarkerReadStep, &got,
                  nullptr)) {
      read = false;
      break;
    }
    if (got == 0)
      break;
    state.markerSize += got;
  }
  CloseHandle(file);
  return read && MarkerIsThisPayloads();
}

// Writes the marker recorded during extraction into the sibling.
void WriteMarker(void) {
  JoinPath(state.outputFilePath, state.unpackDirectory, kMarkerName,
           kPathCapacity);
  HANDLE file = CreateFileW(state.outputFilePath, GENERIC_WRITE,
                            FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE)
    ReportFatalOpen(state.outputFilePath);
  DWORD written = 0;
  // On the disk before the rename: a directory put in place with a marker
  // that a power loss emptied would never be used. The file is closed
  // before a failure is reported, so that the removal can take it.
  bool done = WriteFile(file, state.marker, (DWORD)state.markerSize, &written,
                        nullptr) &&
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
  MarkerCursor cursor = FirstMarkerRecord();
  WCHAR name[kNameCapacity];
  uint64_t size;
  NextMarkerRecord(cursor, name, &size); // the marker has been checked whole
  JoinPath(state.cachedFilePath, directory, name, kPathCapacity);
  if (Utf16Length(state.cachedFilePath) >= kChildPathCapacity)
    ReportFatalChildPathTooLong(state.cachedFilePath);
  state.childExecutablePath[0] = 0;
  AppendWideString(state.childExecutablePath, state.cachedFilePath,
                   kChildPathCapacity);
}

// Marks, in state.brokenFiles, every listed file that is missing, not a
// plain file, or of another size. True when one is.
bool FindBrokenFiles(void) {
  uint32_t count = Get32(state.marker + kMarkerCountOffset);
  free(state.brokenFiles);
  state.brokenFiles = (unsigned char *)calloc(count, 1);
  if (state.brokenFiles == nullptr)
    ReportFatalMemory();
  bool any = false;
  MarkerCursor cursor = FirstMarkerRecord();
  WCHAR name[kNameCapacity];
  uint64_t size;
  for (uint32_t i = 0; NextMarkerRecord(cursor, name, &size); ++i) {
    JoinPath(state.cachedFilePath, state.cacheDirectory, name,
             kPathCapacity);
    WIN32_FILE_ATTRIBUTE_DATA data;
    bool whole =
        GetFileAttributesExW(state.cachedFilePath, GetFileExInfoStandard,
                             &data) &&
        (data.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        ((uint64_t)data.nFileSizeHigh << 32 | data.nFileSizeLow) == size;
    if (!whole) {
      state.brokenFiles[i] = 1;
      any = true;
    }
  }
  return any;
}

DWORD Chunk(uint64_t remaining, size_t limit) {
  return remaining <= limit ? (DWORD)remaining : (DWORD)limit;
}

void SkipRecordData(uint64_t remaining) {
  while (remaining != 0) {
    DWORD chunk = Chunk(remaining, kWriteBufferSize);
    ReadPayload(state.cacheBuffer, chunk);
    remaining -= chunk;
  }
}

// Reads up to `count` bytes, as many as the file holds; the count read.
DWORD ReadUpTo(HANDLE file, unsigned char *to, DWORD count) {
  DWORD done = 0;
  while (done < count) {
    DWORD got = 0;
    if (!ReadFile(file, to + done, count - done, &got, nullptr) || got == 0)
      break;
    done += got;
  }
  return done;
}

// Whether the cached file at state.cachedFilePath holds exactly the
// record's `remaining` bytes, which it reads from the payload.
bool SameContent(uint64_t remaining) {
  HANDLE file = CreateFileW(state.cachedFilePath, GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  bool same = file != INVALID_HANDLE_VALUE;
  const size_t half = kWriteBufferSize / 2;
  unsigned char *decoded = state.cacheBuffer;
  unsigned char *cached = state.cacheBuffer + half;
  while (remaining != 0) {
    DWORD chunk = Chunk(remaining, half);
    ReadPayload(decoded, chunk);
    remaining -= chunk;
    if (same && (ReadUpTo(file, cached, chunk) != chunk ||
                 memcmp(decoded, cached, chunk) != 0))
      same = false;
  }
  if (same && ReadUpTo(file, cached, 1) != 0)
    same = false; // longer than the record
  if (file != INVALID_HANDLE_VALUE)
    CloseHandle(file);
  return same;
}

// Decodes the whole payload and compares each record not yet marked broken
// with its cached file; marks each that differs. True when one does.
bool CompareContents(void) {
  OpenPayload();
  MarkerCursor cursor = FirstMarkerRecord();
  WCHAR name[kNameCapacity];
  uint64_t listedSize;
  bool marked = false;
  for (uint32_t i = 0; ReadEntryName(); ++i) {
    PauseExtractionForConsoleEvent();
    uint64_t size = ReadRecordSize();
    if (!NextMarkerRecord(cursor, name, &listedSize) ||
        !Utf16Equal(name, state.entryName) || listedSize != size)
      ReportFatalMarkerMismatch();
    JoinPath(state.cachedFilePath, state.cacheDirectory, name,
             kPathCapacity);
    if (state.brokenFiles[i]) {
      SkipRecordData(size);
    } else if (!SameContent(size)) {
      state.brokenFiles[i] = 1;
      marked = true;
    }
  }
  ClosePayload();
  return marked;
}

// Writes the broken files again: the extraction unpacks them alone into
// this run's sibling, as a per-run directory (a console event or a fatal
// ending removes it), and each is then moved over its broken namesake.
void RepairBrokenFiles(void) {
  state.repairing = true;
  state.markerCursorAt = kMarkerHeaderSize;
  state.markerCursorLeft = Get32(state.marker + kMarkerCountOffset);
  state.recordIndex = 0;
  state.childExecutablePath[0] = 0; // the extraction makes the sibling anew
  OpenPayload();
  BeginExtraction();
  ExtractPayload();
  ClosePayload();
  state.repairing = false;
  MarkerCursor cursor = FirstMarkerRecord();
  WCHAR name[kNameCapacity];
  uint64_t size;
  for (uint32_t i = 0; NextMarkerRecord(cursor, name, &size); ++i) {
    if (!state.brokenFiles[i])
      continue;
    PauseExtractionForConsoleEvent();
    JoinPath(state.outputFilePath, state.unpackDirectory, name,
             kPathCapacity);
    JoinPath(state.cachedFilePath, state.cacheDirectory, name,
             kPathCapacity);
    if (!CreateParentDirectories(state.cachedFilePath))
      ReportFatalOpen(state.cachedFilePath);
    if (!MoveFileExW(state.outputFilePath, state.cachedFilePath,
                     MOVEFILE_REPLACE_EXISTING))
      ReportFatalPathOsError("Error, couldn't repair the cached file '%ls'",
                             state.cachedFilePath, GetLastError());
  }
  // Nothing of this run's is left in the sibling but directories.
  PauseExtractionForConsoleEvent();
  ReleaseUnpackDirectoryHold();
  RemoveDirectoryTree(state.unpackDirectory);
  state.unpackDirectoryOwned = false;
  EndExtraction();
}

// The cache directory holds this payload's marker: checks the files,
// repairs what needs it, and starts the child from there.
void UseCacheDirectory(void) {
  bool broken = FindBrokenFiles();
  if (buildValues.unpackMode == kUnpackCacheContent) {
    // The comparison reads only; a console event ends the run between
    // records.
    BeginExtraction();
    broken = CompareContents() || broken;
    EndExtraction();
  }
  if (broken)
    RepairBrokenFiles();
  SetChildPathIn(state.cacheDirectory);
}

// Unpacks the payload into this run's sibling, recording the marker.
void ExtractIntoSibling(void) {
  StartMarker();
  state.recordingMarker = true;
  OpenPayload();
  BeginExtraction(); // from here on, clean-up removes the sibling
  ExtractPayload();
  ClosePayload();
  state.recordingMarker = false;
}

// Puts the filled sibling into place as the cache directory, or, when
// another start was first, runs from that one's directory. The console
// protocol still counts the main thread as extracting until the sibling is
// either renamed, and no longer this run's to remove, or known to stay.
void PublishSibling(void) {
  WriteMarker();
  // A file just closed in the sibling may still be held for a moment (an
  // anti-virus scanning it), which keeps the directory from being renamed:
  // tried again a while, as long as nothing is at the cache directory's
  // path.
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  for (int attempt = 0;; ++attempt) {
    PauseExtractionForConsoleEvent();
    // The sibling's hold does not stand in the rename's way, and follows
    // the directory into place (launcher/hold.cpp).
    if (MoveFileExW(state.unpackDirectory, state.cacheDirectory, 0)) {
      CarrySiblingHoldIntoPlace();
      state.unpackDirectoryOwned = false;
      EndExtraction();
      SetChildPathIn(state.cacheDirectory);
      return;
    }
    attributes = GetFileAttributesW(state.cacheDirectory);
    if (attributes != INVALID_FILE_ATTRIBUTES || attempt >= kRenameRetries)
      break;
    Sleep(kRenamePauseMs);
  }
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    RequireOwnDirectory(state.cacheDirectory);
    if (HoldCacheDirectory() && ReadMarker(state.cacheDirectory)) {
      // Another start was first: its directory is this payload's.
      ReleaseUnpackDirectoryHold();
      RemoveDirectoryTree(state.unpackDirectory);
      ForgetKnownDirectories(); // the sibling's levels among them
      state.unpackDirectoryOwned = false;
      EndExtraction();
      UseCacheDirectory();
      return;
    }
  }
  // The sibling stays this run's, and goes at its end.
  ReleaseHold(&state.cacheDirectoryHold);
  EndExtraction();
}

} // namespace

bool CacheModeSelected(void) {
  return buildValues.unpackMode != kUnpackPerRun;
}

void ExpandCachePaths(void) {
  buildValues.unpackTemplate[kUnpackTemplateCapacity - 1] = 0;
  const WCHAR *given = buildValues.unpackTemplate;
  if (given[0] == 0)
    ReportFatalExpand(given);
  // The sibling: the template's directory and a per-run last level.
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

  bool digestSet = false;
  for (size_t i = 0; i < kPayloadDigestSize; ++i)
    digestSet = digestSet || buildValues.payloadDigest[i] != 0;
  if (!digestSet)
    ReportFatal("Error, the launcher carries no digest of its attached data "
                "for its cache directory.");

  // The cache directory: the same directory, and the digest as last level.
  const WCHAR *sibling = LastLevel(state.unpackDirectory);
  size_t parentLength = (size_t)(sibling - state.unpackDirectory);
  WCHAR level[kDigestLevelDigits + 1];
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < kDigestLevelDigits; ++i) {
    unsigned char byte = buildValues.payloadDigest[i / 2];
    level[i] = (WCHAR)kDigits[i % 2 == 0 ? byte >> 4 : byte & 15];
  }
  level[kDigestLevelDigits] = 0;
  memcpy(state.cacheDirectory, state.unpackDirectory,
         parentLength * sizeof(WCHAR));
  state.cacheDirectory[parentLength] = 0;
  AppendWideString(state.cacheDirectory, level, kPathCapacity);
}

void PrepareCacheDirectory(void) {
  // The template's directory, made as needed (a later start makes
  // nothing), must be the user's own.
  bool present =
      GetFileAttributesW(state.cacheDirectory) != INVALID_FILE_ATTRIBUTES;
  if (!present)
    CreateParentDirectories(state.cacheDirectory);
  WCHAR parent[kPathCapacity];
  size_t parentLength =
      (size_t)(LastLevel(state.cacheDirectory) - state.cacheDirectory) - 1;
  memcpy(parent, state.cacheDirectory, parentLength * sizeof(WCHAR));
  parent[parentLength] = 0;
  RequireOwnDirectory(parent);

  if (present) {
    RequireOwnDirectory(state.cacheDirectory);
    // Held for the whole run, so that no other build's start takes it for
    // an old build's directory that nobody runs.
    if (HoldCacheDirectory() && ReadMarker(state.cacheDirectory)) {
      UseCacheDirectory();
      return;
    }
    // Not this payload's, or held by a removal: its files are never used.
    // The run unpacks into its sibling and runs from there, which goes at
    // its end.
    ReleaseHold(&state.cacheDirectoryHold);
    ExtractIntoSibling();
    EndExtraction();
    return;
  }
  ExtractIntoSibling();
  PublishSibling();
}

bool NoteExtractedRecord(const WCHAR *name, uint64_t size) {
  if (!CacheModeSelected())
    return true;
  size_t units = Utf16Length(name);
  NameVerdict verdict =
      CheckCacheArchiveName(name, units, kFileSystemNameStyle);
  if (verdict.problem != kNameAllowed)
    ReportFatalUnsafeName(name, verdict);
  if (state.repairing) {
    // Only the broken files are written, and only as the marker lists them.
    MarkerCursor cursor;
    cursor.at = state.markerCursorAt;
    cursor.left = state.markerCursorLeft;
    WCHAR listed[kNameCapacity];
    uint64_t listedSize;
    if (!NextMarkerRecord(cursor, listed, &listedSize) ||
        !Utf16Equal(listed, name) || listedSize != size)
      ReportFatalMarkerMismatch();
    state.markerCursorAt = cursor.at;
    state.markerCursorLeft = cursor.left;
    if (state.brokenFiles[state.recordIndex++])
      return true;
    SkipRecordData(size);
    return false;
  }
  if (!state.recordingMarker)
    return true;
  unsigned char bytes[2 + 2 * kMaxNameUnits + 8];
  bytes[0] = (unsigned char)units;
  bytes[1] = (unsigned char)(units >> 8);
  for (size_t i = 0; i < units; ++i) {
    bytes[2 + 2 * i] = (unsigned char)name[i];
    bytes[3 + 2 * i] = (unsigned char)(name[i] >> 8);
  }
  PutLittleEndian64(bytes + 2 + 2 * units, size);
  AppendToMarker(bytes, 2 + 2 * units + 8);
  Put32(state.marker + kMarkerCountOffset,
        Get32(state.marker + kMarkerCountOffset) + 1);
  return true;
}
