//===- tests/unit/removal_test.cpp - Removing trees of any depth ---------===//
//
// RemoveDirectoryTree over the real POSIX layer, on trees far deeper than
// the unpack directory's own (an application may make what it likes in
// there). Each case builds and removes its tree in a forked child that can
// open only a few descriptors and runs the removal on a thread with the
// Windows launcher's 1 MiB stack; when the tests run as root, the child
// gives its privileges up first, so that permissions count as they do for
// a user. Then what the removal must leave alone: mounts inside the tree
// (in a mount namespace of the test's own), and a tree moved away under
// the walk. (What it does with a directory that is not the one asked for
// is tested through the launcher's own use, in shutdown_test.cpp.)
//
//===----------------------------------------------------------------------===//
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/unit/support.h"

// Every unlinkat of the POSIX layer comes here (the test program is linked
// with --wrap=unlinkat): a test acts at the moment the walk deletes a name.
std::function<void(const char *name)> beforeUnlink;

extern "C" int __real_unlinkat(int directory, const char *name, int flags);
extern "C" int __wrap_unlinkat(int directory, const char *name, int flags) {
  if (beforeUnlink)
    beforeUnlink(name);
  return __real_unlinkat(directory, name, flags);
}

namespace {

const int kLevels = 10000;
const uid_t kOtherUser = 65534;

bool WriteAt(int directory, const char *name, const char *text) {
  int fd =
      openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    return false;
  bool written = write(fd, text, strlen(text)) == (ssize_t)strlen(text);
  return close(fd) == 0 && written;
}

// What a case puts into the tree's level `level` (open as `directory`),
// beside the next level "d"; false when it cannot.
typedef bool (*Plant)(int directory, int level, const std::string &outside);

// Makes `levels` nested directories "d" below `top`, one descriptor at a
// time (the paths are far longer than the system's path limit), with
// `plant` called for each level; a level chmod'ed by `plant` is closed
// only after its child is made.
bool MakeChain(const std::string &top, int levels, Plant plant,
               const std::string &outside) {
  if (mkdir(top.c_str(), 0700) != 0)
    return false;
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; fd >= 0 && level < levels; ++level) {
    if (mkdirat(fd, "d", 0700) != 0)
      break;
    int inner = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool planted = plant(fd, level, outside);
    close(fd);
    fd = planted ? inner : (close(inner), -1);
  }
  return fd >= 0 && close(fd) == 0;
}

// The depth of the chain of "d" below `top`, as root sees it; every other
// entry on the way down goes into `others` as "LEVEL/NAME".
int ChainDepth(const std::string &top, std::set<std::string> *others) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int depth = 0;
  while (fd >= 0) {
    DIR *dir = fdopendir(fd);
    if (dir == nullptr)
      return close(fd), depth;
    bool inner = false;
    while (struct dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "d")
        inner = true;
      else if (name != "." && name != "..")
        others->insert(std::to_string(depth) + "/" + name);
    }
    fd = inner ? openat(dirfd(dir), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
               : -1;
    closedir(dir);
    depth += inner ? 1 : 0;
  }
  return depth;
}

BOOL removed = FALSE;
std::u16string removing;

void *RemoveOnThread(void *) {
  removed = RemoveDirectoryTree((LPCWSTR)removing.c_str());
  return nullptr;
}

struct DeepCase {
  const char *what;
  Plant plant;
  // What stays: nothing, or the chain down to `depthLeft` with `left` in
  // it, and FALSE from the removal.
  int depthLeft;
  const char *left;
};

