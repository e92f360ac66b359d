// Removal deletes people's files, so it keeps to these rules:
//  - A root is refused unless it names a folder below a drive or share, by a
//    path that resolves and lists alike, and is not itself a link.
//  - A listed name is used only when a path built from it names that entry:
//    best-fit conversion to ANSI can turn a name into one holding separators,
//    dots or the name of a sibling (NameCanNameEntry).
//  - A folder is entered only while it is held open and its path, so held,
//    names a folder that is not a link (HoldFolderToEnter). A held folder, and
//    every held folder above it, can be neither renamed nor replaced.
//  - A path that does not fit its buffer is a failure, never a shorter path.
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
const size_t kResolvedSize = kDirectorySize + kWorkingDirectorySize;  // a root made full
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
    ShowMessageBox("Unable to Uninstall", kErrorCaption, kMbOk);
    Exit(0);
}

// ANSI text may use a double-byte code page, where the second byte of a
// character can be '\\' or '|'. So text is scanned by character, never by byte.
// No code page has a lead byte below 0x80, so plain ASCII costs no call.
const char* NextChar(const char* text) {
    bool lead = static_cast<unsigned char>(*text) >= 0x80 && IsLeadByte(*text);
    return lead && text[1] ? text + 2 : text + 1;
}

// The first character of `text` found in `set` (single-byte characters), or
// the end of `text`.
const char* FindChar(const char* text, const char* set) {
    for (; *text; text = NextChar(text)) {
        for (const char* c = set; *c; ++c)
            if (*c == *text) return text;
    }
    return text;
}

// The first byte of the last character of `text`; 0 when it is empty.
char LastChar(const char* text) {
    char last = 0;
    for (; *text; text = NextChar(text)) last = *text;
    return last;
}

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Skips `count` non-empty components, each but the last followed by one
// backslash. Returns nullptr when the path is not shaped like that.
const char* SkipComponents(const char* path, int count) {
    for (int i = 0; i < count; ++i) {
        const char* end = FindChar(path, "\\");
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
        size_t length = FindChar(rest, "\\") - rest;
        if (length == 2 && rest[0] == '.' && rest[1] == '.') {
            if (depth > 0) --depth;
        } else if (strspn(rest, ". ") < length) {
            ++depth;
        }
        rest += length;
    }
    return depth == 0;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "\??\" is the system's own namespace: GetFullPathNameA reads it as a
// folder named "??" on the current drive, but the listing takes it as the
// prefix of a device path such as a whole drive.
bool IsSystemNamespace(const char* path) {
    return IsSeparator(path[0]) && path[1] == '?' && path[2] == '?' && IsSeparator(path[3]);
}

// Resolves `path` to the full path of the entry it names, with no trailing
// separator: after one, an attribute read reports a link's target instead of
// the link. False when it cannot be resolved or does not fit.
bool ResolveEntryPath(const char* path, char* fullPath, size_t size) {
    char probe[kDirectorySize + 1];
    if (Compose(probe, sizeof probe, {path, "\\"}) >= sizeof probe) return false;
    unsigned long length = GetFullPath(probe, fullPath, size);
    if (length == 0 || length >= size) return false;
    char* end = fullPath;
    for (char* c = fullPath; *c; c = const_cast<char*>(NextChar(c)))
        if (*c != '\\') end = const_cast<char*>(NextChar(c));
    *end = '\0';
    return end != fullPath;
}

// A removal root is refused when it is empty, too long, in the system's
// namespace, cannot be resolved, resolves to the root of a drive or share, or
// is itself a link (where it leads cannot be told, and may be a whole drive).
// It is resolved with the separator appended, exactly as the search pattern
// will use it: "C:" alone is drive C's current directory, but "C:\*" lists
// the root of C.
bool IsRefusedRoot(const char* directory) {
    size_t length = strlen(directory);
    if (length == 0 || length >= kDirectorySize || IsSystemNamespace(directory)) return true;
    char fullPath[kResolvedSize];
    if (!ResolveEntryPath(directory, fullPath, sizeof fullPath) || IsVolumeRoot(fullPath))
        return true;
    unsigned long attributes = GetFileAttributesA(fullPath);
    return attributes != kInvalidFileAttributes && (attributes & kFileAttributeReparsePoint);
}

bool IsDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Whether D + "\\" + name can name the listed entry. No real name holds
// these characters, so a listed name that does was changed by the listing's
// conversion; and paths drop trailing dots and spaces, so such a name would
// name another entry.
bool NameCanNameEntry(const char* name) {
    if (!*name || *FindChar(name, "\\/:*?\"<>|")) return false;
    char last = LastChar(name);
    return last != '.' && last != ' ';
}

// Opens `folder` to hold it and checks, while it is held, that its path names
// a folder that is not a link: the listing's attributes may be stale or
// belong to another entry. Returns the hold, or InvalidHandle() when the
// folder must not be entered.
Handle HoldFolderToEnter(const char* folder) {
    // Only a root's path can end in a separator, a dot or a space (listed
    // names that do are never used); it is held by the entry's own full path.
    char fullPath[kResolvedSize];
    char last = LastChar(folder);
    if (last && strchr("\\/. ", last)) {
        if (!ResolveEntryPath(folder, fullPath, sizeof fullPath)) return InvalidHandle();
        folder = fullPath;
    }
    Handle held = HoldOpenNoReparse(folder);
    if (held == InvalidHandle()) return held;
    unsigned long attributes = GetFileAttributesA(folder);
    if (attributes != kInvalidFileAttributes && (attributes & kFileAttributeDirectory) &&
        !(attributes & kFileAttributeReparsePoint))
        return held;
    CloseHandle(held);
    return InvalidHandle();
}

void ReportUndeletableFile(const char* directory, const char* name) {
    char message[kMessageSize];
    Compose(message, sizeof message,
            {"Problem Occurred while trying to delete the File:", directory, "\\", name});
    ShowMessageBox(message, kErrorCaption, kMbOk);
}

void RemoveEntry(const char* directory, const FindEntry& entry) {
    bool isDirectory = (entry.attributes & kFileAttributeDirectory) != 0;
    char path[kMaxPath];
    bool usable = NameCanNameEntry(entry.name) &&
                  Compose(path, sizeof path, {directory, "\\", entry.name}) < sizeof path;
    if (!isDirectory) {
        if (usable && DeleteFileA(path)) return;
        ReportUndeletableFile(directory, entry.name);
        DeleteFailed = 1;
        return;
    }
    if (!usable) {
        DeleteFailed = 1;
        return;
    }
    // A link is removed itself; what it points at lies outside the tree. The
    // listing's word that it is one is taken, and checked again while held.
    if (!(entry.attributes & kFileAttributeReparsePoint)) RemoveTreeContents(path);
    if (!RemoveDirectoryA(path)) DeleteFailed = 1;
}

}  // namespace

