// The platform operations over the real Win32 and MSVCRT calls: one thin
// wrapper each, passing the raw result through.
// <windows.h> must come before the other system headers.
#include <windows.h>

#include <direct.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

// Arguments are taken literally: "*" in a directory name is not a pattern.
extern "C" {
int _dowildcard = 0;
}

static_assert(platform::kMaxPath == MAX_PATH, "MAX_PATH");
static_assert(platform::kMbOk == MB_OK && platform::kMbYesNo == MB_YESNO, "MB_ styles");
static_assert(platform::kMbIconQuestion == MB_ICONQUESTION, "MB_ICONQUESTION");
static_assert(platform::kMbIconInformation == MB_ICONINFORMATION, "MB_ICONINFORMATION");
static_assert(platform::kIdYes == IDYES, "IDYES");
static_assert(platform::kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY, "directory bit");
static_assert(platform::kFileAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT, "reparse bit");
static_assert(platform::kInvalidFileAttributes == INVALID_FILE_ATTRIBUTES, "no attributes");
static_assert(platform::kHoldAccess == (FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES), "hold access");
static_assert(platform::kWcNoBestFitChars == WC_NO_BEST_FIT_CHARS, "WC_NO_BEST_FIT_CHARS");
static_assert(platform::kWcErrInvalidChars == WC_ERR_INVALID_CHARS, "WC_ERR_INVALID_CHARS");
static_assert(platform::kCodePageUtf8 == CP_UTF8, "CP_UTF8");
static_assert(sizeof(platform::WideChar) == sizeof(WCHAR), "UTF-16 code unit");

namespace platform {

namespace {

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Converts Unicode to ANSI with nothing replaced by a look-alike: false when
// some character has no exact form, or the result does not fit.
bool ConvertExactly(const WCHAR* text, char* buffer, int size) {
    static const ExactConversion how = ExactConversionFor(::GetACP());
    BOOL usedDefault = FALSE;
    int length = ::WideCharToMultiByte(CP_ACP, how.flags, text, -1, buffer, size, nullptr,
                                       how.reportsDefault ? &usedDefault : nullptr);
    return length > 0 && !usedDefault;
}

// Fills in the names of an entry whose `wideName` and `wideLength` are set.
void ConvertEntryName(FindEntry* entry) {
    const WCHAR* wide = reinterpret_cast<const WCHAR*>(entry->wideName);
    entry->exact = entry->wideLength > 0 && ConvertExactly(wide, entry->name, sizeof entry->name);
    // Shown only: the form an ANSI listing would give, as much as fits.
    if (!entry->exact && !::WideCharToMultiByte(CP_ACP, 0, wide, -1, entry->name,
                                                sizeof entry->name, nullptr, nullptr))
        entry->name[0] = '\0';
    entry->name[sizeof entry->name - 1] = '\0';
}

void CopyEntry(const WIN32_FIND_DATAW& data, FindEntry* entry) {
    entry->attributes = data.dwFileAttributes;
    memcpy(entry->wideName, data.cFileName, sizeof entry->wideName);
    entry->wideName[kMaxPath - 1] = 0;
    entry->wideLength = ::lstrlenW(reinterpret_cast<const WCHAR*>(entry->wideName));
    ConvertEntryName(entry);
}

FARPROC LookUp(HMODULE module, const char* name) {
    return module ? ::GetProcAddress(module, name) : nullptr;
}

template <typename Proc>
Proc LookUpIn(HMODULE module, const char* name) {
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(LookUp(module, name)));
}

HMODULE Kernel() { return ::GetModuleHandleA("KERNEL32.DLL"); }

// SHELL32, loaded by its full path in the system folder and never by its name
// alone: nothing beside the program may stand in for it.
HMODULE Shell() {
    static HMODULE shell = nullptr;
    static bool tried = false;
    if (tried) return shell;
    tried = true;
    char path[MAX_PATH];
    const char kName[] = "\\SHELL32.DLL";
    UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + sizeof kName > MAX_PATH) return nullptr;
    memcpy(path + length, kName, sizeof kName);
    shell = ::LoadLibraryA(path);
    return shell;
}

}  // namespace

void Sleep(unsigned long milliseconds) { ::Sleep(milliseconds); }

char** GetArgumentVector(int* count) {
    *count = __argc;
    return __argv;
}

