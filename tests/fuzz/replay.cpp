//===- tests/fuzz/replay.cpp - The fuzz corpus as an ordinary test ------===//
//
//   veskar-fuzz-replay-disk FILE-OR-DIR...
//   veskar-fuzz-replay-memory FILE-OR-DIR...
//
// Runs every file through the same harness as the fuzzer (containment and
// agreement with the archive reader are checked there; a violation aborts),
// over the file layer the program is linked with (file_layer.h).
// A seed whose name starts with a known ending ("completed-", "header-",
// "decode-", "unsafe-name-", "open-", "child-path-too-long-",
// "name-too-long-", "budget-") must end that way; other files, such as crash
// inputs kept as regressions, need only run cleanly. Prints one line per file
// (with how the run with the parallel reader ended, where the input has an
// index); exits 1 when an ending differs.
//
//===----------------------------------------------------------------------===//
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/fuzz/harness.h"

using veskar_fuzz::Ending;

namespace {

const Ending kNamedEndings[] = {
    Ending::kCompleted,   Ending::kHeader, Ending::kDecode,
    Ending::kUnsafeName,  Ending::kOpen,   Ending::kChildPathTooLong,
    Ending::kNameTooLong, Ending::kBudget,
};

// The ending a seed's name promises, if it promises one.
bool ExpectedEnding(const std::string &file, Ending *out) {
  std::string base = file.substr(file.find_last_of('/') + 1);
  for (Ending ending : kNamedEndings) {
    std::string prefix = std::string(veskar_fuzz::EndingName(ending)) + "-";
    if (base.compare(0, prefix.size(), prefix) == 0) {
      *out = ending;
      return true;
    }
  }
  return false;
}

void AddInputs(const std::string &path, std::vector<std::string> &files) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    fprintf(stderr, "replay: no such file or folder '%s'\n", path.c_str());
    files.push_back(path); // reported as unreadable below
    return;
  }
  if (!S_ISDIR(info.st_mode)) {
    files.push_back(path);
    return;
  }
  std::vector<std::string> found;
  if (DIR *dir = opendir(path.c_str())) {
    while (struct dirent *entry = readdir(dir))
      if (entry->d_name[0] != '.')
        found.push_back(path + "/" + entry->d_name);
    closedir(dir);
  }
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
}

bool ReadWhole(const std::string &path, std::vector<uint8_t> &out) {
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr)
    return false;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
    out.insert(out.end(), buffer, buffer + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i)
    AddInputs(argv[i], files);
  if (files.empty()) {
    fprintf(stderr, "usage: %s FILE-OR-DIR...\n", argv[0]);
    return 2;
  }
  int failures = 0;
  for (const std::string &file : files) {
    std::vector<uint8_t> data;
    if (!ReadWhole(file, data)) {
      printf("FAIL %s: unreadable\n", file.c_str());
      ++failures;
      continue;
    }
    Ending ending = veskar_fuzz::RunPayloadInput(data.data(), data.size());
    Ending expected;
    if (ExpectedEnding(file, &expected) && ending != expected) {
      printf("FAIL %s: %s, expected %s\n", file.c_str(),
             veskar_fuzz::EndingName(ending),
             veskar_fuzz::EndingName(expected));
      ++failures;
    } else {
      veskar_fuzz::ParallelRun parallel = veskar_fuzz::LastParallelRun();
      printf("ok   %s: %s%s%s\n", file.c_str(), veskar_fuzz::EndingName(ending),
             !parallel.ran        ? ""
             : parallel.decoders ? "; parallel reader: "
                                 : "; parallel run fell back: ",
             parallel.ran ? veskar_fuzz::EndingName(parallel.ending) : "");
    }
  }
  printf("%zu inputs, %d failed\n", files.size(), failures);
  return failures == 0 ? 0 : 1;
}
