//===- packer/archive/index_writer.h - The payload index, as build writes it
//-===//
//
// The index (common/payload_index.h) is the container's first frame. Its
// size is known before compressing: the records' names and sizes and the
// number of frames are, so the record table is packed first. Only the
// frames' compressed sizes are not known; they are filled in at the
// index's place once the frames are written.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "packer/archive/archive.h"
#include "packer/archive/frame_pool.h"

namespace veskar {

// The level the record table is packed at, whatever the package's: the
// table is small, and names pack far better at a high level.
const int kIndexTableLevel = 19;

// The number of frames an archive stream of `total` bytes is cut into by
// `frameLimit` (0: one frame).
uint64_t FrameCount(uint64_t total, uint64_t frameLimit);

// The whole index frame for `files`, the archive stream cut by
// `frameLimit`, with every compressed size still 0. False with a one-line
// reason when the index would not fit its frame.
bool MakeIndexFrame(const std::vector<ArchiveInput> &files, uint64_t frameLimit,
                    std::vector<unsigned char> *frame, std::string *error);

// Writes the frames' sizes into the index frame that starts at `offset` of
// `fd`. False with a one-line reason.
bool PatchIndexFrames(int fd, uint64_t offset,
                      const std::vector<FrameSizes> &frames,
                      std::string *error);

} // namespace veskar
