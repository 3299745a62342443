//===- tests/unit/sweep_test.cpp - Removing what ended runs left behind --===//
//
// SweepLeftovers over the recording layer, which goes to the real POSIX
// layer unless a test scripts a result: leftovers are directories in a
// scratch folder, named for processes the tests start and end themselves,
// and the sweep's verdicts are read off what is left.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/hold.h"
#include "launcher/state.h"
#include "launcher/sweep.h"
#include "platform/recording/recording.h"
#include "tests/unit/support.h"

namespace fs = std::filesystem;
using Names = std::set<std::string>;

namespace {

const uint64_t kSecond = 10000000; // in {TIME}'s 100-ns ticks

std::string RunName(unsigned long long pid, unsigned long long time) {
  return "onefile_" + std::to_string(pid) + "_" + std::to_string(time);
}

uint64_t Now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

// A process id that no process holds any more: a child that has ended and
// been reaped.
pid_t EndedProcessId() {
  pid_t pid = fork();
  if (pid == 0)
    _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// A child that reads the clock as a launcher reads it for {TIME} and then
// waits; or, with `zombie`, ends and is not collected.
struct Child {
  pid_t pid = -1;
  uint64_t time = 0; // its {TIME}

  explicit Child(bool zombie = false) {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    pid = fork();
    if (pid == 0) {
      uint64_t now = Now();
      (void)!write(ends[1], &now, sizeof now);
      if (zombie)
        _exit(3);
      for (;;)
        pause();
    }
    close(ends[1]);
    EXPECT_EQ(read(ends[0], &time, sizeof time), (ssize_t)sizeof time);
    close(ends[0]);
    if (zombie) {
      siginfo_t info;
      waitid(P_PID, (id_t)pid, &info, WEXITED | WNOWAIT); // ended, kept
    }
  }
  ~Child() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

uint64_t Ticks(const FILETIME &time) {
  return ((uint64_t)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

// What the sweep asks of a process, from the POSIX layer itself.
TEST(ProcessQueryTest, CreationTimeAndEndingOfProcessesOpenedById) {
  const uint64_t beforeStart = Now();
  Child live;
  Child zombie(true);
  FILETIME created, exited, kernel, user;
  DWORD exitCode = 0;

  HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)live.pid);
  ASSERT_NE(process, nullptr);
  ASSERT_TRUE(GetProcessTimes(process, &created, &exited, &kernel, &user));
  // Created between the moment before the fork and the child's own first
  // reading of the clock, to the kernel's clock tick (10 ms at 100 Hz; two
  // allowed).
  EXPECT_LE(Ticks(created), live.time);
  EXPECT_GE(Ticks(created) + 2 * kSecond / 100, beforeStart);
  ASSERT_TRUE(GetExitCodeProcess(process, &exitCode));
  EXPECT_EQ(exitCode, (DWORD)STILL_ACTIVE);
  CloseHandle(process);

  process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)zombie.pid);
  ASSERT_NE(process, nullptr);
  ASSERT_TRUE(GetExitCodeProcess(process, &exitCode));
  EXPECT_EQ(exitCode, 3u);
  CloseHandle(process);

  SetLastError(0);
  EXPECT_EQ(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                        (DWORD)EndedProcessId()),
            nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

// What the POSIX layer gives for a hold beside a directory, as Windows
// gives it: a byte-range lock belongs to its handle, not to the process, so
// a second handle of the same process conflicts as another process's would;
// a lock goes with its handle. And what a file system says it is.
TEST(FileLockTest, ByteRangeLocksBelongToTheirHandle) {
  test::ScratchDir scratch;
  const std::u16string path = test::CorePath(scratch / "d.lock");
  auto open = [&] {
    return CreateFileW(path.c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
  };
  auto lock = [](HANDLE file, DWORD flags) {
    OVERLAPPED at = {};
    SetLastError(0);
    return LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY | flags, 0, 1, 0, &at)
               ? (DWORD)0
               : GetLastError();
  };
  HANDLE first = open(), second = open(), third = open();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(lock(first, 0), 0u);
  EXPECT_EQ(lock(second, 0), 0u);
  EXPECT_EQ(lock(third, LOCKFILE_EXCLUSIVE_LOCK),
            (DWORD)ERROR_LOCK_VIOLATION);
  CloseHandle(first);
  EXPECT_EQ(lock(third, LOCKFILE_EXCLUSIVE_LOCK),
            (DWORD)ERROR_LOCK_VIOLATION);
  CloseHandle(second);
  EXPECT_EQ(lock(third, LOCKFILE_EXCLUSIVE_LOCK), 0u);
  HANDLE fourth = open();
  EXPECT_EQ(lock(fourth, 0), (DWORD)ERROR_LOCK_VIOLATION);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(test::Exists(scratch / "d.lock"));
  CloseHandle(third);
  CloseHandle(fourth);

  HANDLE directory =
      CreateFileW(test::CorePath(scratch.path()).c_str(), 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(directory, INVALID_HANDLE_VALUE);
  WCHAR name[32] = {};
  BOOL remote = TRUE;
  ASSERT_TRUE(GetFileSystemKind(directory,
                                test::CorePath(scratch.path()).c_str(), name,
                                32, &remote));
  struct statfs info;
  ASSERT_EQ(statfs(scratch.path().c_str(), &info), 0);
  char expected[16];
  snprintf(expected, sizeof expected, "0x%x", (unsigned)info.f_type);
  EXPECT_EQ(test::Utf8(name), expected);
  EXPECT_FALSE(remote);
  CloseHandle(directory);
}

class SweepTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::ResetLauncherState();
    Quiet();
    // This run: the test process, with a {TIME} read now.
    BeOwn(RunName((unsigned long long)getpid(), Now()));
  }

  // Makes `name` this run's unpack directory.
  void BeOwn(const std::string &name) {
    own_ = name;
    Make(own_);
    test::WriteBytes(temp_ / own_ + "/app", "this run's files");
    std::u16string core = test::CorePath(temp_ / own_);
    std::copy(core.begin(), core.end() + 1, state.unpackDirectory);
  }
  void TearDown() override {
    veskar_recording::Reset();
    test::ResetLauncherState();
  }

  // Forgets the calls and scripts; the sweep's clock stands still, so that
  // only the tests of its budget depend on it.
  static void Quiet() {
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("GetTickCount64", 0);
  }

  void Make(const std::string &name) {
    test::MakeDirectories(temp_ / name + "/sub");
    test::WriteBytes(temp_ / name + "/sub/file", "left behind");
  }

  // What is in the folder after one sweep.
  Names Sweep() {
    SweepLeftovers();
    Names left;
    for (const auto &entry : fs::directory_iterator(temp_.path()))
      left.insert(entry.path().filename().string());
    return left;
  }

  test::ScratchDir temp_;
  std::string own_;
};

TEST_F(SweepTest, OnlyNamesTheTemplateMakesAreLeftovers) {
  // Every name here belongs to an ended process; only the exact form
  // "onefile_<pid>_<time>", as {PID} and {TIME} print, is taken.
  const unsigned long long ended = (unsigned long long)EndedProcessId();
  const std::string id = std::to_string(ended);
  const Names notOurs = {
      "onefile_x_2",
      "onefile_" + id + "_",
      "onefile__2",
      "onefile_" + id + "_2_3",
      "onefile_-" + id + "_2",
      "onefile_0" + id + "_2", // {PID} has no leading zero
      "onefile_" + id + "_02", // nor has {TIME}
      "onefile_0_2",
      "OneFile_" + id + "_2", // the launcher writes it in lower case
      "onefile_" + id + "_2 ",
      "onefile_" + id + "_1x2",
      "xonefile_" + id + "_2",
      "onefile_4294967296_2",                   // more than a process id holds
      "onefile_" + id + "_9223372036854775808", // more than {TIME} holds
  };
  for (const std::string &name : notOurs)
    Make(name);
  Make(RunName(ended, 2));
  Make(RunName(ended, 9223372036854775807ull));

  EXPECT_EQ(Sweep(), [&] {
    Names expected = notOurs;
    expected.insert(own_);
    return expected;
  }());
}

TEST_F(SweepTest, WhatIsNotPlainlyThisUsersDirectoryIsLeftAlone) {
  const unsigned long long ended = (unsigned long long)EndedProcessId();
  // This run's own directory, even under a name whose process has ended
  // (a fixed clock and id, another id space).
  test::RemoveAll(temp_ / own_);
  BeOwn(RunName(ended, 6));
  // A file named like ours.
  const std::string file = RunName(ended, 1);
  test::WriteBytes(temp_ / file, "a file");
  // A link named like ours, to a directory with something in it, and one
  // to nothing.
  const std::string link = RunName(ended, 2), dangling = RunName(ended, 3);
  test::MakeDirectories(temp_ / "elsewhere");
  test::WriteBytes(temp_ / "elsewhere/kept", "kept");
  ASSERT_EQ(symlink((temp_ / "elsewhere").c_str(), (temp_ / link).c_str()), 0);
  ASSERT_EQ(symlink((temp_ / "none").c_str(), (temp_ / dangling).c_str()), 0);
  Names expected = {own_, file, link, dangling, "elsewhere"};
  // A directory of another user.
  const std::string foreign = RunName(ended, 4);
  if (geteuid() == 0) {
    Make(foreign);
    ASSERT_EQ(chown((temp_ / foreign).c_str(), 65534, 65534), 0);
    expected.insert(foreign);
  }
  // The one leftover that goes.
  Make(RunName(ended, 5));

  EXPECT_EQ(Sweep(), expected);
  EXPECT_EQ(test::ReadBytes(temp_ / "elsewhere/kept"), "kept");
  EXPECT_EQ(test::ReadBytes(temp_ / link + "/kept"), "kept");
  EXPECT_EQ(test::ReadBytes(temp_ / own_ + "/app"), "this run's files");
  if (geteuid() == 0)
    EXPECT_EQ(test::ReadBytes(temp_ / foreign + "/sub/file"), "left behind");
  else
    GTEST_SKIP() << "not root: the other user's directory was not made";
}

TEST_F(SweepTest, ARunCountsAsEndedOnlyWhenItsProcessProvablyHas) {
  Child live;
  Child zombie(true);
  const unsigned long long ended = (unsigned long long)EndedProcessId();
  const unsigned long long self = (unsigned long long)getpid();
  struct {
    const char *what;
    std::string name;
    bool removed;
  } const kCases[] = {
      {"a live run", RunName(live.pid, live.time), false},
      {"a live run, its start a tick after its {TIME} as the clocks show it",
       RunName(live.pid, live.time - kSecond), false},
      {"a live run that started long before its {TIME} (a late exec)",
       RunName(live.pid, live.time + 3600 * kSecond), false},
      {"a live run whose {TIME} is 5 s before its creation (the clocks)",
       RunName(live.pid, live.time - 5 * kSecond), false},
      {"an ended run whose id a later process holds",
       RunName(live.pid, live.time - kSweepCreationSlack - 10 * kSecond), true},
      {"an ended run whose id this process holds now",
       RunName(self, live.time - 3600 * kSecond), true},
      {"an ended run whose process waits to be collected",
       RunName(zombie.pid, zombie.time), true},
      {"an ended run whose id no process holds", RunName(ended, live.time),
       true},
  };
  Names expected = {own_};
  for (const auto &c : kCases) {
    Make(c.name);
    if (!c.removed)
      expected.insert(c.name);
  }
  Names left = Sweep();
  for (const auto &c : kCases)
    EXPECT_EQ(left.count(c.name) == 0, c.removed) << c.what;
  EXPECT_EQ(left, expected);
}

TEST_F(SweepTest, AProcessThatCannotBeLookedAtCountsAsAlive) {
  // OpenProcess's failures: only "no such process" means the run ended.
  struct {
    DWORD error;
    bool removed;
  } const kCases[] = {
      {ERROR_INVALID_PARAMETER, true},
      {ERROR_ACCESS_DENIED, false},
      {ERROR_NOT_ENOUGH_MEMORY, false},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.error);
    const std::string leftover = RunName(1, 2);
    Make(leftover);
    veskar_recording::Script("OpenProcess", 0, c.error);
    Names left = Sweep();
    EXPECT_EQ(left.count(leftover) == 0, c.removed);
    EXPECT_EQ(veskar_recording::CallsTo("OpenProcess"),
              std::vector<std::string>{"OpenProcess 1"});
    Quiet();
    test::RemoveAll(temp_ / leftover);
  }
}

