//===- packer/cli/depfile.cpp - What a build depends on -------------------===//
#include "packer/cli/depfile.h"

#include "packer/failure.h"

namespace veskar {

namespace {

bool Escape(const std::string &path, std::string *out, std::string *error) {
  std::string result;
  for (char c : path) {
    if (c == '\n' || c == '\r')
      return Fail(error, "the path '" + path +
                             "' holds a line break, which a depfile cannot "
                             "carry");
    if (c == ' ' || c == '\t' || c == '#')
      result += '\\';
    if (c == '$')
      result += '$';
#ifdef _WIN32
    if (c == '\\')
      c = '/';
#endif
    result += c;
  }
  *out = result;
  return true;
}

} // namespace

bool DepfileText(const std::string &output,
                 const std::vector<std::string> &inputs, std::string *text,
                 std::string *error) {
  std::string escaped;
  if (!Escape(output, &escaped, error))
    return false;
  std::string result = escaped + ":";
  for (const std::string &input : inputs) {
    if (!Escape(input, &escaped, error))
      return false;
    result += " \\\n  " + escaped;
  }
  *text = result + "\n";
  return true;
}

} // namespace veskar
