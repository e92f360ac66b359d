#include "tests/fake_platform.h"

#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <iterator>

#include "uninstaller/uninstaller.h"

FakeWorld fake;

namespace platform {
namespace {}  // namespace

// A listing by handle: bound to the folder, as the handle it lists.
struct HeldListing {
    std::string key;
    bool started = false;
    std::vector<FindEntry> entries;
    size_t next = 0;
};

namespace {

jmp_buf exitJump;
int exitStatus = 0;
std::vector<char*> argumentPointers;
intptr_t lastHandle = 0x100;
Handle const kProcess = reinterpret_cast<Handle>(1), kThread = reinterpret_cast<Handle>(2);
std::string interpreterCommand;  // the command line of the interpreter started

[[noreturn]] void Leave(int status) {
    exitStatus = status;
    longjmp(exitJump, 1);
}

// Logs a call; true when it is scripted to fail. More calls than any tree
// here needs mean a loop, which ends the run with -1.
bool Record(const std::string& call) {
    fake.calls.push_back(call);
    if (fake.calls.size() > 50000) Leave(-1);
    return fake.failing.count(call) || fake.failing.count(call.substr(0, call.find(' ')));
}

// Another program's turn.
void Turn() {
    if (fake.actor) fake.actor(fake.calls.size());
}

// Another program's turn, then the call.
bool Log(const std::string& call) {
    Turn();
    return Record(call);
}

// The first backslash at or after `from` that is a character of its own, not
// the second byte of a double-byte one.
size_t FindSeparator(const std::string& text, size_t from) {
    for (size_t at = from; at < text.size(); at += IsLeadByte(text[at]) ? 2 : 1)
        if (text[at] == '\\') return at;
    return std::string::npos;
}

bool Held(const std::string& key) {
    auto holds = [&](auto& hold) { return hold.second.key == key; };
    return std::any_of(fake.holds.begin(), fake.holds.end(), holds);
}

std::vector<std::string> Children(const std::string& key) {
    std::vector<std::string> out;
    std::string prefix = key + "\\";
    for (auto it = fake.entries.upper_bound(prefix);
         it != fake.entries.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
        size_t separator = FindSeparator(it->first, prefix.size());
        if (separator == std::string::npos) {
            out.push_back(it->first);
            ++it;
        } else {  // past that child's own entries: ']' sorts right after '\\'
            it = fake.entries.lower_bound(it->first.substr(0, separator) + "]");
        }
    }
    return out;
}

// Logs a call and answers `value` the way the string-returning Win32 calls
// do: 0 on failure, the length on success, the size needed when it does not fit.
unsigned long Deliver(const std::string& call, const std::string& value, char* buffer,
                      unsigned long size) {
    if (Log(call) || value.empty()) return 0;
    if (value.size() + 1 > size) return value.size() + 1;
    return memcpy(buffer, value.c_str(), value.size() + 1), value.size();
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// clang-format off
// What the real calls make of odd paths and names under Wine 8, and where it
// was seen: an end-to-end case, or tools/pathprobe (P). Resolve follows the
// rows about paths.
//   call               given                        result                          seen in
//   FindFirstFileA     folder "..／x"               lists as "../x" (best fit)      safe-slash-dir
//   FindFirstFileA     file "..／x"                 lists as "../x"                 safe-slash-file
//   FindFirstFileA     folder "ａ", link "a" beside lists as "a"                    safe-alias-link
//   FindFirstFileA     "a.\*", link "a" beside      lists the link's target         safe-trailing-dot
//   FindFirstFileA     folders ".／" and "．／"     list as "./" both               safe-dot-loop
//   FindFirstFileA     "\??\D:\*"                   lists the root of D:            safe-device-root
//   GetFullPathNameA   "\??\D:\"                    "C:\??\D:\": a folder "??"      safe-device-root
//   GetFileAttributesA link "L"                     its own: 0x410                  safe-link-root
//   GetFileAttributesA "L\" for link "L"            its target's: 0x10              safe-link-root-slash
//   DeleteFileA        "C:\T\\a"                    deletes C:\T\a                  rm-trailing-backslash
//   GetFullPathNameA   "C:\T\..\"                   "C:\"                           safe-up-to-root
//   GetFullPathNameA   "C:" + "\"                   "C:\", the drive's root         safe-drive
//   GetFullPathNameA   "C:\T\a.\b", "C:\T\a..\b"    "C:\T\a\b", "C:\T\a.\b"         P
//   GetFullPathNameA   "C:\T\x \", "C:\T\a .\b\"    "C:\T\x \", "C:\T\a \b\"        P
//   GetFullPathNameA   "C:\T\a\b. ."                "C:\T\a\b"                      P
//   FindFirstFileA     "C:\T\x \*", "C:\T\x.\*"     list "x " and "x"               P
//   GetFileAttributesA "C:\T\x ", "C:\T\x.\f"       read "x" and "x\f"              P
//   GetFullPathNameA   "C:\T\COM1", "C:\T\com2.txt" "\\.\COM1", "\\.\com2"          P
//   GetFullPathNameA   "C:\T\COM5   .txt", "nul.txt" "\\.\COM5", "\\.\nul"          P
//   GetFullPathNameA   "C:\T\COM1\", "COM0", "COM¹" unchanged: no device            P
//   GetFullPathNameA   "\\?\C:\T\lnk/\"             "\\?\C:\T\lnk\"                 P
//   GetFullPathNameA   "\\?\C:\x.\", "\\?\C:\a\..\b\"  "\\?\C:\x\", "\\?\C:\b\"     P
//   GetFileAttributesA "\\?\C:\windows/"            error 123: '/' is a name there  P
//   GetFileAttributesA "\\?\C:\T\x\..\x\f"          error 123: so is ".."           P
//   GetFileAttributesA "\\?\C:\T\x \g"              "x \g", as written              P
//   GetShortPathNameA  "Uninstall.exe" and "Uninstall-dtj.exe" beside it
//                                                   both "UNIN~IQ1.EXE"             P
//   GetLongPathNameA   "UNIN~IQ1.EXE"               "Uninstall-dtj.exe", the first  P
// So a component followed by a separator loses one trailing dot, the last
// loses every trailing dot and space, and a last one read as a device names
// the device. Beyond the measured: a last component "a:s" names stream s of
// "a" (Windows; kept as such in the key, where no entry is).
// clang-format on
bool IsDevice(std::string name) {
    name.erase(std::min(name.find('.'), name.size()));
    name.erase(name.find_last_not_of(' ') + 1);
    for (char& c : name) c = toupper(c);
    bool numbered = name.size() == 4 && (!name.compare(0, 3, "COM") || !name.compare(0, 3, "LPT"));
    return (numbered && name[3] >= '1' && name[3] <= '9') || name == "CON" || name == "PRN" ||
           name == "AUX" || name == "NUL";
}

const char kNowhere[] = "?";  // a key no entry has

// Whether `key` lies below the folder `folder`.
bool InFolder(const std::string& key, const std::string& folder) {
    return key.size() > folder.size() + 1 && !key.compare(0, folder.size(), folder) &&
           key[folder.size()] == '\\';
}

// clang-format off
// Names and identities, as measured under Wine 8 (tools/idprobe.py, a race):
//   given                                        result                               seen in
//   "sub" beside "Sub", no exact "sub"           opens "Sub"                          race-inside
//   "sub" once an exact "sub" appears            opens the new entry                  case-capture
//   a folder by upper case, \\?\, its 8.3 name  one identity (serial, index)          idprobe
// So a name is looked up exactly first, then by letter case alone (the first
// such entry); an entry's identity is its own, whatever path led to it, and
// follows it through renames.
// clang-format on
std::string LookUp(std::string key, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        std::string next = key + "\\" + name;
        if (!fake.entries.count(next))
            for (const std::string& child : Children(key))
                if (!strcasecmp(child.c_str() + key.size() + 1, name.c_str())) {
                    next = child;
                    break;
                }
        key = next;
    }
    return key;
}

std::vector<std::string> SplitNames(const std::string& path, size_t at) {
    std::vector<std::string> names;
    for (size_t end; at < path.size(); at = end + 1) {
        end = std::min(FindSeparator(path, at), path.size());
        if (end > at) names.push_back(path.substr(at, end - at));
    }
    return names;
}

std::string Resolve(std::string path, bool fileCall) {
    bool device = path.size() > 3 && IsSeparator(path[0]) && path.compare(1, 2, "??") == 0 &&
                  IsSeparator(path[3]);
    bool verbatim = path.compare(0, 4, "\\\\?\\") == 0;
    if ((verbatim || device) && fileCall) {  // taken literally
        path.erase(0, 4);
        if (path.compare(0, 4, "UNC\\") == 0) path.replace(0, 3, "\\");
        path.erase(path.find_last_not_of('\\') + 1);
        size_t volume = FakeVolumeLength(path);
        std::vector<std::string> names = SplitNames(path, volume);
        for (const std::string& step : names)
            if (step == "." || step == "..") return kNowhere;
        return LookUp(path.substr(0, volume), names);
    }
    std::string prefix;
    if (verbatim) {  // normalized as any other, keeping the prefix
        bool unc = path.compare(4, 4, "UNC\\") == 0;
        bool drive = path.size() > 5 && path[5] == ':';
        if (!unc && !drive) return path;
        prefix = unc ? "\\\\?\\UNC" : "\\\\?\\";
        path = unc ? "\\" + path.substr(7) : path.substr(4);
    }
    std::string cwd = fake.workingDirectory, full = path;
    const char* p = path.c_str();
    bool drive = p[0] && p[1] == ':';
    if (drive && !IsSeparator(p[2]))  // relative to that drive's working directory
        full = (toupper(p[0]) == toupper(cwd[0]) ? cwd : path.substr(0, 2)) + "\\" + &p[2];
    else if (!drive && !IsSeparator(p[0]))
        full = cwd + "\\" + path;
    else if (!drive && !IsSeparator(p[1]))  // rooted on the working directory's volume
        full = cwd.substr(0, FakeVolumeLength(cwd)) + path;
    std::replace(full.begin(), full.end(), '/', '\\');
    size_t at = FakeVolumeLength(full);
    std::string key = full.substr(0, at);
    if (key.size() == 2) key[0] = toupper(key[0]);
    if (fileCall && key.compare(0, 4, "\\\\.\\") == 0) key.erase(0, 4);
    std::vector<std::string> names;
    for (size_t end; at < full.size(); at = end) {
        end = std::min(FindSeparator(full, at + 1), full.size());
        std::string name = full.substr(at + 1, end - at - 1);
        if (name == ".." && !names.empty()) names.pop_back();
        if (name == "." || name == "..") continue;
        if (end == full.size())
            name.erase(name.find_last_not_of(". ") + 1);
        else if (!name.empty() && name.back() == '.')
            name.pop_back();
        if (!name.empty()) names.push_back(name);
    }
    bool last = !full.empty() && !IsSeparator(full.back());
    if (!verbatim && last && !names.empty() && IsDevice(names.back()))
        return "\\\\.\\" + names.back().substr(0, names.back().find_first_of(". "));
    if (fileCall) return LookUp(key, names);
    for (const std::string& name : names) key += "\\" + name;
    return prefix + key;  // GetFullPathNameA reads text alone
}

// Whether any folder on the way to `key` is a link: a call that names it
// acts beyond the link, on what the link leads to.
bool ThroughLink(const std::string& key) {
    size_t at = FakeVolumeLength(key);
    while ((at = FindSeparator(key, at + 1)) != std::string::npos)
        if (fake.entries.count(key.substr(0, at)) &&
            (fake.entries[key.substr(0, at)].attributes & kFileAttributeReparsePoint))
            return true;
    return false;
}

// What a listing of `pattern` in the folder at `key` gives: every entry for
// "*", else those whose long name (letter case aside) or 8.3 name it is, in
// the order Wine lists them, sorted.
std::vector<std::string> Listed(const std::string& key, const std::string& pattern) {
    std::string name = pattern.substr(pattern.find_last_of("\\/") + 1);
    std::vector<std::string> out;
    for (const std::string& child : Children(key)) {
        bool shortName = false;
        for (const auto& [longPath, itsShortPath] : fake.shortPaths)
            shortName = shortName || (itsShortPath == pattern && FakeKey(longPath) == child);
        if (name == "*" || shortName || !strcasecmp(child.c_str() + key.size() + 1, name.c_str()))
            out.push_back(child);
    }
    return out;
}

enum HoldMark { kNoMark, kMarkHeld, kMarkNotHeld };

// The long path a short path leads to: the first (in listing order) whose
// short path it is, as Wine finds it; itself when none.
std::string LongPath(const std::string& shortPath) {
    for (const auto& [longPath, itsShortPath] : fake.shortPaths)
        if (itsShortPath == shortPath) return longPath;
    return shortPath;
}

// A full short path leads where the long path it stands for does.
std::string KeyOf(const std::string& path) {
    std::string key = Resolve(path, true), longPath = LongPath(path);
    bool full = path.size() > 2 && ((path[1] == ':' && IsSeparator(path[2])) ||
                                    (IsSeparator(path[0]) && IsSeparator(path[1])));
    return fake.entries.count(key) || !full || longPath == path ? key : Resolve(longPath, true);
}

// After another program's turn, looks `path` up and logs the call, marked
// when it names an entry through a link, and as `mark` asks. Returns the key
// it names; *fails when the call is scripted to fail.
std::string LogPath(const std::string& call, const std::string& path, bool* fails,
                    HoldMark mark = kNoMark, bool beyond = false) {
    if (fake.actor) fake.actor(fake.calls.size());
    std::string key = KeyOf(path);
    bool held = Held(key), through = ThroughLink(beyond ? key + "\\*" : key);
    *fails = Record(call + (through ? " (through a link)" : "") +
                    (mark == kMarkHeld && held       ? " (held)"
                     : mark == kMarkNotHeld && !held ? " (not held)"
                                                     : ""));
    return key;
}

// The identity's volume number of an entry's key.
unsigned long VolumeSerial(const std::string& key) {
    return std::hash<std::string>()(key.substr(0, FakeVolumeLength(key))) & 0xFFFFFFFF;
}

// A real name in Unicode: UTF-8 of three-byte characters (the fullwidth forms
// best fit turns into ASCII) where it is not ANSI (listed under another
// name), else its bytes in the code page, where B9 is superscript one in
// 1252 and half-width katakana in 932.
void WideName(const std::string& name, bool ansi, WideChar* out) {
    size_t n = 0;
    for (size_t at = 0; at < name.size() && n + 1 < kMaxPath; ++at) {
        unsigned char c = name[at];
        unsigned code = c;
        if (!ansi && c >= 0xE0 && at + 2 < name.size()) {
            code = (c & 0x0F) << 12 | (name[at + 1] & 0x3F) << 6 | (name[at + 2] & 0x3F);
            at += 2;
        } else if (ansi && fake.doubleByte && c >= 0xA1 && c <= 0xDF) {
            code = 0xFF61 + (c - 0xA1);
        }
        out[n++] = static_cast<WideChar>(code);
    }
    out[n] = 0;
}

}  // namespace
}  // namespace platform