TEST_F(SweepTest, EachStartRemovesABoundedNumber) {
  // The numbers as written, not worked out from the constant: a changed
  // bound shows here.
  const unsigned long long ended = (unsigned long long)EndedProcessId();
  for (int i = 0; i < 12; ++i)
    Make(RunName(ended, 1000 + i));
  EXPECT_EQ(Sweep().size(), 1u + 4u); // this run's and 4 leftovers
  EXPECT_EQ(veskar_recording::CallsTo("RemoveDirectoryTree").size(), 8u);
  EXPECT_EQ(Sweep(), Names{own_});
}

// What proves that a run has ended is that nobody holds its directory: a
// process id and a clock can both lie. A run in another process-id
// namespace names an id that no process holds here; after the wall clock
// was set forward, a live run's process looks created long after its
// {TIME}. Both look ended by their names, and stay while held.
TEST_F(SweepTest, ALeftoverThatARunHoldsStaysWhateverItsNameSays) {
  Child live;
  const unsigned long long ended = (unsigned long long)EndedProcessId();
  struct {
    const char *what;
    std::string name;
  } const kCases[] = {
      {"a run in another process-id namespace", RunName(ended, live.time)},
      {"a live run after the wall clock was set forward 60 s",
       RunName(live.pid, live.time - 60 * kSecond)},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    Make(c.name);
    const std::string core = test::Utf8(test::CorePath(temp_ / c.name));
    HANDLE hold = nullptr, lock = nullptr;
    ASSERT_EQ(TakeDirectoryHold(test::CorePath(temp_ / c.name).c_str(), &hold,
                                &lock),
              kHoldTaken);
    Quiet();
    EXPECT_EQ(Sweep(), (Names{own_, c.name}));
    EXPECT_EQ(veskar_recording::CallsTo("RemoveDirectoryTree"),
              std::vector<std::string>{});
    EXPECT_EQ(test::ReadBytes(temp_ / c.name + "/sub/file"), "left behind");

    // Once its run has ended, whatever the way, the hold is gone and so is
    // the leftover: the proof is taken first and kept for the whole
    // removal (on Windows a handle that refuses to share write access,
    // which every hold has).
    CloseHandle(hold);
    Quiet();
    EXPECT_EQ(Sweep(), Names{own_});
    std::vector<std::string> calls;
    for (const std::string &call : veskar_recording::Calls())
      if (call.find(core) != std::string::npos)
        calls.push_back(call);
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "CreateFileW " + core + " directory list share rd",
                         "CreateFileW " + core + " directory query share rwd",
                         "CloseHandle " + core,
                         "GetFileSystemKind " + core,
                         "RemoveDirectoryTree " + core,
                         "CloseHandle " + core}));
  }
}

