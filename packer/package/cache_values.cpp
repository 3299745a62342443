//===- packer/package/cache_values.cpp - The cache modes' values ----------===//
#include "packer/package/cache_values.h"

#include <errno.h>

#include <algorithm>
#include <vector>

#include "common/cache_marker.h"
#include "common/container.h"
#include "common/sha256.h"
#include "packer/package/build_values.h"
#include "packer/failure.h"
#include "packer/os/file_io.h"

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

std::vector<uint8_t>
ExpectedCacheMarker(const std::vector<ArchiveInput> &files,
                    const uint8_t digest[kPayloadDigestSize]) {
  std::vector<uint8_t> marker(kCacheMarkerHeaderSize);
  PutCacheMarkerHeader(marker.data(), digest, (uint32_t)files.size());
  uint8_t record[kCacheMarkerRecordCapacity];
  for (const ArchiveInput &file : files) {
    size_t bytes =
        PutCacheMarkerRecord(record, (const Utf16Unit *)file.name.data(),
                             file.name.size(), file.size);
    marker.insert(marker.end(), record, record + bytes);
  }
  return marker;
}

bool StoreCacheValues(int fd, const uint8_t *stub, size_t stubSize,
                      const uint8_t digest[kPayloadDigestSize],
                      const std::vector<ArchiveInput> &files,
                      std::string *error) {
  size_t block;
  if (!FindBuildValues(stub, stubSize, &block, error))
    return false;
  std::vector<uint8_t> marker = ExpectedCacheMarker(files, digest);
  uint8_t markerDigest[kPayloadDigestSize];
  Sha256 sha;
  Sha256Init(sha);
  Sha256Update(sha, marker.data(), marker.size());
  Sha256Digest(sha, markerDigest);
  uint8_t markerSize[8];
  PutLittleEndian64(markerSize, marker.size());
  if (!WriteAllAt(fd, digest, kPayloadDigestSize,
                  block + kPayloadDigestOffset) ||
      !WriteAllAt(fd, markerDigest, kPayloadDigestSize,
                  block + kMarkerDigestOffset) ||
      !WriteAllAt(fd, markerSize, sizeof markerSize, block + kMarkerSizeOffset))
    return Fail(error, OutputWriteError(errno));
  return true;
}

} // namespace veskar
