//===- platform/posix/win32.h - The Win32 names the core uses, over POSIX -===//
//
// The launcher's core is written against the Win32 API. On Linux this header
// supplies the same names, types and constants, implemented in this folder
// over POSIX. Only what the core calls is here.
//
// Text: WCHAR is a 16-bit code unit on both platforms; paths reach this layer
// as UTF-16 with backslash separators and leave it as UTF-8 with slashes.
// Errors: every function that fails sets the thread's last error to the
// Win32 code that matches the errno (see error.cpp).
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef char16_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t ULONGLONG;
typedef int32_t LONG;
typedef int64_t LONG64;
typedef int32_t HRESULT;
typedef uint32_t UINT;
typedef void *HANDLE;
typedef void *HMODULE;
typedef void *HINSTANCE;
typedef void *HRSRC;
typedef void *HGLOBAL;
typedef void *HLOCAL;
typedef void *HWND;
typedef void *LPVOID;
typedef DWORD *LPDWORD;
typedef uintptr_t ULONG_PTR;
typedef void *PVOID;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
// What this layer gives for anything that is neither a plain file, a
// directory nor a link: a fifo, a socket, a device.
#define FILE_ATTRIBUTE_DEVICE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
// Not a Windows attribute: this layer's mark for an entry that belongs to
// another user than the one the process runs as (platform.h names it for
// the core as kOtherOwnerAttribute).
#define FILE_ATTRIBUTE_OTHER_OWNER 0x80000000u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define DELETE 0x00010000u
#define FILE_LIST_DIRECTORY 0x00000001
#define FILE_ADD_FILE 0x00000002
#define FILE_READ_ATTRIBUTES 0x00000080
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define LOCKFILE_FAIL_IMMEDIATELY 0x00000001
#define LOCKFILE_EXCLUSIVE_LOCK 0x00000002
#define FILE_TYPE_UNKNOWN 0x0000
#define FILE_TYPE_DISK 0x0001
#define FILE_TYPE_CHAR 0x0002
#define FILE_TYPE_PIPE 0x0003
#define MOVEFILE_REPLACE_EXISTING 0x00000001

#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259
#define PROCESS_QUERY_LIMITED_INFORMATION 0x00001000
#define STATUS_CONTROL_C_EXIT 0xC000013Au

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

#define DUPLICATE_SAME_ACCESS 0x00000002
#define STARTF_USESTDHANDLES 0x00000100
#define NORMAL_PRIORITY_CLASS 0x00000020
#define CREATE_SUSPENDED 0x00000004

#define JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK 0x00001000
#define JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE 0x00002000

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_NO_MORE_FILES 18
#define ERROR_WRITE_FAULT 29
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_NOT_LOCKED 158
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_BAD_EXE_FORMAT 193
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_TIMEOUT 1460
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814
#define ERROR_CANT_RESOLVE_FILENAME 1921

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define LANG_ENGLISH 0x09
#define SUBLANG_ENGLISH_US 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))

#define S_OK ((HRESULT)0)
#define E_FAIL ((HRESULT)0x80004005)
#define CSIDL_LOCAL_APPDATA 0x001c
#define CSIDL_PROFILE 0x0028
#define SHGFP_TYPE_CURRENT 0

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

typedef enum _FINDEX_INFO_LEVELS {
  FindExInfoStandard = 0,
  FindExInfoBasic = 1,
} FINDEX_INFO_LEVELS;

typedef enum _FINDEX_SEARCH_OPS {
  FindExSearchNameMatch = 0,
} FINDEX_SEARCH_OPS;

#define FIND_FIRST_EX_LARGE_FETCH 0x00000002

typedef enum _GET_FILEEX_INFO_LEVELS {
  GetFileExInfoStandard = 0,
} GET_FILEEX_INFO_LEVELS;

// Only the members the core reads.
// Only the members the core reads.
typedef struct _WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
} WIN32_FILE_ATTRIBUTE_DATA, *LPWIN32_FILE_ATTRIBUTE_DATA;

