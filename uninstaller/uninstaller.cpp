#include "uninstaller/uninstaller.h"

#include <string.h>
#include <initializer_list>

using namespace platform;

int DeleteFailed = 0;

namespace {

const char kKeyword[] = "Uninstall";
const char kProductCaption[] = "Brindlewake Quillstead";
const char kErrorCaption[] = "Uninstall";
const char kMainProgram[] = "Quillstead.exe";

const size_t kDirectorySize = 300;         // directory argument, terminator included
const size_t kMessageSize = 300;           // composed messages
const size_t kWorkingDirectorySize = 400;  // working directory and hand-off command line
// The quotes, "\Quillstead.exe" and " Uninstall" around the working directory.
const size_t kCommandLineOverhead =
    1 + 1 + (sizeof kMainProgram - 1) + 1 + 1 + (sizeof kKeyword - 1);
const size_t kMaxWorkingDirectory = kWorkingDirectorySize - 1 - kCommandLineOverhead;
static_assert(kMaxWorkingDirectory == 372, "hand-off command line layout");

// Writes the concatenation of `parts` into `buffer`, as much as fits, always
// terminated. Returns the length the whole would need: a result >= size
// means it was cut, and a cut path must never reach the platform.
size_t Compose(char* buffer, size_t size, std::initializer_list<const char*> parts) {
    size_t total = 0;
    for (const char* part : parts) {
        for (; *part; ++part, ++total) {
            if (total + 1 < size) buffer[total] = *part;
        }
    }
    buffer[total < size ? total : size - 1] = '\0';
    return total;
}

[[noreturn]] void FailUninstall() {
    MessageBoxA("Unable to Uninstall", kErrorCaption, kMbOk);
    Exit(0);
}

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Skips `count` non-empty components, each but the last followed by one
// backslash. Returns nullptr when the path is not shaped like that.
const char* SkipComponents(const char* path, int count) {
    for (int i = 0; i < count; ++i) {
        const char* end = strchr(path, '\\');
        if (!end) end = path + strlen(path);
        if (end == path) return nullptr;
        path = end;
        if (i + 1 < count) {
            if (*path != '\\') return nullptr;
            ++path;
        }
    }
    return path;
}

// Skips the part of a full path that names a volume: "C:", "\\server\share",
// "\\?\C:" or "\\?\UNC\server\share" (also with "\\.\"). Returns nullptr for
// anything else, which is then treated as a root.
const char* SkipVolume(const char* path) {
    if (IsDriveLetter(path[0]) && path[1] == ':') return path + 2;
    if (path[0] != '\\' || path[1] != '\\') return nullptr;
    path += 2;
    if ((path[0] != '?' && path[0] != '.') || path[1] != '\\') return SkipComponents(path, 2);
    path += 2;
    if (IsDriveLetter(path[0]) && path[1] == ':') return path + 2;
    if (strncmp(path, "UNC\\", 4) == 0) return SkipComponents(path + 4, 2);
    return nullptr;
}

// True when a full path names the root of a drive or share: nothing but
// separators and "." or ".." steps (or names of dots and spaces, which the
// platform trims to nothing) lies below the volume.
bool IsVolumeRoot(const char* fullPath) {
    const char* rest = SkipVolume(fullPath);
    if (!rest) return true;
    int depth = 0;
    while (*rest) {
        if (*rest == '\\') {
            ++rest;
            continue;
        }
        size_t length = strcspn(rest, "\\");
        if (length == 2 && rest[0] == '.' && rest[1] == '.') {
            if (depth > 0) --depth;
        } else if (strspn(rest, ". ") < length) {
            ++depth;
        }
        rest += length;
    }
    return depth == 0;
}

// A removal root is refused when it is empty, too long, cannot be resolved,
// or resolves to the root of a drive or share. It is resolved with the
// separator appended, exactly as the search pattern will use it: "C:" alone
// is drive C's current directory, but "C:\*" lists the root of C.
bool IsRefusedRoot(const char* directory) {
    size_t length = strlen(directory);
    if (length == 0 || length >= kDirectorySize) return true;
    char probe[kDirectorySize + 1];
    Compose(probe, sizeof probe, {directory, "\\"});
    char fullPath[kDirectorySize + kWorkingDirectorySize];
    unsigned long fullLength = GetFullPathNameA(probe, fullPath, sizeof fullPath);
    if (fullLength == 0 || fullLength >= sizeof fullPath) return true;
    return IsVolumeRoot(fullPath);
}

bool IsDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

void ReportUndeletableFile(const char* directory, const char* name) {
    char message[kMessageSize];
    Compose(message, sizeof message,
            {"Problem Occurred while trying to delete the File:", directory, "\\", name});
    MessageBoxA(message, kErrorCaption, kMbOk);
}

void RemoveEntry(const char* directory, const FindEntry& entry) {
    char path[kMaxPath];
    bool fits = Compose(path, sizeof path, {directory, "\\", entry.name}) < sizeof path;
    if (!(entry.attributes & kFileAttributeDirectory)) {
        if (fits && DeleteFileA(path)) return;
        ReportUndeletableFile(directory, entry.name);
        DeleteFailed = 1;
        return;
    }
    if (!fits) {
        DeleteFailed = 1;
        return;
    }
    // A link is removed itself; what it points at lies outside the tree.
    if (!(entry.attributes & kFileAttributeReparsePoint)) RemoveTreeContents(path);
    if (!RemoveDirectoryA(path)) DeleteFailed = 1;
}

}  // namespace

