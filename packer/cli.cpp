//===- packer/cli.cpp - The command line of veskar-pack -----------------===//
#include "packer/cli.h"

#include <stdio.h>

#include "packer/unicode.h"

namespace veskar {

int Report(int status, const std::string &message) {
  fprintf(stderr, "veskar-pack: %s\n", Shown(message).c_str());
  return status;
}

} // namespace veskar