// Only the members the core reads.
typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
// Only the offset counts here: WriteFile given one writes there (pwrite),
// as a positional write on a Windows handle opened without
// FILE_FLAG_OVERLAPPED does.
typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE *lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef BOOL (*PHANDLER_ROUTINE)(DWORD ctrlType);
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);

// Room for a pthread mutex and a condition variable (40 and 48 bytes with
// glibc on x86-64; thread.cpp checks that they fit). Each must be set up
// with its Initialize call before use.
typedef struct _SRWLOCK {
  alignas(8) unsigned char opaque[64];
} SRWLOCK, *PSRWLOCK;
typedef struct _CONDITION_VARIABLE {
  alignas(8) unsigned char opaque[64];
} CONDITION_VARIABLE, *PCONDITION_VARIABLE;

typedef enum _JOBOBJECTINFOCLASS {
  JobObjectExtendedLimitInformation = 9,
} JOBOBJECTINFOCLASS;

// Only the member the core sets.
typedef struct _JOBOBJECT_BASIC_LIMIT_INFORMATION {
  DWORD LimitFlags;
} JOBOBJECT_BASIC_LIMIT_INFORMATION;

typedef struct _JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
  JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
} JOBOBJECT_EXTENDED_LIMIT_INFORMATION;

// Errors
DWORD GetLastError(void);
void SetLastError(DWORD code);
DWORD FormatMessageA(DWORD flags, const void *source, DWORD messageId,
                     DWORD languageId, LPSTR buffer, DWORD size, void *args);
// Frees what FormatMessageA allocated.
HLOCAL LocalFree(HLOCAL memory);

// Resources: the container appended to the running executable.
HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);

// Files and directories
//
// CreateFileW knows four uses: GENERIC_WRITE with CREATE_ALWAYS (a new
// file, mode 0755), GENERIC_READ with OPEN_EXISTING, GENERIC_READ with
// OPEN_ALWAYS (a file to lock, made empty with mode 0600 when missing, and
// opened for writing too, which an exclusive lock needs here), and
// a directory (FILE_FLAG_BACKUP_SEMANTICS with OPEN_EXISTING). None follows a symbolic
// link at the last level (as FILE_FLAG_OPEN_REPARSE_POINT, which is
// accepted, asks on Windows, the open fails instead of giving the link),
// and the open for reading never waits: a fifo opens at once, to be found
// out by GetFileType.
//
// A directory handle reads nothing; it plays the sharing rules of Windows
// that the launcher relies on with flock on the directory itself, so that
// nothing appears inside it:
// - a handle that refuses to share write access (a share mode without
//   FILE_SHARE_WRITE) takes the lock exclusively;
// - a handle with write access (FILE_ADD_FILE, GENERIC_WRITE) that shares
//   it takes the lock shared: any number of them go together;
// - any other handle takes no lock (a query of what the path names).
// A conflict fails at once with ERROR_SHARING_VIOLATION. The lock lives
// with the handle (close-on-exec: a child inherits none) and goes with its
// CloseHandle or the end of the process, however it ends; it follows the
// directory through a rename. One difference: Windows lets two handles
// that both refuse write sharing, and have no write access, go together;
// here the second fails.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
// A byte-range lock on an open file, shared or (LOCKFILE_EXCLUSIVE_LOCK)
// exclusive, from the overlapped's offset on: an open-file-description lock
// (fcntl F_OFD_SETLK), which as on Windows belongs to the handle, not the
// process, and goes with its CloseHandle or the end of the process. A
// conflict fails with ERROR_LOCK_VIOLATION under LOCKFILE_FAIL_IMMEDIATELY;
// without it the call waits.
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD countLow,
                DWORD countHigh, LPOVERLAPPED overlapped);
// unlink: never a directory, and a link is removed as a link.
BOOL DeleteFileW(LPCWSTR path);
BOOL WriteFile(HANDLE file, const void *data, DWORD count, LPDWORD written,
               LPOVERLAPPED overlapped);
// Cuts the file at its position (ftruncate).
BOOL SetEndOfFile(HANDLE file);
// fsync.
BOOL FlushFileBuffers(HANDLE file);
// Reads up to `count` bytes; 0 read at the end of the file.
BOOL ReadFile(HANDLE file, void *data, DWORD count, LPDWORD read,
              LPOVERLAPPED overlapped);
