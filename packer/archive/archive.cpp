//===- packer/archive/archive.cpp - Writing and reading containers --------===//
#include "packer/archive/archive.h"

#include <errno.h>
#include <string.h>

#include <memory>

#include "common/container.h"
#include "common/payload_index.h"
#include "packer/archive/frame_pool.h"
#include "packer/archive/index_check.h"
#include "packer/archive/index_writer.h"
#include "packer/failure.h"
#include "packer/os/file_io.h"
#include "packer/os/fs.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getCParams; the library is linked
                                 // statically
#include <zstd.h>

namespace veskar {

namespace {

const size_t kReadChunk = 1 << 20;
// Progress is reported after each this many bytes of archive stream.
const uint64_t kProgressStep = 4u << 20;

// Counted writes to a descriptor; remembers the first failure.
class Output {
public:
  explicit Output(int fd) : fd_(fd) {}
  bool Write(const void *data, size_t count) {
    if (!WriteAll(fd_, data, count)) {
      error_ = OutputWriteError(errno);
      return false;
    }
    written_ += count;
    return true;
  }
  uint64_t written() const { return written_; }
  const std::string &error() const { return error_; }

private:
  int fd_;
  uint64_t written_ = 0;
  std::string error_;
};

struct CCtxFree {
  void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

// Feeds the archive stream to the compressor as one frame, or to a pool
// of independent frames when given one.
class Compressor {
public:
  Compressor(ZSTD_CCtx *cctx, Output &out, const ProgressFn &progress,
             uint64_t total, FramePool *pool)
      : cctx_(cctx), out_(out), progress_(progress), total_(total),
        buffer_(ZSTD_CStreamOutSize()), pool_(pool) {}

  bool Feed(const void *data, size_t count) {
    if (!Compress(data, count, ZSTD_e_continue))
      return false;
    done_ += count;
    if (progress_ && done_ - reported_ >= kProgressStep) {
      progress_(done_, total_);
      reported_ = done_;
    }
    return true;
  }

  bool Finish() {
    if (!Compress(nullptr, 0, ZSTD_e_end))
      return false;
    if (progress_)
      progress_(done_, total_);
    return true;
  }

  const std::string &error() const { return error_; }

private:
  bool Compress(const void *data, size_t count, ZSTD_EndDirective mode) {
    if (pool_ != nullptr) {
      if (mode == ZSTD_e_continue ? pool_->Feed(data, count) : pool_->Finish())
        return true;
      error_ = pool_->error();
      return false;
    }
    ZSTD_inBuffer in = {data, count, 0};
    for (;;) {
      ZSTD_outBuffer out = {buffer_.data(), buffer_.size(), 0};
      size_t left = ZSTD_compressStream2(cctx_, &out, &in, mode);
      if (ZSTD_isError(left)) {
        error_ = std::string("compression failed: ") + ZSTD_getErrorName(left);
        return false;
      }
      if (out.pos > 0 && !out_.Write(buffer_.data(), out.pos)) {
        error_ = out_.error();
        return false;
      }
      bool consumed = in.pos == in.size;
      if (mode == ZSTD_e_continue ? consumed : (consumed && left == 0))
        return true;
    }
  }

  ZSTD_CCtx *cctx_;
  Output &out_;
  const ProgressFn &progress_;
  uint64_t total_;
  uint64_t done_ = 0;
  uint64_t reported_ = 0;
  std::vector<char> buffer_;
  FramePool *pool_;
  std::string error_;
};

// Takes the decompressed archive stream in pieces of any size and hands
// the records to the visitor.
class RecordParser {
public:
  RecordParser(RecordVisitor &visitor) : visitor_(visitor) {}

