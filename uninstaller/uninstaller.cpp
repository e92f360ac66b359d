// Removal deletes people's files, so it keeps to these rules:
//  - A root is refused unless its text reads the same to every call
//    (text_rules.h) and its full path names a folder below a drive or share
//    that is not itself a link.
//  - A root is refused when it is, or holds, a folder the system or a user
//    keeps, or lies in the Windows folder, or when that cannot be told
//    (IsKeptFolder, kept_folders.h).
//  - Every folder from the volume's root down to the root's parent is held
//    for the whole removal (HoldPathAboveRoot); if one cannot be, nothing is
//    removed. The root is held from its check until it is emptied.
//  - A folder is entered only while it is held and its path, so held, names a
//    folder that is not a link (HoldFolderToEnter).
//  - A hold is an open for listing (FILE_LIST_DIRECTORY) that does not share
//    delete access, so the system records it: while it lasts, nobody can
//    rename, remove or open for delete the held folder. It does not stop the
//    renaming of a folder inside a held one, which is why every folder on the
//    way is held, each at its own level. An open for attributes alone would
//    be recorded by nobody and stop nothing.
//  - A listed name is used only when it converts to ANSI exactly and a path
//    built from it names that entry (NameCanNameEntry), and only the real "."
//    and ".." are skipped.
//  - A path that does not fit its buffer is a failure, never a shorter path.
//  - The self-deletion deletes this program or nothing: the folders on the way
//    to it are held from start-up until the interpreter has ended (it inherits
//    the holds), and its short path must open the file whose identity was read
//    at start-up.
#include "uninstaller/uninstaller.h"

#include "uninstaller/kept_folders.h"
#include "uninstaller/text_rules.h"

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

// The folders held above the root, volume first. A full path of N characters
// has fewer than N / 2 components, so every one has a place.
struct HeldPath {
    Handle holds[kResolvedSize / 2];
    size_t count;
};
HeldPath pathAboveRoot;
// The root, held from the check that it is no kept folder until it is emptied.
Handle heldRoot = InvalidHandle();

// The self-deletion's target, taken at start-up: the program's own path, the
// folders on the way to it (held until the interpreter ends) and its identity.
struct OwnFile {
    char path[kMaxPath];
    FileIdentity identity;
    bool ready;
};
OwnFile ownFile;
HeldPath wayToOwnFile;

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

// A removal root is refused when its text is, when it cannot be resolved,
// resolves to the root of a drive or share, or is itself a link (where it
// leads cannot be told, and may be a whole drive). It is resolved with the
// separator appended, exactly as the search pattern will use it: "C:" alone
// is drive C's current directory, but "C:\*" lists the root of C. Otherwise
// `fullPath` receives the root's full path.
bool IsRefusedRoot(const char* directory, char* fullPath, size_t size) {
    if (RootTextIsRefused(directory, kDirectorySize) ||
        !ResolveEntryPath(directory, fullPath, size) || IsVolumeRoot(fullPath) ||
        HasLooseComponent(SkipVolume(fullPath), true))
        return true;
    unsigned long attributes = GetFileAttributesA(fullPath);
    return attributes != kInvalidFileAttributes && (attributes & kFileAttributeReparsePoint);
}

void ReleasePath(HeldPath* path) {
    while (path->count > 0) CloseHandle(path->holds[--path->count]);
}

// Holds each folder from the volume's root (by its path with the backslash,
// never the volume device) down to the root's parent, so that none of them
// can be renamed and replaced while the root's path is in use. A link on the
// way is held itself: that is the path the user named. False, with nothing
// held, when any of them cannot be held.
bool HoldPathAboveRoot(const char* rootFullPath, HeldPath* path, bool inheritable) {
    const char* rest = SkipVolume(rootFullPath);
    char folder[kResolvedSize];
    path->count = 0;
    if (!rest || *rest != '\\' || Compose(folder, sizeof folder, {rootFullPath}) >= sizeof folder)
        return false;
    const char* end = rest + 1;  // the volume's root, with its backslash
    for (const char* component = rest;;) {
        size_t length = end - rootFullPath;
        char kept = folder[length];
        folder[length] = '\0';
        Handle held = path->count < sizeof path->holds / sizeof path->holds[0]
                          ? HoldOpenNoReparse(folder, inheritable)
                          : InvalidHandle();
        folder[length] = kept;
        if (held == InvalidHandle()) return ReleasePath(path), false;
        path->holds[path->count++] = held;
        // The next folder ends where its component does, unless that
        // component is the root's own.
        while (*component == '\\') ++component;
        end = FindChar(component, "\\");
        const char* next = end;
        while (*next == '\\') ++next;
        if (!*next) return true;
        component = end;
    }
}

