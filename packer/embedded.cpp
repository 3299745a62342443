//===- packer/embedded.cpp - What the packer carries inside itself ------===//
//
// The build passes the three files' paths; the assembler copies their bytes
// into read-only data between a start and an end symbol. The build also
// makes this file depend on them, so a new stub means a new packer.
//
//===----------------------------------------------------------------------===//
#include "packer/embedded.h"

#if !defined(VESKAR_WINDOWS_STUB_PATH) || !defined(VESKAR_LINUX_STUB_PATH) || \
    !defined(VESKAR_DEFAULT_ICON_PATH)
#error "the build must give the paths of the stubs and the default icon"
#endif

#define VESKAR_EMBED(symbol, path)                                             \
  __asm__(".section .rodata." #symbol ",\"a\"\n"                              \
          ".balign 16\n"                                                       \
          ".globl " #symbol "_start\n"                                         \
          ".hidden " #symbol "_start\n" #symbol "_start:\n"                    \
          ".incbin \"" path "\"\n"                                             \
          ".globl " #symbol "_end\n"                                           \
          ".hidden " #symbol "_end\n" #symbol "_end:\n"                        \
          ".previous\n");                                                      \
  extern "C" const uint8_t symbol##_start[];                                   \
  extern "C" const uint8_t symbol##_end[];

VESKAR_EMBED(veskar_windows_stub, VESKAR_WINDOWS_STUB_PATH)
VESKAR_EMBED(veskar_linux_stub, VESKAR_LINUX_STUB_PATH)
VESKAR_EMBED(veskar_default_icon, VESKAR_DEFAULT_ICON_PATH)

namespace veskar {

EmbeddedData WindowsLauncherStub(void) {
  return {veskar_windows_stub_start,
          (size_t)(veskar_windows_stub_end - veskar_windows_stub_start)};
}

EmbeddedData LinuxLauncherStub(void) {
  return {veskar_linux_stub_start,
          (size_t)(veskar_linux_stub_end - veskar_linux_stub_start)};
}

EmbeddedData DefaultIconFile(void) {
  return {veskar_default_icon_start,
          (size_t)(veskar_default_icon_end - veskar_default_icon_start)};
}

} // namespace veskar