  // False on a fault or a visitor's stop; `error` says which.
  bool Consume(const unsigned char *p, size_t count, std::string *error) {
    while (count > 0) {
      switch (state_) {
      case kName: {
        pending_[pendingCount_++] = *p++;
        --count;
        if (pendingCount_ < 2)
          break;
        pendingCount_ = 0;
        char16_t unit = (char16_t)(pending_[0] | (pending_[1] << 8));
        if (unit != 0) {
          if (name_.size() == kMaxNameUnits) {
            *error = "a name in the archive is longer "
                     "than " VESKAR_MAX_NAME_UNITS_TEXT " units";
            return false;
          }
          name_.push_back(unit);
        } else if (name_.empty()) {
          state_ = kEnded;
        } else {
          state_ = kSize;
        }
        break;
      }
      case kSize:
        pending_[pendingCount_++] = *p++;
        --count;
        if (pendingCount_ == kContainerCountSize) {
          pendingCount_ = 0;
          remaining_ = GetLittleEndian64(pending_);
          wantData_ = visitor_.Begin(name_, remaining_);
          state_ = kData;
          if (remaining_ == 0 && !FinishRecord(error))
            return false;
        }
        break;
      case kData: {
        size_t take = remaining_ < count ? (size_t)remaining_ : count;
        if (wantData_ && !visitor_.Data(p, take)) {
          *error = "stopped";
          return false;
        }
        p += take;
        count -= take;
        remaining_ -= take;
        if (remaining_ == 0 && !FinishRecord(error))
          return false;
        break;
      }
      case kEnded:
        *error = "the archive holds data after its end marker";
        return false;
      }
    }
    return true;
  }

  bool ended() const { return state_ == kEnded; }

private:
  bool FinishRecord(std::string *error) {
    name_.clear();
    state_ = kName;
    if (!visitor_.End()) {
      *error = "stopped";
      return false;
    }
    return true;
  }

