//===- tests/integration/linux_probe.cpp - A Linux child that reports ----===//
//
// The Linux launcher's tests pack this program as the child. Like its
// Windows counterpart it is told what to do through its environment, since
// its arguments are the launcher's:
//
//   VESKAR_PROBE_REPORT          file to write the report to (under a
//                                temporary name, then renamed); when it
//                                names a directory, report-PID.txt in there
//   VESKAR_PROBE_EXIT            exit status
//   VESKAR_PROBE_RAISE           a signal to end itself with instead
//   VESKAR_PROBE_READ_STDIN      "1": read standard input to its end first
//   VESKAR_PROBE_IGNORE_SIGNALS  "1": ignore SIGINT, SIGTERM and SIGHUP
//   VESKAR_PROBE_SLEEP_MS        sleep this long after the report
//   VESKAR_PROBE_GRANDCHILD      "1": leave a process of its own behind,
//                                detached from the standard streams, that
//                                waits (at most 60 s) for REPORT.go and then
//                                creates REPORT.grandchild
//   VESKAR_PROBE_NEST            make this many directories "d", each in the
//                                last, in its own directory (after listing
//                                it); the report says how many it made
//   VESKAR_PROBE_AWAIT_GO        "1": after the report, wait (at most 60 s)
//                                for REPORT.go before ending
//   VESKAR_PROBE_FOLDER          "1": do to its own folder, in order, what a
//                                program may (FolderRows below), and report
//                                "folder ROW ok" or "folder ROW errno N";
//                                the last row deletes the folder whole
//
// The report has one "key value" line each; every byte string is written as
// hex, so nothing is re-encoded on the way to the test. The "inherited-"
// lines say what the process was started with, read before it changes
// anything: the signals ignored, blocked and caught (as /proc/self/status
// shows them), the umask, three limits, the nice value and the open
// descriptors.
//
//===----------------------------------------------------------------------===//
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "common/sha256.h"

extern char **environ;

namespace {

std::string report;

void Add(const std::string &text) { report += text; }

std::string Hex(const std::string &bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

void AddLine(const std::string &key, const std::string &value) {
  Add(key + " " + value + "\n");
}

std::string Mode(const std::string &path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0)
    return "missing";
  char text[16];
  snprintf(text, sizeof text, "%o", (unsigned)(info.st_mode & 07777));
  return text;
}

// A "file" line (name, size, SHA-256) or a "directory" line (name, mode)
// for everything below `directory`; `relative` is the name so far.
void AddFiles(const std::string &directory, const std::string &relative) {
  DIR *dir = opendir(directory.c_str());
  if (dir == nullptr)
    return;
  while (struct dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    std::string path = directory + "/" + name;
    std::string inside = relative.empty() ? name : relative + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
      continue;
    if (S_ISDIR(info.st_mode)) {
      AddLine("directory", Hex(inside) + " " + Mode(path));
      AddFiles(path, inside);
      continue;
    }
    Sha256 sha;
    Sha256Init(sha);
    unsigned long long size = 0;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
      static unsigned char chunk[65536];
      ssize_t got;
      while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        Sha256Update(sha, chunk, (size_t)got);
        size += (unsigned long long)got;
      }
      close(fd);
    }
    char digest[65];
    Sha256HexDigest(sha, digest);
    AddLine("file", Hex(inside) + " " + std::to_string(size) + " " + digest);
  }
  closedir(dir);
}

std::string Variable(const char *name) {
  const char *value = getenv(name);
  return value != nullptr ? value : "";
}

void Write(int fd, const char *text) {
  if (write(fd, text, strlen(text)) < 0) {
    // Nothing to do: the test sees the line missing.
  }
}

bool Exists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Forks the process that outlives us; returns its id, or -1.
pid_t StartGrandchild(const std::string &report) {
  std::string go = report + ".go", done = report + ".grandchild";
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd)
    dup2(null, fd);
  for (int i = 0; i < 6000 && !Exists(go); ++i)
    usleep(10000);
  if (Exists(go))
    close(open(done.c_str(), O_WRONLY | O_CREAT, 0600));
  _exit(0);
}

