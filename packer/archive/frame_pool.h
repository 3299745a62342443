//===- packer/archive/frame_pool.h - Independent frames, compressed in parallel
//-===//
//
// The archive stream cut into frames of a fixed number of bytes, each
// compressed on its own (no frame refers to another's bytes), several at
// once, each on zstd's own workers, and written in order. Every frame is
// compressed alike whatever the number of threads (zstd's workers give the
// same bytes for any number of them), so the output is the same for any
// --threads.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veskar {

// What a frame became: its size in the container and in the stream.
struct FrameSizes {
  uint64_t compressed;
  uint64_t decompressed;
};

class FramePool {
public:
  // Writes each frame's bytes, in order; false with a reason stops.
  using WriteFn = std::function<bool(const void *, size_t, std::string *)>;

  // Frames of `frameBytes` bytes (the last may be shorter) at `level`,
  // with a content checksum when `checksum`, as many of them at once as
  // `threads` allow, each on zstd's own workers (the same bytes for any
  // number of those).
  FramePool(int level, bool checksum, uint64_t frameBytes, int threads,
            WriteFn write);
  ~FramePool();
  FramePool(const FramePool &) = delete;
  FramePool &operator=(const FramePool &) = delete;

  // More of the archive stream. False with `error()` on a failure.
  bool Feed(const void *data, size_t count);
  // Compresses what is left and waits for every frame to be written.
  bool Finish();

  const std::vector<FrameSizes> &frames() const { return frames_; }
  const std::string &error() const { return error_; }

private:
  struct Job {
    std::vector<char> input;
    std::vector<char> output;
    std::string error;
    bool done = false;
  };
  bool Submit();
  bool WriteFinished(bool all);
  void Work();

  int level_;
  bool checksum_;
  int threadsPerFrame_;
  uint64_t frameBytes_;
  size_t maxInFlight_;
  WriteFn write_;
  std::vector<char> filling_;
  std::vector<FrameSizes> frames_;
  std::string error_;

  std::mutex mutex_;
  std::condition_variable wake_;              // a job waits, or the pool stops
  std::condition_variable done_;              // a job is done
  std::deque<std::shared_ptr<Job>> queue_;    // not yet taken
  std::deque<std::shared_ptr<Job>> inFlight_; // in order, until written
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

} // namespace veskar
