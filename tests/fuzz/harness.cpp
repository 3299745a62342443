//===- tests/fuzz/harness.cpp - One input through OpenPayload/ExtractPayload -===//
//
// Each input is the payload resource of one run of the launcher's payload
// code, extracting into scratch/a/b/u. Two properties are checked after
// every run:
//
//  - Containment: nothing exists in the scratch folder but the unpack
//    directory and the empty sentinel directories beside it on every level
//    above, and the unpack directory holds only directories and regular
//    files. A name that climbed out by one, two or three levels would show
//    up in a sentinel's level.
//  - Agreement: when the packer's independent archive reader accepts the
//    container (or the part of it in front of the record where the launcher
//    must stop), the run ends as a small model of the extraction predicts,
//    and the unpack directory holds exactly the predicted files, byte for
//    byte (compared by size and a 64-bit hash). The one allowance: damage
//    behind the stopping record may be reported first, as the decoder works
//    ahead of the reads.
//
// Any violation aborts, which libFuzzer reports as a crash with the input.
//
//===----------------------------------------------------------------------===//
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "launcher/console.h"
#include "launcher/state.h"
#include "packer/archive.h"
#include "payload/extract.h"
#include "payload/stream.h"
#include "platform/posix/internal.h"
#include "tests/fuzz/harness.h"

namespace veskar_fuzz {

namespace {

[[noreturn]] void Fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("fuzz: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  abort();
}

struct Scratch {
  std::string root;    // the scratch folder
  std::string unpack;  // root/a/b/u, absent between runs
  WCHAR unpackWide[kPathCapacity];
  size_t unpackUnits;
  int containerFd;     // the input again, for the archive reader
};

Scratch scratch;

void RemoveScratch(void);

void MakeDirectory(const std::string &path) {
  if (mkdir(path.c_str(), 0700) != 0)
    Fail("cannot create %s: %s", path.c_str(), strerror(errno));
}

// Creates the scratch folder on first use. HOME points at it, so the
// known-directory list is seeded with a folder above the unpack directory,
// as it is in a real run.
void PrepareScratch(void) {
  if (!scratch.root.empty())
    return;
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") +
                        "/veskar-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (mkdtemp(buffer.data()) == nullptr)
    Fail("cannot create a scratch folder in %s: %s", pattern.c_str(),
         strerror(errno));
  scratch.root = buffer.data();
  MakeDirectory(scratch.root + "/sentinel");
  MakeDirectory(scratch.root + "/a");
  MakeDirectory(scratch.root + "/a/sentinel");
  MakeDirectory(scratch.root + "/a/b");
  MakeDirectory(scratch.root + "/a/b/sentinel");
  scratch.unpack = scratch.root + "/a/b/u";
  setenv("HOME", scratch.root.c_str(), 1);
  scratch.unpackUnits = veskar_posix::FromNative(
      scratch.unpack.c_str(), scratch.unpackWide, kPathCapacity, true);
  if (scratch.unpackUnits + 1 > kPathCapacity)
    Fail("the scratch path is too long");
  scratch.containerFd = memfd_create("veskar-fuzz-container", MFD_CLOEXEC);
  if (scratch.containerFd < 0)
    Fail("memfd_create: %s", strerror(errno));
  atexit(RemoveScratch);
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path);
}

void RemoveTree(const std::string &path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 && errno == ENOENT)
    return;
  if (nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) != 0)
    Fail("cannot remove %s: %s", path.c_str(), strerror(errno));
}

