// The system operations the uninstaller logic uses, each declared once.
// platform_win.cpp binds them to the real Win32/MSVCRT calls; the unit tests
// link a scripted fake instead. Nothing here pulls in <windows.h>.
#pragma once

#include <stddef.h>

#if defined(_WIN32) && defined(__i386__)
#define PLATFORM_WINAPI __attribute__((stdcall))
#else
#define PLATFORM_WINAPI
#endif

namespace platform {

// Values of the Win32 constants the logic passes or tests; platform_win.cpp
// checks each against <windows.h>.
const unsigned kMaxPath = 260;
const unsigned kMbOk = 0x00;
const unsigned kMbYesNo = 0x04;
const unsigned kMbIconQuestion = 0x20;
const unsigned kMbIconInformation = 0x40;
const int kIdYes = 6;
const int kSwHide = 0;
const unsigned long kFileAttributeDirectory = 0x10;
const unsigned long kFileAttributeReparsePoint = 0x400;
const unsigned long kInvalidFileAttributes = 0xFFFFFFFF;
// A hold's access: FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES. The system
// checks and records an open's share mode only when it asks for data access
// (list, traverse, read, write, append or delete); FILE_READ_ATTRIBUTES alone
// would be recorded by nobody and keep no one from renaming the folder.
const unsigned long kHoldAccess = 0x0001 | 0x0080;
// What a late-bound call returns where the system lacks it.
const unsigned long kCallMissing = 0xFFFFFFFF;

// One enumeration result: the name and attribute bits of WIN32_FIND_DATAA.
struct FindEntry {
    unsigned long attributes;
    char name[kMaxPath];
};

typedef void* Handle;
inline Handle InvalidHandle() { return reinterpret_cast<Handle>(-1); }

struct ProcessHandles {
    Handle process;
    Handle thread;
};

void Sleep(unsigned long milliseconds);

// The argument vector built by the runtime at start-up (__p___argc/__p___argv).
char** GetArgumentVector(int* count);

// _stricmp: 0 when equal with the case of A to Z ignored.
int StrICmp(const char* a, const char* b);

// MessageBoxA with no owner window; returns the button pressed.
int ShowMessageBox(const char* text, const char* caption, unsigned style);

// _getcwd: the working directory, or nullptr on failure.
char* GetCwd(char* buffer, int size);

// CreateProcessA with no application name, no security attributes, no
// inheritance, no creation flags, the inherited environment and a
// STARTUPINFOA that is zero but for cb. Nonzero when started.
int StartProcess(char* commandLine, const char* currentDirectory, ProcessHandles* started);

int CloseHandle(Handle handle);

// The runtime's exit().
[[noreturn]] void Exit(int status);

// FindFirstFileA/FindNextFileA: InvalidHandle() or 0 when there is no entry.
// The name is the entry's real name converted to ANSI with best fit, so it
// may name another entry, or hold characters no real name can.
Handle FindFirstEntry(const char* pattern, FindEntry* entry);
int FindNextEntry(Handle find, FindEntry* entry);
int FindClose(Handle find);

int DeleteFileA(const char* path);
int RemoveDirectoryA(const char* path);

// IsDBCSLeadByte: whether `c` begins a two-byte character in the ANSI code page.
bool IsLeadByte(char c);

// The attributes of the entry the path names; a link's own, never its
// target's. kInvalidFileAttributes when there is none.
unsigned long GetFileAttributesA(const char* path);

// CreateFileA of the entry itself (FILE_FLAG_OPEN_REPARSE_POINT, so never a
// link's target; FILE_FLAG_BACKUP_SEMANTICS) for kHoldAccess, sharing read and
// write but not delete: while it is held, it cannot be renamed, removed or
// opened for delete. InvalidHandle() on failure, which includes another open
// that shares no reading or asks for delete access; release with CloseHandle.
Handle HoldOpenNoReparse(const char* path);
// Each returns the length it reports: 0 on failure, >= size when cut.
// GetOwnPath is GetModuleFileNameA for the running program.
unsigned long GetOwnPath(char* buffer, unsigned long size);
unsigned long GetShortPathNameA(const char* longPath, char* shortPath, unsigned long size);
unsigned long GetEnvironmentVariableA(const char* name, char* buffer, unsigned long size);
unsigned long GetFullPath(const char* path, char* buffer, unsigned long size);
// GetLongPathNameA, looked up at run time (Windows 95 and NT 4 lack it), or
// kCallMissing where there is none.
unsigned long GetLongPathIfPresent(const char* shortPath, char* buffer, unsigned long size);

// ShellExecuteA with no owner window, no verb and no working directory;
// the result as a signed integer (> 32 when started).
long ShellExecuteFile(const char* file, const char* parameters, int showCommand);

// The values the system hands over as ANSI text converted with best fit.
enum AnsiValue { kDirectoryArgument, kWorkingDirectory, kOwnPath };

// Whether `ansi` is an exact form of the value's Unicode original: converted
// without best fit, nothing was replaced and the result equals `ansi`. True
// where the Unicode original cannot be read (Windows 9x). The directory
// argument counts as inexact when the two ways of splitting the command line
// disagree.
bool AnsiFormIsExact(AnsiValue value, const char* ansi);

// Limits DLL loading to the system folder (SetDefaultDllDirectories, looked
// up at run time: older Windows lack it, and then nothing changes).
void RestrictDllSearchToSystem();

// The runtime's malloc/free, for the directory buffer handed between modes.
char* Allocate(size_t size);
void Release(char* buffer);

}  // namespace platform
