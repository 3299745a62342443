//===- packer/cli/cmd_walk.cpp - veskar-pack list, extract and verify -----===//
//
// All three read the container where the launcher would find it and check
// it as a whole (header, every frame and its checksum, every record, end
// marker, tail) while walking its records; they differ in what they do with
// each record.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <stdio.h>

#include <set>

#include "common/file_mode.h"
#include "common/text.h"
#include "packer/archive/archive.h"
#include "packer/archive/index_reader.h"
#include "packer/package/build_values.h"
#include "packer/cli/commands.h"
#include "packer/failure.h"
#include "packer/os/file_io.h"
#include "packer/os/fs.h"
#include "packer/package/locate.h"
#include "packer/archive/archive_names.h"
#include "packer/os/output_file.h"
#include "packer/cli/progress.h"

namespace veskar {

namespace {

// How far into a packed executable `list` looks for the build values: the
// launcher stub is a few hundred KiB.
const uint64_t kBuildValuesSearchLimit = 16 << 20;

// The directories extract creates, less the umask; its files get the one
// mode of extracted files (common/file_mode.h), as the Linux launcher's do.
const unsigned kDirectoryMode = 0755;

// An open packed executable and where its container lies.
class PackedFile {
public:
  ~PackedFile() {
    if (fd_ >= 0)
      fs::Close(fd_);
  }
  bool Open(const std::string &path, std::string *error) {
    uint64_t size;
    if (!OpenRegularFile(path, "", &fd_, error, &size))
      return false;
    std::string reason;
    if (!LocateContainer(fd_, size, &place_, &reason))
      return Fail(error, path + ": " + reason);
    return true;
  }
  int fd() const { return fd_; }
  const ContainerPlace &place() const { return place_; }

private:
  int fd_ = -1;
  ContainerPlace place_ = {};
};

// Counts records and bytes and checks every name; the base of the three
// commands' visitors.
class CountingVisitor : public RecordVisitor {
public:
  explicit CountingVisitor(bool windows)
      : windows_(windows), clashes_(windows) {}
  bool Begin(const std::u16string &name, uint64_t size) override {
    std::string relative, why;
    if (!ArchiveNameToPath(name, &relative, &why))
      return Stop(why);
    if (windows_ && !CheckName(name, kWindowsExactNames, &why))
      return Stop("the archive name '" + Shown(name) + "' " + why);
    NameClashFinder::Clash clash;
    if (!clashes_.Add(name, files_, &clash))
      return Stop(DescribeClash(clash, name, files_));
    ++files_;
    bytes_ += size;
    return OnBegin(name, relative, size);
  }
  bool Data(const void *, size_t) override {
    return Interrupted() ? Stop("interrupted") : true;
  }
  // A reason to stop found at the record's start ends the reading here.
  bool End() override { return reason_.empty(); }

  // The visitor's own reason for stopping, if it stopped.
  const std::string &reason() const { return reason_; }
  uint64_t files() const { return files_; }
  uint64_t bytes() const { return bytes_; }

protected:
  virtual bool OnBegin(const std::u16string &, const std::string &, uint64_t) {
    return false; // no data wanted; it is still decoded and checked
  }
  bool Stop(const std::string &reason) {
    reason_ = reason;
    return false;
  }

private:
  // Records are numbered from 1, in archive order as list shows them.
  static std::string DescribeClash(const NameClashFinder::Clash &clash,
                                   const std::u16string &name, size_t index) {
    std::string earlier = "'" + NameToUtf8(clash.earlierName) + "' (record " +
                          std::to_string(clash.earlier + 1) + ")";
    std::string current =
        "'" + NameToUtf8(name) + "' (record " + std::to_string(index + 1) + ")";
    switch (clash.kind) {
    case NameClashFinder::kSameName:
      return "the name '" + NameToUtf8(name) + "' occurs twice, in records " +
             std::to_string(clash.earlier + 1) + " and " +
             std::to_string(index + 1) +
             "; the launcher would keep only the last";
    case NameClashFinder::kCaseOnly:
      return "the names " + earlier + " and " + current +
             " differ only in case; Windows keeps one";
    case NameClashFinder::kShortName:
      return "the names " + earlier + " and " + current +
             " may be one file on Windows: " +
             (clash.earlierIsFile ? earlier : current) +
             " has the shape of the short name Windows makes for a longer "
             "name in its folder";
    case NameClashFinder::kFileAndDirectory:
      break;
    }
    const std::string &file = clash.earlierIsFile ? earlier : current;
    const std::string &user = clash.earlierIsFile ? current : earlier;
    return clash.caseOnly
               ? "the file " + file + " and the directory of " + user +
                     " differ only in case; Windows keeps one"
               : "the name " + file + " is also a directory in " + user;
  }