TEST(RemovalTest, DeepTreesGoInBoundedStackAndDescriptors) {
  const DeepCase kCases[] = {
      {"a file at every level",
       [](int at, int level, const std::string &) {
         return WriteAt(at, "file.txt", std::to_string(level).c_str());
       },
       0, nullptr},
      // Not followed: the targets, writable by the same user, stay whole.
      {"links to a directory and a file outside at every 1000th level",
       [](int at, int level, const std::string &outside) {
         if (level % 1000 != 999)
           return true;
         return symlinkat(outside.c_str(), at, "to-directory") == 0 &&
                symlinkat((outside + "/keep.txt").c_str(), at, "to-file") ==
                    0 &&
                symlinkat((outside + "/none").c_str(), at, "dangling") == 0;
       },
       0, nullptr},
      // Closed to writing, as an application may leave a cache.
      {"every level read-only",
       [](int at, int, const std::string &) {
         return WriteAt(at, "file.txt", "r") && fchmod(at, 0500) == 0;
       },
       0, nullptr},
      // Closed to searching (chmod -R 644): nothing in a level can even be
      // looked at until the removal opens it up.
      {"every level without search permission",
       [](int at, int, const std::string &) {
         return WriteAt(at, "file.txt", "r") && fchmod(at, 0644) == 0;
       },
       0, nullptr},
      // What cannot go is passed over; everything beside it still goes.
      {"a level nobody may read, with files beside every level",
       [](int at, int level, const std::string &) {
         if (!WriteAt(at, "a-file", "a") || !WriteAt(at, "z-file", "z") ||
             mkdirat(at, "empty", 0700) != 0)
           return false;
         if (level != 6000)
           return true;
         return mkdirat(at, "sealed", 0700) == 0 &&
                WriteAt(at, "sealed/inside", "s") &&
                fchmodat(at, "sealed", 0, 0) == 0;
       },
       6000, "6000/sealed"},
  };
  test::ScratchDir scratch;
  // The other user passes through to a folder of its own.
  ASSERT_EQ(chmod(scratch.path().c_str(), 0711), 0);
  int run = 0;
  for (const DeepCase &c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string work = scratch / ("run" + std::to_string(run++));
    const std::string top = work + "/tree", outside = work + "/outside";
    ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
    if (geteuid() == 0) {
      ASSERT_EQ(chown(work.c_str(), kOtherUser, kOtherUser), 0);
    }
    test::Ending ending = test::RunInChild(
        [&] {
          if (geteuid() == 0 &&
              (setgroups(0, nullptr) != 0 || setgid(kOtherUser) != 0 ||
               setuid(kOtherUser) != 0))
            _exit(3);
          if (mkdir(outside.c_str(), 0700) != 0 ||
              mkdir((outside + "/inner").c_str(), 0700) != 0 ||
              !WriteAt(AT_FDCWD, (outside + "/keep.txt").c_str(), "keep") ||
              !WriteAt(AT_FDCWD, (outside + "/inner/keep.txt").c_str(),
                       "keep") ||
              !MakeChain(top, kLevels, c.plant, outside))
            _exit(4);
          // One descriptor a level would run out at once.
          struct rlimit few = {32, 32};
          if (setrlimit(RLIMIT_NOFILE, &few) != 0)
            _exit(5);
          removing = test::CorePath(top);
          pthread_attr_t attributes;
          pthread_attr_init(&attributes);
          pthread_attr_setstacksize(&attributes, 1 << 20);
          pthread_t thread;
          if (pthread_create(&thread, &attributes, RemoveOnThread, nullptr) !=
              0)
            _exit(6);
          pthread_join(thread, nullptr);
          printf("removed %d", removed ? 1 : 0);
        },
        120);
    ASSERT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
    EXPECT_EQ(ending.out, c.left == nullptr ? "removed 1" : "removed 0");
    EXPECT_EQ(test::ListTree(outside),
              (std::map<std::string, std::string>{{"inner/", ""},
                                                  {"inner/keep.txt", "keep"},
                                                  {"keep.txt", "keep"}}));
    if (c.left == nullptr) {
      EXPECT_FALSE(test::Exists(top));
    } else {
      std::set<std::string> others;
      EXPECT_EQ(ChainDepth(top, &others), c.depthLeft);
      EXPECT_EQ(others, std::set<std::string>{c.left});
    }
    // The deep leftover of a failure, as root, so that the scratch
    // directory's own removal does not have to meet it.
    if (test::Exists(top)) {
      chmod(top.c_str(), 0700);
      RemoveDirectoryTree((LPCWSTR)test::CorePath(top).c_str());
    }
  }
}

} // namespace

namespace {

// The files of the user's folder that the cases below must leave whole.
const std::map<std::string, std::string> kUsersFiles = {
    {"inner/", ""}, {"inner/keep.txt", "keep"}, {"keep.txt", "keep"}};

void MakeUsersFolder(const std::string &folder) {
  test::MakeDirectories(folder + "/inner");
  test::WriteBytes(folder + "/keep.txt", "keep");
  test::WriteBytes(folder + "/inner/keep.txt", "keep");
}

// Gives the process a mount namespace of its own, where it may mount: as
// root that namespace alone where the system allows it, otherwise inside a
// user namespace that maps the user to root (as `unshare -Urm`). False,
// with the reason in `why`, where the system allows neither (a container
// without the right to make namespaces, say).
bool OwnMountNamespace(std::string *why) {
  uid_t user = geteuid();
  gid_t group = getegid();
  bool mapped = false;
  if (user != 0 || unshare(CLONE_NEWNS) != 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      *why = std::string("no user and mount namespace: ") + strerror(errno);
      return false;
    }
    mapped = true;
  }
  if (mapped) {
    std::string users = "0 " + std::to_string(user) + " 1";
    std::string groups = "0 " + std::to_string(group) + " 1";
    test::WriteBytes("/proc/self/setgroups", "deny");
    test::WriteBytes("/proc/self/uid_map", users);
    test::WriteBytes("/proc/self/gid_map", groups);
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = std::string("cannot make the mounts private: ") + strerror(errno);
    return false;
  }
  return true;
}

