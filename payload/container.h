//===- payload/container.h - The payload container's fixed bytes --------===//
//
// The container: "VE", the compression byte 'Y', zstd frames holding the
// archive stream, 0x00 0x00, and a little-endian 64-bit count of the bytes
// in front of it. The archive stream is a run of records (UTF-16LE name with
// a 0x0000 terminator, 64-bit little-endian size, data), ended by a lone
// 0x0000 unit.
//
//===----------------------------------------------------------------------===//
#pragma once

enum : int {
  kPayloadResourceNumber = 27,
  kResourceTypeRcdata = 10, // RT_RCDATA, in its narrow form
  kContainerMagic0 = 'V',
  kContainerMagic1 = 'E',
  kCompressionZstd = 'Y',
  kContainerHeaderSize = 3,
  kContainerTailSize = 10,
  kNameSeparator = '\\',
};
