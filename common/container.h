//===- common/container.h - The payload container, for every side -------===//
//
// What the launchers read and the packer writes, in one place:
//
//   "VE", the compression byte 'Y', the archive stream as one or more zstd
//   frames, two zero bytes, and a little-endian 64-bit count of the bytes in
//   front of that count.
//
// The archive stream is a run of records (a UTF-16LE name ended by a 0x0000
// unit, a 64-bit little-endian size, the data), ended by a lone 0x0000
// unit; the first record is the program the launcher starts. On Windows the
// container is resource 27 of type RT_RCDATA; on Linux it is appended to the
// launcher's executable and found through its last eight bytes.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

enum : int {
  kPayloadResourceNumber = 27,
  kResourceTypeRcdata = 10, // RT_RCDATA, in its narrow form

  kContainerMagic0 = 'V',
  kContainerMagic1 = 'E',
  kCompressionZstd = 'Y',
  kContainerHeaderSize = 3,
  // After the frames: two zero bytes, then the 64-bit count.
  kContainerEndBytes = 2,
  kContainerCountSize = 8,
  kContainerTailSize = kContainerEndBytes + kContainerCountSize,
  kSmallestContainer = kContainerHeaderSize + kContainerTailSize,

  // Levels of a name are separated by the backslash, and by nothing else.
  kNameSeparator = '\\',
  // The longest name a launcher reads, in UTF-16 units without the
  // terminator; its name buffer holds one unit more.
  kMaxNameUnits = 1023,
  // The launcher's decoder keeps zstd's default window limit, 2^27 bytes:
  // the packer never writes a frame that needs a larger window.
  kMaxWindowLog = 27,
};

// The longest name, as text for messages.
#define VESKAR_MAX_NAME_UNITS_TEXT "1023"

// Eight bytes, least significant first, as every size and count in the
// container is stored.
inline uint64_t GetLittleEndian64(const unsigned char *from) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = (value << 8) | from[i];
  return value;
}

inline void PutLittleEndian64(unsigned char *to, uint64_t value) {
  for (int i = 0; i < 8; ++i)
    to[i] = (unsigned char)(value >> (8 * i));
}

// Four bytes, least significant first (the cache marker's counts).
inline uint32_t GetLittleEndian32(const unsigned char *from) {
  return (uint32_t)from[0] | (uint32_t)from[1] << 8 | (uint32_t)from[2] << 16 |
         (uint32_t)from[3] << 24;
}

inline void PutLittleEndian32(unsigned char *to, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    to[i] = (unsigned char)(value >> (8 * i));
}

// Two bytes, least significant first (a UTF-16LE unit, the marker's and the
// index's name lengths, the PE and resource fields the packer reads and
// writes).
inline uint16_t GetLittleEndian16(const unsigned char *from) {
  return (uint16_t)(from[0] | from[1] << 8);
}

inline void PutLittleEndian16(unsigned char *to, uint16_t value) {
  to[0] = (unsigned char)value;
  to[1] = (unsigned char)(value >> 8);
}
