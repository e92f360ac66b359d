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
const unsigned long kFileAttributeDirectory = 0x10;
const unsigned long kFileAttributeReparsePoint = 0x400;
const unsigned long kInvalidFileAttributes = 0xFFFFFFFF;
// A hold's access: FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES. The system
// checks and records an open's share mode only when it asks for data access
// (list, traverse, read, write, append or delete); FILE_READ_ATTRIBUTES alone
// would be recorded by nobody and keep no one from renaming the folder.
const unsigned long kHoldAccess = 0x0001 | 0x0080;
// WideCharToMultiByte's flags, and the code pages that take no best-fit flag.
const unsigned long kWcNoBestFitChars = 0x400;
const unsigned long kWcErrInvalidChars = 0x80;
const unsigned kCodePageUtf8 = 65001, kCodePageGb18030 = 54936;

// How to convert Unicode into code page `codePage` so that nothing is
// replaced by a look-alike, and whether the call can report a default
// character used. UTF-8 and GB18030 encode every character and accept only
// WC_ERR_INVALID_CHARS (the call fails with any other flag), which fails on
// a lone surrogate; every other code page takes WC_NO_BEST_FIT_CHARS and
// reports the default character.
struct ExactConversion {
    unsigned long flags;
    bool reportsDefault;
};
inline ExactConversion ExactConversionFor(unsigned codePage) {
    if (codePage == kCodePageUtf8 || codePage == kCodePageGb18030)
        return {kWcErrInvalidChars, false};
    return {kWcNoBestFitChars, true};
}

// A UTF-16 code unit: the system's Unicode names and paths.
typedef unsigned short WideChar;
// Unicode paths of the folders compared by identity, terminator included.
const size_t kWidePath = 1024;

// One listed entry. `wideName` is its exact name, counted (`wideLength`
// code units; a listing may deliver a NUL inside it) and terminated after the
// count. `name` is its ANSI form when that converts exactly (`exact`);
// otherwise the form with best fit, which may name another entry and is only
// ever shown.
struct FindEntry {
    unsigned long attributes;
    bool exact;
    char name[kMaxPath];
    WideChar wideName[kMaxPath];
    size_t wideLength;
};

