//===- tests/unit/feedback_test.cpp - The progress window and error box --===//
//
// Whole runs of the launcher (RunLauncher, in a forked child) over the
// recording layer, with the payload resource taken from memory: when the
// progress window is asked for, that the main thread never waits for its
// thread, that its Cancel ends the run as a Ctrl+C does, and when the error
// box is shown. The layer's clock is scripted, so "slow" and "fast" are
// decided by the test, not by the machine. The platform's window and box
// are recorded calls here; tests/wine shows the real ones.
//
//===----------------------------------------------------------------------===//
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/state.h"
#include "platform/recording/recording.h"
#include "tests/fuzz/harness.h"
#include "tests/unit/support.h"

using test::Record;
using Calls = std::vector<std::string>;

namespace {

class FeedbackTest : public ::testing::Test {
protected:
  void SetUp() override {
    saved_ = buildValues;
    test::ResetLauncherState();
    veskar_recording::Reset();
    const char *tmp = getenv("TMPDIR");
    hadTmp_ = tmp != nullptr;
    savedTmp_ = hadTmp_ ? tmp : "";
    test::MakeDirectories(scratch_ / "tmp");
    test::SetEnv("TMPDIR", (scratch_ / "tmp").c_str());
    logPath_ = scratch_ / "calls.log";
  }
  void TearDown() override {
    test::SetEnv("TMPDIR", hadTmp_ ? savedTmp_.c_str() : nullptr);
    veskar_recording::Reset();
    test::ResetLauncherState();
    buildValues = saved_;
  }

  // The payload: a program that ends with 7, then `more` records.
  void Attach(const std::vector<Record> &more = {}) {
    std::vector<Record> records = {{u"main", "#!/bin/sh\nexit 7\n"}};
    records.insert(records.end(), more.begin(), more.end());
    container_ = test::Container(test::Compress(test::ArchiveStream(records)));
    veskar_fuzz::SetPayloadResource((const uint8_t *)container_.data(),
                                    container_.size(), true);
  }

  // A slow start: each reading of the clock is a second after the last.
  static void SlowClock() {
    static std::atomic<uint64_t> now{1000};
    veskar_recording::OnCall("GetTickCount64", [] {
      veskar_recording::Script("GetTickCount64", now += 1000);
    });
  }

  // Runs `action` at each call of `name` in the next Run, after the call
  // is logged.
  static void Also(const char *name, std::function<void()> action) {
    Extras()[name] = std::move(action);
  }
  static std::map<std::string, std::function<void()>> &Extras() {
    static std::map<std::string, std::function<void()>> extras;
    return extras;
  }

  // One run in a forked child, `before` first; its calls are logged to a
  // file as they are made (a run may end on any thread, or by a signal).
  test::Ending Run(const std::function<void()> &before, Calls *calls) {
    static std::string log;
    log = logPath_;
    test::WriteBytes(log, "");
    test::Ending ending = test::RunInChild([&before] {
      veskar_recording::Reset();
      for (const char *name :
           {"RunProgressWindow", "EndProgressWindow", "CreateProcessW",
            "DesktopIsInteractive", "ShowErrorBox", "CreateThread"})
        veskar_recording::OnEachCall(name, [name](const std::string &call) {
          FILE *f = fopen(log.c_str(), "a");
          fprintf(f, "%s\n", call.c_str());
          fclose(f);
          auto extra = Extras().find(name);
          if (extra != Extras().end())
            extra->second();
        });
      before();
      exit(RunLauncher());
    });
    Extras().clear();
    calls->clear();
    std::string text = test::ReadBytes(logPath_);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
         at = end + 1)
      calls->push_back(text.substr(at, end - at));
    return ending;
  }

  static size_t Count(const Calls &calls, const std::string &name) {
    size_t n = 0;
    for (const std::string &call : calls)
      n += call.compare(0, name.size(), name) == 0;
    return n;
  }
  static size_t IndexOf(const Calls &calls, const std::string &name) {
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i].compare(0, name.size(), name) == 0)
        return i;
    return calls.size();
  }

  // What the runs left in TMPDIR.
  std::vector<std::string> Left() const {
    std::vector<std::string> names;
    DIR *directory = opendir((scratch_ / "tmp").c_str());
    while (struct dirent *entry = directory ? readdir(directory) : nullptr)
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        names.push_back(entry->d_name);
    if (directory)
      closedir(directory);
    return names;
  }

  test::ScratchDir scratch_;
  std::string logPath_;
  std::string container_;
  BuildValues saved_;
  bool hadTmp_ = false;
  std::string savedTmp_;
};

