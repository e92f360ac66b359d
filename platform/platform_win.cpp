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

int MessageBoxA(const char* text, const char* caption, unsigned style) {
    return ::MessageBoxA(nullptr, text, caption, style);
}

char* GetCwd(char* buffer, int size) { return ::_getcwd(buffer, size); }

int CreateProcessA(char* commandLine, const char* currentDirectory, ProcessHandles* started) {
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

Handle FindFirstFileA(const char* pattern, FindEntry* entry) {
    WIN32_FIND_DATAA data;
    HANDLE find = ::FindFirstFileA(pattern, &data);
    if (find != INVALID_HANDLE_VALUE) CopyEntry(data, entry);
    return find;
}

int FindNextFileA(Handle find, FindEntry* entry) {
    WIN32_FIND_DATAA data;
    BOOL ok = ::FindNextFileA(find, &data);
    if (ok) CopyEntry(data, entry);
    return ok;
}

int FindClose(Handle find) { return ::FindClose(find); }

int DeleteFileA(const char* path) { return ::DeleteFileA(path); }

int RemoveDirectoryA(const char* path) { return ::RemoveDirectoryA(path); }

unsigned long GetModuleFileNameA(char* buffer, unsigned long size) {
    return ::GetModuleFileNameA(nullptr, buffer, size);
}

unsigned long GetShortPathNameA(const char* longPath, char* shortPath, unsigned long size) {
    return ::GetShortPathNameA(longPath, shortPath, size);
}

unsigned long GetEnvironmentVariableA(const char* name, char* buffer, unsigned long size) {
    return ::GetEnvironmentVariableA(name, buffer, size);
}

unsigned long GetFullPathNameA(const char* path, char* buffer, unsigned long size) {
    return ::GetFullPathNameA(path, size, buffer, nullptr);
}

long ShellExecuteA(const char* file, const char* parameters, int showCommand) {
    return static_cast<long>(reinterpret_cast<INT_PTR>(
        ::ShellExecuteA(nullptr, nullptr, file, parameters, nullptr, showCommand)));
}

char* Allocate(size_t size) { return static_cast<char*>(::malloc(size)); }

void Release(char* buffer) { ::free(buffer); }

}  // namespace platform
