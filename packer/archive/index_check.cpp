//===- packer/archive/index_check.cpp - Does the index agree with the stream?
//----===//
#include "packer/archive/index_check.h"

#include <zstd.h>

#include <stdint.h>
#include <stdlib.h>

#include <memory>

#include "common/container.h"
#include "packer/failure.h"
#include "packer/os/file_io.h"
#include "packer/string_codec.h"

namespace veskar {

const char kIndexDisagrees[] = "the index disagrees with the archive: ";

std::string DescribeRecord(const std::u16string &name, uint64_t size) {
  return "'" + NameToUtf8(name) + "' of " + std::to_string(size) + " bytes";
}

std::string DescribeFrameDisagreement(uint64_t number, uint64_t start,
                                      uint64_t compressed, uint64_t decoded,
                                      const PayloadIndexFrame &listed) {
  return kIndexDisagrees + std::string("frame ") + std::to_string(number) +
         " is " + std::to_string(compressed) + " bytes at offset " +
         std::to_string(start) + " decoding to " + std::to_string(decoded) +
         ", but the index says " + std::to_string(listed.compressedSize) +
         " bytes at " + std::to_string(listed.containerOffset) +
         " decoding to " + std::to_string(listed.decompressedSize);
}

std::u16string IndexRecordName(const PayloadIndexRecord &record) {
  std::u16string name;
  for (uint32_t i = 0; i < record.units; ++i)
    name += (char16_t)GetLittleEndian16(record.name + 2 * i);
  return name;
}

void LoadedIndex::FreeTable::operator()(unsigned char *table) const {
  free(table);
}

namespace {

unsigned char *GrowTable(void *owner, uint64_t size) {
  LoadedIndex *loaded = (LoadedIndex *)owner;
  void *grown =
      size <= SIZE_MAX ? realloc(loaded->table.get(), (size_t)size) : nullptr;
  if (grown == nullptr)
    return nullptr;
  (void)loaded->table.release(); // moved into `grown`
  loaded->table.reset((unsigned char *)grown);
  return (unsigned char *)grown;
}

} // namespace

bool LoadIndex(int fd, uint64_t offset, uint64_t size, LoadedIndex *loaded,
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
  loaded->bytes.resize((size_t)want);
  if (!ReadAllAt(fd, loaded->bytes.data(), loaded->bytes.size(),
                 offset + kContainerHeaderSize))
    return Fail(error, "couldn't read the payload");
  PayloadIndex &index = loaded->index;
  PayloadIndexProblem problem =
      ParsePayloadIndex(loaded->bytes.data(), loaded->bytes.size(), size,
                        &index);
  if (problem == kIndexAbsent)
    return true;
  if (problem == kIndexUnknownFormat) {
    loaded->unknown = true;
    return true;
  }
  if (problem == kIndexSound) {
    // The record table, unpacked and checked in steps, its room grown with
    // what checks out: a forged size costs no more than its first step.
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> dctx(ZSTD_createDCtx(),
                                                             ZSTD_freeDCtx);
    if (!dctx)
      return Fail(error, "couldn't allocate the decompressor");
    problem = ReadPayloadIndexRecords(&index, dctx.get(), GrowTable, loaded);
    if (problem == kIndexNoRoom)
      return Fail(error, "couldn't allocate room for the index's records");
  }
  if (problem != kIndexSound)
    return Fail(error, DescribePayloadIndexProblem(problem));
  loaded->present = true;
  return true;
}

bool IndexChecker::Load(int fd, uint64_t offset, uint64_t size,
                        std::string *error) {
  if (!LoadIndex(fd, offset, size, &loaded_, error))
    return false;
  if (loaded_.present) {
    StartPayloadIndexFrames(loaded_.index, &frames_);
    StartPayloadIndexRecords(loaded_.index, &records_);
  }
  return true;
}

bool IndexChecker::FrameEnded(uint64_t start, uint64_t end, uint64_t bytes,
                              std::string *error) {
  if (!loaded_.present)
    return true;
  if (!sawIndexFrame_) {
    // The index itself, the first frame: it was read where it lies.
    sawIndexFrame_ = true;
    return true;
  }
  ++frameNumber_;
  PayloadIndexFrame frame;
  if (!NextPayloadIndexFrame(&frames_, &frame))
    return Fail(error, std::string(kIndexDisagrees) +
                           "the container holds more frames than the index "
                           "lists (" +
                           std::to_string(loaded_.index.frameCount) + ")");
  if (frame.containerOffset != start || frame.compressedSize != end - start ||
      frame.decompressedSize != bytes)
    return Fail(error,
                DescribeFrameDisagreement(frameNumber_, start, end - start,
                                          bytes, frame));
  return true;
}

bool IndexChecker::Finish(std::string *error) {
  if (!loaded_.present)
    return true;
  if (records_.left != 0)
    return Fail(error, kIndexDisagrees + std::string("the index lists ") +
                           std::to_string(loaded_.index.recordCount) +
                           " records, the archive holds " +
                           std::to_string(recordNumber_));
  if (frames_.left != 0)
    return Fail(error, kIndexDisagrees + std::string("the index lists ") +
                           std::to_string(loaded_.index.frameCount) +
                           " frames, the container holds " +
                           std::to_string(frameNumber_));
  return true;
}

bool IndexChecker::Begin(const std::u16string &name, uint64_t size) {
  if (!loaded_.present)
    return visitor_.Begin(name, size);
  ++recordNumber_;
  PayloadIndexRecord record;
  if (!NextPayloadIndexRecord(&records_, &record)) {
    disagreement_ = kIndexDisagrees +
                    std::string("the archive holds more records than the "
                                "index lists (") +
                    std::to_string(loaded_.index.recordCount) + ")";
    return false;
  }
  std::u16string listed = IndexRecordName(record);
  if (listed != name || record.size != size) {
    disagreement_ = kIndexDisagrees + std::string("record ") +
                    std::to_string(recordNumber_) + " is " +
                    DescribeRecord(name, size) + ", but the index says " +
                    DescribeRecord(listed, record.size);
    return false;
  }
  return visitor_.Begin(name, size);
}

bool IndexChecker::Data(const void *bytes, size_t count) {
  return visitor_.Data(bytes, count);
}

bool IndexChecker::End() { return disagreement_.empty() && visitor_.End(); }

} // namespace veskar
