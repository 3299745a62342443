//===- platform/windows/platform.cpp - Our own operations on Windows ----===//
//
// Holds only Windows code: the removal of a directory tree (the shell's
// delete operation follows links, and under Wine deletes the current
// directory's contents for paths over 260 characters, so it is not used;
// the subdirectories of the top go on several threads at once), what a
// file system says it is, printing wide text, and the abort ending.
//
//===----------------------------------------------------------------------===//
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <io.h>

#include "common/text.h"
#include "platform/platform.h"

namespace {

const size_t kLongPathCapacity = 32768;

// The path that `handle` names, from its volume's root, in a heap buffer of
// kLongPathCapacity units that the caller frees; null when the system cannot
// say. (Not GetFinalPathNameByHandleW: Wine 8's fails beyond MAX_PATH.)
WCHAR *GetHandlePath(HANDLE handle) {
  size_t bytes = sizeof(FILE_NAME_INFO) + kLongPathCapacity * sizeof(WCHAR);
  FILE_NAME_INFO *info = (FILE_NAME_INFO *)malloc(bytes);
  if (info == nullptr)
    return nullptr;
  size_t length = 0;
  if (!GetFileInformationByHandleEx(handle, FileNameInfo, info, (DWORD)bytes) ||
      (length = info->FileNameLength / sizeof(WCHAR)) >= kLongPathCapacity) {
    free(info);
    return nullptr;
  }
  WCHAR *path = (WCHAR *)info;
  memmove(path, info->FileName, length * sizeof(WCHAR));
  path[length] = 0;
  return path;
}

// Opens what is at `path` itself, a file or a directory, sharing
// everything: a link or junction there is opened as the link.
HANDLE OpenItself(const WCHAR *path, DWORD access) {
  return CreateFileW(
      path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The path of the directory `path` from its volume's root, without a final
// backslash, as GetHandlePath gives it; null when it cannot be had.
WCHAR *GetDirectoryPath(const WCHAR *path) {
  HANDLE directory = OpenItself(path, FILE_READ_ATTRIBUTES);
  if (directory == INVALID_HANDLE_VALUE)
    return nullptr;
  WCHAR *own = GetHandlePath(directory);
  CloseHandle(directory);
  size_t length = own != nullptr ? wcslen(own) : 0;
  if (length > 0 && own[length - 1] == L'\\')
    own[length - 1] = 0;
  return own;
}

// The attributes a program may set (FILE_BASIC_INFO): the others are the
// file system's to keep.
const DWORD kSettableAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// FileDispositionInfoEx and its flags (Windows 10 1809 on), which the
// headers give only to programs that require that version.
const FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx =
    (FILE_INFO_BY_HANDLE_CLASS)21;
const DWORD kDispositionDelete = 0x1;
const DWORD kDispositionIgnoreReadOnly = 0x10;
struct DispositionInfoEx {
  DWORD Flags;
};

// Sets the attributes of the open `file` to `attributes`, leaving its
// times as they are.
bool SetAttributes(HANDLE file, DWORD attributes) {
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attributes & kSettableAttributes;
  if (basic.FileAttributes == 0)
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic,
                                    sizeof basic) != FALSE;
}

// Marks the open `file` (listed with `attributes`) for deletion: its name
// goes when the handle is closed. The read-only flag belongs to the file,
// not to the name, and the file may keep other names (a hard link the
// program made to a file of the user's): a read-only file is marked
// without clearing the flag where the system allows it (Windows 10 1809
// on); elsewhere the flag is cleared for the marking and set back when the
// file has other names, or when the marking failed. True when marked.
bool MarkForDeletion(HANDLE file, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    DispositionInfoEx keepingFlag = {kDispositionDelete |
                                     kDispositionIgnoreReadOnly};
    if (SetFileInformationByHandle(file, kFileDispositionInfoEx, &keepingFlag,
                                   sizeof keepingFlag))
      return true;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information))
      return false; // whether it has other names is not known
    attributes = information.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      if (!SetAttributes(file, attributes & ~FILE_ATTRIBUTE_READONLY))
        return false;
      FILE_DISPOSITION_INFO disposition = {TRUE};
      bool marked =
          SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                     sizeof disposition) != FALSE;
      if (!marked || information.nNumberOfLinks != 1)
        SetAttributes(file, attributes);
      return marked;
    }
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

