//===- launcher/cache.h - The cache directory of the cache modes --------===//
//
// In a cache mode (buildValues.unpackMode) the payload is unpacked once, into
// a directory that later runs use as it is; launcher/cache.cpp says how it is
// made, checked and repaired.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// Hex digits of the payload digest that name the cache directory's last
// level.
const int kCacheLevelDigits = 16;

// Whether the build values select a cache mode.
bool CacheModeSelected(void);

// Expands the cache-directory template into state.cacheDirectory (the
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
