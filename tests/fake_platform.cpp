#include "tests/fake_platform.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "uninstaller/uninstaller.h"

FakeWorld fake;

namespace {

jmp_buf exitJump;
int exitStatus = 0;
std::vector<char*> argumentPointers;

struct OpenFind {
    std::vector<platform::FindEntry> entries;
    size_t next = 0;
};
std::map<int, OpenFind> finds;
int nextFind = 100;

platform::Handle const kProcess = reinterpret_cast<platform::Handle>(1);
platform::Handle const kThread = reinterpret_cast<platform::Handle>(2);

void Log(const std::string& call) { fake.calls.push_back(call); }

// Whether the call just logged is one scripted to fail.
bool Fails() { return fake.failingCalls.count(fake.calls.size() - 1) != 0; }

std::vector<std::string> Split(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Splits a full path into its volume and the components below it.
std::string VolumeOf(const std::string& full, std::vector<std::string>* components) {
    std::vector<std::string> parts = Split(full);
    size_t skip = full.compare(0, 2, "\\\\") == 0 ? 4 : 1;  // "", "", server, share
    std::string volume = full.compare(0, 2, "\\\\") == 0 && parts.size() >= 4
                             ? "\\\\" + parts[2] + "\\" + parts[3]
                             : parts[0];
    components->clear();
    for (size_t i = skip; i < parts.size(); ++i) {
        if (!parts[i].empty()) components->push_back(parts[i]);
    }
    return volume;
}

// The entry a path names, with its parent; nullptr when absent.
FakeEntry* Lookup(const std::string& path, FakeEntry** parent = nullptr) {
    std::vector<std::string> components;
    std::string volume = VolumeOf(FakeFullPath(path), &components);
    auto found = fake.volumes.find(volume);
    if (found == fake.volumes.end()) return nullptr;
    FakeEntry* entry = &found->second;
    if (parent) *parent = nullptr;
    for (const std::string& name : components) {
        auto child = std::find_if(entry->children.begin(), entry->children.end(),
                                  [&](const FakeEntry& e) { return e.name == name; });
        if (child == entry->children.end()) return nullptr;
        if (parent) *parent = entry;
        entry = &*child;
    }
    return entry;
}

bool IsDirectory(const FakeEntry& entry) {
    return (entry.attributes & platform::kFileAttributeDirectory) != 0;
}

void Erase(FakeEntry* parent, FakeEntry* entry) {
    parent->children.erase(parent->children.begin() + (entry - parent->children.data()));
}

// Copies `value` the way the string-returning Win32 calls do: the length on
// success, the size needed (terminator included) when it does not fit.
unsigned long Deliver(const std::string& value, char* buffer, unsigned long size) {
    if (value.size() + 1 > size) return value.size() + 1;
    memcpy(buffer, value.c_str(), value.size() + 1);
    return value.size();
}

void List(const FakeEntry& entry, const std::string& path, std::vector<std::string>* out) {
    for (const FakeEntry& child : entry.children) {
        std::string childPath = path + "\\" + child.name;
        out->push_back(childPath + (IsDirectory(child) ? "\\" : ""));
        if (IsDirectory(child)) List(child, childPath, out);
    }
}

}  // namespace

std::string FakeFullPath(const std::string& path) {
    if (path.compare(0, 4, "\\\\?\\") == 0) return path;  // taken literally
    std::string cwd = fake.workingDirectory;
    std::string full;
    if (path.compare(0, 2, "\\\\") == 0) {
        full = path;
    } else if (path.size() >= 2 && path[1] == ':') {
        bool sameDrive = toupper(path[0]) == toupper(cwd[0]);
        if (path.size() > 2 && path[2] == '\\')
            full = path;
        else
            full = (sameDrive ? cwd : path.substr(0, 2)) + "\\" + path.substr(2);
    } else if (!path.empty() && path[0] == '\\') {
        full = cwd.substr(0, 2) + path;
    } else {
        full = cwd + "\\" + path;
    }
    std::vector<std::string> components;
    std::string volume = VolumeOf(full, &components);
    std::vector<std::string> kept;
    for (const std::string& name : components) {
        if (name == "..") {
            if (!kept.empty()) kept.pop_back();
        } else if (name != ".") {
            kept.push_back(name);
        }
    }
    std::string result = volume;
    for (const std::string& name : kept) result += "\\" + name;
    if (kept.empty() || path.back() == '\\') result += "\\";
    return result;
}

std::string FakeKey(const std::string& path) {
    std::vector<std::string> components;
    std::string key = VolumeOf(FakeFullPath(path), &components);
    for (const std::string& name : components) key += "\\" + name;
    return key;
}

void ResetFake(const std::vector<std::string>& tree) {
    fake = FakeWorld();
    fake.volumes["C:"].attributes = platform::kFileAttributeDirectory;
    for (std::string path : tree) {
        FakeEntry flags;
        while (path.size() > 2 && path[1] == ':' && strchr("rlj", path[0])) {
            if (path[0] == 'r') flags.attributes |= 0x1;
            if (path[0] == 'l') flags.locked = true;
            if (path[0] == 'j') flags.attributes |= platform::kFileAttributeReparsePoint;
            path = path.substr(2);
        }
        bool directory = path.back() == '\\';
        std::vector<std::string> components;
        std::string volume = VolumeOf(path, &components);
        FakeEntry* entry = &fake.volumes[volume];
        entry->attributes |= platform::kFileAttributeDirectory;
        for (size_t i = 0; i < components.size(); ++i) {
            auto& children = entry->children;
            auto child = std::find_if(children.begin(), children.end(),
                                      [&](const FakeEntry& e) { return e.name == components[i]; });
            if (child == children.end()) {
                children.push_back(
                    FakeEntry{components[i], platform::kFileAttributeDirectory, false, {}});
                child = children.end() - 1;
            }
            entry = &*child;
        }
        entry->attributes = flags.attributes | (directory ? platform::kFileAttributeDirectory : 0);
        entry->locked = flags.locked;
    }
}

std::vector<std::string> ListTree(const std::string& root) {
    std::vector<std::string> out;
    std::string base = root.back() == '\\' ? root.substr(0, root.size() - 1) : root;
    if (const FakeEntry* entry = Lookup(root)) List(*entry, base, &out);
    return out;
}

std::vector<std::string> CallsNamed(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (const std::string& call : fake.calls) {
        std::string name = call.substr(0, call.find(' '));
        if (std::find(names.begin(), names.end(), name) != names.end()) out.push_back(call);
    }
    return out;
}

int RunProgram() {
    argumentPointers.clear();
    for (std::string& argument : fake.arguments) argumentPointers.push_back(&argument[0]);
    argumentPointers.push_back(nullptr);
    finds.clear();
    if (setjmp(exitJump) == 0) return WinMain(nullptr, nullptr, nullptr, 0);
    return exitStatus;
}

namespace platform {

void Sleep(unsigned long milliseconds) { Log("Sleep " + std::to_string(milliseconds)); }

char** GetArgumentVector(int* count) {
    *count = static_cast<int>(fake.arguments.size());
    return argumentPointers.data();
}

int StrICmp(const char* a, const char* b) {
    for (;; ++a, ++b) {
        int x = (*a >= 'A' && *a <= 'Z') ? *a + 32 : *a;
        int y = (*b >= 'A' && *b <= 'Z') ? *b + 32 : *b;
        if (x != y || !x) return x - y;
    }
}

int MessageBoxA(const char* text, const char* caption, unsigned style) {
    char styleText[16];
    snprintf(styleText, sizeof styleText, "0x%02x", style);
    Log(std::string("MessageBoxA [") + caption + "] " + styleText + " " + text);
    if (!fake.answers.empty()) {
        int answer = fake.answers.front();
        fake.answers.erase(fake.answers.begin());
        return answer;
    }
    return (style & kMbYesNo) ? 7 : 1;
}

char* GetCwd(char* buffer, int size) {
    Log("GetCwd");
    if (fake.workingDirectoryFails) return nullptr;
    if (Deliver(fake.workingDirectory, buffer, size) >= static_cast<unsigned long>(size))
        return nullptr;
    return buffer;
}

int CreateProcessA(char* commandLine, const char* currentDirectory, ProcessHandles* started) {
    Log(std::string("CreateProcessA ") + commandLine + " | " + currentDirectory);
    if (!fake.processStarts) return 0;
    started->process = kProcess;
    started->thread = kThread;
    return 1;
}

int CloseHandle(Handle handle) {
    Log(handle == kProcess  ? "CloseHandle process"
        : handle == kThread ? "CloseHandle thread"
                            : "CloseHandle ?");
    return 1;
}

void Exit(int status) {
    Log("Exit " + std::to_string(status));
    exitStatus = status;
    longjmp(exitJump, 1);
}

Handle FindFirstFileA(const char* pattern, FindEntry* entry) {
    Log(std::string("FindFirstFileA ") + pattern);
    std::string text = pattern;
    if (Fails() || text.size() < 2 || text.compare(text.size() - 2, 2, "\\*") != 0)
        return InvalidHandle();
    std::string directory = text.substr(0, text.size() - 2);
    const FakeEntry* found = Lookup(directory.empty() ? "\\" : directory);
    if (!found || !IsDirectory(*found)) return InvalidHandle();
    OpenFind open;
    open.entries.push_back(FindEntry{kFileAttributeDirectory, "."});
    open.entries.push_back(FindEntry{kFileAttributeDirectory, ".."});
    for (const FakeEntry& child : found->children) {
        FindEntry item{child.attributes, {}};
        snprintf(item.name, sizeof item.name, "%s", child.name.c_str());
        open.entries.push_back(item);
    }
    int id = nextFind++;
    finds[id] = open;
    ++fake.openFinds;
    Handle handle = reinterpret_cast<Handle>(static_cast<intptr_t>(id));
    FindNextFileA(handle, entry);
    return handle;
}

int FindNextFileA(Handle find, FindEntry* entry) {
    OpenFind& open = finds.at(static_cast<int>(reinterpret_cast<intptr_t>(find)));
    if (open.next >= open.entries.size()) return 0;
    *entry = open.entries[open.next++];
    return 1;
}

int FindClose(Handle find) {
    Log("FindClose");
    finds.erase(static_cast<int>(reinterpret_cast<intptr_t>(find)));
    --fake.openFinds;
    return 1;
}

int DeleteFileA(const char* path) {
    Log(std::string("DeleteFileA ") + path);
    FakeEntry* parent = nullptr;
    FakeEntry* entry = Lookup(path, &parent);
    if (Fails() || !entry || !parent || IsDirectory(*entry) || entry->locked ||
        (entry->attributes & 0x1))
        return 0;
    Erase(parent, entry);
    return 1;
}

int RemoveDirectoryA(const char* path) {
    Log(std::string("RemoveDirectoryA ") + path);
    FakeEntry* parent = nullptr;
    FakeEntry* entry = Lookup(path, &parent);
    if (Fails() || !entry || !parent || !IsDirectory(*entry) || entry->locked) return 0;
    bool link = (entry->attributes & kFileAttributeReparsePoint) != 0;
    if (!link && !entry->children.empty()) return 0;
    Erase(parent, entry);
    return 1;
}

unsigned long GetModuleFileNameA(char* buffer, unsigned long size) {
    Log("GetModuleFileNameA");
    const std::string& path = fake.modulePath;
    if (path.size() < size) return Deliver(path, buffer, size);
    memcpy(buffer, path.c_str(), size - 1);  // cut, as Windows does
    buffer[size - 1] = '\0';
    return size;
}

unsigned long GetShortPathNameA(const char* longPath, char* shortPath, unsigned long size) {
    Log(std::string("GetShortPathNameA ") + longPath);
    if (fake.shortPathFails) return 0;
    auto found = fake.shortPaths.find(longPath);
    return Deliver(found != fake.shortPaths.end() ? found->second : std::string(longPath),
                   shortPath, size);
}

unsigned long GetEnvironmentVariableA(const char* name, char* buffer, unsigned long size) {
    Log(std::string("GetEnvironmentVariableA ") + name);
    if (!fake.hasComSpec || strcmp(name, "ComSpec") != 0) return 0;
    return Deliver(fake.comSpec, buffer, size);
}

unsigned long GetFullPathNameA(const char* path, char* buffer, unsigned long size) {
    Log(std::string("GetFullPathNameA ") + path);
    if (fake.fullPathFails || Fails()) return 0;
    return Deliver(FakeFullPath(path), buffer, size);
}

long ShellExecuteA(const char* file, const char* parameters, int showCommand) {
    Log(std::string("ShellExecuteA ") + file + " | " + parameters + " | " +
        std::to_string(showCommand));
    return fake.shellResult;
}

char* Allocate(size_t size) { return static_cast<char*>(malloc(size)); }

void Release(char* buffer) {
    Log(std::string("Release ") + buffer);
    free(buffer);
}

}  // namespace platform
