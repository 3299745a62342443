//===- packer/package/locate.cpp - Finding the container ------------------===//
#include "packer/package/locate.h"

#include "common/container.h"
#include "packer/image/binary.h"
#include "packer/image/byte_source.h"
#include "packer/failure.h"
#include "packer/os/file_io.h"
#include "packer/image/pe_image.h"

namespace veskar {

namespace {

// Where resource 27 of type RT_RCDATA lies, reading the image as if it were
// `size` bytes long.
bool FindPayloadResource(int fd, uint64_t size, uint64_t *offset,
                         uint32_t *length) {
  FileSource source(fd, size);
  PeHeaders headers;
  std::string reason;
  return ReadPeHeaders(source, &headers, &reason) &&
         FindResourceData(source, headers, kResourceRcdata,
                          kPayloadResourceNumber, offset, length, &reason);
}

} // namespace

bool LocateContainer(int fd, uint64_t fileSize, ContainerPlace *place,
                     std::string *error) {
  // Whatever leads to no payload of ours gets the same words: the reader
  // wants to know that the file is no package, not which part of it said
  // so.
  const std::string kNotPackage =
      "not a package made by veskar-pack (it carries no payload)";
  uint8_t magic[4] = {};
  if (fileSize < 4 || !ReadAllAt(fd, magic, 4, 0))
    return Fail(error, kNotPackage);
  ContainerPlace found = {};
  if (magic[0] == 'M' && magic[1] == 'Z') {
    uint64_t offset;
    uint32_t size;
    if (!FindPayloadResource(fd, fileSize, &offset, &size)) {
      // A Windows image cut short still names resource 27 in its headers
      // and resource directory, when they are whole: it was a package.
      const uint64_t kAnySize = ~(uint64_t)0 >> 1;
      if (FindPayloadResource(fd, kAnySize, &offset, &size))
        return Fail(error, "the package is damaged: the file is cut short "
                           "(it ends before its payload does)");
      return Fail(error, kNotPackage);
    }
    // Resource 27 is the payload's place: a file that ends inside it was a
    // package once.
    if (offset + size > fileSize)
      return Fail(error, "the package is damaged: the file is cut short "
                         "(it ends before its payload does)");
    found = {offset, size, true};
  } else if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' &&
             magic[3] == 'F') {
    uint8_t tail[kContainerCountSize];
    if (fileSize < sizeof tail ||
        !ReadAllAt(fd, tail, sizeof tail, fileSize - sizeof tail))
      return Fail(error, kNotPackage);
    uint64_t inFront = GetLittleEndian64(tail);
    if (inFront > fileSize - sizeof tail)
      return Fail(error, kNotPackage);
    found = {fileSize - sizeof tail - inFront, inFront + sizeof tail, false};
  } else {
    return Fail(error, kNotPackage);
  }
  // A payload starts with the container's header; anything else where it
  // would lie is some other program's data.
  uint8_t header[2] = {};
  if (found.size < kSmallestContainer ||
      !ReadAllAt(fd, header, sizeof header, found.offset) ||
      header[0] != kContainerMagic0 || header[1] != kContainerMagic1)
    return Fail(error, kNotPackage);
  *place = found;
  return true;
}

} // namespace veskar