int StrICmp(const char* a, const char* b) { return ::_stricmp(a, b); }

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    return ::MessageBoxA(nullptr, text, caption, style);
}

char* GetCwd(char* buffer, int size) { return ::_getcwd(buffer, size); }

int StartProcess(char* commandLine, const char* currentDirectory, ProcessHandles* started) {
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    BOOL ok = ::CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                               currentDirectory, &startup, &process);
    started->process = process.hProcess;
    started->thread = process.hThread;
    return ok;
}

int CloseHandle(Handle handle) { return ::CloseHandle(handle); }

void Exit(int status) { ::exit(status); }

// The pattern is exact, made of an exact root and exact listed names, so its
// Unicode form is the path's own.
Handle FindFirstEntry(const char* pattern, FindEntry* entry) {
    WCHAR widePattern[MAX_PATH];
    if (!::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pattern, -1, widePattern, MAX_PATH))
        return INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(widePattern, &data);
    if (find != INVALID_HANDLE_VALUE) CopyEntry(data, entry);
    return find;
}

int FindNextEntry(Handle find, FindEntry* entry) {
    WIN32_FIND_DATAW data;
    BOOL ok = ::FindNextFileW(find, &data);
    if (ok) CopyEntry(data, entry);
    return ok;
}

int FindClose(Handle find) { return ::FindClose(find); }

namespace {

// The native calls the tree is reached by, from ntdll (looked up at run time:
// Windows 9x has none, and there removal is refused before it starts).
typedef LONG NtStatus;
struct CountedName {
    USHORT length, maximumLength;  // in bytes
    WCHAR* buffer;
};
struct ObjectAttributes {
    ULONG length;
    HANDLE rootDirectory;
    CountedName* objectName;
    ULONG attributes;
    void* securityDescriptor;
    void* securityQualityOfService;
};
struct IoStatus {
    union {
        NtStatus status;
        void* pointer;
    };
    ULONG_PTR information;
};
// FILE_DIRECTORY_INFORMATION: the name is counted, not terminated.
struct DirectoryInformation {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime, endOfFile,
        allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;  // in bytes
    WCHAR fileName[1];
};
typedef NtStatus(NTAPI* NtOpenFileProc)(HANDLE*, ACCESS_MASK, ObjectAttributes*, IoStatus*, ULONG,
                                        ULONG);
typedef NtStatus(NTAPI* NtQueryDirectoryFileProc)(HANDLE, HANDLE, void*, void*, IoStatus*, void*,
                                                  ULONG, int, BOOLEAN, CountedName*, BOOLEAN);
typedef NtStatus(NTAPI* NtSetInformationFileProc)(HANDLE, IoStatus*, void*, ULONG, int);

const ULONG kFileDirectoryFile = 0x1, kFileSynchronousIoNonalert = 0x20,
            kFileNonDirectoryFile = 0x40, kFileOpenReparsePoint = 0x200000;
const int kFileDirectoryInformation = 1, kFileDispositionInformation = 13,
          kFileDispositionInformationEx = 64;
const ULONG kDispositionDelete = 0x1, kDispositionPosixSemantics = 0x2;
const NtStatus kStatusNotImplemented = static_cast<NtStatus>(0xC0000002),
               kStatusInvalidInfoClass = static_cast<NtStatus>(0xC0000003),
               kStatusInvalidParameter = static_cast<NtStatus>(0xC000000D),
               kStatusNotSupported = static_cast<NtStatus>(0xC00000BB);

HMODULE Ntdll() { return ::GetModuleHandleA("NTDLL.DLL"); }

const DWORD kListingSize = 16384;

}  // namespace

struct HeldListing {
    HANDLE folder;
    bool started, ended;
    ULONG filled, next;  // bytes the last call delivered; where the next entry lies
    FindEntry entry;
    union {
        unsigned char bytes[kListingSize];
        LARGE_INTEGER align;
    } buffer;
};

