//===- common/sha256.h - SHA-256 for the launchers, packer and tests ----===//
//
// A small streaming SHA-256 (FIPS 180-4): the packer digests the payload
// container and the cache marker with it for the cache modes, the launchers
// check a cache directory's marker against the marker's digest, and the
// probe children fingerprint the files they find without any system
// library.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

struct Sha256 {
  uint32_t state[8];
  uint64_t length; // bytes hashed so far
  unsigned char block[64];
  size_t filled;
};

// Starts a new digest.
void Sha256Init(Sha256 &sha);
// Adds `count` bytes.
void Sha256Update(Sha256 &sha, const void *data, size_t count);
// Ends the digest and writes its 32 bytes to `digest`.
void Sha256Digest(Sha256 &sha, unsigned char digest[32]);
// Ends the digest and writes 64 lower-case hex digits and a NUL to `hex`.
void Sha256HexDigest(Sha256 &sha, char hex[65]);
