//===- packer/os/windows/fs.cpp - The packer's system seam on Windows -----===//
//
// Wide-character calls only. Every path is made absolute and given the
// \\?\ prefix (\\?\UNC\ for a share) before it reaches the system, so that
// no length limit applies; "/" and "\" both separate levels on the way in,
// and paths given back use "/". Descriptors are C runtime descriptors over
// our own handles, so that the code above stays the same on both systems.
//
//===----------------------------------------------------------------------===//
#include "packer/os/fs.h"

#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <string.h>

namespace veskar {
namespace fs {

namespace {

// What a system error code means as errno, for the system's message and
// the few errno values the packer decides on (ENOENT, EEXIST, ENOTDIR).
// The opposite direction, errno to Win32 in platform/posix/error.cpp, is a
// table of its own on purpose: it must give what Windows itself would, for
// the launcher's decisions (a held lock is ERROR_SHARING_VIOLATION there),
// while here the same code is best shown as EACCES; most rows differ, and
// each side builds against a different system's headers.
int ErrnoOf(DWORD code) {
  switch (code) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_DRIVE:
  case ERROR_BAD_NETPATH:
  case ERROR_BAD_NET_NAME:
  case ERROR_BAD_PATHNAME:
  case ERROR_INVALID_NAME:
    return ENOENT;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
  case ERROR_PRIVILEGE_NOT_HELD:
    return EACCES;
  case ERROR_ALREADY_EXISTS:
  case ERROR_FILE_EXISTS:
    return EEXIST;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return ENOSPC;
  case ERROR_DIRECTORY:
    return ENOTDIR;
  case ERROR_DIR_NOT_EMPTY:
    return ENOTEMPTY;
  case ERROR_NOT_ENOUGH_MEMORY:
  case ERROR_OUTOFMEMORY:
    return ENOMEM;
  case ERROR_FILENAME_EXCED_RANGE:
    return ENAMETOOLONG;
  case ERROR_CANT_RESOLVE_FILENAME:
    return ELOOP;
  case ERROR_NO_UNICODE_TRANSLATION:
    return EILSEQ;
  case ERROR_WRITE_PROTECT:
    return EROFS;
  default:
    return EIO;
  }
}

// Sets errno from the last system error; gives false, or -1 as `T`.
bool Failed() {
  errno = ErrnoOf(GetLastError());
  return false;
}

std::wstring ToWide(const std::string &text, bool *ok) {
  *ok = true;
  if (text.empty())
    return std::wstring();
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                  (int)text.size(), nullptr, 0);
  if (units <= 0) {
    *ok = false;
    return std::wstring();
  }
  std::wstring wide((size_t)units, L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                      (int)text.size(), &wide[0], units);
  return wide;
}

// UTF-8 of wide text; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(const wchar_t *text, size_t length) {
  if (length == 0)
    return std::string();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, (int)length, nullptr, 0,
                                  nullptr, nullptr);
  if (bytes <= 0)
    return std::string();
  std::string result((size_t)bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, (int)length, &result[0], bytes, nullptr,
                      nullptr);
  return result;
}

bool StartsWith(const std::wstring &text, const wchar_t *prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

} // namespace

// The path as the system takes it: absolute, "\" between levels, with the
// prefix that lifts the length limit. Devices (\\.\NUL, CON) stay as they
// are. Empty, with errno set, when `path` is not UTF-8.
std::wstring SystemPath(const std::string &path) {
  bool ok;
  std::wstring wide = ToWide(path, &ok);
  if (!ok || wide.empty()) {
    errno = ok ? ENOENT : EILSEQ;
    return std::wstring();
  }
  if (StartsWith(wide, L"\\\\?\\")) {
    // Taken as it is, but for the '/' the packer joins levels with, which
    // no name can hold.
    for (wchar_t &c : wide)
      if (c == L'/')
        c = L'\\';
    return wide;
  }
  DWORD units = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (units == 0) {
    Failed();
    return std::wstring();
  }
  std::wstring full(units, L'\0');
  units = GetFullPathNameW(wide.c_str(), units, &full[0], nullptr);
  full.resize(units);
  if (StartsWith(full, L"\\\\.\\"))
    return full;
  if (StartsWith(full, L"\\\\"))
    return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// A path the system gave back, as the packer shows and joins paths.
std::string PathFromSystem(std::wstring path) {
  if (StartsWith(path, L"\\\\?\\UNC\\"))
    path = L"\\\\" + path.substr(8);
  else if (StartsWith(path, L"\\\\?\\"))
    path = path.substr(4);
  for (wchar_t &c : path)
    if (c == L'\\')
      c = L'/';
  return ToUtf8(path.data(), path.size());
}

namespace {

HANDLE HandleOf(int fd) { return (HANDLE)_get_osfhandle(fd); }

// A C runtime descriptor that owns `handle`; -1 (and the handle closed) if
// none can be had.
int Descriptor(HANDLE handle, int flags) {
  if (handle == INVALID_HANDLE_VALUE) {
    Failed();
    return -1;
  }
  int fd = _open_osfhandle((intptr_t)handle, flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EMFILE;
  }
  return fd;
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool FactsOfHandle(HANDLE handle, Facts *facts) {
  *facts = Facts();
  switch (GetFileType(handle)) {
  case FILE_TYPE_CHAR:
    facts->kind = Kind::kDevice;
    return true;
  case FILE_TYPE_PIPE:
    facts->kind = Kind::kFifo;
    return true;
  case FILE_TYPE_DISK:
    break;
  default:
    facts->kind = Kind::kOther;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info))
    return Failed();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag,
                                     sizeof tag) &&
        (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK ||
         tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT)) {
      facts->kind = Kind::kLink;
      return true;
    }
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    facts->kind = Kind::kDirectory;
    return true;
  }
  facts->kind = Kind::kRegular;
  facts->size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  return true;
}

