//===- packer/image/binary.h - Little-endian bytes in growing buffers -----===//
//
// Everything the packer writes into an image or a resource is little-endian
// and laid out by hand: these helpers append, overwrite and read integers
// and UTF-16 text in byte vectors, so that no structure padding or host byte
// order can leak into the output.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace veskar {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes &out, uint32_t value) {
  out.push_back((uint8_t)value);
  out.push_back((uint8_t)(value >> 8));
}

inline void Put32(Bytes &out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
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

// Overwrites bytes already in the buffer; the caller keeps `at` in range.
inline void Set16(uint8_t *at, uint32_t value) {
  at[0] = (uint8_t)value;
  at[1] = (uint8_t)(value >> 8);
}

inline void Set32(uint8_t *at, uint32_t value) {
  Set16(at, value & 0xFFFF);
  Set16(at + 2, value >> 16);
}

inline uint16_t Get16(const uint8_t *at) {
  return (uint16_t)(at[0] | (at[1] << 8));
}

inline uint32_t Get32(const uint8_t *at) {
  return (uint32_t)Get16(at) | ((uint32_t)Get16(at + 2) << 16);
}

inline uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

} // namespace veskar
