//===- packer/package/embedded.h - What the packer carries ----------------===//
//
// The packer is one self-contained program: both launcher stubs and the
// default icon set are linked into it as data, so that a packer and the
// stubs it writes always come from the same build.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace veskar {

struct EmbeddedData {
  const uint8_t *data;
  size_t size;
};

EmbeddedData WindowsLauncherStub(void);
EmbeddedData LinuxLauncherStub(void);
EmbeddedData DefaultIconFile(void);

} // namespace veskar
