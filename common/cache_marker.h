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
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/container.h"
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
