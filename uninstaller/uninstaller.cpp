// Removal deletes people's files, so it keeps to these rules:
//  - A root is refused unless its text reads the same to every call
//    (text_rules.h) and its full path names a folder below a drive or share
//    that is not itself a link.
//  - A root is refused when it is, or holds, a folder the system or a user
//    keeps, or lies in the Windows folder, or when that cannot be told
//    (IsKeptFolder, kept_folders.h). Folders are compared by identity, never
//    by text, which 8.3 names, letter case, "\\?\" forms, dot steps and links
//    would all get past.
//  - The root is opened once, by its full path, and from then on reached only
//    through that handle. Every entry is listed by its folder's handle, opened
//    relative to it by its exact listed name without following a link, and
//    deleted through its own handle. Holds stop renames, but not a folder
//    turned into a link or a link re-pointed: a path read again could lead
//    anywhere, a handle cannot.
//  - A folder that the listing or its own handle calls a link is removed
//    itself and never entered.
//  - Only the real "." and ".." are skipped; a name that would step, separate
//    or name a stream is never opened.
//  - A path that does not fit its buffer is a failure, never a shorter path;
//    only a message's text is cut to fit.
//  - The self-deletion deletes this program or nothing: the folders on the way
//    to it are held from start-up until the interpreter has ended (it inherits
//    the holds), none may be a link, and its short path must open the file
//    whose identity was read at start-up.
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
const size_t kWorkingDirectorySize = 400;  // working directory and hand-off command line
const size_t kResolvedSize = kDirectorySize + kWorkingDirectorySize;  // a root made full
const unsigned kMaxDepth = 2048;  // levels below the root that are emptied
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

// The folders held on the way to a file, volume first. A full path of N
// characters has fewer than N / 2 components, so every one has a place.
struct HeldPath {
    Handle holds[kMaxPath / 2];
    size_t count;
};
// The root, opened once by its full path: every later step goes through this
// handle. It is opened for deletion where it can be (`rootDeletable`).
Handle heldRoot = InvalidHandle();
bool rootDeletable = false;

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
// never the volume device) down to the folder that holds `fullPath`, so that
// none of them can be renamed and replaced while that path is in use. A link
// on the way is held itself: that is the path the user named. False, with
// nothing held, when any of them cannot be held.
bool HoldWayTo(const char* fullPath, HeldPath* path, bool inheritable) {
    const char* rest = SkipVolume(fullPath);
    char folder[kMaxPath];
    path->count = 0;
    if (!rest || *rest != '\\' || Compose(folder, sizeof folder, {fullPath}) >= sizeof folder)
        return false;
    const char* end = rest + 1;  // the volume's root, with its backslash
    for (const char* component = rest;;) {
        size_t length = end - fullPath;
        char kept = folder[length];
        folder[length] = '\0';
        Handle held = path->count < sizeof path->holds / sizeof path->holds[0]
                          ? HoldOpenNoReparse(folder, inheritable)
                          : InvalidHandle();
        folder[length] = kept;
        if (held == InvalidHandle()) return ReleasePath(path), false;
        path->holds[path->count++] = held;
        // The next folder ends where its component does, unless that
        // component is the file's own.
        while (*component == '\\') ++component;
        end = FindChar(component, "\\");
        const char* next = end;
        while (*next == '\\') ++next;
        if (!*next) return true;
        component = end;
    }
}

// Appends "\" and `name`; returns the length to go back to.
size_t ExtendShownPath(ShownPath* shown, const char* name) {
    size_t before = shown->length;
    size_t kept = before < sizeof shown->text ? before : sizeof shown->text - 1;
    shown->length = kept + Compose(shown->text + kept, sizeof shown->text - kept, {"\\", name});
    if (before > kept) shown->length += before - kept;
    return before;
}

void RestoreShownPath(ShownPath* shown, size_t length) {
    shown->length = length;
    if (length < sizeof shown->text) shown->text[length] = '\0';
}

void ReportUndeletableFile(const ShownPath& shown) {
    char message[kMessageSize];
    Compose(message, sizeof message,
            {"Problem Occurred while trying to delete the File:", shown.text});
    ShowMessageBox(message, kErrorCaption, kMbOk);
}

bool IsLink(unsigned long attributes) {
    return attributes != kInvalidFileAttributes && (attributes & kFileAttributeReparsePoint);
}

bool IsPlainFolder(unsigned long attributes) {
    return attributes != kInvalidFileAttributes && (attributes & kFileAttributeDirectory) &&
           !(attributes & kFileAttributeReparsePoint);
}

// Deletes the file listed as `entry` in `folder` through a handle of its own.
bool DeleteListedFile(Handle folder, const FindEntry& entry) {
    Handle file = OpenBelowNoReparse(folder, entry.wideName, entry.wideLength, kOpenFileToDelete);
    if (file == InvalidHandle()) return false;
    bool deleted = DeleteByHandle(file);
    CloseHandle(file);
    return deleted;
}

