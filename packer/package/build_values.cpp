//===- packer/package/build_values.cpp - The build values in a stub -------===//
#include "packer/package/build_values.h"

#include <stddef.h>

#include <algorithm>

#include "common/container.h"
#include "packer/failure.h"
#include "packer/string_codec.h"

namespace veskar {

namespace {

struct Field {
  const char *name;
  size_t offset, capacity;
};

const Field kFields[4] = {
    {"company", offsetof(BuildValues, company), kBuildValueCapacity},
    {"product", offsetof(BuildValues, product), kBuildValueCapacity},
    {"version", offsetof(BuildValues, version), kBuildValueCapacity},
    {"unpack-directory template", offsetof(BuildValues, unpackTemplate),
     kUnpackTemplateCapacity},
};

template <typename Strings> auto *FieldOf(Strings &values, int i) {
  decltype(&values.company) fields[4] = {&values.company, &values.product,
                                         &values.version,
                                         &values.unpackTemplate};
  return fields[i];
}

} // namespace

bool FindBuildValues(const uint8_t *image, size_t size, size_t *at,
                     std::string *error) {
  const uint8_t *begin = image, *end = image + size;
  const char *marker = kBuildValuesMarker;
  const char *markerEnd = marker + kBuildValuesMarkerSize;
  const uint8_t *first = std::search(begin, end, marker, markerEnd);
  if (first == end || std::search(first + 1, end, marker, markerEnd) != end)
    return Fail(error,
                "the launcher stub has no single block for its build values");
  if ((size_t)(end - first) < sizeof(BuildValues))
    return Fail(error, "the launcher stub's build values block is cut short");
  *at = (size_t)(first - begin);
  return true;
}

bool PatchBuildValues(Bytes &stub, const BuildValueStrings &values,
                      std::string *error) {
  for (int i = 0; i < 4; ++i) {
    const std::u16string &value = *FieldOf(values, i);
    if (value.size() >= kFields[i].capacity)
      return Fail(error, std::string("the ") + kFields[i].name + " is " +
                             std::to_string(value.size()) +
                             " UTF-16 units long; at most " +
                             std::to_string(kFields[i].capacity - 1) + " fit");
  }
  size_t block;
  if (!FindBuildValues(stub.data(), stub.size(), &block, error))
    return false;
  for (int i = 0; i < 4; ++i) {
    const std::u16string &value = *FieldOf(values, i);
    for (size_t unit = 0; unit < kFields[i].capacity; ++unit)
      PutLittleEndian16(stub.data() + block + kFields[i].offset + 2 * unit,
                        unit < value.size() ? value[unit] : 0);
  }
  PutLittleEndian16(stub.data() + block + offsetof(BuildValues, unpackMode),
                    values.unpackMode);
  std::copy(values.payloadDigest.begin(), values.payloadDigest.end(),
            stub.data() + block + kPayloadDigestOffset);
  std::copy(values.markerDigest.begin(), values.markerDigest.end(),
            stub.data() + block + kMarkerDigestOffset);
  PutLittleEndian64(stub.data() + block + kMarkerSizeOffset, values.markerSize);
  std::copy(kLauncherOptionsTag, kLauncherOptionsTag + 4,
            stub.data() + block + offsetof(BuildValues, optionsTag));
  PutLittleEndian16(stub.data() + block +
                        offsetof(BuildValues, launcherOptions),
                    values.launcherOptions);
  PutLittleEndian64(stub.data() + block + kFileBytesOffset, values.fileBytes);
  return true;
}

bool ReadBuildValues(const uint8_t *image, size_t size,
                     BuildValueStrings *values, std::string *error) {
  size_t block;
  if (!FindBuildValues(image, size, &block, error))
    return false;
  for (int i = 0; i < 4; ++i) {
    std::u16string &value = *FieldOf(*values, i);
    value.clear();
    for (size_t unit = 0; unit < kFields[i].capacity; ++unit) {
      uint16_t u =
          GetLittleEndian16(image + block + kFields[i].offset + 2 * unit);
      if (u == 0)
        break;
      value.push_back((char16_t)u);
    }
  }
  values->unpackMode = (UnpackMode)GetLittleEndian16(
      image + block + offsetof(BuildValues, unpackMode));
  std::copy(image + block + kPayloadDigestOffset,
            image + block + kPayloadDigestOffset + kPayloadDigestSize,
            values->payloadDigest.begin());
  std::copy(image + block + kMarkerDigestOffset,
            image + block + kMarkerDigestOffset + kPayloadDigestSize,
            values->markerDigest.begin());
  values->markerSize = GetLittleEndian64(image + block + kMarkerSizeOffset);
  // An older launcher's block ends before the tag: its package has no
  // options, whatever bytes follow its block.
  bool tagged = std::equal(kLauncherOptionsTag, kLauncherOptionsTag + 4,
                           image + block + offsetof(BuildValues, optionsTag));
  values->launcherOptions =
      tagged ? GetLittleEndian16(image + block +
                                 offsetof(BuildValues, launcherOptions))
             : 0;
  values->fileBytes =
      tagged ? GetLittleEndian64(image + block + kFileBytesOffset) : 0;
  return true;
}

bool MakeUnpackTemplate(const std::string &text, UnpackTemplateUse use,
                        std::u16string *out, std::string *error) {
  std::string what = use == kTemplateCache ? "the cache-directory template"
                                           : "the unpack-directory template";
  std::u16string units;
  if (!Utf8ToUtf16(text, &units))
    return Fail(error, what + " is not valid UTF-8");
  std::replace(units.begin(), units.end(), u'/', (char16_t)kNameSeparator);
  std::string why;
  switch (CheckUnpackTemplate(Units(units), units.size(),
                              kUnpackTemplateCapacity - 1, use)) {
  case kUnpackTemplateAllowed:
    *out = std::move(units);
    return true;
  case kUnpackTemplateEmpty:
    why = "is empty";
    break;
  case kUnpackTemplateTooLong:
    why = "is " + std::to_string(units.size()) +
          " UTF-16 units long; at most " +
          std::to_string(kUnpackTemplateCapacity - 1) + " fit";
    break;
  case kUnpackTemplateUnbalanced:
    why = "has a '{' without its '}', or a '}' alone";
    break;
  case kUnpackTemplateUnknown:
    why = "names a variable the launcher does not know (it knows TEMP, PID, "
          "TIME, HOME, CACHE_DIR, PROGRAM, PROGRAM_BASE, COMPANY, PRODUCT and "
          "VERSION)";
    break;
  case kUnpackTemplateNotPerRun:
    why = "must hold {PID} and {TIME}, so that every run gets a fresh "
          "directory";
    break;
  case kUnpackTemplateNotShared:
    why = "must hold neither {PID} nor {TIME}, so that every run finds the "
          "same directory";
    break;
  }
  return Fail(error, what + " '" + text + "' " + why);
}

} // namespace veskar