// A directory put at the path in place of the one opened is not the one
// held or proved: the identity of what was opened is compared with what the
// path names now, file id and all. The swap comes between the hold's (or
// the proof's) open and its look at the path: the directory moved away,
// another made at its name, with a user's file in it.
TEST_F(SweepTest, ADirectorySwappedInAfterTheOpenIsNeitherHeldNorRemoved) {
  const unsigned long long ended = (unsigned long long)EndedProcessId();
  const std::string name = RunName(ended, 7);
  const std::string path = temp_ / name;
  const std::string core = test::Utf8(test::CorePath(path));
  auto swapAtTheLook = [&] {
    veskar_recording::OnEachCall("CreateFileW", [&](const std::string &call) {
      if (call != "CreateFileW " + core + " directory query share rwd" ||
          test::Exists(path + ".moved"))
        return;
      ASSERT_EQ(rename(path.c_str(), (path + ".moved").c_str()), 0);
      test::MakeDirectories(path);
      test::WriteBytes(path + "/user's", "the user's");
    });
  };

  // A hold.
  Make(name);
  Quiet();
  swapAtTheLook();
  HANDLE hold = nullptr, lock = nullptr;
  EXPECT_EQ(TakeDirectoryHold(test::CorePath(path).c_str(), &hold, &lock),
            kHoldDirectoryGone);
  EXPECT_EQ(hold, nullptr);
  test::RemoveAll(path);
  test::RemoveAll(path + ".moved");

  // The sweep's proof: the leftover it opened has gone, and what is at its
  // name now is nobody's leftover.
  Make(name);
  Quiet();
  swapAtTheLook();
  EXPECT_EQ(Sweep(), (Names{own_, name, name + ".moved"}));
  EXPECT_EQ(test::ReadBytes(path + "/user's"), "the user's");
  EXPECT_EQ(veskar_recording::CallsTo("RemoveDirectoryTree"),
            std::vector<std::string>{});
}

