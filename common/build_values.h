//===- common/build_values.h - The block the packer rewrites in a stub --===//
//
// Each launcher carries one block of build values: a 16-byte marker, then
// three fields of 64 UTF-16 units for the template variables COMPANY,
// PRODUCT and VERSION, then one of 512 units for the unpack-directory
// template, each ended by a zero unit and padded with zeros; then the unpack
// mode (a 16-bit little-endian UnpackMode) and, for the cache modes, the
// SHA-256 digest of the payload container, then the SHA-256 of the cache
// directory's marker as a cold start writes it (common/cache_marker.h) and
// the marker's size (64-bit little-endian), then the four bytes "OPTS" that
// tell a block with the fields below from an older launcher's shorter one,
// the launcher options (a 16-bit little-endian set of LauncherOption bits)
// and the bytes of all the payload's files together (64-bit little-endian;
// 0 when not known). The
// launcher is built with the defaults below; the packer finds the block by
// its marker and writes the values it also puts into the version record, so
// the two always agree. The marker must appear in a stub exactly once.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "common/template.h"
#include "common/text.h"

enum : size_t {
  kBuildValuesMarkerSize = 16,
  // Per field, the terminating zero unit included.
  kBuildValueCapacity = 64,
  kUnpackTemplateCapacity = 512,
  kPayloadDigestSize = 32,
};

// How the launcher uses the directory the template names.
enum UnpackMode : uint16_t {
  // A fresh directory per run, removed when the run ends.
  kUnpackPerRun = 0,
  // One directory per payload, kept across runs; a start checks that every
  // file is there with its size...
  kUnpackCacheSize = 1,
  // ...or also compares every file's bytes with the payload.
  kUnpackCacheContent = 2,
};

// What a package shows its user beyond the one error line; none by
// default.
enum LauncherOption : uint16_t {
  // A window with the unpacking's progress, on a start that unpacks for
  // longer than a moment.
  kOptionProgressWindow = 1,
  // A message box with a fatal error's line, when no standard output or
  // error takes it.
  kOptionErrorBox = 2,
};

struct BuildValues {
  char marker[kBuildValuesMarkerSize];
  Utf16Unit company[kBuildValueCapacity];
  Utf16Unit product[kBuildValueCapacity];
  Utf16Unit version[kBuildValueCapacity];
  Utf16Unit unpackTemplate[kUnpackTemplateCapacity];
  uint16_t unpackMode;
  unsigned char payloadDigest[kPayloadDigestSize];
  unsigned char markerDigest[kPayloadDigestSize];
  unsigned char markerSize[8];
  char optionsTag[4];
  uint16_t launcherOptions;
  unsigned char fileBytes[8];
};

// The marker, without a terminator in the block.
constexpr char kBuildValuesMarker[kBuildValuesMarkerSize + 1] =
    "VESKAR-BUILD-VAL";

// In front of the launcher options. A packer that reads an older package,
// whose block ends before them, finds other bytes there and takes the
// options as none.
constexpr char kLauncherOptionsTag[4 + 1] = "OPTS";

constexpr char kDefaultCompany[] = "PELTA";
constexpr char kDefaultProduct[] = "Quorvane";
constexpr char kDefaultVersion[] = "1.1.0.0";

// The block as a launcher is built with it. The defaults are ASCII.
constexpr BuildValues DefaultBuildValues() {
  BuildValues values{};
  for (size_t i = 0; i < kBuildValuesMarkerSize; ++i)
    values.marker[i] = kBuildValuesMarker[i];
  for (size_t i = 0; i < 4; ++i)
    values.optionsTag[i] = kLauncherOptionsTag[i];
  for (size_t i = 0; kDefaultCompany[i] != 0; ++i)
    values.company[i] = (Utf16Unit)kDefaultCompany[i];
  for (size_t i = 0; kDefaultProduct[i] != 0; ++i)
    values.product[i] = (Utf16Unit)kDefaultProduct[i];
  for (size_t i = 0; kDefaultVersion[i] != 0; ++i)
    values.version[i] = (Utf16Unit)kDefaultVersion[i];
  const char *unpackTemplate = VESKAR_UNPACK_TEMPLATE_TEXT;
  for (size_t i = 0; unpackTemplate[i] != 0; ++i)
    values.unpackTemplate[i] = (Utf16Unit)unpackTemplate[i];
  return values;
}

static_assert(sizeof(BuildValues) == kBuildValuesMarkerSize +
                                         3 * 2 * kBuildValueCapacity +
                                         2 * kUnpackTemplateCapacity + 2 +
                                         2 * kPayloadDigestSize + 8 + 4 + 2 + 8,
              "the block has no padding");
