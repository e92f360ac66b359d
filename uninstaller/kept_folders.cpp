// The kept folders come from what the system reports (NextSystemFolder):
//  - every folder it registers for the running user, and for the user at the
//    desktop when that is another account;
//  - the system, temporary and native Program Files folders;
//  - every profile (the profiles folder's and ProfileList's), and in each the
//    places that the running user's registered folders take in that user's
//    profile, and Windows' default places (kProfilePlaces).
// A root is kept when its identity is that of a kept folder or of a folder on
// the way to one: folders are compared by identity, never by text, which 8.3
// names, letter case, "\\?\" forms, dot steps and links would all get past.
// Each way is walked as GetFullPathNameW makes the path (so '/' and dot steps
// lead where the file calls lead) and, where it crosses a link, as it finally
// leads. Where that cannot be read, the root is refused.
#include "uninstaller/kept_folders.h"

#include <string.h>

#include "uninstaller/text_rules.h"

using namespace platform;

namespace {

// Places Windows makes in every profile. Older systems and Wine do not
// register them all; the folders above each are protected by the walk.
// clang-format off
const char* const kProfilePlaces[] = {
    "Desktop",                    // what the user sees first
    "Documents",                  // the user's own files
    "Downloads",                  // what the browser saved
    "Music",                      // the user's media, and Windows 10's folders in it
    "Pictures",
    "Pictures\\Screenshots",
    "Pictures\\Camera Roll",
    "Pictures\\Saved Pictures",
    "Videos",
    "3D Objects",
    "Favorites",                  // the shell's own lists of the user's things
    "Links",
    "Contacts",
    "Searches",
    "Saved Games",                // games' saves, often the only copy
    "OneDrive",                   // synced files: deleting them deletes them everywhere
    "AppData\\LocalLow",          // settings of low-integrity programs
    "AppData\\Roaming",           // settings that follow the user
    "AppData\\Roaming\\Microsoft\\Windows\\Start Menu",  // its Microsoft holds Protect, the keys
    "AppData\\Roaming\\Microsoft\\Windows\\Libraries",   // the shell's libraries
    "AppData\\Roaming\\Microsoft\\Internet Explorer\\Quick Launch",  // the taskbar's pins
    "AppData\\Local\\Programs",   // programs installed for this user alone
    "AppData\\Local\\Temp",       // the user's temporary folder, where this program runs
    "Temp",                       // the same for Wine
    "My Documents",               // the names before Vista
    "Application Data",
    "Local Settings",
};
// clang-format on

// kElsewhere: a way leads elsewhere in the end, and is walked there too.
enum Verdict { kNotKept, kKept, kUntold, kElsewhere };

// What a folder was found to be, by its text.
enum FolderState : WideChar { kUnread, kPresent, kMissing };

size_t WideLength(const WideChar* text) {
    size_t length = 0;
    while (text[length]) ++length;
    return length;
}

// The end of the first folder on the way of the full path `path` (its
// volume's root, with its backslash); 0 when it names no volume.
size_t FirstEnd(const WideChar* path) {
    const WideChar* rest = SkipVolume(path);
    return rest && *rest == '\\' ? rest - path + 1 : 0;
}

// The end of the folder below the one ending at `end`; 0 after the last.
size_t NextEnd(const WideChar* path, size_t end) {
    while (path[end] == '\\') ++end;
    if (!path[end]) return 0;
    while (path[end] && path[end] != '\\') ++end;
    return end;
}

// What a check has found, kept between its ways; too large for the stack.
struct Check {
    FileIdentity root;
    // The folders read, each as its length, its state and its text: no way
    // reads one again, and one missing ends every way through it. When full,
    // folders are simply read again.
    WideChar read[32768];
    size_t readUsed;
    // The running user's profile, and the places (each ending in a 0) that its
    // registered folders take in it.
    WideChar profile[kWidePath];
    size_t profileLength;
    WideChar places[8192];
    size_t placesUsed;
};
Check check;

FolderState Recall(const WideChar* folder, size_t length) {
    for (size_t at = 0; at < check.readUsed; at += 2 + check.read[at])
        if (check.read[at] == length &&
            !memcmp(check.read + at + 2, folder, length * sizeof folder[0]))
            return static_cast<FolderState>(check.read[at + 1]);
    return kUnread;
}

void Remember(const WideChar* folder, size_t length, FolderState state) {
    if (check.readUsed + 2 + length > sizeof check.read / sizeof check.read[0]) return;
    check.read[check.readUsed] = static_cast<WideChar>(length);
    check.read[check.readUsed + 1] = state;
    memcpy(check.read + check.readUsed + 2, folder, length * sizeof folder[0]);
    check.readUsed += 2 + length;
}

bool ReadFolderIdentity(const WideChar* path, FileIdentity* identity) {
    Handle opened = OpenFolderW(path);
    if (opened == InvalidHandle()) return false;
    bool read = ReadIdentity(opened, identity);
    CloseHandle(opened);
    return read;
}

// Makes `path` full as the file calls read it, with no trailing separator but
// a volume root's. False when it is empty, names no volume or does not fit.
bool MakeFull(const WideChar* path, WideChar* full) {
    unsigned long length = path[0] ? GetFullPathW(path, full, kWidePath) : 0;
    size_t first = length > 0 && length < kWidePath ? FirstEnd(full) : 0;
    if (!first) return false;
    while (length > first && full[length - 1] == '\\') full[--length] = 0;
    return true;
}

// Whether the way to the folder ending at `end` of `path` may cross a link:
// a folder on it is one, or its attributes cannot be read.
bool MayCrossLink(const WideChar* path, size_t end) {
    WideChar folder[kWidePath];
    memcpy(folder, path, end * sizeof folder[0]);
    for (size_t at = FirstEnd(path); at && at <= end; at = NextEnd(path, at)) {
        folder[at] = 0;
        unsigned long attributes = GetFileAttributesW(folder);
        if (attributes == kInvalidFileAttributes || (attributes & kFileAttributeReparsePoint))
            return true;
        folder[at] = path[at];
    }
    return false;
}

// The final path of the folder open as `opened` and named by the first `end`
// characters of `path`: kNotKept when it reads as named, kUntold when it
// cannot be read and the way may cross a link, else kElsewhere, with the
// path in `finalPath`.
Verdict ReadFinalWay(Handle opened, const WideChar* path, size_t end, WideChar* finalPath) {
    if (!ReadFinalPath(opened, finalPath, kWidePath))
        return MayCrossLink(path, end) ? kUntold : kNotKept;
    const WideChar verbatim[] = {'\\', '\\', '?', '\\'};
    bool same = !memcmp(finalPath, verbatim, sizeof verbatim) && WideLength(finalPath) == end + 4 &&
                !memcmp(finalPath + 4, path, end * sizeof path[0]);
    return same ? kNotKept : kElsewhere;
}

// Walks the way to the kept folder at the full path `path`, its volume's root
// first, and compares each folder with the root. The way ends at a folder that
// does not exist (one not made yet still protects those above it). Where
// `finally`, the way the deepest folder found finally leads is walked too.
Verdict WalkWay(const WideChar* path, bool finally) {
    size_t length = WideLength(path);
    if (length >= kWidePath) return kNotKept;
    WideChar folder[kWidePath];
    memcpy(folder, path, (length + 1) * sizeof folder[0]);
    Handle deepest = InvalidHandle();
    size_t deepestEnd = 0;
    Verdict verdict = kNotKept;
    for (size_t end = FirstEnd(path); end && verdict == kNotKept; end = NextEnd(path, end)) {
        folder[end] = 0;
        FolderState state = Recall(folder, end);
        if (state == kMissing) break;
        if (state == kUnread) {
            Handle opened = OpenFolderW(folder);
            FileIdentity found;
            if (opened == InvalidHandle()) {
                Remember(folder, end, kMissing);
                break;
            }
            if (deepest != InvalidHandle()) CloseHandle(deepest);
            deepest = opened;
            deepestEnd = end;
            if (!ReadIdentity(opened, &found)) verdict = kUntold;
            if (verdict == kNotKept && SameIdentity(found, check.root)) verdict = kKept;
            Remember(folder, end, kPresent);
        }
        folder[end] = path[end];
    }
    // Each folder is read once, so only a way's deepest new folder has its
    // final path read: one above it leads where the deepest's way does.
    if (verdict == kNotKept && finally && deepest != InvalidHandle()) {
        verdict = ReadFinalWay(deepest, path, deepestEnd, folder);
        if (verdict == kElsewhere) verdict = WalkWay(folder, false);
    }
    if (deepest != InvalidHandle()) CloseHandle(deepest);
    return verdict;
}

// Whether any folder on the way named by the full path `path` has the
// identity `identity`; kUntold when one cannot be read.
Verdict WayHas(const WideChar* path, const FileIdentity& identity) {
    size_t length = WideLength(path);
    size_t end = FirstEnd(path);
    if (!end || length >= kWidePath) return kUntold;
    WideChar folder[kWidePath];
    memcpy(folder, path, (length + 1) * sizeof folder[0]);
    for (; end; end = NextEnd(path, end)) {
        folder[end] = 0;
        FileIdentity found;
        if (!ReadFolderIdentity(folder, &found)) return kUntold;
        if (SameIdentity(found, identity)) return kKept;
        folder[end] = path[end];
    }
    return kNotKept;
}

// Whether the root lies at or below the Windows folder, on the way it is named
// or on the way it finally leads.
Verdict InWindowsFolder(Handle root, const char* rootFullPath) {
    WideChar path[kWidePath], windowsPath[kWidePath];
    FileIdentity windows;
    if (!GetWindowsFolder(path, kWidePath) || !MakeFull(path, windowsPath) ||
        !ReadFolderIdentity(windowsPath, &windows) || !WidenPath(rootFullPath, path, kWidePath))
        return kUntold;
    Verdict named = WayHas(path, windows);
    if (named != kNotKept) return named;
    Verdict final = ReadFinalWay(root, path, WideLength(path), windowsPath);
    return final == kElsewhere ? WayHas(windowsPath, windows) : final;
}

// Appends `text` (ASCII or Unicode) to `path` of `length` characters after a
// backslash; false when it does not fit.
template <typename Char>
bool Append(WideChar* path, size_t length, const Char* text) {
    if (length + 1 >= kWidePath) return false;
    path[length++] = '\\';
    for (; *text; ++text, ++length) {
        if (length + 1 >= kWidePath) return false;
        path[length] = sizeof *text == 1 ? static_cast<unsigned char>(*text) : *text;
    }
    path[length] = 0;
    return true;
}

// Notes where a registered folder of the running user lies in that user's
// profile, to protect the same place in every profile.
void NotePlace(const WideChar* folder) {
    size_t length = check.profileLength, size = WideLength(folder);
    if (!length || size <= length + 1 || folder[length] != '\\' ||
        check.placesUsed + size - length > sizeof check.places / sizeof check.places[0])
        return;
    for (size_t at = 0; at < length; ++at) {
        WideChar a = folder[at], b = check.profile[at];
        if (a != b && !(a >= 'a' && a <= 'z' && a - 'a' + 'A' == b) &&
            !(b >= 'a' && b <= 'z' && b - 'a' + 'A' == a))
            return;
    }
    memcpy(check.places + check.placesUsed, folder + length + 1,
           (size - length) * sizeof folder[0]);
    check.placesUsed += size - length;
}

// Walks every place of the profile at the full path `profile`.
Verdict WalkPlaces(const WideChar* profile) {
    WideChar place[kWidePath];
    size_t length = WideLength(profile);
    memcpy(place, profile, length * sizeof place[0]);
    Verdict verdict = kNotKept;
    for (const char* name : kProfilePlaces)
        if (verdict == kNotKept && Append(place, length, name)) verdict = WalkWay(place, true);
    for (size_t at = 0; verdict == kNotKept && at < check.placesUsed;
         at += WideLength(check.places + at) + 1)
        if (Append(place, length, check.places + at)) verdict = WalkWay(place, true);
    return verdict;
}

}  // namespace

bool IsKeptFolder(Handle root, const char* rootFullPath) {
    if (!ReadIdentity(root, &check.root) || InWindowsFolder(root, rootFullPath) != kNotKept)
        return true;
    check.readUsed = check.profileLength = check.placesUsed = 0;
    SystemFolderWalk walk = {};
    SystemFolderKind kind;
    WideChar path[kWidePath], full[kWidePath];
    Verdict verdict = kNotKept;
    while (verdict == kNotKept && NextSystemFolder(&walk, &kind, path, kWidePath)) {
        // A folder with no usable path cannot hide one that has one.
        if (!MakeFull(path, full)) continue;
        verdict = WalkWay(full, true);
        if (kind == kOwnProfile) {
            check.profileLength = WideLength(full);
            memcpy(check.profile, full, (check.profileLength + 1) * sizeof full[0]);
        } else if (kind == kUserFolder) {
            NotePlace(full);
        } else if (kind == kProfile && verdict == kNotKept) {
            verdict = WalkPlaces(full);
        }
    }
    EndSystemFolderWalk(&walk);
    return verdict != kNotKept;
}
