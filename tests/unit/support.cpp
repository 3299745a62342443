//===- tests/unit/support.cpp - Helpers shared by the unit tests --------===//
#include "tests/unit/support.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include <zstd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>

// The launcher meets a refused allocation (a window larger than the system
// gives) with its own message; under the sanitizer the allocation must be
// refused as the system would refuse it, by a null, for the tests to see it.
extern "C" const char *__asan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

#include "launcher/console.h"
#include "launcher/state.h"
#include "packer/string_codec.h"
#include "payload/stream.h"

namespace fs = std::filesystem;

namespace test {

namespace {

std::string Rest(FILE *file) {
  std::string text;
  rewind(file);
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
    text.append(buffer, n);
  fclose(file);
  return text;
}

// The bytes the reader is pointed at; they must outlive the reading. They
// lie in shared memory, as a mapped file's bytes would: the readers hand
// pages they have decoded back to the system (VirtualUnlock), which keeps
// the bytes of a shared mapping, where it would zero those of the heap,
// and a reader that runs again after another has read them must find them.
struct HeldBytes {
  unsigned char *data = nullptr;
  size_t size = 0;
  size_t mapped = 0;
};

HeldBytes &HeldPayload() {
  static HeldBytes *held = new HeldBytes;
  return *held;
}

void HoldPayload(const std::string &bytes) {
  HeldBytes &held = HeldPayload();
  if (held.mapped != 0)
    munmap(held.data, held.mapped);
  held.mapped = bytes.size() + 1;
  void *map = mmap(nullptr, held.mapped, PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED)
    abort();
  held.data = (unsigned char *)map;
  held.size = bytes.size();
  memcpy(held.data, bytes.data(), bytes.size());
}

void AttachInput(size_t inputSize) {
  PayloadStream &stream = state.payload;
  const HeldBytes &held = HeldPayload();
  stream.readPosition = held.data + 3;
  stream.resourceSize = held.size;
  stream.decoder = ZSTD_createDCtx();
  stream.input.src = stream.readPosition;
  stream.input.size = inputSize;
  stream.input.pos = 0;
  stream.output.dst = malloc(kPayloadOutputSize);
  stream.output.size = 0;
  stream.output.pos = 0;
}

} // namespace

std::ostream &operator<<(std::ostream &stream, const Ending &ending) {
  if (ending.exited)
    stream << "exit status " << ending.status;
  else
    stream << "signal " << ending.signal << " (" << strsignal(ending.signal)
           << ")";
  return stream << ", stdout \"" << ending.out << "\", stderr \"" << ending.err
                << "\"";
}

Ending RunInChild(const std::function<void()> &body, unsigned seconds) {
  fflush(nullptr);
  FILE *out = tmpfile();
  FILE *err = tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
#if defined(__SANITIZE_ADDRESS__)
    // A fatal ending frees nothing by design (the system's error text
    // included): what the child allocates is not a leak.
    __lsan_disable();
#endif
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    alarm(seconds);
    body();
    fflush(nullptr);
    _exit(kReturned);
  }
  Ending ending;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) {
    ending.exited = true;
    ending.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    ending.signal = WTERMSIG(status);
  }
  ending.out = Rest(out);
  ending.err = Rest(err);
  return ending;
}

bool ExitedWith(const Ending &ending, int status) {
  return ending.exited && ending.status == status;
}

bool Aborted(const Ending &ending) {
  return !ending.exited && ending.signal == SIGABRT;
}

ScratchDir::ScratchDir() {
  // Memory-backed when the machine has it: directory creation on disk is
  // slow enough here to dominate the suite.
  const char *tmpdir = getenv("TMPDIR");
  for (const char *base : {(const char *)getenv("VESKAR_TEST_TMPDIR"),
                           "/dev/shm", tmpdir && tmpdir[0] ? tmpdir : "/tmp"}) {
    struct statvfs volume;
    // Tests start programs from their scratch directories.
    if (base == nullptr || statvfs(base, &volume) != 0 ||
        (volume.f_flag & ST_NOEXEC) != 0)
      continue;
    std::string pattern = std::string(base) + "/veskar-unit-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (mkdtemp(name.data()) != nullptr) {
      path_ = name.data();
      return;
    }
  }
  abort();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Directories a test left without write permission must go too.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored))
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                      ignored);
  fs::remove_all(path_, ignored);
}