extern "C" int PLATFORM_WINAPI WinMain(void*, void*, char*, int) {
    DeleteFailed = 0;
    // Run from %TEMP% and perhaps elevated: no DLL may come from beside the exe.
    RestrictDllSearchToSystem();
    Sleep(500);
    RunUninstaller();
    return 1;
}

void RunUninstaller() {
    int count = 0;
    char** arguments = GetArgumentVector(&count);
    if (count <= 1) {
        if (ShowMessageBox("Are you sure you want to Uninstall ?", kProductCaption,
                           kMbYesNo | kMbIconQuestion) == kIdYes) {
            LaunchMainProgram();
        }
        return;
    }
    if (StrICmp(arguments[1], kKeyword) != 0) return;
    if (count < 3 || !AnsiFormIsExact(kDirectoryArgument, arguments[2]) ||
        IsRefusedRoot(arguments[2]))
        FailUninstall();
    char* directory = Allocate(kDirectorySize);
    if (!directory) FailUninstall();
    Compose(directory, kDirectorySize, {arguments[2]});
    UninstallDirectory(directory);
}

int LaunchMainProgram() {
    char directory[kWorkingDirectorySize] = "";
    if (!GetCwd(directory, sizeof directory)) FailUninstall();
    size_t length = strlen(directory);
    if (length > kMaxWorkingDirectory || !AnsiFormIsExact(kWorkingDirectory, directory))
        FailUninstall();

    char commandLine[kWorkingDirectorySize];
    Compose(commandLine, sizeof commandLine,
            {"\"", directory, "\\", kMainProgram, "\" ", kKeyword});
    Compose(directory + length, sizeof directory - length, {"\\"});

    ProcessHandles started = {nullptr, nullptr};
    if (!StartProcess(commandLine, directory, &started)) FailUninstall();
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
        ShowMessageBox(message, kProductCaption, kMbIconInformation);
    } else {
        ShowMessageBox("Uninstall successful. BYE BYE !", kProductCaption, kMbIconInformation);
    }
    Release(directory);
    return ScheduleSelfDelete();
}

void RemoveTreeContents(const char* directory) {
    char pattern[kMaxPath];
    if (Compose(pattern, sizeof pattern, {directory, "\\*"}) >= sizeof pattern) return;
    Handle held = HoldFolderToEnter(directory);
    if (held == InvalidHandle()) return;
    FindEntry entry;
    Handle find = FindFirstEntry(pattern, &entry);
    if (find != InvalidHandle()) {
        do {
            if (!IsDotEntry(entry.name)) RemoveEntry(directory, entry);
        } while (FindNextEntry(find, &entry));
        FindClose(find);
    }
    // Let go before the caller removes the folder: a hold forbids deletion.
    CloseHandle(held);
}

int ScheduleSelfDelete() {
    char path[kMaxPath];
    unsigned long length = GetOwnPath(path, sizeof path);
    if (length == 0 || length >= sizeof path || !AnsiFormIsExact(kOwnPath, path)) return 0;
    length = GetShortPathNameA(path, path, sizeof path);
    if (length == 0 || length >= sizeof path) return 0;
    // The interpreter expands %...% even inside quotes (and !...! too, when
    // delayed expansion is on), and a quote would end the quoted path early:
    // any of them could name another file.
    if (strpbrk(path, "%!\"")) return 0;

    char parameters[kMaxPath];
    if (Compose(parameters, sizeof parameters, {"/c del \"", path, "\" >> NUL"}) >=
        sizeof parameters)
        return 0;

    length = GetEnvironmentVariableA("ComSpec", path, sizeof path);
    if (length == 0 || length >= sizeof path) return 0;
    return ShellExecuteFile(path, parameters, kSwHide) > 32 ? 1 : 0;
}
