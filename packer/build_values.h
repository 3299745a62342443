//===- packer/build_values.h - COMPANY, PRODUCT and VERSION in a stub ---===//
//
// The block's layout, marker and defaults are common/build_values.h's. The
// packer writes the values it also puts into the version record, so the two
// always agree.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <string>

#include "common/build_values.h"
#include "packer/binary.h"

namespace veskar {

// Writes the three values into the one block of `stub`, each padded with
// zero units. False with a reason when the marker is missing or appears more
// than once, or a value does not fit in 63 units.
bool PatchBuildValues(Bytes &stub, const std::u16string &company,
                      const std::u16string &product,
                      const std::u16string &version, std::string *error);

} // namespace veskar
