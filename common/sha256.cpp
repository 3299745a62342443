//===- common/sha256.cpp - SHA-256 for the launchers, packer and tests --===//
#include "common/sha256.h"

#include <string.h>

#include "common/text.h"

namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Mixes one 64-byte block into the state.
void Compress(Sha256 &sha, const unsigned char *p) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 |
           (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 =
        Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 =
        Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = sha.state[0], b = sha.state[1], c = sha.state[2],
           d = sha.state[3], e = sha.state[4], f = sha.state[5],
           g = sha.state[6], h = sha.state[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) +
                  ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) +
                  ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  sha.state[0] += a;
  sha.state[1] += b;
  sha.state[2] += c;
  sha.state[3] += d;
  sha.state[4] += e;
  sha.state[5] += f;
  sha.state[6] += g;
  sha.state[7] += h;
}

} // namespace

void Sha256Init(Sha256 &sha) {
  static const uint32_t kStart[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                     0xa54ff53a, 0x510e527f, 0x9b05688c,
                                     0x1f83d9ab, 0x5be0cd19};
  memcpy(sha.state, kStart, sizeof kStart);
  sha.length = 0;
  sha.filled = 0;
}

void Sha256Update(Sha256 &sha, const void *data, size_t count) {
  const unsigned char *p = (const unsigned char *)data;
  sha.length += count;
  while (count > 0) {
    size_t take = 64 - sha.filled < count ? 64 - sha.filled : count;
    memcpy(sha.block + sha.filled, p, take);
    sha.filled += take;
    p += take;
    count -= take;
    if (sha.filled == 64) {
      Compress(sha, sha.block);
      sha.filled = 0;
    }
  }
}

void Sha256Digest(Sha256 &sha, unsigned char digest[32]) {
  uint64_t bits = sha.length * 8;
  unsigned char pad = 0x80;
  Sha256Update(sha, &pad, 1);
  unsigned char zero = 0;
  while (sha.filled != 56)
    Sha256Update(sha, &zero, 1);
  unsigned char tail[8];
  for (int i = 0; i < 8; ++i)
    tail[i] = (unsigned char)(bits >> (56 - 8 * i));
  Sha256Update(sha, tail, 8);
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j)
      digest[4 * i + j] = (unsigned char)(sha.state[i] >> (24 - 8 * j));
}

void Sha256HexDigest(Sha256 &sha, char hex[65]) {
  unsigned char digest[32];
  Sha256Digest(sha, digest);
  for (int i = 0; i < 32; ++i) {
    hex[2 * i] = HexDigit(digest[i] >> 4);
    hex[2 * i + 1] = HexDigit(digest[i]);
  }
  hex[64] = 0;
}
