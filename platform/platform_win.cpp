// The platform operations over the real Win32 and MSVCRT calls: one thin
// wrapper each, passing the raw result through.
// <windows.h> must come before the other system headers.
#include <windows.h>

#include <shobjidl.h>

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

// Set once the system has refused POSIX deletes: from then on a file is opened
// to go when its handle closes, which saves the disposition's request.
bool classicOnly = false;
HANDLE goesOnClose = INVALID_HANDLE_VALUE;  // the last file opened so

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

// A system DLL, loaded by its full path in the system folder and never by its
// name alone: nothing beside the program may stand in for it.
HMODULE LoadFromSystem(const char* name) {
    char path[MAX_PATH];
    size_t size = strlen(name) + 1;
    UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + size > MAX_PATH) return nullptr;
    memcpy(path + length, name, size);
    return ::LoadLibraryA(path);
}

HMODULE Shell() {
    static const HMODULE shell = LoadFromSystem("\\SHELL32.DLL");
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

int CloseHandle(Handle handle) {
    // Its value may be given to the next open.
    if (handle == goesOnClose) goesOnClose = INVALID_HANDLE_VALUE;
    return ::CloseHandle(handle);
}

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
typedef NtSetInformationFileProc NtQueryInformationFileProc;  // the same shape

const ULONG kFileDirectoryFile = 0x1, kFileSynchronousIoNonalert = 0x20,
            kFileNonDirectoryFile = 0x40, kFileDeleteOnClose = 0x1000,
            kFileOpenReparsePoint = 0x200000;
const int kFileDirectoryInformation = 1, kFileDispositionInformation = 13,
          kFileAttributeTagInformation = 35, kFileDispositionInformationEx = 64;
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
    bool onClose = classicOnly && !isFolder;
    ULONG options = kFileSynchronousIoNonalert | kFileOpenReparsePoint |
                    (isFolder ? kFileDirectoryFile : kFileNonDirectoryFile) |
                    (onClose ? kFileDeleteOnClose : 0);
    CountedName counted = {static_cast<USHORT>(length * sizeof(WCHAR)),
                           static_cast<USHORT>(length * sizeof(WCHAR)),
                           reinterpret_cast<WCHAR*>(const_cast<WideChar*>(name))};
    // No OBJ_CASE_INSENSITIVE: the name is the exact one listed, and an entry
    // of exactly that name is what opens. Wine still falls back to letter case
    // once no such entry is left (handleprobe), as Windows does by default.
    ObjectAttributes attributes = {sizeof attributes, folder, &counted, 0, nullptr, nullptr};
    IoStatus io;
    HANDLE opened = INVALID_HANDLE_VALUE;
    // A read-only file, or one shared without delete, refuses an open that
    // deletes on close as it refuses the disposition.
    if (open(&opened, access, &attributes, &io, share, options) < 0 || !opened)
        return INVALID_HANDLE_VALUE;
    goesOnClose = onClose ? opened : INVALID_HANDLE_VALUE;
    return opened;
}

// FileAttributeTagInformation: the attributes alone, without the volume's
// serial that GetFileInformationByHandle also asks the system for.
unsigned long ReadAttributes(Handle handle) {
    static const NtQueryInformationFileProc query =
        LookUpIn<NtQueryInformationFileProc>(Ntdll(), "NtQueryInformationFile");
    struct {
        ULONG attributes, reparseTag;
    } information;
    IoStatus io;
    if (!query ||
        query(handle, &io, &information, sizeof information, kFileAttributeTagInformation) < 0)
        return INVALID_FILE_ATTRIBUTES;
    return information.attributes;
}

bool DeleteByHandle(Handle handle) {
    static const NtSetInformationFileProc set =
        LookUpIn<NtSetInformationFileProc>(Ntdll(), "NtSetInformationFile");
    if (handle == goesOnClose) return true;  // it goes when it closes
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

bool ReadIdentity(Handle handle, FileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle, &information)) return false;
    *identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
                 information.nFileIndexLow};
    return true;
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

