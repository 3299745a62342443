//===- packer/failure.h - Giving up with a one-line reason --------------===//
//
// The packer's checks end the same way: the reason goes to the caller's
// error text and the check gives false, in one statement:
//
//   if (count == 0)
//     return Fail(error, "the icon file holds no images");
//
//===----------------------------------------------------------------------===//
#pragma once

#include <string>

namespace veskar {

// Sets `*error` to `reason` and gives false.
inline bool Fail(std::string *error, const std::string &reason) {
  *error = reason;
  return false;
}

} // namespace veskar
