//===- packer/archive/index_reader.cpp - Reading a container by its index -===//
#include "packer/archive/index_reader.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <zstd.h>

#include "common/container.h"
#include "packer/archive/index_check.h"
#include "packer/failure.h"
#include "packer/os/file_io.h"

namespace veskar {

namespace {

const size_t kReadChunk = 1 << 20;
// A record's head in the stream: its name, the name's zero unit, its size.
const uint64_t kLongestHead = 2 * (kMaxNameUnits + 1) + kContainerCountSize;

// The index's frames and records, walked once into arrays.
struct IndexTables {
  std::vector<PayloadIndexFrame> frames;
  std::vector<PayloadIndexRecord> records;
  uint64_t streamSize = 0;
};

void MakeTables(const PayloadIndex &index, IndexTables *tables) {
  PayloadIndexCursor cursor;
  StartPayloadIndexFrames(index, &cursor);
  PayloadIndexFrame frame;
  while (NextPayloadIndexFrame(&cursor, &frame))
    tables->frames.push_back(frame);
  StartPayloadIndexRecords(index, &cursor);
  PayloadIndexRecord record;
  while (NextPayloadIndexRecord(&cursor, &record))
    tables->records.push_back(record);
  tables->streamSize = index.streamSize;
}

// The container's ends and its index; false with `result` set when there
// is nothing to read by.
bool Open(int fd, uint64_t offset, uint64_t size, LoadedIndex *loaded,
          IndexTables *tables, std::string *error, IndexedRead *result) {
  if (!CheckContainerEnds(fd, offset, size, error)) {
    *result = IndexedRead::kFailed;
    return false;
  }
  // A damaged index is left to ReadContainer, which says what is wrong.
  std::string ignored;
  if (!LoadIndex(fd, offset, size, loaded, &ignored) || !loaded->present) {
    *result = IndexedRead::kNoIndex;
    return false;
  }
  MakeTables(loaded->index, tables);
  return true;
}

// Decodes the frames of a container alone, each from where the index says
// it starts, and hands on the bytes of the archive stream asked for, in
// stream order. A frame begun is always decoded to its end (Finish), so
// that its size and checksum are checked.
class FrameDecoder {
public:
  // Bytes of the stream at `position`; false stops the reading.
  using Sink =
      std::function<bool(uint64_t position, const unsigned char *, size_t)>;

  FrameDecoder(int fd, uint64_t offset, const IndexTables &tables)
      : fd_(fd), offset_(offset), tables_(tables),
        dctx_(ZSTD_createDCtx(), ZSTD_freeDCtx), input_(kReadChunk),
        output_(ZSTD_DStreamOutSize()) {}

  // The stream's bytes [from, to), `from` not before the last call's `to`.
  // False with a reason; "stopped" when the sink stopped.
  bool Read(uint64_t from, uint64_t to, const Sink &sink, std::string *error) {
    if (!dctx_)
      return Fail(error, "couldn't allocate the decompressor");
    while (from < to) {
      if (active_) {
        uint64_t outEnd = outStart_ + outCount_;
        if (from >= outStart_ && from < outEnd) {
          size_t skip = (size_t)(from - outStart_);
          size_t take = (size_t)(std::min(to, outEnd) - from);
          if (!sink(from, output_.data() + skip, take))
            return Fail(error, "stopped");
          from += take;
          continue;
        }
        const PayloadIndexFrame &frame = tables_.frames[frame_];
        if (!done_ && from < frame.streamOffset + frame.decompressedSize) {
          if (!DecodeSome(error))
            return false;
          continue;
        }
        if (!Finish(error))
          return false;
      }
      // The frame that holds `from`: frames only ever move forward.
      size_t next = active_ ? frame_ + 1 : 0;
      while (next < tables_.frames.size() &&
             tables_.frames[next].streamOffset +
                     tables_.frames[next].decompressedSize <=
                 from)
        ++next;
      if (next == tables_.frames.size())
        return Fail(error, "the archive stream ends before the index's end");
      Start(next);
    }
    return true;
  }

