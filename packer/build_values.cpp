//===- packer/build_values.cpp - COMPANY, PRODUCT and VERSION in a stub -===//
#include "packer/build_values.h"

#include <stddef.h>

#include <algorithm>

namespace veskar {

bool PatchBuildValues(Bytes &stub, const std::u16string &company,
                      const std::u16string &product,
                      const std::u16string &version, std::string *error) {
  const std::u16string *values[3] = {&company, &product, &version};
  const char *names[3] = {"company", "product", "version"};
  for (int i = 0; i < 3; ++i) {
    if (values[i]->size() >= kBuildValueCapacity) {
      *error = std::string("the ") + names[i] + " is " +
               std::to_string(values[i]->size()) +
               " UTF-16 units long; at most " +
               std::to_string(kBuildValueCapacity - 1) + " fit";
      return false;
    }
  }
  const char *marker = kBuildValuesMarker;
  const char *markerEnd = marker + kBuildValuesMarkerSize;
  auto first = std::search(stub.begin(), stub.end(), marker, markerEnd);
  if (first == stub.end() ||
      std::search(first + 1, stub.end(), marker, markerEnd) != stub.end()) {
    *error = "the launcher stub has no single block for its build values";
    return false;
  }
  size_t block = (size_t)(first - stub.begin());
  if (stub.size() - block < sizeof(BuildValues)) {
    *error = "the launcher stub's build values block is cut short";
    return false;
  }
  const size_t fields[3] = {offsetof(BuildValues, company),
                            offsetof(BuildValues, product),
                            offsetof(BuildValues, version)};
  for (int i = 0; i < 3; ++i) {
    const std::u16string &value = *values[i];
    for (size_t unit = 0; unit < kBuildValueCapacity; ++unit)
      Set16(stub.data() + block + fields[i] + 2 * unit,
            unit < value.size() ? value[unit] : 0);
  }
  return true;
}

} // namespace veskar
