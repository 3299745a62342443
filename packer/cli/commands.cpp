//===- packer/cli/commands.cpp - The command line of veskar-pack ----------===//
#include "packer/cli/commands.h"

#include <stdio.h>

#include "packer/os/fs.h"
#include "packer/string_codec.h"

namespace veskar {

int Report(int status, const std::string &message) {
  fs::Print(stderr, "veskar-pack: " + Shown(message) + "\n");
  return status;
}

int UsageError(const std::string &command, const std::string &message) {
  return Report(kExitUsage, message + " (see veskar-pack " +
                                (command.empty() ? "" : command + " ") +
                                "--help)");
}

} // namespace veskar