// Empties the subfolder listed as `entry` in `folder` through the handle it is
// held by while emptied, then removes it through that very handle. A folder
// that someone else holds without delete sharing is still emptied; a link is
// removed itself, never entered.
bool RemoveListedFolder(Handle folder, const FindEntry& entry, ShownPath* shown) {
    bool deletable = true;
    Handle held =
        OpenBelowNoReparse(folder, entry.wideName, entry.wideLength, kOpenFolderToEmptyAndDelete);
    if (held == InvalidHandle()) {
        deletable = false;
        held = OpenBelowNoReparse(folder, entry.wideName, entry.wideLength, kOpenFolderToEmpty);
        if (held == InvalidHandle()) return false;
    }
    // The listing can only add a doubt: under Wine a handle opened without
    // following a host link still reports the plain folder it leads to.
    unsigned long attributes = ReadAttributes(held);
    if (!IsLink(entry.attributes) && IsPlainFolder(attributes)) RemoveTreeContents(held, shown);
    bool removed = deletable && DeleteByHandle(held);
    CloseHandle(held);
    return removed;
}

void RemoveEntry(Handle folder, const FindEntry& entry, ShownPath* shown) {
    bool isDirectory = (entry.attributes & kFileAttributeDirectory) != 0;
    size_t back = ExtendShownPath(shown, entry.name);
    bool usable = IsSingleName(entry.wideName, entry.wideLength);
    if (!isDirectory) {
        if (!usable || !DeleteListedFile(folder, entry)) {
            ReportUndeletableFile(*shown);
            DeleteFailed = 1;
        }
    } else if (!usable || !RemoveListedFolder(folder, entry, shown)) {
        DeleteFailed = 1;
    }
    RestoreShownPath(shown, back);
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
        !AnsiFormIsExact(kOwnPath, ownFile.path) || !HoldWayTo(ownFile.path, &wayToOwnFile, true))
        return;
    ownFile.ready = ReadEntryIdentity(ownFile.path, &ownFile.identity);
    if (!ownFile.ready) ReleasePath(&wayToOwnFile);
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
    char fullPath[kResolvedSize];
    if (count < 3 || !AnsiFormIsExact(kDirectoryArgument, arguments[2]) ||
        IsRefusedRoot(arguments[2], fullPath, sizeof fullPath))
        FailUninstall();
    // Where the root cannot be opened for delete (the program's own start-up
    // holds, when it lies inside), it is still emptied.
    rootDeletable = true;
    heldRoot = OpenRootNoReparse(fullPath, true);
    if (heldRoot == InvalidHandle()) {
        rootDeletable = false;
        heldRoot = OpenRootNoReparse(fullPath, false);
    }
    // One that cannot be opened at all is still checked before it is reported.
    Handle checkedRoot = heldRoot != InvalidHandle() ? heldRoot : OpenEntryNoReparse(fullPath);
    bool kept = checkedRoot != InvalidHandle() &&
                (IsLink(ReadAttributes(checkedRoot)) || IsKeptFolder(checkedRoot, fullPath));
    if (checkedRoot != heldRoot) CloseHandle(checkedRoot);
    char* directory = kept ? nullptr : Allocate(kDirectorySize);
    if (!directory) {
        if (heldRoot != InvalidHandle()) CloseHandle(heldRoot);
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
    bool removed = false;
    if (heldRoot != InvalidHandle()) {
        // A root that is no folder (a file) is neither emptied nor deleted.
        bool folder = IsPlainFolder(ReadAttributes(heldRoot));
        if (folder) {
            ShownPath shown;
            shown.length = Compose(shown.text, sizeof shown.text, {directory});
            RemoveTreeContents(heldRoot, &shown);
        }
        removed = folder && rootDeletable && DeleteByHandle(heldRoot);
        CloseHandle(heldRoot);
    }
    heldRoot = InvalidHandle();
    if (!removed) DeleteFailed = 1;
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

void RemoveTreeContents(Handle folder, ShownPath* shown) {
    // Each level holds a handle, a listing buffer and a frame of this walk: a
    // folder deeper than this is left unlisted, so its removal fails and the
    // final message says so.
    static unsigned depth = 0;
    if (depth >= kMaxDepth) return;
    HeldListing* listing = StartListing(folder);
    if (!listing) return;
    ++depth;
    // The first folders listed as "." and ".." are the real ones.
    bool dotSeen = false, dotDotSeen = false;
    while (const FindEntry* entry = NextListed(listing)) {
        bool folderEntry = (entry->attributes & kFileAttributeDirectory) != 0;
        if (folderEntry && !dotSeen && IsDotStep(entry->wideName, entry->wideLength, 1))
            dotSeen = true;
        else if (folderEntry && !dotDotSeen && IsDotStep(entry->wideName, entry->wideLength, 2))
            dotDotSeen = true;
        else
            RemoveEntry(folder, *entry, shown);
    }
    EndListing(listing);
    --depth;
}

int ScheduleSelfDelete() {
    char shortPath[kMaxPath];
    unsigned long length =
        ownFile.ready ? GetShortPathNameA(ownFile.path, shortPath, sizeof shortPath) : 0;
    const char* rest = length > 0 && length < sizeof shortPath ? SkipVolume(shortPath) : nullptr;
    if (!rest || *rest != '\\' || !CanQuoteForInterpreter(shortPath)) return 0;
    // A hold keeps a folder's name, but not what a link there leads to: del
    // would follow one re-pointed after the check below.
    for (size_t i = 0; i < wayToOwnFile.count; ++i) {
        unsigned long attributes = ReadAttributes(wayToOwnFile.holds[i]);
        if (attributes == kInvalidFileAttributes || IsLink(attributes)) return 0;
    }
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
