//===- common/cache_marker.h - The marker of a cache directory ----------===//
//
// A cache directory keeps a marker, a file named as the cache's own files
// are (common/names.h), that ties it to one payload. The launcher's cold
// start writes it as it unpacks; the packer, which knows every record,
// computes the same bytes and stores their SHA-256 and their size in the
// build values, so that a later start can check a marker whole before it
// believes a word of it. Little-endian:
//
//   "VSKCACHE", a 32-bit format number, the 32-byte payload digest, a
//   32-bit count of records, then per record in archive order: a 16-bit
//   count of UTF-16 units, the name's units, the 64-bit size.
//
// The first record is the main program. Nothing follows the last one.
//
// This file is the format's one home: the launcher's cold start writes a
// marker with it, a later start reads one with it, and the packer computes
// the bytes a cold start writes. What a cache directory does with its
// marker is launcher/cache.cpp's.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/container.h"
#include "common/names.h"
#include "common/text.h"

enum : size_t {
  kCacheMarkerFormatOffset = 8,
  kCacheMarkerDigestOffset = 12,
  kCacheMarkerCountOffset = kCacheMarkerDigestOffset + 32,
  kCacheMarkerHeaderSize = kCacheMarkerCountOffset + 4,
  // The most one record takes.
  kCacheMarkerRecordCapacity = 2 + 2 * kMaxNameUnits + 8,
};

extern const unsigned char kCacheMarkerMagic[8];
// Format 2: the build values carry the marker's digest and size.
const uint32_t kCacheMarkerFormat = 2;
// The first format whose launchers hold the directory they run from for
// their whole life: only such a directory may be reclaimed once unheld.
const uint32_t kCacheMarkerFirstHeldFormat = 2;

// Writes the header (kCacheMarkerHeaderSize bytes) for the payload
// `digest` and `count` records.
void PutCacheMarkerHeader(unsigned char *to, const unsigned char digest[32],
                          uint32_t count);

// Writes one record (at most kCacheMarkerRecordCapacity bytes) for a name
// of `units` units (at most kMaxNameUnits) and `size`; gives the bytes
// written.
size_t PutCacheMarkerRecord(unsigned char *to, const Utf16Unit *name,
                            size_t units, uint64_t size);

// The count of records in a marker's header (at least
// kCacheMarkerHeaderSize bytes at `marker`), and its change.
uint32_t CacheMarkerCount(const unsigned char *marker);
void SetCacheMarkerCount(unsigned char *marker, uint32_t count);

// Where the next record of a marker starts, and how many its header says
// are left.
struct CacheMarkerCursor {
  size_t at;
  uint32_t left;
};

// The cursor before the first record of `marker` (at least its header).
CacheMarkerCursor FirstCacheMarkerRecord(const unsigned char *marker);

// Reads the record at `cursor` in the `size` bytes at `marker`: its name
// into `name` (room for kMaxNameUnits + 1 units; terminated) and its size
// into `*recordSize`, and moves the cursor past it. False, with the cursor
// unchanged, after the last record the header counts, and at a record that
// is cut short, whose name is empty or longer than kMaxNameUnits, or whose
// name a cache directory may not hold on a file system of `style`
// (CheckCacheArchiveName). A record is never read past `size`.
bool NextCacheMarkerRecord(const unsigned char *marker, size_t size,
                           CacheMarkerCursor &cursor, Utf16Unit *name,
                           uint64_t *recordSize, NameStyle style);

// Whether the `size` bytes at `marker` are a whole marker of this format for
// the payload `digest`: the magic, kCacheMarkerFormat, the digest, at
// least one record, every record the header counts readable as
// NextCacheMarkerRecord reads it, and nothing after the last.
bool IsWholeCacheMarker(const unsigned char *marker, size_t size,
                        const unsigned char digest[32], NameStyle style);

// Whether the first `size` bytes of a file at `header` begin a marker that
// a launcher holding its directory for its whole life wrote: the magic and
// a format of kCacheMarkerFirstHeldFormat or later.
bool IsHeldFormatCacheMarker(const unsigned char *header, size_t size);
