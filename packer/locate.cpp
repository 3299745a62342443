//===- packer/locate.cpp - Finding the container in a packed executable -===//
#include "packer/locate.h"

#include "common/container.h"
#include "packer/binary.h"
#include "packer/byte_source.h"
#include "packer/failure.h"
#include "packer/file_io.h"
#include "packer/pe_image.h"

namespace veskar {

bool LocateContainer(int fd, uint64_t fileSize, ContainerPlace *place,
                     std::string *error) {
  uint8_t magic[4] = {};
  if (fileSize < 4 || !ReadAllAt(fd, magic, 4, 0))
    return Fail(error, "not a packed executable (too short)");
  if (magic[0] == 'M' && magic[1] == 'Z') {
    FileSource source(fd, fileSize);
    PeHeaders headers;
    uint64_t offset;
    uint32_t size;
    if (!ReadPeHeaders(source, &headers, error) ||
        !FindResourceData(source, headers, kResourceRcdata,
                          kPayloadResourceNumber, &offset, &size, error))
      return false;
    *place = {offset, size, true};
    return true;
  }
  if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' &&
      magic[3] == 'F') {
    uint8_t tail[kContainerCountSize];
    if (fileSize < sizeof tail ||
        !ReadAllAt(fd, tail, sizeof tail, fileSize - sizeof tail))
      return Fail(error, "cannot read the end of the file");
    uint64_t inFront = GetLittleEndian64(tail);
    if (inFront > fileSize - sizeof tail)
      return Fail(error, "no payload is appended to this executable");
    *place = {fileSize - sizeof tail - inFront, inFront + sizeof tail, false};
    return true;
  }
  return Fail(
      error, "not a packed executable (neither a Windows nor a Linux program)");
}

} // namespace veskar