using namespace platform;

size_t FakeVolumeLength(const std::string& key) {
    size_t server = key.compare(0, 2, "\\\\") == 0 ? FindSeparator(key, 2) : 0;
    return std::min(server == std::string::npos ? server : FindSeparator(key, server + 1),
                    key.size());
}

std::string FakeKey(const std::string& path) { return KeyOf(path); }

std::string FakeFullPath(const std::string& path) {
    std::string full = Resolve(path, false);
    bool root = FakeVolumeLength(full) == full.size();
    return full + (root || (!path.empty() && IsSeparator(path.back())) ? "\\" : "");
}

unsigned FakeIdentity(const std::string& path) {
    auto found = fake.entries.find(KeyOf(path));
    return found == fake.entries.end() ? 0 : found->second.id;
}

// clang-format off
// Sharing, as the system checks it (measured under Wine 8 on a folder held
// open without delete sharing, FILE_FLAG_BACKUP_SEMANTICS and
// FILE_FLAG_OPEN_REPARSE_POINT; another program then tried MoveFileA of it
// and CreateFileA(DELETE) of it):
//   the hold's access                          MoveFileA, CreateFileA(DELETE)
//   FILE_READ_ATTRIBUTES                       both succeed: nothing recorded
//   FILE_LIST_DIRECTORY                        both fail, error 32
//   FILE_TRAVERSE                              both fail, error 32
//   FILE_LIST_DIRECTORY|FILE_READ_ATTRIBUTES   both fail, error 32
// and a folder is renamed while folders inside it are held (race-above).
// So only opens with data access are checked and recorded.
// clang-format on
const unsigned long kDataAccess = 0x1 | 0x2 | 0x4 | 0x20 | kDeleteAccess;

