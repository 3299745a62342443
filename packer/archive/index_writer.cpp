//===- packer/archive/index_writer.cpp - The payload index, as build writes it
//---===//
#include "packer/archive/index_writer.h"

#include <errno.h>
#include <string.h>

#include <memory>

#include <zstd.h>

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

bool MakeIndexFrame(const std::vector<ArchiveInput> &files, uint64_t frameLimit,
                    std::vector<unsigned char> *frame, std::string *error) {
  uint64_t total = ArchiveStreamSize(files);
  uint64_t frames = FrameCount(total, frameLimit);
  uint64_t units = 0;
  for (const ArchiveInput &file : files)
    units += file.name.size();
  uint64_t tableSize = PayloadIndexTableSize(files.size(), units);
  if (tableSize > UINT32_MAX || files.size() > UINT32_MAX)
    return Fail(error, "the package's names are too many for its index");
  std::vector<unsigned char> table((size_t)tableSize);
  unsigned char *to = table.data();
  uint64_t offset = 0;
  for (const ArchiveInput &file : files) {
    to += PutPayloadIndexRecord(to, (const Utf16Unit *)file.name.data(),
                                file.name.size(), file.size, offset);
    offset += 2 * (file.name.size() + 1) + kContainerCountSize + file.size;
  }
  // The record table packed as one frame, its size in its header; the
  // frames' content checksums and the check against the stream cover it.
  std::vector<unsigned char> packed(ZSTD_compressBound(table.size()));
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> cctx(ZSTD_createCCtx(),
                                                           ZSTD_freeCCtx);
  size_t packedSize =
      !cctx ||
              ZSTD_isError(ZSTD_CCtx_setParameter(
                  cctx.get(), ZSTD_c_compressionLevel, kIndexTableLevel)) ||
              ZSTD_isError(
                  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 1))
          ? 0
          : ZSTD_compress2(cctx.get(), packed.data(), packed.size(),
                           table.data(), table.size());
  if (packedSize == 0 || ZSTD_isError(packedSize))
    return Fail(error, "couldn't compress the package's index");
  uint64_t content = PayloadIndexContentSize(frames, packedSize);
  if (content > UINT32_MAX)
    return Fail(error, "the package's names are too many for its index");
  frame->assign(kSkippableHeaderSize + content, 0);
  to = frame->data();
  PutPayloadIndexHeader(to, (uint32_t)content, (uint32_t)frames,
                        (uint32_t)files.size(), total, packedSize,
                        table.size());
  to += kSkippableHeaderSize + kPayloadIndexHeaderSize;
  for (uint64_t i = 0; i < frames; ++i, to += kPayloadIndexFrameSize) {
    uint64_t start = i * (frameLimit == 0 ? total : frameLimit);
    PutPayloadIndexFrame(
        to, 0, frames == 1 ? total : std::min(frameLimit, total - start));
  }
  memcpy(to, packed.data(), packedSize);
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
