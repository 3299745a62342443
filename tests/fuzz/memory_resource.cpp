//===- tests/fuzz/memory_resource.cpp - The payload resource from memory -===//
//
// Replaces platform/posix/resource.cpp in the fuzz build: the resource is
// the fuzzer's input, exactly as large as the input, so that a read past
// its end is caught by AddressSanitizer.
//
//===----------------------------------------------------------------------===//
#include "common/container.h"
#include "platform/posix/internal.h"
#include "tests/fuzz/harness.h"

namespace {

struct MemoryResource {
  const uint8_t *data;
  size_t size;
  bool present;
};

MemoryResource resource;

} // namespace

namespace veskar_fuzz {
void SetPayloadResource(const uint8_t *data, size_t size, bool present) {
  resource = {data, size, present};
}
} // namespace veskar_fuzz

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  if (module != nullptr || name != MAKEINTRESOURCEA(kPayloadResourceNumber) ||
      type != MAKEINTRESOURCEA(kResourceTypeRcdata) || !resource.present) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  return &resource;
}

HGLOBAL LoadResource(HMODULE, HRSRC found) {
  return found == &resource ? (HGLOBAL)resource.data : nullptr;
}

LPVOID LockResource(HGLOBAL data) { return data; }

DWORD SizeofResource(HMODULE, HRSRC found) {
  return found == &resource ? (DWORD)resource.size : 0;
}

// The real layer drops mapped file pages here; on the fuzzer's heap copy
// that would zero the input under the decoder, so nothing is done.
BOOL VirtualUnlock(LPVOID, size_t) {
  SetLastError(ERROR_NOT_LOCKED);
  return FALSE;
}