// Whether the sharing rules let an open of `key` for `access`, sharing
// `share`, go ahead beside the opens recorded.
static bool FakeMayOpen(const std::string& key, unsigned long access, unsigned long share) {
    auto refused = [](unsigned long asked, unsigned long shared) {
        return ((asked & 0x21) && !(shared & kShareRead)) ||
               ((asked & 0x6) && !(shared & kShareWrite)) ||
               ((asked & kDeleteAccess) && !(shared & kShareDelete));
    };
    auto clashes = [&](const FakeOpen& open) {
        return open.key == key && (open.access & kDataAccess) &&
               (refused(access, open.share) || refused(open.access, share));
    };
    return !(access & kDataAccess) ||
           (std::none_of(fake.others.begin(), fake.others.end(), clashes) &&
            std::none_of(fake.holds.begin(), fake.holds.end(),
                         [&](auto& hold) { return clashes(hold.second); }));
}

static unsigned nextId = 1;

// The entry at `key` and all below it, each as (key, entry).
static std::map<std::string, FakeEntry> Subtree(const std::string& key) {
    std::map<std::string, FakeEntry> out;
    for (auto it = fake.entries.lower_bound(key);
         it != fake.entries.end() && !it->first.compare(0, key.size(), key); ++it)
        if (it->first.size() == key.size() || it->first[key.size()] == '\\') out.insert(*it);
    return out;
}

