//===- common/payload_index.cpp - The payload index, for every side -----===//
#include "common/payload_index.h"

#include <string.h>

#include "common/cache_marker.h"
#include "common/container.h"

const unsigned char kPayloadIndexSignature[8] = {'V', 'S', 'K', 'I',
                                                 'N', 'D', 'E', 'X'};

namespace {

// A record's bytes in the archive stream in front of its data: the name's
// units, its terminator and the 64-bit size.
uint64_t RecordHeadBytes(uint32_t units) {
  return 2 * (uint64_t)units + 2 + kContainerCountSize;
}

} // namespace

uint64_t PayloadIndexFrameBytes(const unsigned char *at) {
  if (GetLittleEndian32(at) != kPayloadIndexMagic)
    return 0;
  return kSkippableHeaderSize + (uint64_t)GetLittleEndian32(at + 4);
}

PayloadIndexProblem ParsePayloadIndex(const unsigned char *at,
                                      uint64_t available,
                                      uint64_t containerSize,
                                      PayloadIndex *index) {
  // Ours only with the magic and the signature: another writer's skippable
  // frame is stepped over as the decoder does.
  if (available < kSkippableHeaderSize + sizeof kPayloadIndexSignature)
    return kIndexAbsent;
  uint64_t frameBytes = PayloadIndexFrameBytes(at);
  if (frameBytes < kSkippableHeaderSize + sizeof kPayloadIndexSignature ||
      memcmp(at + kSkippableHeaderSize, kPayloadIndexSignature,
             sizeof kPayloadIndexSignature) != 0)
    return kIndexAbsent;
  if (frameBytes > available || containerSize < kContainerHeaderSize ||
      frameBytes > containerSize - kContainerHeaderSize ||
      containerSize - kContainerHeaderSize - frameBytes < kContainerTailSize)
    return kIndexTruncated;
  const unsigned char *content = at + kSkippableHeaderSize;
  uint64_t contentSize = frameBytes - kSkippableHeaderSize;
  if (contentSize >= kPayloadIndexFormatOffset + 4 &&
      GetLittleEndian32(content + kPayloadIndexFormatOffset) !=
          kPayloadIndexFormat)
    return kIndexUnknownFormat;
  if (contentSize < kPayloadIndexHeaderSize)
    return kIndexShort;

  uint32_t frameCount = GetLittleEndian32(content + kPayloadIndexFramesOffset);
  uint32_t recordCount =
      GetLittleEndian32(content + kPayloadIndexRecordsOffset);
  uint64_t streamSize = GetLittleEndian64(content + kPayloadIndexStreamOffset);
  uint64_t left = contentSize - kPayloadIndexHeaderSize;
  if (frameCount == 0)
    return kIndexNoFrames;
  if (frameCount > left / kPayloadIndexFrameSize)
    return kIndexTooManyFrames;

  // The data frames fill the container from the index's end to the two
  // zero bytes in front of the tail.
  const uint64_t framesRoom = containerSize - kContainerHeaderSize -
                              frameBytes - kContainerTailSize;
  const unsigned char *frames = content + kPayloadIndexHeaderSize;
  uint64_t compressed = 0, decompressed = 0;
  for (uint32_t i = 0; i < frameCount; ++i) {
    const unsigned char *entry = frames + (uint64_t)i * kPayloadIndexFrameSize;
    uint64_t frameCompressed = GetLittleEndian64(entry);
    uint64_t frameDecompressed = GetLittleEndian64(entry + 8);
    if (frameCompressed == 0 || frameDecompressed == 0)
      return kIndexEmptyFrame;
    if (frameCompressed > framesRoom - compressed)
      return kIndexFramesNotContainer;
    if (frameDecompressed > streamSize - decompressed)
      return kIndexFramesNotStream;
    compressed += frameCompressed;
    decompressed += frameDecompressed;
  }
  if (compressed != framesRoom)
    return kIndexFramesNotContainer;
  if (decompressed != streamSize)
    return kIndexFramesNotStream;
  left -= (uint64_t)frameCount * kPayloadIndexFrameSize;

  const unsigned char *records = frames +
                                 (uint64_t)frameCount * kPayloadIndexFrameSize;
  if (recordCount > left / (kPayloadIndexRecordFixedSize + 2))
    return kIndexTooManyRecords;
  const unsigned char *record = records;
  uint64_t expected = 0; // where the next record must start
  for (uint32_t i = 0; i < recordCount; ++i) {
    if (left < 2)
      return kIndexTooManyRecords;
    uint32_t units = GetLittleEndian16(record);
    if (units == 0 || units > kMaxNameUnits)
      return kIndexBadName;
    uint64_t bytes = kPayloadIndexRecordFixedSize + 2 * (uint64_t)units;
    if (bytes > left)
      return kIndexTooManyRecords;
    for (uint32_t u = 0; u < units; ++u)
      if (GetLittleEndian16(record + 2 + 2 * u) == 0)
        return kIndexBadName;
    const unsigned char *numbers = record + 2 + 2 * (uint64_t)units;
    uint64_t size = GetLittleEndian64(numbers);
    uint64_t offset = GetLittleEndian64(numbers + 8);
    if (offset != expected)
      return kIndexBadOffset;
    uint64_t head = RecordHeadBytes(units);
    if (head > streamSize - expected || size > streamSize - expected - head)
      return kIndexRecordsNotStream;
    expected += head + size;
    record += bytes;
    left -= bytes;
  }
  if (left != 0)
    return kIndexTrailingBytes;
  // The end marker, and nothing after it.
  if (streamSize - expected != 2)
    return kIndexRecordsNotStream;

  index->frameCount = frameCount;
  index->recordCount = recordCount;
  index->streamSize = streamSize;
  index->indexFrameSize = frameBytes;
  index->frames = frames;
  index->records = records;
  return kIndexSound;
}