// Renames a file or directory. Without MOVEFILE_REPLACE_EXISTING nothing
// already at `to` is ever replaced, a directory included (renameat2 with
// RENAME_NOREPLACE): the call fails with ERROR_ALREADY_EXISTS.
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
// FILE_TYPE_DISK for a plain file or a directory, FILE_TYPE_PIPE for a fifo
// or a socket, FILE_TYPE_CHAR for a character device, FILE_TYPE_UNKNOWN
// for anything else.
DWORD GetFileType(HANDLE file);
// What lstat says: the attributes as GetFileAttributesW gives them, and the
// size.
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level,
                          LPVOID information);
BOOL CloseHandle(HANDLE handle);
// What fstat says of an open file or directory: its attributes as
// GetFileAttributesW gives them, its size, its device as the volume serial
// number, its inode as the file index, and its link count, which is 0 for a
// directory that has been removed.
BOOL GetFileInformationByHandle(HANDLE file,
                                LPBY_HANDLE_FILE_INFORMATION information);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
DWORD GetFileAttributesW(LPCWSTR path);
// A listing of one directory. The pattern's last level is "*" or a literal
// prefix followed by one "*" (all this layer understands); "." and ".."
// are listed as on Windows. Only dwFileAttributes (a link never followed:
// FILE_ATTRIBUTE_REPARSE_POINT), the size (lstat's, for what is no
// directory) and cFileName are filled in; a name longer than cFileName
// holds is skipped.
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found);
// The same listing, through one descriptor: the directory is opened with
// O_NOFOLLOW, so a link at its last level is not listed (the open fails as
// for anything that is no directory), and each entry is looked at with
// fstatat relative to it. Only FindExInfoBasic and
// FindExSearchNameMatch; the flags are taken as given (the kernel's
// getdents fetches in large batches anyway). A name that is not UTF-8 is
// not listed: no UTF-16 path of the core's names it.
HANDLE FindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level,
                        LPVOID found, FINDEX_SEARCH_OPS search,
                        LPVOID filter, DWORD flags);
BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW found);
BOOL FindClose(HANDLE search);

// Processes
//
// The child gets the argument vector the launcher received, its standard
// handles, its environment, an empty signal mask and the default action for
// SIGINT, SIGHUP, SIGTERM, SIGPIPE and SIGXFSZ (the last two the launcher
// itself ignores). It also gets SIGKILL as the signal its parent's death
// sends it (PR_SET_PDEATHSIG), set before it runs a
// single instruction of its program: that is how the child ends with the
// launcher here, where Windows uses a job (see below). The signal comes
// when the thread that created the child ends; the launcher creates it on
// its main thread, which ends only with the process. A child that is a
// set-user-ID or set-group-ID program, or has file capabilities, loses the
// setting at exec; Linux allows no other way.
//
// CREATE_SUSPENDED is accepted and the child runs at once; ResumeThread on
// its thread does nothing and returns 0 (not suspended). On Windows the
// suspension lets the launcher put the child into its job before the child
// can do anything, in particular start children of its own outside the
// job. Here there is no job: the parent-death signal is in place before
// exec, so nothing can happen before it that waiting would prevent. Really
// waiting would cost the exec error: a child that waits before its exec
// must be a full fork that reports its exec error only later, while
// CreateProcessW reports it here, as on Windows, from a vfork child.
BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine,
                    LPSECURITY_ATTRIBUTES processSecurity,
                    LPSECURITY_ATTRIBUTES threadSecurity, BOOL inheritHandles,
                    DWORD flags, LPVOID environment, LPCWSTR directory,
                    LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info);