// clang-format off
// What another program may do to a folder the uninstaller holds (a hold shares
// read and write, not delete), and where that is known from:
//   change                                  held folder   source
//   rename it                               refused       race-above (Wine: error 32)
//   open it for FILE_WRITE_ATTRIBUTES       allowed       handleprobe; no share mode refuses it
//   FSCTL_SET_REPARSE_POINT (mount point)   allowed       [MS-FSA] 2.1.5.10.37: needs write
//                                                         data or attributes; only on an empty
//                                                         folder (STATUS_DIRECTORY_NOT_EMPTY)
//   re-point an existing link               allowed       the same
//   move it on Wine's host                  allowed       swap-inside, swap-root
// clang-format on
bool FakeReplaceWithLink(const std::string& key, FakeSwap how) {
    auto found = fake.entries.find(key);
    if (found == fake.entries.end() || FakeVolumeLength(key) == key.size() ||
        fake.entries.count(key + "~"))
        return false;
    unsigned long attributes = found->second.attributes;
    if ((how == kRenameSwap && !FakeMayOpen(key, kDeleteAccess, kShareAll)) ||
        (how == kMountEmpty &&
         (!(attributes & kFileAttributeDirectory) || (attributes & kFileAttributeReparsePoint) ||
          !Children(key).empty())) ||
        (how == kRepoint && !(attributes & kFileAttributeReparsePoint)))
        return false;
    // The entry and all below it move to key + "~", keeping their identities;
    // the link at `key` leads to other files of the same shape, seen below it,
    // and to one more, so that even an empty folder's link leads somewhere.
    for (auto& [moved, entry] : Subtree(key)) {
        fake.entries[key + "~" + moved.substr(key.size())] = entry;
        fake.entries[moved].id = nextId++;
        fake.vault.insert(fake.entries[moved].id);
    }
    fake.entries[key].attributes |= kFileAttributeReparsePoint;
    fake.vault.erase(fake.entries[key].id);  // the link itself is the other program's
    if (attributes & kFileAttributeDirectory) {
        FakeEntry more;
        more.attributes = 0;
        more.id = nextId++;
        fake.vault.insert(more.id);
        fake.entries[key + "\\~vault"] = more;
    }
    auto follow = [&](std::string& bound) {
        if (bound == key || InFolder(bound, key)) bound.insert(key.size(), "~");
    };
    for (auto& hold : fake.holds) follow(hold.second.key);
    for (auto& probe : fake.probes) follow(probe.second);
    for (HeldListing* listing : fake.listings) follow(listing->key);
    return true;
}

void AddFakeEntry(const std::string& key, const FakeEntry& entry) {
    for (size_t at = FakeVolumeLength(key); at < key.size(); at = FindSeparator(key, at + 1))
        if (fake.entries.emplace(key.substr(0, at), FakeEntry()).second)
            fake.entries[key.substr(0, at)].id = nextId++;
    fake.entries[key] = entry;
    fake.entries[key].id = nextId++;
}

void ResetFake(const std::vector<std::string>& tree, bool doubleByte) {
    fake = FakeWorld();
    fake.doubleByte = doubleByte;
    fake.entries["C:"] = FakeEntry();
    FakeEntry own;
    own.attributes = 0;
    AddFakeEntry(fake.ownPath, own);
    AddFakeEntry(fake.system.windows, FakeEntry());  // every removal reads its identity
    for (const std::string& key : tree) {
        FakeEntry entry;
        entry.attributes = key.back() == '\\' ? kFileAttributeDirectory : 0;
        AddFakeEntry(key.substr(0, key.find_last_not_of('\\') + 1), entry);
    }
}

