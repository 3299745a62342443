//===- packer/pe_image.h - Reading PE32+ headers and resources ----------===//
//
// Just enough of the PE format for the packer: the headers and section
// table of an x86-64 image, the mapping from RVAs to file offsets, and the
// lookup of one resource by type and number. Every field read from a file is
// treated as hostile and checked against the file's size before use.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "packer/byte_source.h"

namespace veskar {

// Sizes and offsets fixed by the format.
enum : uint32_t {
  kDosHeaderSize = 64,
  kDosLfanewOffset = 0x3C,
  kCoffHeaderSize = 20, // after the 4-byte "PE\0\0"
  kSectionHeaderSize = 40,
  kMachineAmd64 = 0x8664,
  kOptionalMagicPe32Plus = 0x20B,
  // Offsets inside the PE32+ optional header.
  kOptSizeOfInitializedData = 8,
  kOptSectionAlignment = 32,
  kOptFileAlignment = 36,
  kOptSizeOfImage = 56,
  kOptSizeOfHeaders = 60,
  kOptCheckSum = 64,
  kOptNumberOfRvaAndSizes = 108,
  kOptDataDirectories = 112,
  // Data directory slots.
  kDirectoryResource = 2,
  kDirectorySecurity = 4,
  // Section characteristics.
  kSectionInitializedData = 0x00000040,
  kSectionMemRead = 0x40000000,
};

// Resource types the packer writes.
enum : uint16_t {
  kResourceIcon = 3,
  kResourceRcdata = 10,
  kResourceGroupIcon = 14,
  kResourceVersion = 16,
  kResourceManifest = 24,
};

struct PeSection {
  char name[8];
  uint32_t virtualSize;
  uint32_t virtualAddress;
  uint32_t rawSize;
  uint32_t rawOffset;
};

struct PeDirectory {
  uint32_t rva;
  uint32_t size;
};

struct PeHeaders {
  uint32_t peOffset;       // where "PE\0\0" stands
  uint32_t optionalOffset; // the optional header's first byte
  uint16_t optionalSize;
  uint32_t sectionTableOffset;
  uint32_t sectionAlignment;
  uint32_t fileAlignment;
  uint32_t sizeOfHeaders;
  uint32_t sizeOfImage;
  uint32_t sizeOfInitializedData;
  uint32_t checkSum;
  std::vector<PeDirectory> directories; // NumberOfRvaAndSizes entries
  std::vector<PeSection> sections;      // in table order
  uint64_t endOfSectionData;            // the largest raw end of a section
};

// Reads the DOS stub, the COFF and optional headers and the section table
// of a PE32+ x86-64 image. False with a one-line reason when the source is
// not such an image or a header points outside it.
bool ReadPeHeaders(const ByteSource &source, PeHeaders *headers,
                   std::string *error);

// The file offset of [rva, rva + size) when the range lies inside the raw
// data of one section; false otherwise.
bool RvaToFileOffset(const PeHeaders &headers, uint32_t rva, uint32_t size,
                     uint64_t *offset);

// Finds the resource with numeric `type` and numeric `id` (its first
// language) and gives the file offset and size of its data. False with a
// reason when there is no such resource or the directory is damaged.
bool FindResourceData(const ByteSource &source, const PeHeaders &headers,
                      uint16_t type, uint16_t id, uint64_t *offset,
                      uint32_t *size, std::string *error);

} // namespace veskar
