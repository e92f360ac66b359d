// The platform operations over the real Win32 and MSVCRT calls: one thin
// wrapper each, passing the raw result through.
// <windows.h> must come before the other system headers.
#include <windows.h>

#include <direct.h>
#include <shellapi.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

// Arguments are taken literally: "*" in a directory name is not a pattern.
extern "C" {
int _dowildcard = 0;
}

static_assert(platform::kMaxPath == MAX_PATH, "MAX_PATH");
static_assert(platform::kMbOk == MB_OK && platform::kMbYesNo == MB_YESNO, "MB_ styles");
static_assert(platform::kMbIconQuestion == MB_ICONQUESTION, "MB_ICONQUESTION");
static_assert(platform::kMbIconInformation == MB_ICONINFORMATION, "MB_ICONINFORMATION");
static_assert(platform::kIdYes == IDYES && platform::kSwHide == SW_HIDE, "IDYES, SW_HIDE");
static_assert(platform::kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY, "directory bit");
static_assert(platform::kFileAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT, "reparse bit");
static_assert(platform::kInvalidFileAttributes == INVALID_FILE_ATTRIBUTES, "no attributes");
static_assert(platform::kHoldAccess == (FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES), "hold access");

namespace platform {

namespace {
void CopyEntry(const WIN32_FIND_DATAA& data, FindEntry* entry) {
    entry->attributes = data.dwFileAttributes;
    memcpy(entry->name, data.cFileName, sizeof entry->name);
}
}  // namespace

void Sleep(unsigned long milliseconds) { ::Sleep(milliseconds); }

char** GetArgumentVector(int* count) {
    *count = __argc;
    return __argv;
}

int StrICmp(const char* a, const char* b) { return ::_stricmp(a, b); }

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    return ::MessageBoxA(nullptr, text, caption, style);
}

char* GetCwd(char* buffer, int size) { return ::_getcwd(buffer, size); }

int StartProcess(char* commandLine, const char* currentDirectory, ProcessHandles* started) {
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    BOOL ok = ::CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                               currentDirectory, &startup, &process);
    started->process = process.hProcess;
    started->thread = process.hThread;
    return ok;
}

int CloseHandle(Handle handle) { return ::CloseHandle(handle); }

void Exit(int status) { ::exit(status); }

Handle FindFirstEntry(const char* pattern, FindEntry* entry) {
    WIN32_FIND_DATAA data;
    HANDLE find = ::FindFirstFileA(pattern, &data);
    if (find != INVALID_HANDLE_VALUE) CopyEntry(data, entry);
    return find;
}

int FindNextEntry(Handle find, FindEntry* entry) {
    WIN32_FIND_DATAA data;
    BOOL ok = ::FindNextFileA(find, &data);
    if (ok) CopyEntry(data, entry);
    return ok;
}

int FindClose(Handle find) { return ::FindClose(find); }

int DeleteFileA(const char* path) { return ::DeleteFileA(path); }

int RemoveDirectoryA(const char* path) { return ::RemoveDirectoryA(path); }

bool IsLeadByte(char c) { return ::IsDBCSLeadByte(static_cast<BYTE>(c)) != 0; }

unsigned long GetFileAttributesA(const char* path) { return ::GetFileAttributesA(path); }