// ---- The folders the system and its users keep ----

namespace {

// The shell's folders by CSIDL, read where the system does not list the
// folders it registers (before Vista). All are below 0x40.
const unsigned char kShellFolders[] = {
    0x00, 0x10,              // the desktop, as shown and as a folder
    0x05, 0x0d, 0x27, 0x0e,  // Documents, Music, Pictures, Videos
    0x06, 0x28,              // Favorites; the profile
    0x1a, 0x1c,              // AppData, Local AppData
    0x0b, 0x02, 0x07,        // the Start Menu, its Programs and Startup
    0x09, 0x08, 0x15,        // SendTo, Recent, Templates
    0x13, 0x1b,              // the network's and printers' shortcuts
    0x21, 0x22, 0x20,        // Cookies, History, the Internet cache
    0x30, 0x3b,              // Administrative Tools, the CD burning area
    0x19, 0x2e, 0x35,        // all users' Desktop, Documents, Music
    0x36, 0x37, 0x23,        // all users' Pictures, Videos, ProgramData
    0x16, 0x17, 0x18,        // all users' Start Menu, Programs, Startup
    0x2d, 0x2f,              // all users' Templates, Administrative Tools
    0x24, 0x25, 0x29,        // Windows, System and its x86 form
    0x14, 0x38,              // Fonts, Resources
    0x26, 0x2b, 0x2a, 0x2c,  // Program Files, Common Files and their x86 forms
};
const int kProfileCsidl = 0x28;
// KF_FLAG_DONT_VERIFY: a folder not made yet still protects those above it.
const DWORD kDontVerify = 0x00004000;
const GUID kManagerClass = {
    0x4df0c730, 0xdf9d, 0x4ae3, {0x91, 0x53, 0xaa, 0x6b, 0x82, 0xe9, 0x79, 0x5a}};
const GUID kManagerInterface = {
    0x8be2d872, 0x86aa, 0x4d47, {0xb7, 0x76, 0x32, 0xcc, 0xa4, 0x0c, 0x70, 0x18}};
const wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

enum Step { kOwnProfileStep, kUserStep, kDesktopUserStep, kFixedStep, kListingStep, kListStep };

HMODULE Ole() {
    static const HMODULE ole = LoadFromSystem("\\OLE32.DLL");
    return ole;
}

HMODULE Advapi() {
    static const HMODULE advapi = LoadFromSystem("\\ADVAPI32.DLL");
    return advapi;
}

void FreeTaskMemory(void* memory) {
    typedef void(WINAPI * FreeProc)(void*);
    static const FreeProc free = LookUpIn<FreeProc>(Ole(), "CoTaskMemFree");
    if (memory && free) free(memory);
}

// The IDs of every folder the system registers (IKnownFolderManager, Vista
// and later); else the CSIDL list.
void ListRegisteredFolders(SystemFolderWalk* walk) {
    typedef HRESULT(WINAPI * InitializeProc)(void*, DWORD);
    typedef HRESULT(WINAPI * CreateProc)(const GUID&, IUnknown*, DWORD, const GUID&, void**);
    InitializeProc initialize = LookUpIn<InitializeProc>(Ole(), "CoInitializeEx");
    CreateProc create = LookUpIn<CreateProc>(Ole(), "CoCreateInstance");
    walk->count = sizeof kShellFolders;
    IKnownFolderManager* manager = nullptr;
    if (!initialize || !create) return;
    // The multithreaded apartment needs no window of its own (the single-threaded one
    // made the check 50 ms slower under Wine), and the manager is registered for both.
    initialize(nullptr, COINIT_MULTITHREADED);
    if (FAILED(create(kManagerClass, nullptr, CLSCTX_INPROC_SERVER, kManagerInterface,
                      reinterpret_cast<void**>(&manager))))
        return;
    KNOWNFOLDERID* ids = nullptr;
    UINT count = 0;
    if (SUCCEEDED(manager->GetFolderIds(&ids, &count)) && ids && count) {
        walk->ids = ids;
        walk->count = count;
    } else {
        FreeTaskMemory(ids);
    }
    manager->Release();
}

bool ShellFolder(int csidl, HANDLE token, WCHAR* path) {
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
    if (getFolderPath) return SUCCEEDED(getFolderPath(nullptr, csidl, token, 0, path));
    return !token && getSpecialFolderPath && getSpecialFolderPath(nullptr, path, csidl, FALSE);
}

bool KnownFolder(const GUID& id, HANDLE token, WCHAR* path, size_t size) {
    typedef HRESULT(WINAPI * GetPathProc)(const GUID&, DWORD, HANDLE, PWSTR*);
    static const GetPathProc getPath = LookUpIn<GetPathProc>(Shell(), "SHGetKnownFolderPath");
    PWSTR found = nullptr;
    bool read = getPath && SUCCEEDED(getPath(id, kDontVerify, token, &found)) && found &&
                static_cast<size_t>(::lstrlenW(found)) < size;
    if (read) ::lstrcpyW(path, found);
    FreeTaskMemory(found);
    return read;
}

// The next folder the system registers for the user of `token` (none: the
// running user); false, with the walk set back, after the last.
bool NextRegisteredFolder(SystemFolderWalk* walk, HANDLE token, WCHAR* path, size_t size) {
    while (walk->index < walk->count) {
        unsigned index = walk->index++;
        if (walk->ids ? KnownFolder(static_cast<GUID*>(walk->ids)[index], token, path, size)
                      : ShellFolder(kShellFolders[index], token, path))
            return true;
    }
    walk->index = 0;
    return false;
}

// The token of the user at the desktop (who owns the shell's window), when
// that is another account than the one this program runs as.
HANDLE DesktopUserToken() {
    typedef HWND(WINAPI * ShellWindowProc)();
    typedef BOOL(WINAPI * OpenTokenProc)(HANDLE, DWORD, PHANDLE);
    typedef BOOL(WINAPI * InformationProc)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
    typedef BOOL(WINAPI * EqualSidProc)(PSID, PSID);
    ShellWindowProc shellWindow =
        LookUpIn<ShellWindowProc>(::GetModuleHandleA("USER32.DLL"), "GetShellWindow");
    OpenTokenProc openToken = LookUpIn<OpenTokenProc>(Advapi(), "OpenProcessToken");
    InformationProc information = LookUpIn<InformationProc>(Advapi(), "GetTokenInformation");
    EqualSidProc equalSid = LookUpIn<EqualSidProc>(Advapi(), "EqualSid");
    HWND window = shellWindow ? shellWindow() : nullptr;
    DWORD id = 0;
    if (!window || !openToken || !information || !equalSid ||
        !::GetWindowThreadProcessId(window, &id))
        return nullptr;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!process) process = ::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);  // before Vista
    HANDLE desktop = nullptr, own = nullptr;
    if (process && !openToken(process, TOKEN_QUERY | TOKEN_IMPERSONATE, &desktop))
        desktop = nullptr;
    if (process) ::CloseHandle(process);
    if (!desktop) return nullptr;
    // Where the two cannot be compared, the desktop's folders are read too.
    DWORD desktopUser[32], ownUser[32], length;
    bool same = openToken(::GetCurrentProcess(), TOKEN_QUERY, &own) &&
                information(desktop, TokenUser, desktopUser, sizeof desktopUser, &length) &&
                information(own, TokenUser, ownUser, sizeof ownUser, &length) &&
                equalSid(reinterpret_cast<TOKEN_USER*>(desktopUser)->User.Sid,
                         reinterpret_cast<TOKEN_USER*>(ownUser)->User.Sid);
    if (own) ::CloseHandle(own);
    if (same) ::CloseHandle(desktop);
    return same ? nullptr : desktop;
}

