//===- packer/cli/progress.cpp - Progress and sizes as text ---------------===//
#include "packer/cli/progress.h"

#include <stdio.h>

#include "packer/os/fs.h"

namespace veskar {

namespace {

// The line is redrawn at most this often.
const std::chrono::milliseconds kRedrawInterval(100);
const uint64_t kSecondsPerMinute = 60;
const uint64_t kBytesPerKibibyte = 1024;

} // namespace

Progress::Progress(bool enabled, const char *label)
    : shown_(enabled && fs::IsConsole(stderr)), label_(label),
      start_(std::chrono::steady_clock::now()), lastDraw_(start_) {}

Progress::~Progress() { Finish(); }

void Progress::Update(uint64_t done, uint64_t total) {
  if (!shown_)
    return;
  auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - lastDraw_ < kRedrawInterval && done < total)
    return;
  lastDraw_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  double rate = seconds > 0 ? (double)done / seconds : 0;
  char left[32] = "";
  if (rate > 0 && done < total) {
    uint64_t remaining = (uint64_t)((double)(total - done) / rate);
    snprintf(left, sizeof left, ", %u:%02u left",
             (unsigned)(remaining / kSecondsPerMinute),
             (unsigned)(remaining % kSecondsPerMinute));
  }
  unsigned percent = total == 0 ? 100 : (unsigned)(done * 100 / total);
  char head[32];
  snprintf(head, sizeof head, " %3u%%  ", percent);
  fs::Print(stderr, "\r\033[K" + std::string(label_) + head + FormatSize(done) +
                        " of " + FormatSize(total) + "  " +
                        FormatSize((uint64_t)rate) + "/s" + left);
  drawn_ = true;
}

void Progress::Finish() {
  if (drawn_) {
    fs::Print(stderr, "\r\033[K");
    drawn_ = false;
  }
}

std::string FormatSize(uint64_t bytes) {
  if (bytes < kBytesPerKibibyte)
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  static const char *const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  const size_t kLastUnit = sizeof kUnits / sizeof kUnits[0] - 1;
  double value = (double)bytes / kBytesPerKibibyte;
  size_t unit = 0;
  while (value >= kBytesPerKibibyte && unit < kLastUnit) {
    value /= kBytesPerKibibyte;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string CountFiles(uint64_t count) {
  return std::to_string(count) + (count == 1 ? " file" : " files");
}

std::string FormatPercent(uint64_t part, uint64_t whole) {
  char text[32];
  snprintf(text, sizeof text, "%.1f%%",
           whole == 0 ? 100.0 : 100.0 * (double)part / (double)whole);
  return text;
}

} // namespace veskar