  // Decodes the rest of the frame begun, if any.
  bool Finish(std::string *error) {
    while (active_ && !done_)
      if (!DecodeSome(error))
        return false;
    return true;
  }

private:
  void Start(size_t frame) {
    frame_ = frame;
    active_ = true;
    done_ = false;
    fed_ = 0;
    decoded_ = 0;
    in_ = {input_.data(), 0, 0};
    outStart_ = tables_.frames[frame].streamOffset;
    outCount_ = 0;
    ZSTD_DCtx_reset(dctx_.get(), ZSTD_reset_session_only);
  }

  bool DecodeSome(std::string *error) {
    const PayloadIndexFrame &frame = tables_.frames[frame_];
    uint64_t number = frame_ + 1;
    if (in_.pos == in_.size && fed_ < frame.compressedSize) {
      uint64_t left = frame.compressedSize - fed_;
      size_t want = left < input_.size() ? (size_t)left : input_.size();
      if (!ReadAllAt(fd_, input_.data(), want,
                     offset_ + frame.containerOffset + fed_))
        return Fail(error, "couldn't read the payload");
      fed_ += want;
      in_ = {input_.data(), want, 0};
    }
    ZSTD_outBuffer out = {output_.data(), output_.size(), 0};
    size_t result = ZSTD_decompressStream(dctx_.get(), &out, &in_);
    if (ZSTD_isError(result))
      return Fail(error, std::string("the compressed data is damaged (") +
                             ZSTD_getErrorName(result) + ")");
    outStart_ += outCount_;
    outCount_ = out.pos;
    decoded_ += out.pos;
    if (decoded_ > frame.decompressedSize)
      return Fail(error, kIndexDisagrees + std::string("frame ") +
                             std::to_string(number) +
                             " decodes to more than the " +
                             std::to_string(frame.decompressedSize) +
                             " bytes the index says");
    if (result == 0) {
      // The frame has ended: where the index says, to the size it says.
      uint64_t used = fed_ - (in_.size - in_.pos);
      if (used != frame.compressedSize || decoded_ != frame.decompressedSize)
        return Fail(error,
                    DescribeFrameDisagreement(number, frame.containerOffset,
                                              used, decoded_, frame));
      done_ = true;
    } else if (in_.pos == in_.size && fed_ == frame.compressedSize &&
               out.pos < out.size) {
      return Fail(error, kIndexDisagrees + std::string("frame ") +
                             std::to_string(number) +
                             " does not end within the " +
                             std::to_string(frame.compressedSize) +
                             " bytes the index gives it");
    }
    return true;
  }