// A path value of `key`, its variables expanded.
bool ReadPathValue(HKEY key, const WCHAR* name, WCHAR* path, size_t size) {
    typedef LONG(WINAPI * QueryProc)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    static const QueryProc query = LookUpIn<QueryProc>(Advapi(), "RegQueryValueExW");
    WCHAR value[MAX_PATH + 1];
    DWORD type = 0, bytes = sizeof value - sizeof value[0];
    if (!query || query(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    value[bytes / sizeof value[0]] = 0;
    if (type == REG_SZ) return ::lstrcpynW(path, value, size) && ::lstrlenW(value) < int(size);
    DWORD length = ::ExpandEnvironmentStringsW(value, path, size);
    return length > 0 && length <= size;
}

typedef LONG(WINAPI* OpenKeyProc)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
typedef LONG(WINAPI* CloseKeyProc)(HKEY);

LONG OpenKey(HKEY parent, const WCHAR* name, HKEY* key) {
    static const OpenKeyProc open = LookUpIn<OpenKeyProc>(Advapi(), "RegOpenKeyExW");
    if (!open) return ERROR_INVALID_FUNCTION;
    // The native view, where there is another; systems that know no views refuse the flag.
    LONG result = open(parent, name, 0, KEY_READ | KEY_WOW64_64KEY, key);
    return result ? open(parent, name, 0, KEY_READ, key) : result;
}

void CloseKey(void* key) {
    static const CloseKeyProc close = LookUpIn<CloseKeyProc>(Advapi(), "RegCloseKey");
    if (key && close) close(static_cast<HKEY>(key));
}

// Opens the listing of the profiles folder (the one ProfileList names, else
// the folder that holds the running user's profile) into `data`'s first entry.
bool ListProfiles(SystemFolderWalk* walk, WIN32_FIND_DATAW* data) {
    WCHAR* folder = reinterpret_cast<WCHAR*>(walk->profiles);
    HKEY key = nullptr;
    walk->listing = INVALID_HANDLE_VALUE;
    if (!OpenKey(HKEY_LOCAL_MACHINE, kProfileList, &key)) walk->key = key;
    if (!key || !ReadPathValue(key, L"ProfilesDirectory", folder, MAX_PATH - 2)) {
        if (!ShellFolder(kProfileCsidl, nullptr, folder)) return false;
        WCHAR* last = folder;
        for (WCHAR* at = folder; *at; ++at)
            if (*at == L'\\') last = at;
        *last = 0;
    }
    ::lstrcatW(folder, L"\\*");
    walk->listing = ::FindFirstFileW(folder, data);
    folder[::lstrlenW(folder) - 1] = 0;
    return walk->listing != INVALID_HANDLE_VALUE;
}

// The next folder in the profiles folder's listing.
bool NextListedProfile(SystemFolderWalk* walk, WCHAR* path, size_t size) {
    WIN32_FIND_DATAW data;
    for (bool found = walk->listing ? walk->listing != INVALID_HANDLE_VALUE &&
                                          ::FindNextFileW(walk->listing, &data)
                                    : ListProfiles(walk, &data);
         found; found = ::FindNextFileW(walk->listing, &data)) {
        const WCHAR* name = data.cFileName;
        const WCHAR* folder = reinterpret_cast<WCHAR*>(walk->profiles);
        bool dots = name[0] == L'.' && (!name[1] || (name[1] == L'.' && !name[2]));
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !dots &&
            static_cast<size_t>(::lstrlenW(folder) + ::lstrlenW(name)) < size) {
            ::lstrcpyW(path, folder);
            ::lstrcatW(path, name);
            return true;
        }
    }
    return false;
}

// The next profile that ProfileList names.
bool NextListProfile(SystemFolderWalk* walk, WCHAR* path, size_t size) {
    typedef LONG(WINAPI * EnumProc)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD,
                                    PFILETIME);
    static const EnumProc enumerate = LookUpIn<EnumProc>(Advapi(), "RegEnumKeyExW");
    WCHAR name[MAX_PATH];
    DWORD length = MAX_PATH;
    while (walk->key && enumerate &&
           !enumerate(static_cast<HKEY>(walk->key), walk->index++, name, &length, nullptr, nullptr,
                      nullptr, nullptr)) {
        length = MAX_PATH;
        HKEY profile = nullptr;
        if (OpenKey(static_cast<HKEY>(walk->key), name, &profile)) continue;
        bool read = ReadPathValue(profile, L"ProfileImagePath", path, size);
        CloseKey(profile);
        if (read) return true;
    }
    return false;
}

}  // namespace