// A file's identity: no two files on the system share one, whatever names
// lead to them (GetFileInformationByHandle).
struct FileIdentity {
    unsigned long volume, indexHigh, indexLow;
};
inline bool SameIdentity(const FileIdentity& a, const FileIdentity& b) {
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

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

// FindFirstFileW/FindNextFileW of the ANSI pattern in Unicode: InvalidHandle()
// or 0 when there is no entry. Only the self-deletion lists by a path.
Handle FindFirstEntry(const char* pattern, FindEntry* entry);
int FindNextEntry(Handle find, FindEntry* entry);
int FindClose(Handle find);

// The tree is reached through handles alone. A handle stays bound to the file
// it opened whatever later happens to the names leading to it: renames, moves,
// a folder turned into a link or a link re-pointed. Nothing below takes a path.

// How an entry is opened below its folder. Each asks for delete (but the last),
// attributes and synchronize; a folder also for listing, and it shares read
// and write but not delete, so that it is held while it is emptied. A file
// shares all, as DeleteFileA's own open does.
enum EntryOpen { kOpenFileToDelete, kOpenFolderToEmptyAndDelete, kOpenFolderToEmpty };

// CreateFileA of a removal root by its full path, as a folder to empty (and
// delete, `toDelete`), never a link's target. InvalidHandle() on failure.
Handle OpenRootNoReparse(const char* fullPath, bool toDelete);
// NtOpenFile of the entry `name` (exact, letter case included) inside the
// folder `folder` is open on, never a link's target: the name is looked up in
// that very folder, wherever it now lies. A file must be a file and a folder a
// folder. InvalidHandle() on failure. The name is taken as NtOpenFile takes
// it: '\\' separates, ':' names a stream; the logic passes none of those.
Handle OpenBelowNoReparse(Handle folder, const WideChar* name, size_t length, EntryOpen how);
// The attributes of the file a handle is open on (NtQueryInformationFile,
// FileAttributeTagInformation); kInvalidFileAttributes on failure.
unsigned long ReadAttributes(Handle handle);
// Marks the file a handle is open on for deletion: POSIX semantics where the
// system has them (its name goes at once), else the classic disposition (it
// goes when the last handle closes). False when the file refuses: read-only,
// a folder that is not empty, shared without delete, or access denied. Where
// the system has no POSIX deletes, a file opened kOpenFileToDelete was already
// opened to go when its handle closes (a read-only one refuses that open), and
// this asks nothing more.
bool DeleteByHandle(Handle handle);

// A listing of a folder by the handle it is open on (NtQueryDirectoryFile),
// never by a path. Its buffer is the platform's, off the caller's stack.
struct HeldListing;
// nullptr when the buffer cannot be had.
HeldListing* StartListing(Handle folder);
// The next entry, held until the next call; nullptr at the end or on failure.
const FindEntry* NextListed(HeldListing* listing);
void EndListing(HeldListing* listing);

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
// An inheritable hold passes to a process started with inherited handles.
Handle HoldOpenNoReparse(const char* path, bool inheritable);
// CreateFileA of the entry itself for its attributes alone, sharing all:
// enough to read its identity, and it stops nothing.
Handle OpenEntryNoReparse(const char* path);
// GetFileInformationByHandle.
bool ReadIdentity(Handle handle, FileIdentity* identity);
// Each returns the length it reports: 0 on failure, >= size when cut.
// GetOwnPath is GetModuleFileNameA for the running program.
unsigned long GetOwnPath(char* buffer, unsigned long size);
unsigned long GetShortPathNameA(const char* longPath, char* shortPath, unsigned long size);
unsigned long GetEnvironmentVariableA(const char* name, char* buffer, unsigned long size);
unsigned long GetFullPath(const char* path, char* buffer, unsigned long size);

// CreateProcessA of `program` with `commandLine`, hidden and with no window,
// no working directory given, inheriting the `count` handles in `inherited`
// and, where the system cannot name them (before Vista), every inheritable
// handle. Nonzero when started.
int StartHidden(const char* program, char* commandLine, Handle const* inherited, size_t count,
                ProcessHandles* started);

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

// ---- The folders the system and its users keep (uninstaller/kept_folders.cpp) ----

// Where a folder that the system keeps was found.
enum SystemFolderKind {
    kOwnProfile,         // the running user's profile
    kUserFolder,         // registered for the running user
    kDesktopUserFolder,  // registered for the user at the desktop, another account
    kFixedFolder,        // the system, temporary and native Program Files folders
    kProfile,            // in the profiles folder, or named by ProfileList
};
// The walk's place; zero it to start, and call EndSystemFolderWalk once done.
struct SystemFolderWalk {
    unsigned step, index, count;
    void* ids;       // the registered folders' IDs, where the system lists them
    Handle token;    // the desktop user's, when another account
    Handle listing;  // of the profiles folder
    void* key;       // ProfileList
    WideChar profiles[kMaxPath];
};
// The next folder the system keeps, by the path it gives (which may be
// relative, hold '/' or be empty), in the order of the kinds above. Folders
// the system does not report are skipped; a user's registered folders are
// read with KF_FLAG_DONT_VERIFY, so those not made yet are reported too.
bool NextSystemFolder(SystemFolderWalk* walk, SystemFolderKind* kind, WideChar* path, size_t size);
void EndSystemFolderWalk(SystemFolderWalk* walk);
// GetWindowsDirectoryW.
bool GetWindowsFolder(WideChar* path, size_t size);
// GetFullPathNameW: the length, 0 on failure, >= size when cut.
unsigned long GetFullPathW(const WideChar* path, WideChar* buffer, unsigned long size);
// GetFileAttributesW: the entry's own, never a link's target's.
unsigned long GetFileAttributesW(const WideChar* path);
// Exact ANSI text in Unicode; false when it does not convert or fit.
bool WidenPath(const char* path, WideChar* wide, size_t size);
// CreateFileW of a folder, through links, for its attributes alone.
Handle OpenFolderW(const WideChar* path);
// GetFinalPathNameByHandleW (looked up at run time): the path the handle's
// file is finally reached by, such as "\\?\D:\Docs". False where the call
// is missing or fails, or the path does not fit.
bool ReadFinalPath(Handle handle, WideChar* path, size_t size);

}  // namespace platform
