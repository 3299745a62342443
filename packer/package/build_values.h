//===- packer/package/build_values.h - The build values in a stub ---------===//
//
// The block's layout, marker and defaults are common/build_values.h's. The
// packer writes COMPANY, PRODUCT and VERSION as it also puts them into the
// version record, so the two always agree, the unpack-directory template
// the unpack mode and the launcher options; `build` writes the payload's digest
// and the cache marker's digest and size into the output once the container is
// written. `list` reads them back.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>

#include <array>
#include <string>

#include "common/build_values.h"
#include "packer/image/binary.h"

namespace veskar {

struct BuildValueStrings {
  std::u16string company, product, version;
  std::u16string unpackTemplate = u"" VESKAR_UNPACK_TEMPLATE_TEXT;
  UnpackMode unpackMode = kUnpackPerRun;
  std::array<uint8_t, kPayloadDigestSize> payloadDigest{};
  std::array<uint8_t, kPayloadDigestSize> markerDigest{};
  uint64_t markerSize = 0;
  // LauncherOption bits, and the bytes of all the payload's files.
  uint16_t launcherOptions = 0;
  uint64_t fileBytes = 0;
};

// Writes the values into the one block of `stub`, each padded with zero
// units. False with a reason when the marker is missing or appears more
// than once, the block is cut short, or a value does not fit its field.
bool PatchBuildValues(Bytes &stub, const BuildValueStrings &values,
                      std::string *error);

// Reads the values from the one block in `image` (the first `size` bytes
// of a packed executable). False with a reason when there is no single,
// whole block.
bool ReadBuildValues(const uint8_t *image, size_t size,
                     BuildValueStrings *values, std::string *error);

// Where the one block starts in the `size` bytes at `image`; false with a
// reason as for ReadBuildValues.
bool FindBuildValues(const uint8_t *image, size_t size, size_t *at,
                     std::string *error);

// Where the payload digest, the marker's digest and its size lie in a
// block.
const size_t kPayloadDigestOffset = offsetof(BuildValues, payloadDigest);
const size_t kMarkerDigestOffset = offsetof(BuildValues, markerDigest);
const size_t kMarkerSizeOffset = offsetof(BuildValues, markerSize);
const size_t kFileBytesOffset = offsetof(BuildValues, fileBytes);

// Checks an unpack-directory template given on the command line ('/' or
// '\' between levels) for a per-run or a cache directory, and gives it as
// the launcher takes it. False with a one-line reason.
bool MakeUnpackTemplate(const std::string &text, UnpackTemplateUse use,
                        std::u16string *out, std::string *error);

} // namespace veskar
