//===- packer/image/pe_writer.cpp - Adding the resource section -----------===//
//
// The resource section is laid out the way resource compilers do it: all
// directory tables first (types, then names, then languages, each sorted by
// number as the loader's binary search requires), then the data entries,
// then the data, each piece on an 8-byte boundary. The streamed resource's
// data comes last so that nothing after it depends on its size.
//
//===----------------------------------------------------------------------===//
#include "packer/image/pe_writer.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "packer/failure.h"
#include "packer/os/file_io.h"

namespace veskar {

namespace {

const char kResourceSectionName[kSectionNameSize] = {'.', 'r', 's', 'r',
                                                     'c', 0,   0,   0};
const uint32_t kResourceSectionFlags =
    kSectionInitializedData | kSectionMemRead;
// Every resource's data starts on this boundary.
const uint32_t kResourceDataAlignment = 8;
// Where the resource section's bytes start in the file: on a page.
const uint32_t kResourceSectionFileAlignment = 4096;

// A resource directory table header with `count` numbered entries.
void PutDirectoryHeader(Bytes &out, uint32_t count) {
  Put32(out, 0); // characteristics
  Put32(out, 0); // time stamp: none, so that builds repeat
  Put16(out, 0); // major version
  Put16(out, 0); // minor version
  Put16(out, 0); // named entries
  Put16(out, count);
}

uint32_t DirectorySize(size_t entries) {
  return kResourceTableHeaderSize + kResourceEntrySize * (uint32_t)entries;
}

// Where the new section goes in memory: after every byte of the last one.
uint32_t NextSectionRva(const PeHeaders &h) {
  uint64_t end = 0;
  for (const PeSection &s : h.sections) {
    uint32_t extent = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
    end = std::max<uint64_t>(end, (uint64_t)s.virtualAddress + extent);
  }
  return (uint32_t)AlignUp(end, h.sectionAlignment);
}

} // namespace

bool PlanImage(const Bytes &stub, const std::vector<ResourceItem> &items,
               uint16_t streamedType, uint16_t streamedId, ImagePlan *plan,
               std::string *error) {
  MemorySource source(stub.data(), stub.size());
  PeHeaders h;
  std::string reason;
  if (!ReadPeHeaders(source, &h, &reason))
    return Fail(error, "the launcher stub is not usable: " + reason);
  if (h.directories.size() <= kDirectorySecurity)
    return Fail(error, "the launcher stub has too few data directories");
  if (h.directories[kDirectoryResource].rva != 0 ||
      h.directories[kDirectoryResource].size != 0)
    return Fail(error, "the launcher stub already has resources");
  if (h.directories[kDirectorySecurity].rva != 0 ||
      h.directories[kDirectorySecurity].size != 0)
    return Fail(error, "the launcher stub is signed; sign the packed output "
                       "instead");
  if (h.endOfSectionData != stub.size() || stub.size() % h.fileAlignment != 0)
    return Fail(error, "the launcher stub has bytes after its last section");
  uint64_t newHeader =
      h.sectionTableOffset + (uint64_t)h.sections.size() * kSectionHeaderSize;
  uint64_t firstData = h.sizeOfHeaders;
  for (const PeSection &s : h.sections)
    if (s.rawSize != 0)
      firstData = std::min<uint64_t>(firstData, s.rawOffset);
  if (newHeader + kSectionHeaderSize > firstData)
    return Fail(error, "the launcher stub has no room for another section");
  for (uint64_t i = newHeader; i < newHeader + kSectionHeaderSize; ++i)
    if (stub[i] != 0)
      return Fail(error, "the launcher stub has no room for another section");
  uint32_t rva = NextSectionRva(h);
  if (rva != h.sizeOfImage)
    return Fail(error, "the launcher stub's image size does not match its "
                       "sections");

  // Every resource, the streamed one included (its data stays empty here),
  // in the order the loader searches them: by type, then by number.
  std::map<uint16_t, std::map<uint16_t, const Bytes *>> tree;
  static const Bytes kNoData;
  for (const ResourceItem &item : items) {
    if (tree[item.type].count(item.id) != 0)
      return Fail(error, "resource " + std::to_string(item.id) + " of type " +
                             std::to_string(item.type) + " is given twice");
    tree[item.type][item.id] = &item.data;
  }
  if (tree[streamedType].count(streamedId) != 0)
    return Fail(error, "the streamed resource is also given as data");
  tree[streamedType][streamedId] = &kNoData;

  size_t resourceCount = 0;
  for (const auto &type : tree)
    resourceCount += type.second.size();
  // Offsets inside the section of every table, in writing order.
  uint32_t namesAt = DirectorySize(tree.size());
  uint32_t languagesAt = namesAt;
  for (const auto &type : tree)
    languagesAt += DirectorySize(type.second.size());
  uint32_t entriesAt = languagesAt + DirectorySize(1) * (uint32_t)resourceCount;
  uint32_t dataAt =
      entriesAt + kResourceDataEntrySize * (uint32_t)resourceCount;

  Bytes head;
  PutDirectoryHeader(head, (uint32_t)tree.size());
  uint32_t nameTable = namesAt;
  for (const auto &type : tree) {
    Put32(head, type.first);
    Put32(head, kResourceSubdirectory | nameTable);
    nameTable += DirectorySize(type.second.size());
  }
  uint32_t languageTable = languagesAt;
  for (const auto &type : tree) {
    PutDirectoryHeader(head, (uint32_t)type.second.size());
    for (const auto &name : type.second) {
      Put32(head, name.first);
      Put32(head, kResourceSubdirectory | languageTable);
      languageTable += DirectorySize(1);
    }
  }
  uint32_t entry = entriesAt;
  for (const auto &type : tree) {
    for (size_t i = 0; i < type.second.size(); ++i) {
      PutDirectoryHeader(head, 1);
      Put32(head, 0); // the neutral language
      Put32(head, entry);
      entry += kResourceDataEntrySize;
    }
  }
  // Data offsets: the small resources in order, the streamed one last.
  uint32_t next = dataAt;
  std::vector<const Bytes *> order;
  plan->streamedEntry = 0;
  for (const auto &type : tree) {
    for (const auto &name : type.second) {
      bool streamed = type.first == streamedType && name.first == streamedId;
      if (streamed) {
        plan->streamedEntry = (uint32_t)head.size();
        Put32(head, 0); // filled in when the streamed size is known
        Put32(head, 0);
      } else {
        Put32(head, rva + next);
        Put32(head, (uint32_t)name.second->size());
        order.push_back(name.second);
        next = (uint32_t)AlignUp(next + name.second->size(),
                                 kResourceDataAlignment);
      }
      Put32(head, 0); // code page
      Put32(head, 0); // reserved
    }
  }
  for (const Bytes *data : order) {
    head.insert(head.end(), data->begin(), data->end());
    PadTo(head, kResourceDataAlignment);
  }
  if (head.size() != next)
    return Fail(error, "internal error: the resource layout does not add up");
  // The streamed data's RVA is known now: it starts right after the head.
  PutLittleEndian32(head.data() + plan->streamedEntry,
                    rva + (uint32_t)head.size());

  // Every size that grows with the streamed resource must stay a 32-bit
  // value: the section's size and the image's size in memory.
  uint64_t imageLimit = UINT32_MAX & ~(uint64_t)(h.sectionAlignment - 1);
  uint64_t room = imageLimit - rva - head.size();
  uint64_t initializedRoom =
      (UINT32_MAX - h.sizeOfInitializedData) & ~(uint64_t)(h.fileAlignment - 1);
  if (initializedRoom < head.size())
    return Fail(error, "the launcher stub's data sizes are not valid");
  plan->stub = &stub;
  plan->headers = h;
  plan->sectionRva = rva;
  plan->maxStreamedSize = std::min(room, initializedRoom - head.size());
  plan->resourceHead = std::move(head);
  return true;
}

bool WriteImage(const ImagePlan &plan, const StreamWriter &stream, int fd,
                std::string *error) {
  const Bytes &stub = *plan.stub;
  const PeHeaders &h = plan.headers;
  // The resource section starts on a page of the file, after zeros that no
  // section claims: a loader that maps the image straight from the file
  // (Wine, on a page-aligned section) then pages the payload in as it is
  // read, instead of copying the whole section into memory at start.
  static const uint8_t kZeros[kResourceSectionFileAlignment] = {};
  uint64_t sectionOffset = AlignUp(stub.size(), kResourceSectionFileAlignment);
  if (!WriteAll(fd, stub.data(), stub.size()) ||
      !WriteAll(fd, kZeros, (size_t)(sectionOffset - stub.size())) ||
      !WriteAll(fd, plan.resourceHead.data(), plan.resourceHead.size()))
    return Fail(error, OutputWriteError(errno));
  uint64_t streamed = 0;
  if (!stream(fd, &streamed, error))
    return false;
  if (streamed > plan.maxStreamedSize)
    return Fail(error, "the payload is " + std::to_string(streamed) +
                           " bytes; a Windows image holds at most " +
                           std::to_string(plan.maxStreamedSize));
  uint64_t sectionSize = plan.resourceHead.size() + streamed;
  uint64_t rawSize = AlignUp(sectionSize, h.fileAlignment);
  if (rawSize > sectionSize &&
      !WriteAll(fd, kZeros, (size_t)(rawSize - sectionSize)))
    return Fail(error, OutputWriteError(errno));

  // The streamed resource's size, in its data entry.
  uint8_t size[4];
  PutLittleEndian32(size, (uint32_t)streamed);
  if (!WriteAllAt(fd, size, sizeof size,
                  sectionOffset + plan.streamedEntry + kResourceDataSizeOffset))
    return Fail(error, OutputWriteError(errno));

  // The headers, fixed for the new section; the checksum stays zero until
  // the whole file is there to be summed.
  Bytes headers(stub.begin(), stub.begin() + h.sizeOfHeaders);
  uint8_t *coff = headers.data() + h.peOffset + kPeSignatureSize;
  PutLittleEndian16(coff + kCoffNumberOfSections,
                    (uint32_t)h.sections.size() + 1);
  uint8_t *opt = headers.data() + h.optionalOffset;
  PutLittleEndian32(opt + kOptSizeOfInitializedData,
                    h.sizeOfInitializedData + (uint32_t)rawSize);
  PutLittleEndian32(
      opt + kOptSizeOfImage,
      (uint32_t)AlignUp(plan.sectionRva + sectionSize, h.sectionAlignment));
  PutLittleEndian32(opt + kOptCheckSum, 0);
  uint8_t *directory =
      opt + kOptDataDirectories + kDataDirectoryEntrySize * kDirectoryResource;
  PutLittleEndian32(directory, plan.sectionRva);
  PutLittleEndian32(directory + 4, (uint32_t)sectionSize);
  uint8_t *section = headers.data() + h.sectionTableOffset +
                     h.sections.size() * kSectionHeaderSize;
  memcpy(section, kResourceSectionName, kSectionNameSize);
  PutLittleEndian32(section + kSectionVirtualSize, (uint32_t)sectionSize);
  PutLittleEndian32(section + kSectionVirtualAddress, plan.sectionRva);
  PutLittleEndian32(section + kSectionSizeOfRawData, (uint32_t)rawSize);
  PutLittleEndian32(section + kSectionPointerToRawData,
                    (uint32_t)sectionOffset);
  PutLittleEndian32(section + kSectionCharacteristics, kResourceSectionFlags);
  if (!WriteAllAt(fd, headers.data(), headers.size(), 0))
    return Fail(error, OutputWriteError(errno));

  uint64_t checkSumOffset = h.optionalOffset + kOptCheckSum;
  uint32_t checkSum;
  if (!ComputeImageChecksum(fd, sectionOffset + rawSize, checkSumOffset,
                            &checkSum, error))
    return false;
  uint8_t sum[4];
  PutLittleEndian32(sum, checkSum);
  if (!WriteAllAt(fd, sum, sizeof sum, checkSumOffset))
    return Fail(error, OutputWriteError(errno));
  return true;
}

bool ComputeImageChecksum(int fd, uint64_t size, uint64_t checkSumOffset,
                          uint32_t *checkSum, std::string *error) {
  // An even chunk size keeps every chunk on a word boundary.
  const size_t kChunk = 1 << 20;
  std::vector<uint8_t> buffer(kChunk);
  uint64_t sum = 0;
  for (uint64_t at = 0; at < size;) {
    size_t count = (size_t)std::min<uint64_t>(kChunk, size - at);
    if (!ReadAllAt(fd, buffer.data(), count, at))
      return Fail(error, errno != 0 ? SystemError(errno)
                                    : "the output file shrank while being "
                                      "written");
    for (uint64_t i = checkSumOffset; i < checkSumOffset + 4; ++i)
      if (i >= at && i < at + count)
        buffer[i - at] = 0;
    if (count % 2 != 0)
      buffer[count++] = 0; // only the file's last chunk can be odd
    for (size_t i = 0; i < count; i += 2) {
      sum += (uint32_t)(buffer[i] | (buffer[i + 1] << 8));
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    at += std::min<uint64_t>(kChunk, size - at);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  *checkSum = (uint32_t)(sum + size);
  return true;
}

} // namespace veskar