// The proof of a directory stays taken for its whole removal, so no run
// can take a hold there meanwhile: a leftover's, and another build's cache
// directory that a run of the cache mode reclaims. Looked at from inside
// the removal: a hold (a shared flock on the directory) must be refused.
TEST_F(SweepTest, TheProofIsKeptForTheWholeRemoval) {
  const BuildValues saved = buildValues;
  buildValues.unpackMode = kUnpackCacheSize;
  // This run runs from its own cache directory, and holds it.
  const std::string ownLevel = "00000000000000aa";
  Make(ownLevel);
  std::u16string ownCache = test::CorePath(temp_ / ownLevel);
  std::copy(ownCache.begin(), ownCache.end() + 1, state.cache.directory);
  HANDLE ownHold = nullptr, ownLock = nullptr;
  ASSERT_EQ(TakeDirectoryHold(state.cache.directory, &ownHold, &ownLock),
            kHoldTaken);
  state.cache.directoryHold = ownHold;

  const unsigned long long ended = (unsigned long long)EndedProcessId();
  const std::string leftover = RunName(ended, 8);
  const std::string otherBuild = "0123456789abcdef";
  Make(leftover);
  Make(otherBuild);
  // The marker of a launcher that holds its directory.
  test::WriteBytes(temp_ / otherBuild + "/.onefile-marker",
                   std::string("VSKCACHE\x02\x00\x00\x00", 12));

  std::vector<std::string> heldDuringRemoval, removed;
  const std::string scratch = temp_.path();
  veskar_recording::OnEachCall(
      "RemoveDirectoryTree", [&](const std::string &call) {
        const std::string path = call.substr(call.rfind('\\') + 1);
        removed.push_back(path);
        int fd = open((scratch + "/" + path).c_str(), O_RDONLY | O_DIRECTORY);
        if (fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) != 0 &&
            errno == EWOULDBLOCK)
          heldDuringRemoval.push_back(path);
        if (fd >= 0)
          close(fd);
      });
  EXPECT_EQ(Sweep(), (Names{own_, ownLevel}));
  EXPECT_EQ(removed, (std::vector<std::string>{leftover, otherBuild}));
  EXPECT_EQ(heldDuringRemoval, removed);

  ReleaseHold(&state.cache.directoryHold);
  buildValues = saved;
}