Handle OpenRootNoReparse(const char* fullPath, bool toDelete) {
    return ::CreateFileA(fullPath, kHoldAccess | SYNCHRONIZE | (toDelete ? DELETE : 0),
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

Handle OpenBelowNoReparse(Handle folder, const WideChar* name, size_t length, EntryOpen how) {
    static const NtOpenFileProc open = LookUpIn<NtOpenFileProc>(Ntdll(), "NtOpenFile");
    if (!open || length == 0 || length >= kMaxPath) return INVALID_HANDLE_VALUE;
    bool isFolder = how != kOpenFileToDelete;
    ACCESS_MASK access = SYNCHRONIZE | FILE_READ_ATTRIBUTES |
                         (how != kOpenFolderToEmpty ? DELETE : 0) |
                         (isFolder ? FILE_LIST_DIRECTORY : 0);
    ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | (isFolder ? 0 : FILE_SHARE_DELETE);
    ULONG options = kFileSynchronousIoNonalert | kFileOpenReparsePoint |
                    (isFolder ? kFileDirectoryFile : kFileNonDirectoryFile);
    CountedName counted = {static_cast<USHORT>(length * sizeof(WCHAR)),
                           static_cast<USHORT>(length * sizeof(WCHAR)),
                           reinterpret_cast<WCHAR*>(const_cast<WideChar*>(name))};
    // No OBJ_CASE_INSENSITIVE: the name is the exact one listed, and Wine then
    // matches no other entry by letter case.
    ObjectAttributes attributes = {sizeof attributes, folder, &counted, 0, nullptr, nullptr};
    IoStatus io;
    HANDLE opened = INVALID_HANDLE_VALUE;
    if (open(&opened, access, &attributes, &io, share, options) < 0 || !opened)
        return INVALID_HANDLE_VALUE;
    return opened;
}

unsigned long ReadAttributes(Handle handle) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle, &information)) return INVALID_FILE_ATTRIBUTES;
    return information.dwFileAttributes;
}

bool DeleteByHandle(Handle handle) {
    static const NtSetInformationFileProc set =
        LookUpIn<NtSetInformationFileProc>(Ntdll(), "NtSetInformationFile");
    static bool classicOnly = false;  // the system has no POSIX deletes at all
    if (!set) return false;
    IoStatus io;
    if (!classicOnly) {
        // Never FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE: read-only files stay.
        ULONG flags = kDispositionDelete | kDispositionPosixSemantics;
        NtStatus status = set(handle, &io, &flags, sizeof flags, kFileDispositionInformationEx);
        if (status >= 0) return true;
        if (status == kStatusNotImplemented || status == kStatusInvalidInfoClass)
            classicOnly = true;  // Wine, and Windows before 10 1607
        else if (status != kStatusInvalidParameter && status != kStatusNotSupported)
            return false;  // the entry's own refusal: read-only, in use, not empty
    }
    BOOLEAN deleteFile = TRUE;
    return set(handle, &io, &deleteFile, sizeof deleteFile, kFileDispositionInformation) >= 0;
}

HeldListing* StartListing(Handle folder) {
    HeldListing* listing = static_cast<HeldListing*>(::malloc(sizeof(HeldListing)));
    if (!listing) return nullptr;
    listing->folder = folder;
    listing->started = listing->ended = false;
    listing->filled = listing->next = 0;
    return listing;
}

const FindEntry* NextListed(HeldListing* listing) {
    static const NtQueryDirectoryFileProc query =
        LookUpIn<NtQueryDirectoryFileProc>(Ntdll(), "NtQueryDirectoryFile");
    const ULONG kHead = offsetof(DirectoryInformation, fileName);
    if (listing->next >= listing->filled) {
        IoStatus io;
        // The first call restarts the scan: the handle may have been listed before.
        NtStatus status =
            listing->ended || !query
                ? -1
                : query(listing->folder, nullptr, nullptr, nullptr, &io, listing->buffer.bytes,
                        kListingSize, kFileDirectoryInformation, FALSE, nullptr, !listing->started);
        listing->started = true;
        // STATUS_NO_MORE_FILES, like every failure, is negative.
        if (status < 0 || io.information < kHead || io.information > kListingSize) {
            listing->ended = true;
            return nullptr;
        }
        listing->filled = io.information;
        listing->next = 0;
    }
    const DirectoryInformation* information =
        reinterpret_cast<const DirectoryInformation*>(listing->buffer.bytes + listing->next);
    ULONG room = listing->filled - listing->next;
    if (room < kHead || information->fileNameLength > room - kHead) {
        listing->ended = true;
        return nullptr;
    }
    FindEntry* entry = &listing->entry;
    entry->attributes = information->fileAttributes;
    size_t length = information->fileNameLength / sizeof(WCHAR);
    // A name too long for the entry is never cut to fit and used: it is shown
    // as far as it goes and counts as no name at all.
    size_t copied = length < kMaxPath ? length : kMaxPath - 1;
    memcpy(entry->wideName, information->fileName, copied * sizeof(WCHAR));
    entry->wideName[copied] = 0;
    entry->wideLength = length < kMaxPath ? length : 0;
    ConvertEntryName(entry);
    ULONG step = information->nextEntryOffset;
    listing->next = step == 0 || step > room ? listing->filled : listing->next + step;
    return entry;
}

