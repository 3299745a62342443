//===- packer/cli/depfile.h - What a build depends on ---------------------===//
//
// `build --depfile FILE` writes, beside the package, a Make-syntax rule
// "OUTPUT: INPUT..." that names every path the package was made from: each
// file, each directory (its time changes when a file is added or removed,
// so a build system sees that too) and the icon. Make and Ninja read it as
// they read a compiler's -MD output.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <string>
#include <vector>

namespace veskar {

// The rule's text, each path escaped as Make and Ninja read it (a space,
// a tab, '#' and '$', and backslashes in front of a space or tab); '\'
// between levels becomes '/'. False with a reason when a path holds a
// character no depfile can carry (a line break).
bool DepfileText(const std::string &output,
                 const std::vector<std::string> &inputs, std::string *text,
                 std::string *error);

} // namespace veskar
