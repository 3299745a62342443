//===- tests/unit/process_test.cpp - Starting a child over POSIX --------===//
//
// The POSIX layer's CreateProcessW starts the child with vfork and exec: the
// exec's error comes back as the call's failure, and the child starts with
// the standard handles it was given, no blocked signal, and the default
// action for the signals the launcher handles or ignores, whatever the
// launcher's own thread had.
//
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/posix/internal.h"
#include "tests/unit/support.h"

namespace {

TEST(ProcessTest, AProgramThatCannotRunFailsTheCallWithItsError) {
  test::ScratchDir scratch;
  test::WriteBytes(scratch / "text", "no program, no #! line\n");
  chmod((scratch / "text").c_str(), 0700);
  test::WriteBytes(scratch / "not-executable", "#!/bin/sh\n");
  chmod((scratch / "not-executable").c_str(), 0600);
  test::MakeDirectories(scratch / "directory");
  const struct {
    const char *name;
    DWORD error;
  } kCases[] = {
      {"missing", ERROR_FILE_NOT_FOUND},
      {"text", ERROR_BAD_EXE_FORMAT},
      {"not-executable", ERROR_ACCESS_DENIED},
      {"directory", ERROR_ACCESS_DENIED},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    std::u16string path = test::CorePath(scratch / c.name);
    PROCESS_INFORMATION info = {};
    SetLastError(0);
    EXPECT_FALSE(CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, TRUE,
                                CREATE_SUSPENDED, nullptr, nullptr, nullptr,
                                &info));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(info.hProcess, nullptr);
  }
}

// The signal lines of /proc/PID/status as bit masks.
struct SignalState {
  unsigned long long blocked = ~0ull, ignored = ~0ull;
};

SignalState SignalsOf(pid_t pid) {
  SignalState found;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    unsigned long long *mask = line.rfind("SigBlk:", 0) == 0   ? &found.blocked
                               : line.rfind("SigIgn:", 0) == 0 ? &found.ignored
                                                               : nullptr;
    if (mask != nullptr)
      *mask = strtoull(line.c_str() + 7, nullptr, 16);
  }
  return found;
}

unsigned long long Bit(int signal) { return 1ull << (signal - 1); }

TEST(ProcessTest, TheChildStartsWithItsHandlesAndCleanSignals) {
  // The launcher's side, in a forked process: console signals blocked,
  // SIGPIPE, SIGXFSZ (as the launcher ignores both) and SIGTERM ignored.
  test::Ending ending = test::RunInChild([] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGTERM, SIG_IGN);

    // cat reads the pipe given as its standard input until the write end
    // closes, and writes it to the standard output it was given.
    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0)
      return;
    veskar_posix::Handle *in =
        veskar_posix::NewHandle(veskar_posix::kFileHandle);
    in->fd = input[0];
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::u16string cat = test::CorePath("/bin/cat");
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(cat.c_str(), nullptr, nullptr, nullptr, TRUE, 0,
                        nullptr, nullptr, &startup, &info)) {
      printf("no start %u\n", (unsigned)GetLastError());
      return;
    }
    close(input[0]);
    // The child has run its program by the time CreateProcessW returns.
    SignalState child = SignalsOf((pid_t)info.dwProcessId);
    printf("blocked %llx ignored %llx\n", child.blocked,
           child.ignored & (Bit(SIGPIPE) | Bit(SIGXFSZ) | Bit(SIGTERM)));
    fflush(stdout);
    if (write(input[1], "through stdin\n", 14) != 14)
      return;
    close(input[1]);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 99;
    GetExitCodeProcess(info.hProcess, &code);
    printf("exit %u\n", (unsigned)code);
  });
  EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
  EXPECT_EQ(ending.out, "blocked 0 ignored 0\nthrough stdin\nexit 0\n");
}

} // namespace
