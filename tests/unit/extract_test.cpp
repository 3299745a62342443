//===- tests/unit/extract_test.cpp - Writing the archive's files --------===//
//
// Archives built here are extracted by the real POSIX layer into a scratch
// directory and the result compared byte for byte. The unpack directory is
// "D" in the scratch directory, whose parent exists.
//
//===----------------------------------------------------------------------===//
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/state.h"
#include "launcher/unpack.h"
#include "payload/extract.h"
#include "tests/unit/extract_fixture.h"
#include "tests/unit/support.h"

using test::Record;

namespace {

using ExtractTest = ExtractionFixture;

TEST_F(ExtractTest, AnArchiveWithOnlyTheEndMarkerCreatesNothing) {
  Prepare({});
  ExtractPayload();
  EXPECT_FALSE(test::Exists(unpackDirectory_));
  EXPECT_EQ(state.childExecutablePath[0], 0);
  EXPECT_EQ(test::ListTree(scratch_.path()).size(), 0u);
}

TEST_F(ExtractTest, EveryRecordIsWrittenWithItsDirectories) {
  std::string pairs;
  for (int i = 0; i < 40000; ++i)
    pairs += i % 3 == 0 ? std::string("\0\0x", 3) : std::string(2, '\0');
  const std::vector<Record> records = {
      {u"main.exe", test::SampleBytes(70000, 1)},
      {u"empty", ""},
      {u"one chunk", test::SampleBytes(32768, 2)},
      {u"two chunks", test::SampleBytes(32769, 3)},
      // Data never ends a record early, however many zero units it holds.
      {u"zeros\\pairs.bin", pairs},
      {u"zeros\\all.bin", std::string(65536, '\0')},
      {u"lib\\a\\b\\c\\deep.dll", test::SampleBytes(300000, 4)},
      {u"lib\\a\\sibling.txt", "sibling"},
      {u"Lib\\case.txt", "another directory here"},
  };
  Prepare(records);
  ExtractPayload();
  EXPECT_TRUE(test::ListTree(unpackDirectory_) == Expected(records));
  EXPECT_EQ(test::Utf8(state.childExecutablePath), CoreD("main.exe"));
}

TEST_F(ExtractTest, TheFirstRecordIsTheChildWhateverFollows) {
  const std::vector<Record> records = {
      {u"bin\\start", "#!/bin/sh\n"},
      {u"a.exe", "not the child"},
      {u"bin\\start", "replaced"},
  };
  Prepare(records);
  ExtractPayload();
  EXPECT_EQ(test::Utf8(state.childExecutablePath), CoreD("bin/start"));
}

TEST_F(ExtractTest, ALaterRecordOfTheSameNameReplacesTheFile) {
  const std::vector<Record> records = {
      {u"main", "m"},
      {u"same.txt", test::SampleBytes(100000, 5)},
      {u"dir\\same.txt", "first"},
      {u"same.txt", "short"},
      {u"dir\\same.txt", ""},
  };
  Prepare(records);
  ExtractPayload();
  EXPECT_EQ(test::ReadBytes(D("same.txt")), "short");
  EXPECT_EQ(test::ReadBytes(D("dir/same.txt")), "");
  EXPECT_TRUE(test::ListTree(unpackDirectory_) == Expected(records));
}

TEST_F(ExtractTest, NamesBeyondAsciiArriveAsUtf8) {
  const std::vector<Record> records = {
      {u"d\u00e9marrer.exe", "main"},
      {u"donn\u00e9es\\\u65e5\u672c\u8a9e.txt", "nihongo"},
      {u"\U0001F600\\\u03a9.bin", "outside the basic plane"},
      {u"e\u0301", "kept as given, not normalised"},
  };
  Prepare(records);
  ExtractPayload();
  EXPECT_EQ(test::ReadBytes(D("donn\xc3\xa9"
                              "es/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt")),
            "nihongo");
  EXPECT_EQ(test::ReadBytes(D("\xf0\x9f\x98\x80/\xce\xa9.bin")),
            "outside the basic plane");
  EXPECT_TRUE(test::ListTree(unpackDirectory_) == Expected(records));
}

TEST_F(ExtractTest, TheUnpackDirectoryIsPrivate) {
  Prepare({{u"main", "m"}, {u"sub\\f", "f"}});
  mode_t old = umask(0);
  ExtractPayload();
  umask(old);
  struct stat info;
  ASSERT_EQ(stat(unpackDirectory_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  ASSERT_EQ(stat(D("sub").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
}

// On a shared TEMP, another user can be first at the unpack directory's
// path. Whatever is there, the run never writes into it or through it: it
// ends with one line, and what was planted stays as it was.
TEST_F(ExtractTest, SomethingAlreadyAtTheUnpackDirectoryIsNeverUsed) {
  const std::string elsewhere = scratch_ / "elsewhere";
  test::MakeDirectories(elsewhere);
  const struct {
    const char *what;
    void (*plant)(const std::string &path, const std::string &elsewhere);
  } kCases[] = {
      {"a directory", [](const std::string &path,
                         const std::string &) { mkdir(path.c_str(), 0700); }},
      {"a directory open to all",
       [](const std::string &path, const std::string &) {
         mkdir(path.c_str(), 0777);
         chmod(path.c_str(), 0777);
       }},
      {"a link to a directory",
       [](const std::string &path, const std::string &target) {
         ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
       }},
      {"a link to nothing",
       [](const std::string &path, const std::string &target) {
         ASSERT_EQ(symlink((target + "/none").c_str(), path.c_str()), 0);
       }},
      {"a file", [](const std::string &path,
                    const std::string &) { test::WriteBytes(path, "x"); }},
  };
  int run = 0;
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    UnpackInto("run" + std::to_string(run++) + "/D");
    c.plant(unpackDirectory_, elsewhere);
    Prepare({{u"main", "m"}, {u"sub\f", "f"}});
    test::Ending ending = test::RunInChild([] { ExtractPayload(); });
    EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
    EXPECT_EQ(ending.out, "");
    EXPECT_EQ(ending.err.rfind("Error, couldn't create a fresh unpack "
                               "directory '" +
                                   D() + "' ([Error 183] ",
                               0),
              0u)
        << ending.err;
    EXPECT_EQ(test::ListTree(elsewhere).size(), 0u);
    struct stat info;
    if (lstat(unpackDirectory_.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      EXPECT_EQ(test::ListTree(unpackDirectory_).size(), 0u);
    }
  }
}

// A level below the unpack directory that turns out to be a link (someone
// wrote into the private directory) is not a directory to write through.
TEST_F(ExtractTest, ALinkWhereADirectoryShouldBeIsNotFollowed) {
  const std::string elsewhere = scratch_ / "elsewhere";
  test::MakeDirectories(elsewhere);
  test::MakeDirectories(unpackDirectory_);
  ASSERT_EQ(symlink(elsewhere.c_str(), D("sub").c_str()), 0);
  EXPECT_FALSE(EnsureDirectory(test::CorePath(D("sub")).c_str()));
  EXPECT_FALSE(CreateParentDirectories(test::CorePath(D("sub/f")).c_str()));
  EXPECT_TRUE(EnsureDirectory(test::CorePath(D("real")).c_str()));
  EXPECT_TRUE(EnsureDirectory(test::CorePath(D("real")).c_str()));
}

// Directories are made with one buffer, not one stack frame a level: a tree
// of any depth that fits the name limit extracts, here on a thread with the
// Windows launcher's 1 MiB stack.
TEST_F(ExtractTest, DeepTreesExtract) {
  std::u16string deep;
  for (int level = 0; level < 500; ++level)
    deep += u"a\\";
  deep += u"leaf.txt";
  const std::vector<Record> records = {{u"main", "m"}, {deep, "deep"}};
  Prepare(records);
  test::Ending ending = test::RunInChild([] {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 1 << 20);
    pthread_t thread;
    pthread_create(
        &thread, &attributes,
        [](void *) -> void * {
          ExtractPayload();
          return nullptr;
        },
        nullptr);
    pthread_join(thread, nullptr);
  });
  EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
  EXPECT_TRUE(test::ListTree(D()) == Expected(records));
}

// A name of `length` units of `unit`, in levels short enough for the file
// system.
std::u16string LongName(size_t length, char16_t unit) {
  std::u16string name;
  while (length - name.size() > 200)
    name += std::u16string(199, unit) + u"\\";
  return name + std::u16string(length - name.size(), unit);
}

TEST_F(ExtractTest, NamesAndTheChildPathMayFillTheirBuffers) {
  std::u16string longName = LongName(1023, u'n');
  // The first record's full path: exactly 1023 units.
  std::u16string directory = test::CorePath(D());
  std::u16string childName = LongName(1023 - directory.size() - 1, u'c');

  const std::vector<Record> records = {{childName, "child"},
                                       {longName, "long"}};
  Prepare(records);
  ExtractPayload();
  EXPECT_EQ(std::u16string(state.childExecutablePath),
            directory + u"\\" + childName);
  EXPECT_TRUE(test::ListTree(D()) == Expected(records));

  // One unit more for the child's path is refused before anything is made.
  Prepare({{childName + u"c", "child"}});
  test::Ending ending = test::RunInChild([] { ExtractPayload(); });
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  EXPECT_EQ(ending.err, "Error, the path of the main program '" +
                            test::ShownPath(directory + u"\\" + childName) +
                            "c' is longer than 1023 units.\n");
  EXPECT_EQ(test::ListTree(D()), Expected(records));
}

// A name that does not fit the path buffer below a deep unpack directory
// ends the run with a line and status 2, as the other refusals do (not
// through the silent abort of an overflow), and nothing is left.
TEST_F(ExtractTest, ANameThatMakesAPathTooLongEndsTheRunInOrder) {
  std::string deep;
  while (deep.size() < 3100)
    deep += std::string(200, 'u') + "/";
  UnpackInto(deep + "D");
  std::u16string directory = test::CorePath(D());
  // The unpack directory, a backslash, the name and the terminator: 4097.
  std::u16string name = LongName(4095 - directory.size(), u'n');
  ASSERT_LE(name.size(), (size_t)kMaxNameUnits);
  for (const std::u16string &tried : {name, name.substr(1)}) {
    SCOPED_TRACE(tried.size());
    Prepare({{tried, "x"}});
    test::Ending ending = test::RunInChild([] { ExtractPayload(); });
    EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
    if (tried.size() == name.size()) {
      EXPECT_EQ(ending.err, "Error, the name '" + test::Utf8(tried) +
                                "' in the attached data makes a path longer "
                                "than 4095 units in the unpack directory.\n");
    } else {
      // One unit shorter, the path fits: the main program's path is what
      // is too long.
      EXPECT_EQ(
          ending.err.compare(0, 37, "Error, the path of the main program '"), 0)
          << ending;
    }
    EXPECT_FALSE(test::Exists(D()));
  }
}

// Failures end the process: each runs in a child.
TEST_F(ExtractTest, AFileThatCannotBeOpenedEndsTheRunAndLeavesNothing) {
  const std::vector<Record> records = {
      {u"main", "1"},
      {u"second", "2"},
      {u"d\\third", "3"},
      {u"fourth", "4"},
      // A directory stands where the fifth file should go.
      {u"d", "5"},
      {u"sixth", "6"},
  };
  Prepare(records);
  test::Ending ending = test::RunInChild([] { ExtractPayload(); });
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  EXPECT_EQ(ending.out, "");
  EXPECT_EQ(ending.err,
            "Error, failed to open '" + D("d") + "' for writing.\n");
  // Four files were written before; they go with the directory.
  EXPECT_FALSE(test::Exists(unpackDirectory_));
}

TEST_F(ExtractTest, APayloadThatRunsOutLeavesNothingBehind) {
  const std::string second = test::SampleBytes(100000, 6);
  const std::vector<Record> records = {{u"main", "complete"},
                                       {u"second", second}};
  // The compressed data stops 40,000 bytes into the second file's data:
  // one 32 KiB chunk of it reaches the disk.
  std::string stream = test::ArchiveStream(records);
  size_t secondData = stream.size() - 2 - second.size();
  PrepareStream(stream.substr(0, secondData + 40000));

  test::Ending ending = test::RunInChild([] { ExtractPayload(); }, 10);
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  EXPECT_EQ(ending.out, "Error, couldn't decode attached data.\n");
  // The whole first file and a chunk of the second were written; all of it
  // goes with the directory.
  EXPECT_FALSE(test::Exists(D()));
  EXPECT_EQ(test::ListTree(scratch_.path()).size(), 0u);
}

// The profile folder only seeds the directories known to exist: a run
// without one (HOME unset, or a home the system cannot hand over) still
// extracts everything.
TEST_F(ExtractTest, WithoutAProfileDirectoryTheRunGoesOn) {
  const std::string kTooLongForTheFolderBuffer =
      "/" + std::string(MAX_PATH, 'h');
  int run = 0;
  for (const char *home :
       {(const char *)nullptr, "", kTooLongForTheFolderBuffer.c_str()}) {
    SCOPED_TRACE(home == nullptr ? "HOME unset" : "HOME set");
    UnpackInto("run" + std::to_string(run++) + "/unpack");
    Prepare({{u"main", "m"}, {u"d\\e\\f", "deep"}});
    test::Ending ending = test::RunInChild([&] {
      test::SetEnv("HOME", home);
      ExtractPayload();
    });
    EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
    EXPECT_EQ(test::ReadBytes(unpackDirectory_ + "/d/e/f"), "deep");
  }
}

} // namespace
