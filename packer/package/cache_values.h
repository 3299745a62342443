//===- packer/package/cache_values.h - The cache modes' values ------------===//
//
// A launcher in a cache mode keeps one directory per payload and ties it to
// the payload by the SHA-256 of the container's bytes, which the packer
// computes and stores in the build values. The launcher only compares it.
// Beside it go the SHA-256 and the size of the marker the cache directory
// will hold (common/cache_marker.h): the packer knows every record, so a
// later start can check a marker whole against them.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "common/build_values.h"
#include "packer/archive/archive.h"

namespace veskar {

// The SHA-256 of the `size` bytes at `offset` of `fd`, read back in
// chunks. False with a one-line reason.
bool DigestFileRange(int fd, uint64_t offset, uint64_t size,
                     uint8_t digest[kPayloadDigestSize], std::string *error);

// The marker a cold start writes for `files` (in archive order) of the
// container with `digest`, as bytes.
std::vector<uint8_t>
ExpectedCacheMarker(const std::vector<ArchiveInput> &files,
                    const uint8_t digest[kPayloadDigestSize]);

// Writes `digest` and the SHA-256 and size of the marker `files` make into
// the build values of the executable being written to `fd`, whose launcher
// stub, unchanged in length, starts at offset 0 and is `stub` (`stubSize`
// bytes). False with a one-line reason.
bool StoreCacheValues(int fd, const uint8_t *stub, size_t stubSize,
                      const uint8_t digest[kPayloadDigestSize],
                      const std::vector<ArchiveInput> &files,
                      std::string *error);

} // namespace veskar