// Records an open of the entry at `key` as one of ours, where the entry exists
// and the sharing rules let it go ahead; InvalidHandle() otherwise.
static Handle RecordOpen(const std::string& key, unsigned long access, unsigned long share,
                         bool inheritable = false) {
    if (!fake.entries.count(key) || !FakeMayOpen(key, access, share)) return InvalidHandle();
    Handle opened = reinterpret_cast<Handle>(++lastHandle);
    return fake.holds[opened] = {key, access, share, inheritable}, opened;
}

std::vector<std::string> CallsNamed(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    std::copy_if(fake.calls.begin(), fake.calls.end(), std::back_inserter(out), [&](auto& call) {
        return std::count(names.begin(), names.end(), call.substr(0, call.find(' '))) > 0;
    });
    return out;
}

int RunProgram() {
    argumentPointers.clear();
    for (std::string& argument : fake.arguments) argumentPointers.push_back(&argument[0]);
    argumentPointers.push_back(nullptr);
    int status = setjmp(exitJump) == 0 ? WinMain(nullptr, nullptr, nullptr, 0) : exitStatus;
    // The process ends and its handles close; the interpreter keeps the holds
    // it inherited until its del has run.
    for (auto& hold : fake.holds) fake.heldAtExit.push_back(hold.second.key);
    fake.holds.clear();
    fake.others.insert(fake.others.end(), fake.inherited.begin(), fake.inherited.end());
    std::string command = interpreterCommand;
    interpreterCommand.clear();
    size_t from = command.find("/c del \""), to = command.rfind("\" >> NUL");
    if (from != std::string::npos && to != std::string::npos) {
        if (fake.actor) fake.actor(fake.calls.size());
        // del deletes the first entry that its path lists.
        std::string shortPath = command.substr(from + 8, to - from - 8);
        std::vector<std::string> listed =
            Listed(KeyOf(shortPath.substr(0, shortPath.rfind('\\') + 1)), shortPath);
        auto found = listed.empty() ? fake.entries.end() : fake.entries.find(listed[0]);
        if (found != fake.entries.end() && !(found->second.attributes & kFileAttributeDirectory) &&
            !found->second.locked) {
            fake.selfDeleted = found->first;
            fake.selfDeletedId = found->second.id;
            fake.entries.erase(found);
        }
        fake.others.resize(fake.others.size() - fake.inherited.size());
    }
    return status;
}

namespace platform {

void Sleep(unsigned long milliseconds) { Log("Sleep " + std::to_string(milliseconds)); }
bool IsLeadByte(char c) {
    unsigned char byte = c;
    return fake.doubleByte && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}
void RestrictDllSearchToSystem() { Log("RestrictDllSearchToSystem"); }
int StrICmp(const char* a, const char* b) { return strcasecmp(a, b); }
char* Allocate(size_t size) { return static_cast<char*>(malloc(size)); }
[[noreturn]] void Exit(int status) { Log("Exit " + std::to_string(status)), Leave(status); }

char** GetArgumentVector(int* count) {
    *count = static_cast<int>(fake.arguments.size());
    return argumentPointers.data();
}

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    char styleText[8];
    snprintf(styleText, sizeof styleText, "0x%02x", style);
    Log(std::string("ShowMessageBox [") + caption + "] " + styleText + " " + text);
    return (style & kMbYesNo) ? fake.answer : 1;
}

char* GetCwd(char* buffer, int size) {
    unsigned long length = Deliver("GetCwd", fake.workingDirectory, buffer, size);
    return length > 0 && length < unsigned(size) ? buffer : nullptr;
}

int StartProcess(char* commandLine, const char* currentDirectory, ProcessHandles* started) {
    if (Log(std::string("StartProcess ") + commandLine + " | " + currentDirectory)) return 0;
    *started = {kProcess, kThread};
    return 1;
}

int StartHidden(const char* program, char* commandLine, Handle const* inherited, size_t count,
                ProcessHandles* started) {
    std::vector<FakeOpen> handed;
    for (size_t i = 0; i < count; ++i)
        if (fake.holds.count(inherited[i]) && fake.holds[inherited[i]].inheritable)
            handed.push_back(fake.holds[inherited[i]]);
    if (Log(std::string("StartHidden ") + program + " | " + commandLine + " | " +
            std::to_string(handed.size()) + " holds"))
        return 0;
    fake.inherited = handed;
    interpreterCommand = commandLine;
    *started = {kProcess, kThread};
    return 1;
}

int CloseHandle(Handle handle) {
    Log("CloseHandle");
    return fake.holds.erase(handle), fake.probes.erase(handle), 1;
}

// What a listing gives for the entry at `child`.
FindEntry ListedEntry(const std::string& child) {
    const FakeEntry& e = fake.entries[child];
    std::string real = child.substr(child.rfind('\\') + 1);
    FindEntry found = {
        e.listedAttributes != kInvalidFileAttributes ? e.listedAttributes : e.attributes,
        e.listedAs.empty(),
        "",
        {0},
        0};
    snprintf(found.name, sizeof found.name, "%s", found.exact ? real.c_str() : e.listedAs.c_str());
    WideName(real, found.exact, found.wideName);
    while (found.wideName[found.wideLength]) ++found.wideLength;
    return found;
}

