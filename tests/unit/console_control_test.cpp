//===- tests/unit/console_control_test.cpp - Console events -------------===//
//
// Over the recording layer, with the pauses (Sleep) and, where the order
// of steps on one thread would leave them waiting to the end of their
// bounds, the waits on events scripted to return at once but still logged.
// OnConsoleControl for every control type: Wine delivers only Ctrl+C, and Linux
// signals stand for Ctrl+C, close and shut-down, so Ctrl+Break, log-off and the
// unlisted types are driven here directly. Then the protocol's transitions,
// called on one thread in the orders the two threads can meet in, and what each
// order makes the handler and the main thread wait for.
//
//===----------------------------------------------------------------------===//
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/console.h"
#include "launcher/state.h"
#include "platform/recording/recording.h"
#include "tests/unit/support.h"

using Calls = std::vector<std::string>;

namespace {

class ConsoleControlTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::ResetLauncherState();
    ASSERT_TRUE(CreateConsoleEvents());
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
    UnpackDirectoryWithAFile();
  }
  void TearDown() override {
    veskar_recording::Reset();
    test::ResetLauncherState();
  }

  void UnpackDirectoryWithAFile() {
    test::MakeDirectories(directory_);
    test::WriteBytes(directory_ + "/file.txt", "x");
    std::u16string core = test::CorePath(directory_);
    std::copy(core.begin(), core.end() + 1, state.unpackDirectory);
    state.unpackDirectoryOwned = true; // as the run that made it
  }

  test::ScratchDir scratch_;
  std::string directory_ = scratch_ / "onefile_1_2";
};

class ControlTypeTest : public ConsoleControlTest,
                        public ::testing::WithParamInterface<DWORD> {
protected:
  void SetUp() override {
    ConsoleControlTest::SetUp();
    state.extractionStarted = true;
  }
};
class HandledTypeTest : public ControlTypeTest {};
class IgnoredTypeTest : public ControlTypeTest {};

// Ctrl+C, Ctrl+Break, close, log-off, shut-down: the directory goes, the
// event is marked as being handled (the main thread then leaves the ending
// to it, for 300 pauses of 100 ms), and the handler never claims the event,
// so the system's default handling ends the process.
TEST_P(HandledTypeTest, RemovesTheDirectoryAndLeavesTheEndingToTheSystem) {
  EXPECT_EQ(OnConsoleControl(GetParam()), FALSE);
  EXPECT_FALSE(test::Exists(directory_));
  EXPECT_EQ(veskar_recording::CallsTo("RemoveDirectoryTree").size(), 1u);
  veskar_recording::Reset();
  veskar_recording::ScriptAlways("Sleep", 0);
  AwaitConsoleEventEnding();
  EXPECT_EQ(veskar_recording::Calls(), Calls(300, "Sleep 100"));
}

INSTANTIATE_TEST_SUITE_P(Listed, HandledTypeTest,
                         ::testing::Values(CTRL_C_EVENT, CTRL_BREAK_EVENT,
                                           CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT,
                                           CTRL_SHUTDOWN_EVENT));

// Any other type does nothing at all: no call, the directory stays, and the
// main thread is not made to wait for an ending that will not come.
TEST_P(IgnoredTypeTest, DoesNothing) {
  EXPECT_EQ(OnConsoleControl(GetParam()), FALSE);
  EXPECT_TRUE(test::Exists(directory_ + "/file.txt"));
  AwaitConsoleEventEnding();
  EXPECT_EQ(veskar_recording::Calls(), Calls{});
}

INSTANTIATE_TEST_SUITE_P(Unlisted, IgnoredTypeTest,
                         ::testing::Values(3u, 4u, 7u, 0xFFFFFFFFu));

// One step of either thread.
enum Step {
  kBeginExtraction,
  kEndExtraction,
  kPause,      // the main thread between two writes
  kEvent,      // Ctrl+C reaches the handler
  kBeginChild, // the main thread is about to create the child
  kChildStarted,
  kAwaitEnding, // the main thread, done with its own work
};

