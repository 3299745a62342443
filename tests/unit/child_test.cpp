//===- tests/unit/child_test.cpp - Starting the child in its job --------===//
//
// Over the recording layer: the calls RunChild makes to put the child into
// a job that ends it with the launcher, in their order, and what it does
// when the system gives no job, refuses its limits or will not take the
// child. The child is a real one (a shell script); on Linux the job calls
// do nothing, so the script runs whatever the log shows.
//
//===----------------------------------------------------------------------===//
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/console.h"
#include "launcher/state.h"
#include "platform/recording/recording.h"
#include "tests/unit/support.h"

using Calls = std::vector<std::string>;

namespace {

// The calls the job and the child's start are made of, in the order made.
Calls StartCalls(void) {
  static const char *const kNames[] = {
      "CreateJobObjectW", "SetInformationJobObject",
      "CreateProcessW",   "AssignProcessToJobObject",
      "ResumeThread",     "TerminateProcess"};
  Calls found;
  for (const std::string &call : veskar_recording::Calls())
    for (const char *name : kNames)
      if (call.compare(0, strlen(name), name) == 0 &&
          (call.size() == strlen(name) || call[strlen(name)] == ' '))
        found.push_back(call);
  return found;
}

class ChildTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::ResetLauncherState();
    veskar_recording::Reset();
    // The child: a script that ends with 7.
    child_ = scratch_ / "child.sh";
    test::WriteBytes(child_, "#!/bin/sh\nexit 7\n");
    chmod(child_.c_str(), 0700);
    std::u16string core = test::CorePath(child_);
    std::copy(core.begin(), core.end() + 1, state.childExecutablePath);
  }
  void TearDown() override {
    veskar_recording::Reset();
    test::ResetLauncherState();
  }

  test::ScratchDir scratch_;
  std::string child_;
};

TEST_F(ChildTest, TheChildRunsInAJobOrAsBeforeWhenThereIsNone) {
  const std::string limits =
      "SetInformationJobObject " +
      std::to_string(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                     JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK);
  const std::string created =
      "CreateProcessW " + test::Utf8(test::CorePath(child_)) + " suspended";
  struct {
    const char *what;
    std::function<void()> arrange;
    Calls calls;
    bool jobKept;
    // The thread, the process and the published duplicate; and the job,
    // when it is dropped.
    size_t closes;
  } const kCases[] = {
      {"a job: made, limited, given the suspended child, which then runs",
       [] {},
       {"CreateJobObjectW", limits, created, "AssignProcessToJobObject",
        "ResumeThread"},
       true,
       3},
      {"no job: the child still runs",
       [] {
         veskar_recording::Script("CreateJobObjectW", 0, ERROR_ACCESS_DENIED);
       },
       {"CreateJobObjectW", created, "ResumeThread"},
       false,
       3},
      {"a job that refuses its limits is dropped",
       [] {
         veskar_recording::Script("SetInformationJobObject", FALSE,
                                  ERROR_ACCESS_DENIED);
       },
       {"CreateJobObjectW", limits, created, "ResumeThread"},
       false,
       4},
      // The launcher's own job allows no nested one (before Windows 8).
      {"a job that will not take the child: the child still runs",
       [] {
         veskar_recording::Script("AssignProcessToJobObject", FALSE,
                                  ERROR_ACCESS_DENIED);
       },
       {"CreateJobObjectW", limits, created, "AssignProcessToJobObject",
        "ResumeThread"},
       true,
       3},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    EXPECT_EQ(RunChild(), 7u);
    EXPECT_EQ(StartCalls(), c.calls);
    // The job stays open for the launcher's whole life.
    EXPECT_EQ(state.childJob != nullptr, c.jobKept);
    EXPECT_EQ(veskar_recording::CallsTo("CloseHandle").size(), c.closes);
    EXPECT_EQ((HANDLE)state.childProcess, nullptr);
    test::ResetLauncherState();
    std::u16string core = test::CorePath(child_);
    std::copy(core.begin(), core.end() + 1, state.childExecutablePath);
    veskar_recording::Reset();
  }
}

