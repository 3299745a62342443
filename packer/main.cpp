//===- packer/main.cpp - veskar-pack: options, help and dispatch ---------===//
#include <stdio.h>

#include <set>

#include <zstd.h>

#include "packer/cli/commands.h"
#include "packer/os/fs.h"
#include "packer/os/output_file.h"
#include "packer/string_codec.h"

#ifndef VESKAR_VERSION
#error "the build must give the project's version"
#endif

namespace veskar {

namespace {

const char kUsage[] =
    "veskar-pack - one executable file from an application directory\n"
    "\n"
    "Usage:\n"
    "  veskar-pack build APPDIR -o OUT [options]  pack a directory\n"
    "  veskar-pack attach CONTAINER -o OUT [options]\n"
    "                                 embed a container (build\n"
    "                                 --container-only) as it is\n"
    "  veskar-pack list EXE           the packed files (size, name) and a\n"
    "                                 summary\n"
    "  veskar-pack extract EXE DIR [NAME...]\n"
    "                                 unpack the files (or the named ones)\n"
    "                                 into DIR (new or empty)\n"
    "  veskar-pack verify EXE         check the whole payload: exit 0 when\n"
    "                                 sound, 1 when not\n"
    "  veskar-pack COMMAND --help     the options of one command\n"
    "  veskar-pack --version          the packer's version and zstd's\n";

const char kBuildHelp[] =
    "veskar-pack build APPDIR -o OUT [options]\n"
    "\n"
    "Packs every file of APPDIR into one executable OUT. When started, OUT\n"
    "unpacks the files into a fresh directory, runs the main program with\n"
    "OUT's command line, returns its exit code and removes the directory\n"
    "(with --cache-dir: unpacks once, keeps the directory for later runs).\n"
    "\n"
    "  -o, --output OUT        the executable to write; it appears only when\n"
    "                          complete, and nothing is left there on error.\n"
    "                          Only a regular file at OUT is replaced; a\n"
    "                          directory, device, fifo, socket or symbolic\n"
    "                          link there is refused and left as it is\n"
    "  --main REL              the program to start, relative to APPDIR\n"
    "                          (default: the one .exe at APPDIR's top level;\n"
    "                          for linux, the one executable file there)\n"
    "  --target windows|linux  the launcher to use (default windows)\n"
    "  --icon FILE.ico         windows: the icon (PNG or BMP images);\n"
    "                          default: the Veskar icon set\n"
    "  --company S             COMPANY and CompanyName (default PELTA)\n"
    "  --product S             PRODUCT, ProductName and the manifest's name\n"
    "                          (default Quorvane)\n"
    "  --version A.B.C.D       VERSION, file and product version (default "
    "1.1.0.0)\n"
    "  --description S         windows: FileDescription (default: the "
    "product)\n"
    "  --copyright S           windows: LegalCopyright (default: "
    "\"Copyright (C)\"\n"
    "                          and the company)\n"
    "  --unpack-dir TEMPLATE   where the launcher unpacks, as a path template\n"
    "                          with {TEMP}, {PID}, {TIME}, {HOME},\n"
    "                          {CACHE_DIR}, {PROGRAM}, {PROGRAM_BASE},\n"
    "                          {COMPANY}, {PRODUCT}, {VERSION}; '/' or '\\'\n"
    "                          between levels; it must hold {PID} and {TIME}\n"
    "                          (default {TEMP}\\onefile_{PID}_{TIME})\n"
    "  --cache-dir TEMPLATE    unpack once into a cache directory kept across\n"
    "                          runs, such as {CACHE_DIR}/{COMPANY}/{PRODUCT}/\n"
    "                          {VERSION} (neither {PID} nor {TIME}); later\n"
    "                          starts check the files and run them from "
    "there.\n"
    "                          Not with --unpack-dir\n"
    "  --cache-check size|content\n"
    "                          what a later start checks of each cached file:\n"
    "                          its size (default), or its content too, which\n"
    "                          decodes the payload at every start\n"
    "  --level N               zstd level 1-22 (default 3: quick to pack, for\n"
    "                          everyday builds). Higher levels pack smaller\n"
    "                          and slower; the launcher's memory while it\n"
    "                          unpacks follows the level's window: about\n"
    "                          2 MiB at 3-8, 4 MiB at 9-16, 8 MiB at 17-19,\n"
    "                          32 MiB at 20, 64 MiB at 21 and 128 MiB at 22\n"
    "                          (less for a smaller package)\n"
    "  --long                  long-distance matching over a 128 MiB window\n"
    "                          (the launcher then needs up to 128 MiB)\n"
    "  --best                  the smallest output the launcher reads, for\n"
    "                          releases: level 22 with --long; slow to pack\n"
    "  --threads N             compression threads 1-200 (default: one per\n"
    "                          CPU); the output is the same for every N\n"
    "  --container-only        write OUT as the container alone (what\n"
    "                          attach takes), not an executable; the\n"
    "                          options that shape the executable are refused\n"
    "  --depfile FILE          also write FILE, a Make-syntax rule naming\n"
    "                          every input of OUT: each file and directory\n"
    "                          of APPDIR and the icon, for build systems\n"
    "                          (Ninja, Make) to rebuild OUT when one changes;\n"
    "                          written only when OUT is, whole or not at all\n"
    "  --progress-window       windows: a start that unpacks for longer than\n"
    "                          0.7 s shows a small window with the icon, the\n"
    "                          product name, the progress and Cancel (which\n"
    "                          stops as Ctrl+C does) until the program runs\n"
    "  --error-box             windows: a fatal error that no standard output\n"
    "                          or error takes (a start from the desktop)\n"
    "                          shows its line in a message box, closed after\n"
    "                          a minute at most\n"
    "  --quiet                 no progress and no summary\n"
    "\n"
    "What is taken from APPDIR:\n"
    "  - every regular file, hidden ones included;\n"
    "  - a symbolic link to a regular file inside APPDIR, stored as a copy of\n"
    "    that file under the link's name;\n"
    "  - a link leading outside APPDIR, to a directory or to nothing, and any\n"
    "    fifo, socket or device is an error that names it;\n"
    "  - a directory without files cannot be carried: each is named in a\n"
    "    warning.\n"
    "The main program goes first, the other files follow sorted by name. The\n"
    "same APPDIR, options and output file name give a byte-identical OUT (the\n"
    "version record's OriginalFilename and InternalName come from OUT's\n"
    "name). --icon must name a regular file. Names must be valid\n"
    "UTF-8 and, for windows, names Windows can create (no \\ : * ? \" < > |,\n"
    "no device names, no trailing dot or space, no two names differing only\n"
    "in case), each at most 1023 UTF-16 units. The files and their names must\n"
    "add up to less than 4 GiB, which one resource can hold; this is checked\n"
    "before compressing.\n";

const char kAttachHelp[] =
    "veskar-pack attach CONTAINER -o OUT [options]\n"
    "\n"
    "Makes an executable that carries the regular file CONTAINER as its\n"
    "payload, byte for byte. Make CONTAINER with build --container-only\n"
    "(or any writer of the same format, docs/packer.md); attach then puts\n"
    "it into executables for several targets or with other names and\n"
    "versions without compressing it again. It is not checked (use verify\n"
    "on OUT), except with --cache-dir or --progress-window, whose launcher\n"
    "needs its records or their size: the container is then read whole\n"
    "first and must be sound.\n"
    "\n"
    "  -o, --output OUT        the executable to write\n"
    "  --target windows|linux  the launcher to use (default windows)\n"
    "  --icon, --company, --product, --version, --description, --copyright,\n"
    "  --unpack-dir, --cache-dir, --cache-check, --progress-window,\n"
    "  --error-box, --quiet\n"
    "                          as for build\n";

const char kListHelp[] =
    "veskar-pack list EXE [--json]\n"
    "\n"
    "Prints one line per packed file, its size and name in archive order\n"
    "(the first is the main program; names with the target's separator),\n"
    "then the number of files, their bytes, the compressed size and the\n"
    "ratio, the target, and the launcher's unpack-directory template (or\n"
    "its cache-directory template, check and digest level). A package with\n"
    "an index (build writes one) is listed from it, and nothing of its\n"
    "archive is decoded: the header, the tail, the index and the names are\n"
    "checked, the compressed content is not (verify does that). Without an\n"
    "index, the payload is checked as verify does. Exit 1 at the first\n"
    "fault, with the reason on standard error.\n"
    "\n"
    "  --json                  the same as one JSON object (docs/packer.md\n"
    "                          describes its fields)\n";

const char kExtractHelp[] =
    "veskar-pack extract EXE DIR [NAME...]\n"
    "\n"
    "Unpacks the payload of EXE into DIR, or only the files NAME... (exact\n"
    "names as list shows them, '/' or '\\' between levels; a name the\n"
    "package does not hold is an error, and nothing is extracted). DIR\n"
    "must not exist or be an empty directory (a symbolic link there is\n"
    "refused). Missing directories above\n"
    "DIR are created as mkdir -p does (mode 0755 less the umask), and are\n"
    "removed again if extracting fails. DIR appears only when every file has\n"
    "been written and checked. The payload is checked as verify does (with\n"
    "NAME... and an index, only the frames that hold those files are\n"
    "decoded and checked, with the index's names for every file): names\n"
    "that would lead outside DIR, and names that clash (see verify --help),\n"
    "are refused, and nothing is extracted. Every file gets mode 0755 less\n"
    "the umask, as the Linux launcher gives them: a package keeps no modes,\n"
    "and any file may be a program to start.\n"
    "\n"
    "  --quiet                 no summary\n";

const char kVerifyHelp[] =
    "veskar-pack verify EXE [--threads N]\n"
    "\n"
    "Checks the payload of EXE: the header, every zstd frame with its\n"
    "checksum, every record up to the end marker, and the tail, and that\n"
    "the payload's index (build writes one) agrees with every frame and\n"
    "record. Exit 0 when it is sound, 1 when not (the reason on standard\n"
    "error).\n"
    "\n"
    "Unsound besides damage: a name that occurs twice (the launcher would\n"
    "keep only the last copy), a name that is also a directory of another,\n"
    "and in a Windows package two such names that differ only in case. The\n"
    "message names both records, numbered from 1 as list shows them.\n"
    "\n"
    "A zstd frame may carry no content checksum; the launcher runs such a\n"
    "payload, so verify still exits 0, but warns on standard error that the\n"
    "content could not be verified and which frame carries no checksum.\n"
    "\n"
    "  --threads N             decode the frames of a package with an index\n"
    "                          on N threads, 1-200 (default: one per CPU, at\n"
    "                          most 8)\n"
    "  --quiet                 no summary\n";

struct Command {
  const char *name;
  int (*run)(const CommandLine &);
  size_t positional;             // the arguments it takes...
  bool morePositional;           // ...or at least that many
  std::set<std::string> options; // value-taking options it accepts
  std::set<std::string> flags;   // options without a value it accepts
  const char *help;
  bool quiet; // whether it prints anything --quiet could silence
};

const std::set<std::string> kImageOptions = {
    "--output",  "--target",      "--icon",      "--company",   "--product",
    "--version", "--description", "--copyright", "--unpack-dir"};

std::set<std::string> With(std::set<std::string> base,
                           std::initializer_list<std::string> more) {
  base.insert(more.begin(), more.end());
  return base;
}

const Command *FindCommand(const std::string &name) {
  static const Command kCommands[] = {
      {"build",
       RunBuild,
       1,
       false,
       With(kImageOptions, {"--main", "--level", "--threads", "--cache-dir",
                            "--cache-check", "--depfile"}),
       {"--best", "--long", "--container-only", "--progress-window",
        "--error-box"},
       kBuildHelp,
       true},
      {"attach",
       RunAttach,
       1,
       false,
       With(kImageOptions, {"--cache-dir", "--cache-check"}),
       {"--progress-window", "--error-box"},
       kAttachHelp,
       true},
      {"list", RunList, 1, false, {}, {"--json"}, kListHelp, false},
      {"extract", RunExtract, 2, true, {}, {}, kExtractHelp, true},
      {"verify", RunVerify, 1, false, {"--threads"}, {}, kVerifyHelp, true},
  };
  for (const Command &command : kCommands)
    if (name == command.name)
      return &command;
  return nullptr;
}

} // namespace

int Report(int status, const std::string &message) {
  fs::Print(stderr, "veskar-pack: " + Shown(message) + "\n");
  return status;
}

int UsageError(const std::string &command, const std::string &message) {
  return Report(kExitUsage, message + " (see veskar-pack " +
                                (command.empty() ? "" : command + " ") +
                                "--help)");
}

int Main(const std::vector<std::string> &argv) {
  size_t argc = argv.size();
  if (argc < 2)
    return UsageError("", "no command given");
  std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    fs::Print(stdout, kUsage);
    return kExitOk;
  }
  if (first == "--version" || first == "-V") {
    fs::Print(stdout, std::string("veskar-pack ") + VESKAR_VERSION + " (zstd " +
                          ZSTD_versionString() + ")\n");
    return kExitOk;
  }
  const Command *command = FindCommand(first);
  if (command == nullptr)
    return UsageError("", "unknown command '" + first + "'");

