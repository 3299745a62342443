//===- packer/build_values.h - COMPANY, PRODUCT and VERSION in a stub ---===//
//
// Each launcher stub holds a reserved block: a 16-byte marker, then three
// fields of 64 UTF-16LE units for the values of the template variables
// COMPANY, PRODUCT and VERSION. The packer writes the values it also puts
// into the version record, so the two always agree.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <string>

#include "packer/binary.h"

namespace veskar {

enum : size_t {
  kBuildValueUnits = 64, // per field, the terminating 0x0000 included
};

// Writes the three values into the one block of `stub`, each padded with
// zero units. False with a reason when the marker is missing or appears more
// than once, or a value does not fit in 63 units.
bool PatchBuildValues(Bytes &stub, const std::u16string &company,
                      const std::u16string &product,
                      const std::u16string &version, std::string *error);

} // namespace veskar
