//===- tests/unit/shutdown_test.cpp - Stopping the child, cleaning up ---===//
//
// Over the recording layer: the removal requests (RemoveDirectoryTree), the
// tests of the directory (GetFileAttributesW) and the pauses (Sleep) that
// one call of StopChildAndCleanUp makes, and what it does to a child. The
// pauses are scripted to return at once; the log still shows each one.
//
//===----------------------------------------------------------------------===//
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/hold.h"
#include "launcher/state.h"
#include "platform/recording/recording.h"
#include "tests/unit/support.h"

using Calls = std::vector<std::string>;

namespace {

class ShutdownTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::ResetLauncherState();
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
  }
  void TearDown() override {
    veskar_recording::Reset();
    test::ResetLauncherState();
  }

  // Makes `path` the unpack directory.
  static void UnpackDirectory(const std::string &path) {
    std::u16string core = test::CorePath(path);
    std::copy(core.begin(), core.end() + 1, state.unpackDirectory);
    state.extractionStarted = true;
    state.unpackDirectoryOwned = true; // as the run that made it
  }

  static size_t Count(const char *name) {
    return veskar_recording::CallsTo(name).size();
  }

  // Starts `script` as a child and makes it the launcher's child; returns a
  // second handle to it for the test.
  HANDLE StartChild(const std::string &script) {
    std::string path = scratch_ / "child.sh";
    test::WriteBytes(path, "#!/bin/sh\n" + script + "\n");
    chmod(path.c_str(), 0700);
    std::u16string core = test::CorePath(path);
    PROCESS_INFORMATION info = {};
    EXPECT_TRUE(CreateProcessW(core.c_str(), nullptr, nullptr, nullptr, FALSE,
                               0, nullptr, nullptr, nullptr, &info));
    CloseHandle(info.hThread);
    HANDLE mine = nullptr;
    DuplicateHandle(GetCurrentProcess(), info.hProcess, GetCurrentProcess(),
                    &mine, 0, FALSE, DUPLICATE_SAME_ACCESS);
    state.childProcess = info.hProcess;
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
    return mine;
  }

  test::ScratchDir scratch_;
};

TEST_F(ShutdownTest, WithNoChildAndNothingExtractedItDoesNothing) {
  StopChildAndCleanUp();
  EXPECT_EQ(veskar_recording::Calls(), Calls{});
}

TEST_F(ShutdownTest, TheRemovalIsRetriedWhileTheDirectoryStaysADirectory) {
  const std::string directory = scratch_ / "onefile_1_2";
  struct {
    const char *what;
    std::function<void()> arrange;
    size_t requests, tests, pauses;
    bool directoryLeft;
  } const kCases[] = {
      {"a removable directory",
       [&] {
         test::MakeDirectories(directory + "/sub");
         test::WriteBytes(directory + "/sub/f", "f");
       },
       1, 1, 0, false},
      {"no directory at all", [] {}, 1, 1, 0, false},
      {"a directory that is never removed",
       [&] {
         test::MakeDirectories(directory);
         veskar_recording::ScriptAlways("RemoveDirectoryTree", FALSE);
       },
       21, 20, 20, true},
      {"a directory that goes on the third request",
       [&] {
         test::MakeDirectories(directory);
         veskar_recording::Script("RemoveDirectoryTree", FALSE);
         veskar_recording::Script("RemoveDirectoryTree", FALSE);
       },
       3, 3, 2, false},
      // Only a directory counts as still there.
      {"a plain file in its place",
       [&] {
         test::WriteBytes(directory, "not a directory");
         veskar_recording::ScriptAlways("RemoveDirectoryTree", FALSE);
       },
       1, 1, 0, false},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    UnpackDirectory(directory);
    c.arrange();
    StopChildAndCleanUp();
    EXPECT_EQ(Count("RemoveDirectoryTree"), c.requests);
    EXPECT_EQ(Count("GetFileAttributesW"), c.tests);
    EXPECT_EQ(veskar_recording::CallsTo("Sleep"), Calls(c.pauses, "Sleep 100"));
    EXPECT_EQ(test::IsDirectory(directory), c.directoryLeft);

    // Each request and test names the unpack directory, and the last
    // request of a full round is not followed by a test.
    const std::string core = test::Utf8(test::CorePath(directory));
    Calls calls = veskar_recording::Calls();
    for (const std::string &call : calls) {
      if (call.rfind("Sleep", 0) != 0) {
        EXPECT_EQ(call.substr(call.find(' ') + 1), core);
      }
    }
    if (c.requests == 21) {
      EXPECT_EQ(calls.back().rfind("RemoveDirectoryTree", 0), 0u);
    }

    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
    test::RemoveAll(directory);
  }
}