// Makes up to `count` directories "d", each inside the last, in
// `directory`, one descriptor at a time (the paths outgrow the system's
// limit); gives how many it made.
long MakeNested(const std::string &directory, long count) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  long made = 0;
  while (fd >= 0 && made < count && mkdirat(fd, "d", 0700) == 0) {
    ++made;
    int inner = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = inner;
  }
  if (fd >= 0)
    close(fd);
  return made;
}

// The "inherited-" lines (see the top).
void AddInherited(void) {
  FILE *status = fopen("/proc/self/status", "r");
  char line[512];
  const char *const kSignalLines[][2] = {
      {"SigIgn:", "ignored"}, {"SigBlk:", "blocked"}, {"SigCgt:", "caught"}};
  while (status != nullptr && fgets(line, sizeof line, status) != nullptr) {
    for (const auto &wanted : kSignalLines) {
      size_t length = strlen(wanted[0]);
      if (strncmp(line, wanted[0], length) != 0)
        continue;
      std::string value = line + length;
      value.erase(0, value.find_first_not_of(" \t"));
      value.erase(value.find_last_not_of(" \t\n") + 1);
      AddLine(std::string("inherited-") + wanted[1], value);
    }
  }
  if (status != nullptr)
    fclose(status);

  mode_t mask = umask(0);
  umask(mask);
  char text[64];
  snprintf(text, sizeof text, "%04o", (unsigned)mask);
  AddLine("inherited-umask", text);

  const struct {
    int resource;
    const char *name;
  } kLimits[] = {{RLIMIT_NOFILE, "nofile"},
                 {RLIMIT_CORE, "core"},
                 {RLIMIT_FSIZE, "fsize"}};
  for (const auto &limit : kLimits) {
    struct rlimit value;
    if (getrlimit(limit.resource, &value) != 0)
      continue;
    snprintf(text, sizeof text, "%llu %llu", (unsigned long long)value.rlim_cur,
             (unsigned long long)value.rlim_max);
    AddLine(std::string("inherited-limit-") + limit.name, text);
  }

  errno = 0;
  int nice = getpriority(PRIO_PROCESS, 0);
  AddLine("inherited-nice", errno == 0 ? std::to_string(nice) : "unknown");

  // Numbers only: what a descriptor leads to differs from run to run.
  std::string descriptors;
  DIR *dir = opendir("/proc/self/fd");
  while (dir != nullptr) {
    struct dirent *entry = readdir(dir);
    if (entry == nullptr)
      break;
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir))
      continue;
    descriptors +=
        (descriptors.empty() ? "" : ",") + std::string(entry->d_name);
  }
  if (dir != nullptr)
    closedir(dir);
  AddLine("inherited-descriptors", descriptors);
}

// One "folder ROW" line: "ok", or the errno of the failure.
void AddRow(const char *row, bool done) {
  AddLine(std::string("folder ") + row,
          done ? "ok" : "errno " + std::to_string(errno));
}

// Deletes everything below `directory` and then `directory`.
bool DeleteTree(const std::string &directory) {
  DIR *dir = opendir(directory.c_str());
  if (dir == nullptr)
    return false;
  bool deleted = true;
  while (struct dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    std::string path = directory + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
      continue;
    deleted = (S_ISDIR(info.st_mode) ? DeleteTree(path)
                                     : unlink(path.c_str()) == 0) &&
              deleted;
  }
  closedir(dir);
  return deleted && rmdir(directory.c_str()) == 0;
}

