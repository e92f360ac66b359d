// libFuzzer harness: runs the whole program against the fake platform with
// the arguments, working directory, tree, failing calls and reported paths
// all decoded from the input, then checks on the logged calls that nothing
// outside the removal root is touched and no path reaches the platform cut.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/fake_platform.h"

namespace {

using platform::kFileAttributeDirectory;
using platform::kFileAttributeReparsePoint;

// Input layout; each choice is one byte, and a missing byte reads as 0:
//   flags (bits below), argument count, keyword, up to three arguments (texts),
//   working-directory volume, working directory, module path, short path,
//   ComSpec (texts), entry count, then per entry: parent, attributes, name
//   (text); last, the failing-call count and positions.
// A text is a count of pieces, each either a fragment of kPieces or a run of
// one letter whose length is the next byte, so paths of any length up to
// about 1300 arise, including 259 and 260.
enum Flags {
    kAnswerYes = 1,
    kNoWorkingDirectory = 2,
    kMainProgramFails = 4,
    kOwnShortPath = 8,
    kNoComSpec = 16,
    kShellFails = 32,
    kNoTree = 64,
    kRootIsFile = 128,
};
enum EntryBits { kDirectory = 1, kReadOnly = 2, kLocked = 4, kLink = 8 };

// clang-format off
const char* const kPieces[] = {"\\", "C:", "T", ".", "..", "...", " ", "%", "\"", "&", "D:", "x y",
    "\\\\srv\\share", "^(", "\\\\?\\", "\\\\.\\", "%ComSpec%", ".profile"};
// clang-format on
const char* const kKeywords[] = {"Uninstall", "UNINSTALL", "uninstall", "Uninstal", "Uninstall."};
const char* const kVolumes[] = {"C:\\", "D:\\", "\\\\srv\\share\\"};
template <typename T, size_t N>
size_t Count(T (&)[N]) {
    return N;
}

struct Reader {
    const uint8_t* data;
    size_t size;
    unsigned Byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    std::string Text() {
        std::string text;
        for (unsigned pieces = Byte() % 6; pieces > 0; --pieces) {
            unsigned choice = Byte();
            if (choice % 2 == 0)
                text += kPieces[choice / 2 % Count(kPieces)];
            else
                text.append(Byte(), static_cast<char>('a' + choice / 2 % 26));
        }
        return text;
    }
};

void Require(bool holds, const char* property, const std::string& call) {
    if (holds) return;
    for (const std::string& logged : fake.calls) fprintf(stderr, "  | %s\n", logged.c_str());
    fprintf(stderr, "VIOLATED: %s\n  at: %s\n", property, call.c_str());
    abort();
}

// Every entry in the world, by full path, with its attributes.
void Snapshot(const std::string& path, const FakeEntry& entry,
              std::map<std::string, unsigned long>* out) {
    (*out)[path] = entry.attributes;
    for (const FakeEntry& child : entry.children) Snapshot(path + "\\" + child.name, child, out);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The properties every run must have, whatever the input.
void Check(const std::map<std::string, unsigned long>& before) {
    const std::vector<std::string>& arguments = fake.arguments;
    bool removing =
        arguments.size() >= 3 && platform::StrICmp(arguments[1].c_str(), "Uninstall") == 0;
    std::string root = removing ? arguments[2] : "";
    std::string inside = FakeKey(root + "\\") + "\\";
    // A volume's root is its own parent. The fake takes whatever follows "\\?\"
    // or "\\.\" for a volume name; the platform takes only a drive or share.
    std::string probe = FakeFullPath(root + "\\");
    if (StartsWith(probe, "\\\\?\\") || StartsWith(probe, "\\\\.\\")) probe.erase(0, 4);
    bool volume = FakeFullPath(probe + "..\\") == FakeFullPath(probe + ".\\");
    bool refused = root.empty() || root.size() > 299 || volume;
    for (const std::string& call : fake.calls) refused = refused || StartsWith(call, "Exit");

    auto own = fake.shortPaths.find(fake.modulePath);
    std::string target = own == fake.shortPaths.end() ? fake.modulePath : own->second;
    const std::string& cwd = fake.workingDirectory;
    std::set<std::string> seen;
    for (const std::string& call : fake.calls) {
        size_t space = call.find(' ');
        std::string op = call.substr(0, space);
        std::string path = space == std::string::npos ? "" : call.substr(space + 1);
        bool tree = op == "DeleteFileA" || op == "RemoveDirectoryA" || op == "FindFirstFileA";
        if (tree || op == "ShellExecuteA") {
            Require(removing && !refused, "acts without an accepted removal root", call);
            Require(seen.insert(call).second, "repeats a call", call);
        }
        if (op == "ShellExecuteA")
            Require(target.find_first_of("%\"") == std::string::npos &&
                        call == "ShellExecuteA " + fake.comSpec + " | /c del \"" + target +
                                    "\" >> NUL | 0",
                    "self-deletion is not one quoted del of the own short path", call);
        if (op == "GetShortPathNameA") Require(path == fake.modulePath, "own path cut", call);
        if (op == "GetFullPathNameA") Require(path == root + "\\", "root probe altered", call);
        if (op == "CreateProcessA")
            Require(
                call == "CreateProcessA \"" + cwd + "\\Quillstead.exe\" Uninstall | " + cwd + "\\",
                "hand-off command line or directory cut", call);
        if (!tree) continue;

        bool listing = op == "FindFirstFileA";
        // The root itself may be removed as passed, whatever its length.
        Require(path.size() < 260 || (op == "RemoveDirectoryA" && path == root),
                "path does not fit in 260 bytes", call);
        if (listing) {
            Require(path.size() >= 2 && path.compare(path.size() - 2, 2, "\\*") == 0,
                    "pattern is not a directory listing", call);
            path.resize(path.size() - 2);
        }
        if (path == root && op != "DeleteFileA") continue;  // the root's listing and removal
        std::string full = path.empty() ? "" : FakeKey(path);
        Require(full.size() > inside.size() && StartsWith(full, inside), "outside the root", call);
        auto entry = before.find(full);
        Require(entry != before.end(), "names no entry of the tree: a cut path?", call);
        Require(
            !listing || (entry->second & (kFileAttributeDirectory | kFileAttributeReparsePoint)) ==
                            kFileAttributeDirectory,
            "lists a file or follows a link", call);
    }
    Require(fake.openFinds == 0, "leaves a listing open", "(end)");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    unsigned flags = in.Byte();
    std::vector<std::string> arguments = {"Uninstall.exe"};
    unsigned count = in.Byte() % 5, keyword = in.Byte() % (Count(kKeywords) + 1);
    for (unsigned i = 1; i < count; ++i) {
        bool text = i > 1 || keyword == Count(kKeywords);
        arguments.push_back(text ? in.Text() : kKeywords[keyword]);
    }
    std::string cwd = kVolumes[in.Byte() % Count(kVolumes)] + in.Text();
    std::string modulePath = in.Text(), shortPath = in.Text(), comSpec = in.Text();

    // The tree lies where the root resolves, so that every run removes one.
    fake.workingDirectory = cwd;
    std::string base = FakeFullPath((arguments.size() >= 3 ? arguments[2] : "T") + "\\");
    std::vector<std::string> tree, directories = {""};
    std::string rootEntry = flags & kRootIsFile ? base.substr(0, base.size() - 1) : base;
    if (!(flags & kNoTree) && !rootEntry.empty()) tree.push_back(rootEntry);
    for (unsigned entries = in.Byte() % 16; entries > 0; --entries) {
        std::string parent = directories[in.Byte() % directories.size()];
        unsigned bits = in.Byte();
        std::string name = in.Text().substr(0, 255);
        if (name.empty() || (flags & (kNoTree | kRootIsFile))) continue;
        std::string prefix = std::string(bits & kReadOnly ? "r:" : "") +
                             (bits & kLocked ? "l:" : "") + (bits & kLink ? "j:" : "");
        tree.push_back(prefix + base + parent + name + (bits & kDirectory ? "\\" : ""));
        if (bits & kDirectory) directories.push_back(parent + name + "\\");
    }
    ResetFake(tree);
    for (unsigned failing = in.Byte() % 4; failing > 0; --failing)
        fake.failingCalls.insert(in.Byte());

    fake.arguments = arguments;
    fake.workingDirectory = cwd;
    fake.workingDirectoryFails = flags & kNoWorkingDirectory;
    fake.processStarts = !(flags & kMainProgramFails);
    fake.answers = {flags & kAnswerYes ? platform::kIdYes : 7};
    fake.modulePath = modulePath;
    if (flags & kOwnShortPath) fake.shortPaths[modulePath] = shortPath;
    fake.hasComSpec = !(flags & kNoComSpec);
    fake.comSpec = comSpec;
    fake.shellResult = flags & kShellFails ? 2 : 42;

    std::map<std::string, unsigned long> before;
    for (const auto& volume : fake.volumes) Snapshot(volume.first, volume.second, &before);
    RunProgram();
    Check(before);
    return 0;
}