TEST_F(ShutdownTest, TheOrderIsRequestTestPause) {
  const std::string directory = scratch_ / "d";
  test::MakeDirectories(directory);
  UnpackDirectory(directory);
  veskar_recording::Script("RemoveDirectoryTree", FALSE);
  veskar_recording::Script("RemoveDirectoryTree", FALSE);
  StopChildAndCleanUp();
  const std::string d = test::Utf8(test::CorePath(directory));
  EXPECT_EQ(
      veskar_recording::Calls(),
      (Calls{"RemoveDirectoryTree " + d, "GetFileAttributesW " + d, "Sleep 100",
             "RemoveDirectoryTree " + d, "GetFileAttributesW " + d, "Sleep 100",
             "RemoveDirectoryTree " + d, "GetFileAttributesW " + d}));
}

// Windows removes no directory while a handle on it is open: the run's
// own hold is closed first, and once, whichever thread (the main thread or
// the console control thread) gets there, and however often it is called.
// A removal that is not the run's own (a directory it did not make) closes
// nothing.
TEST_F(ShutdownTest, TheRunsHoldIsClosedBeforeItsOwnRemovalAndOnlyOnce) {
  const std::string directory = scratch_ / "onefile_1_2";
  const std::string d = test::Utf8(test::CorePath(directory));
  test::MakeDirectories(directory + "/sub");
  UnpackDirectory(directory);
  HANDLE hold = nullptr, lock = nullptr;
  ASSERT_EQ(TakeDirectoryHold(state.unpackDirectory, &hold, &lock),
            kHoldTaken);
  state.unpackDirectoryHold = hold;
  // The calls after the hold's own.
  const size_t held = veskar_recording::Calls().size();
  auto since = [held] {
    Calls calls = veskar_recording::Calls();
    return Calls(calls.begin() + held, calls.end());
  };

  state.unpackDirectoryOwned = false;
  StopChildAndCleanUp();
  EXPECT_EQ(since(), Calls{});
  EXPECT_EQ(state.unpackDirectoryHold, hold);

  state.unpackDirectoryOwned = true;
  StopChildAndCleanUp();
  StopChildAndCleanUp();
  EXPECT_EQ(since(),
            (Calls{"CloseHandle " + d, "RemoveDirectoryTree " + d,
                   "GetFileAttributesW " + d, "RemoveDirectoryTree " + d,
                   "GetFileAttributesW " + d}));
  EXPECT_EQ(state.unpackDirectoryHold, nullptr);
  EXPECT_FALSE(test::Exists(directory));
}

// The run removes the directory it made, known by its file id: one that
// was moved away during the child's life, and whatever was put at its path
// meanwhile (a user's directory, a link, a file), stay as they are; and the
// removal is not retried for them. The run's own directory, still in
// place, goes (the control).
TEST_F(ShutdownTest, OnlyTheDirectoryTheRunMadeIsRemoved) {
  const std::string directory = scratch_ / "onefile_1_2";
  const std::string moved = scratch_ / "moved-away";
  const std::string users = scratch_ / "users";
  const struct {
    const char *what;
    // What is put at the directory's path once it is moved away; null for
    // the control, in which nothing moves.
    std::function<void()> replace;
  } kCases[] = {
      {"still in place", nullptr},
      {"another directory with a user's file",
       [&] {
         test::MakeDirectories(directory);
         test::WriteBytes(directory + "/mine.txt", "the user's");
       }},
      {"a link to a user's directory",
       [&] { ASSERT_EQ(symlink(users.c_str(), directory.c_str()), 0); }},
      {"a user's file", [&] { test::WriteBytes(directory, "the user's"); }},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::ResetLauncherState();
    test::MakeDirectories(users);
    test::WriteBytes(users + "/mine.txt", "the user's");
    test::MakeDirectories(directory + "/sub");
    test::WriteBytes(directory + "/sub/f", "f");
    UnpackDirectory(directory);
    // As the run takes its hold and reads what it holds
    // (launcher/unpack.cpp).
    HANDLE hold = nullptr, lock = nullptr;
    ASSERT_EQ(TakeDirectoryHold(state.unpackDirectory, &hold, &lock),
              kHoldTaken);
    state.unpackDirectoryHold = hold;
    state.unpackDirectoryLock = lock;
    RememberUnpackDirectory(hold);
    ASSERT_TRUE(state.unpackDirectoryIdentified);
    auto before = test::ListTree(scratch_.path());
    if (c.replace) {
      ASSERT_EQ(rename(directory.c_str(), moved.c_str()), 0);
      c.replace();
      before = test::ListTree(scratch_.path());
    }
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
    StopChildAndCleanUp();
    if (c.replace) {
      EXPECT_EQ(test::ListTree(scratch_.path()), before);
      EXPECT_EQ(Count("RemoveDirectoryTree"), 1u);
      EXPECT_EQ(Count("Sleep"), 0u);
    } else {
      EXPECT_FALSE(test::Exists(directory));
      EXPECT_EQ(test::ListTree(users), (std::map<std::string, std::string>{
                                           {"mine.txt", "the user's"}}));
    }
    unlink(directory.c_str());
    test::RemoveAll(directory);
    test::RemoveAll(moved);
    test::RemoveAll(users);
  }
}

