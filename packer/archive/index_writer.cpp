//===- packer/archive/index_writer.cpp - The payload index, as build writes it ---===//
#include "packer/archive/index_writer.h"

#include <errno.h>

#include "common/container.h"
#include "common/payload_index.h"
#include "packer/failure.h"
#include "packer/os/file_io.h"

namespace veskar {

uint64_t FrameCount(uint64_t total, uint64_t frameLimit) {
  if (frameLimit == 0 || total <= frameLimit)
    return 1;
  return (total + frameLimit - 1) / frameLimit;
}

bool MakeIndexFrame(const std::vector<ArchiveInput> &files,
                    uint64_t frameLimit, std::vector<unsigned char> *frame,
                    std::string *error) {
  uint64_t total = ArchiveStreamSize(files);
  uint64_t frames = FrameCount(total, frameLimit);
  uint64_t units = 0;
  for (const ArchiveInput &file : files)
    units += file.name.size();
  uint64_t content = PayloadIndexContentSize(frames, files.size(), units);
  if (content > UINT32_MAX || files.size() > UINT32_MAX)
    return Fail(error, "the package's names are too many for its index");
  frame->assign(kSkippableHeaderSize + content, 0);
  unsigned char *to = frame->data();
  PutPayloadIndexHeader(to, (uint32_t)content, (uint32_t)frames,
                        (uint32_t)files.size(), total);
  to += kSkippableHeaderSize + kPayloadIndexHeaderSize;
  for (uint64_t i = 0; i < frames; ++i, to += kPayloadIndexFrameSize) {
    uint64_t start = i * (frameLimit == 0 ? total : frameLimit);
    PutPayloadIndexFrame(to, 0, frames == 1 ? total
                                             : std::min(frameLimit,
                                                        total - start));
  }
  uint64_t offset = 0;
  for (const ArchiveInput &file : files) {
    to += PutPayloadIndexRecord(to, (const Utf16Unit *)file.name.data(),
                                file.name.size(), file.size, offset);
    offset += 2 * (file.name.size() + 1) + kContainerCountSize + file.size;
  }
  return true;
}

bool PatchIndexFrames(int fd, uint64_t offset,
                      const std::vector<FrameSizes> &frames,
                      std::string *error) {
  std::vector<unsigned char> table(frames.size() * kPayloadIndexFrameSize);
  for (size_t i = 0; i < frames.size(); ++i)
    PutPayloadIndexFrame(table.data() + i * kPayloadIndexFrameSize,
                         frames[i].compressed, frames[i].decompressed);
  if (!WriteAllAt(fd, table.data(), table.size(),
                  offset + kSkippableHeaderSize + kPayloadIndexHeaderSize))
    return Fail(error, OutputWriteError(errno));
  return true;
}

} // namespace veskar