// Without the option no window is asked for however slow the start, and
// with it none on a start that is over within the delay: no thread, no
// call to the platform's window.
TEST_F(FeedbackTest, NoWindowWithoutTheOptionOrOnAFastStart) {
  const struct {
    const char *what;
    uint16_t options;
    bool slow;
  } kCases[] = {
      {"no option, slow", 0, true},
      {"error box only, slow", kOptionErrorBox, true},
      {"progress window, fast", kOptionProgressWindow, false},
  };
  Attach({{u"a.bin", test::SampleBytes(300000, 1)}});
  // The file writers' threads, and no other.
  Calls without;
  buildValues.launcherOptions = 0;
  Run([] { veskar_recording::ScriptAlways("GetTickCount64", 5000); }, &without);
  ASSERT_GT(Count(without, "CreateThread"), 0u);
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    buildValues.launcherOptions = c.options;
    Calls calls;
    test::Ending ending = Run(
        [&] {
          if (c.slow)
            SlowClock();
          else
            veskar_recording::ScriptAlways("GetTickCount64", 5000);
        },
        &calls);
    EXPECT_TRUE(test::ExitedWith(ending, 7)) << ending;
    EXPECT_EQ(Count(calls, "RunProgressWindow"), 0u);
    EXPECT_EQ(Count(calls, "CreateThread"), Count(without, "CreateThread"));
    EXPECT_TRUE(Left().empty());
  }
}

// A slow start makes the window's thread, and the main thread never waits
// for it: held in the window's call for good, the thread keeps nothing
// from going on. The window is closed once the child has been created.
TEST_F(FeedbackTest, ASlowStartShowsTheWindowAndNeverWaitsForIt) {
  buildValues.launcherOptions = kOptionProgressWindow;
  PutLittleEndian64(buildValues.fileBytes, 300000);
  Attach({{u"a.bin", test::SampleBytes(300000, 2)}});
  Calls calls;
  test::Ending ending = Run(
      [] {
        SlowClock();
        static std::atomic<bool> windowAsked{false};
        Also("RunProgressWindow", [] {
          windowAsked = true;
          for (;;)
            pause(); // the window's thread never comes back
        });
        // The test's own wait, so that the window's call is surely made
        // before the run ends; the launcher waits for nothing.
        Also("CreateProcessW", [] {
          while (!windowAsked)
            usleep(1000);
        });
      },
      &calls);
  EXPECT_TRUE(test::ExitedWith(ending, 7)) << ending;
  ASSERT_EQ(Count(calls, "RunProgressWindow"), 1u);
  EXPECT_EQ(calls[IndexOf(calls, "RunProgressWindow")],
            "RunProgressWindow Quorvane");
  ASSERT_EQ(Count(calls, "EndProgressWindow"), 1u);
  EXPECT_GT(IndexOf(calls, "EndProgressWindow"),
            IndexOf(calls, "CreateProcessW"));
  EXPECT_TRUE(Left().empty());
}