  bool windows_;
  NameClashFinder clashes_;
  uint64_t files_ = 0;
  uint64_t bytes_ = 0;
  std::string reason_;
};

// How a command reads the container.
enum class Reading {
  kWhole,   // decode every frame in order
  kByIndex, // by its index, decoding only what the visitor wants
  kVerify,  // decode every frame, several at once by the index
};

// The most threads verify decodes on by default: reading the package,
// not decoding, is the limit beyond that.
const int kVerifyThreads = 8;

// Reads the container through `visitor` as `reading` says (in order when
// it has no sound index); false with the reason printed. A warning says so
// when some content could not be checked.
bool ReadAll(const PackedFile &packed, CountingVisitor &visitor,
             const std::string &path, FrameFacts *seen = nullptr,
             Reading reading = Reading::kWhole, int threads = 1) {
  std::string error;
  FrameFacts frames;
  uint64_t offset = packed.place().offset, size = packed.place().size;
  IndexedRead read = IndexedRead::kNoIndex;
  if (reading == Reading::kByIndex)
    read = ReadByIndex(packed.fd(), offset, size, visitor, &error, &frames);
  else if (reading == Reading::kVerify)
    read = VerifyByIndex(packed.fd(), offset, size, threads, Interrupted,
                         visitor, &error, &frames);
  bool ok = read == IndexedRead::kNoIndex
                ? ReadContainer(packed.fd(), offset, size, visitor, &error,
                                &frames)
                : read == IndexedRead::kDone;
  if (!ok) {
    if (!visitor.reason().empty())
      error = visitor.reason();
    else if (Interrupted())
      error = "interrupted";
    else
      error = "the package is damaged: " + error;
    Report(kExitFailed, path + ": " + error);
    return false;
  }
  if (visitor.files() == 0) {
    Report(kExitFailed, path + ": the payload holds no files, so there is "
                               "no program to start");
    return false;
  }
  // The launcher runs such a container; whether its bytes are the ones
  // that were packed nobody can tell.
  if (frames.uncheckedFrames == 1)
    Report(0,
           "warning: " + path + ": the content could not be verified: frame " +
               std::to_string(frames.firstUnchecked) + " carries no checksum");
  else if (frames.uncheckedFrames > 1)
    Report(0, "warning: " + path + ": the content could not be verified: " +
                  std::to_string(frames.uncheckedFrames) + " of " +
                  std::to_string(frames.frames) +
                  " frames carry no checksum, the first frame " +
                  std::to_string(frames.firstUnchecked));
  // The launcher runs it without the index; nothing here can check it.
  if (frames.unknownIndex)
    Report(0, "warning: " + path +
                  ": the payload's index has a format this veskar-pack "
                  "does not know; it was not checked");
  if (seen != nullptr)
    *seen = frames;
  return true;
}

// A name as the target's system writes it: '/' between levels in a Linux
// package (the archive keeps '\').
std::u16string TargetName(const std::u16string &name, bool windows) {
  std::u16string shown = name;
  if (!windows)
    for (char16_t &unit : shown)
      if (unit == u'\\')
        unit = u'/';
  return shown;
}

// A JSON string: UTF-8, with '"', '\' and control characters escaped.
std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += (char)c;
    }
  }
  return out + "\"";
}