// Opens `path` only to look at it or to name it.
HANDLE OpenToLook(const std::wstring &path, bool follow) {
  return CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
      nullptr);
}

// The final path of an open handle, as the system names it; empty when it
// has none.
std::wstring FinalPathFromObjectName(HANDLE handle);

std::wstring FinalPath(HANDLE handle) {
  const DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  DWORD units = GetFinalPathNameByHandleW(handle, nullptr, 0, kFlags);
  if (units == 0)
    return FinalPathFromObjectName(handle);
  std::wstring final(units + 1, L'\0');
  units = GetFinalPathNameByHandleW(handle, &final[0], units + 1, kFlags);
  if (units == 0 || units > final.size())
    return std::wstring();
  final.resize(units);
  return final;
}

// Wine 8 names no file whose path is longer than MAX_PATH through
// GetFinalPathNameByHandleW, but gives its object name, "\??\" and the
// DOS path with every link resolved. Windows names the device there
// ("\Device\..."), which is not taken.
std::wstring FinalPathFromObjectName(HANDLE handle) {
  DWORD code = GetLastError();
  typedef LONG(WINAPI * QueryObject)(HANDLE, int, void *, ULONG, ULONG *);
  QueryObject query = (QueryObject)(void *)GetProcAddress(
      GetModuleHandleW(L"ntdll.dll"), "NtQueryObject");
  const int kObjectNameInformation = 1;
  struct Name {
    USHORT length, maximum;
    wchar_t *buffer;
  };
  std::vector<unsigned char> space(sizeof(Name) + 65536 * sizeof(wchar_t));
  ULONG got = 0;
  if (query == nullptr || query(handle, kObjectNameInformation, space.data(),
                                (ULONG)space.size(), &got) != 0) {
    SetLastError(code);
    return std::wstring();
  }
  const Name *name = (const Name *)space.data();
  std::wstring text(name->buffer, name->length / sizeof(wchar_t));
  if (!StartsWith(text, L"\\??\\")) {
    SetLastError(code);
    return std::wstring();
  }
  return L"\\\\?\\" + text.substr(4);
}

bool SameName(const std::wstring &a, const std::wstring &b) {
  return CompareStringOrdinal(a.data(), (int)a.size(), b.data(), (int)b.size(),
                              TRUE) == CSTR_EQUAL;
}

// Whether the file open as `handle` is reached from `path` (a system path)
// through a link that the system does not show as a reparse point: Wine
// follows the links of the Unix file system silently, and then the file's
// final path is not its parent's final path and its own name.
bool ReachedThroughLink(const std::wstring &path, HANDLE handle) {
  size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos || slash + 1 >= path.size())
    return false;
  std::wstring leaf = path.substr(slash + 1);
  HANDLE parent = CreateFileW(
      path.substr(0, slash).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (parent == INVALID_HANDLE_VALUE)
    return false;
  std::wstring parentFinal = FinalPath(parent);
  CloseHandle(parent);
  std::wstring final = FinalPath(handle);
  if (parentFinal.empty() || final.empty())
    return false;
  if (parentFinal.back() != L'\\')
    parentFinal += L'\\';
  if (SameName(final, parentFinal + leaf))
    return false;
  // A short (8.3) name of the file itself is no link.
  size_t finalSlash = final.rfind(L'\\');
  return !(leaf.find(L'~') != std::wstring::npos &&
           SameName(final.substr(0, finalSlash + 1), parentFinal));
}

