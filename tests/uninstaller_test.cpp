#include "uninstaller/uninstaller.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/fake_platform.h"

namespace {

using Calls = std::vector<std::string>;

const char kQuestion[] =
    "MessageBoxA [Brindlewake Quillstead] 0x24 Are you sure you want to Uninstall ?";
const char kUnable[] = "MessageBoxA [Uninstall] 0x00 Unable to Uninstall";
const char kSuccess[] = "MessageBoxA [Brindlewake Quillstead] 0x40 Uninstall successful. BYE BYE !";
const char kSelfDelete[] =
    "ShellExecuteA C:\\windows\\system32\\cmd.exe | /c del \"C:\\Users\\me\\Temp\\Uninstall.exe\" "
    ">> NUL | 0";

std::string InUse(const std::string& directory) {
    std::string text = "Some Files are in use and cannot be deleted. Kindly delete\n\"" +
                       directory + "\"\nafter use.";
    return "MessageBoxA [Brindlewake Quillstead] 0x40 " + text.substr(0, 299);
}

std::string Problem(const std::string& path) {
    std::string text = "Problem Occurred while trying to delete the File:" + path;
    return "MessageBoxA [Uninstall] 0x00 " + text.substr(0, 299);
}

std::string Repeat(char c, size_t count) { return std::string(count, c); }

TEST(ModeSelection, ChoosesCourseFromArguments) {
    struct Case {
        Calls arguments;
        std::vector<int> answers;
        Calls expected;
        int status;
    } cases[] = {
        {{}, {7}, {"Sleep 500", kQuestion}, 1},
        {{},
         {6},
         {"Sleep 500", kQuestion,
          "CreateProcessA \"C:\\Apps\\Quillstead.exe\" Uninstall | C:\\Apps\\",
          "CloseHandle process", "CloseHandle thread"},
         1},
        {{"Install"}, {}, {"Sleep 500"}, 1},
        {{"/?", "C:\\T"}, {}, {"Sleep 500"}, 1},
        {{"Uninstallx", "C:\\T"}, {}, {"Sleep 500"}, 1},
        {{"Uninstal", "C:\\T"}, {}, {"Sleep 500"}, 1},
        {{"UNINSTALL", "C:\\T"}, {}, {"Sleep 500", kSuccess, kSelfDelete}, 1},
        {{"uninstall", "C:\\T", "extra"}, {}, {"Sleep 500", kSuccess, kSelfDelete}, 1},
        {{"Uninstall"}, {}, {"Sleep 500", kUnable, "Exit 0"}, 0},
    };
    for (const Case& c : cases) {
        ResetFake({"C:\\T\\"});
        fake.arguments.insert(fake.arguments.end(), c.arguments.begin(), c.arguments.end());
        fake.answers = c.answers;
        int status = RunProgram();
        std::string label = c.arguments.empty() ? "(none)" : c.arguments[0];
        EXPECT_EQ(c.expected, CallsNamed({"Sleep", "MessageBoxA", "CreateProcessA", "CloseHandle",
                                          "Exit", "ShellExecuteA"}))
            << label;
        EXPECT_EQ(c.status, status) << label;
    }
}

TEST(HandOff, StartsMainProgramFromWorkingDirectory) {
    std::string longest = "C:\\" + Repeat('a', 369);  // 372 characters
    const int kFailsToRead = 1, kFailsToStart = 2;
    struct Case {
        std::string workingDirectory;
        int failure;
        bool started;
    } cases[] = {
        {"C:\\Apps\\Tool", 0, true},
        {"C:\\", 0, true},
        {longest, 0, true},
        {longest + "b", 0, false},
        {"C:\\Apps", kFailsToRead, false},
        {"C:\\Apps", kFailsToStart, false},
    };
    for (const Case& c : cases) {
        ResetFake();
        fake.workingDirectory = c.workingDirectory;
        fake.workingDirectoryFails = c.failure == kFailsToRead;
        fake.processStarts = c.failure != kFailsToStart;
        fake.answers = {6};
        int status = RunProgram();
        // The directory is used as read, even when it ends in a backslash.
        std::string start = "CreateProcessA \"" + c.workingDirectory +
                            "\\Quillstead.exe\" Uninstall | " + c.workingDirectory + "\\";
        Calls expected = c.started ? Calls{start, "CloseHandle process", "CloseHandle thread"}
                         : c.failure == kFailsToStart ? Calls{start, kUnable, "Exit 0"}
                                                      : Calls{kUnable, "Exit 0"};
        Calls calls = CallsNamed({"MessageBoxA", "CreateProcessA", "CloseHandle", "Exit"});
        calls.erase(calls.begin());  // the question
        EXPECT_EQ(expected, calls) << c.workingDirectory;
        EXPECT_EQ(c.started ? 1 : 0, status) << c.workingDirectory;
    }
}

struct RemovalCase {
    const char* name;
    Calls tree;
    std::string directory;
    Calls expected;   // enumerations, deletions and messages, in order
    Calls remaining;  // what is left on drive C:
    std::string workingDirectory = "C:\\Apps";
};

TEST(Removal, DeletesTreeAndReportsWhatRemains) {
    std::string deepRoot = "C:\\" + Repeat('d', 200);  // entry paths: 204 + name
    std::string fits = Repeat('f', 55), cut = Repeat('c', 56), longDir = Repeat('e', 56);
    std::string shallow = Repeat('s', 54);             // its pattern would be 260
    std::string longRoot = "C:\\" + Repeat('r', 255);  // pattern would be 260
    RemovalCase cases[] = {
        {"depth first",
         {"C:\\T\\a", "C:\\T\\sub\\b", "C:\\T\\sub\\deep\\c", "C:\\T\\z"},
         "C:\\T",
         {"FindFirstFileA C:\\T\\*", "DeleteFileA C:\\T\\a", "FindFirstFileA C:\\T\\sub\\*",
          "DeleteFileA C:\\T\\sub\\b", "FindFirstFileA C:\\T\\sub\\deep\\*",
          "DeleteFileA C:\\T\\sub\\deep\\c", "RemoveDirectoryA C:\\T\\sub\\deep",
          "RemoveDirectoryA C:\\T\\sub", "DeleteFileA C:\\T\\z", "RemoveDirectoryA C:\\T",
          kSuccess},
         {}},
        {"only . and .. skipped",
         {"C:\\T\\...", "C:\\T\\.profile", "C:\\T\\..x", "C:\\T\\.d\\"},
         "C:\\T",
         {"FindFirstFileA C:\\T\\*", "DeleteFileA C:\\T\\...", "DeleteFileA C:\\T\\.profile",
          "DeleteFileA C:\\T\\..x", "FindFirstFileA C:\\T\\.d\\*", "RemoveDirectoryA C:\\T\\.d",
          "RemoveDirectoryA C:\\T", kSuccess},
         {}},
        {"read-only file deep in the tree",
         {"r:C:\\T\\a\\b\\ro.txt", "C:\\T\\a\\ok"},
         "C:\\T",
         {"FindFirstFileA C:\\T\\*", "FindFirstFileA C:\\T\\a\\*", "FindFirstFileA C:\\T\\a\\b\\*",
          "DeleteFileA C:\\T\\a\\b\\ro.txt", Problem("C:\\T\\a\\b\\ro.txt"),
          "RemoveDirectoryA C:\\T\\a\\b", "DeleteFileA C:\\T\\a\\ok", "RemoveDirectoryA C:\\T\\a",
          "RemoveDirectoryA C:\\T", InUse("C:\\T")},
         {"C:\\T\\", "C:\\T\\a\\", "C:\\T\\a\\b\\", "C:\\T\\a\\b\\ro.txt"}},
        {"file in use under a relative root",
         {"l:C:\\Apps\\Tool\\sub\\held.dll", "C:\\Apps\\Tool\\x"},
         "Tool",
         {"FindFirstFileA Tool\\*", "FindFirstFileA Tool\\sub\\*",
          "DeleteFileA Tool\\sub\\held.dll", Problem("Tool\\sub\\held.dll"),
          "RemoveDirectoryA Tool\\sub", "DeleteFileA Tool\\x", "RemoveDirectoryA Tool",
          InUse("Tool")},
         {"C:\\Apps\\", "C:\\Apps\\Tool\\", "C:\\Apps\\Tool\\sub\\",
          "C:\\Apps\\Tool\\sub\\held.dll"}},
        {"trailing backslash kept",
         {"C:\\T\\a", "l:C:\\T\\s\\b"},
         "C:\\T\\",
         {"FindFirstFileA C:\\T\\\\*", "DeleteFileA C:\\T\\\\a", "FindFirstFileA C:\\T\\\\s\\*",
          "DeleteFileA C:\\T\\\\s\\b", Problem("C:\\T\\\\s\\b"), "RemoveDirectoryA C:\\T\\\\s",
          "RemoveDirectoryA C:\\T\\", InUse("C:\\T\\")},
         {"C:\\T\\", "C:\\T\\s\\", "C:\\T\\s\\b"}},
        {"missing root",
         {},
         "C:\\Nope",
         {"FindFirstFileA C:\\Nope\\*", "RemoveDirectoryA C:\\Nope", InUse("C:\\Nope")},
         {}},
        {"root is a file",
         {"C:\\f.txt"},
         "C:\\f.txt",
         {"FindFirstFileA C:\\f.txt\\*", "RemoveDirectoryA C:\\f.txt", InUse("C:\\f.txt")},
         {"C:\\f.txt"}},
        {"directory link removed, not entered",
         {"j:C:\\T\\link\\", "C:\\T\\link\\precious"},
         "C:\\T",
         {"FindFirstFileA C:\\T\\*", "RemoveDirectoryA C:\\T\\link", "RemoveDirectoryA C:\\T",
          kSuccess},
         {}},
        {"directory link that cannot be removed is silent",
         {"l:j:C:\\T\\link\\", "j:C:\\T\\file-link"},
         "C:\\T",
         {"FindFirstFileA C:\\T\\*", "RemoveDirectoryA C:\\T\\link", "DeleteFileA C:\\T\\file-link",
          "RemoveDirectoryA C:\\T", InUse("C:\\T")},
         {"C:\\T\\", "C:\\T\\link\\"}},
        {"subdirectory that cannot be removed is silent",
         {"l:C:\\T\\sub\\"},
         "C:\\T",
         {"FindFirstFileA C:\\T\\*", "FindFirstFileA C:\\T\\sub\\*", "RemoveDirectoryA C:\\T\\sub",
          "RemoveDirectoryA C:\\T", InUse("C:\\T")},
         {"C:\\T\\", "C:\\T\\sub\\"}},
        {"paths that do not fit are never cut",
         {deepRoot + "\\" + fits, deepRoot + "\\" + cut, deepRoot + "\\" + longDir + "\\x",
          deepRoot + "\\" + shallow + "\\"},
         deepRoot,
         {"FindFirstFileA " + deepRoot + "\\*", "DeleteFileA " + deepRoot + "\\" + fits,
          Problem(deepRoot + "\\" + cut), "RemoveDirectoryA " + deepRoot + "\\" + shallow,
          "RemoveDirectoryA " + deepRoot, InUse(deepRoot)},
         {deepRoot + "\\", deepRoot + "\\" + cut, deepRoot + "\\" + longDir + "\\",
          deepRoot + "\\" + longDir + "\\x"}},
        {"root whose pattern does not fit is not enumerated",
         {longRoot + "\\x"},
         longRoot,
         {"RemoveDirectoryA " + longRoot, InUse(longRoot)},
         {longRoot + "\\", longRoot + "\\x"}},
    };
    for (const RemovalCase& c : cases) {
        ResetFake(c.tree);
        fake.workingDirectory = c.workingDirectory;
        fake.arguments = {"Uninstall.exe", "Uninstall", c.directory};
        DeleteFailed = 1;  // cleared at start-up
        EXPECT_EQ(1, RunProgram()) << c.name;
        EXPECT_EQ(c.expected,
                  CallsNamed({"FindFirstFileA", "DeleteFileA", "RemoveDirectoryA", "MessageBoxA"}))
            << c.name;
        EXPECT_EQ(c.remaining, ListTree("C:\\")) << c.name;
        EXPECT_EQ(0, fake.openFinds) << c.name;
        // The directory is released after the final message, before self-deletion.
        Calls tail(fake.calls.end() - std::min<size_t>(fake.calls.size(), 6), fake.calls.end());
        EXPECT_EQ((Calls{c.expected.back(), "Release " + c.directory, "GetModuleFileNameA",
                         "GetShortPathNameA C:\\Users\\me\\Temp\\Uninstall.exe",
                         "GetEnvironmentVariableA ComSpec", kSelfDelete}),
                  tail)
            << c.name;
    }
}

TEST(Removal, RefusesDriveAndShareRootsAndUnusableArguments) {
    const std::string kUnresolvable = "Tool\\unresolvable";
    // clang-format off
    Calls refused = {"", "\\", "C:", "C:\\", "c:\\Apps\\..", "C:\\Apps\\.\\..\\", "C:\\. .", "C:\\...",
        "..\\..", "\\\\server\\share", "\\\\server\\share\\", "\\\\server", "\\\\?\\C:\\",
        "\\\\?\\C:\\Apps\\..\\..", "\\\\?\\C:", "\\\\.\\C:\\", "\\\\?\\UNC\\server\\share",
        "\\\\?\\Volume{1}\\Apps", "C:\\" + Repeat('a', 297) /* 300 characters */, kUnresolvable};
    Calls accepted = {"C:\\Apps\\Tool", "Tool", "C:Tool", "C:\\Apps\\...", "\\\\server\\share\\dir",
        "\\\\?\\C:\\Apps", "\\\\?\\UNC\\server\\share\\dir", "C:\\Apps\\Tool\"", "C:\\Apps\\..\\Other",
        "C:\\*", "C:\\" + Repeat('a', 296) /* 299 characters */};
    // clang-format on
    for (bool refuses : {true, false}) {
        for (const std::string& directory : refuses ? refused : accepted) {
            ResetFake({"C:\\Apps\\Tool\\keep"});
            fake.fullPathFails = directory == kUnresolvable;
            fake.arguments = {"Uninstall.exe", "Uninstall", directory};
            int status = RunProgram();
            Calls actions = CallsNamed({"FindFirstFileA", "DeleteFileA", "RemoveDirectoryA",
                                        "MessageBoxA", "ShellExecuteA", "Exit"});
            if (refuses) {
                EXPECT_EQ((Calls{kUnable, "Exit 0"}), actions) << directory;
                EXPECT_EQ(0, status) << directory;
            } else {
                EXPECT_EQ(kSelfDelete, actions.back()) << directory;
                EXPECT_EQ(1, status) << directory;
            }
        }
    }
}

TEST(SelfDeletion, StartsHiddenQuotedDeleteOnlyWhenSafe) {
    const std::string cmd = "C:\\windows\\system32\\cmd.exe", spaced = "C:\\a b&c|d(e)^f<g>\\U.exe";
    const std::string longComSpec = "C:\\" + Repeat('c', 256);
    struct Case {
        const char* name;
        std::string modulePath, shortPath;  // shortPath "": no short form; "-": fails
        std::string comSpec;                // "-": unset
        long shellResult;
        std::string deleted;  // the path the started command deletes; "" when nothing starts
        int result;
    } cases[] = {
        // clang-format off
        {"plain", "C:\\Temp\\U.exe", "", cmd, 42, "C:\\Temp\\U.exe", 1},
        {"short form used", "C:\\Program Files\\U.exe", "C:\\PROGRA~1\\U.exe", cmd, 42, "C:\\PROGRA~1\\U.exe", 1},
        {"metacharacters stay quoted", spaced, "", cmd, 42, spaced, 1},
        {"own path unavailable", "", "", cmd, 42, "", 0},
        {"own path of 259", "C:\\" + Repeat('m', 256), "C:\\U.exe", cmd, 42, "C:\\U.exe", 1},
        {"own path cut at 260", "C:\\" + Repeat('m', 257), "C:\\U.exe", cmd, 42, "", 0},
        {"short path unavailable", "C:\\U.exe", "-", cmd, 42, "", 0},
        {"short path of 260", "C:\\U.exe", "C:\\" + Repeat('s', 257), cmd, 42, "", 0},
        {"parameters of 259", "C:\\U.exe", "C:\\" + Repeat('s', 240), cmd, 42, "C:\\" + Repeat('s', 240), 1},
        {"parameters of 260", "C:\\U.exe", "C:\\" + Repeat('s', 241), cmd, 42, "", 0},
        {"percent sign", "C:\\%OS%\\U.exe", "", cmd, 42, "", 0},
        {"double quote", "C:\\a\"b\\U.exe", "", cmd, 42, "", 0},
        {"ComSpec unset", "C:\\U.exe", "", "-", 42, "", 0},
        {"ComSpec of 259", "C:\\U.exe", "", longComSpec, 42, "C:\\U.exe", 1},
        {"ComSpec cut at 260", "C:\\U.exe", "", longComSpec + "c", 42, "", 0},
        {"start fails", "C:\\U.exe", "", cmd, 32, "C:\\U.exe", 0},
        {"start error is negative", "C:\\U.exe", "", cmd, -5, "C:\\U.exe", 0},
        {"started", "C:\\U.exe", "", cmd, 33, "C:\\U.exe", 1},
        // clang-format on
    };
    for (const Case& c : cases) {
        ResetFake();
        fake.modulePath = c.modulePath;
        if (c.shortPath.size() > 1) fake.shortPaths[c.modulePath] = c.shortPath;
        fake.shortPathFails = c.shortPath == "-";
        fake.hasComSpec = c.comSpec != "-";
        fake.comSpec = c.comSpec;
        fake.shellResult = c.shellResult;
        EXPECT_EQ(c.result, ScheduleSelfDelete()) << c.name;
        Calls expected;
        if (!c.deleted.empty())
            expected = {"ShellExecuteA " + c.comSpec + " | /c del \"" + c.deleted +
                        "\" >> NUL | 0"};
        EXPECT_EQ(expected, CallsNamed({"ShellExecuteA"})) << c.name;
    }
}

}  // namespace
