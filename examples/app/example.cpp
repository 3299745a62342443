//===- examples/app/example.cpp - The bundled example application -------===//
//
// A small Windows console program to pack and run: it prints what it sees
// of the world a launcher gives it - its own path, its arguments, the two
// variables the launcher sets, the files around it and the first line of
// its greeting file - and ends with the exit code asked for by
// "--exit N" (0 otherwise). Text goes out as UTF-8.
//
//===----------------------------------------------------------------------===//
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

namespace {

void Print(const std::wstring &text) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(),
                                  nullptr, 0, nullptr, nullptr);
  std::string utf8(bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &utf8[0],
                      bytes, nullptr, nullptr);
  utf8 += '\n';
  fwrite(utf8.data(), 1, utf8.size(), stdout);
}

std::wstring Variable(const wchar_t *name) {
  wchar_t value[4096];
  DWORD length = GetEnvironmentVariableW(name, value, 4096);
  if (length == 0 || length >= 4096)
    return L"(not set)";
  return value;
}

// Lists every file below `directory`, names relative to `root`, in the
// order the file system gives them.
void ListFiles(const std::wstring &root, const std::wstring &relative) {
  std::wstring pattern =
      root + (relative.empty() ? L"" : L"\\" + relative) + L"\\*";
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..")
      continue;
    std::wstring path = relative.empty() ? name : relative + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ListFiles(root, path);
    } else {
      unsigned long long size =
          ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
      Print(L"file " + path + L" " + std::to_wstring(size));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

std::wstring FirstLine(const std::wstring &path) {
  FILE *file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr)
    return L"(cannot open)";
  char line[256] = "";
  if (fgets(line, sizeof line, file) == nullptr)
    line[0] = 0;
  fclose(file);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  wchar_t wide[256];
  int units = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(),
                                  wide, 255);
  return std::wstring(wide, units > 0 ? units : 0);
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  wchar_t self[4096];
  DWORD length = GetModuleFileNameW(nullptr, self, 4096);
  std::wstring own(self, length < 4096 ? length : 0);
  std::wstring folder = own.substr(0, own.rfind(L'\\'));

  Print(L"Veskar example: hello from " + own);
  Print(L"arguments " + std::to_wstring(argc - 1));
  for (int i = 1; i < argc; ++i)
    Print(L"argument " + std::to_wstring(i) + L" [" + argv[i] + L"]");
  Print(L"VESKAR_ONEFILE_PARENT=" + Variable(L"VESKAR_ONEFILE_PARENT"));
  Print(L"VESKAR_ONEFILE_BINARY=" + Variable(L"VESKAR_ONEFILE_BINARY"));
  ListFiles(folder, L"");
  Print(L"greeting " + FirstLine(folder + L"\\data\\greeting.txt"));

  int code = 0;
  for (int i = 1; i + 1 < argc; ++i)
    if (wcscmp(argv[i], L"--exit") == 0)
      code = _wtoi(argv[i + 1]);
  Print(L"exit " + std::to_wstring(code));
  fflush(stdout);
  return code;
}