std::u16string Utf16(const std::string &utf8) {
  std::u16string out;
  if (!veskar::Utf8ToUtf16(utf8, &out))
    abort(); // the tests' own text is well-formed
  return out;
}

std::string Utf8(const std::u16string &text) {
  return veskar::NameToUtf8(text);
}

std::string ShownPath(const std::u16string &core) {
  std::string shown = Utf8(core);
  std::replace(shown.begin(), shown.end(), '\\', '/');
  return shown;
}

std::u16string CorePath(const std::string &native) {
  std::u16string path = Utf16(native);
  for (char16_t &unit : path)
    if (unit == u'/')
      unit = u'\\';
  return path;
}

std::string ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
}

bool Exists(const std::string &path) {
  std::error_code ignored;
  return fs::symlink_status(path, ignored).type() != fs::file_type::not_found;
}

bool IsDirectory(const std::string &path) {
  std::error_code ignored;
  return fs::symlink_status(path, ignored).type() == fs::file_type::directory;
}

void RemoveAll(const std::string &path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

void MakeDirectories(const std::string &path) { fs::create_directories(path); }

std::map<std::string, std::string> ListTree(const std::string &root) {
  std::map<std::string, std::string> tree;
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(root, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    std::string relative = it->path().string().substr(root.size() + 1);
    if (it->is_directory() && !it->is_symlink())
      tree[relative + "/"] = "";
    else
      tree[relative] = it->is_regular_file() ? ReadBytes(it->path()) : "?";
  }
  return tree;
}

std::string SampleBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  static const char kText[] = "The quick brown fox jumps over the lazy dog. ";
  std::string bytes;
  bytes.reserve(size);
  while (bytes.size() < size) {
    size_t run = std::min<size_t>(size - bytes.size(), 1 + random() % 70000);
    if (random() % 2 == 0)
      for (size_t i = 0; i < run; ++i)
        bytes.push_back((char)random());
    else
      for (size_t i = 0; i < run; ++i)
        bytes.push_back(kText[i % (sizeof kText - 1)]);
  }
  return bytes;
}

void AttachPayload(const std::string &container) {
  HoldPayload(container);
  AttachInput(container.size() - 3);
}

void AttachFrames(const std::string &frames) {
  HoldPayload("VEY" + frames);
  AttachInput(frames.size());
}

void ResetLauncherState() {
  for (int i = 0; i < state.knownDirectoryCount; ++i)
    free(state.knownDirectories[i]);
  if (state.payload.decoder != nullptr || state.payload.output.dst != nullptr)
    ClosePayload();
  if (state.childJob != nullptr)
    CloseHandle(state.childJob);
  if (state.console.childStartOver != nullptr)
    CloseHandle(state.console.childStartOver);
  if (state.console.writingStopped != nullptr)
    CloseHandle(state.console.writingStopped);
  // The holds go with the run: a test's next run must be free to remove.
  if (state.unpackDirectoryHold != nullptr)
    CloseHandle(state.unpackDirectoryHold);
  if (state.cache.directoryHold != nullptr)
    CloseHandle(state.cache.directoryHold);
  if (state.unpackDirectoryLock != nullptr)
    CloseHandle(state.unpackDirectoryLock);
  if (state.cache.directoryLock != nullptr)
    CloseHandle(state.cache.directoryLock);
  free(state.cache.marker);
  free(state.cache.brokenFiles);
  memset((void *)&state, 0, sizeof state);
}

std::vector<std::string> HoldCalls(const std::string &core) {
  return {"CreateFileW " + core + " directory write share rwd",
          "GetFileInformationByHandle",
          "CreateFileW " + core + " directory query share rwd",
          "GetFileInformationByHandle", "CloseHandle " + core};
}

bool IsDecimal(const std::string &text) {
  if (text.empty() || text[0] == '0')
    return text == "0";
  return text.find_first_not_of("0123456789") == std::string::npos;
}

void SetEnv(const char *name, const char *value) {
  if (value == nullptr)
    unsetenv(name);
  else
    setenv(name, value, 1);
}

} // namespace test