void EndListing(HeldListing* listing) { ::free(listing); }

bool IsLeadByte(char c) { return ::IsDBCSLeadByte(static_cast<BYTE>(c)) != 0; }

unsigned long GetFileAttributesA(const char* path) { return ::GetFileAttributesA(path); }

Handle HoldOpenNoReparse(const char* path, bool inheritable) {
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, inheritable};
    return ::CreateFileA(path, kHoldAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
}

Handle OpenEntryNoReparse(const char* path) {
    return ::CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

Handle OpenFolderW(const WideChar* path) {
    return ::CreateFileW(reinterpret_cast<const WCHAR*>(path), FILE_READ_ATTRIBUTES, kShareAll,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool ReadIdentity(Handle handle, FileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle, &information)) return false;
    *identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
                 information.nFileIndexLow};
    return true;
}

bool ReadFinalPath(Handle handle, WideChar* path, size_t size) {
    typedef DWORD(WINAPI * GetFinalPathProc)(HANDLE, LPWSTR, DWORD, DWORD);
    static const GetFinalPathProc getFinalPath =
        LookUpIn<GetFinalPathProc>(Kernel(), "GetFinalPathNameByHandleW");
    if (!getFinalPath) return false;
    DWORD length = getFinalPath(handle, reinterpret_cast<WCHAR*>(path), size, 0);
    return length > 0 && length < size;
}

