//===- launcher/cache.h - The cache directory of the cache modes --------===//
//
// In a cache mode (buildValues.unpackMode) the payload is unpacked once, into
// a directory that later runs use as it is; launcher/cache.cpp says how it is
// made, checked and repaired.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "paths/paths.h"
#include "payload/writer.h"
#include "platform/platform.h"

// The cache mode's part of LauncherState (state.cache); only
// launcher/cache.cpp and the holds (launcher/hold.cpp) touch it.
struct CacheState {
  // This payload's cache directory, which is never removed;
  // state.unpackDirectory is then this run's private sibling of it, which a
  // cold start fills and renames into place.
  WCHAR directory[kPathCapacity];
  // The hold on the cache directory, taken before its marker is read (or
  // carried over from the sibling that was renamed into place) and kept
  // for the whole run; null while the run does not use it.
  HANDLE volatile directoryHold;
  // The path of the cached file being checked or repaired.
  WCHAR filePath[kPathCapacity];
  // The marker: its bytes as a cold start records them or as read from the
  // cache directory (heap), their count and the room allocated.
  unsigned char *marker;
  size_t markerSize, markerCapacity;
  // Per marker entry, while the cached files are checked: 1 when the file
  // must be written again (heap).
  unsigned char *brokenFiles;
  // Decoded bytes the cache checks compare or skip, apart from the
  // writers' buffers, which may be in use at the same time.
  unsigned char buffer[kWriteBufferSize];
  // A cold start records each extracted record in the marker.
  bool recordingMarker;
  // A repair: the extraction writes only the broken files, checking each
  // record against the marker (the next record's offset in it, the records
  // left, the record's number).
  bool repairing;
  size_t markerCursorAt;
  uint32_t markerCursorLeft;
  uint32_t recordIndex;
};

// Hex digits of the payload digest that name the cache directory's last
// level.
const int kCacheLevelDigits = 16;

// Whether the build values select a cache mode.
bool CacheModeSelected(void);

// Expands the cache-directory template into state.cache.directory (the
// template's directory, then a level named by the payload digest) and
// names this run's sibling of it in state.unpackDirectory.
void ExpandCachePaths(void);

// Makes sure the cache directory holds this payload's files, whole, and
// points state.childExecutablePath at the main program there: a cold start
// unpacks into the sibling and renames it into place; a later start checks
// the files and repairs what is missing or damaged. Where a directory at
// the cache directory's path is not this payload's, the run unpacks into its
// sibling and runs from there as a per-run directory.
void PrepareCacheDirectory(void);

// Called by the extraction for every record, after its size is read and
// before anything is written for it. In a cache mode: refuses the names the
// cache directory keeps for itself; in a cold start, records the name and
// size in the marker; in a repair, reads past the data of a record whose
// file is whole and gives false: the extraction goes on with the next one.
// True when the record is to be written.
bool NoteExtractedRecord(const WCHAR *name, uint64_t size);

// Whether `directory` (a payload's level beside this one's) carries a
// marker, a plain file, written by a launcher that holds the directory it
// runs from for its whole life (format 2 and later): only such a directory
// may be reclaimed when nothing holds it. An older launcher's directory
// (format 1) is never: its runs hold nothing.
bool IsReclaimableCacheDirectory(const WCHAR *directory);
