//===- packer/digest.h - The payload digest of the cache modes ----------===//
//
// A launcher in a cache mode keeps one directory per payload and ties it to
// the payload by the SHA-256 of the container's bytes, which the packer
// computes and stores in the build values. The launcher only compares it.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>

#include "common/build_values.h"

namespace veskar {

// The SHA-256 of the `size` bytes at `offset` of `fd`, read back in
// chunks. False with a one-line reason.
bool DigestFileRange(int fd, uint64_t offset, uint64_t size,
                     uint8_t digest[kPayloadDigestSize], std::string *error);

// Writes `digest` into the build values of the executable being written to
// `fd`, whose launcher stub, unchanged in length, starts at offset 0 and is
// `stub` (`stubSize` bytes). False with a one-line reason.
bool StoreDigest(int fd, const uint8_t *stub, size_t stubSize,
                 const uint8_t digest[kPayloadDigestSize], std::string *error);

} // namespace veskar
