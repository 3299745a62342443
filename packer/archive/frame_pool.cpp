//===- packer/archive/frame_pool.cpp - Independent frames, compressed in
//parallel -===//
#include "packer/archive/frame_pool.h"

#include <string.h>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getCParams; the library is linked
                                 // statically
#include <zstd.h>

#include "common/container.h"
#include "packer/archive/archive.h"

namespace veskar {

namespace {

// A frame starts without the history of the ones before it, which costs
// about the same at every frame start: frames hold this many windows of
// their level, more at the strongest levels, whose parsers lose more, and
// never less than the smallest frame (measured: bench/RESULTS.md).
const int kWindowsPerFrame = 8;
const int kStrongLevel = 17;
const int kWindowsPerStrongFrame = 16;
const uint64_t kSmallestFrame = 16u << 20;

} // namespace

uint64_t DefaultFrameInputLimit(int level) {
  unsigned windowLog =
      ZSTD_getCParams(level, ZSTD_CONTENTSIZE_UNKNOWN, 0).windowLog;
  if (windowLog > (unsigned)kMaxWindowLog)
    windowLog = kMaxWindowLog;
  uint64_t frame = (uint64_t)(level >= kStrongLevel ? kWindowsPerStrongFrame
                                                    : kWindowsPerFrame)
                   << windowLog;
  return frame < kSmallestFrame ? kSmallestFrame : frame;
}

FramePool::FramePool(int level, bool checksum, uint64_t frameBytes, int threads,
                     WriteFn write)
    : level_(level), checksum_(checksum), frameBytes_(frameBytes),
      write_(std::move(write)) {
  // zstd cuts a frame into jobs of four windows, each on a worker of its
  // own; the rest of the threads compress other frames meanwhile.
  unsigned windowLog = ZSTD_getCParams(level, frameBytes, 0).windowLog;
  uint64_t jobs = frameBytes / ((uint64_t)4 << windowLog);
  if (threads < 1)
    threads = 1;
  threadsPerFrame_ = jobs < 1                   ? 1
                     : jobs > (uint64_t)threads ? threads
                                                : (int)jobs;
  int workers = threads / threadsPerFrame_;
  // Each worker has one frame in hand and one more waits; the frames done
  // wait to be written in order.
  maxInFlight_ = (size_t)workers + 1;
  for (int i = 0; i < workers; ++i)
    workers_.emplace_back([this] { Work(); });
}

FramePool::~FramePool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread &worker : workers_)
    worker.join();
}

bool FramePool::Feed(const void *data, size_t count) {
  const char *p = (const char *)data;
  while (count > 0) {
    size_t room = (size_t)(frameBytes_ - filling_.size());
    size_t take = count < room ? count : room;
    filling_.insert(filling_.end(), p, p + take);
    p += take;
    count -= take;
    if (filling_.size() == frameBytes_ && !Submit())
      return false;
  }
  return true;
}

bool FramePool::Finish() {
  if (!filling_.empty() && !Submit())
    return false;
  return WriteFinished(true);
}

bool FramePool::Submit() {
  if (!WriteFinished(false))
    return false;
  auto job = std::make_shared<Job>();
  job->input.swap(filling_);
  filling_.reserve((size_t)frameBytes_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(job);
    inFlight_.push_back(job);
  }
  wake_.notify_one();
  return true;
}

// Writes the frames done at the front, in order: all of them when `all`,
// otherwise until there is room for one more.
bool FramePool::WriteFinished(bool all) {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (inFlight_.empty())
        return true;
      bool mustWait = all || inFlight_.size() >= maxInFlight_;
      if (!inFlight_.front()->done) {
        if (!mustWait)
          return true;
        done_.wait(lock, [&] { return inFlight_.front()->done; });
      }
      job = inFlight_.front();
      inFlight_.pop_front();
    }
    if (!job->error.empty()) {
      error_ = job->error;
      return false;
    }
    if (!write_(job->output.data(), job->output.size(), &error_))
      return false;
    frames_.push_back({job->output.size(), job->input.size()});
  }
}

void FramePool::Work() {
  ZSTD_CCtx *cctx = ZSTD_createCCtx();
  std::string setUp;
  if (cctx == nullptr) {
    setUp = "couldn't allocate the compressor";
  } else {
    size_t result =
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level_);
    if (!ZSTD_isError(result))
      result =
          ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, checksum_ ? 1 : 0);
    // Always zstd's workers, at least one: their output does not depend on
    // their number, where compressing on this thread would differ.
    if (!ZSTD_isError(result))
      result = ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, threadsPerFrame_);
    if (ZSTD_isError(result))
      setUp = std::string("couldn't set up the compressor: ") +
              ZSTD_getErrorName(result);
  }
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty())
        break;
      job = queue_.front();
      queue_.pop_front();
    }
    if (!setUp.empty()) {
      job->error = setUp;
    } else {
      // One call with the whole frame: the frame's header carries its
      // size, and the level's parameters suit that size.
      job->output.resize(ZSTD_compressBound(job->input.size()));
      size_t written =
          ZSTD_compress2(cctx, job->output.data(), job->output.size(),
                         job->input.data(), job->input.size());
      if (ZSTD_isError(written))
        job->error =
            std::string("compression failed: ") + ZSTD_getErrorName(written);
      else
        job->output.resize(written);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job->done = true;
    }
    done_.notify_all();
  }
  ZSTD_freeCCtx(cctx);
}

} // namespace veskar