bool NextSystemFolder(SystemFolderWalk* walk, SystemFolderKind* kind, WideChar* widePath,
                      size_t size) {
    WCHAR* path = reinterpret_cast<WCHAR*>(widePath);
    if (size < MAX_PATH) return false;
    for (;; ++walk->step, walk->index = 0) {
        *kind = walk->step < kListStep ? static_cast<SystemFolderKind>(walk->step) : kProfile;
        switch (walk->step) {
            case kOwnProfileStep:
                ListRegisteredFolders(walk);
                if (ShellFolder(kProfileCsidl, nullptr, path)) return ++walk->step, true;
                continue;
            case kUserStep:
                if (NextRegisteredFolder(walk, nullptr, path, size)) return true;
                continue;
            case kDesktopUserStep:
                if (walk->index == 0 && !walk->token) walk->token = DesktopUserToken();
                if (walk->token && NextRegisteredFolder(walk, walk->token, path, size)) return true;
                continue;
            case kFixedStep:
                for (DWORD length; walk->index < 4;) {
                    static const wchar_t* const kNative[] = {L"ProgramW6432",
                                                             L"CommonProgramW6432"};
                    unsigned index = walk->index++;
                    length = index == 0 ? ::GetSystemDirectoryW(path, size)
                             : index == 1
                                 ? ::GetTempPathW(size, path)
                                 : ::GetEnvironmentVariableW(kNative[index - 2], path, size);
                    if (length > 0 && length < size) return true;
                }
                continue;
            case kListingStep:
                if (NextListedProfile(walk, path, size)) return true;
                continue;
            case kListStep:
                if (NextListProfile(walk, path, size)) return true;
                return false;
            default:
                return false;
        }
    }
}

