// A scripted stand-in for the platform layer: an in-memory file tree, a
// working directory, scripted answers and results, and a log of every call.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FakeEntry {
    std::string name;
    unsigned long attributes = 0;
    bool locked = false;  // in use: neither deleted nor removed
    std::vector<FakeEntry> children;
};

struct FakeWorld {
    std::vector<std::string> arguments = {"Uninstall.exe"};
    std::string workingDirectory = "C:\\Apps";
    bool workingDirectoryFails = false;
    bool processStarts = true;
    std::vector<int> answers;  // MessageBoxA results, in order; then IDOK/IDNO

    // "" makes the call fail (report 0).
    std::string modulePath = "C:\\Users\\me\\Temp\\Uninstall.exe";
    std::map<std::string, std::string> shortPaths;  // long -> short; unlisted: unchanged
    bool shortPathFails = false;
    bool hasComSpec = true;
    std::string comSpec = "C:\\windows\\system32\\cmd.exe";
    long shellResult = 42;
    bool fullPathFails = false;
    // Positions in `calls` at which FindFirstFileA, DeleteFileA,
    // RemoveDirectoryA or GetFullPathNameA fails whatever the tree holds.
    std::set<size_t> failingCalls;

    // Volumes by name ("C:", "\\server\share"), each a directory.
    std::map<std::string, FakeEntry> volumes;

    std::vector<std::string> calls;
    int openFinds = 0;
};

extern FakeWorld fake;

// Starts a fresh world with drive C: and the given tree. Each path names a
// file, or a directory when it ends in "\". Prefixes: "r:" read-only,
// "l:" locked, "j:" directory link (or file link without the trailing "\").
void ResetFake(const std::vector<std::string>& tree = {});

// Every path still present under `root`, files and directories ("\" ending).
std::vector<std::string> ListTree(const std::string& root);

// The full path the fake resolves `path` to, as GetFullPathNameA would.
std::string FakeFullPath(const std::string& path);

// Where the fake looks `path` up: its volume, then each name below it after
// one backslash.
std::string FakeKey(const std::string& path);

// The calls whose name is one of `names`, in order.
std::vector<std::string> CallsNamed(const std::vector<std::string>& names);

// Runs WinMain and returns the process's exit status.
int RunProgram();
