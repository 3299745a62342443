//===- tests/integration/round_trip_test.cpp - Packer and Linux launcher ===//
//
// A generated tree is packed with the container tool, appended to the Linux
// launcher and run. The tree's main file is a shell script that copies its
// own directory and reports what it was given, so every byte that reached
// the disk can be compared with what was packed. The tree comes from a seed
// that each run prints; VESKAR_TEST_SEED replays one.
//
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/unit/support.h"

extern char **environ;

namespace {

const char kMainScript[] = R"(#!/bin/sh
d=$(dirname "$0")
out=$VESKAR_TEST_OUT
cp -R "$d" "$out/copy"
stat -c %a "$d" > "$out/mode"
printf '%s\n' "$d" > "$out/dir"
printf '%s\n' "$VESKAR_ONEFILE_PARENT" > "$out/parent"
printf '%s\n' "$VESKAR_ONEFILE_BINARY" > "$out/binary"
for a in "$@"; do printf '%s\n' "$a"; done > "$out/args"
exit 42
)";

// A tree of several hundred files, up to four levels deep, a few MB.
std::map<std::string, std::string> GenerateTree(uint32_t seed) {
  std::mt19937 random(seed);
  const char *const kLevelNames[] = {"lib",
                                     "data",
                                     "Qt Plugins",
                                     "r\xc3\xa9sum\xc3\xa9",
                                     "\xe6\x97\xa5\xe6\x9c\xac",
                                     "share",
                                     "x"};
  std::vector<std::string> directories = {""};
  for (int i = 0; i < 40; ++i) {
    const std::string &parent = directories[random() % directories.size()];
    if (std::count(parent.begin(), parent.end(), '/') >= 4)
      continue;
    directories.push_back(parent + kLevelNames[random() % 7] + "." +
                          std::to_string(i) + "/");
  }
  std::map<std::string, std::string> tree;
  tree["run.sh"] = kMainScript;
  for (int i = 0; i < 400; ++i) {
    size_t size = random() % 8 == 0 ? random() % 200000 : random() % 6000;
    if (i % 97 == 0)
      size = 0;
    tree[directories[random() % directories.size()] + "file " +
         std::to_string(i) + ".bin"] = test::SampleBytes(size, random());
  }
  return tree;
}

// Runs `argv` with extra environment entries, its standard output and
// error going to `out` and `err` when given; the exit status, or -1.
int RunProgram(const std::vector<std::string> &argv,
               const std::vector<std::string> &environment = {},
               const std::string &out = "", const std::string &err = "") {
  std::vector<char *> args, env;
  for (const std::string &a : argv)
    args.push_back((char *)a.c_str());
  args.push_back(nullptr);
  for (const std::string &e : environment)
    env.push_back((char *)e.c_str());
  for (char **e = environ; *e != nullptr; ++e)
    env.push_back(*e);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!out.empty())
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!err.empty())
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid;
  int error =
      posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0)
    return -1;
  // Never hang the suite.
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited) {
    if (waited == 6000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
       at = end + 1)
    lines.push_back(text.substr(at, end - at));
  return lines;
}