// Prints each record as text as it is read, or keeps it for the JSON
// object, which is printed only once the whole payload is known sound.
class ListingVisitor : public CountingVisitor {
public:
  ListingVisitor(bool windows, bool json)
      : CountingVisitor(windows), windows_(windows), json_(json) {}
  const std::string &records() const { return records_; }

protected:
  bool OnBegin(const std::u16string &name, const std::string &,
               uint64_t size) override {
    std::u16string shown = TargetName(name, windows_);
    if (json_) {
      records_ += std::string(records_.empty() ? "\n" : ",\n") +
                  "    {\"name\": " + JsonString(NameToUtf8(shown)) +
                  ", \"size\": " + std::to_string(size) + "}";
      return false;
    }
    char column[32];
    snprintf(column, sizeof column, "%14llu  ", (unsigned long long)size);
    fs::Print(stdout, column + Shown(shown) + "\n");
    return false;
  }

private:
  bool windows_;
  bool json_;
  std::string records_;
};

// The hex digits of the payload digest that name a cache directory's last
// level, as the launcher makes it.
std::string DigestLevel(const BuildValueStrings &values) {
  const size_t kDigestLevelBytes = 8;
  std::string level;
  for (size_t i = 0; i < kDigestLevelBytes; ++i) {
    level += HexDigit(values.payloadDigest[i] >> 4);
    level += HexDigit(values.payloadDigest[i]);
  }
  return level;
}

// The cache directory the launcher unpacks into: the template, then the
// digest level.
std::string CacheDirectory(const std::string &shownTemplate,
                           const BuildValueStrings &values, bool windows) {
  std::string directory = shownTemplate;
  char separator = windows ? '\\' : '/';
  while (!directory.empty() && directory.back() == separator)
    directory.pop_back();
  return directory + separator + DigestLevel(values);
}

// The archive name a user means by `name`: '\\' between levels, whichever
// separator they typed.
std::string ArchiveSpelling(const std::string &name) {
  std::string spelled = name;
  for (char &c : spelled)
    if (c == '/')
      c = '\\';
  return spelled;
}

class ExtractingVisitor : public CountingVisitor {
public:
  // `wanted`, when not empty, holds the archive names (in ArchiveSpelling)
  // of the only records to write; each one found is taken out of it.
  ExtractingVisitor(bool windows, const std::string &root,
                    std::set<std::string> *wanted)
      : CountingVisitor(windows), root_(root), wanted_(wanted),
        selecting_(!wanted->empty()) {}
  ~ExtractingVisitor() override {
    if (fd_ >= 0)
      fs::Close(fd_);
  }
  bool Data(const void *bytes, size_t count) override {
    if (Interrupted())
      return Stop("interrupted");
    if (!WriteAll(fd_, bytes, count))
      return Stop("cannot write '" + current_ + "': " + SystemError(errno));
    return true;
  }
  bool End() override {
    if (fd_ >= 0 && fs::Close(fd_) != 0) {
      fd_ = -1;
      return Stop("cannot write '" + current_ + "': " + SystemError(errno));
    }
    fd_ = -1;
    return CountingVisitor::End();
  }