Handle HoldOpenNoReparse(const char* path) {
    return ::CreateFileA(path, kHoldAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
}

unsigned long GetOwnPath(char* buffer, unsigned long size) {
    return ::GetModuleFileNameA(nullptr, buffer, size);
}

unsigned long GetShortPathNameA(const char* longPath, char* shortPath, unsigned long size) {
    return ::GetShortPathNameA(longPath, shortPath, size);
}

unsigned long GetEnvironmentVariableA(const char* name, char* buffer, unsigned long size) {
    return ::GetEnvironmentVariableA(name, buffer, size);
}

unsigned long GetFullPath(const char* path, char* buffer, unsigned long size) {
    return ::GetFullPathNameA(path, size, buffer, nullptr);
}

unsigned long GetLongPathIfPresent(const char* shortPath, char* buffer, unsigned long size) {
    typedef DWORD(WINAPI * GetLongPathNameAProc)(LPCSTR, LPSTR, DWORD);
    HMODULE kernel = ::GetModuleHandleA("KERNEL32.DLL");
    GetLongPathNameAProc getLongPath =
        kernel ? reinterpret_cast<GetLongPathNameAProc>(
                     reinterpret_cast<void*>(::GetProcAddress(kernel, "GetLongPathNameA")))
               : nullptr;
    return getLongPath ? getLongPath(shortPath, buffer, size) : kCallMissing;
}

long ShellExecuteFile(const char* file, const char* parameters, int showCommand) {
    return static_cast<long>(reinterpret_cast<INT_PTR>(
        ::ShellExecuteA(nullptr, nullptr, file, parameters, nullptr, showCommand)));
}

namespace {

// Longest Unicode original compared, in characters. Every value checked is
// refused elsewhere long before this, so a longer one is simply inexact.
const int kWideLimit = 1024;

typedef LPWSTR*(WINAPI* CommandLineToArgvWProc)(LPCWSTR, int*);

// The directory argument as CommandLineToArgvW splits the Unicode command
// line. Returns 0 when it cannot be read, -1 when the split has no such
// argument, else 1.
int ReadWideDirectoryArgument(wchar_t* buffer) {
    HMODULE shell = ::GetModuleHandleA("SHELL32.DLL");
    CommandLineToArgvWProc split =
        shell ? reinterpret_cast<CommandLineToArgvWProc>(
                    reinterpret_cast<void*>(::GetProcAddress(shell, "CommandLineToArgvW")))
              : nullptr;
    const wchar_t* commandLine = ::GetCommandLineW();
    if (!split || !commandLine || !commandLine[0]) return 0;
    int count = 0;
    LPWSTR* arguments = split(commandLine, &count);
    if (!arguments) return 0;
    int found = -1;
    if (count > 2 && ::lstrlenW(arguments[2]) < kWideLimit) {
        ::lstrcpyW(buffer, arguments[2]);
        found = 1;
    }
    ::LocalFree(arguments);
    return found;
}

// The Unicode original of a value: 1 when read, 0 when it cannot be read,
// -1 when it cannot be exact (too long, or the command line splits apart).
int ReadWideOriginal(AnsiValue value, wchar_t* buffer) {
    DWORD length = 0;
    switch (value) {
        case kDirectoryArgument:
            return ReadWideDirectoryArgument(buffer);
        case kWorkingDirectory:
            length = ::GetCurrentDirectoryW(kWideLimit, buffer);
            break;
        case kOwnPath:
            length = ::GetModuleFileNameW(nullptr, buffer, kWideLimit);
            break;
    }
    if (length == 0) return 0;
    return length < static_cast<DWORD>(kWideLimit) ? 1 : -1;
}

}  // namespace

bool AnsiFormIsExact(AnsiValue value, const char* ansi) {
    wchar_t original[kWideLimit];
    int read = ReadWideOriginal(value, original);
    if (read == 0) return true;
    if (read < 0) return false;
    char converted[kWideLimit * 2];
    BOOL replaced = FALSE;
    int length = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, original, -1, converted,
                                       sizeof converted, nullptr, &replaced);
    return length > 0 && !replaced && strcmp(converted, ansi) == 0;
}

void RestrictDllSearchToSystem() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
    HMODULE kernel = ::GetModuleHandleA("KERNEL32.DLL");
    if (!kernel) return;
    SetDefaultDllDirectoriesProc setDirectories = reinterpret_cast<SetDefaultDllDirectoriesProc>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDirectories) setDirectories(0x00000800);  // LOAD_LIBRARY_SEARCH_SYSTEM32
}

char* Allocate(size_t size) { return static_cast<char*>(::malloc(size)); }

void Release(char* buffer) { ::free(buffer); }

}  // namespace platform
