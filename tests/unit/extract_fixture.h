//===- tests/unit/extract_fixture.h - A scratch directory to unpack into ===//
//
// Each test gets a scratch directory that is also the profile directory
// ($HOME), and an unpack directory inside it that does not exist yet. The
// archive is put in front of the stream reader as OpenPayload leaves it.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/state.h"
#include "tests/unit/support.h"

class ExtractionFixture : public ::testing::Test {
protected:
  void SetUp() override {
    test::ResetLauncherState();
    const char *home = getenv("HOME");
    hadHome_ = home != nullptr;
    savedHome_ = hadHome_ ? home : "";
    test::SetEnv("HOME", scratch_.path().c_str());
    UnpackInto("D");
  }
  void TearDown() override {
    test::SetEnv("HOME", hadHome_ ? savedHome_.c_str() : nullptr);
    test::ResetLauncherState();
  }

  // The unpack directory, relative to the scratch directory; its parent is
  // created, it is not.
  void UnpackInto(const std::string &relative) {
    unpackDirectory_ = scratch_ / relative;
    test::MakeDirectories(
        unpackDirectory_.substr(0, unpackDirectory_.rfind('/')));
  }

  // Points the launcher at the archive and the unpack directory.
  void Prepare(const std::vector<test::Record> &records,
               const test::FrameOptions &frames = {}) {
    PrepareStream(test::ArchiveStream(records), frames);
  }
  void PrepareStream(const std::string &stream,
                     const test::FrameOptions &frames = {}) {
    test::ResetLauncherState();
    test::AttachPayload(test::Container(test::Compress(stream, frames)));
    std::u16string directory = test::CorePath(unpackDirectory_);
    std::copy(directory.begin(), directory.end(), state.unpackDirectory);
  }

  // What the records leave in the unpack directory: every file with its
  // last contents, and every directory level (with a trailing '/').
  static std::map<std::string, std::string>
  Expected(const std::vector<test::Record> &records) {
    std::map<std::string, std::string> tree;
    for (const test::Record &record : records) {
      std::string name = test::Utf8(record.name);
      std::replace(name.begin(), name.end(), '\\', '/');
      tree[name] = record.data;
      for (size_t at = name.find('/'); at != std::string::npos;
           at = name.find('/', at + 1))
        tree[name.substr(0, at) + "/"] = "";
    }
    return tree;
  }

  // A path below the unpack directory, native and in the core's form.
  std::string D(const std::string &relative = "") const {
    return relative.empty() ? unpackDirectory_
                            : unpackDirectory_ + "/" + relative;
  }
  std::string CoreD(const std::string &relative = "") const {
    return test::Utf8(test::CorePath(D(relative)));
  }

  test::ScratchDir scratch_;
  std::string unpackDirectory_;

private:
  std::string savedHome_;
  bool hadHome_ = false;
};