  uint64_t writtenFiles() const { return writtenFiles_; }
  uint64_t writtenBytes() const { return writtenBytes_; }

protected:
  bool OnBegin(const std::u16string &name, const std::string &relative,
               uint64_t size) override {
    // The names must not clash, so each wanted one is one record.
    if (selecting_ && wanted_->erase(NameToUtf8(name)) == 0)
      return false; // not wanted: decoded and checked, not written
    ++writtenFiles_;
    writtenBytes_ += size;
    // Every level is made by us below a directory only we know, and never
    // through a link: the names were checked, and O_NOFOLLOW guards the
    // last level.
    for (size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', slash + 1)) {
      std::string directory = root_ + "/" + relative.substr(0, slash);
      fs::Facts info;
      if (!fs::MakeDirectory(directory, kDirectoryMode) &&
          !(errno == EEXIST && fs::LookAt(directory, false, &info) &&
            info.kind == fs::Kind::kDirectory))
        return Stop("the archive uses '" + relative.substr(0, slash) +
                    "' both as a file and as a directory");
    }
    current_ = relative;
    std::string path = root_ + "/" + relative;
    fd_ = fs::CreateForWriting(path, kExtractedFileMode);
    if (fd_ < 0)
      return Stop(errno == EISDIR ? "the archive uses '" + relative +
                                        "' both as a file and as a directory"
                                  : "cannot create '" + relative +
                                        "': " + SystemError(errno));
    return true;
  }

private:
  std::string root_;
  std::set<std::string> *wanted_;
  bool selecting_;
  uint64_t writtenFiles_ = 0;
  uint64_t writtenBytes_ = 0;
  std::string current_;
  int fd_ = -1;
};

} // namespace

int RunList(const CommandLine &line) {
  const std::string &path = line.arguments[0];
  bool json = line.flags.count("--json") != 0;
  PackedFile packed;
  std::string error;
  if (!packed.Open(path, &error))
    return Report(kExitFailed, error);
  bool windows = packed.place().windows;
  ListingVisitor visitor(windows, json);
  // The records as the index lists them, nothing decoded; verify decodes.
  if (!ReadAll(packed, visitor, path, nullptr, Reading::kByIndex))
    return kExitFailed;
  // The launcher's build values lie in front of the payload.
  std::vector<uint8_t> front(
      std::min<uint64_t>(packed.place().offset, kBuildValuesSearchLimit));
  BuildValueStrings values;
  bool known = ReadAllAt(packed.fd(), front.data(), front.size(), 0) &&
               ReadBuildValues(front.data(), front.size(), &values, &error);
  std::string shownTemplate =
      NameToUtf8(TargetName(values.unpackTemplate, windows));
  bool cache = values.unpackMode != kUnpackPerRun;
  const char *check =
      values.unpackMode == kUnpackCacheContent ? "content" : "size";
  const char *target = windows ? "windows" : "linux";
  if (json) {
    std::string text =
        "{\n  \"format\": 1,\n  \"target\": \"" + std::string(target) +
        "\",\n  \"records\": [" + visitor.records() +
        "\n  ],\n  \"files\": " + std::to_string(visitor.files()) +
        ",\n  \"bytes\": " + std::to_string(visitor.bytes()) +
        ",\n  \"compressed\": " + std::to_string(packed.place().size);
    if (known) {
      text += ",\n  \"company\": " + JsonString(NameToUtf8(values.company)) +
              ",\n  \"product\": " + JsonString(NameToUtf8(values.product)) +
              ",\n  \"version\": " + JsonString(NameToUtf8(values.version));
      if (cache)
        text += ",\n  \"cache_directory\": {\"template\": " +
                JsonString(shownTemplate) + ", \"check\": \"" + check +
                "\", \"digest_level\": \"" + DigestLevel(values) +
                "\", \"directory\": " +
                JsonString(CacheDirectory(shownTemplate, values, windows)) +
                "}";
      else
        text += ",\n  \"unpack_directory\": " + JsonString(shownTemplate);
      text += ",\n  \"progress_window\": " +
              std::string(values.launcherOptions & kOptionProgressWindow
                              ? "true"
                              : "false") +
              ",\n  \"error_box\": " +
              std::string(values.launcherOptions & kOptionErrorBox ? "true"
                                                                   : "false");
    }
    fs::Print(stdout, text + "\n}\n");
    return kExitOk;
  }
  fs::Print(stdout, CountFiles(visitor.files()) + ", " +
                        std::to_string(visitor.bytes()) + " bytes (" +
                        FormatSize(visitor.bytes()) + "), compressed into " +
                        std::to_string(packed.place().size) + " bytes (" +
                        FormatPercent(packed.place().size, visitor.bytes()) +
                        ")\n");
  fs::Print(stdout, std::string("target: ") + target + "\n");
  if (known) {
    if (!cache)
      fs::Print(stdout, "unpack directory: " + Shown(shownTemplate) + "\n");
    else
      fs::Print(stdout,
                "cache directory: " + Shown(shownTemplate) +
                    " (check: " + check + "), files in " +
                    Shown(CacheDirectory(shownTemplate, values, windows)) +
                    "\n");
    if (values.launcherOptions & kOptionProgressWindow)
      fs::Print(stdout, "shows: a progress window on a slow start\n");
    if (values.launcherOptions & kOptionErrorBox)
      fs::Print(stdout, "shows: an error box for a fatal error nobody reads\n");
  }
  return kExitOk;
}