Calls operator+(Calls a, const Calls &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(ConsoleControlTest, WhatEachSideWaitsForDependsOnTheOrder) {
  const std::string d = test::Utf8(test::CorePath(directory_));
  const Calls removal = {"RemoveDirectoryTree " + d, "GetFileAttributesW " + d};
  // The handler's wait for the main thread to stop writing: one wait on an
  // event, for at most 2 s (here it runs out at once). The main thread's
  // wait for the event's ending: 30 s in 100 ms pauses.
  const Calls parking = {"WaitForEvent 2000"};
  const Calls ending = Calls(300, "Sleep 100");
  const Calls childStopped = {"WaitForSingleObject 5000", "CloseHandle"};
  struct {
    const char *what;
    std::vector<Step> steps;
    Calls calls;
    bool directoryLeft;
  } const kCases[] = {
      {"an event before extraction has nothing to remove", {kEvent}, {}, true},
      {"an event while the main thread writes waits for it to stop",
       {kBeginExtraction, kEvent},
       parking + removal,
       false},
      {"an event after extraction removes at once",
       {kBeginExtraction, kEndExtraction, kEvent},
       removal,
       false},
      {"a pause before any event does not stop the writing",
       {kBeginExtraction, kPause, kEvent},
       parking + removal,
       false},
      {"without an event the main thread does not wait",
       {kBeginExtraction, kPause, kEndExtraction, kBeginChild, kChildStarted,
        kAwaitEnding},
       {},
       true},
      {"after an event the main thread waits at the end",
       {kEvent, kAwaitEnding},
       ending,
       true},
      {"an event while the child runs stops the published child",
       {kBeginExtraction, kEndExtraction, kBeginChild, kChildStarted, kEvent,
        kAwaitEnding},
       childStopped + removal + ending,
       false},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::ResetLauncherState();
    CreateConsoleEvents();
    UnpackDirectoryWithAFile();
    // A child that ends at once: the handler's wait for it returns.
    const std::u16string program = test::CorePath("/bin/true");
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(program.c_str(), nullptr, nullptr, nullptr,
                               FALSE, 0, nullptr, nullptr, nullptr, &child));
    CloseHandle(child.hThread);
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
    veskar_recording::ScriptAlways("WaitForEvent", WAIT_TIMEOUT);

    bool published = false;
    for (Step step : c.steps) {
      switch (step) {
      case kBeginExtraction:
        BeginExtraction();
        break;
      case kEndExtraction:
        EndExtraction();
        break;
      case kPause:
        PauseExtractionForConsoleEvent();
        break;
      case kEvent:
        OnConsoleControl(CTRL_C_EVENT);
        break;
      case kBeginChild:
        BeginChildStart();
        break;
      case kChildStarted:
        EndChildStart(child.hProcess);
        published = true;
        break;
      case kAwaitEnding:
        AwaitConsoleEventEnding();
        break;
      }
    }
    EXPECT_EQ(veskar_recording::Calls(), c.calls);
    EXPECT_EQ(test::IsDirectory(directory_), c.directoryLeft);

    // A handle the handler did not take is the test's to close.
    HANDLE left = TakeChildHandle();
    if (!published)
      left = child.hProcess;
    if (left != nullptr)
      CloseHandle(left);
  }
}

// The handler waits for a start of the child or for the writing to be
// over with one wait on an event, bounded by what the event may spend (a
// close, log-off or shut-down event on Windows has about 5 s in all), never
// with a loop of pauses. The step of the main thread's that ends what is
// under way signals the event, so the wait ends then, not at its bound.
TEST_F(ConsoleControlTest, TheHandlerWaitsOnAnEventWithADeadline) {
  const std::string d = test::Utf8(test::CorePath(directory_));
  const Calls removal = {"RemoveDirectoryTree " + d, "GetFileAttributesW " + d};
  const struct {
    const char *what;
    bool timed;
    bool writing; // or starting the child
    Calls calls;
  } kCases[] = {
      {"a start under way", false, false, {"WaitForEvent 5000"}},
      {"a start under way, with a deadline", true, false, {"WaitForEvent 500"}},
      {"writing under way", false, true, Calls{"WaitForEvent 2000"} + removal},
      {"writing under way, with a deadline", true, true,
       Calls{"WaitForEvent 1000"} + removal},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::ResetLauncherState();
    ASSERT_TRUE(CreateConsoleEvents());
    UnpackDirectoryWithAFile();
    state.console.timedEvent = c.timed;
    if (c.writing)
      BeginExtraction();
    else
      BeginChildStart();
    HANDLE awaited =
        c.writing ? state.console.writingStopped : state.console.childStartOver;
    veskar_recording::Reset();
    // Nothing ends what is under way here: the wait would run to its bound.
    veskar_recording::Script("WaitForEvent", WAIT_TIMEOUT);
    OnConsoleControl(CTRL_C_EVENT);
    EXPECT_EQ(veskar_recording::Calls(), c.calls);

    // What the handler waits on is not signalled while the main thread is
    // still at it, and is once the main thread's next step is taken.
    EXPECT_EQ(WaitForSingleObject(awaited, 0), (DWORD)WAIT_TIMEOUT);
    if (c.writing)
      EndExtraction();
    else
      EndChildStart(nullptr);
    EXPECT_EQ(WaitForSingleObject(awaited, 0), (DWORD)WAIT_OBJECT_0);
  }
}

