//===- common/cache_marker.cpp - The marker of a cache directory --------===//
#include "common/cache_marker.h"

#include <string.h>

const unsigned char kCacheMarkerMagic[8] = {'V', 'S', 'K', 'C',
                                            'A', 'C', 'H', 'E'};

void PutCacheMarkerHeader(unsigned char *to, const unsigned char digest[32],
                          uint32_t count) {
  memcpy(to, kCacheMarkerMagic, sizeof kCacheMarkerMagic);
  PutLittleEndian32(to + kCacheMarkerFormatOffset, kCacheMarkerFormat);
  memcpy(to + kCacheMarkerDigestOffset, digest, 32);
  PutLittleEndian32(to + kCacheMarkerCountOffset, count);
}

size_t PutCacheMarkerRecord(unsigned char *to, const Utf16Unit *name,
                            size_t units, uint64_t size) {
  PutLittleEndian16(to, (uint16_t)units);
  for (size_t i = 0; i < units; ++i)
    PutLittleEndian16(to + 2 + 2 * i, (uint16_t)name[i]);
  PutLittleEndian64(to + 2 + 2 * units, size);
  return 2 + 2 * units + 8;
}

uint32_t CacheMarkerCount(const unsigned char *marker) {
  return GetLittleEndian32(marker + kCacheMarkerCountOffset);
}

void SetCacheMarkerCount(unsigned char *marker, uint32_t count) {
  PutLittleEndian32(marker + kCacheMarkerCountOffset, count);
}

CacheMarkerCursor FirstCacheMarkerRecord(const unsigned char *marker) {
  CacheMarkerCursor cursor;
  cursor.at = kCacheMarkerHeaderSize;
  cursor.left = CacheMarkerCount(marker);
  return cursor;
}

bool NextCacheMarkerRecord(const unsigned char *marker, size_t size,
                           CacheMarkerCursor &cursor, Utf16Unit *name,
                           uint64_t *recordSize, NameStyle style) {
  if (cursor.left == 0 || cursor.at > size || size - cursor.at < 2)
    return false;
  const unsigned char *p = marker + cursor.at;
  size_t units = GetLittleEndian16(p);
  if (units == 0 || units > kMaxNameUnits ||
      size - cursor.at < 2 + 2 * units + 8)
    return false;
  for (size_t i = 0; i < units; ++i)
    name[i] = (Utf16Unit)GetLittleEndian16(p + 2 + 2 * i);
  name[units] = 0;
  if (CheckCacheArchiveName(name, units, style).problem != kNameAllowed)
    return false;
  *recordSize = GetLittleEndian64(p + 2 + 2 * units);
  cursor.at += 2 + 2 * units + 8;
  --cursor.left;
  return true;
}

bool IsWholeCacheMarker(const unsigned char *marker, size_t size,
                        const unsigned char digest[32], NameStyle style) {
  if (size < kCacheMarkerHeaderSize ||
      memcmp(marker, kCacheMarkerMagic, sizeof kCacheMarkerMagic) != 0 ||
      GetLittleEndian32(marker + kCacheMarkerFormatOffset) !=
          kCacheMarkerFormat ||
      memcmp(marker + kCacheMarkerDigestOffset, digest, 32) != 0 ||
      CacheMarkerCount(marker) == 0)
    return false;
  CacheMarkerCursor cursor = FirstCacheMarkerRecord(marker);
  Utf16Unit name[kMaxNameUnits + 1];
  uint64_t recordSize;
  while (
      NextCacheMarkerRecord(marker, size, cursor, name, &recordSize, style)) {
  }
  return cursor.left == 0 && cursor.at == size;
}

bool IsHeldFormatCacheMarker(const unsigned char *header, size_t size) {
  return size >= kCacheMarkerFormatOffset + 4 &&
         memcmp(header, kCacheMarkerMagic, sizeof kCacheMarkerMagic) == 0 &&
         GetLittleEndian32(header + kCacheMarkerFormatOffset) >=
             kCacheMarkerFirstHeldFormat;
}
