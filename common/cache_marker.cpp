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
  to[0] = (unsigned char)units;
  to[1] = (unsigned char)(units >> 8);
  for (size_t i = 0; i < units; ++i) {
    to[2 + 2 * i] = (unsigned char)name[i];
    to[3 + 2 * i] = (unsigned char)(name[i] >> 8);
  }
  PutLittleEndian64(to + 2 + 2 * units, size);
  return 2 + 2 * units + 8;
}