// Opens `folder` to hold it and checks, while it is held, that its path names
// a folder that is not a link: the listing's attributes may be stale or
// belong to another entry. Returns the hold, or InvalidHandle() when the
// folder must not be entered.
Handle HoldFolderToEnter(const char* folder) {
    // Only a root's path can end in a separator (listed names never hold
    // one); it is held by the entry's own full path.
    char fullPath[kResolvedSize];
    char last = LastChar(folder);
    if (last == '\\' || last == '/') {
        if (!ResolveEntryPath(folder, fullPath, sizeof fullPath)) return InvalidHandle();
        folder = fullPath;
    }
    Handle held = HoldOpenNoReparse(folder, false);
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
    bool usable = NameCanNameEntry(entry) &&
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

// Reads the identity of the entry `path` names itself (a link's own).
bool ReadEntryIdentity(const char* path, FileIdentity* identity) {
    Handle opened = OpenEntryNoReparse(path);
    if (opened == InvalidHandle()) return false;
    bool read = ReadIdentity(opened, identity);
    CloseHandle(opened);
    return read;
}

// Holds the way to the program's own file and reads its identity, or leaves
// the self-deletion undone.
void TakeOwnFile() {
    ownFile.ready = false;
    unsigned long length = GetOwnPath(ownFile.path, sizeof ownFile.path);
    const char* rest =
        length > 0 && length < sizeof ownFile.path ? SkipVolume(ownFile.path) : nullptr;
    // A "/" is a separator to the file calls wherever it lies, even in what
    // reads here as a share's name.
    if (!rest || IsVolumeRoot(ownFile.path) || *FindChar(ownFile.path, "/") ||
        LastChar(ownFile.path) == '\\' || HasLooseComponent(rest, true) ||
        !AnsiFormIsExact(kOwnPath, ownFile.path) ||
        !HoldPathAboveRoot(ownFile.path, &wayToOwnFile, true))
        return;
    ownFile.ready = ReadEntryIdentity(ownFile.path, &ownFile.identity);
    if (!ownFile.ready) ReleasePath(&wayToOwnFile);
}

// Lists the held `directory` (whose pattern is `pattern`) and removes each entry.
void EmptyHeldFolder(const char* directory, const char* pattern) {
    FindEntry entry;
    Handle find = FindFirstEntry(pattern, &entry);
    if (find == InvalidHandle()) return;
    // The first folders listed as "." and ".." are the real ones; any other
    // entry under those names was renamed by best fit.
    bool dotSeen = false, dotDotSeen = false;
    do {
        const char* name = entry.name;
        bool folder = entry.exact && (entry.attributes & kFileAttributeDirectory) != 0;
        bool dot = name[0] == '.' && name[1] == 0;
        bool dotDot = name[0] == '.' && name[1] == '.' && name[2] == 0;
        if (folder && dot && !dotSeen)
            dotSeen = true;
        else if (folder && dotDot && !dotDotSeen)
            dotDotSeen = true;
        else
            RemoveEntry(directory, entry);
    } while (FindNextEntry(find, &entry));
    FindClose(find);
}

// The path of the entry that a listing of `pattern` gave as `entry`: the
// pattern's folder and the entry's exact name. False when it has no exact
// name or the path does not fit.
bool ListedPath(const char* pattern, const FindEntry& entry, char* path, size_t size) {
    size_t folder = 0;
    for (const char* c = pattern; *c; c = NextChar(c))
        if (*c == '\\') folder = c - pattern;
    if (!entry.exact || folder == 0 || folder >= size) return false;
    memcpy(path, pattern, folder);
    path[folder] = '\0';
    return Compose(path + folder, size - folder, {"\\", entry.name}) < size - folder;
}

// Holds `directory` to empty it; InvalidHandle() when it is not to be entered
// or its listing does not fit.
Handle HoldToEmpty(const char* directory, char* pattern) {
    if (Compose(pattern, kMaxPath, {directory, "\\*"}) >= kMaxPath) return InvalidHandle();
    return HoldFolderToEnter(directory);
}

}  // namespace