// Where a descriptor's position is, to be put back after a read or write
// at an offset (which moves it on Windows).
long long AtOffset(int fd, void *data, size_t count, uint64_t offset,
                   bool write) {
  HANDLE handle = HandleOf(fd);
  LARGE_INTEGER zero = {}, position;
  if (!SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) {
    Failed();
    return -1;
  }
  OVERLAPPED at = {};
  at.Offset = (DWORD)offset;
  at.OffsetHigh = (DWORD)(offset >> 32);
  DWORD want = count > 0x40000000 ? 0x40000000 : (DWORD)count, done = 0;
  BOOL ok = write ? WriteFile(handle, data, want, &done, &at)
                  : ReadFile(handle, data, want, &done, &at);
  DWORD code = GetLastError();
  SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
  if (!ok) {
    if (!write && code == ERROR_HANDLE_EOF)
      return 0;
    errno = ErrnoOf(code);
    return -1;
  }
  return done;
}

// A name for a new temporary file or directory: `pattern` with its
// trailing "XXXXXX" replaced by letters from a counter that starts at a
// value of this process and this moment.
std::string Unique(const std::string &pattern) {
  static unsigned long long state =
      GetTickCount64() * 2654435761u ^ GetCurrentProcessId();
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = pattern;
  unsigned long long bits = state >> 16;
  for (size_t i = name.size() >= 6 ? name.size() - 6 : 0; i < name.size();
       ++i) {
    name[i] = kLetters[bits % 36];
    bits /= 36;
  }
  return name;
}

const int kUniqueAttempts = 100;

// The interrupted output, as the system names it; a fixed buffer, set
// before the handler may look at it.
wchar_t pendingFile[32768 + 8];
bool (*interruptHandler)(void) = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT &&
      event != CTRL_CLOSE_EVENT)
    return FALSE;
  if (interruptHandler != nullptr && interruptHandler())
    return TRUE;
  return FALSE; // the default handler ends the process
}

// Whether the console of `handle` takes escape sequences; tried once.
bool consoleEscapes = false;

} // namespace

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool LookAt(const std::string &path, bool follow, Facts *facts) {
  std::wstring wide = SystemPath(path);
  if (wide.empty())
    return false;
  HANDLE handle = OpenToLook(wide, follow);
  if (handle == INVALID_HANDLE_VALUE)
    return Failed();
  bool ok = FactsOfHandle(handle, facts);
  if (ok && !follow &&
      (facts->kind == Kind::kRegular || facts->kind == Kind::kDirectory) &&
      ReachedThroughLink(wide, handle))
    *facts = Facts{Kind::kLink, 0, false};
  CloseHandle(handle);
  return ok;
}

int OpenForReading(const std::string &path, bool follow) {
  std::wstring wide = SystemPath(path);
  if (wide.empty())
    return -1;
  return Descriptor(
      CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN |
                      (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                  nullptr),
      _O_RDONLY);
}

bool LookAtOpen(int fd, Facts *facts) {
  return FactsOfHandle(HandleOf(fd), facts);
}

int CreateForWriting(const std::string &path, unsigned) {
  std::wstring wide = SystemPath(path);
  if (wide.empty())
    return -1;
  HANDLE handle = CreateFileW(
      wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    DWORD attributes = GetFileAttributesW(wide.c_str());
    errno = attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY)
                ? EISDIR
                : ErrnoOf(code);
    return -1;
  }
  return Descriptor(handle, _O_WRONLY);
}

long long Read(int fd, void *data, size_t count) {
  DWORD want = count > 0x40000000 ? 0x40000000 : (DWORD)count, got = 0;
  if (!ReadFile(HandleOf(fd), data, want, &got, nullptr)) {
    if (GetLastError() == ERROR_HANDLE_EOF)
      return 0;
    Failed();
    return -1;
  }
  return got;
}

long long ReadAt(int fd, void *data, size_t count, uint64_t offset) {
  return AtOffset(fd, data, count, offset, false);
}

long long Position(int fd) {
  LARGE_INTEGER zero = {}, at;
  if (!SetFilePointerEx(HandleOf(fd), zero, &at, FILE_CURRENT)) {
    Failed();
    return -1;
  }
  return at.QuadPart;
}