namespace {

// The shell's folders, by CSIDL: the user's, all users', and the system's.
const int kShellFolders[] = {0x0000, 0x0010, 0x0005, 0x000d, 0x0027, 0x000e, 0x0006, 0x0028, 0x001a,
                             0x001c, 0x000b, 0x0002, 0x0007, 0x0009, 0x0008, 0x0015, 0x0013, 0x001b,
                             0x0021, 0x0022, 0x0020, 0x0030, 0x003b, 0x0019, 0x002e, 0x0035, 0x0036,
                             0x0037, 0x0023, 0x0016, 0x0017, 0x0018, 0x002d, 0x002f, 0x0024, 0x0025,
                             0x0029, 0x0014, 0x0038, 0x0026, 0x002b, 0x002a, 0x002c};
// The known folders that only Vista and later name: Downloads, Saved Games,
// Links, Contacts, Searches, Public, Public Downloads, OneDrive, LocalLow,
// User Program Files, and the profiles folder, which comes last.
const GUID kKnownFolders[] = {
    {0x374de290, 0x123f, 0x4565, {0x91, 0x64, 0x39, 0xc4, 0x92, 0x5e, 0x46, 0x7b}},
    {0x4c5c32ff, 0xbb9d, 0x43b0, {0xb5, 0xb4, 0x2d, 0x72, 0xe5, 0x4e, 0xaa, 0xa4}},
    {0xbfb9d5e0, 0xc6a9, 0x404c, {0xb2, 0xb2, 0xae, 0x6d, 0xb6, 0xaf, 0x49, 0x68}},
    {0x56784854, 0xc6cb, 0x462b, {0x81, 0x69, 0x88, 0xe3, 0x50, 0xac, 0xb8, 0x82}},
    {0x7d1d3a04, 0xdebb, 0x4115, {0x95, 0xcf, 0x2f, 0x29, 0xda, 0x29, 0x20, 0xda}},
    {0xdfdf76a2, 0xc82a, 0x4d63, {0x90, 0x6a, 0x56, 0x44, 0xac, 0x45, 0x73, 0x85}},
    {0x3d644c9b, 0x1fb8, 0x4f30, {0x9b, 0x45, 0xf6, 0x70, 0x23, 0x5f, 0x79, 0xc0}},
    {0xa52bba46, 0xe9e1, 0x435f, {0xb3, 0xd9, 0x28, 0xda, 0xa6, 0x48, 0xc0, 0xf6}},
    {0xa520a1a4, 0x1780, 0x4ff6, {0xbd, 0x18, 0x16, 0x73, 0x43, 0xc5, 0xaf, 0x16}},
    {0x5cd7aee2, 0x2219, 0x4a67, {0xb8, 0x5d, 0x6c, 0x9c, 0xe1, 0x56, 0x60, 0xcb}},
    {0x0762d272, 0xc50a, 0x4bb0, {0xa3, 0x82, 0x69, 0x7d, 0xcd, 0x72, 0x9b, 0x80}}};
// The folders a profile holds by default. Walking each way also compares the
// folders above it (AppData, AppData\Local and the profile itself).
const char* const kProfileFolders[] = {"Desktop",
                                       "Documents",
                                       "Downloads",
                                       "Music",
                                       "Pictures",
                                       "Videos",
                                       "Favorites",
                                       "Links",
                                       "Contacts",
                                       "Searches",
                                       "Saved Games",
                                       "OneDrive",
                                       "AppData\\LocalLow",
                                       "AppData\\Roaming",
                                       "AppData\\Local\\Temp",
                                       "Temp",
                                       "My Documents",
                                       "Application Data",
                                       "Local Settings"};
const unsigned kShellSteps = sizeof kShellFolders / sizeof kShellFolders[0];
const unsigned kKnownSteps = sizeof kKnownFolders / sizeof kKnownFolders[0];
const wchar_t* const kEnvironmentFolders[] = {L"ProgramW6432", L"CommonProgramW6432"};

bool ShellFolder(int csidl, WCHAR* path) {
    typedef HRESULT(WINAPI * GetFolderPathProc)(HWND, int, HANDLE, DWORD, LPWSTR);
    typedef BOOL(WINAPI * GetSpecialFolderPathProc)(HWND, LPWSTR, int, BOOL);
    static const GetFolderPathProc getFolderPath =
        LookUpIn<GetFolderPathProc>(Shell(), "SHGetFolderPathW");
    static const GetSpecialFolderPathProc getSpecialFolderPath =
        LookUpIn<GetSpecialFolderPathProc>(Shell(), "SHGetSpecialFolderPathW");
    // S_FALSE: the folder is named but does not exist yet, and still protects
    // the folders above it. No CSIDL_FLAG_CREATE: Wine would re-create a
    // missing Documents as a link to the host's home.
    path[0] = 0;
    if (getFolderPath) return SUCCEEDED(getFolderPath(nullptr, csidl, nullptr, 0, path)) && path[0];
    return getSpecialFolderPath && getSpecialFolderPath(nullptr, path, csidl, FALSE) && path[0];
}

bool KnownFolder(const GUID& id, WCHAR* path, size_t size) {
    typedef HRESULT(WINAPI * GetFolderPathExProc)(const GUID&, DWORD, HANDLE, LPWSTR, UINT);
    static const GetFolderPathExProc getFolderPathEx =
        LookUpIn<GetFolderPathExProc>(Shell(), "SHGetFolderPathEx");
    path[0] = 0;
    return getFolderPathEx && SUCCEEDED(getFolderPathEx(id, 0, nullptr, path, size)) && path[0];
}

// Appends `name` (ASCII) and a separator's worth of room to `path`.
bool AppendName(WCHAR* path, size_t size, const WCHAR* separator, const char* name) {
    size_t length = lstrlenW(path), extra = lstrlenW(separator) + strlen(name);
    if (length + extra >= size) return false;
    lstrcpyW(path + length, separator);
    for (WCHAR* at = path + length + lstrlenW(separator); (*at = *name) != 0; ++at, ++name) {
    }
    return true;
}

// The next profile in the profiles folder's listing, into walk->profile.
bool NextProfile(ProtectedWalk* walk) {
    WIN32_FIND_DATAW data;
    WCHAR* profile = reinterpret_cast<WCHAR*>(walk->profile);
    for (;;) {
        if (walk->profiles == nullptr) {
            // The profiles folder, else the folder that holds this profile.
            WCHAR pattern[MAX_PATH];
            if (!KnownFolder(kKnownFolders[kKnownSteps - 1], pattern, MAX_PATH)) {
                if (!ShellFolder(0x0028, pattern)) return false;
                WCHAR* last = pattern;
                for (WCHAR* at = pattern; *at; ++at)
                    if (*at == L'\\') last = at;
                *last = 0;
            }
            lstrcpynW(profile, pattern, MAX_PATH);
            if (!AppendName(pattern, MAX_PATH, L"\\", "*")) return false;
            walk->profiles = ::FindFirstFileW(pattern, &data);
            if (walk->profiles == INVALID_HANDLE_VALUE) return false;
            lstrcatW(profile, L"\\");
        } else if (!::FindNextFileW(walk->profiles, &data)) {
            return false;
        }
        bool dots = data.cFileName[0] == L'.' &&
                    (!data.cFileName[1] || (data.cFileName[1] == L'.' && !data.cFileName[2]));
        WCHAR* name = profile;
        for (WCHAR* at = profile; *at; ++at)
            if (*at == L'\\') name = at + 1;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || dots ||
            (name - profile) + lstrlenW(data.cFileName) >= MAX_PATH)
            continue;
        lstrcpyW(name, data.cFileName);
        return true;
    }
}

}  // namespace

