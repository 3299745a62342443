//===- tests/fuzz/harness.cpp - One input through OpenPayload/ExtractPayload
//-===//
//
// Each input is the payload resource of one run of the launcher's payload
// code, extracting into an unpack directory of the file layer the harness
// is linked with (file_layer.h: on disk, or in memory). These properties are
// checked for every run:
//
//  - Containment: nothing is created or written outside the unpack
//    directory, which holds only directories and regular files (checked by
//    the file layer: after the run on disk, at every call in memory).
//  - The index: the parser of the payload index (common/payload_index.h)
//    reads only the input's bytes, its record table unpacks into exactly
//    the room it declares, and an index it calls sound holds together:
//    frames back to back up to the tail, records back to back up to the end
//    marker, every name within the unpacked table.
//  - Agreement: when the packer's independent archive reader accepts the
//    container (or the part of it in front of the record where the launcher
//    must stop), the run ends as a small model of the extraction predicts,
//    and the unpack directory holds exactly the predicted files, byte for
//    byte (compared by size and a 64-bit hash). The one allowance: damage
//    behind the stopping record may be reported first, as the decoder works
//    ahead of the reads.
//
//  - The two readers: an input whose index parses runs twice, with the
//    one-thread reader and with the parallel one (payload/parallel.h: its
//    decoders are real threads here), each from a fresh state and unpack
//    directory. Both must end alike, always: a parallel run that completes
//    must leave exactly the one-thread run's files, and one that fails
//    must end as the one-thread run does. An index that disagrees with a
//    sound stream, damage, and a file that cannot be made all leave the
//    payload to the one-thread reader, which runs it or names its own
//    first failure (Compare).
//
// Any violation aborts, which libFuzzer reports as a crash with the input.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <zstd.h>

#include "common/container.h"
#include "common/payload_index.h"
#include "launcher/console.h"
#include "launcher/state.h"
#include "packer/archive/archive.h"
#include "launcher/unpack.h"
#include "payload/extract.h"
#include "payload/parallel.h"
#include "payload/stream.h"
#include "platform/posix/internal.h"
#include "tests/fuzz/file_layer.h"

namespace veskar_fuzz {

void Fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("fuzz: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  abort();
}

uint64_t Fnv1a(uint64_t hash, const void *data, size_t count) {
  const unsigned char *p = (const unsigned char *)data;
  for (size_t i = 0; i < count; ++i)
    hash = (hash ^ p[i]) * 1099511628211ull;
  return hash;
}

std::string MakeScratchFolder(void) {
  const char *tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp && tmp[0] ? tmp : "/tmp") + "/veskar-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (mkdtemp(buffer.data()) == nullptr)
    Fail("cannot create a scratch folder in %s: %s", pattern.c_str(),
         strerror(errno));
  return buffer.data();
}