long long Write(int fd, const void *data, size_t count) {
  DWORD want = count > 0x40000000 ? 0x40000000 : (DWORD)count, done = 0;
  if (!WriteFile(HandleOf(fd), data, want, &done, nullptr)) {
    Failed();
    return -1;
  }
  return done;
}

long long WriteAt(int fd, const void *data, size_t count, uint64_t offset) {
  return AtOffset(fd, (void *)data, count, offset, true);
}

int Close(int fd) { return _close(fd); }

bool ListDirectory(const std::string &path, std::vector<std::string> *names) {
  std::wstring wide = SystemPath(path);
  if (wide.empty())
    return false;
  if (wide.back() != L'\\')
    wide += L'\\';
  wide += L'*';
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(wide.c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    // Not even "." was found: an empty drive's root, or a failure.
    if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      names->clear();
      return true;
    }
    return Failed();
  }
  names->clear();
  do {
    if (wcscmp(found.cFileName, L".") != 0 &&
        wcscmp(found.cFileName, L"..") != 0)
      names->push_back(ToUtf8(found.cFileName, wcslen(found.cFileName)));
  } while (FindNextFileW(search, &found));
  DWORD code = GetLastError();
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES) {
    errno = ErrnoOf(code);
    return false;
  }
  return true;
}

bool Canonical(const std::string &path, std::string *canonical) {
  std::wstring wide = SystemPath(path);
  if (wide.empty())
    return false;
  HANDLE handle = OpenToLook(wide, true);
  if (handle == INVALID_HANDLE_VALUE)
    return Failed();
  std::wstring final = FinalPath(handle);
  DWORD code = GetLastError();
  CloseHandle(handle);
  if (final.empty()) {
    errno = ErrnoOf(code);
    return false;
  }
  *canonical = PathFromSystem(final);
  return true;
}

bool MakeDirectory(const std::string &path, unsigned) {
  std::wstring wide = SystemPath(path);
  return !wide.empty() && (CreateDirectoryW(wide.c_str(), nullptr) || Failed());
}

bool RemoveEmptyDirectory(const std::string &path) {
  std::wstring wide = SystemPath(path);
  return !wide.empty() && (RemoveDirectoryW(wide.c_str()) || Failed());
}

bool RemoveFile(const std::string &path) {
  std::wstring wide = SystemPath(path);
  return !wide.empty() && (DeleteFileW(wide.c_str()) || Failed());
}

namespace {

void RemoveWideTree(const std::wstring &path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(path.c_str());
    return;
  }
  // A link or junction to a directory goes, not what it leads to.
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic,
                                     &found, FindExSearchNameMatch, nullptr, 0);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (wcscmp(found.cFileName, L".") != 0 &&
            wcscmp(found.cFileName, L"..") != 0)
          RemoveWideTree(path + L"\\" + found.cFileName);
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
  }
  RemoveDirectoryW(path.c_str());
}

// How many leading characters of `path` name its root: "C:\", "C:",
// "\\server\share\", "\" or nothing.
size_t RootLength(const std::string &path) {
  if (path.size() >= 2 && path[1] == ':')
    return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t at = 2;
    for (int part = 0; part < 2 && at < path.size(); ++part) {
      while (at < path.size() && !IsSeparator(path[at]))
        ++at;
      if (at < path.size())
        ++at;
    }
    return at;
  }
  return !path.empty() && IsSeparator(path[0]) ? 1 : 0;
}

} // namespace

void RemoveTree(const std::string &path) {
  std::wstring wide = SystemPath(path);
  if (!wide.empty())
    RemoveWideTree(wide);
}

bool MakeParents(const std::string &directory, std::vector<std::string> *made,
                 std::string *failed) {
  size_t at = RootLength(directory);
  while (at < directory.size()) {
    size_t end = at;
    while (end < directory.size() && !IsSeparator(directory[end]))
      ++end;
    std::string level = directory.substr(0, end);
    std::string name = directory.substr(at, end - at);
    at = end + 1;
    if (name.empty() || name == ".")
      continue;
    Facts facts;
    bool exists = LookAt(level, true, &facts);
    if (!exists && errno == ENOENT) {
      if (MakeDirectory(level, 0755)) {
        made->push_back(level);
        continue;
      }
      exists = errno == EEXIST && LookAt(level, true, &facts);
    }
    if (!exists || facts.kind != Kind::kDirectory) {
      if (exists)
        errno = ENOTDIR;
      *failed = level;
      return false;
    }
  }
  return true;
}

