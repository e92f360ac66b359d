// Racer: renames a folder while the uninstaller works inside it, the way
// another program could to swap a link in. Being a Wine program, its rename
// meets Wine's sharing rules, as another program's would on Windows.
//
//   Racer.exe START END FROM TO
//
// Prints "ready", waits until START is gone (the uninstaller has begun
// there), then tries MoveFileA(FROM, TO) in a tight loop until it succeeds,
// END is gone (the uninstaller is done there) or 5 s pass. Prints "moved
// after N tries", or "failed ERROR after N tries" ("failed 0 after 0 tries":
// START never went, or END went before a try).
#include <stdio.h>
#include <windows.h>

static int Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: Racer.exe START END FROM TO\n");
        return 2;
    }
    printf("ready\n");
    fflush(stdout);
    // Polling without a pause: each pause lets the uninstaller get further first.
    DWORD waitUntil = GetTickCount() + 60000, error = 0;
    while (Exists(argv[1]) && (int)(GetTickCount() - waitUntil) < 0) {
    }
    int tries = 0;
    if (!Exists(argv[1])) {
        for (DWORD until = GetTickCount() + 5000;
             Exists(argv[2]) && (int)(GetTickCount() - until) < 0;) {
            ++tries;
            if (MoveFileA(argv[3], argv[4])) {
                printf("moved after %d tries\n", tries);
                fflush(stdout);
                return 0;
            }
            error = GetLastError();
        }
    }
    printf("failed %lu after %d tries\n", error, tries);
    fflush(stdout);
    return 1;
}
