// libFuzzer harness: runs the whole program against the fake platform with
// the arguments, working directory, tree, listed names, failing calls and
// reported paths decoded from the input, then checks the logged calls.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
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
// path listed before it; and three bytes for another program that, from the
// call they name on, tries before each call (and once more before the
// interpreter's del) to make the entry they name lead elsewhere, in the way
// the third names (FakeSwap: a rename, a move from Wine's host, a mount point
// on an empty folder, a link re-pointed): in the tree or above the root once
// the root is listed, or on the way to the own file once the program has
// started.
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
const char* const kFailable[] = {"HoldOpenNoReparse", "OpenRootNoReparse", "OpenBelowNoReparse",
    "DeleteByHandle", "ListHeld", "ReadAttributes", "FindFirstEntry", "GetFileAttributesA",
    "GetFullPath", "GetCwd", "StartProcess", "GetOwnPath", "GetShortPathNameA",
    "GetEnvironmentVariableA"};
const char* const kEntryCalls[] = {"DeleteByHandle ", "ListHeld ", "ReadAttributes ",
    "HoldOpenNoReparse "};
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
    Require(fake.probes.empty() && fake.finds.empty() && fake.listings.empty(),
            "leaves an open or listing open", "(end)");
    // Only the folders on the way to its own file stay held to the end, wherever
    // another program moved them.
    std::set<unsigned> ownWay;
    for (const auto& entry : before)
        if (Below(ownKey, entry.first)) ownWay.insert(entry.second.id);
    for (const std::string& key : fake.heldAtExit)
        Require(after.count(key) && ownWay.count(after[key].id),
                "holds more than the way to its own file to the end", key);
    Require(!fake.selfDeletedId || fake.selfDeletedId == ownId,
            "the interpreter's del deletes another file than the program's own", fake.selfDeleted);
    const std::vector<std::string>& arguments = fake.arguments;
    bool removing =
        arguments.size() >= 3 && platform::StrICmp(arguments[1].c_str(), "Uninstall") == 0;
    std::string root = removing ? arguments[2] : "";
    // The root is checked and opened by its full path.
    std::string rootFull = FakeFullPath(root + "\\");
    rootFull.erase(std::max<size_t>(rootFull.find_last_not_of('\\') + 1, 1));
    std::vector<std::string> links;  // links in the root or it
    for (const auto& [key, e] : before)
        if ((e.attributes & kLinkBit) && (Below(key, rootKey) || key == rootKey))
            links.push_back(key);
    // Nothing outside the tree is ever deleted: not what lies beyond a link in
    // it, not what another program's links lead to, only the program's own
    // file by its interpreter.
    std::set<unsigned> present;
    for (const auto& entry : after) present.insert(entry.second.id);
    for (const auto& entry : before) {
        const std::string& key = entry.first;
        bool inTree = key == rootKey || Below(key, rootKey);
        bool beyond =
            std::any_of(links.begin(), links.end(), [&](auto& link) { return Below(key, link); });
        if ((!inTree || beyond) && entry.second.id != fake.selfDeletedId)
            Require(present.count(entry.second.id), "deletes what lies outside the tree", key);
    }
    for (unsigned id : fake.vault)
        Require(present.count(id), "deletes what another program's link leads to",
                std::to_string(id));
    auto own = fake.shortPaths.find(fake.ownPath);
    std::string target = own == fake.shortPaths.end() ? fake.ownPath : own->second;
    int selfDeletions = 0, rootOpens = 0;
    bool startUp = true, listed = false, selfCheck = false;
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
        listed = listed || op == "ListHeld";
        if (startUp) continue;
        // Once the self-deletion lists its own file, what it opens is that file.
        selfCheck =
            selfCheck || (op == "FindFirstEntry" &&
                          (path == target || !path.compare(0, target.size() + 1, target + " ")));
        if (selfCheck) continue;
        if (op != "HoldOpenNoReparse" && op != "GetFileAttributesA" && op != "OpenRootNoReparse" &&
            op != "OpenEntryNoReparse" && op != "FindFirstEntry")
            continue;
        // Every call that takes a path takes the root's.
        std::string named = path.substr(0, path.find(" (through a link)"));
        if (op == "OpenRootNoReparse" && named.size() > 7 &&
            !named.compare(named.size() - 7, 7, " delete"))
            named.resize(named.size() - 7);
        Require(op != "FindFirstEntry" && named == rootFull, "takes a path inside the tree", call);
        Require(!listed && (op != "OpenRootNoReparse" || ++rootOpens <= 2),
                "opens the root by its path again", call);
        bool volume = FakeVolumeLength(rootKey) == rootKey.size() && before.count(rootKey);
        Require(removing && !fake.inexact.count(platform::kDirectoryArgument) &&
                    root.size() < 300 && !volume && rootKey == FakeKey(FakeFullPath(root + "\\")) &&
                    rootKey == ListingKey(root),
                "acts on a volume's root, an unusable root or one that lists elsewhere", call);
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
                                       : kEntryCalls[choice / 2 % 4] +
                                             nodes[choice / 8 % nodes.size()].key);
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

    unsigned attackAt = in.Byte(), target = in.Byte(), how = in.Byte() % 4;
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
    static std::string attacked;
    static FakeSwap swap;
    static bool onOwnWay, started, ownFile;
    attackFrom = attackAt ? attackAt : SIZE_MAX;
    attacked = targets[target % targets.size()];
    swap = static_cast<FakeSwap>(how);
    // The own file itself can be swapped in a folder the other program may
    // write, even once its check is done: del then deletes that program's own
    // entry (a link goes by itself), and nothing can stop it but keeping del
    // from deleting. Until the self-deletion begins, a swap must fail its check.
    ownFile = target % targets.size() == targets.size() - 1;
    onOwnWay = target % targets.size() >= ownFrom && !Below(key, attacked) && key != attacked &&
               !Below(attacked, key);
    // The way to the own file holds the file, so no folder on it is empty, and
    // del takes a path: a move from outside Windows is beyond any program.
    if (onOwnWay && (swap == kHostSwap || swap == kMountEmpty)) swap = kRenameSwap;
    // Inside the tree and above the root it starts once the removal has listed
    // the root: a folder replaced before the root is opened is the path the
    // user named. On the way to the own file, once the program has started.
    started = false;
    fake.actor = [](size_t call) {
        if (call &&
            !fake.calls.back().compare(0, onOwnWay ? 5 : 8, onOwnWay ? "Sleep" : "ListHeld"))
            started = true;
        bool checked = ownFile && !CallsNamed({"GetShortPathNameA"}).empty();
        if (started && !checked && call >= attackFrom && !attacked.empty() &&
            FakeReplaceWithLink(attacked, swap))
            attacked.clear();
    };

    std::map<std::string, FakeEntry> before = fake.entries;
    unsigned ownId = FakeIdentity(fake.ownPath);
    std::string rootKey = FakeKey(fake.arguments.size() >= 3 ? fake.arguments[2] : "");
    int status = RunProgram();
    Check(before, status, !attacked.empty(), ownId, ownKey, rootKey);
    return 0;
}
