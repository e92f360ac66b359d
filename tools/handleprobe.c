// Handle probe: asks the handle-relative NT calls what they make of odd names,
// of deletion through a handle and of a held folder that the host swaps for a
// link, one tab-separated line per fact (group, given, result, status), so that
// the fake platform's rules for listing, opening and deleting relative to a
// held folder can be checked against them. "{ino:N}" in a result is a file
// index, which Wine takes from the host inode: tools/handleprobe.py names it.
//
//   handleprobe.exe C:\hp   (the fixture that tools/handleprobe.py lays out;
//   the probe writes C:\hp\ready and waits for C:\hp\go while the host moves
//   C:\hp\D aside to C:\hp\D-moved and links C:\hp\D to C:\hp\V)
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

typedef NTSTATUS(NTAPI* OpenFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG,
                                ULONG);
typedef NTSTATUS(NTAPI* ListFn)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID,
                                ULONG, ULONG, BOOLEAN, PUNICODE_STRING, BOOLEAN);
typedef NTSTATUS(NTAPI* SetFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
typedef NTSTATUS(NTAPI* QueryFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);

enum { kDirectoryInfo = 1, kInternal = 6, kName = 9, kDisposition = 13, kDispositionEx = 64 };
enum { kDelete = 0x1, kPosix = 0x2, kIgnoreReadOnly = 0x10 };

// FILE_DISPOSITION_INFORMATION_EX and a mount point's reparse data, which
// MinGW's user-mode headers lack.
typedef struct {
    ULONG Flags;
} DispositionEx;
typedef struct {
    ULONG ReparseTag;
    USHORT ReparseDataLength, Reserved;
    USHORT SubstituteNameOffset, SubstituteNameLength, PrintNameOffset, PrintNameLength;
    WCHAR PathBuffer[256];
} MountPoint;

static OpenFn open_fn;
static ListFn list_fn;
static SetFn set_fn;
static QueryFn query_fn;
static wchar_t top[MAX_PATH];

static void Put(const wchar_t* text, size_t chars) {
    char out[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, (int)chars, out, sizeof out - 1, NULL, NULL);
    out[n > 0 ? n : 0] = 0;
    fputs(out, stdout);
}

// Shows the spaces and backslashes of a name between brackets.
static void Name(const wchar_t* name, size_t chars) {
    putchar('[');
    Put(name, chars);
    putchar(']');
}

static void Row(const char* group, const char* given, const char* result, const char* status) {
    printf("%s\t%s\t%s\t%s\n", group, given, result, status);
    fflush(stdout);
}

static const char* Hex(NTSTATUS status) {
    static char text[8][16];
    static int next;
    char* out = text[next++ % 8];
    snprintf(out, 16, "0x%08lx", (unsigned long)status);
    return out;
}

static wchar_t* Path(const wchar_t* rel) {
    static wchar_t text[4][MAX_PATH * 2];
    static int next;
    wchar_t* out = text[next++ % 4];
    swprintf(out, MAX_PATH * 2, L"%ls\\%ls", top, rel);
    return out;
}

// The uninstaller's hold on a folder.
static HANDLE Hold(const wchar_t* rel) {
    return CreateFileW(Path(rel), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

static NTSTATUS OpenRel(HANDLE root, const wchar_t* name, ULONG attributes, ACCESS_MASK access,
                        HANDLE* out) {
    UNICODE_STRING counted;
    counted.Length = counted.MaximumLength = (USHORT)(wcslen(name) * sizeof(wchar_t));
    counted.Buffer = (PWSTR)name;
    OBJECT_ATTRIBUTES attr;
    memset(&attr, 0, sizeof attr);
    attr.Length = sizeof attr;
    attr.RootDirectory = root;
    attr.ObjectName = &counted;
    attr.Attributes = attributes;
    IO_STATUS_BLOCK io;
    *out = NULL;
    return open_fn(
        out, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attr, &io,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT);
}

// "attrs A {ino:N} links L" of an open handle.
static void Describe(HANDLE h, char* out, size_t size) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        snprintf(out, size, "GetFileInformationByHandle error %lu", GetLastError());
        return;
    }
    snprintf(out, size, "attrs 0x%lx {ino:%llx} links %lu size %lu", info.dwFileAttributes,
             ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow,
             info.nNumberOfLinks, info.nFileSizeLow);
}

static void OpenRow(const char* group, HANDLE root, const wchar_t* name, ULONG attributes) {
    char given[160], result[200];
    snprintf(given, sizeof given, "NtOpenFile(root, \"%ls\"%s)", name,
             attributes ? ", OBJ_CASE_INSENSITIVE" : "");
    HANDLE h;
    NTSTATUS status = OpenRel(root, name, attributes, 0, &h);
    if (NT_SUCCESS(status)) {
        strcpy(result, "opened: ");
        Describe(h, result + 8, sizeof result - 8);
        CloseHandle(h);
    } else {
        strcpy(result, "failed");
    }
    Row(group, given, result, Hex(status));
}

// Entries of a listing: their names, and the status of each call.
typedef struct {
    int count, calls, per_call[64];
    NTSTATUS status[64];
    wchar_t names[64][64];
    ULONG attrs[64], lengths[64];
    WCHAR after[64];
} Listing;

static void List(HANDLE dir, ULONG size, Listing* out) {
    static unsigned char buffer[65536];
    memset(out, 0, sizeof *out);
    for (BOOLEAN restart = TRUE; out->calls < 64; restart = FALSE) {
        IO_STATUS_BLOCK io;
        memset(buffer, 0xCC, sizeof buffer);
        NTSTATUS status =
            list_fn(dir, NULL, NULL, NULL, &io, buffer, size, kDirectoryInfo, FALSE, NULL, restart);
        out->status[out->calls] = status;
        int here = 0;
        for (ULONG at = 0; NT_SUCCESS(status) && out->count < 64;) {
            FILE_DIRECTORY_INFORMATION* e = (FILE_DIRECTORY_INFORMATION*)(buffer + at);
            size_t chars = e->FileNameLength / sizeof(WCHAR);
            if (chars > 63) chars = 63;
            memcpy(out->names[out->count], e->FileName, chars * sizeof(WCHAR));
            out->attrs[out->count] = e->FileAttributes;
            out->lengths[out->count] = e->FileNameLength;
            out->after[out->count] = e->FileName[e->FileNameLength / sizeof(WCHAR)];
            ++out->count;
            ++here;
            if (!e->NextEntryOffset) break;
            at += e->NextEntryOffset;
        }
        out->per_call[out->calls++] = here;
        if (!NT_SUCCESS(status)) break;
    }
}

static int Find(const Listing* l, const wchar_t* name) {
    for (int i = 0; i < l->count; ++i)
        if (!wcscmp(l->names[i], name)) return i;
    return -1;
}

static void PrintNames(const Listing* l) {
    for (int i = 0; i < l->count; ++i) {
        if (i) putchar(' ');
        Name(l->names[i], wcslen(l->names[i]));
    }
}

// The flags of class 64 when not given.
#define EX (kDelete | kPosix)

static NTSTATUS DisposeEx(HANDLE h, ULONG info_class, ULONG flags) {
    IO_STATUS_BLOCK io;
    if (info_class == kDispositionEx) {
        DispositionEx ex = {flags};
        return set_fn(h, &io, &ex, sizeof ex, kDispositionEx);
    }
    BOOLEAN yes = TRUE;
    return set_fn(h, &io, &yes, sizeof yes, kDisposition);
}

static NTSTATUS Dispose(HANDLE h, ULONG info_class) { return DisposeEx(h, info_class, EX); }

// What the handle's own queries say: its index and its name (FileNameInformation).
static void Queries(const char* group, const char* given, HANDLE h) {
    IO_STATUS_BLOCK io;
    LARGE_INTEGER index = {{0, 0}};
    NTSTATUS si = query_fn(h, &io, &index, sizeof index, kInternal);
    static union {
        ULONG length;
        WCHAR buffer[1024];
    } name;
    memset(&name, 0, sizeof name);
    NTSTATUS sn = query_fn(h, &io, &name, sizeof name, kName);
    printf("%s\t%s\tFileInternalInformation %s {ino:%llx}; FileNameInformation %s ", group, given,
           Hex(si), (unsigned long long)index.QuadPart, Hex(sn));
    if (NT_SUCCESS(sn)) Name(name.buffer + 2, name.length / sizeof(WCHAR));
    printf("\t%s\n", Hex(sn));
    fflush(stdout);
}

// "present, attrs 0xN" or "gone" for a path below the top.
static const char* Exists(const wchar_t* rel) {
    static char text[4][48];
    static int next;
    char* out = text[next++ % 4];
    wchar_t whole[MAX_PATH * 2 + 8];
    swprintf(whole, MAX_PATH * 2 + 8, L"\\\\?\\%ls", Path(rel));  // no DOS device names
    DWORD a = GetFileAttributesW(whole);
    if (a == INVALID_FILE_ATTRIBUTES)
        snprintf(out, 48, "gone (error %lu)", GetLastError());
    else
        snprintf(out, 48, "present, attrs 0x%lx", a);
    return out;
}

// Deletion through a handle opened relative to root: the status, and whether
// the entry is there before and after the close.
static void DeleteRow(HANDLE root, const wchar_t* dir, const wchar_t* name, ULONG info_class,
                      ULONG flags, const char* what) {
    wchar_t rel[MAX_PATH];
    swprintf(rel, MAX_PATH, L"%ls\\%ls", dir, name);
    char given[200], result[200];
    char how[40];
    snprintf(how, sizeof how, info_class == kDispositionEx ? " flags 0x%lx" : " DeleteFile=TRUE",
             flags);
    snprintf(given, sizeof given, "%s \"%ls\": class %lu%s", what, name, info_class, how);
    HANDLE h;
    NTSTATUS status = OpenRel(root, name, 0, DELETE, &h);
    if (!NT_SUCCESS(status)) {
        Row("3", given, "relative open for DELETE failed", Hex(status));
        return;
    }
    status = DisposeEx(h, info_class, flags);
    char before[48];
    snprintf(before, sizeof before, "%s", Exists(rel));
    CloseHandle(h);
    snprintf(result, sizeof result, "before close: %s; after close: %s", before, Exists(rel));
    Row("3", given, result, Hex(status));
}

static void RootDeleteRow(const wchar_t* dir, ULONG info_class) {
    char given[200], result[200];
    snprintf(given, sizeof given, "emptied held folder %ls through its own handle: class %lu%s",
             dir, info_class, info_class == kDispositionEx ? " flags 0x3" : " DeleteFile=TRUE");
    HANDLE h = Hold(dir);
    if (h == INVALID_HANDLE_VALUE) {
        snprintf(result, sizeof result, "hold failed, error %lu", GetLastError());
        Row("3", given, result, "-");
        return;
    }
    NTSTATUS status = Dispose(h, info_class);
    char before[48];
    snprintf(before, sizeof before, "%s", Exists(dir));
    CloseHandle(h);
    snprintf(result, sizeof result, "before close: %s; after close: %s", before, Exists(dir));
    Row("3", given, result, Hex(status));
}

static void Deletions(void) {
    HANDLE p = Hold(L"P");
    if (p == INVALID_HANDLE_VALUE) {
        Row("3", "hold P", "failed", "-");
        return;
    }
    static const struct {
        const wchar_t *ex, *plain;
        const char* what;
    } kinds[] = {
        {L"plain-ex.txt", L"plain-13.txt", "plain file"},
        {L"ro-ex.txt", L"ro-13.txt", "read-only file"},
        {L"empty-ex", L"empty-13", "empty folder"},
        {L"full-ex", L"full-13", "non-empty folder"},
    };
    for (size_t k = 0; k < sizeof kinds / sizeof *kinds; ++k) {
        DeleteRow(p, L"P", kinds[k].ex, kDispositionEx, EX, kinds[k].what);
        DeleteRow(p, L"P", kinds[k].plain, kDisposition, 0, kinds[k].what);
    }
    DeleteRow(p, L"P", L"plain-ex1.txt", kDispositionEx, kDelete, "plain file");
    DeleteRow(p, L"P", L"ro-ex13.txt", kDispositionEx, EX | kIgnoreReadOnly, "read-only file");
    // A read-only file that refused its deletion through both calls, once more
    // with the fallback after the first refusal (the uninstaller's order).
    HANDLE h;
    NTSTATUS status = OpenRel(p, L"ro-both.txt", 0, DELETE, &h);
    if (NT_SUCCESS(status)) {
        NTSTATUS ex = Dispose(h, kDispositionEx), plain = Dispose(h, kDisposition);
        CloseHandle(h);
        char result[160];
        snprintf(result, sizeof result, "class 64 %s then class 13 %s; after close: %s", Hex(ex),
                 Hex(plain), Exists(L"P\\ro-both.txt"));
        Row("3", "read-only file \"ro-both.txt\": class 64, then class 13 on the same handle",
            result, Hex(plain));
    }
    CloseHandle(p);
    // Empties P and Q by path (not measured) for the deletion of the roots.
    const wchar_t* rest[] = {L"P\\ro-ex.txt",      L"P\\ro-13.txt",    L"P\\ro-both.txt",
                             L"P\\plain-ex.txt",   L"P\\plain-13.txt", L"P\\full-ex\\f.txt",
                             L"P\\full-13\\f.txt", L"Q\\f.txt",        L"P\\plain-ex1.txt",
                             L"P\\ro-ex13.txt"};
    for (size_t i = 0; i < sizeof rest / sizeof *rest; ++i) {
        SetFileAttributesW(Path(rest[i]), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(Path(rest[i]));
    }
    const wchar_t* dirs[] = {L"P\\empty-ex", L"P\\empty-13", L"P\\full-ex", L"P\\full-13"};
    for (size_t i = 0; i < sizeof dirs / sizeof *dirs; ++i) RemoveDirectoryW(Path(dirs[i]));
    char left[200];
    snprintf(left, sizeof left, "P: %s; P\\full-ex: %s; Q: %s", Exists(L"P"), Exists(L"P\\full-ex"),
             Exists(L"Q"));
    Row("3", "P and Q emptied by path before their roots go (setup)", left, "-");
    RootDeleteRow(L"P", kDispositionEx);
    RootDeleteRow(L"Q", kDisposition);
}

static void SecondOpen(void) {
    for (int share_delete = 1; share_delete >= 0; --share_delete) {
        HANDLE h = CreateFileW(
            Path(L"D"), FILE_WRITE_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | (share_delete ? FILE_SHARE_DELETE : 0), NULL,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        char given[200], result[200];
        snprintf(given, sizeof given,
                 "second CreateFileW of held D, FILE_WRITE_ATTRIBUTES alone, share read|write%s",
                 share_delete ? "|delete" : "");
        DWORD error = GetLastError();
        snprintf(result, sizeof result, "%s", h == INVALID_HANDLE_VALUE ? "failed" : "opened");
        char status[32];
        snprintf(status, sizeof status, "error %lu", h == INVALID_HANDLE_VALUE ? error : 0);
        Row("6", given, result, status);
        if (h == INVALID_HANDLE_VALUE) continue;
        // A mount point to the vault (inside the prefix) on the second handle.
        MountPoint mp;
        memset(&mp, 0, sizeof mp);
        const wchar_t* target = L"\\??\\C:\\hp\\V";
        USHORT bytes = (USHORT)(wcslen(target) * sizeof(WCHAR));
        mp.ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
        mp.SubstituteNameLength = bytes;
        mp.PrintNameOffset = bytes + sizeof(WCHAR);
        wcscpy(mp.PathBuffer, target);
        mp.ReparseDataLength = (USHORT)(8 + 2 * bytes + 2 * sizeof(WCHAR));
        DWORD got = 0;
        SetLastError(0);
        BOOL ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &mp, 8 + mp.ReparseDataLength, NULL,
                                  0, &got, NULL);
        error = GetLastError();
        snprintf(result, sizeof result, "%s; D afterwards: %s", ok ? "succeeded" : "failed",
                 Exists(L"D"));
        snprintf(status, sizeof status, "error %lu", ok ? 0 : error);
        Row("6", "DeviceIoControl FSCTL_SET_REPARSE_POINT (mount point to C:\\hp\\V) on it", result,
            status);
        CloseHandle(h);
    }
}

static void ListingRows(const char* group, const char* given, const Listing* l) {
    printf("%s\t%s\t%d entries in %d calls: ", group, given, l->count, l->calls);
    PrintNames(l);
    printf("\t%s\n", Hex(l->status[l->calls - 1]));
    fflush(stdout);
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    wcscpy(top, argv[1]);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    open_fn = (OpenFn)(void (*)(void))GetProcAddress(ntdll, "NtOpenFile");
    list_fn = (ListFn)(void (*)(void))GetProcAddress(ntdll, "NtQueryDirectoryFile");
    set_fn = (SetFn)(void (*)(void))GetProcAddress(ntdll, "NtSetInformationFile");
    query_fn = (QueryFn)(void (*)(void))GetProcAddress(ntdll, "NtQueryInformationFile");
    if (!open_fn || !list_fn || !set_fn || !query_fn) return 3;
    HANDLE d = Hold(L"D");
    char text[400];
    snprintf(text, sizeof text, "%s", d == INVALID_HANDLE_VALUE ? "failed" : "held: ");
    if (d == INVALID_HANDLE_VALUE) {
        Row("0", "hold C:\\hp\\D", text, "-");
        return 1;
    }
    Describe(d, text + 6, sizeof text - 6);
    Row("0", "hold C:\\hp\\D (LIST_DIRECTORY|READ_ATTRIBUTES|DELETE|SYNCHRONIZE, share r|w)", text,
        "-");

    // 7 and 5: the whole listing, then a small buffer with restart on its first call.
    static Listing l;
    List(d, 65536, &l);
    printf("7\tNtQueryDirectoryFile(D, class 1, 64 KiB, restart) names and attrs\t");
    for (int i = 0; i < l.count; ++i) {
        Name(l.names[i], wcslen(l.names[i]));
        printf(" 0x%lx%s", l.attrs[i], i + 1 < l.count ? ", " : "");
    }
    printf("\t%s\n", Hex(l.status[l.calls - 1]));
    int a = Find(&l, L"a.txt");
    snprintf(text, sizeof text, "FileNameLength %lu; the WCHAR after the name: 0x%04x",
             a < 0 ? 0 : l.lengths[a], a < 0 ? 0 : l.after[a]);
    Row("7", "FILE_DIRECTORY_INFORMATION of a.txt (buffer filled with 0xCC first)", text,
        Hex(l.status[0]));
    const wchar_t* links[] = {L"Ld", L"Lf", L"Lx"};
    const char* link_text[] = {"to a folder", "to a file", "dangling"};
    for (int k = 0; k < 3; ++k) {
        int i = Find(&l, links[k]);
        snprintf(text, sizeof text, i < 0 ? "not listed" : "FileAttributes 0x%lx (0x400 %s)",
                 i < 0 ? 0 : l.attrs[i], i >= 0 && (l.attrs[i] & 0x400) ? "set" : "not set");
        char given[120];
        snprintf(given, sizeof given, "listing entry of host symlink %ls (%s)", links[k],
                 link_text[k]);
        Row("5", given, text, Hex(l.status[0]));
    }
    static Listing small;
    List(d, 600, &small);
    int pos = snprintf(text, sizeof text, "after a full listing: %d entries;", small.count);
    for (int c = 0; c < small.calls; ++c)
        pos += snprintf(text + pos, sizeof text - pos, " call %d: %d entries %s", c + 1,
                        small.per_call[c], Hex(small.status[c]));
    Row("7", "NtQueryDirectoryFile(D, class 1, 600 bytes, restart on the first call only)", text,
        Hex(small.status[small.calls - 1]));
    HANDLE fresh = CreateFileW(Path(L"D\\fresh.txt"), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    if (fresh != INVALID_HANDLE_VALUE) CloseHandle(fresh);
    List(d, 65536, &small);
    ListingRows("7", "restart again after CreateFileW made D\\fresh.txt by path", &small);

    // 1: relative opens of odd names.
    static const wchar_t* names[] = {L"a.txt",   L"A.TXT",  L".",       L"..",      L"x\\y",
                                     L"x/y",     L"",       L"com3",    L"nul.txt", L"...",
                                     L"dots...", L"trail ", L"a.txt:s", L"missing"};
    for (size_t i = 0; i < sizeof names / sizeof *names; ++i) {
        OpenRow("1", d, names[i], 0);
        if (!wcscmp(names[i], L"A.TXT")) OpenRow("1", d, names[i], OBJ_CASE_INSENSITIVE);
    }

    // 5: the links opened relative with FILE_OPEN_REPARSE_POINT, and their targets.
    for (int k = 0; k < 3; ++k) OpenRow("5", d, links[k], 0);
    HANDLE t = CreateFileW(Path(L"T"), FILE_READ_ATTRIBUTES, 7, NULL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (t != INVALID_HANDLE_VALUE) {
        Describe(t, text, sizeof text);
        Row("5", "target folder C:\\hp\\T by path (for comparison)", text, "-");
        CloseHandle(t);
    }
    t = CreateFileW(Path(L"T\\t.txt"), FILE_READ_ATTRIBUTES, 7, NULL, OPEN_EXISTING, 0, NULL);
    if (t != INVALID_HANDLE_VALUE) {
        Describe(t, text, sizeof text);
        Row("5", "target file C:\\hp\\T\\t.txt by path (for comparison)", text, "-");
        CloseHandle(t);
    }

    // 7: a listing on the same handle after one of its entries went.
    HANDLE gone;
    NTSTATUS sg = OpenRel(d, L"nul.txt", 0, DELETE, &gone);
    if (NT_SUCCESS(sg)) {
        sg = Dispose(gone, kDisposition);
        CloseHandle(gone);
    }
    List(d, 65536, &small);
    snprintf(text, sizeof text,
             "restart again after nul.txt was deleted relative (class 13 %s, "
             "closed; D\\nul.txt %s)",
             Hex(sg), Exists(L"D\\nul.txt"));
    ListingRows("7", text, &small);

    Deletions();
    SecondOpen();

    // 4: opened relative before the swap, deleted after it.
    HANDLE keep = NULL, keep2 = NULL;
    NTSTATUS s1 = OpenRel(d, L"keep.txt", 0, DELETE, &keep);
    NTSTATUS s2 = OpenRel(d, L"keep2.txt", 0, DELETE, &keep2);
    snprintf(text, sizeof text, "keep.txt %s, keep2.txt %s", Hex(s1), Hex(s2));
    Row("4", "relative opens for DELETE before the swap", text, Hex(s1));

    // The host's swap.
    HANDLE ready = CreateFileW(Path(L"ready"), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    int waited = 0;
    while (GetFileAttributesW(Path(L"go")) == INVALID_FILE_ATTRIBUTES && waited < 600) {
        Sleep(100);
        ++waited;
    }
    if (waited >= 600) {
        Row("2", "wait for the host's swap", "timed out", "-");
        return 1;
    }

    // 2: the held handle after the swap.
    Describe(d, text, sizeof text);
    Row("2", "GetFileInformationByHandle(held D) after the swap", text, "-");
    Queries("2", "NtQueryInformationFile(held D) after the swap", d);
    t = CreateFileW(Path(L"D"), FILE_READ_ATTRIBUTES, 7, NULL, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (t != INVALID_HANDLE_VALUE) {
        Describe(t, text, sizeof text);
        Row("2", "fresh CreateFileW of C:\\hp\\D by path after the swap (for comparison)", text,
            "-");
        CloseHandle(t);
    }
    OpenRow("2", d, L"onlyV.txt", 0);
    OpenRow("2", d, L"onlyD.txt", 0);
    HANDLE only;
    if (NT_SUCCESS(OpenRel(d, L"onlyD.txt", 0, 0, &only))) {
        Queries("2", "NtQueryInformationFile of \"onlyD.txt\" opened relative after the swap",
                only);
        CloseHandle(only);
    }
    static Listing after;
    List(d, 65536, &after);
    ListingRows("2", "NtQueryDirectoryFile(held D, class 1, 64 KiB, restart) after the swap",
                &after);
    HANDLE again;
    NTSTATUS sa = OpenRel(d, L"", 0, FILE_LIST_DIRECTORY, &again);
    if (NT_SUCCESS(sa)) {
        List(again, 65536, &after);
        CloseHandle(again);
        ListingRows("2",
                    "NtQueryDirectoryFile of a new handle opened relative to D as \"\" after "
                    "the swap",
                    &after);
    } else {
        Row("2", "NtOpenFile(D, \"\", FILE_LIST_DIRECTORY) after the swap", "failed", Hex(sa));
    }

    // 4: the deletions after the swap, and a name opened only after it.
    if (NT_SUCCESS(s1)) {
        Queries("4", "NtQueryInformationFile of keep.txt (opened before the swap) after it", keep);
        NTSTATUS s = Dispose(keep, kDisposition);
        CloseHandle(keep);
        snprintf(text, sizeof text, "D-moved\\keep.txt %s; V\\keep.txt %s",
                 Exists(L"D-moved\\keep.txt"), Exists(L"V\\keep.txt"));
        Row("4", "keep.txt (opened before the swap): class 13 after it, closed", text, Hex(s));
    }
    if (NT_SUCCESS(s2)) {
        NTSTATUS ex = Dispose(keep2, kDispositionEx);
        NTSTATUS s = NT_SUCCESS(ex) ? ex : Dispose(keep2, kDisposition);
        CloseHandle(keep2);
        snprintf(text, sizeof text,
                 "class 64 %s, class 13 %s; D-moved\\keep2.txt %s; V\\keep2.txt %s", Hex(ex),
                 NT_SUCCESS(ex) ? "not tried" : Hex(s), Exists(L"D-moved\\keep2.txt"),
                 Exists(L"V\\keep2.txt"));
        Row("4",
            "keep2.txt (opened before the swap): class 64 flags 0x3 after it, class 13 "
            "if refused, closed",
            text, Hex(s));
    }
    HANDLE keep3;
    NTSTATUS s3 = OpenRel(d, L"keep3.txt", 0, DELETE, &keep3);
    if (NT_SUCCESS(s3)) {
        Queries("4", "NtQueryInformationFile of keep3.txt opened relative after the swap", keep3);
        Describe(keep3, text, sizeof text);
        NTSTATUS s = Dispose(keep3, kDisposition);
        CloseHandle(keep3);
        size_t n = strlen(text);
        snprintf(text + n, sizeof text - n, "; class 13 %s; D-moved\\keep3.txt %s; V\\keep3.txt %s",
                 Hex(s), Exists(L"D-moved\\keep3.txt"), Exists(L"V\\keep3.txt"));
    } else {
        strcpy(text, "relative open failed");
    }
    Row("4", "keep3.txt opened relative after the swap, class 13, closed", text, Hex(s3));
    CloseHandle(d);
    Row("9", "done", "-", "-");
    return 0;
}
