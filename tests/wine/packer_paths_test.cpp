//===- tests/wine/packer_paths_test.cpp - The Windows packer's paths ------===//
//
// The conversion of the Windows packer's paths (packer/os/windows/fs.cpp) to
// the form the system takes and back: a share becomes \\?\UNC\server\share,
// a drive path \\?\C:\..., a device stays as it is, and what comes back
// loses its prefix again. Prints one line per case, PASS or FAIL, and ends
// with 1 when one failed.
//
//===----------------------------------------------------------------------===//
#include <stdio.h>

#include <string>

#include "packer/os/fs.h"

namespace {

int failures = 0;

void Show(const std::wstring &text) { printf("'%ls'", text.c_str()); }
void Show(const std::string &text) { printf("'%s'", text.c_str()); }

template <typename Text>
void Expect(const char *what, const Text &got, const Text &expected) {
  bool pass = got == expected;
  failures += !pass;
  printf("%s %s: got ", pass ? "PASS" : "FAIL", what);
  Show(got);
  printf(", expected ");
  Show(expected);
  printf("\n");
}

} // namespace

int wmain() {
  using veskar::fs::PathFromSystem;
  using veskar::fs::SystemPath;
  struct {
    const char *what, *path;
    const wchar_t *expected;
  } const kToSystem[] = {
      {"a share", "\\\\server\\share\\dir\\app.exe",
       L"\\\\?\\UNC\\server\\share\\dir\\app.exe"},
      {"a share written with '/'", "//server/share/dir/app.exe",
       L"\\\\?\\UNC\\server\\share\\dir\\app.exe"},
      {"a share's '..' resolved", "\\\\server\\share\\dir\\..\\app.exe",
       L"\\\\?\\UNC\\server\\share\\app.exe"},
      {"a drive path", "C:\\out\\App.exe", L"\\\\?\\C:\\out\\App.exe"},
      {"a drive path with '/'", "C:/out/App.exe", L"\\\\?\\C:\\out\\App.exe"},
      {"a prefixed path keeps its form", "\\\\?\\UNC\\server\\share/a/b",
       L"\\\\?\\UNC\\server\\share\\a\\b"},
      {"a device", "\\\\.\\NUL", L"\\\\.\\NUL"},
  };
  for (const auto &c : kToSystem)
    Expect(c.what, SystemPath(c.path), std::wstring(c.expected));

  struct {
    const char *what;
    const wchar_t *path;
    const char *expected;
  } const kFromSystem[] = {
      {"back from a share", L"\\\\?\\UNC\\server\\share\\dir\\app.exe",
       "//server/share/dir/app.exe"},
      {"back from a drive path", L"\\\\?\\C:\\out\\App.exe", "C:/out/App.exe"},
      {"back from a plain path", L"C:\\out", "C:/out"},
  };
  for (const auto &c : kFromSystem)
    Expect(c.what, PathFromSystem(c.path), std::string(c.expected));
  return failures == 0 ? 0 : 1;
}
