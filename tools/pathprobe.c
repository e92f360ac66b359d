// Path probe: asks the real calls what they make of odd paths, one line per
// argument, so that the fake platform's path model can be checked against
// them. Each argument is OP:PATH, OP one of
//   F GetFullPathNameA   A GetFileAttributesA   L FindFirstFileA listing
//   S GetShortPathNameA, then GetLongPathNameA of its result
//   G GetLongPathNameA
//   H the uninstaller's hold: CreateFileA(FILE_LIST_DIRECTORY |
//     FILE_READ_ATTRIBUTES, sharing read and write, backup semantics, no reparse)
//
//   pathprobe.exe F:C:\T\x.\ A:C:\T\COM1 ...
#include <stdio.h>
#include <windows.h>

int main(int argc, char** argv) {
    char out[1024], back[1024];
    for (int i = 1; i < argc; ++i) {
        const char* path = argv[i] + 2;
        DWORD n = 0;
        SetLastError(0);
        switch (argv[i][1] == ':' ? argv[i][0] : 0) {
            case 'F':
                n = GetFullPathNameA(path, sizeof out, out, NULL);
                printf("GetFullPathNameA [%s] -> [%s]\n", path, n ? out : "(failed)");
                break;
            case 'A':
                n = GetFileAttributesA(path);
                printf("GetFileAttributesA [%s] -> 0x%lx, error %lu\n", path, n, GetLastError());
                break;
            case 'L': {
                WIN32_FIND_DATAA data;
                HANDLE find = FindFirstFileA(path, &data);
                printf("FindFirstFileA [%s] ->", path);
                if (find == INVALID_HANDLE_VALUE) printf(" error %lu", GetLastError());
                while (find != INVALID_HANDLE_VALUE) {
                    printf(" [%s] 0x%lx", data.cFileName, data.dwFileAttributes);
                    if (!FindNextFileA(find, &data)) break;
                }
                if (find != INVALID_HANDLE_VALUE) FindClose(find);
                printf("\n");
                break;
            }
            case 'S':
                n = GetShortPathNameA(path, out, sizeof out);
                printf("GetShortPathNameA [%s] -> [%s]\n", path, n ? out : "(failed)");
                if (n && GetLongPathNameA(out, back, sizeof back))
                    printf("GetLongPathNameA [%s] -> [%s]\n", out, back);
                break;
            case 'G':
                n = GetLongPathNameA(path, out, sizeof out);
                printf("GetLongPathNameA [%s] -> [%s]\n", path, n ? out : "(failed)");
                break;
            case 'H': {
                HANDLE held =
                    CreateFileA(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
                printf("hold [%s] -> %s, error %lu\n", path,
                       held == INVALID_HANDLE_VALUE ? "failed" : "held", GetLastError());
                if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
                break;
            }
            default:
                printf("unknown probe [%s]\n", argv[i]);
        }
    }
    return 0;
}