// A listing of a folder that is not held is marked: nothing then keeps the
// folder from being swapped for a link while it is listed.
Handle FindFirstEntry(const char* pattern, FindEntry* entry) {
    std::string text = pattern, folder = text.substr(0, text.find_last_of("\\/") + 1);
    // A listing reads what lies beyond the folder: through it, if a link.
    bool fails;
    std::string key = LogPath("FindFirstEntry " + text, folder, &fails, kMarkNotHeld, true);
    if (fails || folder.empty() || folder.size() == text.size() ||
        !(fake.entries.count(key) && (fake.entries[key].attributes & kFileAttributeDirectory)))
        return InvalidHandle();
    std::vector<FindEntry> listing;
    if (text.substr(folder.size()) == "*")
        listing = {{kFileAttributeDirectory, true, ".", {'.'}, 1},
                   {kFileAttributeDirectory, true, "..", {'.', '.'}, 2}};
    for (const std::string& child : Listed(key, text)) listing.push_back(ListedEntry(child));
    if (listing.empty()) return InvalidHandle();
    Handle find = reinterpret_cast<Handle>(++lastHandle);
    fake.finds[find] = listing;
    FindNextEntry(find, entry);
    return find;
}

int FindNextEntry(Handle find, FindEntry* entry) {
    std::vector<FindEntry>& listing = fake.finds.at(find);
    if (listing.empty()) return 0;
    *entry = listing.front();
    return listing.erase(listing.begin()), 1;
}

int FindClose(Handle find) {
    Log("FindClose");
    return fake.finds.erase(find), 1;
}

// The key's name of a listed Unicode name: the inverse of WideName.
std::string KeyName(const WideChar* name, size_t length) {
    std::string out;
    for (size_t at = 0; at < length; ++at) {
        unsigned code = name[at];
        if (fake.doubleByte && code >= 0xFF61 && code <= 0xFF9F)
            out += static_cast<char>(0xA1 + code - 0xFF61);
        else if (code < 0x100)
            out += static_cast<char>(code);
        else
            out +=
                {static_cast<char>(0xE0 | code >> 12), static_cast<char>(0x80 | (code >> 6 & 0x3F)),
                 static_cast<char>(0x80 | (code & 0x3F))};
    }
    return out;
}

std::string BoundKey(Handle handle) {
    if (fake.holds.count(handle)) return fake.holds[handle].key;
    return fake.probes.count(handle) ? fake.probes[handle] : kNowhere;
}

// clang-format off
// Opens relative to a folder's handle (NtOpenFile, RootDirectory set, no
// OBJ_CASE_INSENSITIVE), as measured under Wine 8 by tools/handleprobe:
//   given                                     result
//   a name, after the host moved the folder   the entry in the moved folder, never the link's
//   "." and "..", "x/y"                       STATUS_OBJECT_NAME_INVALID
//   ""                                        the folder itself
//   "x\y"                                     y inside x: a path
//   "a.txt:s"                                 STATUS_OBJECT_NAME_NOT_FOUND: a stream, none here
//   "com3", "nul.txt", "...", "trail "        the plain entries of those names
//   "A.TXT" beside only "a.txt"               a.txt: letter case is ignored once exact fails
// Documented for NtOpenFile: a folder opened with FILE_NON_DIRECTORY_FILE, or a
// file with FILE_DIRECTORY_FILE, fails. With FILE_OPEN_REPARSE_POINT Windows
// opens a link itself, which then reports its own attributes; Wine follows a
// host link (handleprobe), which the Wine cases own.
// clang-format on
Handle OpenBelowNoReparse(Handle folder, const WideChar* name, size_t length, EntryOpen how) {
    Turn();  // before the handle is read: it follows what it opened
    std::string parent = BoundKey(folder), key = parent;
    std::string text = KeyName(name, length);
    const char* kinds[] = {"file", "folder", "list"};
    if (Record("OpenBelowNoReparse " + parent + "\\" + text + " " + kinds[how]))
        return InvalidHandle();
    std::vector<std::string> steps;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\\', at), text.size());
        std::string step = text.substr(at, end - at);
        if (step.empty() || step == "." || step == ".." ||
            step.find_first_of(std::string("/\0", 2)) != std::string::npos)
            return InvalidHandle();
        steps.push_back(step);
    }
    key = LookUp(parent, steps);
    auto found = fake.entries.find(key);
    bool isFolder = how != kOpenFileToDelete;
    unsigned long access = kHoldAccess | (how != kOpenFolderToEmpty ? kDeleteAccess : 0);
    unsigned long share = isFolder ? kShareRead | kShareWrite : kShareAll;
    if (found == fake.entries.end() || !fake.entries.count(parent) ||
        isFolder != bool(found->second.attributes & kFileAttributeDirectory) ||
        (found->second.locked && (access & kDeleteAccess)))
        return InvalidHandle();
    return RecordOpen(key, access, share);
}

Handle OpenRootNoReparse(const char* fullPath, bool toDelete) {
    const unsigned long share = kShareRead | kShareWrite,
                        access = kHoldAccess | (toDelete ? kDeleteAccess : 0);
    bool fails;
    std::string key =
        LogPath(std::string("OpenRootNoReparse ") + fullPath + (toDelete ? " delete" : ""),
                fullPath, &fails);
    return fails ? InvalidHandle() : RecordOpen(key, access, share);
}

unsigned long ReadAttributes(Handle handle) {
    Turn();
    std::string key = BoundKey(handle);
    auto found = fake.entries.find(key);
    if (Record("ReadAttributes " + key) || found == fake.entries.end())
        return kInvalidFileAttributes;
    return found->second.attributes;
}

