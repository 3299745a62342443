//===- packer/image/pe_image.h - Reading PE32+ headers and resources ------===//
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

#include "common/container.h"
#include "packer/image/byte_source.h"

namespace veskar {

// Sizes and offsets fixed by the format.
enum : uint32_t {
  kDosHeaderSize = 64,
  kDosLfanewOffset = 0x3C,
  kPeSignatureSize = 4, // "PE\0\0"
  kCoffHeaderSize = 20, // after the signature
  // Offsets inside the COFF header.
  kCoffMachine = 0,
  kCoffNumberOfSections = 2,
  kCoffSizeOfOptionalHeader = 16,
  kMachineAmd64 = 0x8664,
  kOptionalMagicPe32Plus = 0x20B,
  kMinFileAlignment = 512,
  kMaxSections = 96, // more is taken for a damaged image
  // Offsets inside the PE32+ optional header.
  kOptSizeOfInitializedData = 8,
  kOptSectionAlignment = 32,
  kOptFileAlignment = 36,
  kOptSizeOfImage = 56,
  kOptSizeOfHeaders = 60,
  kOptCheckSum = 64,
  kOptNumberOfRvaAndSizes = 108,
  kOptDataDirectories = 112,
  // The data directory: slots of an RVA and a size.
  kDataDirectoryEntrySize = 8,
  kMaxDataDirectories = 16,
  kDirectoryResource = 2,
  kDirectorySecurity = 4,
  // A section header and the offsets of its fields.
  kSectionHeaderSize = 40,
  kSectionNameSize = 8,
  kSectionVirtualSize = 8,
  kSectionVirtualAddress = 12,
  kSectionSizeOfRawData = 16,
  kSectionPointerToRawData = 20,
  kSectionCharacteristics = 36,
  // Section characteristics.
  kSectionInitializedData = 0x00000040,
  kSectionMemRead = 0x40000000,
  // The resource tree: tables of type, name and language entries, each
  // leading to a data entry (the data's RVA, its size, a code page).
  kResourceLevels = 3,
  kResourceTableHeaderSize = 16,
  kResourceTableNamedCount = 12, // how many entries have string names
  kResourceTableIdCount = 14,    // how many have numbers
  kResourceEntrySize = 8,        // a name or number, then where it leads
  kResourceEntryTarget = 4,
  kResourceNamedEntry = 0x80000000,   // in an entry's name: a string's offset
  kResourceSubdirectory = 0x80000000, // in an entry's target: a table
  kResourceDataEntrySize = 16,
  kResourceDataSizeOffset = 4, // after the data's RVA
};

// Resource types the packer writes.
enum : uint16_t {
  kResourceIcon = 3,
  kResourceRcdata = kResourceTypeRcdata,
  kResourceGroupIcon = 14,
  kResourceVersion = 16,
  kResourceManifest = 24,
};

struct PeSection {
  char name[kSectionNameSize];
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
