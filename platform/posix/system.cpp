//===- platform/posix/system.cpp - Environment, time, folders -----------===//
//
// TEMP is $TMPDIR (an existing absolute directory) or /tmp, the profile
// folder is $HOME or the password database's home, the local
// application-data folder is $XDG_CACHE_HOME or ~/.cache. Paths come back in
// the core's form, with backslashes.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/hook.h"
#include "platform/posix/internal.h"

using namespace veskar_posix;

namespace {

// Copies a native path into `out` (capacity in units, terminator included),
// with one trailing separator when `trailingSeparator`. Returns the length
// without the terminator, or the capacity needed when it does not fit.
DWORD ReturnPath(const char *native, LPWSTR out, DWORD capacity,
                 bool trailingSeparator) {
  size_t length = FromNative(native, nullptr, 0, true);
  bool addSeparator =
      trailingSeparator && (length == 0 || native[strlen(native) - 1] != '/');
  size_t needed = length + (addSeparator ? 1 : 0);
  if (out == nullptr || needed + 1 > capacity)
    return (DWORD)(needed + 1);
  FromNative(native, out, capacity, true);
  if (addSeparator) {
    out[length] = '\\';
    out[length + 1] = 0;
  }
  return (DWORD)needed;
}

// As long as the longest own path the core keeps.
const size_t kProgramNameCapacity = 4097;
WCHAR programName[kProgramNameCapacity];

} // namespace

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  static char nativeName[1024];
  char *nativeValue = (char *)malloc(kNativePathCapacity);
  if (nativeValue == nullptr)
    return FALSE;
  bool ok = ToNative(name, nativeName, sizeof nativeName, false);
  int result = -1;
  if (ok) {
    if (value == nullptr)
      result = unsetenv(nativeName);
    else if (ToNative(value, nativeValue, kNativePathCapacity, false))
      result = setenv(nativeName, nativeValue, 1);
  }
  free(nativeValue);
  if (result != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME out) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  *out = veskar_posix::FileTimeOf(now);
}

namespace veskar_posix {
FILETIME FileTimeOf(const struct timespec &time) {
  // 100-nanosecond intervals since 1601-01-01, as Windows counts. A time
  // before 1601 (never a file's on a sane system) is the earliest.
  const int64_t kUnixEpochIn1601 = 116444736000000000LL;
  int64_t ticks = kUnixEpochIn1601 + (int64_t)time.tv_sec * 10000000LL +
                  (int64_t)time.tv_nsec / 100;
  if (ticks < 0)
    ticks = 0;
  FILETIME out;
  out.dwLowDateTime = (DWORD)(uint64_t)ticks;
  out.dwHighDateTime = (DWORD)((uint64_t)ticks >> 32);
  return out;
}

uint64_t MonotonicMilliseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}
} // namespace veskar_posix

ULONGLONG GetTickCount64(void) {
  VESKAR_HOOK("GetTickCount64", nullptr, ULONGLONG);
  return MonotonicMilliseconds();
}

DWORD GetTempPathW(DWORD size, LPWSTR buffer) {
  // TMPDIR is taken literally or not at all, as common tools do: only an
  // absolute path to a directory that exists. A backslash in it could not
  // come back from the core as itself (the core's separator), so such a
  // value is not used either. Nothing is ever created for it.
  const char *dir = getenv("TMPDIR");
  struct stat info;
  if (dir == nullptr || dir[0] != '/' || strchr(dir, '\\') != nullptr ||
      stat(dir, &info) != 0 || !S_ISDIR(info.st_mode))
    dir = "/tmp";
  return ReturnPath(dir, buffer, size, true);
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  static char native[kNativePathCapacity];
  ssize_t n = readlink("/proc/self/exe", native, sizeof native - 1);
  if (n < 0) {
    SetLastErrorFromErrno(errno);
    if (size > 0)
      buffer[0] = 0;
    return 0;
  }
  native[n] = 0;
  // The core only hands this path on to the child, so it keeps the system's
  // own form, slashes and all.
  size_t length = FromNative(native, buffer, size, false);
  // Cut to the buffer and terminated, as Windows does.
  return (DWORD)(length < size ? length : size);
}

// The user's home: $HOME, or the password database's entry when HOME is
// unset or empty (services, "env -i"); null when neither has one.
static const char *HomeDirectory(void) {
  const char *home = getenv("HOME");
  if (home != nullptr && home[0] != 0)
    return home;
  static char buffer[4096];
  static struct passwd entry;
  struct passwd *found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == 0)
    return nullptr;
  return found->pw_dir;
}

HRESULT SHGetFolderPathW(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
  const char *home = HomeDirectory();
  char joined[4096];
  const char *native = nullptr;
  if (folder == CSIDL_PROFILE) {
    native = home;
  } else if (folder == CSIDL_LOCAL_APPDATA) {
    const char *cache = getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] != 0) {
      native = cache;
    } else if (home != nullptr && home[0] != 0) {
      snprintf(joined, sizeof joined, "%s/.cache", home);
      native = joined;
    }
  }
  if (native == nullptr || native[0] == 0)
    return E_FAIL;
  if (FromNative(native, nullptr, 0, true) + 1 > MAX_PATH)
    return E_FAIL;
  FromNative(native, path, MAX_PATH, true);
  return S_OK;
}

const WCHAR *GetProgramNameW(void) {
  char **argv = GetArguments();
  if (programName[0] == 0 && argv != nullptr && argv[0] != nullptr)
    FromNative(argv[0], programName, kProgramNameCapacity, true);
  return programName;
}