// clang-format off
// Deletion through a handle, as measured under Wine 8 by tools/handleprobe
// (FileDispositionInformationEx is not implemented there: 0xC0000002, so every
// deletion is FileDispositionInformation's):
//   the handle's file                         result
//   a file                                    deleted when the handle closes
//   a read-only file                          STATUS_CANNOT_DELETE, attributes unchanged
//   an empty folder; the root, emptied        deleted when the handle closes
//   a folder that is not empty                STATUS_DIRECTORY_NOT_EMPTY
//   a file whose folder the host moved away   reported deleted, yet kept (Wine deletes by
//                                             the path recorded at the open); the fake
//                                             deletes it, as Windows would
// Documented: without delete access, STATUS_ACCESS_DENIED; a link is deleted
// itself, never what it leads to. A file held without delete sharing cannot be
// opened for delete at all.
// clang-format on
bool DeleteByHandle(Handle handle) {
    Turn();
    std::string key = BoundKey(handle);
    auto found = fake.entries.find(key);
    if (Record("DeleteByHandle " + key) || found == fake.entries.end() ||
        !(fake.holds.count(handle) && (fake.holds[handle].access & kDeleteAccess)))
        return false;
    unsigned long attributes = found->second.attributes;
    if ((attributes & 0x1) || FakeVolumeLength(key) == key.size() ||
        (!(attributes & kFileAttributeReparsePoint) && !Children(key).empty()))
        return false;
    return fake.entries.erase(found), true;
}

HeldListing* StartListing(Handle folder) {
    HeldListing* listing = new HeldListing;
    listing->key = BoundKey(folder);
    fake.listings.insert(listing);
    return listing;
}

// Lists the folder the handle is bound to, wherever it now lies: the real "."
// and "..", then its entries, as they are at the first call.
const FindEntry* NextListed(HeldListing* listing) {
    if (!listing->started) {
        listing->started = true;
        Turn();
        auto found = fake.entries.find(listing->key);
        if (Record("ListHeld " + listing->key) || found == fake.entries.end() ||
            !(found->second.attributes & kFileAttributeDirectory))
            return nullptr;
        listing->entries = {{kFileAttributeDirectory, true, ".", {'.'}, 1},
                            {kFileAttributeDirectory, true, "..", {'.', '.'}, 2}};
        for (const std::string& child : Children(listing->key))
            listing->entries.push_back(ListedEntry(child));
    } else if (fake.actor) {
        fake.actor(fake.calls.size());
    }
    return listing->next < listing->entries.size() ? &listing->entries[listing->next++] : nullptr;
}

void EndListing(HeldListing* listing) {
    fake.listings.erase(listing);
    delete listing;
}

// After a trailing separator it reads a link's target, here a plain folder.
unsigned long GetFileAttributesA(const char* path) {
    bool fails;
    std::string key = LogPath(std::string("GetFileAttributesA ") + path, path, &fails);
    if (fails || !fake.entries.count(key)) return kInvalidFileAttributes;
    unsigned long attributes = fake.entries[key].attributes;
    bool beyond =
        (attributes & kFileAttributeReparsePoint) && *path && IsSeparator(path[strlen(path) - 1]);
    return beyond ? kFileAttributeDirectory : attributes;
}

Handle HoldOpenNoReparse(const char* path, bool inheritable) {
    const unsigned long share = kShareRead | kShareWrite;
    bool fails;
    std::string key = LogPath(std::string("HoldOpenNoReparse ") + path, path, &fails);
    return fails ? InvalidHandle() : RecordOpen(key, kHoldAccess, share, inheritable);
}

// Opens for attributes alone: recorded by nobody, so it meets no sharing.
Handle Probe(const std::string& call, const std::string& path) {
    bool fails;
    std::string key = LogPath(call + " " + path, path, &fails);
    if (fails || !fake.entries.count(key)) return InvalidHandle();
    Handle probe = reinterpret_cast<Handle>(++lastHandle);
    return fake.probes[probe] = key, probe;
}
Handle OpenEntryNoReparse(const char* path) { return Probe("OpenEntryNoReparse", path); }

bool ReadIdentity(Handle handle, FileIdentity* identity) {
    Turn();
    std::string key = BoundKey(handle);
    auto found = fake.entries.find(key);
    if (Record("ReadIdentity " + key) || found == fake.entries.end()) return false;
    return *identity = {VolumeSerial(key), 0, found->second.id}, true;
}

unsigned long GetOwnPath(char* buffer, unsigned long size) {
    if (Log("GetOwnPath")) return 0;
    snprintf(buffer, size, "%s", fake.ownPath.c_str());  // cut to fit, as Windows does
    return std::min<unsigned long>(fake.ownPath.size(), size);
}

unsigned long GetShortPathNameA(const char* longPath, char* shortPath, unsigned long size) {
    auto found = fake.shortPaths.find(longPath);
    return Deliver(std::string("GetShortPathNameA ") + longPath,
                   found != fake.shortPaths.end() ? found->second : longPath, shortPath, size);
}

unsigned long GetEnvironmentVariableA(const char* name, char* buffer, unsigned long size) {
    return Deliver(std::string("GetEnvironmentVariableA ") + name,
                   strcmp(name, "ComSpec") == 0 ? fake.comSpec : "", buffer, size);
}

unsigned long GetFullPath(const char* path, char* buffer, unsigned long size) {
    return Deliver(std::string("GetFullPath ") + path, FakeFullPath(path), buffer, size);
}

bool AnsiFormIsExact(AnsiValue value, const char* ansi) {
    Log("AnsiFormIsExact " + std::to_string(value) + " " + ansi);
    return !fake.inexact.count(value);
}

