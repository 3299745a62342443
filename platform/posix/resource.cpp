//===- platform/posix/resource.cpp - The payload appended to the ELF ----===//
//
// On Linux the container is appended to the launcher's own executable. Its
// last 8 bytes count the container's bytes in front of them, which gives
// where it starts. The file is mapped read-only and the container is used in
// place; the "resource" handle is the one mapping.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/container.h"
#include "platform/posix/internal.h"

namespace {

struct AppendedResource {
  const unsigned char *data;
  uint64_t size;
};

AppendedResource appended;

const char *OwnExecutable(void) { return "/proc/self/exe"; }

} // namespace

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  if (module != nullptr || name != MAKEINTRESOURCEA(kPayloadResourceNumber) ||
      type != MAKEINTRESOURCEA(kResourceTypeRcdata)) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  if (appended.data != nullptr)
    return &appended;

  int fd = open(OwnExecutable(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    veskar_posix::SetLastErrorFromErrno(errno);
    return nullptr;
  }
  struct stat info;
  unsigned char tail[kContainerCountSize];
  if (fstat(fd, &info) != 0 || info.st_size < kContainerCountSize ||
      pread(fd, tail, kContainerCountSize,
            info.st_size - kContainerCountSize) != kContainerCountSize) {
    close(fd);
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  uint64_t fileSize = (uint64_t)info.st_size;
  uint64_t inFront = GetLittleEndian64(tail);
  // Without a container, the last bytes of the file are whatever the linker
  // put there: a count that does not fit the file means no payload.
  if (inFront > fileSize - kContainerCountSize ||
      inFront > UINT32_MAX - kContainerCountSize) {
    close(fd);
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  void *map = mmap(nullptr, fileSize, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) {
    veskar_posix::SetLastErrorFromErrno(errno);
    return nullptr;
  }
  uint64_t size = inFront + kContainerCountSize;
  appended.data = (const unsigned char *)map + (fileSize - size);
  appended.size = size;
  return &appended;
}

HGLOBAL LoadResource(HMODULE, HRSRC resource) {
  return resource == &appended ? (HGLOBAL)appended.data : nullptr;
}

LPVOID LockResource(HGLOBAL data) { return data; }

DWORD SizeofResource(HMODULE, HRSRC resource) {
  return resource == &appended ? (DWORD)appended.size : 0;
}

BOOL VirtualUnlock(LPVOID address, size_t size) {
  // Pages of the mapping that have been read are dropped from the resident
  // set; the file still backs them should they be read again.
  uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
  uintptr_t start = ((uintptr_t)address + page - 1) & ~(page - 1);
  uintptr_t end = ((uintptr_t)address + size) & ~(page - 1);
  if (end > start)
    madvise((void *)start, end - start, MADV_DONTNEED);
  SetLastError(ERROR_NOT_LOCKED); // as Windows answers for such pages
  return FALSE;
}