int RunExtract(const CommandLine &line) {
  const std::string &path = line.arguments[0];
  const std::string &target = line.arguments[1];
  PackedFile packed;
  std::string error;
  if (!packed.Open(path, &error))
    return Report(kExitFailed, error);
  // The names asked for, as the archive spells them.
  std::set<std::string> wanted;
  for (size_t i = 2; i < line.arguments.size(); ++i)
    wanted.insert(ArchiveSpelling(line.arguments[i]));
  std::vector<std::string> asked(wanted.begin(), wanted.end());
  OutputDirectory directory;
  if (!directory.Create(target, &error))
    return Report(kExitFailed, error);
  {
    ExtractingVisitor visitor(packed.place().windows, directory.path(),
                              &wanted);
    // Named files are decoded from the frames that hold them alone.
    if (!ReadAll(packed, visitor, path, nullptr,
                 asked.empty() ? Reading::kWhole : Reading::kByIndex))
      return kExitFailed; // the directory's destructor removes the files
    // Nothing is kept when a name is not in the package: the user asked
    // for something else than what they would get.
    if (!wanted.empty()) {
      std::string shown = *wanted.begin();
      if (!packed.place().windows)
        for (char &c : shown)
          if (c == '\\')
            c = '/';
      return Report(kExitFailed, path + ": the package holds no file '" +
                                     shown +
                                     "' (names are exact; list shows them)");
    }
    if (!directory.Commit(&error))
      return Report(kExitFailed, error);
    if (!line.quiet)
      fs::Print(stdout, "veskar-pack: extracted " +
                            (asked.empty()
                                 ? CountFiles(visitor.files())
                                 : CountFiles(visitor.writtenFiles()) + " of " +
                                       std::to_string(visitor.files())) +
                            " (" + FormatSize(visitor.writtenBytes()) +
                            ") into " + Shown(target) + "\n");
  }
  return kExitOk;
}

int RunVerify(const CommandLine &line) {
  const std::string &path = line.arguments[0];
  int threads;
  int status = ReadThreads(line, kVerifyThreads, &threads);
  if (status != kExitOk)
    return status;
  PackedFile packed;
  std::string error;
  if (!packed.Open(path, &error))
    return Report(kExitFailed, error);
  CountingVisitor visitor(packed.place().windows);
  FrameFacts frames;
  if (!ReadAll(packed, visitor, path, &frames, Reading::kVerify, threads))
    return kExitFailed;
  if (!line.quiet)
    fs::Print(stdout, "veskar-pack: " + Shown(path) + " is sound" +
                          (frames.uncheckedFrames == 0
                               ? ""
                               : " apart from its unchecked content") +
                          ": " + CountFiles(visitor.files()) + ", " +
                          FormatSize(visitor.bytes()) + ", in a container of " +
                          FormatSize(packed.place().size) + "\n");
  return kExitOk;
}

} // namespace veskar