// A leftover is removed only on a file system whose locks the kernel keeps
// for every process that can see it; where the system does not say what
// the file system is, or names none the launcher knows, nothing goes.
// (Network and FUSE mounts, which the system does name, are run for real
// by the launcher's own tests.)
TEST_F(SweepTest, NothingGoesWhereLocksMayNotHoldForEveryone) {
  const unsigned long long ended = (unsigned long long)EndedProcessId();
  struct {
    const char *what;
    bool scripted;
    uint64_t result;
    bool removed;
  } const kCases[] = {
      {"the system does not say", true, FALSE, false},
      {"a file system of no name the launcher knows", true, TRUE, false},
      {"the scratch folder's own", false, 0, true},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string leftover = RunName(ended, 9);
    Make(leftover);
    Quiet();
    if (c.scripted)
      veskar_recording::Script("GetFileSystemKind", c.result,
                               c.result ? 0 : ERROR_NOT_SUPPORTED);
    Names left = Sweep();
    EXPECT_EQ(left.count(leftover) == 0, c.removed);
    EXPECT_EQ(veskar_recording::CallsTo("GetFileSystemKind").size(), 1u);
    test::RemoveAll(temp_ / leftover);
  }
}

TEST_F(SweepTest, NothingNewBeginsOnceItsTimeIsUpOrAConsoleEventCame) {
  const unsigned long long ended = (unsigned long long)EndedProcessId();
  const std::string leftover = RunName(ended, 2);
  Make(leftover);
  // The clock as the sweep reads it: its start, then its budget used up.
  veskar_recording::Script("GetTickCount64", 5000);
  veskar_recording::ScriptAlways("GetTickCount64", 5000 + kSweepBudgetMs);
  EXPECT_EQ(Sweep(), (Names{own_, leftover}));
  EXPECT_EQ(veskar_recording::CallsTo("OpenProcess").size(), 0u);

  Quiet();
  state.console.eventSeen = 1;
  EXPECT_EQ(Sweep(), (Names{own_, leftover}));
  EXPECT_EQ(veskar_recording::CallsTo("OpenProcess").size(), 0u);

  state.console.eventSeen = 0;
  EXPECT_EQ(Sweep(), Names{own_});
}

TEST_F(SweepTest, AFolderThatCannotBeListedIsNoError) {
  veskar_recording::Script("FindFirstFileW", (uint64_t)(intptr_t)-1,
                           ERROR_ACCESS_DENIED);
  EXPECT_EQ(Sweep(), Names{own_});
  EXPECT_EQ(
      veskar_recording::CallsTo("FindFirstFileW"),
      std::vector<std::string>{
          "FindFirstFileW " + test::Utf8(test::CorePath(temp_ / "onefile_*"))});
}

} // namespace
