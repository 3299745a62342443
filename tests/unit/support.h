//===- tests/unit/support.h - Helpers shared by the unit tests ----------===//
//
// Running code that ends the process in a forked child and looking at how it
// ended; scratch directories; putting containers built in memory (by
// tests/support/test_container.h) in front of the launcher's stream reader;
// and putting the one LauncherState back to zero between tests.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/test_container.h"

namespace test {

// How a child process ended, with everything it wrote.
struct Ending {
  bool exited = false; // ended through exit(); `status` holds the code
  int status = -1;
  int signal = 0; // the signal that ended it, when not exited
  std::string out, err;
};
std::ostream &operator<<(std::ostream &stream, const Ending &ending);

// Runs `body` in a forked child with its standard output and error caught in
// files. A body that returns ends the child with kReturned; one still running
// after `seconds` is killed with SIGALRM.
enum { kReturned = 99 };
Ending RunInChild(const std::function<void()> &body, unsigned seconds = 20);

// The endings the launcher knows.
bool ExitedWith(const Ending &ending, int status);
bool Aborted(const Ending &ending);

// A fresh directory below $VESKAR_TEST_TMPDIR, /dev/shm, $TMPDIR or /tmp
// (the first that takes it), removed with all it holds when the object goes.
class ScratchDir {
public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &relative) const {
    return path_ + "/" + relative;
  }

private:
  std::string path_;
};

// Conversions between the native form (UTF-8 with '/') and the core's
// (UTF-16 with '\\').
std::u16string CorePath(const std::string &native);
// A core path as a message on Linux shows it: UTF-8, with '/'.
std::string ShownPath(const std::u16string &core);
std::string Utf8(const std::u16string &text);
std::u16string Utf16(const std::string &utf8);

// Files on disk.
std::string ReadBytes(const std::string &path);
void WriteBytes(const std::string &path, const std::string &bytes);
bool Exists(const std::string &path);
bool IsDirectory(const std::string &path);
void RemoveAll(const std::string &path);
void MakeDirectories(const std::string &path);
// Every entry below `root`, relative, directories with a trailing '/';
// regular files map to their bytes.
std::map<std::string, std::string> ListTree(const std::string &root);

// `size` bytes that are partly random and partly repeated text, so that a
// compressor makes both raw and compressed blocks of them.
std::string SampleBytes(size_t size, uint32_t seed);

// Puts the container in front of the stream reader as OpenPayload leaves it
// once the resource is found: input after the three header bytes, the output
// buffer empty. The bytes are kept until the next call.
void AttachPayload(const std::string &container);
// As AttachPayload, with an input window that is exactly `frames` and no
// tail behind it: the decoder can use up every input byte.
void AttachFrames(const std::string &frames);

// Frees what the last run left (known directories, the stream, the child's
// job, the console events) and zeroes LauncherState. A test of the
// console-event protocol makes the events itself (CreateConsoleEvents), as
// the launch sequence does before the handler can run.
void ResetLauncherState();

// The calls, as the recording layer logs them, of a run's hold on the
// directory `core` (a core path in UTF-8): the open that holds it, then the
// check that it is the directory at that path, still there, through a
// second handle that only looks.
std::vector<std::string> HoldCalls(const std::string &core);

// A decimal number without sign or leading zero.
bool IsDecimal(const std::string &text);

// Sets or, for nullptr, removes an environment variable.
void SetEnv(const char *name, const char *value);

} // namespace test
