// File holder: keeps a file open without delete sharing (so it cannot be
// deleted) until its standard input closes. Prints "held" once it is open.
//
//   Holder.exe PATH
#include <stdio.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    HANDLE file = argc == 2 ? CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL)
                            : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) {
        printf("failed %lu\n", GetLastError());
        return 2;
    }
    printf("held\n");
    fflush(stdout);
    while (getchar() != EOF) {
    }
    CloseHandle(file);
    return 0;
}
