//===- packer/cli/cmd_build.cpp - veskar-pack build and attach ------------===//
//
// Both commands check everything they can before writing a byte: the
// options, the stub and resources, the input, the output's place and the
// size limit. Only then is the output written, under a temporary name,
// and renamed into place once complete.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <chrono>

#include "packer/archive/app_tree.h"
#include "packer/archive/archive.h"
#include "packer/cli/commands.h"
#include "packer/cli/depfile.h"
#include "packer/package/cache_values.h"
#include "packer/package/embedded.h"
#include "packer/failure.h"
#include "packer/os/file_io.h"
#include "packer/os/fs.h"
#include "packer/os/output_file.h"
#include "packer/package/package.h"
#include "packer/cli/progress.h"
#include "packer/string_codec.h"

namespace veskar {

namespace {

const int kDefaultLevel = 3;
const int kMaxLevel = 22;
// What --best stands for: the smallest output the launcher reads.
const int kBestLevel = 22;
const int kMaxThreads = 200;
// Enough digits for every limit above, few enough that no sum overflows.
const size_t kMaxDigits = 4;
// The output is a program: executable by all, less the umask.
const unsigned kOutputMode = 0777;
// A container alone is data.
const unsigned kContainerMode = 0666;
// attach copies the container this many bytes at a time.
const size_t kCopyChunk = 1 << 20;

std::string Value(const CommandLine &line, const std::string &name,
                  const std::string &otherwise = std::string()) {
  auto found = line.values.find(name);
  return found == line.values.end() ? otherwise : found->second;
}

bool ParseNumber(const std::string &text, int low, int high, int *value) {
  if (text.empty() || text.size() > kMaxDigits)
    return false;
  int result = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    result = result * 10 + (c - '0');
  }
  if (result < low || result > high)
    return false;
  *value = result;
  return true;
}

std::string BaseName(const std::string &path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && fs::IsSeparator(trimmed.back()))
    trimmed.pop_back();
  size_t slash = fs::LastSeparator(trimmed);
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// The options that shape the executable around the container.
const char *const kExecutableOptions[] = {
    "--icon",        "--company",         "--product",    "--version",
    "--description", "--copyright",       "--unpack-dir", "--cache-dir",
    "--cache-check", "--progress-window", "--error-box"};

// The options shared by build and attach. Gives kExitOk, or the status to
// end with after the message has been printed.
int ReadImageOptions(const CommandLine &line, ImageOptions *options) {
  if (line.flags.count("--container-only") != 0)
    for (const char *name : kExecutableOptions)
      if (line.values.count(name) != 0 || line.flags.count(name) != 0)
        return UsageError(line.command,
                          std::string(name) +
                              " shapes the executable, and --container-only "
                              "writes none; give it to attach");
  std::string target = Value(line, "--target", "windows");
  if (target == "windows") {
    options->target = Target::kWindows;
  } else if (target == "linux") {
    options->target = Target::kLinux;
    for (const char *name : {"--icon", "--description", "--copyright"})
      if (line.values.count(name) != 0)
        return UsageError(line.command,
                          std::string(name) +
                              " applies to --target windows only");
    for (const char *name : {"--progress-window", "--error-box"})
      if (line.flags.count(name) != 0)
        return UsageError(line.command,
                          std::string(name) +
                              " applies to --target windows only: the Linux "
                              "launcher shows no window");
  } else {
    return UsageError(line.command, "--target must be windows or linux, not '" +
                                        target + "'");
  }
  if (line.flags.count("--progress-window") != 0)
    options->launcherOptions |= kOptionProgressWindow;
  if (line.flags.count("--error-box") != 0)
    options->launcherOptions |= kOptionErrorBox;
  options->iconPath = Value(line, "--icon");
  options->company = Value(line, "--company", options->company);
  options->product = Value(line, "--product", options->product);
  options->version = Value(line, "--version", options->version);
  options->description = Value(line, "--description");
  options->copyright = Value(line, "--copyright");
  options->outputName = BaseName(Value(line, "--output"));
  options->unpackTemplate = Value(line, "--unpack-dir");
  if (line.values.count("--unpack-dir") != 0 && options->unpackTemplate.empty())
    return UsageError(line.command, "--unpack-dir needs a template");
  if (line.values.count("--cache-dir") != 0) {
    if (line.values.count("--unpack-dir") != 0)
      return UsageError(line.command,
                        "--cache-dir and --unpack-dir cannot be combined");
    options->unpackTemplate = Value(line, "--cache-dir");
    if (options->unpackTemplate.empty())
      return UsageError(line.command, "--cache-dir needs a template");
    std::string check = Value(line, "--cache-check", "size");
    if (check == "size")
      options->unpackMode = kUnpackCacheSize;
    else if (check == "content")
      options->unpackMode = kUnpackCacheContent;
    else
      return UsageError(line.command,
                        "--cache-check must be size or content, not '" + check +
                            "'");
  } else if (line.values.count("--cache-check") != 0) {
    return UsageError(line.command,
                      "--cache-check applies to --cache-dir only");
  }
  if (line.values.count("--icon") != 0 && options->iconPath.empty())
    return UsageError(line.command, "--icon needs a file");
  return kExitOk;
}

// Whether a Linux launcher can start `file` as the main program: an ELF
// program of the launcher's own class and machine, or a script that names
// its interpreter ("#!"). Its mode says nothing: the launcher makes every
// file executable.
bool RunsOnLinux(const AppFile &file, std::string *error) {
  const size_t kElfClass = 4;    // 1: 32-bit, 2: 64-bit
  const size_t kElfMachine = 18; // two bytes, little-endian here
  const size_t kHeadSize = 20;
  uint8_t head[kHeadSize] = {};
  int fd;
  uint64_t size;
  if (!OpenRegularFile(file.path, "the main program", &fd, error, &size))
    return false;
  size_t have = (size_t)std::min<uint64_t>(size, kHeadSize);
  bool read = ReadAllAt(fd, head, have, 0);
  fs::Close(fd);
  if (!read)
    return Fail(error, "cannot read the main program '" + file.relative +
                           "': " + SystemError(errno));
  if (have >= 2 && head[0] == '#' && head[1] == '!')
    return true;
  EmbeddedData stub = LinuxLauncherStub();
  bool elf = have == kHeadSize && memcmp(head,
                                         "\x7f"
                                         "ELF",
                                         4) == 0;
  if (elf && head[kElfClass] == stub.data[kElfClass] &&
      memcmp(head + kElfMachine, stub.data + kElfMachine, 2) == 0)
    return true;
  std::string what =
      elf ? "a Linux program for another machine than the launcher's"
      : have >= 2 && head[0] == 'M' && head[1] == 'Z'
          ? "a Windows program"
          : "neither a Linux program nor a script starting with '#!'";
  return Fail(error, "the main program '" + file.relative +
                         "' cannot run on Linux: it is " + what +
                         "; name the program to start with --main, or "
                         "pack for --target windows");
}

// In a cache mode the cache directory keeps some names for itself: no
// record may carry one.
bool RefuseCacheReservedNames(const std::vector<ArchiveInput> &inputs,
                              std::string *error) {
  for (const ArchiveInput &input : inputs) {
    NameVerdict verdict = CheckCacheArchiveName(
        (const Utf16Unit *)input.name.data(), input.name.size(), kPosixNames);
    if (verdict.problem == kNameReservedForCache) {
      char reason[160];
      DescribeNameProblem(verdict, reason, sizeof reason);
      return Fail(error, "the name '" + NameToUtf8(input.name) + "' " + reason);
    }
  }
  return true;
}

// A cache-mode launcher ties its directory to this exact container (the
// `size` bytes at `start` of the executable being written to `fd`), and
// checks the directory's marker against what the records make.
bool StoreCacheMode(int fd, long long start, uint64_t size,
                    const ImageOptions &options,
                    const std::vector<ArchiveInput> &inputs,
                    std::string *reason) {
  if (options.unpackMode == kUnpackPerRun)
    return true;
  uint8_t digest[kPayloadDigestSize];
  EmbeddedData stub = options.target == Target::kWindows ? WindowsLauncherStub()
                                                         : LinuxLauncherStub();
  if (start < 0)
    return Fail(reason, OutputWriteError(errno));
  return DigestFileRange(fd, (uint64_t)start, size, digest, reason) &&
         StoreCacheValues(fd, stub.data, stub.size, digest, inputs, reason);
}

// Takes the records (name and size) of the container in `fd` for a cache
// mode, which needs them; the container must then be sound.
class RecordCollector : public RecordVisitor {
public:
  explicit RecordCollector(std::vector<ArchiveInput> *records)
      : records_(records) {}
  bool Begin(const std::u16string &name, uint64_t size) override {
    records_->push_back(ArchiveInput{name, std::string(), size});
    return false;
  }
  bool Data(const void *, size_t) override { return true; }
  bool End() override { return true; }

private:
  std::vector<ArchiveInput> *records_;
};

// Whether the output would land inside the application directory, where a
// later build would pack it.
bool OutputInside(const std::string &output, const std::string &root,
                  std::string *error) {
  size_t slash = fs::LastSeparator(output);
  std::string directory =
      slash == std::string::npos ? "." : output.substr(0, slash + 1);
  std::string place;
  if (!fs::Canonical(directory, &place)) {
    *error = "cannot write '" + output + "': " + SystemError(errno);
    return true;
  }
  if (place == root || LiesInside(place, root)) {
    *error = "the output '" + output +
             "' lies inside the application directory; write it elsewhere";
    return true;
  }
  return false;
}

// Writes the depfile of a package made from `tree` (and `icon`, when
// given) at `depfile`, whole or not at all.
bool WriteDepfile(const std::string &depfile, const std::string &output,
                  const AppTree &tree, const std::string &icon,
                  std::string *error) {
  std::string root = tree.root;
  if (root.empty() || !fs::IsSeparator(root.back()))
    root += "/";
  std::vector<std::string> inputs = {tree.root};
  for (const std::string &directory : tree.directories)
    inputs.push_back(root + directory);
  for (const AppFile &file : tree.files)
    inputs.push_back(root + file.relative);
  if (!icon.empty()) {
    std::string canonical;
    inputs.push_back(fs::Canonical(icon, &canonical) ? canonical : icon);
  }
  std::string text;
  if (!DepfileText(output, inputs, &text, error))
    return false;
  OutputFile file;
  const unsigned kDepfileMode = 0666;
  if (!file.Create(depfile, error))
    return false;
  if (!WriteAll(file.fd(), text.data(), text.size()))
    return Fail(error, "cannot write the depfile '" + depfile +
                           "': " + SystemError(errno));
  return file.Commit(kDepfileMode, error);
}

// " (310.5 KiB)": the size of the file just written, as the line that
// reports it shows it.
std::string WrittenSize(const std::string &output) {
  fs::Facts info;
  if (!fs::LookAt(output, true, &info))
    return std::string();
  return " (" + FormatSize(info.size) + ")";
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

} // namespace

int ReadThreads(const CommandLine &line, int defaultCap, int *threads) {
  int cpus = fs::ProcessorCount();
  *threads = cpus > defaultCap ? defaultCap : cpus;
  if (line.values.count("--threads") != 0 &&
      !ParseNumber(Value(line, "--threads"), 1, kMaxThreads, threads))
    return UsageError(line.command, "--threads must be a number from 1 to " +
                                        std::to_string(kMaxThreads));
  return kExitOk;
}

int RunBuild(const CommandLine &line) {
  auto start = std::chrono::steady_clock::now();
  ImageOptions options;
  int status = ReadImageOptions(line, &options);
  if (status != kExitOk)
    return status;
  int level = kDefaultLevel;
  bool best = line.flags.count("--best") != 0;
  if (best && line.values.count("--level") != 0)
    return UsageError(line.command, "--best and --level cannot be combined");
  if (line.values.count("--level") != 0 &&
      !ParseNumber(Value(line, "--level"), 1, kMaxLevel, &level))
    return UsageError(line.command, "--level must be a number from 1 to " +
                                        std::to_string(kMaxLevel));
  if (best)
    level = kBestLevel;
  int threads;
  status = ReadThreads(line, kMaxThreads, &threads);
  if (status != kExitOk)
    return status;
  const std::string &appDirectory = line.arguments[0];
  std::string output = Value(line, "--output");

  std::string error;
  // Only the container, for attach to make executables of later.
  bool containerOnly = line.flags.count("--container-only") != 0;
  PreparedImage image;
  if (!containerOnly && !image.Prepare(options, &error))
    return Report(kExitFailed, error);
  AppTree tree;
  if (!ScanAppDirectory(appDirectory, &tree, &error))
    return Report(kExitFailed, error);
  if (OutputInside(output, tree.root, &error))
    return Report(kExitFailed, error);
  size_t mainIndex;
  if (!ChooseMainFile(tree, options.target, Value(line, "--main"), &mainIndex,
                      &error))
    return Report(kExitFailed, error);
  if (options.target == Target::kLinux &&
      !RunsOnLinux(tree.files[mainIndex], &error))
    return Report(kExitFailed, error);
  std::vector<ArchiveInput> inputs;
  if (!MakeArchiveInputs(tree, mainIndex, options.target, &inputs, &error))
    return Report(kExitFailed, error);
  if (options.unpackMode != kUnpackPerRun &&
      !RefuseCacheReservedNames(inputs, &error))
    return Report(kExitFailed, error);
  for (const std::string &empty : tree.emptyDirectories)
    Report(0, "warning: the empty directory '" + empty +
                  "' is not carried (a package holds files only)");

  // The progress window's measure; a package without it keeps the stub's
  // bytes there.
  uint64_t fileBytes = 0;
  for (const ArchiveInput &input : inputs)
    fileBytes += input.size;
  if ((options.launcherOptions & kOptionProgressWindow) &&
      !image.SetFileBytes(fileBytes, &error))
    return Report(kExitFailed, error);

  uint64_t streamSize = ArchiveStreamSize(inputs);
  if (WorstContainerSize(streamSize) >
      (containerOnly ? kMaxContainerSize : image.MaxContainerSize()))
    return Report(kExitFailed, "the files and their names come to " +
                                   FormatSize(streamSize) +
                                   "; a package holds less than 4 GiB");

  OutputFile file;
  if (!file.Create(output, &error))
    return Report(kExitFailed, error);
  Progress progress(!line.quiet, "packing");
  CompressionOptions compression;
  compression.level = level;
  compression.longDistance = best || line.flags.count("--long") != 0;
  compression.threads = threads;
  compression.checksum = true;
  // Independent frames let a reader decode on several cores; long-distance
  // matching looks across the whole package, which frames would cut off.
  compression.frameInputLimit =
      compression.longDistance ? 0 : DefaultFrameInputLimit(level);
  uint64_t containerSize = 0;
  auto stream = [&](int fd, uint64_t *size, std::string *reason) {
    long long start = fs::Position(fd);
    bool ok = WriteContainer(
        inputs, compression, fd, size, reason,
        [&](uint64_t done, uint64_t total) { progress.Update(done, total); });
    containerSize = *size;
    return ok && StoreCacheMode(fd, start, *size, options, inputs, reason);
  };
  bool written = containerOnly
                     ? WriteContainer(inputs, compression, file.fd(),
                                      &containerSize, &error,
                                      [&](uint64_t done, uint64_t total) {
                                        progress.Update(done, total);
                                      })
                     : image.Write(stream, file.fd(), &error);
  progress.Finish();
  if (!written ||
      !file.Commit(containerOnly ? kContainerMode : kOutputMode, &error))
    return Report(kExitFailed, error);
  // After the package: a build that fails here has no depfile and so runs
  // again next time.
  if (line.values.count("--depfile") != 0 &&
      !WriteDepfile(Value(line, "--depfile"), output, tree, options.iconPath,
                    &error))
    return Report(kExitFailed, error);

  if (!line.quiet) {
    uint64_t bytes = 0;
    for (const ArchiveInput &input : inputs)
      bytes += input.size;
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f s", SecondsSince(start));
    fs::Print(stdout, "veskar-pack: wrote " + Shown(output) +
                          WrittenSize(output) + ": " +
                          CountFiles(inputs.size()) + ", " + FormatSize(bytes) +
                          " packed into " + FormatSize(containerSize) + " (" +
                          FormatPercent(containerSize, bytes) + ") in " +
                          seconds + "\n");
  }
  return kExitOk;
}

int RunAttach(const CommandLine &line) {
  ImageOptions options;
  int status = ReadImageOptions(line, &options);
  if (status != kExitOk)
    return status;
  const std::string &containerPath = line.arguments[0];
  std::string output = Value(line, "--output");
  std::string error;
  PreparedImage image;
  if (!image.Prepare(options, &error))
    return Report(kExitFailed, error);

  int in;
  uint64_t size;
  if (!OpenRegularFile(containerPath, "the container", &in, &error, &size))
    return Report(kExitFailed, error);
  if (size > image.MaxContainerSize()) {
    fs::Close(in);
    return Report(kExitFailed, "the container is " + FormatSize(size) +
                                   "; a package holds less than 4 GiB");
  }
  // A cache mode needs the records, and the progress window their bytes,
  // so the container is then read whole first.
  std::vector<ArchiveInput> records;
  bool window = (options.launcherOptions & kOptionProgressWindow) != 0;
  if (options.unpackMode != kUnpackPerRun || window) {
    RecordCollector collector(&records);
    std::string reason;
    bool sound = ReadContainer(in, 0, size, collector, &reason);
    if (sound && records.empty())
      reason = "it holds no files", sound = false;
    if (sound && options.unpackMode != kUnpackPerRun)
      sound = RefuseCacheReservedNames(records, &reason);
    uint64_t fileBytes = 0;
    for (const ArchiveInput &record : records)
      fileBytes += record.size;
    if (sound && window)
      sound = image.SetFileBytes(fileBytes, &reason);
    if (!sound) {
      fs::Close(in);
      return Report(kExitFailed, "the container '" + containerPath +
                                     "' cannot be used with " +
                                     (options.unpackMode != kUnpackPerRun
                                          ? "--cache-dir"
                                          : "--progress-window") +
                                     ": " + reason);
    }
  }

  OutputFile file;
  if (!file.Create(output, &error)) {
    fs::Close(in);
    return Report(kExitFailed, error);
  }
  Progress progress(!line.quiet, "attaching");
  auto stream = [&](int fd, uint64_t *written, std::string *reason) {
    long long start = fs::Position(fd);
    std::vector<uint8_t> chunk(kCopyChunk);
    uint64_t done = 0;
    while (done < size) {
      size_t want = (size_t)std::min<uint64_t>(chunk.size(), size - done);
      if (!ReadAllAt(in, chunk.data(), want, done)) {
        *reason = "cannot read the container '" + containerPath +
                  "': " + (errno != 0 ? SystemError(errno) : "it shrank");
        return false;
      }
      if (!WriteAll(fd, chunk.data(), want)) {
        *reason = OutputWriteError(errno);
        return false;
      }
      done += want;
      progress.Update(done, size);
    }
    *written = done;
    return StoreCacheMode(fd, start, done, options, records, reason);
  };
  bool ok = image.Write(stream, file.fd(), &error);
  fs::Close(in);
  progress.Finish();
  if (!ok || !file.Commit(kOutputMode, &error))
    return Report(kExitFailed, error);
  if (!line.quiet)
    fs::Print(stdout, "veskar-pack: wrote " + Shown(output) +
                          WrittenSize(output) + ": a container of " +
                          FormatSize(size) + " attached\n");
  return kExitOk;
}

} // namespace veskar