// The removal stays on the tree's own mount. A bind mount of a folder of
// the same file system (same device: only the mount id tells it), a bind
// mount of a single file, and another file system, each inside the tree,
// are left whole with what they hold; everything else goes, and FALSE
// says that the mount points stayed. Runs as root in a mount namespace of
// its own, or as a user through a user namespace.
TEST(RemovalTest, MountsInsideTheTreeAreLeftWhole) {
  test::ScratchDir scratch;
  const std::string tree = scratch / "tree", users = scratch / "users";
  const std::string bound = tree + "/a/bound", file = tree + "/a/b/file";
  const std::string other = tree + "/c/other";
  test::Ending ending = test::RunInChild([&] {
    std::string why;
    if (!OwnMountNamespace(&why)) {
      printf("skip %s", why.c_str());
      return;
    }
    MakeUsersFolder(users);
    test::MakeDirectories(bound);
    test::MakeDirectories(tree + "/a/b");
    test::MakeDirectories(other);
    test::WriteBytes(tree + "/a/mine.txt", "m");
    test::WriteBytes(tree + "/a/b/mine.txt", "m");
    test::WriteBytes(file, "");
    test::WriteBytes(tree + "/z.txt", "z");
    if (mount(users.c_str(), bound.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount((users + "/keep.txt").c_str(), file.c_str(), nullptr, MS_BIND,
              nullptr) != 0 ||
        mount("tmpfs", other.c_str(), "tmpfs", 0, nullptr) != 0) {
      printf("skip cannot mount: %s", strerror(errno));
      return;
    }
    test::WriteBytes(other + "/on-tmpfs.txt", "t");
    BOOL removed = RemoveDirectoryTree((LPCWSTR)test::CorePath(tree).c_str());
    std::map<std::string, std::string> left = test::ListTree(tree);
    printf("removed %d\n", removed ? 1 : 0);
    for (const auto &entry : left)
      printf("%s=%s\n", entry.first.c_str(), entry.second.c_str());
  });
  if (ending.out.compare(0, 5, "skip ") == 0)
    GTEST_SKIP() << "bind mounts need a mount namespace: " << ending.out;
  ASSERT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
  EXPECT_EQ(ending.out, "removed 0\n"
                        "a/=\n"
                        "a/b/=\n"
                        "a/b/file=keep\n"
                        "a/bound/=\n"
                        "a/bound/inner/=\n"
                        "a/bound/inner/keep.txt=keep\n"
                        "a/bound/keep.txt=keep\n"
                        "c/=\n"
                        "c/other/=\n"
                        "c/other/on-tmpfs.txt=t\n");
  // Outside the namespace, the mounts are gone and the user's folder is
  // whole.
  EXPECT_EQ(test::ListTree(users), kUsersFiles);
}

// The walk climbs back up through "..", and goes on only where that is
// the directory it came down from. Here the subtree it is in is moved into
// a user's folder while it works there: it must stop rather than take the
// user's folder for its own parent and empty it.
TEST(RemovalTest, AWalkWhoseSubtreeIsMovedAwayStops) {
  test::ScratchDir scratch;
  const std::string tree = scratch / "tree", users = scratch / "users";
  MakeUsersFolder(users);
  test::MakeDirectories(tree + "/a/b/c");
  test::WriteBytes(tree + "/a/b/c/trigger", "t");
  test::WriteBytes(tree + "/a/b/c/other", "o");
  test::WriteBytes(tree + "/a/b/mine.txt", "m");
  beforeUnlink = [&](const char *name) {
    if (strcmp(name, "trigger") == 0)
      rename((tree + "/a/b").c_str(), (users + "/b").c_str());
  };
  BOOL removed = RemoveDirectoryTree((LPCWSTR)test::CorePath(tree).c_str());
  beforeUnlink = nullptr;
  EXPECT_FALSE(removed);
  std::map<std::string, std::string> left = test::ListTree(users);
  for (const auto &entry : kUsersFiles) {
    EXPECT_EQ(left[entry.first], entry.second) << entry.first;
  }
}

} // namespace
