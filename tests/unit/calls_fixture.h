//===- tests/unit/calls_fixture.h - Extraction runs and their calls ------===//
//
// An extraction fixture whose runs go in a child process and bring back the
// recording layer's log of their calls, with the helpers that read a log:
// one file's calls, the main thread's, and that every file is closed before
// the unpack directory's removal.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "launcher/console.h"
#include "launcher/unpack.h"
#include "platform/recording/recording.h"
#include "tests/unit/extract_fixture.h"
#include "tests/unit/support.h"

using Calls = std::vector<std::string>;

class ExtractionCallsFixture : public ExtractionFixture {
protected:
  void SetUp() override {
    ExtractionFixture::SetUp();
    veskar_recording::Reset();
  }
  void TearDown() override {
    veskar_recording::Reset();
    ExtractionFixture::TearDown();
  }

  // Extracts in a child and brings back its calls, also when the
  // extraction ends the process through exit() (on any thread). `before`
  // runs first, in the child.
  test::Ending ExtractInChild(Calls *calls,
                              const std::function<void()> &before = nullptr) {
    static std::string logPath;
    logPath = scratch_ / "calls.log";
    test::Ending ending = test::RunInChild([&before] {
      atexit([] {
        FILE *log = fopen(logPath.c_str(), "w");
        for (const std::string &call : veskar_recording::Calls())
          fprintf(log, "%s\n", call.c_str());
        fclose(log);
      });
      if (before)
        before();
      ExtractPayload();
    });
    calls->clear();
    std::string text = test::ReadBytes(logPath);
    unlink(logPath.c_str());
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
         at = end + 1)
      calls->push_back(text.substr(at, end - at));
    return ending;
  }

  std::string Call(const char *name, const std::string &relative) const {
    return std::string(name) + " " + CoreD(relative);
  }

  // The calls on one file, in order: its open, its writes, its close.
  Calls Of(const Calls &calls, const std::string &relative) const {
    const std::string suffix = " " + CoreD(relative);
    Calls matching;
    for (const std::string &call : calls)
      if (call.size() >= suffix.size() &&
          call.compare(call.size() - suffix.size(), suffix.size(), suffix) == 0)
        matching.push_back(call);
    return matching;
  }

  // Every file opened is closed, and only then is the unpack directory
  // removed (once, and retried while it is still there); nothing follows.
  void ExpectEveryFileClosedBeforeTheRemoval(const Calls &calls) const {
    const std::string d = CoreD();
    auto removal =
        std::find(calls.begin(), calls.end(), "RemoveDirectoryTree " + d);
    ASSERT_NE(removal, calls.end());
    EXPECT_EQ(Calls(removal, calls.end()),
              (Calls{"RemoveDirectoryTree " + d, "GetFileAttributesW " + d}));
    Calls before(calls.begin(), removal);
    for (const std::string &call : before) {
      if (call.compare(0, 12, "CreateFileW ") != 0)
        continue;
      // A directory's handle (the run's hold among them) is named by its
      // path alone, without the note of its access.
      std::string name = call.substr(12);
      size_t note = name.find(" directory ");
      if (note != std::string::npos)
        name.erase(note);
      EXPECT_NE(std::find(before.begin(), before.end(), "CloseHandle " + name),
                before.end())
          << call;
    }
  }

  // In the child, before the extraction: begins it as the launch sequence
  // does, and raises Ctrl+C at the `opens`th file open. The handler runs
  // on a thread of its own, and then ends the process with 42 as the
  // system's default handling would.
  static void CtrlCAtOpen(int opens) {
    static int at = 0;
    static int seen = 0;
    at = opens;
    seen = 0;
    CreateConsoleEvents();
    BeginExtraction();
    veskar_recording::OnCall("CreateFileW", [] {
      if (++seen != at)
        return;
      std::thread([] {
        OnConsoleControl(CTRL_C_EVENT);
        exit(42);
      }).detach();
      while (!ConsoleEventSeen())
        usleep(1000);
    });
  }
  // In the child: the file system refuses to grow a file past 64 KiB, and
  // a write past it fails as on a full disk.
  static void LimitFilesTo64KiB() {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {65536, 65536};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  // The calls without the pauses, whose count depends on timing.
  static Calls WithoutSleeps(const Calls &calls) {
    Calls kept;
    for (const std::string &call : calls)
      if (call.compare(0, 6, "Sleep ") != 0)
        kept.push_back(call);
    return kept;
  }
  // The main thread's calls: all but the writers' and the thread starts.
  static Calls OfMainThread(const Calls &calls) {
    Calls matching;
    for (const std::string &call : calls)
      if (call.compare(0, 10, "WriteFile ") != 0 &&
          call.compare(0, 11, "CloseHandle") != 0 && call != "CreateThread")
        matching.push_back(call);
    return matching;
  }
};