void RemoveScratch(void) {
  if (!scratch.root.empty())
    nftw(scratch.root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// The names in one directory, without "." and "..".
std::set<std::string> ListDirectory(const std::string &path) {
  std::set<std::string> names;
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr)
    Fail("cannot list %s: %s", path.c_str(), strerror(errno));
  while (struct dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.insert(name);
  }
  closedir(dir);
  return names;
}

void ExpectLevel(const std::string &path, const std::set<std::string> &allowed,
                 const char *mandatory) {
  std::set<std::string> names = ListDirectory(path);
  for (const std::string &name : names)
    if (allowed.count(name) == 0)
      Fail("'%s' appeared in %s, outside the unpack directory", name.c_str(),
           path.c_str());
  if (names.count(mandatory) == 0)
    Fail("%s/%s has gone", path.c_str(), mandatory);
  struct stat info;
  std::string sentinel = path + "/sentinel";
  if (lstat(sentinel.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    Fail("%s is no longer a directory", sentinel.c_str());
  if (!ListDirectory(sentinel).empty())
    Fail("something was written into %s", sentinel.c_str());
}

uint64_t Fnv1a(uint64_t hash, const void *data, size_t count) {
  const unsigned char *p = (const unsigned char *)data;
  for (size_t i = 0; i < count; ++i)
    hash = (hash ^ p[i]) * 1099511628211ull;
  return hash;
}
const uint64_t kFnvStart = 14695981039346656037ull;

struct FileDigest {
  uint64_t size;
  uint64_t hash;
  bool operator==(const FileDigest &other) const {
    return size == other.size && hash == other.hash;
  }
};

// Every regular file below `root` by its path relative to the unpack
// directory; anything that is neither a file nor a directory is a failure.
// The walk keeps its own list of directories still to read, so that a tree
// of any depth costs no stack.
void CollectFiles(const std::string &root,
                  std::map<std::string, FileDigest> &out) {
  static char buffer[65536];
  std::vector<std::string> pending = {""}; // relative paths of directories
  while (!pending.empty()) {
    std::string relative = pending.back();
    pending.pop_back();
    std::string dir = relative.empty() ? root : root + "/" + relative;
    for (const std::string &name : ListDirectory(dir)) {
      std::string path = dir + "/" + name;
      std::string rel = relative.empty() ? name : relative + "/" + name;
      struct stat info;
      if (lstat(path.c_str(), &info) != 0)
        Fail("cannot stat %s", path.c_str());
      if (S_ISDIR(info.st_mode)) {
        pending.push_back(rel);
        continue;
      }
      if (!S_ISREG(info.st_mode))
        Fail("%s is neither a file nor a directory", path.c_str());
      int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0)
        Fail("cannot read %s", path.c_str());
      FileDigest digest = {0, kFnvStart};
      ssize_t n;
      while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        digest.hash = Fnv1a(digest.hash, buffer, (size_t)n);
        digest.size += (uint64_t)n;
      }
      close(fd);
      out[rel] = digest;
    }
  }
}

// Containment, checked after every run.
void CheckContained(Ending ending) {
  ExpectLevel(scratch.root, {"sentinel", "a"}, "a");
  ExpectLevel(scratch.root + "/a", {"sentinel", "b"}, "b");
  ExpectLevel(scratch.root + "/a/b", {"sentinel", "u"}, "sentinel");
  struct stat info;
  if (lstat(scratch.unpack.c_str(), &info) != 0)
    return;
  if (!S_ISDIR(info.st_mode))
    Fail("the unpack directory is not a directory");
  if (ending == Ending::kHeader || ending == Ending::kMemory)
    Fail("the unpack directory exists after a refused header");
}

// --- The model --------------------------------------------------------------

// What a run of the extraction must end with and leave on disk, worked out
// record by record from what the archive reader delivers.
class Model : public veskar::RecordVisitor {
public:
  Ending predicted = Ending::kCompleted;
  bool stopped = false;    // the prediction is complete; the rest is moot
  bool overBudget = false; // the run may end by the budget: no prediction
  std::map<std::string, FileDigest> files;

  bool Begin(const std::u16string &name, uint64_t size) override {
    if (stopped)
      return false;
    current_.clear();
    if (!IsSafe(name)) {
      Stop(Ending::kUnsafeName);
      return false;
    }
    if (first_ && scratch.unpackUnits + 1 + name.size() >= kChildPathCapacity) {
      Stop(Ending::kChildPathTooLong);
      return false;
    }
    first_ = false;
    if (++opens_ > kBudgetFiles) {
      overBudget = true;
      return false;
    }
    std::string native = Native(name);
    if (!CanOpen(native)) {
      Stop(Ending::kOpen);
      return false;
    }
    written_ += size;
    if (written_ > kBudgetBytes) {
      overBudget = true;
      return false;
    }
    current_ = native;
    digest_ = {size, kFnvStart};
    return true;
  }

  bool Data(const void *bytes, size_t count) override {
    digest_.hash = Fnv1a(digest_.hash, bytes, count);
    return true;
  }

  bool End() override {
    if (overBudget || stopped)
      return false; // nothing later changes the prediction
    if (!current_.empty())
      files[current_] = digest_;
    return true;
  }

private:
  // The launcher's rule on Linux: levels between backslashes, none empty,
  // none only dots and spaces, none holding a slash.
  static bool IsSafe(const std::u16string &name) {
    size_t start = 0;
    for (;;) {
      size_t end = name.find(u'\\', start);
      if (end == std::u16string::npos)
        end = name.size();
      if (end == start)
        return false;
      bool dotsAndSpaces = true;
      for (size_t i = start; i < end; ++i) {
        if (name[i] == u'/')
          return false;
        if (name[i] != u'.' && name[i] != u' ')
          dotsAndSpaces = false;
      }
      if (dotsAndSpaces)
        return false;
      if (end == name.size())
        return true;
      start = end + 1;
    }
  }

  static std::string Native(const std::u16string &name) {
    std::vector<char> out(name.size() * 4 + 1);
    if (!veskar_posix::ToNative(name.c_str(), out.data(), out.size(), true))
      Fail("name conversion");
    return out.data();
  }

  // Whether the file can be created: every level fits the file system's
  // name limit, no containing level is a file, and the path is no directory.
  bool CanOpen(const std::string &native) {
    std::vector<std::string> parents;
    size_t start = 0;
    for (;;) {
      size_t end = native.find('/', start);
      size_t levelEnd = end == std::string::npos ? native.size() : end;
      if (levelEnd - start > NAME_MAX)
        return false;
      if (end == std::string::npos)
        break;
      std::string parent = native.substr(0, end);
      if (files.count(parent) != 0)
        return false;
      parents.push_back(parent);
      start = end + 1;
    }
    if (directories_.count(native) != 0)
      return false;
    directories_.insert(parents.begin(), parents.end());
    return true;
  }

  void Stop(Ending ending) {
    predicted = ending;
    stopped = true;
  }

  bool first_ = true;
  uint64_t opens_ = 0;
  uint64_t written_ = 0;
  std::set<std::string> directories_;
  std::string current_;
  FileDigest digest_ = {0, kFnvStart};
};

// How much of the container the archive reader vouched for.
enum class Verdict {
  kNone,   // it refused the container before the launcher's stop, if any
  kPrefix, // it read up to the record where the launcher must stop
  kWhole,  // it read the whole container
};

// Runs the archive reader over the input, which makes the model's
// prediction.
Verdict Predict(const uint8_t *data, size_t size, Model &model) {
  int fd = scratch.containerFd;
  if (ftruncate(fd, 0) != 0)
    Fail("ftruncate: %s", strerror(errno));
  for (size_t done = 0; done < size;) {
    ssize_t n = pwrite(fd, data + done, size - done, (off_t)done);
    if (n <= 0)
      Fail("pwrite: %s", strerror(errno));
    done += (size_t)n;
  }
  std::string error;
  bool read = veskar::ReadContainer(fd, 0, size, model, &error);
  if (model.overBudget)
    return Verdict::kNone;
  if (read)
    return Verdict::kWhole;
  return model.stopped ? Verdict::kPrefix : Verdict::kNone;
}

void CheckAgainstModel(Ending ending, const Model &model, Verdict verdict) {
  // The decoder works ahead of what the extraction asks for (up to a full
  // output buffer), so damage behind the stopping record may be reported
  // first. Only the containment check holds then.
  if (verdict == Verdict::kPrefix && ending == Ending::kDecode)
    return;
  if (ending != model.predicted)
    Fail("the run ended with '%s' where '%s' was due", EndingName(ending),
         EndingName(model.predicted));
  std::map<std::string, FileDigest> found;
  struct stat info;
  if (lstat(scratch.unpack.c_str(), &info) == 0)
    CollectFiles(scratch.unpack, found);
  for (const auto &[path, digest] : model.files) {
    auto it = found.find(path);
    if (it == found.end())
      Fail("'%s' is missing", path.c_str());
    if (!(it->second == digest))
      Fail("'%s' differs: %llu bytes where %llu were due", path.c_str(),
           (unsigned long long)it->second.size,
           (unsigned long long)digest.size);
  }
  for (const auto &[path, digest] : found)
    if (model.files.count(path) == 0)
      Fail("'%s' was written but is no record's file", path.c_str());
}

// --- One run ----------------------------------------------------------------

void ReleaseKnownDirectories(void) {
  for (int i = 0; i < state.knownDirectoryCount; ++i)
    free(state.knownDirectories[i]);
}

void OpenAndExtract(void) {
  OpenPayload();
  BeginExtraction();
  ExtractPayload();
  EndExtraction();
  ClosePayload();
}

} // namespace

Ending RunPayloadInput(const uint8_t *data, size_t size) {
  PrepareScratch();
  memset((void *)&state, 0, sizeof state);
  memcpy(state.unpackDirectory, scratch.unpackWide,
         (scratch.unpackUnits + 1) * sizeof(WCHAR));
  SetPayloadResource(data, size, true);
  ResetGuard();

  Ending ending = RunUntilFatal(OpenAndExtract);
  if (ending != Ending::kCompleted) {
    CloseAbandonedHandles();
    ClosePayload(); // frees what OpenPayload got; both may be null
  }
  ReleaseKnownDirectories();

  CheckContained(ending);
  // A run the budget cut short must also be one the model declines.
  Model model;
  Verdict verdict = Predict(data, size, model);
  if (verdict != Verdict::kNone)
    CheckAgainstModel(ending, model, verdict);
  RemoveTree(scratch.unpack);
  return ending;
}

} // namespace veskar_fuzz