  int fd_;
  uint64_t offset_;
  const IndexTables &tables_;
  std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> dctx_;
  std::vector<unsigned char> input_;
  std::vector<unsigned char> output_;
  bool active_ = false; // a frame has been begun
  bool done_ = false;   // and has ended
  size_t frame_ = 0;
  uint64_t fed_ = 0;     // its compressed bytes read so far
  uint64_t decoded_ = 0; // its bytes decoded so far
  ZSTD_inBuffer in_ = {nullptr, 0, 0};
  uint64_t outStart_ = 0; // the stream position of output_'s first byte
  size_t outCount_ = 0;   // the bytes in output_
};

// What the stream holds at a record's place, when the index says another
// head: the disagreement, with the record as the stream has it when its
// head can be read in `head`.
std::string HeadDisagreement(uint64_t number, const PayloadIndexRecord &listed,
                             const std::vector<unsigned char> &head) {
  std::string says = ", but the index says " +
                     DescribeRecord(IndexRecordName(listed), listed.size);
  std::u16string name;
  for (size_t at = 0; at + 1 < head.size(); at += 2) {
    char16_t unit = (char16_t)GetLittleEndian16(&head[at]);
    if (unit != 0) {
      name += unit;
      continue;
    }
    if (!name.empty() && at + 2 + kContainerCountSize <= head.size())
      return kIndexDisagrees + std::string("record ") + std::to_string(number) +
             " is " + DescribeRecord(name, GetLittleEndian64(&head[at + 2])) +
             says;
    break;
  }
  return kIndexDisagrees + std::string("record ") + std::to_string(number) +
         " is not what the index lists" + says;
}

// Hands every record of the index to the visitor, decoding with `decoder`
// the data of those it wants.
bool WalkRecords(const IndexTables &tables, FrameDecoder &decoder,
                 RecordVisitor &visitor, std::string *error) {
  uint64_t number = 0;
  for (const PayloadIndexRecord &record : tables.records) {
    ++number;
    bool wanted = visitor.Begin(IndexRecordName(record), record.size);
    if (wanted) {
      std::vector<unsigned char> head;
      auto keep = [&head](uint64_t, const unsigned char *bytes, size_t count) {
        head.insert(head.end(), bytes, bytes + count);
        return true;
      };
      if (!decoder.Read(record.offset, record.dataOffset, keep, error))
        return false;
      for (size_t at = 0; at < head.size(); ++at) {
        if (head[at] ==
            PayloadIndexHeadByte(record.name, record.units, record.size, at))
          continue;
        // What the stream holds there, as far as a head can reach.
        uint64_t reach =
            std::min(tables.streamSize - 2, record.offset + kLongestHead);
        if (reach > record.dataOffset &&
            !decoder.Read(record.dataOffset, reach, keep, error))
          return false;
        return Fail(error, HeadDisagreement(number, record, head));
      }
      auto pass = [&visitor](uint64_t, const unsigned char *bytes,
                             size_t count) {
        return visitor.Data(bytes, count);
      };
      if (!decoder.Read(record.dataOffset, record.dataOffset + record.size,
                        pass, error))
        return false;
    }
    if (!visitor.End())
      return Fail(error, "stopped");
  }
  return decoder.Finish(error);
}

// The frames as ReadContainer counts them: the index's skippable frame,
// then each data frame.
void NoteFrames(int fd, uint64_t offset, uint64_t size,
                const IndexTables &tables, FrameFacts *facts) {
  uint64_t end = offset + size - kContainerTailSize;
  NoteFrame(fd, offset + kContainerHeaderSize, end, facts);
  for (const PayloadIndexFrame &frame : tables.frames)
    NoteFrame(fd, offset + frame.containerOffset, end, facts);
  facts->indexed = true;
}

// Checks the bytes at `position` of the stream against the record heads
// and the end marker the index places there.
bool HeadsAgree(const IndexTables &tables, uint64_t position,
                const unsigned char *bytes, size_t count) {
  uint64_t end = position + count;
  // The first record whose head ends after `position`.
  auto first =
      std::upper_bound(tables.records.begin(), tables.records.end(), position,
                       [](uint64_t at, const PayloadIndexRecord &record) {
                         return at < record.dataOffset;
                       });
  for (auto record = first;
       record != tables.records.end() && record->offset < end; ++record) {
    uint64_t from = std::max(position, record->offset);
    uint64_t to = std::min(end, record->dataOffset);
    for (uint64_t at = from; at < to; ++at)
      if (bytes[at - position] !=
          PayloadIndexHeadByte(record->name, record->units, record->size,
                               at - record->offset))
        return false;
  }
  // The end marker: the stream's last two bytes, zero.
  for (uint64_t at = std::max(position, tables.streamSize - 2); at < end; ++at)
    if (bytes[at - position] != 0)
      return false;
  return true;
}

// Decodes frame `frame` whole and checks it; false with the reason.
bool CheckFrame(FrameDecoder &decoder, const IndexTables &tables, size_t frame,
                bool (*stop)(), std::string *error) {
  const PayloadIndexFrame &listed = tables.frames[frame];
  bool interrupted = false;
  auto check = [&](uint64_t position, const unsigned char *bytes,
                   size_t count) {
    if (stop != nullptr && stop()) {
      interrupted = true;
      return false;
    }
    return HeadsAgree(tables, position, bytes, count);
  };
  if (decoder.Read(listed.streamOffset,
                   listed.streamOffset + listed.decompressedSize, check,
                   error) &&
      decoder.Finish(error))
    return true;
  if (interrupted)
    *error = "interrupted";
  else if (*error == "stopped")
    *error = kIndexDisagrees +
             std::string("a record's head or the end marker is not what "
                         "the index lists");
  return false;
}

} // namespace

IndexedRead ReadByIndex(int fd, uint64_t offset, uint64_t size,
                        RecordVisitor &visitor, std::string *error,
                        FrameFacts *facts) {
  LoadedIndex loaded;
  IndexTables tables;
  IndexedRead result;
  if (!Open(fd, offset, size, &loaded, &tables, error, &result))
    return result;
  FrameDecoder decoder(fd, offset, tables);
  if (!WalkRecords(tables, decoder, visitor, error))
    return IndexedRead::kFailed;
  if (facts != nullptr) {
    FrameFacts seen;
    NoteFrames(fd, offset, size, tables, &seen);
    *facts = seen;
  }
  return IndexedRead::kDone;
}

IndexedRead CheckFramesByIndex(int fd, uint64_t offset, uint64_t size,
                               int threads, bool (*stop)(),
                               std::string *error) {
  LoadedIndex loaded;
  IndexTables tables;
  IndexedRead result;
  if (!Open(fd, offset, size, &loaded, &tables, error, &result))
    return result;
  size_t count = tables.frames.size();
  size_t workers = threads < 1 ? 1 : (size_t)threads;
  if (workers > count)
    workers = count;
  // Each worker takes the next frame not yet taken; after a fault, only
  // frames in front of it are still worth decoding, as the first fault in
  // frame order is the one reported.
  std::atomic<size_t> next(0);
  std::mutex mutex;
  size_t firstBad = count;
  std::string firstError;
  auto work = [&]() {
    FrameDecoder decoder(fd, offset, tables);
    for (;;) {
      size_t frame = next++;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (frame >= firstBad)
          return;
      }
      // A worker's frames come in increasing order, as its decoder wants.
      std::string reason;
      if (CheckFrame(decoder, tables, frame, stop, &reason))
        continue;
      std::lock_guard<std::mutex> lock(mutex);
      if (frame < firstBad) {
        firstBad = frame;
        firstError = reason == "interrupted"
                         ? reason
                         : "frame " + std::to_string(frame + 1) + ": " + reason;
      }
    }
  };
  std::vector<std::thread> pool;
  for (size_t i = 1; i < workers; ++i)
    pool.emplace_back(work);
  work();
  for (std::thread &thread : pool)
    thread.join();
  if (firstBad < count) {
    *error = firstError;
    return IndexedRead::kFailed;
  }
  return IndexedRead::kDone;
}

IndexedRead VerifyByIndex(int fd, uint64_t offset, uint64_t size, int threads,
                          bool (*stop)(), RecordVisitor &visitor,
                          std::string *error, FrameFacts *facts) {
  std::string reason;
  IndexedRead frames =
      CheckFramesByIndex(fd, offset, size, threads, stop, &reason);
  if (frames == IndexedRead::kNoIndex)
    return frames;
  if (frames == IndexedRead::kFailed) {
    if (reason == "interrupted") {
      *error = reason;
      return IndexedRead::kFailed;
    }
    // The reason as a front-to-back reading gives it, at its first fault.
    if (ReadContainer(fd, offset, size, visitor, error, facts))
      *error = reason;
    return IndexedRead::kFailed;
  }
  // Every frame agrees with the index, so its records are the stream's:
  // the visitor sees them without decoding again.
  return ReadByIndex(fd, offset, size, visitor, error, facts);
}

} // namespace veskar