  enum State { kName, kSize, kData, kEnded };
  RecordVisitor &visitor_;
  State state_ = kName;
  unsigned char pending_[kContainerCountSize];
  int pendingCount_ = 0;
  std::u16string name_;
  uint64_t remaining_ = 0;
  bool wantData_ = false;
};

} // namespace

RecordVisitor::~RecordVisitor() = default;

uint64_t ArchiveStreamSize(const std::vector<ArchiveInput> &files) {
  uint64_t total = 2; // the end marker
  for (const ArchiveInput &file : files)
    total += 2 * (file.name.size() + 1) + kContainerCountSize + file.size;
  return total;
}

bool WriteContainer(const std::vector<ArchiveInput> &files,
                    const CompressionOptions &options, int fd,
                    uint64_t *containerSize, std::string *error,
                    const ProgressFn &progress) {
  Output out(fd);
  std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
  if (!cctx) {
    *error = "couldn't allocate the compressor";
    return false;
  }
  uint64_t total = ArchiveStreamSize(files);
  auto set = [&](ZSTD_cParameter parameter, int value) {
    size_t result = ZSTD_CCtx_setParameter(cctx.get(), parameter, value);
    if (ZSTD_isError(result)) {
      *error = std::string("couldn't set up the compressor: ") +
               ZSTD_getErrorName(result);
      return false;
    }
    return true;
  };
  if (options.level < ZSTD_minCLevel() || options.level > ZSTD_maxCLevel()) {
    *error = "the compression level must lie between " +
             std::to_string(ZSTD_minCLevel()) + " and " +
             std::to_string(ZSTD_maxCLevel());
    return false;
  }
  // The window never exceeds what the launcher's decoder accepts. The level's
  // own window (at most 2^27 up to level 22) shrinks with the input, as
  // zstd's tables say; long-distance matching asks for the largest one.
  uint64_t hint = options.frameInputLimit ? options.frameInputLimit : total;
  int windowLog = options.longDistance
                      ? kMaxWindowLog
                      : (int)ZSTD_getCParams(options.level, hint, 0).windowLog;
  if (windowLog > kMaxWindowLog)
    windowLog = kMaxWindowLog;
  if (!set(ZSTD_c_compressionLevel, options.level) ||
      !set(ZSTD_c_checksumFlag, options.checksum ? 1 : 0) ||
      !set(ZSTD_c_windowLog, windowLog) ||
      (options.longDistance && !set(ZSTD_c_enableLongDistanceMatching, 1)))
    return false;
  if (options.threads > 0 && !set(ZSTD_c_nbWorkers, options.threads))
    return false;
  if (options.frameInputLimit == 0)
    ZSTD_CCtx_setPledgedSrcSize(cctx.get(), total);

  // The index goes first, its frames' compressed sizes filled in at its
  // place once they are known.
  long long start = options.index ? fs::Position(fd) : 0;
  if (start < 0) {
    *error = OutputWriteError(errno);
    return false;
  }
  std::vector<unsigned char> index;
  if (options.index &&
      !MakeIndexFrame(files, options.frameInputLimit, &index, error))
    return false;

  static const unsigned char kHeader[kContainerHeaderSize] = {
      kContainerMagic0, kContainerMagic1, kCompressionZstd};
  if (!out.Write(kHeader, sizeof kHeader) ||
      !out.Write(index.data(), index.size())) {
    *error = out.error();
    return false;
  }

  // Cut frames are independent, each compressed on its own worker.
  std::unique_ptr<FramePool> pool;
  if (options.frameInputLimit != 0)
    pool.reset(new FramePool(
        options.level, options.checksum, options.frameInputLimit,
        options.threads,
        [&out](const void *bytes, size_t count, std::string *reason) {
          if (out.Write(bytes, count))
            return true;
          *reason = out.error();
          return false;
        }));
  Compressor compressor(cctx.get(), out, progress, total, pool.get());
  std::vector<char> chunk(kReadChunk);
  for (const ArchiveInput &file : files) {
    std::string name;
    for (char16_t unit : file.name) {
      name += (char)(unit & 0xFF);
      name += (char)(unit >> 8);
    }
    name.append(2, '\0');
    unsigned char size[kContainerCountSize];
    PutLittleEndian64(size, file.size);
    if (!compressor.Feed(name.data(), name.size()) ||
        !compressor.Feed(size, sizeof size)) {
      *error = compressor.error();
      return false;
    }
    int in;
    if (!OpenRegularFile(file.path, "", &in, error))
      return false;
    uint64_t left = file.size;
    bool ok = true;
    while (ok) {
      size_t want = left < chunk.size() ? (size_t)left : chunk.size();
      if (want == 0) {
        // The file must end where its size said: one more byte means it
        // grew while being packed.
        char extra;
        long long n = fs::Read(in, &extra, 1);
        if (n != 0) {
          *error = "'" + file.path + "' changed while it was being packed";
          ok = false;
        }
        break;
      }
      long long n = fs::Read(in, chunk.data(), want);
      if (n < 0) {
        *error = "couldn't read '" + file.path + "': " + SystemError(errno);
        ok = false;
      } else if (n == 0) {
        *error = "'" + file.path + "' changed while it was being packed";
        ok = false;
      } else if (!compressor.Feed(chunk.data(), (size_t)n)) {
        *error = compressor.error();
        ok = false;
      } else {
        left -= (uint64_t)n;
      }
    }
    fs::Close(in);
    if (!ok)
      return false;
  }
  static const unsigned char kEndMarker[2] = {0, 0};
  if (!compressor.Feed(kEndMarker, 2) || !compressor.Finish()) {
    *error = compressor.error();
    return false;
  }
  std::vector<FrameSizes> frames;
  if (pool)
    frames = pool->frames();
  else
    frames.push_back(
        {out.written() - kContainerHeaderSize - index.size(), total});
  unsigned char tail[kContainerTailSize] = {0, 0};
  PutLittleEndian64(tail + kContainerEndBytes,
                    out.written() + kContainerEndBytes);
  if (!out.Write(tail, sizeof tail)) {
    *error = out.error();
    return false;
  }
  if (options.index &&
      (frames.size() != FrameCount(total, options.frameInputLimit)
           ? Fail(error, "the frames came out other than planned")
           : !PatchIndexFrames(fd, (uint64_t)start + kContainerHeaderSize,
                               frames, error)))
    return false;
  *containerSize = out.written();
  return true;
}

void NoteFrame(int fd, uint64_t at, uint64_t end, FrameFacts *facts) {
  ++facts->frames;
  unsigned char header[ZSTD_FRAMEHEADERSIZE_MAX];
  size_t want = end - at < sizeof header ? (size_t)(end - at) : sizeof header;
  ZSTD_frameHeader frame;
  if (!ReadAllAt(fd, header, want, at) ||
      ZSTD_getFrameHeader(&frame, header, want) != 0)
    return;
  if (frame.frameType == ZSTD_frame && !frame.checksumFlag) {
    if (facts->uncheckedFrames++ == 0)
      facts->firstUnchecked = facts->frames;
  }
}

bool CheckContainerEnds(int fd, uint64_t offset, uint64_t size,
                        std::string *error) {
  if (size < kSmallestContainer) {
    *error = "the payload is too short to be a container";
    return false;
  }
  unsigned char header[kContainerHeaderSize];
  unsigned char tail[kContainerTailSize];
  if (!ReadAllAt(fd, header, sizeof header, offset) ||
      !ReadAllAt(fd, tail, sizeof tail, offset + size - sizeof tail)) {
    *error = "couldn't read the payload";
    return false;
  }
  if (header[0] != kContainerMagic0 || header[1] != kContainerMagic1) {
    *error = "the payload has no container header";
    return false;
  }
  if (header[2] != kCompressionZstd) {
    *error = "the payload uses an unknown compression";
    return false;
  }
  if (tail[0] != 0 || tail[1] != 0 ||
      GetLittleEndian64(tail + kContainerEndBytes) !=
          size - kContainerCountSize) {
    *error = "the container's tail is damaged";
    return false;
  }
  return true;
}

bool ReadContainer(int fd, uint64_t offset, uint64_t size,
                   RecordVisitor &visitor, std::string *error,
                   FrameFacts *facts) {
  FrameFacts seen;
  if (!CheckContainerEnds(fd, offset, size, error))
    return false;

  // An index is checked on its own first, then against every frame and
  // record as they are decoded.
  IndexChecker checker(visitor);
  if (!checker.Load(fd, offset, size, error))
    return false;
  auto consume = [&](const unsigned char *bytes, size_t count,
                     RecordParser &parser) {
    if (parser.Consume(bytes, count, error))
      return true;
    if (!checker.disagreement().empty())
      *error = checker.disagreement();
    return false;
  };

  std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
  if (!dctx) {
    *error = "couldn't allocate the decompressor";
    return false;
  }
  RecordParser parser(checker);
  std::vector<unsigned char> input(kReadChunk);
  std::vector<unsigned char> output(ZSTD_DStreamOutSize());
  uint64_t position = offset + kContainerHeaderSize;
  const uint64_t end = offset + size - kContainerTailSize;
  size_t lastResult = 0;
  uint64_t frameStart = 0;  // where the frame being decoded began
  uint64_t frameOutput = 0; // and what it gave so far
  bool sawFrame = false;
  bool outputFull = false; // the last call filled the buffer: more may wait
  while (position < end) {
    size_t want =
        end - position < input.size() ? (size_t)(end - position) : input.size();
    if (!ReadAllAt(fd, input.data(), want, position)) {
      *error = "couldn't read the payload";
      return false;
    }
    uint64_t chunkStart = position;
    position += want;
    ZSTD_inBuffer in = {input.data(), want, 0};
    while (in.pos < in.size) {
      // The decoder stops at the end of each frame, so after a frame has
      // ended (or before the first) the input stands at the next one's
      // header.
      if (lastResult == 0) {
        NoteFrame(fd, chunkStart + in.pos, end, &seen);
        frameStart = chunkStart + in.pos;
        frameOutput = 0;
      }
      ZSTD_outBuffer out = {output.data(), output.size(), 0};
      lastResult = ZSTD_decompressStream(dctx.get(), &out, &in);
      sawFrame = true;
      outputFull = out.pos == out.size;
      if (ZSTD_isError(lastResult)) {
        *error = std::string("the compressed data is damaged (") +
                 ZSTD_getErrorName(lastResult) + ")";
        return false;
      }
      frameOutput += out.pos;
      if (!consume(output.data(), out.pos, parser) ||
          (lastResult == 0 && !checker.FrameEnded(frameStart - offset,
                                                  chunkStart + in.pos - offset,
                                                  frameOutput, error)))
        return false;
    }
  }
  // The decoder may still hold output when the input ran out. Only then is
  // it called again: with no input left, a decoder at a frame's end would
  // answer with the size of a next frame's header, not 0.
  while (outputFull) {
    ZSTD_inBuffer in = {nullptr, 0, 0};
    ZSTD_outBuffer out = {output.data(), output.size(), 0};
    lastResult = ZSTD_decompressStream(dctx.get(), &out, &in);
    if (ZSTD_isError(lastResult)) {
      *error = std::string("the compressed data is damaged (") +
               ZSTD_getErrorName(lastResult) + ")";
      return false;
    }
    frameOutput += out.pos;
    if (!consume(output.data(), out.pos, parser) ||
        (lastResult == 0 &&
         !checker.FrameEnded(frameStart - offset, end - offset, frameOutput,
                             error)))
      return false;
    outputFull = out.pos == out.size;
  }
  if (!sawFrame || lastResult != 0) {
    *error = "the compressed data ends in the middle of a frame";
    return false;
  }
  if (!parser.ended()) {
    *error = "the archive ends before its end marker";
    return false;
  }
  if (!checker.Finish(error))
    return false;
  seen.indexed = checker.present();
  seen.unknownIndex = checker.unknown();
  if (facts != nullptr)
    *facts = seen;
  return true;
}

} // namespace veskar
