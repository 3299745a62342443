//===- tests/unit/console_control_test.cpp - Which events count ---===//
//
// Over the recording layer: OnConsoleControl for every control type. Wine
// delivers only Ctrl+C, and Linux signals stand for Ctrl+C, close and
// shut-down, so Ctrl+Break, log-off and the unlisted types are driven here
// directly.
//
//===----------------------------------------------------------------------===//
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "launcher/console.h"
#include "launcher/state.h"
#include "platform/recording/recording.h"
#include "tests/unit/support.h"

namespace {

class ConsoleControlTest : public ::testing::TestWithParam<DWORD> {
protected:
  void SetUp() override {
    test::ResetLauncherState();
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
    test::MakeDirectories(directory_);
    test::WriteBytes(directory_ + "/file.txt", "x");
    std::u16string core = test::CorePath(directory_);
    std::copy(core.begin(), core.end() + 1, state.unpackDirectory);
    state.extractionStarted = true;
  }
  void TearDown() override {
    veskar_recording::Reset();
    test::ResetLauncherState();
  }

  test::ScratchDir scratch_;
  std::string directory_ = scratch_ / "onefile_1_2";
};

class HandledTypeTest : public ConsoleControlTest {};
class IgnoredTypeTest : public ConsoleControlTest {};

// Ctrl+C, Ctrl+Break, close, log-off, shut-down: the directory goes, the
// event is marked as being handled (the main thread then leaves the ending
// to it), and the handler never claims the event, so the system's default
// handling ends the process.
TEST_P(HandledTypeTest, RemovesTheDirectoryAndLeavesTheEndingToTheSystem) {
  EXPECT_EQ(OnConsoleControl(GetParam()), FALSE);
  EXPECT_FALSE(test::Exists(directory_));
  EXPECT_EQ(veskar_recording::CallsTo("RemoveDirectoryTree").size(), 1u);
  EXPECT_TRUE(state.console.eventSeen);
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
  EXPECT_EQ(veskar_recording::Calls(), std::vector<std::string>{});
  EXPECT_FALSE(state.console.eventSeen);
}

INSTANTIATE_TEST_SUITE_P(Unlisted, IgnoredTypeTest,
                         ::testing::Values(3u, 4u, 7u, 0xFFFFFFFFu));

} // namespace