// On Linux nothing ends the launcher after SIGHUP or SIGTERM, the close and
// shut-down events here: every event keeps the full bounds (5 s for the
// child, as for Ctrl+C).
TEST_F(ConsoleControlTest, OnLinuxEveryEventGivesTheChildItsFullGrace) {
  for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT,
                     CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
    SCOPED_TRACE(type);
    test::ResetLauncherState();
    ASSERT_TRUE(CreateConsoleEvents());
    const std::u16string program = test::CorePath("/bin/true");
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(program.c_str(), nullptr, nullptr, nullptr,
                               FALSE, 0, nullptr, nullptr, nullptr, &child));
    CloseHandle(child.hThread);
    BeginChildStart();
    EndChildStart(child.hProcess);
    veskar_recording::Reset();
    OnConsoleControl(type);
    EXPECT_EQ(veskar_recording::CallsTo("WaitForSingleObject"),
              Calls{"WaitForSingleObject 5000"});
  }
}

// Once an event is seen, the main thread waits for the event's handling to
// end the process; when that wait runs out, it ends the process itself as
// Ctrl+C would (on Linux: by SIGINT), and never goes back to writing files
// or to starting the child.
TEST_F(ConsoleControlTest, WhenTheWaitRunsOutTheMainThreadEndsAsCtrlCWould) {
  const struct {
    const char *what;
    void (*step)(void);
  } kCases[] = {
      {"between two writes", PauseExtractionForConsoleEvent},
      {"before starting the child", BeginChildStart},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::ResetLauncherState();
    CreateConsoleEvents();
    UnpackDirectoryWithAFile();
    test::Ending ending = test::RunInChild([&] {
      veskar_recording::ScriptAlways("Sleep", 0);
      veskar_recording::ScriptAlways("WaitForEvent", WAIT_TIMEOUT);
      BeginExtraction();
      OnConsoleControl(CTRL_C_EVENT);
      c.step();
      fputs("went on\n", stdout);
    });
    EXPECT_FALSE(ending.exited) << ending;
    EXPECT_EQ(ending.signal, SIGINT) << ending;
    EXPECT_EQ(ending.out, "");
    EXPECT_FALSE(test::IsDirectory(directory_));
  }
}

// Without its events the handler could only miss the child or remove a
// directory still being written: when one cannot be made, the run ends at
// once, before anything is written, as when the handler cannot be
// registered.
TEST_F(ConsoleControlTest, NoEventsEndTheRunAsAFailedRegistration) {
  for (int made = 0; made < 2; ++made) {
    SCOPED_TRACE(made);
    test::ResetLauncherState();
    test::Ending ending = test::RunInChild([&] {
      for (int i = 0; i < made; ++i)
        veskar_recording::Script("CreateEventW", 0x1000); // a stand-in
      veskar_recording::Script("CreateEventW", 0, ERROR_NOT_ENOUGH_MEMORY);
      RegisterConsoleControl();
      fputs("went on\n", stdout);
    });
    EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
    EXPECT_EQ(ending.out, "Error, failed to register signal handler.\n");
    EXPECT_TRUE(test::Exists(directory_ + "/file.txt"));
  }
}

} // namespace
