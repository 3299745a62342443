//===- packer/build_values.cpp - COMPANY, PRODUCT and VERSION in a stub -===//
#include "packer/build_values.h"

#include <string.h>

#include <algorithm>

namespace veskar {

namespace {

const char kMarker[16] = {'V', 'E', 'S', 'K', 'A', 'R', '-', 'B',
                          'U', 'I', 'L', 'D', '-', 'V', 'A', 'L'};

} // namespace

bool PatchBuildValues(Bytes &stub, const std::u16string &company,
                      const std::u16string &product,
                      const std::u16string &version, std::string *error) {
  const std::u16string *values[3] = {&company, &product, &version};
  const char *names[3] = {"company", "product", "version"};
  for (int i = 0; i < 3; ++i) {
    if (values[i]->size() >= kBuildValueUnits) {
      *error = std::string("the ") + names[i] + " is " +
               std::to_string(values[i]->size()) +
               " UTF-16 units long; at most " +
               std::to_string(kBuildValueUnits - 1) + " fit";
      return false;
    }
  }
  auto first = std::search(stub.begin(), stub.end(), kMarker, kMarker + 16);
  if (first == stub.end() ||
      std::search(first + 1, stub.end(), kMarker, kMarker + 16) != stub.end()) {
    *error = "the launcher stub has no single block for its build values";
    return false;
  }
  size_t at = (size_t)(first - stub.begin()) + 16;
  if (stub.size() - at < 3 * 2 * kBuildValueUnits) {
    *error = "the launcher stub's build values block is cut short";
    return false;
  }
  for (const std::u16string *value : values) {
    for (size_t unit = 0; unit < kBuildValueUnits; ++unit)
      Set16(stub.data() + at + 2 * unit,
            unit < value->size() ? (*value)[unit] : 0);
    at += 2 * kBuildValueUnits;
  }
  return true;
}

} // namespace veskar