void Release(char* buffer) {
    Log(std::string("Release ") + buffer);
    free(buffer);
}

}  // namespace platform

// ---- The folders the system keeps, as the kept-folder check reads them ----

namespace platform {
namespace {

// Unicode text as the fake's keys hold it: code units below 0x100 as the
// code page's bytes, others as three-byte UTF-8 (see WideName).
std::string Narrow(const WideChar* text) {
    std::string out;
    for (; *text; ++text) {
        unsigned code = *text;
        if (code < 0x100) {
            out += static_cast<char>(code);
        } else {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

// The reverse; false when it does not fit in `size` code units.
bool Widen(const std::string& text, WideChar* out, size_t size) {
    size_t n = 0;
    for (size_t at = 0; at < text.size(); ++at, ++n) {
        unsigned char c = text[at];
        if (n + 1 >= size) return false;
        out[n] = c;
        if (c >= 0xE0 && at + 2 < text.size()) {
            out[n] = (c & 0x0F) << 12 | (text[at + 1] & 0x3F) << 6 | (text[at + 2] & 0x3F);
            at += 2;
        }
    }
    out[n] = 0;
    return size > 0;
}

// The key `key` leads to through the links of the system's folders: every
// component of it followed, or all but its last.
std::string FollowLinks(std::string key, bool last) {
    const std::map<std::string, std::string>& links = fake.system.links;
    for (int hops = 0; hops < 8; ++hops) {
        size_t end = FakeVolumeLength(key);
        std::string prefix;
        while (end < key.size() && links.count(prefix = key.substr(0, end)) == 0)
            end = std::min(FindSeparator(key, end + 1), key.size());
        bool whole = end >= key.size();
        if (whole && !(last && links.count(key))) return key;
        key = KeyOf(links.at(whole ? key : prefix) + (whole ? "" : key.substr(end)));
    }
    return kNowhere;  // a loop of links
}

std::string HandleKey(Handle handle) {
    return fake.holds.count(handle) ? fake.holds[handle].key : fake.probes[handle];
}

// What the system's folders of one step are, as the walk reports them.
std::vector<std::string> SystemFolders(unsigned step, SystemFolderKind* kind) {
    const FakeSystemFolders& system = fake.system;
    std::vector<std::string> folders;
    *kind = step < 4 ? static_cast<SystemFolderKind>(step) : kProfile;
    switch (step) {
        case 0:
            if (!system.ownProfile.empty()) folders = {system.ownProfile};
            break;
        case 1:
            return system.userFolders;
        case 2:
            return system.desktopUserFolders;
        case 3:
            return system.fixedFolders;
        case 4:  // the profiles folder's listing: its folders
            for (const std::string& child : Children(KeyOf(system.profilesFolder)))
                if (fake.entries[child].attributes & kFileAttributeDirectory)
                    folders.push_back(system.profilesFolder + child.substr(child.rfind('\\')));
            break;
        case 5:
            return system.profileList;
    }
    return folders;
}

}  // namespace

bool NextSystemFolder(SystemFolderWalk* walk, SystemFolderKind* kind, WideChar* path, size_t size) {
    for (; walk->step < 6; ++walk->step, walk->index = 0) {
        std::vector<std::string> folders = SystemFolders(walk->step, kind);
        if (walk->index < folders.size()) {
            Log("NextSystemFolder " + folders[walk->index]);
            return Widen(folders[walk->index++], path, size);
        }
    }
    return false;
}

void EndSystemFolderWalk(SystemFolderWalk* walk) {
    Log("EndSystemFolderWalk");
    *walk = SystemFolderWalk();
}

bool GetWindowsFolder(WideChar* path, size_t size) {
    return !Log("GetWindowsFolder") && !fake.system.windows.empty() &&
           Widen(fake.system.windows, path, size);
}

unsigned long GetFullPathW(const WideChar* path, WideChar* buffer, unsigned long size) {
    std::string text = Narrow(path), full = FakeFullPath(text);
    if (Log("GetFullPathW " + text) || text.empty()) return 0;
    return Widen(full, buffer, size) ? full.size() : full.size() + 1;
}

unsigned long GetFileAttributesW(const WideChar* path) {
    std::string key = FollowLinks(KeyOf(Narrow(path)), false);
    auto found = fake.entries.find(key);
    if (Log("GetFileAttributesW " + key) || found == fake.entries.end())
        return kInvalidFileAttributes;
    return found->second.attributes;
}

bool WidenPath(const char* path, WideChar* wide, size_t size) {
    return !Log(std::string("WidenPath ") + path) && Widen(path, wide, size);
}

Handle OpenFolderW(const WideChar* path) {
    bool fails;
    std::string text = Narrow(path);
    std::string key = FollowLinks(LogPath("OpenFolderW " + text, text, &fails), true);
    if (fails || !fake.entries.count(key)) return InvalidHandle();
    Handle probe = reinterpret_cast<Handle>(++lastHandle);
    return fake.probes[probe] = key, probe;
}

// The path that the handle's entry is finally reached by, in the "\\?\" form.
bool ReadFinalPath(Handle handle, WideChar* path, size_t size) {
    std::string key = HandleKey(handle);
    const std::set<std::string>& unreadable = fake.system.noFinalPath;
    if (Log("ReadFinalPath " + key) || unreadable.count(key) || unreadable.count("*") ||
        !fake.entries.count(key))
        return false;
    bool share = key.compare(0, 2, "\\\\") == 0;
    return Widen(share ? "\\\\?\\UNC" + key.substr(1) : "\\\\?\\" + key, path, size);
}

}  // namespace platform
