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

#include "common/cache_marker.h"
#include "paths/paths.h"
#include "platform/platform.h"

// The cache mode's part of LauncherState (state.cache); launcher/cache.cpp
// and the holds (launcher/hold.cpp) write it, and the sweep
// (launcher/sweep.cpp) reads which directory this run holds.
struct CacheState {
  // This payload's cache directory, which is never removed;
  // state.unpackDirectory is then this run's private sibling of it, which a
  // cold start fills and renames into place.
  WCHAR directory[kPathCapacity];
  // The hold on the cache directory, taken before its marker is read (or
  // carried over from the sibling that was renamed into place) and kept
  // for the whole run; null while the run does not use it.
  HANDLE volatile directoryHold;
  // Its lock file's part, where holds lie beside the directory.
  HANDLE volatile directoryLock;
  // The path of the cached file being checked or repaired.
  WCHAR filePath[kPathCapacity];
  // The marker: its bytes as a cold start records them or as read from the
  // cache directory (heap), their count and the room allocated.
  unsigned char *marker;
  size_t markerSize, markerCapacity;
  // The marker's last-write time as read from the cache directory (100 ns
  // steps since 1601): a listed file written later may have been written
  // since the marker, and its listed size is then not trusted.
  uint64_t markerWritten;
  // Per marker entry, while the cached files are checked: 1 when the file
  // must be written again (heap).
  unsigned char *brokenFiles;
  // The marker's next record for a repair's look at the payload's index.
  CacheMarkerCursor repairCheck;
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

// The cache mode's passes over the payload, each its own loop over the
// record primitives; run only by RunPayloadPass (launcher/unpack.h), which
// opens and closes the payload and the extraction around them.
//
// The cold start: unpacks every record into this run's sibling, recording
// the marker, and puts the sibling into place as the cache directory. False
// when another start was first: the sibling is gone, and the run is to use
// that one's directory.
bool FillAndPublishSibling(void);
// The content check: compares each record not yet marked broken with its
// cached file, and marks each that differs; true when one does.
bool CompareCachedFiles(void);
// The repair: unpacks the broken files alone into this run's sibling, each
// checked against the marker, moves each over its broken namesake and
// removes the sibling. False when one cannot be put in place.
bool RepairBrokenFiles(void);

// Whether `directory` (a payload's level beside this one's) carries a
// marker, a plain file, written by a launcher that holds the directory it
// runs from for its whole life (format 2 and later): only such a directory
// may be reclaimed when nothing holds it. An older launcher's directory
// (format 1) is never: its runs hold nothing.
bool IsReclaimableCacheDirectory(const WCHAR *directory);