void StartPayloadIndexFrames(const PayloadIndex &index,
                             PayloadIndexCursor *cursor) {
  cursor->at = index.frames;
  cursor->left = index.frameCount;
  cursor->containerOffset = kContainerHeaderSize + index.indexFrameSize;
  cursor->streamOffset = 0;
}

bool NextPayloadIndexFrame(PayloadIndexCursor *cursor,
                           PayloadIndexFrame *frame) {
  if (cursor->left == 0)
    return false;
  frame->compressedSize = GetLittleEndian64(cursor->at);
  frame->decompressedSize = GetLittleEndian64(cursor->at + 8);
  frame->containerOffset = cursor->containerOffset;
  frame->streamOffset = cursor->streamOffset;
  cursor->containerOffset += frame->compressedSize;
  cursor->streamOffset += frame->decompressedSize;
  cursor->at += kPayloadIndexFrameSize;
  --cursor->left;
  return true;
}

void StartPayloadIndexRecords(const PayloadIndex &index,
                              PayloadIndexCursor *cursor) {
  cursor->at = index.records;
  cursor->left = index.recordCount;
  cursor->containerOffset = 0;
  cursor->streamOffset = 0;
}

bool NextPayloadIndexRecord(PayloadIndexCursor *cursor,
                            PayloadIndexRecord *record) {
  if (cursor->left == 0)
    return false;
  uint32_t units = GetLittleEndian16(cursor->at);
  const unsigned char *numbers = cursor->at + 2 + 2 * units;
  record->name = cursor->at + 2;
  record->units = units;
  record->size = GetLittleEndian64(numbers);
  record->offset = GetLittleEndian64(numbers + 8);
  record->dataOffset = record->offset + RecordHeadBytes(units);
  cursor->at = numbers + 16;
  --cursor->left;
  return true;
}

const char *DescribePayloadIndexProblem(PayloadIndexProblem problem) {
  switch (problem) {
  case kIndexSound:
    return "the index is sound";
  case kIndexAbsent:
    return "the payload has no index";
  case kIndexUnknownFormat:
    return "the index has a format this version does not know";
  case kIndexTruncated:
    return "the index runs past the end of the container";
  case kIndexShort:
    return "the index is shorter than its header";
  case kIndexNoFrames:
    return "the index lists no frames";
  case kIndexTooManyFrames:
    return "the index lists more frames than it holds";
  case kIndexEmptyFrame:
    return "the index lists an empty frame";
  case kIndexFramesNotContainer:
    return "the index's frame sizes do not add up to the compressed data";
  case kIndexFramesNotStream:
    return "the index's frames do not decode to its archive size";
  case kIndexTooManyRecords:
    return "the index's records run past its end";
  case kIndexBadName:
    return "the index holds a name that is empty, too long or holds a zero "
           "unit";
  case kIndexBadOffset:
    return "a record's offset in the index is not where the record before "
           "it ends";
  case kIndexRecordsNotStream:
    return "the index's records and end marker do not fill its archive size";
  case kIndexTrailingBytes:
    return "the index holds bytes after its last record";
  }
  return "the index is damaged";
}

uint64_t PayloadIndexContentSize(uint64_t frames, uint64_t records,
                                 uint64_t nameUnits) {
  return kPayloadIndexHeaderSize + frames * kPayloadIndexFrameSize +
         records * kPayloadIndexRecordFixedSize + 2 * nameUnits;
}

void PutPayloadIndexHeader(unsigned char *to, uint32_t contentSize,
                           uint32_t frames, uint32_t records,
                           uint64_t streamSize) {
  PutLittleEndian32(to, kPayloadIndexMagic);
  PutLittleEndian32(to + 4, contentSize);
  unsigned char *content = to + kSkippableHeaderSize;
  memcpy(content, kPayloadIndexSignature, sizeof kPayloadIndexSignature);
  PutLittleEndian32(content + kPayloadIndexFormatOffset, kPayloadIndexFormat);
  PutLittleEndian32(content + kPayloadIndexFramesOffset, frames);
  PutLittleEndian32(content + kPayloadIndexRecordsOffset, records);
  PutLittleEndian64(content + kPayloadIndexStreamOffset, streamSize);
}

void PutPayloadIndexFrame(unsigned char *to, uint64_t compressedSize,
                          uint64_t decompressedSize) {
  PutLittleEndian64(to, compressedSize);
  PutLittleEndian64(to + 8, decompressedSize);
}

size_t PutPayloadIndexRecord(unsigned char *to, const Utf16Unit *name,
                             size_t units, uint64_t size, uint64_t offset) {
  // A cache marker's record (count, units, size), then the offset.
  size_t bytes = PutCacheMarkerRecord(to, name, units, size);
  PutLittleEndian64(to + bytes, offset);
  return bytes + 8;
}
