//===- packer/package/embedded.cpp - What the packer carries --------------===//
//
// The build passes the three files' paths; the assembler copies their bytes
// into read-only data between a start and an end symbol. The build also
// makes this file depend on them, so a new stub means a new packer.
//
//===----------------------------------------------------------------------===//
#include "packer/package/embedded.h"

#if !defined(VESKAR_WINDOWS_STUB_PATH) || !defined(VESKAR_LINUX_STUB_PATH) ||  \
    !defined(VESKAR_DEFAULT_ICON_PATH)
#error "the build must give the paths of the stubs and the default icon"
#endif

// The section and the symbols' visibility are spelled per object format:
// ELF on Linux, COFF for Windows (read-only data, no hidden symbols, and
// no section stack: back to .text, where top-level code is).
#ifdef _WIN32
#define VESKAR_EMBED_SECTION(symbol) ".section .rdata$" #symbol ",\"dr\"\n"
#define VESKAR_EMBED_HIDDEN(name) ""
#define VESKAR_EMBED_BACK ".text\n"
#else
#define VESKAR_EMBED_SECTION(symbol) ".section .rodata." #symbol ",\"a\"\n"
#define VESKAR_EMBED_HIDDEN(name) ".hidden " name "\n"
#define VESKAR_EMBED_BACK ".previous\n"
#endif

#define VESKAR_EMBED(symbol, path)                                             \
  __asm__(VESKAR_EMBED_SECTION(symbol) ".balign 16\n"                          \
                                       ".globl " #symbol                       \
                                       "_start\n" VESKAR_EMBED_HIDDEN(         \
                                           #symbol "_start") #symbol           \
          "_start:\n"                                                          \
          ".incbin \"" path "\"\n"                                             \
          ".globl " #symbol                                                    \
          "_end\n" VESKAR_EMBED_HIDDEN(#symbol "_end") #symbol                 \
          "_end:\n" VESKAR_EMBED_BACK);                                        \
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