int CreateUniqueFile(const std::string &pattern, std::string *path) {
  for (int attempt = 0; attempt < kUniqueAttempts; ++attempt) {
    std::string name = Unique(pattern);
    std::wstring wide = SystemPath(name);
    if (wide.empty())
      return -1;
    // Shared for deletion: an interruption removes it while it is open.
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
      continue;
    int fd = Descriptor(handle, _O_RDWR);
    if (fd >= 0)
      *path = name;
    return fd;
  }
  errno = EEXIST;
  return -1;
}

bool CreateUniqueDirectory(const std::string &pattern, std::string *path) {
  for (int attempt = 0; attempt < kUniqueAttempts; ++attempt) {
    std::string name = Unique(pattern);
    std::wstring wide = SystemPath(name);
    if (wide.empty())
      return false;
    if (CreateDirectoryW(wide.c_str(), nullptr)) {
      *path = name;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS)
      return Failed();
  }
  errno = EEXIST;
  return false;
}

bool FinishFile(int fd, unsigned) {
  return FlushFileBuffers(HandleOf(fd)) || Failed();
}

void FinishDirectory(const std::string &, unsigned) {}

bool Rename(const std::string &from, const std::string &to) {
  std::wstring wideFrom = SystemPath(from), wideTo = SystemPath(to);
  if (wideFrom.empty() || wideTo.empty())
    return false;
  const DWORD kFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(), kFlags))
    return true;
  // A directory replaces only an empty directory, which goes first.
  DWORD code = GetLastError();
  DWORD fromAttributes = GetFileAttributesW(wideFrom.c_str());
  DWORD toAttributes = GetFileAttributesW(wideTo.c_str());
  if (fromAttributes != INVALID_FILE_ATTRIBUTES &&
      toAttributes != INVALID_FILE_ATTRIBUTES &&
      (fromAttributes & toAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(toAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      RemoveDirectoryW(wideTo.c_str()) &&
      MoveFileExW(wideFrom.c_str(), wideTo.c_str(), kFlags))
    return true;
  errno = ErrnoOf(code);
  return false;
}

std::string ErrorText(int code) {
  std::string result = strerror(code);
  if (!result.empty() && result[0] >= 'A' && result[0] <= 'Z')
    result[0] = (char)(result[0] - 'A' + 'a');
  return result;
}

bool IsConsole(FILE *stream) {
  DWORD mode;
  HANDLE handle = HandleOf(_fileno(stream));
  if (!GetConsoleMode(handle, &mode))
    return false;
  if (!consoleEscapes)
    consoleEscapes =
        (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
        SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  return true;
}

void Print(FILE *stream, const std::string &text) {
  if (IsConsole(stream)) {
    fflush(stream);
    std::string shown = text;
    // Without escape sequences the line is only overwritten, not cleared.
    const std::string kClearLine = "\033[K";
    if (!consoleEscapes)
      for (size_t at; (at = shown.find(kClearLine)) != std::string::npos;)
        shown.erase(at, kClearLine.size());
    bool ok;
    std::wstring wide = ToWide(shown, &ok);
    if (!ok)
      wide.assign(shown.begin(), shown.end());
    DWORD written;
    WriteConsoleW(HandleOf(_fileno(stream)), wide.data(), (DWORD)wide.size(),
                  &written, nullptr);
    return;
  }
  // Elsewhere the bytes go as they are: UTF-8, lines ended by "\n".
  static bool binary[3] = {false, false, false};
  int fd = _fileno(stream);
  if (fd >= 0 && fd < 3 && !binary[fd]) {
    fflush(stream);
    _setmode(fd, _O_BINARY);
    binary[fd] = true;
  }
  fwrite(text.data(), 1, text.size(), stream);
}

int ProcessorCount(void) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors < 1 ? 1 : (int)info.dwNumberOfProcessors;
}

void InstallInterruptHandler(bool (*onInterrupt)(void)) {
  interruptHandler = onInterrupt;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void SetPendingFile(const std::string &path) {
  // The first unit last, so that the handler never sees half a name.
  pendingFile[0] = 0;
  std::wstring wide = path.empty() ? std::wstring() : SystemPath(path);
  if (!wide.empty() && wide.size() < sizeof pendingFile / sizeof(wchar_t)) {
    memcpy(pendingFile + 1, wide.c_str() + 1, wide.size() * sizeof(wchar_t));
    pendingFile[0] = wide[0];
  }
}

void RemovePendingFile(void) {
  if (pendingFile[0] != 0)
    DeleteFileW(pendingFile);
}

std::vector<std::string> WideArguments(int argc, wchar_t **argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i)
    arguments.push_back(ToUtf8(argv[i], wcslen(argv[i])));
  return arguments;
}

} // namespace fs
} // namespace veskar
