//===- packer/image/pe_image.cpp - Reading PE32+ headers and resources ----===//
#include "packer/image/pe_image.h"

#include "packer/image/binary.h"
#include "packer/failure.h"

namespace veskar {

namespace {

bool IsPowerOfTwo(uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

// Reads `count` bytes at the image's `rva` into `out`.
bool ReadRva(const ByteSource &source, const PeHeaders &headers, uint32_t rva,
             uint32_t count, uint8_t *out) {
  uint64_t offset;
  return RvaToFileOffset(headers, rva, count, &offset) &&
         source.ReadAt(offset, out, count);
}

// Looks for the entry with numeric `id` in the resource directory at
// `directoryOffset` (relative to the resource section's base `baseRva`).
// Gives the entry's OffsetToData field.
bool FindDirectoryEntry(const ByteSource &source, const PeHeaders &headers,
                        uint32_t baseRva, uint32_t directoryOffset, bool anyId,
                        uint16_t id, uint32_t *target, std::string *error) {
  uint8_t directory[kResourceTableHeaderSize];
  if (!ReadRva(source, headers, baseRva + directoryOffset, sizeof directory,
               directory))
    return Fail(error, "the resource directory points outside the image");
  uint32_t named = GetLittleEndian16(directory + kResourceTableNamedCount);
  uint32_t ids = GetLittleEndian16(directory + kResourceTableIdCount);
  for (uint32_t i = 0; i < named + ids; ++i) {
    uint8_t entry[kResourceEntrySize];
    uint32_t at = baseRva + directoryOffset + kResourceTableHeaderSize +
                  i * kResourceEntrySize;
    if (!ReadRva(source, headers, at, sizeof entry, entry))
      return Fail(error, "the resource directory points outside the image");
    uint32_t name = GetLittleEndian32(entry);
    if ((name & kResourceNamedEntry) != 0)
      continue; // a named entry; the packer looks up numbers only
    if (anyId || name == id) {
      *target = GetLittleEndian32(entry + kResourceEntryTarget);
      return true;
    }
  }
  return Fail(error, "");
}

} // namespace

bool ReadPeHeaders(const ByteSource &source, PeHeaders *headers,
                   std::string *error) {
  PeHeaders h = PeHeaders();
  uint8_t dos[kDosHeaderSize];
  if (!source.ReadAt(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
    return Fail(error, "not a Windows executable (no MZ header)");
  h.peOffset = GetLittleEndian32(dos + kDosLfanewOffset);
  uint8_t signature[kPeSignatureSize + kCoffHeaderSize];
  if (!source.ReadAt(h.peOffset, signature, sizeof signature) ||
      signature[0] != 'P' || signature[1] != 'E' || signature[2] != 0 ||
      signature[3] != 0)
    return Fail(error, "not a PE image (no PE signature)");
  const uint8_t *coff = signature + kPeSignatureSize;
  if (GetLittleEndian16(coff + kCoffMachine) != kMachineAmd64)
    return Fail(error, "not an x86-64 image");
  uint32_t sectionCount = GetLittleEndian16(coff + kCoffNumberOfSections);
  h.optionalSize = GetLittleEndian16(coff + kCoffSizeOfOptionalHeader);
  h.optionalOffset = h.peOffset + kPeSignatureSize + kCoffHeaderSize;
  if (h.optionalSize < kOptDataDirectories)
    return Fail(error, "the optional header is too short for PE32+");
  std::vector<uint8_t> optional(h.optionalSize);
  if (!source.ReadAt(h.optionalOffset, optional.data(), optional.size()))
    return Fail(error, "the optional header runs past the end of the file");
  const uint8_t *o = optional.data();
  if (GetLittleEndian16(o) != kOptionalMagicPe32Plus)
    return Fail(error, "not a PE32+ image");
  h.sizeOfInitializedData = GetLittleEndian32(o + kOptSizeOfInitializedData);
  h.sectionAlignment = GetLittleEndian32(o + kOptSectionAlignment);
  h.fileAlignment = GetLittleEndian32(o + kOptFileAlignment);
  h.sizeOfImage = GetLittleEndian32(o + kOptSizeOfImage);
  h.sizeOfHeaders = GetLittleEndian32(o + kOptSizeOfHeaders);
  h.checkSum = GetLittleEndian32(o + kOptCheckSum);
  if (!IsPowerOfTwo(h.fileAlignment) || !IsPowerOfTwo(h.sectionAlignment) ||
      h.fileAlignment < kMinFileAlignment ||
      h.sectionAlignment < h.fileAlignment)
    return Fail(error, "the image's alignments are not valid");
  uint32_t directoryCount = GetLittleEndian32(o + kOptNumberOfRvaAndSizes);
  if (directoryCount > kMaxDataDirectories ||
      kOptDataDirectories + directoryCount * kDataDirectoryEntrySize >
          h.optionalSize)
    return Fail(error, "the image's data directory is damaged");
  for (uint32_t i = 0; i < directoryCount; ++i) {
    const uint8_t *d = o + kOptDataDirectories + i * kDataDirectoryEntrySize;
    h.directories.push_back({GetLittleEndian32(d), GetLittleEndian32(d + 4)});
  }
  h.sectionTableOffset = h.optionalOffset + h.optionalSize;
  if (sectionCount == 0 || sectionCount > kMaxSections)
    return Fail(error, "the image's section count is not valid");
  std::vector<uint8_t> table(sectionCount * kSectionHeaderSize);
  if (!source.ReadAt(h.sectionTableOffset, table.data(), table.size()))
    return Fail(error, "the section table runs past the end of the file");
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const uint8_t *s = table.data() + i * kSectionHeaderSize;
    PeSection section;
    for (uint32_t c = 0; c < kSectionNameSize; ++c)
      section.name[c] = (char)s[c];
    section.virtualSize = GetLittleEndian32(s + kSectionVirtualSize);
    section.virtualAddress = GetLittleEndian32(s + kSectionVirtualAddress);
    section.rawSize = GetLittleEndian32(s + kSectionSizeOfRawData);
    section.rawOffset = GetLittleEndian32(s + kSectionPointerToRawData);
    if (section.rawSize != 0) {
      uint64_t end = (uint64_t)section.rawOffset + section.rawSize;
      if (end > source.Size())
        return Fail(error, "a section's data runs past the end of the file");
      if (end > h.endOfSectionData)
        h.endOfSectionData = end;
    }
    h.sections.push_back(section);
  }
  *headers = h;
  return true;
}

bool RvaToFileOffset(const PeHeaders &headers, uint32_t rva, uint32_t size,
                     uint64_t *offset) {
  for (const PeSection &section : headers.sections) {
    if (rva < section.virtualAddress)
      continue;
    uint64_t inside = rva - section.virtualAddress;
    uint64_t extent =
        section.virtualSize != 0 && section.virtualSize < section.rawSize
            ? section.virtualSize
            : section.rawSize;
    if (inside + size <= extent) {
      *offset = section.rawOffset + inside;
      return true;
    }
  }
  return false;
}

bool FindResourceData(const ByteSource &source, const PeHeaders &headers,
                      uint16_t type, uint16_t id, uint64_t *offset,
                      uint32_t *size, std::string *error) {
  if (headers.directories.size() <= kDirectoryResource ||
      headers.directories[kDirectoryResource].rva == 0)
    return Fail(error, "the image has no resources");
  uint32_t base = headers.directories[kDirectoryResource].rva;
  // Three levels: type, name, language; the first two must lead to further
  // directories, the last to a data entry.
  uint32_t at = 0;
  const uint16_t wanted[kResourceLevels] = {type, id, 0};
  const uint32_t language = kResourceLevels - 1;
  for (uint32_t level = 0; level < kResourceLevels; ++level) {
    uint32_t target;
    std::string reason;
    if (!FindDirectoryEntry(source, headers, base, at, level == language,
                            wanted[level], &target, &reason))
      return Fail(error, !reason.empty()
                             ? reason
                             : "the image has no resource " +
                                   std::to_string(id) + " of type " +
                                   std::to_string(type));
    bool isDirectory = (target & kResourceSubdirectory) != 0;
    if (isDirectory != (level < language))
      return Fail(error, "the resource directory is damaged");
    at = target & ~(uint32_t)kResourceSubdirectory;
  }
  uint8_t entry[kResourceDataEntrySize];
  if (!ReadRva(source, headers, base + at, sizeof entry, entry))
    return Fail(error, "the resource directory points outside the image");
  uint32_t dataRva = GetLittleEndian32(entry);
  uint32_t dataSize = GetLittleEndian32(entry + kResourceDataSizeOffset);
  if (!RvaToFileOffset(headers, dataRva, dataSize, offset))
    return Fail(error, "resource " + std::to_string(id) +
                           " lies outside the image's section data");
  *size = dataSize;
  return true;
}

} // namespace veskar