// A child that cannot be resumed would be waited for for ever: it is ended,
// and the launch fails as a failed start does.
TEST_F(ChildTest, AChildThatCannotBeResumedIsEndedAndTheLaunchFails) {
  test::Ending ending = test::RunInChild([] {
    veskar_recording::Script("ResumeThread", (DWORD)-1, ERROR_ACCESS_DENIED);
    // The fatal ending exits; the calls are shown on the way out.
    atexit([] {
      for (const std::string &call : StartCalls())
        printf("%s\n", call.c_str());
      fflush(stdout);
    });
    RunChild();
  });
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  EXPECT_EQ(ending.err.rfind("Error, couldn't launch child ([Error 5] ", 0), 0u)
      << ending;
  const std::string suffix = "ResumeThread\nTerminateProcess 1\n";
  ASSERT_GE(ending.out.size(), suffix.size()) << ending;
  EXPECT_EQ(ending.out.substr(ending.out.size() - suffix.size()), suffix);
}

// A program still held by a scanner right after it was written: the start
// fails with a sharing violation, and is tried again, 50 ms apart, up to ten
// times; any other failure, or the last sharing violation, ends the launch.
// A console event that comes during a pause ends the run as the event
// would, with no further attempt.
TEST_F(ChildTest, AStartRefusedForASharingViolationIsTriedAgainBriefly) {
  const std::string created =
      "CreateProcessW " + test::Utf8(test::CorePath(child_)) + " suspended";
  const std::string job = "CreateJobObjectW\nSetInformationJobObject " +
                          std::to_string(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                         JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) +
                          "\n";
  // The log for `refusals` refused starts, each followed by a pause but the
  // last when nothing follows, then the start that succeeds.
  auto attempts = [&](int refusals, bool succeeds) {
    std::string log = job;
    for (int i = 0; i < refusals; ++i)
      log +=
          created + "\n" + (succeeds || i + 1 < refusals ? "Sleep 50\n" : "");
    if (succeeds)
      log += created + "\nAssignProcessToJobObject\nResumeThread\n";
    return log;
  };
  const std::string kLaunchFailed = "Error, couldn't launch child ([Error ";
  struct {
    const char *what;
    int refusals;
    DWORD error;
    bool eventInFirstPause;
    // The ending: the child's 7, the fatal 2, or the event's SIGINT (0).
    int status;
    std::string log;
  } const kCases[] = {
      {"three refusals, then the child runs", 3, ERROR_SHARING_VIOLATION, false,
       7, attempts(3, true)},
      {"ten refusals, then the child runs", 10, ERROR_SHARING_VIOLATION, false,
       7, attempts(10, true)},
      {"eleven refusals end the launch", 11, ERROR_SHARING_VIOLATION, false, 2,
       attempts(11, false)},
      {"access denied is not tried again", 1, ERROR_ACCESS_DENIED, false, 2,
       attempts(1, false)},
      {"an event during a pause ends the run as the event would", 1,
       ERROR_SHARING_VIOLATION, true, 0, attempts(1, false) + "Sleep 50\n"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::Ending ending = test::RunInChild([&] {
      veskar_recording::ScriptAlways("Sleep", 0);
      for (int i = 0; i < c.refusals; ++i)
        veskar_recording::Script("CreateProcessW", FALSE, c.error);
      // The starts and the pauses between them, in their order.
      static void (*show)(void) = [] {
        const Calls starts = StartCalls();
        for (const std::string &call : veskar_recording::Calls())
          if (call == "Sleep 50" ||
              std::find(starts.begin(), starts.end(), call) != starts.end())
            printf("%s\n", call.c_str());
        fflush(stdout);
      };
      if (c.eventInFirstPause) {
        // The event comes in the first pause; the next pause is the main
        // thread's wait for the event to end the process, by when every
        // attempt has been made.
        veskar_recording::OnCall("Sleep", [] {
          static int pauses = 0;
          if (++pauses == 1)
            OnConsoleControl(CTRL_C_EVENT);
          else if (pauses == 2)
            show();
        });
      } else {
        atexit(show);
      }
      exit((int)RunChild());
    });
    if (c.status == 0) {
      EXPECT_FALSE(ending.exited) << ending;
      EXPECT_EQ(ending.signal, SIGINT) << ending;
    } else {
      EXPECT_TRUE(test::ExitedWith(ending, c.status)) << ending;
    }
    EXPECT_EQ(ending.out, c.log);
    std::string failed = kLaunchFailed + std::to_string(c.error) + "] ";
    EXPECT_EQ(ending.err.rfind(failed, 0) == 0, c.status == 2) << ending;
  }
}

} // namespace