// Deletes the link `path` (a symbolic link or junction, listed with
// `attributes`) as a link, through a handle on the link itself; the target
// is never opened. A handle that turns out not to be on a link (a system
// that resolves the link on open all the same) deletes nothing.
bool RemoveReadOnlyLink(const WCHAR *path, DWORD attributes) {
  HANDLE link =
      OpenItself(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  if (link == INVALID_HANDLE_VALUE)
    return false;
  BY_HANDLE_FILE_INFORMATION information;
  bool marked =
      GetFileInformationByHandle(link, &information) &&
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      MarkForDeletion(link, attributes);
  CloseHandle(link);
  return marked;
}

// Deletes the file `name` found in the directory whose path from the volume
// root is `directoryPath`, through one handle, unless that handle turns out
// to name another file. Wine shows a Unix symbolic link to a file as a plain
// file, resolves it on open, and would delete the link's target; Windows
// itself marks links as reparse points, which never come here. Where the
// system cannot tell the paths (`directoryPath` null), the file is deleted
// as DeleteFileW would. True when the file is marked for deletion.
bool RemoveFile(const WCHAR *path, const WCHAR *name,
                const WCHAR *directoryPath, DWORD attributes) {
  HANDLE file = CreateFileW(
      path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false; // held open elsewhere, for one: the caller's retries
                  // answer that
  bool itself = true;
  WCHAR *own = directoryPath != nullptr ? GetHandlePath(file) : nullptr;
  if (own != nullptr) {
    int directoryLength = (int)wcslen(directoryPath);
    itself = (int)wcslen(own) > directoryLength &&
             CompareStringOrdinal(own, directoryLength, directoryPath,
                                  directoryLength, TRUE) == CSTR_EQUAL &&
             own[directoryLength] == L'\\' &&
             CompareStringOrdinal(own + directoryLength + 1, -1, name, -1,
                                  TRUE) == CSTR_EQUAL;
  }
  free(own);
  bool marked = itself && MarkForDeletion(file, attributes);
  CloseHandle(file);
  return marked;
}

// One directory on the way down from the top of a removal: how many of its
// entries the walk has passed over because they would not go (a later
// listing of it passes over as many), and whether its last listing showed
// another subdirectory after the one the walk went into.
struct RemovalLevel {
  DWORD kept;
  bool more;
};

// Removes the directory `path` (length `length`, in a buffer of
// kLongPathCapacity units that the walk extends in place) with everything
// in it, one level at a time and in constant stack: it removes the files of
// a directory, goes down into its first subdirectory, and back up when a
// directory has nothing left that can go; a directory is listed again only
// when its listing showed more than one subdirectory. `levels` has room for
// one record a level (each level takes at least two units of the path).
// A subdirectory whose path would not fit the buffer is passed over. Never
// goes into a reparse point: a junction or symbolic link goes as a link.
// Files that are not links go through RemoveFile.
void RemoveTree(WCHAR *path, size_t length, RemovalLevel *levels) {
  size_t depth = 0;
  levels[0] = {0, false};
  bool list = true;
  for (;;) {
    WCHAR inner[MAX_PATH] = {0}; // the subdirectory to go into, if any
    RemovalLevel *level = &levels[depth];
    level->more = false;
    WCHAR *directoryPath = nullptr;
    bool askedForPath = false;
    path[length] = L'\\';
    path[length + 1] = L'*';
    path[length + 2] = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = list ? FindFirstFileExW(path, FindExInfoBasic, &found,
                                            FindExSearchNameMatch, nullptr, 0)
                         : INVALID_HANDLE_VALUE;
    path[length] = 0;
    if (search != INVALID_HANDLE_VALUE) {
      DWORD seen = 0;
      do {
        const WCHAR *name = found.cFileName;
        if (name[0] == L'.' &&
            (name[1] == 0 || (name[1] == L'.' && name[2] == 0)))
          continue;
        if (seen < level->kept) {
          ++seen;
          continue;
        }
        size_t nameLength = wcslen(name);
        DWORD attributes = found.dwFileAttributes;
        bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (isDirectory && !isLink && inner[0] != 0) {
          level->more = true; // for the next listing
          break;
        }
        // Room for the name, and for listing it when it is a directory.
        size_t end = length + 1 + nameLength;
        if (end + (isDirectory ? 3 : 1) > kLongPathCapacity) {
          ++level->kept, ++seen;
          continue;
        }
        path[length] = L'\\';
        wmemcpy(path + length + 1, name, nameLength + 1);
        // A directory's own flag, cleared by its path: the directory is
        // never a link here, so nothing else is reached through it.
        if (isDirectory && !isLink && (attributes & FILE_ATTRIBUTE_READONLY))
          SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
        bool gone;
        if (isDirectory && !isLink) {
          wmemcpy(inner, name, nameLength + 1);
          path[length] = 0;
          continue;
        } else if (isLink && (attributes & FILE_ATTRIBUTE_READONLY)) {
          gone = RemoveReadOnlyLink(path, attributes);
        } else if (isDirectory) {
          gone = RemoveDirectoryW(path); // a link goes as a link
        } else if (isLink) {
          gone = DeleteFileW(path);
        } else {
          if (!askedForPath) {
            path[length] = 0;
            directoryPath = GetDirectoryPath(path);
            path[length] = L'\\';
            askedForPath = true;
          }
          gone = RemoveFile(path, name, directoryPath, attributes);
        }
        path[length] = 0;
        if (!gone)
          ++level->kept, ++seen;
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    free(directoryPath);
    if (inner[0] != 0) {
      path[length] = L'\\';
      size_t nameLength = wcslen(inner);
      wmemcpy(path + length + 1, inner, nameLength + 1);
      length += 1 + nameLength;
      levels[++depth] = {0, false};
      list = true;
      continue;
    }
    bool gone = RemoveDirectoryW(path);
    if (depth == 0)
      return;
    while (path[length] != L'\\')
      --length;
    path[length] = 0;
    --depth;
    if (!gone)
      ++levels[depth].kept;
    // Listed again only when it showed another subdirectory: otherwise all
    // it held is gone or passed over already.
    list = levels[depth].more;
  }
}

// A path buffer of kLongPathCapacity units, then RemoveTree's record for
// each level the path can hold; null when there is no memory.
WCHAR *AllocateRemovalBuffer(void) {
  return (WCHAR *)malloc(kLongPathCapacity * sizeof(WCHAR) +
                         (kLongPathCapacity / 2 + 1) * sizeof(RemovalLevel));
}

RemovalLevel *RemovalLevels(WCHAR *buffer) {
  return (RemovalLevel *)(buffer + kLongPathCapacity);
}

// The threads that remove the subdirectories of the top at once, the
// calling thread among them. Each removal asks the system several times per
// file, and under Wine each of those is a round trip to the Wine server:
// with more than one thread, the server serves one while the others do
// their own part of the work. The top's files, links and whatever a thread
// could not remove are left to the one walk that follows.
const int kRemovalThreads = 4;

// The top's listing, shared by the threads: each takes the next real
// subdirectory from it under the lock.
struct SharedListing {
  SRWLOCK lock;
  HANDLE search; // INVALID_HANDLE_VALUE once the listing has ended
  WIN32_FIND_DATAW found; // the entry to take next, when `pending`
  bool pending;
  const WCHAR *top; // in the \\?\ form, without a final backslash
  size_t length;
};

// Puts the name of the next subdirectory of the top that the walk would go
// into (a directory, not a link or junction, that fits the buffer with
// room to list it) into `name`, with its attributes; false when there is
// none left.
bool TakeSubdirectory(SharedListing *listing, WCHAR *name, DWORD *attributes) {
  AcquireSRWLockExclusive(&listing->lock);
  bool taken = false;
  while (!taken && listing->search != INVALID_HANDLE_VALUE) {
    if (!listing->pending &&
        !FindNextFileW(listing->search, &listing->found)) {
      FindClose(listing->search);
      listing->search = INVALID_HANDLE_VALUE;
      break;
    }
    listing->pending = false;
    const WCHAR *found = listing->found.cFileName;
    DWORD foundAttributes = listing->found.dwFileAttributes;
    size_t nameLength = wcslen(found);
    taken = (foundAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(foundAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            !(found[0] == L'.' &&
              (found[1] == 0 || (found[1] == L'.' && found[2] == 0))) &&
            listing->length + 1 + nameLength + 3 <= kLongPathCapacity;
    if (taken) {
      wmemcpy(name, found, nameLength + 1);
      *attributes = foundAttributes;
    }
  }
  ReleaseSRWLockExclusive(&listing->lock);
  return taken;
}

// Removes subdirectories of the top, as the walk would on its way down,
// until the listing has none left. `buffer` is the thread's own removal
// buffer, or null for one of its own.
void RemoveSubdirectories(SharedListing *listing, WCHAR *buffer) {
  WCHAR *own = buffer != nullptr ? nullptr : AllocateRemovalBuffer();
  WCHAR *path = buffer != nullptr ? buffer : own;
  if (path == nullptr)
    return; // the other threads and the walk after them do it
  wmemcpy(path, listing->top, listing->length);
  WCHAR name[MAX_PATH];
  DWORD attributes = 0;
  while (TakeSubdirectory(listing, name, &attributes)) {
    size_t nameLength = wcslen(name);
    path[listing->length] = L'\\';
    wmemcpy(path + listing->length + 1, name, nameLength + 1);
    if (attributes & FILE_ATTRIBUTE_READONLY)
      SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    RemoveTree(path, listing->length + 1 + nameLength, RemovalLevels(path));
  }
  free(own);
}

DWORD WINAPI RunSubdirectoryRemoval(LPVOID listing) {
  RemoveSubdirectories((SharedListing *)listing, nullptr);
  return 0;
}

// Removes the subdirectories of the directory `path` (length `length`, in
// the removal buffer `buffer`) on up to kRemovalThreads threads at once,
// when it has more than one; nothing else. Fewer threads (none can be
// started, say) only cost time.
void RemoveSubdirectoriesAtOnce(WCHAR *buffer, size_t length) {
  WIN32_FIND_DATAW found;
  buffer[length] = L'\\';
  buffer[length + 1] = L'*';
  buffer[length + 2] = 0;
  HANDLE search = FindFirstFileExW(buffer, FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  int subdirectories = 0;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
          found.cFileName[0] != L'.')
        ++subdirectories; // a name with a leading dot only lowers the count
    } while (subdirectories < kRemovalThreads && FindNextFileW(search, &found));
    FindClose(search);
  }
  SharedListing listing = {};
  if (subdirectories > 1)
    listing.search = FindFirstFileExW(buffer, FindExInfoBasic, &listing.found,
                                      FindExSearchNameMatch, nullptr, 0);
  buffer[length] = 0;
  if (subdirectories <= 1 || listing.search == INVALID_HANDLE_VALUE)
    return;
  InitializeSRWLock(&listing.lock);
  listing.pending = true;
  // The top's path, copied: the calling thread extends its buffer in place.
  WCHAR *top = (WCHAR *)malloc((length + 1) * sizeof(WCHAR));
  if (top == nullptr) {
    FindClose(listing.search);
    return;
  }
  wmemcpy(top, buffer, length + 1);
  listing.top = top;
  listing.length = length;
  HANDLE threads[kRemovalThreads - 1];
  int started = 0;
  while (started < subdirectories - 1 && started < kRemovalThreads - 1) {
    threads[started] = CreateThread(nullptr, 0, RunSubdirectoryRemoval,
                                    &listing, 0, nullptr);
    if (threads[started] == nullptr)
      break;
    ++started;
  }
  RemoveSubdirectories(&listing, buffer);
  for (int i = 0; i < started; ++i) {
    WaitForSingleObject(threads[i], INFINITE);
    CloseHandle(threads[i]);
  }
  if (listing.search != INVALID_HANDLE_VALUE)
    FindClose(listing.search); // a thread that ran out of memory left it
  wmemcpy(buffer, top, length + 1);
  free(top);
}

// Whether the directory at `path` (in the \\?\ form) is the file
// `expected`, and a plain directory, not a link or junction.
bool IsExpectedDirectory(const WCHAR *path, const FileIdentity &expected) {
  HANDLE directory = OpenItself(path, FILE_READ_ATTRIBUTES);
  if (directory == INVALID_HANDLE_VALUE)
    return false;
  BY_HANDLE_FILE_INFORMATION information;
  bool same = GetFileInformationByHandle(directory, &information) &&
              (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
              !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
              information.dwVolumeSerialNumber == expected.volume &&
              information.nFileIndexHigh == expected.indexHigh &&
              information.nFileIndexLow == expected.indexLow;
  CloseHandle(directory);
  return same;
}

} // namespace

DWORD GetFileHandleRoom(void) {
  // A process's handles are bounded by memory alone (about 16 million).
  return MAXDWORD;
}

BOOL RemoveDirectoryTree(LPCWSTR path, const FileIdentity *expected) {
  WCHAR *buffer = AllocateRemovalBuffer();
  if (buffer == nullptr)
    return FALSE;
  RemovalLevel *levels = RemovalLevels(buffer);
  // Long paths need the \\?\ form, which only a full path may take.
  size_t at = 0;
  if (path[0] != 0 && path[1] == L':' && path[2] == L'\\') {
    wmemcpy(buffer, L"\\\\?\\", 4);
    at = 4;
  } else if (path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' &&
             path[2] != L'.') {
    wmemcpy(buffer, L"\\\\?\\UNC", 7);
    at = 7;
    path += 1; // keep one of the two leading backslashes
  }
  size_t length = wcslen(path);
  if (at + length + 1 > kLongPathCapacity) {
    free(buffer);
    return FALSE;
  }
  wmemcpy(buffer + at, path, length + 1);
  length += at;
  BOOL removed = FALSE;
  DWORD attributes = GetFileAttributesW(buffer);
  bool plainDirectory = attributes != INVALID_FILE_ATTRIBUTES &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (expected != nullptr &&
       !(plainDirectory && IsExpectedDirectory(buffer, *expected)))) {
    // Nothing there, or not the directory asked for: that stays, and
    // nothing of the directory is at the path.
    removed = TRUE;
  } else if (!plainDirectory && (attributes & FILE_ATTRIBUTE_READONLY)) {
    // Its flag is never cleared through the path, which would reach the
    // target of a link.
    RemoveReadOnlyLink(buffer, attributes);
    removed = GetFileAttributesW(buffer) == INVALID_FILE_ATTRIBUTES;
  } else {
    if (attributes & FILE_ATTRIBUTE_READONLY)
      SetFileAttributesW(buffer, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
      DeleteFileW(buffer); // a link goes as a link
    else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
             length + 3 > kLongPathCapacity)
      RemoveDirectoryW(buffer);
    else {
      RemoveSubdirectoriesAtOnce(buffer, length);
      RemoveTree(buffer, length, levels);
    }
    removed = GetFileAttributesW(buffer) == INVALID_FILE_ATTRIBUTES;
  }
  free(buffer);
  return removed;
}

BOOL GetFileSystemKind(HANDLE file, LPCWSTR path, WCHAR *name,
                       DWORD capacity, BOOL *remote) {
  if (!GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr,
                                     nullptr, name, capacity))
    return FALSE;
  // A network drive names the file system of the machine that serves it:
  // whether it is one is the drive's type, asked of the volume's root.
  WCHAR *root = (WCHAR *)malloc(kLongPathCapacity * sizeof(WCHAR));
  if (root == nullptr)
    return FALSE;
  BOOL found = GetVolumePathNameW(path, root, (DWORD)kLongPathCapacity);
  if (found)
    *remote = GetDriveTypeW(root) == DRIVE_REMOTE;
  free(root);
  return found;
}

namespace {

// The longest line PrintWithWideText writes whole, in units of its output
// with the terminator: a path of the launcher's (4096 units) with every
// unit shown escaped, and the message around it. What is longer is cut
// short. The buffers are on the stack: zero-filled static storage would
// take room in the launcher's file.
const size_t kLineCapacity = 4 * 4096 + 1024;

// Puts `format` into `line` (capacity kLineCapacity), with CR LF for each
// line feed, as the C runtime's text mode writes it, "%" for "%%", and
// `putText(at, room)` in place of "%ls", which returns the units it put.
// The format is ASCII. Returns the units put, terminated.
template <typename Unit, typename PutText>
size_t ComposeLine(const char *format, Unit *line, PutText putText) {
  size_t n = 0;
  for (size_t i = 0; format[i] != 0 && n + 2 < kLineCapacity; ++i) {
    if (format[i] == '%' && format[i + 1] == 'l' && format[i + 2] == 's') {
      n += putText(line + n, kLineCapacity - n);
      i += 2;
      continue;
    }
    if (format[i] == '%' && format[i + 1] == '%')
      ++i;
    if (format[i] == '\n')
      line[n++] = '\r';
    line[n++] = (Unit)format[i];
  }
  line[n] = 0;
  return n;
}

// False when `console` is no console after all.
bool WriteToConsole(HANDLE console, const char *format, const WCHAR *text) {
  WCHAR line[kLineCapacity];
  size_t length = ComposeLine(format, line, [&](WCHAR *at, size_t room) {
    size_t k = 0;
    for (; text[k] != 0 && k + 1 < room; ++k)
      at[k] = text[k];
    return k;
  });
  DWORD written;
  return WriteConsoleW(console, line, (DWORD)length, &written, nullptr) != 0;
}

void WriteAsUtf8(HANDLE handle, const char *format, const WCHAR *text) {
  char line[3 * kLineCapacity];
  size_t length = ComposeLine(format, line, [&](char *at, size_t room) {
    Utf16ToUtf8(text, Utf16Length(text), at, room, kTextLenient);
    return strlen(at);
  });
  DWORD written;
  WriteFile(handle, line, (DWORD)length, &written, nullptr);
}

} // namespace

void PrintWithWideText(FILE *stream, const char *format, const WCHAR *text) {
  // Not fprintf's "%ls": the C runtime converts through the ANSI code page
  // and stops at the first character it has no byte for. A console takes
  // the UTF-16 line itself; anything else (a pipe, a file) gets it as
  // UTF-8. Either way in one write, after what the stream still buffers.
  // GetConsoleMode needs read access: a console handle opened for writing
  // only (CONOUT$ opened by the C runtime, for one) is known by its type,
  // and WriteConsoleW refuses any character device that is no console.
  fflush(stream);
  HANDLE handle = (HANDLE)_get_osfhandle(_fileno(stream));
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr)
    return;
  DWORD mode;
  if ((GetConsoleMode(handle, &mode) ||
       GetFileType(handle) == FILE_TYPE_CHAR) &&
      WriteToConsole(handle, format, text))
    return;
  WriteAsUtf8(handle, format, text);
}

const WCHAR *GetProgramNameW(void) {
  return (__wargv != nullptr && __wargv[0] != nullptr) ? __wargv[0] : L"";
}

void AbortProcess(void) {
  if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
    // What __fastfail compiles to: the code goes in ECX, and the system ends
    // the process at once, bypassing every handler.
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_FATAL_APP_EXIT) : "memory");
  }
  TerminateProcess(GetCurrentProcess(), 3);
  for (;;)
    Sleep(INFINITE); // TerminateProcess on the own process does not return
}