void EndSystemFolderWalk(SystemFolderWalk* walk) {
    if (walk->listing && walk->listing != INVALID_HANDLE_VALUE) ::FindClose(walk->listing);
    if (walk->token) ::CloseHandle(walk->token);
    CloseKey(walk->key);
    FreeTaskMemory(walk->ids);
    *walk = SystemFolderWalk();
}

bool GetWindowsFolder(WideChar* path, size_t size) {
    UINT length = ::GetWindowsDirectoryW(reinterpret_cast<WCHAR*>(path), size);
    return length > 0 && length < size;
}

unsigned long GetFullPathW(const WideChar* path, WideChar* buffer, unsigned long size) {
    return ::GetFullPathNameW(reinterpret_cast<const WCHAR*>(path), size,
                              reinterpret_cast<WCHAR*>(buffer), nullptr);
}

unsigned long GetFileAttributesW(const WideChar* path) {
    return ::GetFileAttributesW(reinterpret_cast<const WCHAR*>(path));
}

bool WidenPath(const char* path, WideChar* wide, size_t size) {
    return ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1,
                                 reinterpret_cast<WCHAR*>(wide), size) > 0;
}

Handle OpenFolderW(const WideChar* path) {
    return ::CreateFileW(reinterpret_cast<const WCHAR*>(path), FILE_READ_ATTRIBUTES, kShareAll,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool ReadFinalPath(Handle handle, WideChar* path, size_t size) {
    typedef DWORD(WINAPI * GetFinalPathProc)(HANDLE, LPWSTR, DWORD, DWORD);
    static const GetFinalPathProc getFinalPath =
        LookUpIn<GetFinalPathProc>(Kernel(), "GetFinalPathNameByHandleW");
    if (!getFinalPath) return false;
    DWORD length = getFinalPath(handle, reinterpret_cast<WCHAR*>(path), size, 0);
    return length > 0 && length < size;
}

}  // namespace platform
