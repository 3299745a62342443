//===- packer/image/byte_source.h - Random access to an image's bytes -----===//
//
// The PE reader works the same over a stub held in memory and over a packed
// executable on disk, which may be far too large to load: both are read
// through this interface, a range at a time.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace veskar {

class ByteSource {
public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Copies [offset, offset + count) to `out`; false when the range is not
  // wholly inside the source or the read fails.
  virtual bool ReadAt(uint64_t offset, void *out, size_t count) const = 0;
};

class MemorySource : public ByteSource {
public:
  MemorySource(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void *out, size_t count) const override;

private:
  const uint8_t *data_;
  size_t size_;
};

// Reads an open file descriptor with pread; the descriptor stays the
// caller's.
class FileSource : public ByteSource {
public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void *out, size_t count) const override;

private:
  int fd_;
  uint64_t size_;
};

} // namespace veskar
