//===- packer/image/byte_source.cpp - Memory and file byte sources --------===//
#include "packer/image/byte_source.h"

#include <string.h>

#include "packer/os/file_io.h"

namespace veskar {

bool MemorySource::ReadAt(uint64_t offset, void *out, size_t count) const {
  if (offset > size_ || count > size_ - offset)
    return false;
  memcpy(out, data_ + offset, count);
  return true;
}

bool FileSource::ReadAt(uint64_t offset, void *out, size_t count) const {
  if (offset > size_ || count > size_ - offset)
    return false;
  return ReadAllAt(fd_, out, count, offset);
}

} // namespace veskar