namespace {

// The parallel run's decoder threads: more than the two a small machine
// has, so that frames wait for each other's files.
const int kParallelThreads = 3;

struct Scratch {
  bool prepared;
  WCHAR unpackWide[kPathCapacity];
  size_t unpackUnits;
  int containerFd; // the input again, for the archive reader
};

Scratch scratch;

void PrepareScratch(void) {
  if (scratch.prepared)
    return;
  std::string unpack = PrepareFiles();
  scratch.unpackUnits = veskar_posix::FromNative(
      unpack.c_str(), scratch.unpackWide, kPathCapacity, true);
  if (scratch.unpackUnits + 1 > kPathCapacity)
    Fail("the scratch path is too long");
  scratch.containerFd = memfd_create("veskar-fuzz-container", MFD_CLOEXEC);
  if (scratch.containerFd < 0)
    Fail("memfd_create: %s", strerror(errno));
  scratch.prepared = true;
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

void CheckAgainstModel(Ending ending, const Model &model, Verdict verdict,
                       bool compareFiles) {
  // The decoder works ahead of what the extraction asks for (up to a full
  // output buffer), so damage behind the stopping record may be reported
  // first. Only the containment check holds then.
  if (verdict == Verdict::kPrefix && ending == Ending::kDecode)
    return;
  if (ending != model.predicted)
    Fail("the run ended with '%s' where '%s' was due", EndingName(ending),
         EndingName(model.predicted));
  if (!compareFiles)
    return;
  std::map<std::string, FileDigest> found;
  CollectFiles(found);
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

// --- The index
// ----------------------------------------------------------------

// Parses the index as a launcher would, over the resource's bytes, and
// checks that a sound one says nothing impossible.
void CheckIndex(const uint8_t *data, size_t size) {
  if (size < kContainerHeaderSize)
    return;
  PayloadIndex index;
  if (ParsePayloadIndex(data + kContainerHeaderSize,
                        size - kContainerHeaderSize, size,
                        &index) != kIndexSound)
    return;
  // Room for exactly what each step asks, the bytes before copied into a
  // fresh room: the sanitizer catches a write past it. Never more than the
  // declared table.
  std::vector<unsigned char> table;
  ZSTD_DCtx *dctx = ZSTD_createDCtx();
  if (!dctx)
    Fail("couldn't allocate a decompressor");
  PayloadIndexProblem problem = ReadPayloadIndexRecords(
      &index, dctx,
      [](void *owner, uint64_t size) -> unsigned char * {
        std::vector<unsigned char> &room = *(std::vector<unsigned char> *)owner;
        std::vector<unsigned char> fresh(size);
        std::copy(room.begin(),
                  room.begin() + std::min<size_t>(room.size(), size),
                  fresh.begin());
        room.swap(fresh);
        return room.data();
      },
      &table);
  ZSTD_freeDCtx(dctx);
  if (problem != kIndexSound)
    return;
  if (table.size() != index.tableSize)
    Fail("a sound index's table took %zu bytes of room, not the %llu it "
         "declares",
         table.size(), (unsigned long long)index.tableSize);
  PayloadIndexCursor cursor;
  PayloadIndexFrame frame;
  uint64_t at = kContainerHeaderSize + index.indexFrameSize, stream = 0;
  StartPayloadIndexFrames(index, &cursor);
  while (NextPayloadIndexFrame(&cursor, &frame)) {
    if (frame.containerOffset != at || frame.streamOffset != stream ||
        frame.compressedSize == 0 || frame.decompressedSize == 0)
      Fail("a sound index has a frame out of place");
    at += frame.compressedSize;
    stream += frame.decompressedSize;
  }
  if (at != size - kContainerTailSize || stream != index.streamSize)
    Fail("a sound index's frames miss the container or the stream");
  PayloadIndexRecord record;
  uint64_t place = 0;
  StartPayloadIndexRecords(index, &cursor);
  while (NextPayloadIndexRecord(&cursor, &record)) {
    if (record.units == 0 || record.units > kMaxNameUnits ||
        record.name < table.data() ||
        record.name + 2 * (size_t)record.units > table.data() + table.size() ||
        record.offset != place ||
        record.dataOffset != place + 2 * (uint64_t)record.units + 10 ||
        record.size > index.streamSize - record.dataOffset)
      Fail("a sound index has a record out of place");
    place = record.dataOffset + record.size;
  }
  if (place + 2 != index.streamSize)
    Fail("a sound index's records miss the end marker");
}

// --- The two readers ----------------------------------------------------------

// How one run of the payload code ended and what it left.
struct Run {
  Ending ending;
  bool parallel; // the parallel reader ran (decoder threads started)
  std::map<std::string, FileDigest> files;
};

// --- One run ----------------------------------------------------------------

void ReleaseKnownDirectories(void) {
  for (int i = 0; i < state.knownDirectoryCount; ++i)
    free(state.knownDirectories[i]);
}

void OpenAndExtract(void) { RunPayloadPass(kExtractEveryRecord); }

// After a fatal ending, which jumped past the parallel reader: stops its
// decoders and closes what they left open, as the product's fatal ending
// does. A decoder that does not end is a hang.
void StopDecoders(void) {
  ParallelExtraction &shared = state.parallel;
  if (!shared.active)
    return;
  StopParallelExtraction();
  AcquireSRWLockExclusive(&shared.lock);
  int running = shared.running;
  ReleaseSRWLockExclusive(&shared.lock);
  if (running != 0)
    Fail("%d decoder threads still run after the stop", running);
}

// Runs the payload code with `threadLimit` decoder threads at most (1: the
// one-thread reader) from a fresh state and unpack directory; checks
// containment and, where the archive reader vouches for the container, the
// model's prediction. The files are compared with the model only for a
// completed run of the parallel reader: after a failure its decoders may
// have written any part of the files created before it.
Run RunOnce(const uint8_t *data, size_t size, int threadLimit,
            const Model &model, Verdict verdict) {
  memset((void *)&state, 0, sizeof state);
  memcpy(state.unpackDirectory, scratch.unpackWide,
         (scratch.unpackUnits + 1) * sizeof(WCHAR));
  state.parallel.threadLimit = threadLimit;
  SetPayloadResource(data, size, true);
  ResetGuard();

  Run run;
  run.ending = RunUntilFatal(OpenAndExtract);
  StopDecoders();
  run.parallel = DecoderThreadsStarted() != 0;
  if (BudgetSpent())
    run.ending = Ending::kBudget;
  // The run's hold on its unpack directory stays open after a completed
  // run too (a run keeps it until it ends).
  CloseAbandonedHandles();
  state.unpackDirectoryHold = nullptr;
  if (run.ending != Ending::kCompleted)
    ClosePayload(); // frees what OpenPayload got; both may be null
  ReleaseKnownDirectories();

  CheckContained(run.ending);
  if (verdict != Verdict::kNone)
    CheckAgainstModel(run.ending, model, verdict,
                      !run.parallel || run.ending == Ending::kCompleted);
  CollectFiles(run.files);
  RemoveUnpackDirectory();
  return run;
}

// Whether the index parses (ParsePayloadIndex): only then can the parallel
// reader run.
bool IndexParses(const uint8_t *data, size_t size) {
  PayloadIndex index;
  return size >= kContainerHeaderSize &&
         ParsePayloadIndex(data + kContainerHeaderSize,
                           size - kContainerHeaderSize, size,
                           &index) == kIndexSound;
}

void FailDifference(const char *what, const Run &one, const Run &parallel) {
  Fail("the parallel reader %s: it ended with '%s', the one-thread reader "
       "with '%s'",
       what, EndingName(parallel.ending), EndingName(one.ending));
}

// The parallel reader must end as the one-thread reader does, always,
// whether it ran to its end, stopped and left the payload to the
// one-thread reader, or never started, and leave the same files: what a
// stopped pass wrote is gone before the one-thread reader starts. A run
// the budget ended is compared with nothing.
void Compare(const Run &one, const Run &parallel) {
  if (one.parallel)
    Fail("the one-thread run started decoder threads");
  if (one.ending == Ending::kBudget || parallel.ending == Ending::kBudget)
    return;
  const char *how = parallel.parallel ? "ran" : "fell back";
  char what[64];
  if (parallel.ending != one.ending) {
    snprintf(what, sizeof what, "%s and ended otherwise", how);
    FailDifference(what, one, parallel);
  }
  if (parallel.files != one.files) {
    snprintf(what, sizeof what, "%s and left other files", how);
    FailDifference(what, one, parallel);
  }
}

ParallelRun lastParallel;

} // namespace

ParallelRun LastParallelRun(void) { return lastParallel; }

Ending RunPayloadInput(const uint8_t *data, size_t size) {
  PrepareScratch();
  CheckIndex(data, size);
  // A run the budget cut short must also be one the model declines.
  Model model;
  Verdict verdict = Predict(data, size, model);
  Run one = RunOnce(data, size, 1, model, verdict);
  lastParallel = {false, false, Ending::kCompleted};
  if (IndexParses(data, size)) {
    Run parallel = RunOnce(data, size, kParallelThreads, model, verdict);
    lastParallel = {true, parallel.parallel, parallel.ending};
    Compare(one, parallel);
  }
  return one.ending;
}

} // namespace veskar_fuzz