extern "C" int PLATFORM_WINAPI WinMain(void*, void*, char*, int) {
    DeleteFailed = 0;
    Sleep(500);
    RunUninstaller();
    return 1;
}

void RunUninstaller() {
    int count = 0;
    char** arguments = GetArgumentVector(&count);
    if (count <= 1) {
        if (MessageBoxA("Are you sure you want to Uninstall ?", kProductCaption,
                        kMbYesNo | kMbIconQuestion) == kIdYes) {
            LaunchMainProgram();
        }
        return;
    }
    if (StrICmp(arguments[1], kKeyword) != 0) return;
    if (count < 3 || IsRefusedRoot(arguments[2])) FailUninstall();
    char* directory = Allocate(kDirectorySize);
    if (!directory) FailUninstall();
    Compose(directory, kDirectorySize, {arguments[2]});
    UninstallDirectory(directory);
}

int LaunchMainProgram() {
    char directory[kWorkingDirectorySize] = "";
    if (!GetCwd(directory, sizeof directory)) FailUninstall();
    size_t length = strlen(directory);
    if (length > kMaxWorkingDirectory) FailUninstall();

    char commandLine[kWorkingDirectorySize];
    Compose(commandLine, sizeof commandLine,
            {"\"", directory, "\\", kMainProgram, "\" ", kKeyword});
    Compose(directory + length, sizeof directory - length, {"\\"});

    ProcessHandles started = {nullptr, nullptr};
    if (!CreateProcessA(commandLine, directory, &started)) FailUninstall();
    CloseHandle(started.process);
    CloseHandle(started.thread);
    return 1;
}

int UninstallDirectory(char* directory) {
    RemoveTreeContents(directory);
    if (!RemoveDirectoryA(directory)) DeleteFailed = 1;
    if (DeleteFailed) {
        char message[kMessageSize];
        Compose(message, sizeof message,
                {"Some Files are in use and cannot be deleted. Kindly delete\n\"", directory,
                 "\"\nafter use."});
        MessageBoxA(message, kProductCaption, kMbIconInformation);
    } else {
        MessageBoxA("Uninstall successful. BYE BYE !", kProductCaption, kMbIconInformation);
    }
    Release(directory);
    return ScheduleSelfDelete();
}

void RemoveTreeContents(const char* directory) {
    char pattern[kMaxPath];
    if (Compose(pattern, sizeof pattern, {directory, "\\*"}) >= sizeof pattern) return;
    FindEntry entry;
    Handle find = FindFirstFileA(pattern, &entry);
    if (find == InvalidHandle()) return;
    do {
        if (!IsDotEntry(entry.name)) RemoveEntry(directory, entry);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}

int ScheduleSelfDelete() {
    char path[kMaxPath];
    unsigned long length = GetModuleFileNameA(path, sizeof path);
    if (length == 0 || length >= sizeof path) return 0;
    length = GetShortPathNameA(path, path, sizeof path);
    if (length == 0 || length >= sizeof path) return 0;
    // The interpreter expands %...% even inside quotes, and a quote would end
    // the quoted path early: either could name another file.
    if (strpbrk(path, "%\"")) return 0;

    char parameters[kMaxPath];
    if (Compose(parameters, sizeof parameters, {"/c del \"", path, "\" >> NUL"}) >=
        sizeof parameters)
        return 0;

    length = GetEnvironmentVariableA("ComSpec", path, sizeof path);
    if (length == 0 || length >= sizeof path) return 0;
    return ShellExecuteA(path, parameters, kSwHide) > 32 ? 1 : 0;
}
