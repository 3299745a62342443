//===- packer/package/locate.h - Finding the container --------------------===//
//
// A Windows image carries the container as resource 27 of type RT_RCDATA;
// a Linux executable carries it at its end, where the last eight bytes
// count the container's bytes in front of them.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>

namespace veskar {

struct ContainerPlace {
  uint64_t offset;
  uint64_t size;
  bool windows; // found as a resource of a Windows image
};

// Finds the container in the `fileSize`-byte file behind `fd`. False with
// one and the same reason for every file that is no packed executable (any
// other file, a program without a payload, a Windows program without
// resource 27, whatever does not start with the container's header). Only
// says where the container is; the rest of it is not checked.
bool LocateContainer(int fd, uint64_t fileSize, ContainerPlace *place,
                     std::string *error);

} // namespace veskar