// What the window is given to draw: by the time it closes, the count of
// bytes written is the files' bytes exactly (no chunk counted twice or
// missed), with the one-thread reader and with the threads, and its measure
// is the total the package declares, all 64 bits of it (files can come to
// more than 4 GiB; one declared so stands in for them here). Files of
// several chunks, an empty one, and frame edges inside the data.
TEST_F(FeedbackTest, TheWindowCountsEachByteWrittenOnce) {
  const std::vector<Record> kRecords = {
      {u"main", "#!/bin/sh\nexit 7\n"},
      {u"a.bin", test::SampleBytes(2500000, 5)},
      {u"d\\empty", ""},
      {u"d\\b.bin", test::SampleBytes(300001, 6)},
  };
  uint64_t files = 0;
  for (const Record &record : kRecords)
    files += record.data.size();
  const std::string stream = test::ArchiveStream(kRecords);
  const std::string single = test::Container(test::Compress(stream));
  const struct {
    const char *what;
    std::string container;
    uint64_t declared;
  } kCases[] = {
      {"one-thread reader", single, files},
      {"threads", test::IndexedContainer(kRecords, {1000, 1400000, 2600000}),
       files},
      {"a total past 4 GiB", single, (5ull << 30) + files},
  };
  buildValues.launcherOptions = kOptionProgressWindow;
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    PutLittleEndian64(buildValues.fileBytes, c.declared);
    veskar_fuzz::SetPayloadResource((const uint8_t *)c.container.data(),
                                    c.container.size(), true);
    std::string log = logPath_;
    Calls calls;
    test::Ending ending = Run(
        [log] {
          SlowClock();
          Also("EndProgressWindow", [log] {
            const ProgressWindowView &view = state.progressWindow.view;
            FILE *f = fopen(log.c_str(), "a");
            fprintf(f, "counted %lld of %llu\n", (long long)*view.done,
                    (unsigned long long)view.total);
            fclose(f);
          });
        },
        &calls);
    EXPECT_TRUE(test::ExitedWith(ending, 7)) << ending;
    ASSERT_EQ(Count(calls, "RunProgressWindow"), 1u);
    ASSERT_EQ(Count(calls, "counted"), 1u);
    EXPECT_EQ(calls[IndexOf(calls, "counted")],
              "counted " + std::to_string(files) + " of " +
                  std::to_string(c.declared));
    EXPECT_TRUE(Left().empty());
  }
}

// The window's Cancel (or its close box) is a Ctrl+C: the run stops, the
// unpack directory goes, and the process ends as after a Ctrl+C (on Linux,
// by SIGINT), whether the cancel comes while files are written or later.
TEST_F(FeedbackTest, CancelInTheWindowEndsTheRunAsCtrlC) {
  buildValues.launcherOptions = kOptionProgressWindow;
  Attach({{u"a.bin", test::SampleBytes(2000000, 3)},
          {u"b.bin", test::SampleBytes(300000, 4)}});
  Calls calls;
  test::Ending ending = Run(
      [] {
        SlowClock();
        veskar_recording::Script("RunProgressWindow", kProgressWindowCancelled);
      },
      &calls);
  EXPECT_FALSE(ending.exited) << ending;
  EXPECT_EQ(ending.signal, SIGINT) << ending;
  EXPECT_EQ(Count(calls, "RunProgressWindow"), 1u);
  EXPECT_TRUE(Left().empty());
}

// The error box: only with the option, only when the line's own stream
// has no handle (started from the desktop, or the handle closed), only on
// an interactive desktop, and never for an abort ending. The exit status
// stays the same.
TEST_F(FeedbackTest, TheErrorBoxShowsALineNobodyCouldRead) {
  const std::string kHeader = "Error, couldn't find attached data header.";
  const struct {
    const char *what;
    uint16_t options;
    int closed;       // the standard handle closed first, or -1
    bool interactive; // what the desktop says
    bool damaged;     // a damaged header (standard output) or a refused
                      // name (standard error)
    bool box;
  } kCases[] = {
      {"output closed", kOptionErrorBox, 1, true, true, true},
      {"error closed", kOptionErrorBox, 2, true, false, true},
      {"output open", kOptionErrorBox, -1, true, true, false},
      {"the other stream closed", kOptionErrorBox, 2, true, true, false},
      {"no interactive desktop", kOptionErrorBox, 1, false, true, false},
      {"without the option", kOptionProgressWindow, 1, true, true, false},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    buildValues.launcherOptions = c.options;
    if (c.damaged) {
      container_ = "VEX" + std::string(16, '\0');
      veskar_fuzz::SetPayloadResource((const uint8_t *)container_.data(),
                                      container_.size(), true);
    } else {
      Attach({{u"..\\evil", "x"}});
    }
    Calls calls;
    test::Ending ending = Run(
        [&] {
          veskar_recording::ScriptAlways("DesktopIsInteractive", c.interactive);
          if (c.closed >= 0)
            close(c.closed);
        },
        &calls);
    EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
    Calls boxes;
    for (const std::string &call : calls)
      if (call.compare(0, 12, "ShowErrorBox") == 0)
        boxes.push_back(call);
    if (!c.box) {
      EXPECT_TRUE(boxes.empty());
      continue;
    }
    ASSERT_EQ(boxes.size(), 1u);
    std::string expected =
        c.damaged ? kHeader
                  : "Error, refusing the name '..\\evil' in the attached data: "
                    "it has a level made only of dots and spaces, such as "
                    "'..', which would lead outside the directory it is "
                    "unpacked into.";
    EXPECT_EQ(boxes[0], "ShowErrorBox " + expected + " | Quorvane");
    EXPECT_TRUE(Left().empty());
  }

  // A failed expansion ends through the abort ending: no box.
  buildValues.launcherOptions = kOptionErrorBox;
  const std::u16string kTemplate = u"{NOPE}\\onefile_{PID}_{TIME}";
  memset(buildValues.unpackTemplate, 0, sizeof buildValues.unpackTemplate);
  std::copy(kTemplate.begin(), kTemplate.end(), buildValues.unpackTemplate);
  Attach();
  Calls calls;
  test::Ending ending = Run(
      [] {
        veskar_recording::ScriptAlways("DesktopIsInteractive", TRUE);
        close(2);
      },
      &calls);
  EXPECT_TRUE(test::Aborted(ending)) << ending;
  EXPECT_EQ(Count(calls, "ShowErrorBox"), 0u);
}

