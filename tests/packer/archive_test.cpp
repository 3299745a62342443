//===- tests/packer/archive_test.cpp - Archive names and the container ----===//
//
// The name rules of both targets, the names one archive cannot hold, and
// the frames our writer makes, read back.
//
//===----------------------------------------------------------------------===//
#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "packer/archive/archive.h"
#include "packer/archive/archive_names.h"
#include "packer/archive/index_reader.h"
#include "common/payload_index.h"
#include "packer/os/file_io.h"
#include "tests/packer/temp_file.h"

namespace veskar {
namespace {

TEST(NamesTest, WhatEachTargetCanStore) {
  setlocale(LC_CTYPE, "C.UTF-8");
  const std::string long1023 =
      std::string(255, 'a') + "/" + std::string(255, 'b') + "/" +
      std::string(255, 'c') + "/" + std::string(255, 'd');
  const struct {
    std::string relative;
    Target target;
    std::u16string name; // empty: refused
    const char *message;
  } cases[] = {
      {"a/b/c.txt", Target::kWindows, u"a\\b\\c.txt", ""},
      {"gr\xC3\xBC\xC3\x9F"
       "e/\xF0\x9F\x98\x80.txt",
       Target::kWindows, u"gr\u00fc\u00dfe\\\U0001F600.txt", ""},
      {"nullable.txt", Target::kWindows, u"nullable.txt", ""},
      {"COM10", Target::kWindows, u"COM10", ""},
      {".hidden", Target::kWindows, u".hidden", ""},
      {"a:b", Target::kLinux, u"a:b", ""},
      {"trailing ", Target::kLinux, u"trailing ", ""},
      {long1023, Target::kWindows, u"", ""}, // exactly the most that fits
      {long1023 + "e", Target::kWindows, u"", "1024 UTF-16 units long"},
      {"a:b", Target::kWindows, u"", "holds ':'"},
      {"a*b", Target::kWindows, u"", "holds '*'"},
      {"x/a?b", Target::kWindows, u"", "holds '?'"},
      {"a\"b", Target::kWindows, u"", "holds '\"'"},
      {"a<b", Target::kWindows, u"", "holds '<'"},
      {"a|b", Target::kWindows, u"", "holds '|'"},
      {"a\\b", Target::kWindows, u"", "holds '\\'"},
      {"a\\b", Target::kLinux, u"", "holds '\\'"},
      {"tab\there", Target::kWindows, u"", "control character"},
      {"dir/NUL", Target::kWindows, u"", "names a Windows device"},
      {"con.txt", Target::kWindows, u"", "names a Windows device"},
      {"Aux .log", Target::kWindows, u"", "names a Windows device"},
      {"CONIN$", Target::kWindows, u"", "names a Windows device"},
      {"lpt9.x", Target::kWindows, u"", "names a Windows device"},
      {"COM\xC2\xB9", Target::kWindows, u"", "names a Windows device"},
      {"end.", Target::kWindows, u"", "ending in a dot or space"},
      {"dir /x", Target::kWindows, u"", "ending in a dot or space"},
      {"bad\xFF", Target::kWindows, u"", "not valid UTF-8"},
      {"\xC0\xAF", Target::kLinux, u"", "not valid UTF-8"},         // overlong
      {"\xED\xA0\x80", Target::kLinux, u"", "not valid UTF-8"},     // surrogate
      {"\xF4\x90\x80\x80", Target::kLinux, u"", "not valid UTF-8"}, // too high
      {"a//b", Target::kLinux, u"", "empty level"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.relative.substr(0, 40));
    std::u16string name;
    std::string error;
    bool ok = MakeArchiveName(c.relative, c.target, &name, &error);
    if (c.message[0] == 0) {
      EXPECT_TRUE(ok) << error;
      if (!c.name.empty()) {
        EXPECT_EQ(name, c.name);
      }
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
  }
}

TEST(NamesTest, WhatExtractWritesBelowItsDirectory) {
  const struct {
    std::u16string name;
    const char *path; // null: refused
  } cases[] = {
      {u"a\\b\\c.txt", "a/b/c.txt"},
      {u"x:y", "x:y"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"", nullptr},
      {u"\\abs", nullptr},
      {u"a\\\\b", nullptr},
      {u"a\\", nullptr},
      {u"a\\..\\..\\b", nullptr},
      {u"..", nullptr},
      {u". .\\x", nullptr},
      {u"a/b", nullptr},
      {u"a\x01", nullptr},
      {std::u16string(1, (char16_t)0xD800) + u"x", nullptr},
      {std::u16string(1, (char16_t)0xDC00), nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(NameToUtf8(c.name));
    std::string path, error;
    bool ok = ArchiveNameToPath(c.name, &path, &error);
    EXPECT_EQ(ok, c.path != nullptr) << error;
    if (ok) {
      EXPECT_EQ(path, c.path);
    }
  }
}

TEST(NamesTest, CaseFoldingAsWindowsCompares) {
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  auto clash = [](const std::u16string &a, const std::u16string &b) {
    NameClashFinder finder(true);
    NameClashFinder::Clash found;
    return !(finder.Add(a, 0, &found) && finder.Add(b, 1, &found));
  };
  EXPECT_TRUE(clash(u"Data\\\u00e4\u03b2.txt", u"DATA\\\u00c4\u0392.TXT"));
  EXPECT_FALSE(clash(u"a", u"b"));
  // Outside the BMP nothing folds, as on Windows.
  EXPECT_FALSE(clash(u"\U00010428", u"\U00010400"));
}

TEST(NameClashTest, NamesOneArchiveCannotHold) {
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  const auto kSame = NameClashFinder::kSameName;
  const auto kCase = NameClashFinder::kCaseOnly;
  const auto kLevel = NameClashFinder::kFileAndDirectory;
  const auto kShort = NameClashFinder::kShortName;
  const bool no = false, yes = true;
  const struct {
    std::vector<std::u16string> names;
    bool foldCase;
    bool clashes;
    NameClashFinder::Kind kind;
    size_t earlier; // the index the clash names
    bool caseOnly, earlierIsFile;
  } cases[] = {
      {{u"a", u"b", u"a"}, no, yes, kSame, 0, no, no},
      {{u"a", u"b", u"a"}, yes, yes, kSame, 0, no, no},
      {{u"A", u"a"}, no, no, kSame, 0, no, no},
      {{u"x\\A", u"x\\a"}, yes, yes, kCase, 0, no, no},
      {{u"\u00e4", u"\u00c4"}, yes, yes, kCase, 0, no, no},
      // A file and a directory level, in both orders and at any depth.
      {{u"a", u"a\\b"}, no, yes, kLevel, 0, no, yes},
      {{u"a\\b\\c", u"x", u"a\\b"}, no, yes, kLevel, 0, no, no},
      {{u"lib", u"LIB\\x.dll"}, yes, yes, kLevel, 0, yes, yes},
      {{u"LIB\\x.dll", u"Lib\\y.dll", u"lib"}, yes, yes, kLevel, 0, yes, no},
      {{u"lib", u"LIB\\x.dll"}, no, no, kSame, 0, no, no},
      // Directories shared by several names, and names that only begin
      // alike, are no clash.
      {{u"a\\b", u"A\\c", u"ab", u"a b"}, yes, no, kSame, 0, no, no},
      {{u"a\\b", u"a\\c", u"a\\d\\e"}, no, no, kSame, 0, no, no},
      // A level of a short name's shape beside a name that is no short
      // name, in either order, also as a directory; the last column says
      // whether the earlier one has the shape. Beside short names only, in
      // another folder, or for Linux, it is no clash.
      {{u"averylongname.bin", u"x", u"AVERYL~1.BIN"}, yes, yes, kShort, 0, no,
       no},
      {{u"AVER~STY.BIN", u"averylongname.bin"}, yes, yes, kShort, 0, no, yes},
      {{u"Program Files\\a", u"PROGRA~1\\b"}, yes, yes, kShort, 0, no, no},
      {{u"a b.txt", u"d\\A~1.TXT", u"x~1"}, yes, yes, kShort, 0, no, no},
      {{u"readme.txt", u"A~1.TXT", u"d\\averylongname.bin"}, yes, no, kSame,
       0, no, no},
      {{u"averylongname.bin", u"AVERYL~1.BIN"}, no, no, kSame, 0, no, no},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(NameToUtf8(c.names.back()));
    NameClashFinder finder(c.foldCase);
    NameClashFinder::Clash clash;
    bool added = true;
    for (size_t i = 0; i < c.names.size() && added; ++i)
      added = finder.Add(c.names[i], i, &clash);
    EXPECT_EQ(!added, c.clashes);
    if (c.clashes && !added) {
      EXPECT_EQ(clash.kind, c.kind);
      EXPECT_EQ(clash.earlier, c.earlier);
      EXPECT_EQ(clash.earlierName, c.names[c.earlier]);
      if (c.kind == NameClashFinder::kFileAndDirectory) {
        EXPECT_EQ(clash.caseOnly, c.caseOnly);
        EXPECT_EQ(clash.earlierIsFile, c.earlierIsFile);
      }
      if (c.kind == NameClashFinder::kShortName) {
        EXPECT_EQ(clash.earlierIsFile, c.earlierIsFile);
      }
    }
  }
}

// Our writer's frames, with and without checksums, read back; the frames
// are cut so that they straddle the reader's 1 MiB chunks.
TEST(FrameFactsTest, CountsFramesWithoutChecksum) {
  char name[] = "/tmp/veskar-packer-test-XXXXXX";
  int in = mkstemp(name);
  ASSERT_GE(in, 0);
  std::vector<char> data(3 << 20);
  uint32_t state = 12345;
  for (char &c : data) {
    state = state * 1103515245u + 12345u;
    c = (char)(state >> 24);
  }
  ASSERT_TRUE(WriteAll(in, data.data(), data.size()));
  close(in);
  std::vector<ArchiveInput> inputs = {{u"main.exe", name, data.size()}};
  const uint64_t stream = ArchiveStreamSize(inputs);

  // The index, when written, is a frame too (a skippable one, always the
  // first, which has no checksum to lack).
  const struct {
    bool checksum;
    uint64_t frameLimit;
    bool index;
  } cases[] = {{true, 0, false},         {false, 0, false},
               {true, 700 << 10, false}, {false, 700 << 10, false},
               {true, 0, true},          {false, 700 << 10, true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "checksum " << c.checksum << ", frames of " << c.frameLimit
                 << ", index " << c.index);
    CompressionOptions options;
    options.checksum = c.checksum;
    options.frameInputLimit = c.frameLimit;
    options.index = c.index;
    TempFile file;
    uint64_t size = 0;
    std::string error;
    ASSERT_TRUE(WriteContainer(inputs, options, file.fd(), &size, &error))
        << error;
    struct Ignore : RecordVisitor {
      bool Begin(const std::u16string &, uint64_t) override { return false; }
      bool Data(const void *, size_t) override { return true; }
      bool End() override { return true; }
    } visitor;
    FrameFacts facts;
    ASSERT_TRUE(ReadContainer(file.fd(), 0, size, visitor, &error, &facts))
        << error;
    uint64_t frames =
        c.frameLimit == 0 ? 1 : (stream + c.frameLimit - 1) / c.frameLimit;
    EXPECT_EQ(facts.frames, frames + c.index);
    EXPECT_EQ(facts.uncheckedFrames, c.checksum ? 0 : frames);
    EXPECT_EQ(facts.firstUnchecked, c.checksum ? 0u : 1u + c.index);
    EXPECT_EQ(facts.indexed, c.index);
  }
  unlink(name);
}

// Our writer's frames decoded on several threads: a damaged frame is found
// wherever it lies, and of two, the first in frame order is the one
// reported, whatever the thread that decoded it.
TEST(IndexedReadTest, FramesAreCheckedOnSeveralThreads) {
  char name[] = "/tmp/veskar-packer-test-XXXXXX";
  int in = mkstemp(name);
  ASSERT_GE(in, 0);
  std::vector<char> data(3 << 20);
  uint32_t state = 4321;
  for (char &c : data) {
    state = state * 1103515245u + 12345u;
    c = (char)(state >> 24);
  }
  ASSERT_TRUE(WriteAll(in, data.data(), data.size()));
  close(in);
  std::vector<ArchiveInput> inputs = {{u"main.exe", name, data.size()}};
  CompressionOptions options;
  options.frameInputLimit = 512 << 10; // seven frames
  TempFile file;
  uint64_t size = 0;
  std::string error;
  ASSERT_TRUE(WriteContainer(inputs, options, file.fd(), &size, &error))
      << error;
  unlink(name);
  std::vector<unsigned char> good(size);
  ASSERT_TRUE(ReadAllAt(file.fd(), good.data(), size, 0));
  // Where each frame starts in the container.
  PayloadIndex index;
  ASSERT_EQ(ParsePayloadIndex(good.data() + 3, size - 3, size, &index),
            kIndexSound);
  ASSERT_EQ(index.frameCount, 7u);
  std::vector<PayloadIndexFrame> frames;
  PayloadIndexCursor cursor;
  StartPayloadIndexFrames(index, &cursor);
  PayloadIndexFrame frame;
  while (NextPayloadIndexFrame(&cursor, &frame))
    frames.push_back(frame);

  const struct {
    std::vector<int> damaged; // frames, from 0
    const char *message;      // empty: sound
  } cases[] = {
      {{}, ""},
      {{3}, "frame 4: the compressed data is damaged"},
      {{6}, "frame 7: the compressed data is damaged"},
      {{5, 2}, "frame 3: the compressed data is damaged"},
  };
  for (const auto &c : cases) {
    for (int threads : {1, 3, 8}) {
      SCOPED_TRACE(testing::Message() << c.message << ", threads " << threads);
      std::vector<unsigned char> bytes = good;
      for (int damaged : c.damaged)
        bytes[frames[damaged].containerOffset +
              frames[damaged].compressedSize / 2] ^= 0x5A;
      TempFile copy;
      ASSERT_TRUE(WriteAll(copy.fd(), bytes.data(), bytes.size()));
      error.clear();
      IndexedRead result =
          CheckFramesByIndex(copy.fd(), 0, size, threads, nullptr, &error);
      if (c.message[0] == 0) {
        EXPECT_EQ(result, IndexedRead::kDone) << error;
      } else {
        EXPECT_EQ(result, IndexedRead::kFailed);
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
      }
    }
  }
}

} // namespace
} // namespace veskar
