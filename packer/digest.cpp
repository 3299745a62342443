//===- packer/digest.cpp - The payload digest of the cache modes --------===//
#include "packer/digest.h"

#include <errno.h>

#include <algorithm>
#include <vector>

#include "common/sha256.h"
#include "packer/build_values.h"
#include "packer/failure.h"
#include "packer/file_io.h"

namespace veskar {

namespace {

const size_t kDigestChunk = 1 << 20;

} // namespace

bool DigestFileRange(int fd, uint64_t offset, uint64_t size,
                     uint8_t digest[kPayloadDigestSize], std::string *error) {
  std::vector<uint8_t> chunk(kDigestChunk);
  Sha256 sha;
  Sha256Init(sha);
  for (uint64_t done = 0; done < size;) {
    size_t want = (size_t)std::min<uint64_t>(chunk.size(), size - done);
    errno = 0;
    if (!ReadAllAt(fd, chunk.data(), want, offset + done))
      return Fail(error, "cannot read the payload back to digest it: " +
                             (errno != 0 ? SystemError(errno)
                                         : std::string("it is shorter")));
    Sha256Update(sha, chunk.data(), want);
    done += want;
  }
  Sha256Digest(sha, digest);
  return true;
}

bool StoreDigest(int fd, const uint8_t *stub, size_t stubSize,
                 const uint8_t digest[kPayloadDigestSize], std::string *error) {
  size_t block;
  if (!FindBuildValues(stub, stubSize, &block, error))
    return false;
  if (!WriteAllAt(fd, digest, kPayloadDigestSize,
                  block + kPayloadDigestOffset))
    return Fail(error, OutputWriteError(errno));
  return true;
}

} // namespace veskar