TEST(RoundTripTest, AGeneratedTreeArrivesByteForByteAndIsRemovedAfterwards) {
  uint32_t seed =
      getenv("VESKAR_TEST_SEED")
          ? (uint32_t)strtoul(getenv("VESKAR_TEST_SEED"), nullptr, 10)
          : (uint32_t)time(nullptr);
  SCOPED_TRACE("VESKAR_TEST_SEED=" + std::to_string(seed));
  test::ScratchDir scratch;
  const std::map<std::string, std::string> tree = GenerateTree(seed);
  for (const auto &file : tree) {
    std::string path = scratch / ("tree/" + file.first);
    test::MakeDirectories(path.substr(0, path.rfind('/')));
    test::WriteBytes(path, file.second);
  }
  chmod((scratch / "tree/run.sh").c_str(), 0755);

  const std::string container = scratch / "container";
  const std::string program = scratch / "app";
  ASSERT_EQ(RunProgram({VESKAR_CONTAINER_TOOL, "--frame-bytes", "1000000",
                        "tree", container, scratch / "tree", "run.sh"}),
            0);
  ASSERT_EQ(RunProgram({VESKAR_CONTAINER_TOOL, "append", VESKAR_LAUNCHER,
                        container, program}),
            0);
  test::MakeDirectories(scratch / "tmp");
  test::MakeDirectories(scratch / "out");

  int status =
      RunProgram({program, "a b", "", "\xc3\xbcn\xc3\xaf"},
                 {"TMPDIR=" + scratch / "tmp", "HOME=" + scratch.path(),
                  "VESKAR_TEST_OUT=" + scratch / "out"});
  EXPECT_EQ(status, 42);

  // What the child saw.
  std::map<std::string, std::string> expected;
  for (const auto &file : tree) {
    expected[file.first] = file.second;
    for (size_t at = file.first.find('/'); at != std::string::npos;
         at = file.first.find('/', at + 1))
      expected[file.first.substr(0, at) + "/"] = "";
  }
  EXPECT_TRUE(test::ListTree(scratch / "out/copy") == expected)
      << "the extracted tree differs from the packed one";
  EXPECT_EQ(test::ReadBytes(scratch / "out/mode"), "700\n");
  std::string directory = test::ReadBytes(scratch / "out/dir");
  // <TMPDIR>/onefile_<the launcher's process id>_<time>
  const std::string prefix = scratch / "tmp/onefile_";
  ASSERT_EQ(directory.substr(0, prefix.size()), prefix);
  std::string pid =
      directory.substr(prefix.size(), directory.rfind('_') - prefix.size());
  std::string time = directory.substr(directory.rfind('_') + 1);
  EXPECT_TRUE(test::IsDecimal(pid) &&
              test::IsDecimal(time.substr(0, time.size() - 1)))
      << directory;
  EXPECT_EQ(test::ReadBytes(scratch / "out/parent"), pid + "\n");
  char real[4096];
  ASSERT_NE(realpath(program.c_str(), real), nullptr);
  EXPECT_EQ(test::ReadBytes(scratch / "out/binary"), std::string(real) + "\n");
  EXPECT_EQ(Lines(test::ReadBytes(scratch / "out/args")),
            (std::vector<std::string>{"a b", "", "\xc3\xbcn\xc3\xaf"}));

  // Nothing is left behind.
  EXPECT_EQ(test::ListTree(scratch / "tmp").size(), 0u);
}

TEST(RoundTripTest, ALauncherWithNothingToStartEndsBeforeCreatingAnything) {
  const std::string frames =
      test::Compress(test::ArchiveStream({{u"main", "m"}}));
  const char kHeader[] = "Error, couldn't find attached data header.\n";
  struct {
    const char *what;
    std::string appended;
    const char *out, *err;
  } const kCases[] = {
      {"no container", "", kHeader, ""},
      {"a wrong compression byte", test::Container(frames).replace(2, 1, "Z"),
       kHeader, ""},
      {"swapped magic bytes", test::Container(frames).replace(0, 2, "EV"),
       kHeader, ""},
      {"an archive with only the end marker",
       test::Container(test::Compress(test::ArchiveStream({}))), "",
       "Error, couldn't launch child ([Error 2] No such file or directory)\n"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::ScratchDir scratch;
    const std::string program = scratch / "app";
    test::WriteBytes(program, test::ReadBytes(VESKAR_LAUNCHER) + c.appended);
    chmod(program.c_str(), 0700);
    test::MakeDirectories(scratch / "tmp");
    // A fatal ending frees nothing (the decoder and its buffer among it),
    // which a sanitizer build's leak check would report.
    int status =
        RunProgram({program},
                   {"TMPDIR=" + scratch / "tmp", "HOME=" + scratch.path(),
                    "ASAN_OPTIONS=detect_leaks=0"},
                   scratch / "out", scratch / "err");
    EXPECT_EQ(status, 2);
    EXPECT_EQ(test::ReadBytes(scratch / "out"), c.out);
    EXPECT_EQ(test::ReadBytes(scratch / "err"), c.err);
    EXPECT_EQ(test::ListTree(scratch / "tmp").size(), 0u);
  }
}

} // namespace
