// A scripted stand-in for the platform layer: a flat map of entries by path,
// a working directory, scripted answers and failures, and a log of every call.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FakeEntry {
    unsigned long attributes = platform::kFileAttributeDirectory;
    bool locked = false;   // in use: neither deleted nor removed
    std::string listedAs;  // the ANSI name listings give it, when best fit changes it
    // What listings say its attributes are, when their word is stale.
    unsigned long listedAttributes = platform::kInvalidFileAttributes;
    unsigned id = 0;  // its file index; AddFakeEntry gives each a new one
};

// An open handle: ours (a hold) or another program's. The system records its
// share mode only when its access asks for data (see kDataAccess).
struct FakeOpen {
    std::string key;
    unsigned long access, share;
    bool inheritable = false;
};
const unsigned long kShareRead = 1, kShareWrite = 2, kShareDelete = 4, kShareAll = 7,
                    kDeleteAccess = 0x10000;

// ---- The folders the system keeps, as the kept-folder check reads them ----
// Paths as the system reports them; each must name entries of the world to
// be found. Links here lead elsewhere: a call that opens through one lands at
// its target, and final paths name where it leads.
struct FakeSystemFolders {
    std::string windows = "C:\\windows";
    std::string ownProfile;                       // "": not reported
    std::vector<std::string> userFolders;         // registered for the running user
    std::vector<std::string> desktopUserFolders;  // for the user at the desktop
    std::vector<std::string> fixedFolders;        // system, temporary, Program Files
    std::string profilesFolder = "C:\\Users";     // listed for its profiles
    std::vector<std::string> profileList;         // ProfileImagePath values
    std::map<std::string, std::string> links;     // a link's key -> its target's key
    // Keys whose final path cannot be read ("*": none can).
    std::set<std::string> noFinalPath;
};

struct FakeWorld {
    std::vector<std::string> arguments = {"Uninstall.exe"};
    std::string workingDirectory = "C:\\Apps";
    int answer = 7;  // the button pressed at the question (IDNO)
    std::string ownPath = "C:\\Users\\me\\Temp\\Uninstall.exe";
    std::map<std::string, std::string> shortPaths;  // long -> short; unlisted: unchanged
    std::string comSpec = "C:\\windows\\system32\\cmd.exe";
    // Calls that fail, by name ("DeleteFileA") or as logged ("DeleteFileA C:\T\a").
    std::set<std::string> failing;
    std::set<int> inexact;    // the AnsiValues whose ANSI form is not exact
    bool doubleByte = false;  // code page 932, where "\x95\\" is one character

    // Entries by volume ("C:", "\\srv\share") and real names, each after one
    // backslash. Below a link lies what is seen through it, which outlives
    // the link's removal.
    std::map<std::string, FakeEntry> entries;

    std::vector<std::string> calls;
    std::map<platform::Handle, FakeOpen> holds;      // our open holds
    std::map<platform::Handle, std::string> probes;  // our attribute-only opens
    std::vector<FakeOpen> others;                    // other programs' opens
    // At the process's end: the holds still open then, those the interpreter
    // inherited, and the entry its del deleted ("" for none).
    std::vector<std::string> heldAtExit;
    std::vector<FakeOpen> inherited;
    std::string selfDeleted;
    unsigned selfDeletedId = 0;
    // Another program's turn, before each call is logged (its number given).
    void (*actor)(size_t call) = nullptr;
    std::map<platform::Handle, std::vector<platform::FindEntry>> finds;  // open listings
    std::set<platform::HeldListing*> listings;                           // open listings by handle
    std::set<unsigned> vault;  // identities another program put behind its links
    FakeSystemFolders system;
};

extern FakeWorld fake;

// Starts a fresh world with drive C: and the given entries by key, a folder
// when it ends in "\".
void ResetFake(const std::vector<std::string>& tree = {}, bool doubleByte = false);
// Adds an entry and the folders on the way to it.
void AddFakeEntry(const std::string& key, const FakeEntry& entry);

// The key the file calls find `path` at ("\??\D:\x" is D:\x there).
std::string FakeKey(const std::string& path);
// What GetFullPath makes of `path` ("\??\D:\x" is C:\??\D:\x there).
std::string FakeFullPath(const std::string& path);
// How much of `key` names its volume.
size_t FakeVolumeLength(const std::string& key);

// How another program makes the path `key` lead elsewhere.
enum FakeSwap {
    kRenameSwap,  // renames the entry and puts a link in its place, as sharing allows
    kHostSwap,    // the same from outside Windows (Wine's host), whatever the sharing
    kMountEmpty,  // turns an empty folder into a mount point, held or not
    kRepoint,     // points an existing link elsewhere
};
// Another program changes where `key` leads: below it then lie other files of
// the shape it held (and one more), whose identities join fake.vault. Opens
// stay bound to what they opened, which the fake keeps at key + "~". False
// when the system forbids it.
bool FakeReplaceWithLink(const std::string& key, FakeSwap how = kRenameSwap);
// The identity's file index of what `path` opens; 0 when nothing.
unsigned FakeIdentity(const std::string& path);

// The calls whose name is one of `names`, in order.
std::vector<std::string> CallsNamed(const std::vector<std::string>& names);

// Runs WinMain and returns the process's exit status; -1 when it runs away.
// Then the process ends, another program has its turn, and the interpreter,
// if started, runs its del and ends.
int RunProgram();
