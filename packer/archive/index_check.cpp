//===- packer/archive/index_check.cpp - Does the index agree with the stream?
//----===//
#include "packer/archive/index_check.h"

#include <zstd.h>

#include <memory>
#include <new>

#include "common/container.h"
#include "packer/failure.h"
#include "packer/os/file_io.h"
#include "packer/string_codec.h"

namespace veskar {

namespace {

// What every disagreement says first.
const char kDisagrees[] = "the index disagrees with the archive: ";

std::string Described(const std::u16string &name, uint64_t size) {
  return "'" + NameToUtf8(name) + "' of " + std::to_string(size) + " bytes";
}

} // namespace

bool IndexChecker::Load(int fd, uint64_t offset, uint64_t size,
                        std::string *error) {
  unsigned char head[kSkippableHeaderSize + sizeof kPayloadIndexSignature];
  if (size < kContainerHeaderSize + sizeof head)
    return true; // too short for an index; the reading tells the rest
  if (!ReadAllAt(fd, head, sizeof head, offset + kContainerHeaderSize))
    return Fail(error, "couldn't read the payload");
  uint64_t frameBytes = PayloadIndexFrameBytes(head);
  if (frameBytes == 0)
    return true;
  // Never more than the container holds, whatever the frame claims.
  uint64_t room = size - kContainerHeaderSize;
  uint64_t want = frameBytes < room ? frameBytes : room;
  bytes_.resize((size_t)want);
  if (!ReadAllAt(fd, bytes_.data(), bytes_.size(),
                 offset + kContainerHeaderSize))
    return Fail(error, "couldn't read the payload");
  PayloadIndexProblem problem =
      ParsePayloadIndex(bytes_.data(), bytes_.size(), size, &index_);
  if (problem == kIndexAbsent)
    return true;
  if (problem == kIndexUnknownFormat) {
    unknown_ = true;
    return true;
  }
  if (problem == kIndexSound) {
    // The record table, unpacked into room of the size ParsePayloadIndex
    // bounded (at most what zstd can make of the packed bytes), then
    // checked on its own. The room is not cleared: a forged size whose
    // frame does not decode costs address space, not memory.
    table_.reset(new (std::nothrow) unsigned char[(size_t)index_.tableSize]);
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> dctx(ZSTD_createDCtx(),
                                                             ZSTD_freeDCtx);
    if (!table_ || !dctx)
      return Fail(error, "couldn't allocate room for the index's records");
    problem = UnpackPayloadIndexRecords(index_, dctx.get(), table_.get());
  }
  if (problem == kIndexSound)
    problem = CheckPayloadIndexRecords(&index_, table_.get());
  if (problem != kIndexSound)
    return Fail(error, DescribePayloadIndexProblem(problem));
  present_ = true;
  StartPayloadIndexFrames(index_, &frames_);
  StartPayloadIndexRecords(index_, &records_);
  return true;
}

bool IndexChecker::FrameEnded(uint64_t start, uint64_t end, uint64_t bytes,
                              std::string *error) {
  if (!present_)
    return true;
  if (!sawIndexFrame_) {
    // The index itself, the first frame: it was read where it lies.
    sawIndexFrame_ = true;
    return true;
  }
  ++frameNumber_;
  PayloadIndexFrame frame;
  if (!NextPayloadIndexFrame(&frames_, &frame))
    return Fail(error, std::string(kDisagrees) +
                           "the container holds more frames than the index "
                           "lists (" +
                           std::to_string(index_.frameCount) + ")");
  if (frame.containerOffset != start || frame.compressedSize != end - start ||
      frame.decompressedSize != bytes)
    return Fail(
        error,
        kDisagrees + std::string("frame ") + std::to_string(frameNumber_) +
            " is " + std::to_string(end - start) + " bytes at offset " +
            std::to_string(start) + " decoding to " + std::to_string(bytes) +
            ", but the index says " + std::to_string(frame.compressedSize) +
            " bytes at " + std::to_string(frame.containerOffset) +
            " decoding to " + std::to_string(frame.decompressedSize));
  return true;
}

bool IndexChecker::Finish(std::string *error) {
  if (!present_)
    return true;
  if (records_.left != 0)
    return Fail(error, kDisagrees + std::string("the index lists ") +
                           std::to_string(index_.recordCount) +
                           " records, the archive holds " +
                           std::to_string(recordNumber_));
  if (frames_.left != 0)
    return Fail(error, kDisagrees + std::string("the index lists ") +
                           std::to_string(index_.frameCount) +
                           " frames, the container holds " +
                           std::to_string(frameNumber_));
  return true;
}

bool IndexChecker::Begin(const std::u16string &name, uint64_t size) {
  if (!present_)
    return visitor_.Begin(name, size);
  ++recordNumber_;
  PayloadIndexRecord record;
  if (!NextPayloadIndexRecord(&records_, &record)) {
    disagreement_ = kDisagrees +
                    std::string("the archive holds more records than the "
                                "index lists (") +
                    std::to_string(index_.recordCount) + ")";
    return false;
  }
  std::u16string listed;
  for (uint32_t i = 0; i < record.units; ++i)
    listed += (char16_t)GetLittleEndian16(record.name + 2 * i);
  if (listed != name || record.size != size) {
    disagreement_ = kDisagrees + std::string("record ") +
                    std::to_string(recordNumber_) + " is " +
                    Described(name, size) + ", but the index says " +
                    Described(listed, record.size);
    return false;
  }
  return visitor_.Begin(name, size);
}

bool IndexChecker::Data(const void *bytes, size_t count) {
  return visitor_.Data(bytes, count);
}

bool IndexChecker::End() { return disagreement_.empty() && visitor_.End(); }

} // namespace veskar
