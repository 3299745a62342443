//===- packer/cli/depfile.cpp - What a build depends on -------------------===//
#include "packer/cli/depfile.h"

#include "packer/failure.h"

namespace veskar {

namespace {

// As a compiler's -MD output escapes: a space or tab is escaped with one
// backslash more than twice the backslashes in front of it (2N+1
// backslashes and a blank stand for N backslashes and the blank; 2N would
// end the word there), '#' with one backslash, '$' as "$$". Other
// backslashes stand for themselves.
bool Escape(const std::string &path, std::string *out, std::string *error) {
  std::string result;
  size_t backslashes = 0; // the path's own, just in front of `c`
  for (char c : path) {
    if (c == '\n' || c == '\r')
      return Fail(error, "the path '" + path +
                             "' holds a line break, which a depfile cannot "
                             "carry");
    if (c == ' ' || c == '\t')
      result.append(backslashes + 1, '\\');
    if (c == '#')
      result += '\\';
    if (c == '$')
      result += '$';
#ifdef _WIN32
    if (c == '\\')
      c = '/';
#endif
    backslashes = c == '\\' ? backslashes + 1 : 0;
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
