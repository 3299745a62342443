//===- packer/cli/progress.h - Progress on a terminal and sizes as text ---===//
#pragma once

#include <stdint.h>

#include <chrono>
#include <string>

namespace veskar {

// One self-overwriting line on standard error: percentage, bytes done of
// the total, rate and time left. Shown only when enabled and standard error
// is a terminal; redrawn at most ten times a second.
class Progress {
public:
  Progress(bool enabled, const char *label);
  ~Progress();
  void Update(uint64_t done, uint64_t total);
  // Clears the line.
  void Finish();

private:
  bool shown_;
  const char *label_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
  bool drawn_ = false;
};

// "12.3 MiB", "512 bytes".
std::string FormatSize(uint64_t bytes);

// "1 file", "3 files".
std::string CountFiles(uint64_t count);

// `part` as a share of `whole` with one decimal, "46.2%"; "100.0%" when
// `whole` is 0.
std::string FormatPercent(uint64_t part, uint64_t whole);

} // namespace veskar