// The box shows a line of up to kFatalLineCapacity - 4 units whole; a
// longer one keeps that many units and ends in "...", wherever the cut
// falls: in the format's own text after the name, inside the name, or
// between the two units of a character beyond the BMP, whose first half
// then goes too (a lone half is no character). Each control character of
// the refused name is shown as four units ("\x01"), so a name within the
// name limit makes a line of any length.
TEST_F(FeedbackTest, TheErrorBoxCutsALongLineAtItsRoom) {
  const std::u16string kBefore = u"Error, refusing the name '";
  const std::u16string kAfter =
      u"' in the attached data: it has a level made only of dots and spaces, "
      u"such as '..', which would lead outside the directory it is unpacked "
      u"into.";
  const std::u16string kPair = u"\U0001F600";
  const size_t kRoom = kFatalLineCapacity - 4;
  const struct {
    const char *what;
    size_t lineUnits; // the whole line, as the stream gets it
    size_t pairs;     // characters beyond the BMP that end the name
    size_t kept;      // units of the line the box keeps before "..."
  } kCases[] = {
      {"a short line", kBefore.size() + kAfter.size() + 10, 0, 0},
      {"exactly the room", kRoom, 0, kRoom},
      {"one unit more: cut in the text after the name", kRoom + 1, 0, kRoom},
      {"cut inside the name", 2 * kRoom, 0, kRoom},
      {"cut inside a pair", kRoom + 200, 60, kRoom - 1},
  };
  buildValues.launcherOptions = kOptionErrorBox;
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    // The name: control characters, letters for the remainder, the pairs,
    // then "..", which is refused (a control character is allowed here).
    size_t shown =
        c.lineUnits - kBefore.size() - kAfter.size() - 3 - 2 * c.pairs;
    std::u16string name(shown / 4, u'\x01');
    std::u16string line = kBefore;
    for (size_t i = 0; i < shown / 4; ++i)
      line += u"\\x01";
    name += std::u16string(shown % 4, u'b');
    line += std::u16string(shown % 4, u'b');
    if (c.pairs != 0) { // the cut must split a pair
      ASSERT_LT(kRoom, line.size() + 2 * c.pairs);
      ASSERT_EQ((kRoom - line.size()) % 2, 1u);
    }
    for (size_t i = 0; i < c.pairs; ++i)
      name += kPair, line += kPair;
    name += u"\\..";
    line += u"\\.." + kAfter;
    ASSERT_LT(name.size(), 1024u);
    ASSERT_EQ(line.size(), c.lineUnits);
    Attach({{name, "x"}});
    Calls calls;
    test::Ending ending = Run(
        [] {
          veskar_recording::ScriptAlways("DesktopIsInteractive", TRUE);
          close(2);
        },
        &calls);
    EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
    std::string expected = line.size() <= kRoom
                               ? test::Utf8(line)
                               : test::Utf8(line.substr(0, c.kept)) + "...";
    ASSERT_EQ(Count(calls, "ShowErrorBox"), 1u);
    EXPECT_EQ(calls[IndexOf(calls, "ShowErrorBox")],
              "ShowErrorBox " + expected + " | Quorvane");
  }
}

} // namespace
