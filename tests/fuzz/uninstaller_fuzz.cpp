// libFuzzer harness: runs the whole program against the fake platform with
// the arguments, working directory, tree, listed names, failing calls and
// reported paths decoded from the input, then checks the logged calls.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/fake_platform.h"

namespace {

const unsigned long kFolderBit = platform::kFileAttributeDirectory;
const unsigned long kLinkBit = platform::kFileAttributeReparsePoint;

// Input layout; each choice is one byte, and a missing byte reads as 0:
//   flags, argument count, keyword, up to three arguments, working-directory
//   volume and text, own path, short path, ComSpec, entry count, then per
//   entry: parent, bits, name and, for a listed name of its own, that name;
//   last, the failing calls. A text is a count of pieces, each a fragment of
//   kPieces or a run of one letter whose length is the next byte, so paths of
//   any length up to about 1300 arise, 259 and 260 among them.
// Flag bits 5 to 7 make the directory argument, the working directory and the
// own path inexact in ANSI. Then a byte of more: a short-path twin of the own
// path listed before it; and two bytes for another program that,
// from the call they name on, tries before each call (and once more before
// the interpreter's del) to replace the entry they name with a link: in the
// tree or above the root once the root is listed, or on the way to the own
// file once the program has started.
enum Flags { kAnswerYes = 1, kOwnShortPath = 2, kNoTree = 4, kRootIsFile = 8, kRootIsLink = 16 };
enum More { kShortTwin = 1 };
// Entry bits 5 and 6 choose the listed name: the real one, the real one before
// best fit turned its separators fullwidth, another text, or the previous
// sibling's; bit 7 starts the name with a device's.
enum EntryBits {
    kDirectory = 1,
    kReadOnly = 2,
    kLocked = 4,
    kLink = 8,
    kStale = 16,
    kDevice = 128
};

// clang-format off
const char* const kPieces[] = {"\\", "/", "C:", "T", ".", "..", "...", " ", "%", "!", "\"", "&",
    "D:", "x y", "\\\\srv\\share", "^(", "\\\\?\\", "\\\\.\\", "\\??\\", "/?\?/", "../", "a"};
const char* const kDevices[] = {"COM1", "nul", "Lpt3  ", "conout$"};
const char* const kFailable[] = {"HoldOpenNoReparse", "DeleteFileA", "RemoveDirectoryA",
    "FindFirstEntry", "GetFileAttributesA", "GetFullPath", "GetCwd", "StartProcess", "GetOwnPath",
    "GetShortPathNameA", "GetEnvironmentVariableA"};
const char* const kPathCalls[] = {"HoldOpenNoReparse ", "GetFileAttributesA ", "DeleteFileA ",
    "RemoveDirectoryA "};
// clang-format on
const char* const kKeywords[] = {"Uninstall", "UNINSTALL", "uninstall", "Uninstal", "Uninstall."};
const char* const kVolumes[] = {"C:\\", "D:\\", "\\\\srv\\share\\"};

struct Reader {
    const uint8_t* data;
    size_t size;
    unsigned Byte() { return size ? (--size, *data++) : 0; }
    std::string Text() {
        std::string text;
        for (unsigned pieces = Byte() % 6; pieces > 0; --pieces) {
            unsigned choice = Byte();
            if (choice % 2 == 0)
                text += kPieces[choice / 2 % std::size(kPieces)];
            else
                text.append(Byte(), static_cast<char>('a' + choice / 2 % 26));
        }
        return text;
    }
};

// An entry as the logic will reach it: its key and the path built to it.
struct Node {
    std::string key, path;
};

void Require(bool holds, const char* property, const std::string& call) {
    if (holds) return;
    for (const std::string& logged : fake.calls) fprintf(stderr, "  | %s\n", logged.c_str());
    fprintf(stderr, "VIOLATED: %s\n  at: %s\n", property, call.c_str());
    abort();
}

bool Below(const std::string& key, const std::string& folder) {
    return key.size() > folder.size() + 1 && key.compare(0, folder.size() + 1, folder + "\\") == 0;
}

// The folder a listing of path + "\\*" reads: there the path's last component
// is followed by a separator, and keeps what a last one loses.
std::string ListingKey(const std::string& path) {
    std::string key = FakeKey(path + "\\*");
    return key.size() >= 2 && !key.compare(key.size() - 2, 2, "\\*") ? key.erase(key.size() - 2)
                                                                     : key;
}

// The properties every run must have, whatever the input; `untouched` when
// no other program replaced anything. The keys are those the program met.
void Check(const std::map<std::string, FakeEntry>& before, int status, bool untouched,
           unsigned ownId, const std::string& ownKey, const std::string& rootKey) {
    // Paths are looked up in the world the run met, not in what it left.
    std::map<std::string, FakeEntry> after = before;
    std::swap(after, fake.entries);
    Require(status != -1, "runs away", "(end)");
    Require(fake.probes.empty() && fake.finds.empty(), "leaves an open or listing open", "(end)");
    for (const std::string& key : fake.heldAtExit)
        Require(Below(ownKey, key) || ownKey.compare(0, key.size() + 1, key + "\\") == 0,
                "holds more than the way to its own file to the end", key);
    Require(!fake.selfDeletedId || fake.selfDeletedId == ownId,
            "the interpreter's del deletes another file than the program's own", fake.selfDeleted);
    const std::vector<std::string>& arguments = fake.arguments;
    bool removing =
        arguments.size() >= 3 && platform::StrICmp(arguments[1].c_str(), "Uninstall") == 0;
    std::string root = removing ? arguments[2] : "";
    // The root check reads the root's own attributes by its full path, and a
    // root whose text ends loosely is held and checked by it too.
    std::string rootFull = FakeFullPath(root + "\\");
    rootFull.erase(std::max<size_t>(rootFull.find_last_not_of('\\') + 1, 1));
    std::vector<std::string> links, names;  // links in the root or it; every name listed
    for (const auto& entry : before) {
        const std::string& key = entry.first;
        const FakeEntry& e = entry.second;
        names.push_back(e.listedAs.empty() ? key.substr(key.rfind('\\') + 1) : e.listedAs);
        if ((e.attributes & kLinkBit) && (Below(key, rootKey) || key == rootKey))
            links.push_back(key);
    }
    auto own = fake.shortPaths.find(fake.ownPath);
    std::string target = own == fake.shortPaths.end() ? fake.ownPath : own->second;
    int selfDeletions = 0;
    bool startUp = true;
    for (const std::string& call : fake.calls) {
        std::string op = call.substr(0, call.find(' ')),
                    path = call.substr(std::min(op.size() + 1, call.size()));
        if (op == "StartHidden")
            Require(++selfDeletions == 1 && !fake.inexact.count(platform::kOwnPath) &&
                        target.find_first_of("%!\"\n") == std::string::npos &&
                        path.compare(0, path.rfind(" | "),
                                     fake.comSpec + " | \"" + fake.comSpec + "\" /c del \"" +
                                         target + "\" >> NUL") == 0,
                    "self-deletion is not one quoted del of the own short path, alone", call);
        if (op == "ShowMessageBox" && untouched && call.find("successful") != std::string::npos)
            for (const auto& entry : after)
                Require((!Below(entry.first, rootKey) && entry.first != rootKey) ||
                            std::any_of(links.begin(), links.end(),
                                        [&](auto& link) { return Below(entry.first, link); }),
                        "reports success while an entry stays", entry.first);
        if (op == "GetShortPathNameA") Require(path == fake.ownPath, "own path cut", call);
        if (op == "GetFullPath") Require(path == root + "\\", "root probe altered", call);
        // Before the wait it holds the way to its own file, as the unit tables check.
        startUp = startUp && op != "Sleep";
        if (startUp) continue;
        bool listing = op == "FindFirstEntry";
        if (listing && (path == target || !path.compare(0, target.size() + 1, target + " ")))
            continue;  // the self-deletion's check of its target
        if (!listing && op != "HoldOpenNoReparse" && op != "GetFileAttributesA" &&
            op != "DeleteFileA" && op != "RemoveDirectoryA")
            continue;
        // The way to the own file stays held: a tree holding it keeps those folders.
        if (op == "RemoveDirectoryA" && path.size() > 7 &&
            !path.compare(path.size() - 7, 7, " (held)") &&
            Below(ownKey, FakeKey(path.substr(0, path.size() - 7))))
            path.resize(path.size() - 7);
        else
            Require(call.find("held)") == std::string::npos, "lists unheld or removes held", call);
        Require(call.find("(through a link)") == std::string::npos, "acts through a link", call);
        if (listing) {
            Require(path.size() >= 2 && path.compare(path.size() - 2, 2, "\\*") == 0,
                    "pattern is not a folder's listing", call);
            path.resize(path.size() - 2);
            auto entry = before.find(ListingKey(path));
            Require(entry != before.end() &&
                        (entry->second.attributes & (kFolderBit | kLinkBit)) == kFolderBit,
                    "lists a link or a file", call);
        }
        if (op == "GetFileAttributesA" && path == rootFull) continue;  // the root check
        // A root ending in a separator, dot or space is held by its full path.
        if (path == root || (op == "HoldOpenNoReparse" && path == rootFull)) {
            bool volume = FakeVolumeLength(rootKey) == rootKey.size() && before.count(rootKey);
            Require(removing && !fake.inexact.count(platform::kDirectoryArgument) &&
                        root.size() < 300 && !volume &&
                        rootKey == FakeKey(FakeFullPath(root + "\\")) &&
                        rootKey == ListingKey(root),
                    "acts on a volume's root, an unusable root or one that lists elsewhere", call);
            continue;
        }
        std::string key = listing ? ListingKey(path) : FakeKey(path);
        if (op == "HoldOpenNoReparse" && Below(rootKey, key)) {  // a folder above the root
            Require(FakeVolumeLength(key) < key.size() || path.back() == '\\',
                    "opens a volume's device", call);
            continue;
        }
        std::string name = path.substr(path.rfind('\\') + 1);
        Require(path.size() + (listing ? 2 : 0) < 260, "path does not fit in 260 bytes", call);
        Require(Below(key, rootKey), "outside the root", call);
        for (const std::string& link : links) Require(!Below(key, link), "beyond a link", call);
        Require(
            std::count(names.begin(), names.end(), name) &&
                (path.compare(0, 4, "\\\\?\\") == 0 ||
                 ListingKey(path.substr(0, path.size() - name.size() - 1)) + "\\" + name == key) &&
                key.find(':', key.rfind('\\') + 1) == std::string::npos,
            "names another entry than the one listed, a stream or a device, or a cut one", call);
    }
}

// Whether an entry can exist at `key`: below a drive or share, and below no
// file.
bool Placeable(const std::string& key) {
    for (size_t at = key.find('\\', FakeVolumeLength(key) + 1); at != std::string::npos;
         at = key.find('\\', at + 1)) {
        auto found = fake.entries.find(key.substr(0, at));
        if (found != fake.entries.end() && !(found->second.attributes & kFolderBit)) return false;
    }
    return key.compare(0, 2, "\\\\") == 0 || (key.size() > 3 && key[1] == ':' && key[2] == '\\');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    unsigned flags = in.Byte(), count = in.Byte() % 5;
    unsigned keyword = in.Byte() % (std::size(kKeywords) + 1);
    ResetFake();
    for (unsigned i = 1; i < count; ++i)
        fake.arguments.push_back(i > 1 || keyword == std::size(kKeywords) ? in.Text()
                                                                          : kKeywords[keyword]);
    fake.workingDirectory = kVolumes[in.Byte() % std::size(kVolumes)] + in.Text();
    fake.ownPath = in.Text();
    std::string shortPath = in.Text();
    shortPath += "~1";  // an 8.3 name, which no other text in the world is
    if (flags & kOwnShortPath) fake.shortPaths[fake.ownPath] = shortPath;
    fake.comSpec = in.Text();
    fake.answer = flags & kAnswerYes ? platform::kIdYes : 7;
    for (int value = 0; value < 3; ++value)
        if (flags >> (5 + value) & 1) fake.inexact.insert(value);

    // The tree lies where the file calls find the root, so that every run that
    // gets that far removes one. It can exist only under a drive or share.
    std::string rootPath = fake.arguments.size() >= 3 ? fake.arguments[2] : "T";
    Node root = {FakeKey(rootPath), rootPath};
    const std::string& key = root.key;
    bool place = key.compare(0, 2, "\\\\") == 0 ||
                 (key.size() >= 2 && key[1] == ':' && (key.size() == 2 || key[2] == '\\'));
    if (place && !(flags & kNoTree)) {
        FakeEntry entry;
        entry.attributes =
            (flags & kRootIsFile ? 0 : kFolderBit) | (flags & kRootIsLink ? kLinkBit : 0);
        AddFakeEntry(key, entry);
    }
    bool tree = place && !(flags & (kNoTree | kRootIsFile));
    std::vector<Node> folders = {root}, nodes = {root};
    std::map<std::string, std::string> lastListed;  // by parent key
    for (unsigned entries = in.Byte() % 16; entries > 0; --entries) {
        Node parent = folders[in.Byte() % folders.size()];
        unsigned bits = in.Byte(), kind = bits >> 5 & 3;
        std::string text = in.Text().substr(0, 255), real;
        if (bits & kDevice) {
            size_t rest = std::min(text.find_first_of(". "), text.size());
            text = kDevices[text.size() % std::size(kDevices)] + text.substr(rest);
        }
        for (char c : text)
            real += c == '/' ? "\xEF\xBC\x8F" : c == '\\' ? "\xEF\xBC\xBC" : std::string(1, c);
        std::string listed = kind == 1   ? text
                             : kind == 2 ? in.Text()
                             : kind == 3 ? lastListed[parent.key]
                                         : "";
        if (!tree || real.empty() || real == "." || real == "..") continue;
        FakeEntry entry;
        entry.attributes = (bits & kDirectory ? kFolderBit : 0) | (bits & kReadOnly ? 0x1 : 0) |
                           (bits & kLink ? kLinkBit : 0);
        entry.locked = bits & kLocked;
        entry.listedAs = listed == real ? "" : listed;
        if (bits & kStale) entry.listedAttributes = kFolderBit;
        lastListed[parent.key] = listed.empty() ? real : listed;
        Node node = {parent.key + "\\" + real, parent.path + "\\" + lastListed[parent.key]};
        AddFakeEntry(node.key, entry);
        if (bits & kDirectory) folders.push_back(node);
        nodes.push_back(node);
    }
    for (unsigned failing = in.Byte() % 4; failing > 0; --failing) {
        unsigned choice = in.Byte();
        fake.failing.insert(choice % 2 ? kFailable[choice / 2 % std::size(kFailable)]
                                       : kPathCalls[choice / 2 % 4] +
                                             nodes[choice / 8 % nodes.size()].path);
    }

    unsigned more = in.Byte();
    if (more & kShortTwin) {  // listed first, so the short path finds it first
        fake.shortPaths[fake.ownPath] = shortPath;
        fake.shortPaths[fake.ownPath.substr(0, fake.ownPath.size() / 2)] = shortPath;
    }
    // The own file, and its 8.3 twin, exist where they can.
    for (const auto& [longPath, itsShort] : fake.shortPaths)
        if (Placeable(FakeKey(longPath)) && !fake.entries.count(FakeKey(longPath)))
            AddFakeEntry(FakeKey(longPath), FakeEntry{0, false, "", 0, 0});
    if (Placeable(FakeKey(fake.ownPath)) && !fake.entries.count(FakeKey(fake.ownPath)))
        AddFakeEntry(FakeKey(fake.ownPath), FakeEntry{0, false, "", 0, 0});

    unsigned attackAt = in.Byte(), target = in.Byte();
    std::vector<std::string> targets;
    for (const Node& node : nodes) targets.push_back(node.key);
    for (size_t at = key.find('\\', FakeVolumeLength(key) + 1); at != std::string::npos;
         at = key.find('\\', at + 1))
        targets.push_back(key.substr(0, at));  // the folders above the root
    size_t ownFrom = targets.size();
    std::string ownKey = FakeKey(fake.ownPath);
    for (size_t at = ownKey.find('\\', FakeVolumeLength(ownKey) + 1); at != std::string::npos;
         at = ownKey.find('\\', at + 1))
        targets.push_back(ownKey.substr(0, at));  // the way to the own file
    targets.push_back(ownKey);
    static size_t attackFrom;
    static std::map<std::string, FakeEntry> known;  // before the run, and after the rename
    static std::string attacked;
    static bool onOwnWay, started, ownFile;
    attackFrom = attackAt ? attackAt : SIZE_MAX;
    attacked = targets[target % targets.size()];
    // The own file itself can be swapped in a folder the other program may
    // write, even once its check is done: del then deletes that program's own
    // entry (a link goes by itself), and nothing can stop it but keeping del
    // from deleting. Until the self-deletion begins, a swap must fail its check.
    ownFile = target % targets.size() == targets.size() - 1;
    // A folder on the root's way, replaced before the root is held, is the
    // path the user named.
    onOwnWay = target % targets.size() >= ownFrom && !Below(key, attacked) && key != attacked &&
               !Below(attacked, key);
    // Inside the tree and above the root it starts once the removal has listed
    // the root: a folder replaced before the path is held is the path the user
    // named. On the way to the own file, once the program has started.
    started = false;
    fake.actor = [](size_t call) {
        if (call &&
            !fake.calls.back().compare(0, onOwnWay ? 5 : 14, onOwnWay ? "Sleep" : "FindFirstEntry"))
            started = true;
        bool checked = ownFile && !CallsNamed({"GetShortPathNameA"}).empty();
        if (started && !checked && call >= attackFrom && !attacked.empty() &&
            FakeReplaceWithLink(attacked)) {
            attacked.clear();
            known.insert(fake.entries.begin(), fake.entries.end());
        }
    };

    known = fake.entries;
    unsigned ownId = FakeIdentity(fake.ownPath);
    std::string rootKey = FakeKey(fake.arguments.size() >= 3 ? fake.arguments[2] : "");
    int status = RunProgram();
    Check(known, status, !attacked.empty(), ownId, ownKey, rootKey);
    return 0;
}
