//===- packer/image/binary.h - Little-endian bytes in growing buffers -----===//
//
// Everything the packer writes into an image or a resource is little-endian
// and laid out by hand: these helpers append integers and UTF-16 text to
// byte vectors, so that no structure padding or host byte order can leak
// into the output. Fields are read and overwritten in place with the
// little-endian helpers of common/container.h.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "common/container.h"

namespace veskar {

using Bytes = std::vector<uint8_t>;

// Appends `value`, least significant byte first (common/container.h has
// the byte order, for reading and overwriting too).
inline void Put16(Bytes &out, uint16_t value) {
  out.resize(out.size() + 2);
  PutLittleEndian16(&out[out.size() - 2], value);
}

inline void Put32(Bytes &out, uint32_t value) {
  out.resize(out.size() + 4);
  PutLittleEndian32(&out[out.size() - 4], value);
}

// UTF-16LE units followed by one 0x0000 unit.
inline void PutText(Bytes &out, const std::u16string &text) {
  for (char16_t unit : text)
    Put16(out, unit);
  Put16(out, 0);
}

// Zero bytes up to the next multiple of `alignment`.
inline void PadTo(Bytes &out, size_t alignment) {
  while (out.size() % alignment != 0)
    out.push_back(0);
}

inline uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

} // namespace veskar
