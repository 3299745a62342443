//===- packer/package/package.cpp - Writing a packed executable -----------===//
#include "packer/package/package.h"

#include <errno.h>

#include <zstd.h>

#include "common/container.h"
#include "packer/package/build_values.h"
#include "packer/package/embedded.h"
#include "packer/failure.h"
#include "packer/os/file_io.h"
#include "packer/image/icon.h"
#include "packer/image/version_record.h"

namespace veskar {

namespace {

const uint16_t kFirstIconId = 1;
const uint16_t kGroupIconId = 1;
const uint16_t kVersionId = 1;
const uint16_t kManifestId = 1;
const uint64_t kIconFileLimit = 16 << 20;
// zstd's bound covers one frame; multithreaded compression may write more,
// each with a header of its own.
const uint64_t kFrameHeadersRoom = 1 << 16;

bool ToUtf16(const std::string &text, const char *what, std::u16string *out,
             std::string *error) {
  if (!Utf8ToUtf16(text, out))
    return Fail(error, std::string("the ") + what + " is not valid UTF-8");
  return true;
}

} // namespace

bool PreparedImage::Prepare(const ImageOptions &options, std::string *error) {
  target_ = options.target;
  VersionStrings strings;
  if (!ParseVersion(options.version, strings.numbers))
    return Fail(error, "the version '" + options.version +
                           "' is not four numbers 0-65535 like 1.1.0.0");
  if (!ToUtf16(options.company, "company", &strings.company, error) ||
      !ToUtf16(options.product, "product", &strings.product, error) ||
      !ToUtf16(options.version, "version", &strings.version, error))
    return false;
  if (strings.company.empty() || strings.product.empty())
    return Fail(error, "the company and the product must not be empty");

  EmbeddedData stub =
      target_ == Target::kWindows ? WindowsLauncherStub() : LinuxLauncherStub();
  stub_.assign(stub.data, stub.data + stub.size);
  BuildValueStrings values;
  values.company = strings.company;
  values.product = strings.product;
  values.version = strings.version;
  values.unpackMode = options.unpackMode;
  values.launcherOptions = options.launcherOptions;
  if (!options.unpackTemplate.empty() &&
      !MakeUnpackTemplate(options.unpackTemplate,
                          options.unpackMode == kUnpackPerRun ? kTemplatePerRun
                                                              : kTemplateCache,
                          &values.unpackTemplate, error))
    return false;
  if (!PatchBuildValues(stub_, values, error))
    return false;

  if (target_ == Target::kLinux) {
    maxContainer_ = kMaxContainerSize;
    return true;
  }

  std::string description =
      options.description.empty() ? options.product : options.description;
  std::string copyright = options.copyright.empty()
                              ? "Copyright (C) " + options.company
                              : options.copyright;
  std::string internal = options.outputName;
  size_t dot = internal.rfind('.');
  if (dot != std::string::npos && dot > 0)
    internal.erase(dot);
  if (!ToUtf16(description, "description", &strings.description, error) ||
      !ToUtf16(copyright, "copyright", &strings.copyright, error) ||
      !ToUtf16(options.outputName, "output's name", &strings.originalFilename,
               error) ||
      !ToUtf16(internal, "output's name", &strings.internalName, error))
    return false;

  Bytes iconFile;
  if (options.iconPath.empty()) {
    EmbeddedData icon = DefaultIconFile();
    iconFile.assign(icon.data, icon.data + icon.size);
  } else if (!ReadSmallFile(options.iconPath, kIconFileLimit, &iconFile,
                            error)) {
    return false;
  }
  std::vector<IconImage> images;
  std::string reason;
  if (!ParseIconFile(iconFile, &images, &reason))
    return Fail(error,
                (options.iconPath.empty() ? std::string("the default icon")
                                          : "'" + options.iconPath + "'") +
                    ": " + reason);

  resources_.clear();
  for (size_t i = 0; i < images.size(); ++i)
    resources_.push_back(
        {kResourceIcon, (uint16_t)(kFirstIconId + i), images[i].bytes});
  resources_.push_back(
      {kResourceGroupIcon, kGroupIconId, BuildGroupIcon(images, kFirstIconId)});
  resources_.push_back(
      {kResourceVersion, kVersionId, BuildVersionRecord(strings)});
  std::string manifest = BuildManifest(AssemblyName(strings.product));
  resources_.push_back({kResourceManifest, kManifestId,
                        Bytes(manifest.begin(), manifest.end())});
  if (!PlanImage(stub_, resources_, kResourceRcdata, kPayloadResourceNumber,
                 &plan_, error))
    return false;
  maxContainer_ = std::min(plan_.maxStreamedSize, kMaxContainerSize);
  return true;
}

bool PreparedImage::SetFileBytes(uint64_t bytes, std::string *error) {
  size_t block;
  if (!FindBuildValues(stub_.data(), stub_.size(), &block, error))
    return false;
  PutLittleEndian64(stub_.data() + block + kFileBytesOffset, bytes);
  return true;
}

bool PreparedImage::Write(const StreamWriter &stream, int fd,
                          std::string *error) const {
  if (target_ == Target::kWindows)
    return WriteImage(plan_, stream, fd, error);
  if (!WriteAll(fd, stub_.data(), stub_.size()))
    return Fail(error, OutputWriteError(errno));
  uint64_t size = 0;
  if (!stream(fd, &size, error))
    return false;
  if (size > maxContainer_)
    return Fail(error, "the payload is " + std::to_string(size) +
                           " bytes; a Linux launcher holds at most " +
                           std::to_string(maxContainer_));
  return true;
}

uint64_t WorstContainerSize(uint64_t streamSize) {
  return ZSTD_COMPRESSBOUND(streamSize) + kContainerHeaderSize +
         kContainerTailSize + kFrameHeadersRoom;
}

} // namespace veskar