  CommandLine line;
  line.command = first;
  bool onlyPositional = false;
  for (size_t i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (onlyPositional || arg.empty() || arg[0] != '-' || arg == "-") {
      line.arguments.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyPositional = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      line.help = true;
      continue;
    }
    if ((arg == "--quiet" || arg == "-q") && command->quiet) {
      line.quiet = true;
      continue;
    }
    if (command->flags.count(arg) != 0) {
      if (!line.flags.insert(arg).second)
        return UsageError(command->name, arg + " is given twice");
      continue;
    }
    std::string name = arg, value;
    bool hasValue = false;
    size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      hasValue = true;
    }
    if (name == "-o")
      name = "--output";
    if (command->options.count(name) == 0)
      return UsageError(command->name,
                        "'" + name + "' is not an option of " + line.command);
    if (!hasValue) {
      if (i + 1 >= argc)
        return UsageError(command->name, name + " needs a value");
      value = argv[++i];
    }
    if (line.values.count(name) != 0)
      return UsageError(command->name, name + " is given twice");
    line.values[name] = value;
  }
  if (line.help) {
    fs::Print(stdout, command->help);
    return kExitOk;
  }
  if (line.arguments.size() != command->positional &&
      !(command->morePositional && line.arguments.size() > command->positional))
    return UsageError(
        command->name,
        line.command + " takes " +
            (command->morePositional ? "at least " : "") +
            std::to_string(command->positional) +
            (command->positional == 1 ? " argument" : " arguments") + ", not " +
            std::to_string(line.arguments.size()));
  if (command->options.count("--output") != 0 &&
      line.values.count("--output") == 0)
    return UsageError(command->name, line.command + " needs -o OUT");
  return command->run(line);
}

int Start(const std::vector<std::string> &arguments) {
  InstallOutputCleanup();
  return Main(arguments);
}

} // namespace veskar

#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
  return veskar::Start(veskar::fs::WideArguments(argc, argv));
}
#else
int main(int argc, char **argv) {
  return veskar::Start(std::vector<std::string>(argv, argv + argc));
}
#endif