extern "C" int PLATFORM_WINAPI WinMain(void*, void*, char*, int) {
    DeleteFailed = 0;
    // Run from %TEMP% and perhaps elevated: no DLL may come from beside the exe.
    RestrictDllSearchToSystem();
    TakeOwnFile();
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
    char fullPath[kResolvedSize], pattern[kMaxPath];
    if (count < 3 || !AnsiFormIsExact(kDirectoryArgument, arguments[2]) ||
        IsRefusedRoot(arguments[2], fullPath, sizeof fullPath) ||
        !HoldPathAboveRoot(fullPath, &pathAboveRoot, false))
        FailUninstall();
    // The root is checked through the hold it is then listed by; one that is
    // not to be listed is still checked before its removal is tried.
    heldRoot = HoldToEmpty(arguments[2], pattern);
    Handle checkedRoot = heldRoot != InvalidHandle() ? heldRoot : OpenEntryNoReparse(fullPath);
    bool kept = checkedRoot != InvalidHandle() && IsKeptFolder(checkedRoot, fullPath);
    if (checkedRoot != heldRoot) CloseHandle(checkedRoot);
    char* directory = kept ? nullptr : Allocate(kDirectorySize);
    if (!directory) {
        if (heldRoot != InvalidHandle()) CloseHandle(heldRoot);
        ReleasePath(&pathAboveRoot);
        FailUninstall();
    }
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
    char pattern[kMaxPath];
    // The root was held only when its pattern fits.
    if (heldRoot != InvalidHandle()) {
        Compose(pattern, sizeof pattern, {directory, "\\*"});
        EmptyHeldFolder(directory, pattern);
        // Let go before the folder is removed: a hold forbids it.
        CloseHandle(heldRoot);
    }
    heldRoot = InvalidHandle();
    if (!RemoveDirectoryA(directory)) DeleteFailed = 1;
    ReleasePath(&pathAboveRoot);
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
    Handle held = HoldToEmpty(directory, pattern);
    if (held == InvalidHandle()) return;
    EmptyHeldFolder(directory, pattern);
    // Let go before the caller removes the folder: a hold forbids it.
    CloseHandle(held);
}

int ScheduleSelfDelete() {
    char shortPath[kMaxPath];
    unsigned long length =
        ownFile.ready ? GetShortPathNameA(ownFile.path, shortPath, sizeof shortPath) : 0;
    const char* rest = length > 0 && length < sizeof shortPath ? SkipVolume(shortPath) : nullptr;
    if (!rest || *rest != '\\' || !CanQuoteForInterpreter(shortPath)) return 0;
    // Short names need not be unique (Wine derives them from a hash of the
    // long name, and opens and lists twins in different orders), and del
    // deletes the first entry its listing gives: that entry must be this very
    // program. The folders on its way are held, so it still is when del runs.
    FindEntry first;
    Handle find = FindFirstEntry(shortPath, &first);
    if (find == InvalidHandle()) return 0;
    FindClose(find);
    char found[kMaxPath];
    FileIdentity target;
    bool same = ListedPath(shortPath, first, found, sizeof found) &&
                ReadEntryIdentity(found, &target) && SameIdentity(target, ownFile.identity);
    char parameters[kMaxPath], comSpec[kMaxPath];
    if (!same || Compose(parameters, sizeof parameters, {"/c del \"", shortPath, "\" >> NUL"}) >=
                     sizeof parameters)
        return 0;
    length = GetEnvironmentVariableA("ComSpec", comSpec, sizeof comSpec);
    if (length == 0 || length >= sizeof comSpec || *FindChar(comSpec, "\"")) return 0;
    char commandLine[2 * kMaxPath + 4];
    Compose(commandLine, sizeof commandLine, {"\"", comSpec, "\" ", parameters});
    ProcessHandles started = {nullptr, nullptr};
    if (!StartHidden(comSpec, commandLine, wayToOwnFile.holds, wayToOwnFile.count, &started))
        return 0;
    CloseHandle(started.process);
    CloseHandle(started.thread);
    return 1;
}