// What a program does to its own folder, each row on its own: the same
// packed as unpacked, but for the one difference the launcher's hold makes
// (the folder's own exclusive flock).
void FolderRows(const std::string &own) {
  int fd = open(own.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  AddRow("open", fd >= 0);
  AddRow("flock-exclusive", fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0);
  if (fd >= 0)
    close(fd);

  int watch = inotify_init1(IN_CLOEXEC);
  bool watched = watch >= 0 && inotify_add_watch(watch, own.c_str(),
                                                 IN_CREATE) >= 0;
  std::string seen = own + "/watched";
  close(open(seen.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  if (watched) {
    // The event is queued by the creation itself: the read does not wait.
    alignas(struct inotify_event) char events[4096];
    watched = read(watch, events, sizeof events) > 0 &&
              ((struct inotify_event *)events)->mask == IN_CREATE;
  }
  AddRow("watch", watched);
  if (watch >= 0)
    close(watch);
  unlink(seen.c_str());

  std::string file = own + "/made", renamed = own + "/made-renamed";
  close(open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  AddRow("rename-file", rename(file.c_str(), renamed.c_str()) == 0);
  AddRow("delete-file", unlink(renamed.c_str()) == 0);
  std::string sub = own + "/made-folder", subRenamed = own + "/made-folder2";
  mkdir(sub.c_str(), 0700);
  AddRow("rename-subfolder", rename(sub.c_str(), subRenamed.c_str()) == 0);
  AddRow("delete-subfolder", rmdir(subRenamed.c_str()) == 0);

  std::string moved = own + "-moved";
  bool there = rename(own.c_str(), moved.c_str()) == 0;
  AddRow("rename-folder", there);
  if (there)
    rename(moved.c_str(), own.c_str());
  AddRow("delete-folder", DeleteTree(own));
}

} // namespace

int main(int argc, char **argv) {
  AddInherited();
  if (Variable("VESKAR_PROBE_IGNORE_SIGNALS") == "1") {
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
  }

  for (int i = 0; i < argc; ++i)
    AddLine("arg", Hex(argv[i]));
  for (char **entry = environ; *entry != nullptr; ++entry)
    AddLine("env", Hex(*entry));
  char path[8192];
  if (getcwd(path, sizeof path) != nullptr)
    AddLine("cwd", Hex(path));
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string exe(path, length > 0 ? (size_t)length : 0);
  AddLine("exe", Hex(exe));
  std::string ownDirectory = exe.substr(0, exe.rfind('/'));
  AddLine("own-directory-mode", Mode(ownDirectory));
  AddLine("pid", std::to_string(getpid()));
  AddLine("ppid", std::to_string(getppid()));
  for (int fd = 0; fd < 3; ++fd)
    AddLine("fd" + std::to_string(fd),
            fcntl(fd, F_GETFD) != -1 ? "open" : "closed");
  AddFiles(ownDirectory, "");
  if (Variable("VESKAR_PROBE_READ_STDIN") == "1") {
    std::string data;
    char chunk[4096];
    ssize_t got;
    while ((got = read(0, chunk, sizeof chunk)) > 0)
      data.append(chunk, (size_t)got);
    AddLine("stdin", Hex(data));
  }
  std::string reportPath = Variable("VESKAR_PROBE_REPORT");
  struct stat info;
  if (!reportPath.empty() && stat(reportPath.c_str(), &info) == 0 &&
      S_ISDIR(info.st_mode))
    reportPath += "/report-" + std::to_string(getpid()) + ".txt";
  if (Variable("VESKAR_PROBE_GRANDCHILD") == "1")
    AddLine("grandchild", std::to_string(StartGrandchild(reportPath)));
  std::string nest = Variable("VESKAR_PROBE_NEST");
  if (!nest.empty())
    AddLine("nested", std::to_string(MakeNested(
                          ownDirectory, strtol(nest.c_str(), nullptr, 10))));
  if (Variable("VESKAR_PROBE_FOLDER") == "1")
    FolderRows(ownDirectory);
  Add("end\n");
  if (!reportPath.empty()) {
    std::string partial = reportPath + ".partial";
    FILE *file = fopen(partial.c_str(), "wb");
    if (file != nullptr) {
      fwrite(report.data(), 1, report.size(), file);
      fclose(file);
      rename(partial.c_str(), reportPath.c_str());
    }
  }

  Write(1, "probe: a line on standard output\n");
  Write(2, "probe: a line on standard error\n");

  std::string sleep = Variable("VESKAR_PROBE_SLEEP_MS");
  if (!sleep.empty()) {
    long ms = strtol(sleep.c_str(), nullptr, 10);
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
  }
  if (Variable("VESKAR_PROBE_AWAIT_GO") == "1") {
    std::string go = reportPath + ".go";
    for (int i = 0; i < 6000 && !Exists(go); ++i)
      usleep(10000);
  }
  std::string raise = Variable("VESKAR_PROBE_RAISE");
  if (!raise.empty()) {
    int number = atoi(raise.c_str());
    signal(number, SIG_DFL);
    kill(getpid(), number);
  }
  return (int)strtol(Variable("VESKAR_PROBE_EXIT").c_str(), nullptr, 0);
}
