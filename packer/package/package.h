//===- packer/package/package.h - Writing a packed executable -------------===//
//
// A package is a launcher stub with its build values set, plus the
// container: for Windows as resource 27 of a new resource section next to
// the icons, version record and manifest; for Linux appended to the stub.
// The container itself is streamed by the caller, from the application's
// files or from a prepared container file.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>

#include "common/build_values.h"
#include "packer/archive/archive_names.h"
#include "packer/image/pe_writer.h"

namespace veskar {

struct ImageOptions {
  Target target = Target::kWindows;
  std::string iconPath; // empty: the default icon set
  std::string company = kDefaultCompany;
  std::string product = kDefaultProduct;
  std::string version = kDefaultVersion;
  std::string description;    // empty: the product
  std::string copyright;      // empty: "Copyright (C) " and the company
  std::string outputName;     // the output's file name, for the version record
  std::string unpackTemplate; // empty: the launcher's built-in template
  // A cache mode takes unpackTemplate as the cache-directory template.
  UnpackMode unpackMode = kUnpackPerRun;
  // LauncherOption bits (windows only): the progress window, the error box.
  uint16_t launcherOptions = 0;
};

// The stub and, for Windows, the planned resource section, ready to take a
// container.
class PreparedImage {
public:
  PreparedImage() = default;
  PreparedImage(const PreparedImage &) = delete; // the plan points into it
  PreparedImage &operator=(const PreparedImage &) = delete;
  // Checks the options, patches the build values into a copy of the
  // target's stub and lays out the resources. False with a one-line
  // reason.
  bool Prepare(const ImageOptions &options, std::string *error);
  // Sets the bytes of all the payload's files in the build values, which
  // the progress window counts against; before Write.
  bool SetFileBytes(uint64_t bytes, std::string *error);
  // The most container bytes this image can carry.
  uint64_t MaxContainerSize() const { return maxContainer_; }
  // Writes the whole executable to `fd` (empty, at offset 0), taking the
  // container from `stream`.
  bool Write(const StreamWriter &stream, int fd, std::string *error) const;

private:
  Target target_ = Target::kWindows;
  Bytes stub_;
  std::vector<ResourceItem> resources_;
  ImagePlan plan_;
  uint64_t maxContainer_ = 0;
};

// A container's size must fit 32 bits: a Windows resource's size field has
// no more, and the Linux launcher reads the count in front of the tail as a
// 32-bit size too.
const uint64_t kMaxContainerSize = UINT32_MAX;

// The largest container that compressing an archive stream of
// `streamSize` bytes can give.
uint64_t WorstContainerSize(uint64_t streamSize);

} // namespace veskar