bool NextProtectedFolder(ProtectedWalk* walk, WideChar* widePath, size_t size) {
    WCHAR* path = reinterpret_cast<WCHAR*>(widePath);
    const unsigned kEnvironmentSteps = sizeof kEnvironmentFolders / sizeof kEnvironmentFolders[0];
    const unsigned kProfileSteps = sizeof kProfileFolders / sizeof kProfileFolders[0];
    for (;; ++walk->step) {
        unsigned step = walk->step;
        if (step < kShellSteps) {
            if (size >= MAX_PATH && ShellFolder(kShellFolders[step], path))
                return ++walk->step, true;
            continue;
        }
        step -= kShellSteps;
        if (step < kKnownSteps) {
            if (KnownFolder(kKnownFolders[step], path, size)) return ++walk->step, true;
            continue;
        }
        step -= kKnownSteps;
        if (step < kEnvironmentSteps) {
            DWORD length = ::GetEnvironmentVariableW(kEnvironmentFolders[step], path, size);
            if (length > 0 && length < size) return ++walk->step, true;
            continue;
        }
        step -= kEnvironmentSteps;
        if (step < 2) {
            DWORD length =
                step == 0 ? ::GetSystemDirectoryW(path, size) : ::GetTempPathW(size, path);
            if (length > 0 && length < size) return ++walk->step, true;
            continue;
        }
        // Every profile, and the folders each holds by default.
        if (walk->name == 0 && !NextProfile(walk)) return false;
        lstrcpynW(path, reinterpret_cast<WCHAR*>(walk->profile), size);
        if (AppendName(path, size, L"\\", kProfileFolders[walk->name])) {
            walk->name = (walk->name + 1) % kProfileSteps;
            return true;
        }
        walk->name = (walk->name + 1) % kProfileSteps;
    }
}

void EndProtectedWalk(ProtectedWalk* walk) {
    if (walk->profiles != nullptr && walk->profiles != INVALID_HANDLE_VALUE)
        ::FindClose(walk->profiles);
    walk->profiles = nullptr;
}

bool GetWindowsFolder(WideChar* path, size_t size) {
    UINT length = ::GetWindowsDirectoryW(reinterpret_cast<WCHAR*>(path), size);
    return length > 0 && length < size;
}

unsigned long GetOwnPath(char* buffer, unsigned long size) {
    return ::GetModuleFileNameA(nullptr, buffer, size);
}

unsigned long GetShortPathNameA(const char* longPath, char* shortPath, unsigned long size) {
    return ::GetShortPathNameA(longPath, shortPath, size);
}

unsigned long GetEnvironmentVariableA(const char* name, char* buffer, unsigned long size) {
    return ::GetEnvironmentVariableA(name, buffer, size);
}

unsigned long GetFullPath(const char* path, char* buffer, unsigned long size) {
    return ::GetFullPathNameA(path, size, buffer, nullptr);
}