TEST_F(ShutdownTest, ACallAfterTheRemovalTriesAgain) {
  const std::string directory = scratch_ / "d";
  test::MakeDirectories(directory);
  UnpackDirectory(directory);
  StopChildAndCleanUp();
  // The directory is back (a late writer, another event): the next call
  // removes it again.
  ASSERT_FALSE(test::Exists(directory));
  test::MakeDirectories(directory + "/late");
  StopChildAndCleanUp();
  EXPECT_EQ(Count("RemoveDirectoryTree"), 2u);
  EXPECT_EQ(Count("GetFileAttributesW"), 2u);
  EXPECT_FALSE(test::Exists(directory));
}

TEST_F(ShutdownTest, AChildThatEndsInTimeKeepsItsExitCode) {
  HANDLE child = StartChild("sleep 0.2; exit 7");
  StopChildAndCleanUp();
  EXPECT_EQ(veskar_recording::Calls(),
            (Calls{"WaitForSingleObject 5000", "CloseHandle"}));
  EXPECT_EQ((HANDLE)state.childProcess, nullptr);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(child);
}

TEST_F(ShutdownTest, AChildStillRunningAfterTheWaitIsEnded) {
  for (DWORD wait : {(DWORD)WAIT_TIMEOUT, (DWORD)WAIT_FAILED}) {
    SCOPED_TRACE(wait);
    HANDLE child = StartChild("exec sleep 60");
    // The wait's answer is scripted: the test does not sit out 5 seconds.
    veskar_recording::Script("WaitForSingleObject", wait);
    std::string directory = scratch_ / "d";
    test::MakeDirectories(directory);
    UnpackDirectory(directory);
    StopChildAndCleanUp();
    const std::string d = test::Utf8(test::CorePath(directory));
    EXPECT_EQ(
        veskar_recording::Calls(),
        (Calls{"WaitForSingleObject 5000", "TerminateProcess 0", "CloseHandle",
               "RemoveDirectoryTree " + d, "GetFileAttributesW " + d}));
    EXPECT_EQ((HANDLE)state.childProcess, nullptr);
    EXPECT_EQ(WaitForSingleObject(child, 5000), WAIT_OBJECT_0);
    CloseHandle(child);
  }
}

// Windows ends a process about 5 s after a close, log-off or shut-down
// event: while one is handled, the child's grace and the removal's retries
// are shorter, so that the removal still comes within that time. The end of
// a run and the events without a deadline keep the full bounds.
TEST_F(ShutdownTest, AnEventWithADeadlineShortensTheGraceAndTheRetries) {
  const struct {
    const char *what;
    bool timed;
    const char *grace;
    size_t requests;
  } kCases[] = {
      {"no deadline", false, "WaitForSingleObject 5000", 21},
      {"a close, log-off or shut-down event", true, "WaitForSingleObject 2000",
       11},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::ResetLauncherState();
    HANDLE child = StartChild("exec sleep 60");
    state.console.timedEvent = c.timed;
    veskar_recording::Script("WaitForSingleObject", WAIT_TIMEOUT);
    std::string directory = scratch_ / "d";
    test::MakeDirectories(directory);
    UnpackDirectory(directory);
    veskar_recording::ScriptAlways("RemoveDirectoryTree", FALSE);
    StopChildAndCleanUp();
    Calls calls = veskar_recording::Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 3),
              (Calls{c.grace, "TerminateProcess 0", "CloseHandle"}));
    EXPECT_EQ(Count("RemoveDirectoryTree"), c.requests);
    EXPECT_EQ(veskar_recording::CallsTo("Sleep"),
              Calls(c.requests - 1, "Sleep 100"));
    EXPECT_EQ(WaitForSingleObject(child, 5000), WAIT_OBJECT_0);
    CloseHandle(child);
    test::RemoveAll(directory);
  }
}

} // namespace
