//===- packer/cli/commands.h - The command line of veskar-pack ------------===//
//
// veskar-pack COMMAND ARGS... [OPTIONS]: options may stand anywhere after
// the command, as "--name VALUE" or "--name=VALUE". Exit status: 0 done,
// 1 failed (the reason is one line on standard error), 2 the command line
// itself is wrong.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace veskar {

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

struct CommandLine {
  std::string command;
  std::vector<std::string> arguments;        // the positional ones
  std::map<std::string, std::string> values; // "--level" -> "5"
  std::set<std::string> flags;               // "--best", "--long"
  bool quiet = false;
  bool help = false;
};

// The command line's reports, in packer/main.cpp beside the dispatch.

// Prints "veskar-pack: MESSAGE" on standard error and gives `status`. The
// message is shown as one line (Shown, in packer/string_codec.h): whatever
// name or path it carries, a control character in it is escaped.
int Report(int status, const std::string &message);

// Reports a wrong command line with kExitUsage, pointing to the help that
// lists what `command` takes (the general help when it is empty).
int UsageError(const std::string &command, const std::string &message);

// The --threads option (1 to 200) into `threads`; when it is not given,
// one per CPU, at most `defaultCap`. kExitOk, or kExitUsage reported.
int ReadThreads(const CommandLine &line, int defaultCap, int *threads);

int RunBuild(const CommandLine &line);
int RunAttach(const CommandLine &line);
int RunList(const CommandLine &line);
int RunExtract(const CommandLine &line);
int RunVerify(const CommandLine &line);

} // namespace veskar