int StartHidden(const char* program, char* commandLine, Handle const* inherited, size_t count,
                ProcessHandles* started) {
    typedef BOOL(WINAPI * InitializeListProc)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, PSIZE_T);
    typedef BOOL(WINAPI * UpdateListProc)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID,
                                          SIZE_T, PVOID, PSIZE_T);
    typedef VOID(WINAPI * DeleteListProc)(LPPROC_THREAD_ATTRIBUTE_LIST);
    InitializeListProc initialize =
        LookUpIn<InitializeListProc>(Kernel(), "InitializeProcThreadAttributeList");
    UpdateListProc update = LookUpIn<UpdateListProc>(Kernel(), "UpdateProcThreadAttribute");
    DeleteListProc remove = LookUpIn<DeleteListProc>(Kernel(), "DeleteProcThreadAttributeList");

    STARTUPINFOEXA startup;
    memset(&startup, 0, sizeof startup);
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    DWORD flags = CREATE_NO_WINDOW;
    // Where the system can name the handles to hand over, only the holds pass.
    SIZE_T listSize = 0;
    if (initialize && update && remove && count > 0) initialize(nullptr, 1, 0, &listSize);
    auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listSize ? ::malloc(listSize) : nullptr);
    bool initialized = list && initialize(list, 1, 0, &listSize);
    if (initialized &&
        update(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, const_cast<Handle*>(inherited),
               count * sizeof(HANDLE), nullptr, nullptr)) {
        startup.StartupInfo.cb = sizeof startup;
        startup.lpAttributeList = list;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    BOOL ok = ::CreateProcessA(program, commandLine, nullptr, nullptr, TRUE, flags, nullptr,
                               nullptr, &startup.StartupInfo, &process);
    if (initialized) remove(list);
    ::free(list);
    started->process = process.hProcess;
    started->thread = process.hThread;
    return ok;
}

namespace {

// Longest Unicode original compared, in characters. Every value checked is
// refused elsewhere long before this, so a longer one is simply inexact.
const int kWideLimit = 1024;

typedef LPWSTR*(WINAPI* CommandLineToArgvWProc)(LPCWSTR, int*);

// The directory argument as CommandLineToArgvW splits the Unicode command
// line. Returns 0 when it cannot be read, -1 when the split has no such
// argument, else 1.
int ReadWideDirectoryArgument(wchar_t* buffer) {
    CommandLineToArgvWProc split = LookUpIn<CommandLineToArgvWProc>(Shell(), "CommandLineToArgvW");
    const wchar_t* commandLine = ::GetCommandLineW();
    if (!split || !commandLine || !commandLine[0]) return 0;
    int count = 0;
    LPWSTR* arguments = split(commandLine, &count);
    if (!arguments) return 0;
    int found = -1;
    if (count > 2 && ::lstrlenW(arguments[2]) < kWideLimit) {
        ::lstrcpyW(buffer, arguments[2]);
        found = 1;
    }
    ::LocalFree(arguments);
    return found;
}

// The Unicode original of a value: 1 when read, 0 when it cannot be read,
// -1 when it cannot be exact (too long, or the command line splits apart).
int ReadWideOriginal(AnsiValue value, wchar_t* buffer) {
    DWORD length = 0;
    switch (value) {
        case kDirectoryArgument:
            return ReadWideDirectoryArgument(buffer);
        case kWorkingDirectory:
            length = ::GetCurrentDirectoryW(kWideLimit, buffer);
            break;
        case kOwnPath:
            length = ::GetModuleFileNameW(nullptr, buffer, kWideLimit);
            break;
    }
    if (length == 0) return 0;
    return length < static_cast<DWORD>(kWideLimit) ? 1 : -1;
}

}  // namespace

bool AnsiFormIsExact(AnsiValue value, const char* ansi) {
    wchar_t original[kWideLimit];
    int read = ReadWideOriginal(value, original);
    if (read == 0) return true;
    if (read < 0) return false;
    char converted[kWideLimit * 3];
    return ConvertExactly(original, converted, sizeof converted) && strcmp(converted, ansi) == 0;
}

void RestrictDllSearchToSystem() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
    SetDefaultDllDirectoriesProc setDirectories =
        LookUpIn<SetDefaultDllDirectoriesProc>(Kernel(), "SetDefaultDllDirectories");
    if (setDirectories) setDirectories(0x00000800);  // LOAD_LIBRARY_SEARCH_SYSTEM32
}

char* Allocate(size_t size) { return static_cast<char*>(::malloc(size)); }

void Release(char* buffer) { ::free(buffer); }

}  // namespace platform
