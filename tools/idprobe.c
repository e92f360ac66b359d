// Folder probe: asks the real calls where the system keeps its folders and
// what identity a folder has under each of its names, one tab-separated line
// per answer (UTF-8), so that the fake platform's protected folders and their
// aliases can be checked against them. Each argument is OP or OP:ARG, OP one of
//   I identity of ARG opened with FILE_READ_ATTRIBUTES, sharing all, backup
//     semantics: volume serial, file index and GetFinalPathNameByHandleW (0)
//   H the same through the uninstaller's hold (FILE_LIST_DIRECTORY |
//     FILE_READ_ATTRIBUTES, sharing read and write, no reparse)
//   S GetShortPathNameW of ARG
//   C SHGetFolderPathW(CSIDL ARG, hex, SHGFP_TYPE_CURRENT), shell32 loaded by
//     its full path in the system folder
//   K the known folders by SHGetFolderPathEx, the system's own folders and
//     the environment values that name folders
//
//   idprobe.exe K C:0x0005 I:C:\users\root\Desktop S:C:\Program_Files ...
#include <initguid.h>
#include <knownfolders.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

typedef HRESULT(WINAPI* FolderPath)(HWND, int, HANDLE, DWORD, LPWSTR);
typedef HRESULT(WINAPI* FolderPathEx)(const GUID*, DWORD, HANDLE, LPWSTR, UINT);
typedef DWORD(WINAPI* FinalPath)(HANDLE, LPWSTR, DWORD, DWORD);

static const struct {
    const char* name;
    const GUID* id;
} kKnown[] = {
    {"Downloads", &FOLDERID_Downloads},
    {"SavedGames", &FOLDERID_SavedGames},
    {"Links", &FOLDERID_Links},
    {"Contacts", &FOLDERID_Contacts},
    {"Searches", &FOLDERID_SavedSearches},
    {"Public", &FOLDERID_Public},
    {"PublicDownloads", &FOLDERID_PublicDownloads},
    {"SkyDrive", &FOLDERID_SkyDrive},
    {"LocalAppDataLow", &FOLDERID_LocalAppDataLow},
    {"UserProgramFiles", &FOLDERID_UserProgramFiles},
    {"UserProfiles", &FOLDERID_UserProfiles},
};

// Prints a wide string as UTF-8.
static void Put(const wchar_t* text) {
    char out[4 * MAX_PATH * 4];
    if (!WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, NULL, NULL)) out[0] = 0;
    fputs(out, stdout);
}

// "serial\tindex\tfinal path" of an existing folder, or "error N".
static void Identity(const wchar_t* path, BOOL hold) {
    HANDLE h = CreateFileW(
        path, hold ? FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES : FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | (hold ? 0 : FILE_SHARE_DELETE), NULL, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (hold ? FILE_FLAG_OPEN_REPARSE_POINT : 0), NULL);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
        printf("error %lu\t\t", GetLastError());
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return;
    }
    printf("%08lx\t%08lx:%08lx\t", info.dwVolumeSerialNumber, info.nFileIndexHigh,
           info.nFileIndexLow);
    FinalPath final = (FinalPath)(void (*)(void))GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                                "GetFinalPathNameByHandleW");
    wchar_t out[1024];
    DWORD n = final ? final(h, out, 1024, 0) : 0;
    if (n && n < 1024) {
        Put(out);
    } else {
        printf(final ? "error %lu" : "(not exported)", GetLastError());
    }
    CloseHandle(h);
}

// One folder the system reported: "OP\tNAME\tHRESULT\tPATH\tidentity".
static void Folder(const char* op, const char* name, HRESULT hr, const wchar_t* path) {
    printf("%s\t%s\t0x%08lx\t", op, name, (unsigned long)hr);
    Put(SUCCEEDED(hr) ? path : L"");
    printf("\t");
    if (SUCCEEDED(hr)) Identity(path, FALSE);
    printf("\n");
}

int wmain(int argc, wchar_t** argv) {
    wchar_t path[MAX_PATH * 4], shell[MAX_PATH + 16];
    GetSystemDirectoryW(shell, MAX_PATH);
    wcscat(shell, L"\\shell32.dll");
    HMODULE shell32 = LoadLibraryW(shell);
    FolderPath folder = (FolderPath)(void (*)(void))GetProcAddress(shell32, "SHGetFolderPathW");
    FolderPathEx folderEx =
        (FolderPathEx)(void (*)(void))GetProcAddress(shell32, "SHGetFolderPathEx");
    for (int i = 1; i < argc; ++i) {
        const wchar_t* arg = argv[i][0] && argv[i][1] == L':' ? argv[i] + 2 : L"";
        HRESULT hr = E_FAIL;
        switch (argv[i][0]) {
            case L'I':
            case L'H':
                printf("%c\t", (char)argv[i][0]);
                Put(arg);
                printf("\t");
                Identity(arg, argv[i][0] == L'H');
                printf("\n");
                break;
            case L'S': {
                DWORD n = GetShortPathNameW(arg, path, MAX_PATH * 4);
                printf("S\t");
                Put(arg);
                printf("\t");
                if (n)
                    Put(path);
                else
                    printf("error %lu", GetLastError());
                printf("\n");
                break;
            }
            case L'C': {
                char name[16];
                snprintf(name, sizeof name, "%ls", arg);
                path[0] = 0;
                if (folder) hr = folder(NULL, (int)wcstol(arg, NULL, 16), NULL, 0, path);
                Folder("C", folder ? name : "(no SHGetFolderPathW)", hr, path);
                break;
            }
            case L'K': {
                printf("E\tshell32\t");
                Put(shell);
                printf("\t%s\t%s\n", folder ? "SHGetFolderPathW" : "-",
                       folderEx ? "SHGetFolderPathEx" : "-");
                for (size_t k = 0; folderEx && k < sizeof kKnown / sizeof *kKnown; ++k) {
                    path[0] = 0;
                    hr = folderEx(kKnown[k].id, 0, NULL, path, MAX_PATH * 4);
                    Folder("X", kKnown[k].name, hr, path);
                }
                Folder("W", "GetWindowsDirectoryW",
                       GetWindowsDirectoryW(path, MAX_PATH) ? S_OK : E_FAIL, path);
                Folder("W", "GetSystemDirectoryW",
                       GetSystemDirectoryW(path, MAX_PATH) ? S_OK : E_FAIL, path);
                Folder("W", "GetTempPathW", GetTempPathW(MAX_PATH, path) ? S_OK : E_FAIL, path);
                const wchar_t* vars[] = {L"ProgramW6432", L"CommonProgramW6432",
                                         L"USERNAME",     L"USERPROFILE",
                                         L"TMP",          L"TEMP"};
                for (size_t v = 0; v < sizeof vars / sizeof *vars; ++v) {
                    char name[32];
                    snprintf(name, sizeof name, "%%%ls%%", vars[v]);
                    DWORD n = GetEnvironmentVariableW(vars[v], path, MAX_PATH);
                    Folder("V", name, n && n < MAX_PATH ? S_OK : E_FAIL, path);
                }
                break;
            }
            default:
                printf("?\t");
                Put(argv[i]);
                printf("\n");
        }
    }
    return 0;
}
