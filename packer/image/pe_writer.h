//===- packer/image/pe_writer.h - Adding the resource section to a stub ---===//
//
// The launcher stub is linked without resources. The packer adds them as one
// new section, ".rsrc", placed last in the file and in memory, and fixes the
// headers that describe the image: the section count and table, the resource
// data directory, SizeOfImage, SizeOfInitializedData and the checksum.
//
// One resource, the payload, may be far larger than memory allows: it is
// written last, streamed to the file by the caller, and the sizes that
// depend on it are filled in afterwards. Every byte written is a function of
// the inputs alone, so the same inputs give the same file.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "packer/image/binary.h"
#include "packer/image/pe_image.h"

namespace veskar {

// One resource in the neutral language, with numeric type and name.
struct ResourceItem {
  uint16_t type;
  uint16_t id;
  Bytes data;
};

// A stub checked for taking one more section, with the start of that
// section laid out.
struct ImagePlan {
  const Bytes *stub = nullptr;
  PeHeaders headers;
  uint32_t sectionRva = 0;      // where .rsrc starts in memory
  Bytes resourceHead;           // .rsrc up to the streamed resource's data
  uint32_t streamedEntry = 0;   // offset in resourceHead of its data entry
  uint64_t maxStreamedSize = 0; // the most the streamed resource may hold
};

// Checks that `stub` is a PE32+ image the packer can extend (no resources,
// no certificate, no bytes after its last section, room for one more
// section header) and lays out the resource section holding `items` and,
// after them, the streamed resource (`streamedType`, `streamedId`). `stub`
// must outlive the plan.
bool PlanImage(const Bytes &stub, const std::vector<ResourceItem> &items,
               uint16_t streamedType, uint16_t streamedId, ImagePlan *plan,
               std::string *error);

// Writes the streamed resource's data at the descriptor's current position
// and gives its size; false with a reason on failure.
using StreamWriter =
    std::function<bool(int fd, uint64_t *size, std::string *error)>;

// Writes the whole image to `fd`, an empty file positioned at 0: the stub,
// the resource section with the streamed resource last, then the fixed
// headers and checksum. False with a one-line reason on failure (the
// file's content is then undefined).
bool WriteImage(const ImagePlan &plan, const StreamWriter &stream, int fd,
                std::string *error);

// The image checksum of the `size`-byte file behind `fd`, counting the four
// bytes at `checkSumOffset` as zero: the 16-bit one's-complement sum of the
// file's words, plus the file's length.
bool ComputeImageChecksum(int fd, uint64_t size, uint64_t checkSumOffset,
                          uint32_t *checkSum, std::string *error);

} // namespace veskar