DWORD ResumeThread(HANDLE thread);
// Jobs: nothing on Linux does what a job does for the launcher; the
// parent-death signal above stands in for KILL_ON_JOB_CLOSE, and the child's
// own children are never affected by it (SILENT_BREAKAWAY_OK). So a job is
// a handle that holds nothing: CreateJobObjectW gives one,
// SetInformationJobObject checks and accepts extended limits, and
// AssignProcessToJobObject checks its handles and succeeds.
HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES security, LPCWSTR name);
BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass,
                             LPVOID info, DWORD length);
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// For a process opened with OpenProcess: STILL_ACTIVE until it has ended
// (a zombie has), then its status as a shell shows it.
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
LPWSTR GetCommandLineW(void);
HANDLE GetCurrentProcess(void);
typedef ULONG_PTR DWORD_PTR, *PDWORD_PTR;
// The processors this process may run on (sched_getaffinity, so taskset
// counts), one bit each for the first 64; the system's mask is the same.
BOOL GetProcessAffinityMask(HANDLE process, PDWORD_PTR processMask,
                            PDWORD_PTR systemMask);
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                     HANDLE *target, DWORD access, BOOL inherit, DWORD options);
HANDLE GetStdHandle(DWORD which);
DWORD GetCurrentProcessId(void);
// Any process by its id, through /proc/<id>, for queries only. No such
// process: null with ERROR_INVALID_PARAMETER, as on Windows; one that
// exists but may not be looked at: null with ERROR_ACCESS_DENIED.
HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId);
// Only the creation time is filled in (the others are zero): the kernel's
// start time of the process, on the clock GetSystemTimeAsFileTime reads,
// to the kernel's clock tick (10 ms where USER_HZ is 100), no later than
// the true creation.
BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit,
                     LPFILETIME kernel, LPFILETIME user);
void Sleep(DWORD milliseconds);
// Ends the process at once with `exitCode`. STATUS_CONTROL_C_EXIT, the code
// a process ends with on Ctrl+C, ends it here the way Ctrl+C does: by
// SIGINT.
[[noreturn]] void ExitProcess(UINT exitCode);

// Threads of the launcher's own (thread.cpp), over pthreads. CreateThread
// takes no flags and ignores the stack size (the system's default is used);
// the new thread starts with the signal mask of the thread that made it.
// WaitForSingleObject on such a thread waits for it to end (INFINITE only;
// any other wait fails with ERROR_NOT_SUPPORTED), and CloseHandle of one
// never waited for lets it run on by itself (detached).
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, size_t stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                    LPDWORD threadId);
// The exclusive side of a slim reader/writer lock: a plain mutex here.
void InitializeSRWLock(PSRWLOCK lock);
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);
void InitializeConditionVariable(PCONDITION_VARIABLE condition);
// Only with the lock held exclusively (flags 0). A wait with a time-out
// other than INFINITE that runs out returns FALSE with ERROR_TIMEOUT, as on
// Windows; its clock is CLOCK_MONOTONIC, which a change of the system's
// time does not move. Wakes may be spurious, as on Windows.
BOOL SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock,
                               DWORD milliseconds, DWORD flags);
void WakeConditionVariable(PCONDITION_VARIABLE condition);
void WakeAllConditionVariable(PCONDITION_VARIABLE condition);
// Events (event.cpp): unnamed only. WaitForSingleObject on one waits, with
// any time-out, on CLOCK_MONOTONIC.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                    BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Memory: drops pages already read from the resident set.
BOOL VirtualUnlock(LPVOID address, size_t size);

// Console control: SIGINT, SIGTERM and SIGHUP play the console events.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);

// Environment, time, paths
BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);
void GetSystemTimeAsFileTime(LPFILETIME time);
// Milliseconds on a clock that never goes back (CLOCK_MONOTONIC).
ULONGLONG GetTickCount64(void);
DWORD GetTempPathW(DWORD size, LPWSTR buffer);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
HRESULT SHGetFolderPathW(HWND window, int folder, HANDLE token, DWORD flags,
                         LPWSTR path);

// The launcher's entry; platform/posix/entry.cpp calls it from main().
int wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine,
             int show);

// Atomics, as on Windows.
static inline PVOID InterlockedExchangePointer(PVOID volatile *target,
                                               PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchange(LONG volatile *target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG64 InterlockedExchange64(LONG64 volatile *target,
                                           LONG64 value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile *target) {
  return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
static inline LONG64 InterlockedExchangeAdd64(LONG64 volatile *target,
                                              LONG64 value) {
  return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
