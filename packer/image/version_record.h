//===- packer/image/version_record.h - Version record and manifest --------===//
//
// The two text resources of a packed image: the RT_VERSION record that
// Explorer shows under Details, and the RT_MANIFEST that the loader reads
// (supported systems, long paths, no elevation).
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>

#include "packer/image/binary.h"

namespace veskar {

struct VersionStrings {
  std::u16string company;
  std::u16string product;
  std::u16string version; // the four numbers as text, "1.1.0.0"
  std::u16string description;
  std::u16string copyright;
  std::u16string originalFilename;
  std::u16string internalName;
  uint16_t numbers[4]; // the same version as numbers
};

// Parses "A.B.C.D", four decimal numbers 0-65535 without leading zeros.
bool ParseVersion(const std::string &text, uint16_t numbers[4]);

// The VS_VERSIONINFO block: the fixed part (file and product version from
// `numbers`, flags mask 0x3F, no flags, VOS__WINDOWS32, VFT_APP), the
// string table "000004b0" with the eight keys, and the translation
// 0x0000 0x04b0.
Bytes BuildVersionRecord(const VersionStrings &strings);

// The manifest's assembly name for a product name: its letters, digits,
// '.', '-' and '_', with every other character made '_' ("App" when
// nothing is left). The loader rejects the whole manifest for a name it
// cannot parse, so the product's text is not used as it is.
std::string AssemblyName(const std::u16string &product);

// The UTF-8 manifest: identity win32 / 1.0.0.0 named `assemblyName`, the
// five supported-OS ids, longPathAware, asInvoker without uiAccess.
std::string BuildManifest(const std::string &assemblyName);

} // namespace veskar
