#include "uninstaller/uninstaller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "tests/fake_platform.h"

namespace {

using Calls = std::vector<std::string>;

const char kUnable[] = "ShowMessageBox [Uninstall] 0x00 Unable to Uninstall";
const char kSuccess[] =
    "ShowMessageBox [Brindlewake Quillstead] 0x40 Uninstall successful. BYE BYE !";
const char kSelfDelete[] =
    "StartHidden C:\\windows\\system32\\cmd.exe | \"C:\\windows\\system32\\cmd.exe\" /c del "
    "\"C:\\Users\\me\\Temp\\Uninstall.exe\" >> NUL | 4 holds";

// The calls named, but the self-deletion's listing of its own file.
Calls Actions(const std::vector<std::string>& names) {
    Calls calls = CallsNamed(names);
    calls.erase(std::remove(calls.begin(), calls.end(),
                            "FindFirstEntry C:\\Users\\me\\Temp\\Uninstall.exe"),
                calls.end());
    return calls;
}

std::string InUse(const std::string& directory) {
    std::string text = "Some Files are in use and cannot be deleted. Kindly delete\n\"" +
                       directory + "\"\nafter use.";
    return "ShowMessageBox [Brindlewake Quillstead] 0x40 " + text.substr(0, 299);
}

std::string Problem(const std::string& path) {
    std::string text = "Problem Occurred while trying to delete the File:" + path;
    return "ShowMessageBox [Uninstall] 0x00 " + text.substr(0, 299);
}

std::string Repeat(char c, size_t count) { return std::string(count, c); }

TEST(HandOff, NeedsAnExactWorkingDirectoryOf372OrFewer) {
    std::string longest = "C:\\" + Repeat('a', 369);
    struct Case {
        const char* label;
        std::string directory;
        bool inexact, started;
    } cases[] = {{"372 characters", longest, false, true},
                 {"373 characters", longest + "b", false, false},
                 {"inexact ANSI form", "C:\\Apps", true, false}};
    for (const Case& c : cases) {
        ResetFake();
        fake.workingDirectory = c.directory;
        if (c.inexact) fake.inexact = {platform::kWorkingDirectory};
        fake.answer = platform::kIdYes;
        int status = RunProgram();
        Calls expected = {"StartProcess \"" + c.directory + "\\Quillstead.exe\" Uninstall | " +
                          c.directory + "\\"};
        if (!c.started) expected = {kUnable, "Exit 0"};
        Calls calls = CallsNamed({"ShowMessageBox", "StartProcess", "Exit"});
        calls.erase(calls.begin());  // the question
        EXPECT_EQ(expected, calls) << c.label;
        EXPECT_EQ(c.started ? 1 : 0, status) << c.label;
    }
}

TEST(Removal, RefusesRootsItCannotTrust) {
    enum Outcome { kRefused, kRemoved, kInUse };
    struct Case {
        const char* label;
        std::string root;
        Outcome outcome;
        const char* failing = "";
        bool doubleByte = false;
        std::string opened = "";  // the path the root is opened by, where it is
    } cases[] = {
        {"drive: its root is what lists", "C:", kRefused},
        {"share named with a double-byte character", "\\\\server\\ab\x95\\x", kRefused, "", true},
        {"\\\\?\\UNC share", "\\\\?\\UNC\\server\\share", kRefused},
        {"\\\\?\\ other volume", "\\\\?\\Volume{1}\\Apps", kRefused},
        {"300 characters", "C:\\" + Repeat('a', 297), kRefused},
        {"unresolvable", "Tool", kRefused, "GetFullPath"},
        {"the root cannot be opened: nothing deleted", "C:\\Apps\\Tool", kInUse,
         "OpenRootNoReparse"},
        // clang-format off
        {"steps of one and two dots", "C:\\Apps\\.\\..\\Apps\\Tool", kRemoved, "", false, "C:\\Apps\\Tool"},
        {"doubled separators", "C:\\\\Apps\\\\Tool", kRemoved, "", false, "C:\\Apps\\Tool"},
        {"relative, through the working directory", "Tool", kRemoved, "", false, "C:\\Apps\\Tool"},
        {"folder on a share", "\\\\server\\share\\dir", kRemoved, "", false, "\\\\server\\share\\dir"},
        {"\\\\?\\ folder", "\\\\?\\C:\\Apps\\Tool", kRemoved, "", false, "\\\\?\\C:\\Apps\\Tool"},
        {"\\\\.\\ folder", "\\\\.\\C:\\Apps\\Tool", kRemoved, "", false, "\\\\.\\C:\\Apps\\Tool"},
        {"trailing backslash", "C:\\Apps\\Tool\\", kRemoved, "", false, "C:\\Apps\\Tool"},
        // clang-format on
        {"ends in a quote", "C:\\Apps\\Tool\"", kInUse},
        {"missing", "C:\\Apps\\Nope", kInUse},
        {"299 characters", "C:\\" + Repeat('a', 296), kInUse},
    };
    for (const Case& c : cases) {
        ResetFake({"C:\\Apps\\Tool\\keep", "D:\\x\\canary", "\\\\server\\share\\dir\\f"},
                  c.doubleByte);
        if (*c.failing) fake.failing = {c.failing};
        fake.arguments = {"Uninstall.exe", "Uninstall", c.root};
        int status = RunProgram();
        Calls actions =
            Actions({"ListHeld", "DeleteByHandle", "ShowMessageBox", "StartHidden", "Exit"});
        if (c.outcome != kRefused)
            actions.erase(actions.begin(), actions.end() - std::min<size_t>(2, actions.size()));
        Calls expected = {c.outcome == kRemoved ? kSuccess : InUse(c.root), kSelfDelete};
        EXPECT_EQ((c.outcome == kRefused ? Calls{kUnable, "Exit 0"} : expected), actions)
            << c.label;
        EXPECT_EQ(c.outcome == kRefused ? 0 : 1, status) << c.label;
        if (!c.opened.empty()) {
            EXPECT_EQ(Calls{"OpenRootNoReparse " + c.opened + " delete"},
                      CallsNamed({"OpenRootNoReparse"}))
                << c.label;
        }
    }
}

TEST(Removal, ReachesEveryEntryThroughItsFolder) {
    const std::string T = "C:\\T\\", kRm = "DeleteByHandle ", kRmRoot = "DeleteByHandle C:\\T";
    std::string deep =
        "C:\\" + Repeat('d', 200) + "\\" + Repeat('e', 100) + "\\" + Repeat('f', 100);
    std::string longRoot = "C:\\" + Repeat('r', 255);
    const std::string fullwidthX = "\xEF\xBD\x98", fullwidthA = "\xEF\xBD\x81.txt";
    struct Case {
        const char* label;
        Calls tree;
        Calls expected;  // deletions tried and messages, in order
        Calls kept;      // what must survive
        std::string root = "C:\\T";
        Calls readOnly = {}, locked = {}, heldByOthers = {};
        std::map<std::string, std::string> listedAs = {};  // best fit's names
        std::map<std::string, unsigned long> listedAttributes = {}, attributes = {};
    } cases[] = {
        // clang-format off
        {"names a path would misread are removed", {T + "...", T + "COM1", T + "COM\xB9", T + "a.", T + "b ", T + "nul.txt"},
         {kRm + T + "...", kRm + T + "COM1", kRm + T + "COM\xB9", kRm + T + "a.", kRm + T + "b ", kRm + T + "nul.txt", kRmRoot, kSuccess}, {}},
        {"best fit's names are removed, and shown as listed", {T + fullwidthA, T + fullwidthX},
         {kRm + T + fullwidthA, kRm + T + fullwidthX, Problem(T + "x"), kRmRoot, InUse("C:\\T")}, {T + fullwidthX}, "C:\\T",
         {T + fullwidthX}, {}, {}, {{T + fullwidthA, "a.txt"}, {T + fullwidthX, "x"}}},
        {"depth beyond 260: reached, and its message cut to fit", {deep + "\\gone.txt", deep + "\\ro.txt"},
         {kRm + deep + "\\gone.txt", kRm + deep + "\\ro.txt", Problem(deep + "\\ro.txt"), kRm + deep,
          kRm + deep.substr(0, 304), kRm + deep.substr(0, 203), InUse(deep.substr(0, 203))},
         {deep + "\\ro.txt"}, deep.substr(0, 203), {deep + "\\ro.txt"}},
        {"a root of 258 characters", {longRoot + "\\x"}, {kRm + longRoot + "\\x", kRm + longRoot, kSuccess}, {}, longRoot},
        {"in use, read-only, and a folder another program holds", {T + "a.txt", T + "held\\x.txt", T + "lock.txt", T + "ro.txt"},
         {kRm + T + "a.txt", kRm + T + "held\\x.txt", Problem(T + "lock.txt"), kRm + T + "ro.txt", Problem(T + "ro.txt"),
          kRmRoot, InUse("C:\\T")}, {T + "held", T + "lock.txt", T + "ro.txt"}, "C:\\T", {T + "ro.txt"}, {T + "lock.txt"},
         {T + "held"}},
        {"links are removed, never entered, whichever says so", {T + "L\\inside", T + "S\\inside"},
         {kRm + T + "L", kRm + T + "S", kRmRoot, kSuccess}, {T + "L\\inside", T + "S\\inside"}, "C:\\T", {}, {}, {}, {},
         {{T + "S", 0x10}}, {{T + "L", 0x410}, {T + "S", 0x410}}},
        {"a folder the listing calls a link is not entered", {T + "W\\inside"},
         {kRm + T + "W", kRmRoot, InUse("C:\\T")}, {T + "W\\inside"}, "C:\\T", {}, {}, {}, {}, {{T + "W", 0x410}}},
        // clang-format on
    };
    for (const auto& c : cases) {
        ResetFake(c.tree);
        for (const std::string& key : c.readOnly) fake.entries[key].attributes |= 0x1;
        for (const std::string& key : c.locked) fake.entries[key].locked = true;
        for (const std::string& key : c.heldByOthers)
            fake.others.push_back({key, platform::kHoldAccess, kShareRead | kShareWrite});
        for (const auto& [key, name] : c.listedAs) fake.entries[key].listedAs = name;
        for (const auto& [key, bits] : c.listedAttributes)
            fake.entries[key].listedAttributes = bits;
        for (const auto& [key, bits] : c.attributes) fake.entries[key].attributes = bits;
        fake.arguments = {"Uninstall.exe", "Uninstall", c.root};
        EXPECT_EQ(1, RunProgram()) << c.label;
        EXPECT_EQ(c.expected, Actions({"DeleteByHandle", "ShowMessageBox"})) << c.label;
        for (const std::string& key : c.kept) EXPECT_EQ(1u, fake.entries.count(key)) << key;
        EXPECT_TRUE(fake.listings.empty()) << c.label;
    }
}

TEST(Removal, EmptiesFoldersDownTo2047LevelsBelowTheRoot) {
    for (size_t levels : {2047, 2048}) {
        std::string deepest = "C:\\T";
        for (size_t level = 0; level < levels; ++level) deepest += "\\a";
        ResetFake({deepest + "\\f"});
        fake.arguments = {"Uninstall.exe", "Uninstall", "C:\\T"};
        EXPECT_EQ(1, RunProgram()) << levels;
        bool emptied = levels < 2048;
        EXPECT_EQ(emptied ? kSuccess : InUse("C:\\T"), CallsNamed({"ShowMessageBox"}).back())
            << levels;
        EXPECT_EQ(emptied ? 0u : 1u, fake.entries.count(deepest + "\\f")) << levels;
    }
}

// Another program makes a folder being emptied, or the root, lead elsewhere:
// what it then leads to stays untouched, and the final message says what is left.
TEST(Removal, ActsOnWhatItHolds) {
    const char kProblem[] = "Problem Occurred", kEmptied[] = "DeleteByHandle C:\\L\\T\\e\\x.txt";
    struct Case {
        const char* label;
        std::string target;
        FakeSwap how;
        const char* when;  // in the last call logged
        bool landed;
    } cases[] = {
        {"a held folder renamed", "C:\\L\\T\\a", kRenameSwap, kProblem, false},
        {"a held folder moved on Wine's host", "C:\\L\\T\\a", kHostSwap, kProblem, true},
        {"the root moved on Wine's host", "C:\\L\\T", kHostSwap, kProblem, true},
        {"an emptied held folder made a mount point", "C:\\L\\T\\e", kMountEmpty, kEmptied, true},
        {"a folder with entries made a mount point", "C:\\L\\T\\a", kMountEmpty, kProblem, false},
        {"the link above the root re-pointed", "C:\\L", kRepoint, kProblem, true},
    };
    for (const Case& c : cases) {
        ResetFake({"C:\\L\\T\\a\\1.txt", "C:\\L\\T\\a\\ro.txt", "C:\\L\\T\\a\\z.txt",
                   "C:\\L\\T\\e\\x.txt", "C:\\L\\T\\z.txt"});
        // The user named the root through the link C:\L.
        fake.entries["C:\\L"].attributes |= platform::kFileAttributeReparsePoint;
        fake.entries["C:\\L\\T\\a\\ro.txt"].attributes |= 0x1;
        fake.arguments = {"Uninstall.exe", "Uninstall", "C:\\L\\T"};
        static const Case* now;
        static bool landed;
        now = &c, landed = false;
        fake.actor = [](size_t) {
            if (!landed && !fake.calls.empty() &&
                fake.calls.back().find(now->when) != std::string::npos)
                landed = FakeReplaceWithLink(now->target, now->how);
        };
        EXPECT_EQ(1, RunProgram()) << c.label;
        EXPECT_EQ(c.landed, landed) << c.label;
        std::set<unsigned> ids;
        for (const auto& entry : fake.entries) ids.insert(entry.second.id);
        std::vector<unsigned> lost;
        for (unsigned id : fake.vault)
            if (!ids.count(id)) lost.push_back(id);
        EXPECT_EQ(std::vector<unsigned>{}, lost) << c.label << ": vault entries lost";
        EXPECT_EQ(InUse("C:\\L\\T"), CallsNamed({"ShowMessageBox"}).back()) << c.label;
    }
}

// The world the kept-folder rows share: the running user "me", whose History
// lies in its profile; another profile in the profiles folder and one that
// only ProfileList names; a folder registered but not made yet; Music moved
// and written with '/'; the desktop user's moved Music; and a Documents that
// is a link to E:\Shares\Docs.
void LayOutSystemFolders() {
    ResetFake({"C:\\Users\\me\\Desktop\\", "C:\\Users\\me\\Documents\\Quill\\f",
               "C:\\Users\\me\\AppData\\Local\\Microsoft\\Windows\\History\\",
               "C:\\Users\\me\\AppData\\Local\\Programs\\Quillstead\\f",
               "C:\\Users\\other\\AppData\\Local\\Microsoft\\Windows\\History\\Quill\\f",
               "C:\\Users\\other\\Pictures\\Screenshots\\Quill\\f", "C:\\Data\\Later\\",
               "C:\\Media\\Tunes\\Quill\\f", "D:\\Moved\\Music\\Quill\\f",
               "C:\\Staff\\erin\\Desktop\\Quill\\f",
               "C:\\Apps\\Users\\other\\Pictures\\Screenshots\\f", "C:\\Apps\\Documents\\f",
               "C:\\Apps\\Tool\\f", "C:\\Via\\Tool\\f", "C:\\windows\\Temp\\Quill\\f",
               "E:\\Shares\\Docs\\Quill\\f"});
    FakeSystemFolders& system = fake.system;
    system.ownProfile = "C:\\Users\\me";
    system.userFolders = {"C:\\Users\\me\\Desktop",
                          "C:\\Users\\me\\Docs",
                          "C:\\Users\\me\\AppData\\Local\\Microsoft\\Windows\\History",
                          "C:\\Data\\Later\\Not made",
                          "C:/Media/Tunes",
                          ""};
    system.desktopUserFolders = {"D:\\Moved\\Music"};
    system.fixedFolders = {"C:\\windows\\system32"};
    system.profileList = {"C:\\Staff\\erin"};
    FakeEntry link;
    link.attributes |= platform::kFileAttributeReparsePoint;
    AddFakeEntry("C:\\Users\\me\\Docs", link);
    AddFakeEntry("C:\\Via", link);
    system.links = {{"C:\\Users\\me\\Docs", "E:\\Shares\\Docs"}, {"C:\\Via", "C:\\Apps"}};
}

TEST(KeptFolders, RefusedWhenKeptOrUntoldWithProductsInsideRemoved) {
    struct Case {
        const char* label;
        const char* root;
        bool refused;
        const char* failing = "";
        std::set<std::string> noFinalPath = {};
    } cases[] = {
        // clang-format off
        {"registered folder", "C:\\Users\\me\\Desktop", true},
        {"registered, not made yet: the folder above it", "C:\\Data\\Later", true},
        {"registered through a link: above where it leads", "E:\\Shares", true},
        {"the desktop user's moved folder", "D:\\Moved\\Music", true},
        {"  a product inside it", "D:\\Moved\\Music\\Quill", false},
        {"a profile ProfileList names", "C:\\Staff\\erin", true},
        {"  the folder holding it", "C:\\Staff", true},
        {"  a product on its Desktop", "C:\\Staff\\erin\\Desktop\\Quill", false},
        {"another profile's place of a registered folder", "C:\\Users\\other\\AppData\\Local\\Microsoft\\Windows\\History", true},
        {"  a folder above that place", "C:\\Users\\other\\AppData\\Local\\Microsoft", true},
        {"  a product inside it", "C:\\Users\\other\\AppData\\Local\\Microsoft\\Windows\\History\\Quill", false},
        {"another profile's default place", "C:\\Users\\other\\Pictures\\Screenshots", true},
        {"  a product inside it", "C:\\Users\\other\\Pictures\\Screenshots\\Quill", false},
        {"the running user's default place", "C:\\Users\\me\\AppData\\Local\\Programs", true},
        {"  a product inside it", "C:\\Users\\me\\AppData\\Local\\Programs\\Quillstead", false},
        {"a moved folder written with '/'", "C:\\Media\\Tunes", true},
        {"  the folder above it", "C:\\Media", true},
        {"  a product inside it", "C:\\Media\\Tunes\\Quill", false},
        {"where a registered link leads", "E:\\Shares\\Docs", true},
        {"  a product inside it", "E:\\Shares\\Docs\\Quill", false},
        {"in the Windows folder", "C:\\windows\\Temp\\Quill", true},
        {"named alike elsewhere", "C:\\Apps\\Users\\other\\Pictures\\Screenshots", false},
        {"a folder of no kept name, an empty registered path beside", "C:\\Apps\\Tool", false},
        {"untold: the root's identity", "C:\\Apps\\Tool", true, "ReadIdentity C:\\Apps\\Tool"},
        {"untold: the Windows folder's identity", "C:\\Apps\\Tool", true, "OpenFolderW C:\\windows"},
        {"untold: a folder on the root's way", "C:\\Apps\\Tool", true, "OpenFolderW C:\\Apps"},
        {"untold: the root's final path, through a link", "C:\\Via\\Tool", true, "", {"C:\\Via\\Tool"}},
        {"  no link on the way: told", "C:\\Apps\\Tool", false, "", {"C:\\Apps\\Tool"}},
        {"  a link on the way, final path read", "C:\\Via\\Tool", false},
        {"untold: a registered link's final path", "C:\\Apps\\Tool", true, "", {"E:\\Shares\\Docs"}},
        {"untold: a link's attributes", "C:\\Via\\Tool", true, "GetFileAttributesW C:\\Via", {"C:\\Via\\Tool"}},
        // clang-format on
    };
    for (const Case& c : cases) {
        LayOutSystemFolders();
        if (*c.failing) fake.failing = {c.failing};
        fake.system.noFinalPath = c.noFinalPath;
        fake.arguments = {"Uninstall.exe", "Uninstall", c.root};
        std::string key = FakeKey(c.root);
        int status = RunProgram();
        Calls acted = Actions({"DeleteByHandle", "ShowMessageBox", "Exit"});
        Calls expected = {"DeleteByHandle " + key + "\\f", "DeleteByHandle " + key, kSuccess};
        if (c.refused) expected = {kUnable, "Exit 0"};
        acted.resize(std::min(acted.size(), expected.size()));
        EXPECT_EQ(expected, acted) << c.label;
        EXPECT_EQ(c.refused ? 0 : 1, status) << c.label;
        EXPECT_EQ(c.refused ? 1u : 0u, fake.entries.count(key)) << c.label;
    }
}

TEST(SelfDeletion, StartsHiddenQuotedDeleteOfItsOwnFileOnly) {
    const std::string cmd = "C:\\windows\\system32\\cmd.exe",
                      longComSpec = "C:\\" + Repeat('c', 256);
    struct Case {
        const char* label;
        std::string deleted;  // what the started command deletes; "" when nothing starts
        int result;           // 1: the interpreter deleted this program
        std::string ownPath = "C:\\U.exe", shortPath = "";  // "": no short form
        std::string comSpec = "C:\\windows\\system32\\cmd.exe";
        const char* failing = "";
        bool inexact = false;
        Calls tree = {"C:\\U.exe"};  // the own file
        bool linkOnWay = false;      // C:\W is a link
    } cases[] = {
        // clang-format off
        {"own path unavailable", "", 0, "C:\\U.exe", "", cmd, "GetOwnPath"},
        {"own path inexact", "", 0, "C:\\U.exe", "", cmd, "", true},
        {"own path of 259", "C:\\U.exe", 1, "C:\\" + Repeat('m', 256), "C:\\U.exe", cmd, "", false, {"C:\\" + Repeat('m', 256)}},
        {"own path cut at 260", "", 0, "C:\\" + Repeat('m', 257), "C:\\U.exe", cmd, "", false, {"C:\\" + Repeat('m', 257)}},
        {"short path of 260", "", 0, "C:\\U.exe", "C:\\" + Repeat('s', 257)},
        {"parameters of 259", "C:\\" + Repeat('s', 240), 1, "C:\\U.exe", "C:\\" + Repeat('s', 240)},
        {"parameters of 260", "", 0, "C:\\U.exe", "C:\\" + Repeat('s', 241)},
        {"exclamation mark", "", 0, "C:\\!OS!\\U.exe", "", cmd, "", false, {"C:\\!OS!\\U.exe"}},
        {"line feed in the short path", "", 0, "C:\\U.exe", "C:\\U\n.exe"},
        {"ComSpec of 259", "C:\\U.exe", 1, "C:\\U.exe", "", longComSpec},
        {"ComSpec cut at 260", "", 0, "C:\\U.exe", "", longComSpec + "c"},
        {"ComSpec with a quote", "", 0, "C:\\U.exe", "", "C:\\a\"b.exe"},
        {"start fails", "C:\\U.exe", 0, "C:\\U.exe", "", cmd, "StartHidden"},
        {"a folder on the way is a link", "", 0, "C:\\W\\U.exe", "", cmd, "", false, {"C:\\W\\U.exe"}, true},
        // clang-format on
    };
    for (const Case& c : cases) {
        ResetFake(c.tree);
        fake.entries.erase(fake.ownPath);  // the default own file
        fake.arguments = {"Uninstall.exe", "Uninstall", "C:\\T"};
        AddFakeEntry("C:\\T", FakeEntry());
        fake.ownPath = c.ownPath;
        if (!c.shortPath.empty()) fake.shortPaths[c.ownPath] = c.shortPath;
        fake.comSpec = c.comSpec;
        if (*c.failing) fake.failing = {c.failing};
        if (c.inexact) fake.inexact = {platform::kOwnPath};
        if (c.linkOnWay) fake.entries["C:\\W"].attributes |= platform::kFileAttributeReparsePoint;
        unsigned own = FakeIdentity(c.ownPath);
        EXPECT_EQ(1, RunProgram()) << c.label;  // the same whether or not it starts
        std::string start = "StartHidden " + c.comSpec + " | \"" + c.comSpec + "\" /c del \"" +
                            c.deleted + "\" >> NUL | ";
        Calls calls = CallsNamed({"ShowMessageBox", "StartHidden"});
        calls.resize(std::min<size_t>(calls.size(), 2));
        if (calls.size() == 2) calls[1].erase(calls[1].rfind('|') + 2);
        Calls expected = {kSuccess};
        if (!c.deleted.empty()) expected.push_back(start);
        EXPECT_EQ(expected, calls) << c.label;
        // del deletes this program or nothing.
        EXPECT_EQ(c.result ? own : 0u, fake.selfDeletedId) << c.label;
    }
}

TEST(ExactText, ConversionFlagsSuitEachCodePage) {
    struct Case {
        unsigned codePage;
        unsigned long flags;
        bool reportsDefault;
    } cases[] = {{1252, 0x400, true},
                 {932, 0x400, true},
                 {936, 0x400, true},
                 {65001, 0x80, false},
                 {54936, 0x80, false}};
    for (const Case& c : cases) {
        platform::ExactConversion how = platform::ExactConversionFor(c.codePage);
        EXPECT_EQ(c.flags, how.flags) << c.codePage;
        EXPECT_EQ(c.reportsDefault, how.reportsDefault) << c.codePage;
    }
}

}  // namespace
