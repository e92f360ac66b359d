// Racer: renames folders while the uninstaller works in or below them, the
// way another program could to put a link in their place. Being a Wine
// program, its renames meet Wine's sharing rules, as another program's would
// on Windows.
//
//   Racer.exe ARMED PACE START END FROM TO [PACE START END FROM TO]...
//
// Prints "ready"; once ARMED is gone prints "armed" (the uninstaller has
// begun, so the caller may set up). Then, for each PACE START END FROM TO in
// turn: once START is gone, tries MoveFileA(FROM, TO) in a tight loop until
// it succeeds, END is gone (the uninstaller is done there) or 5 s pass, and
// prints "moved I" or "failed I ERROR" (I counts from 1; ERROR 0: missed, as
// START never went or END went first), the tries and when they began.
//
// A PACE or START of the form "box:CAPTION" goes once a message box with that
// caption shows (the uninstaller's final message, say); the racer answers it
// with OK once the race is over and the box has shown for a second, so that
// the caller's robot, which then only watches, has read it.
//
// PACE, deleted two steps before START (or START itself: no aim), aims the
// first try. One step (a deletion) takes as long as holding the next folder,
// checking it, or opening its listing, as each looks its path up first. So the
// first try comes two and a half steps after START went: after the check and
// before the listing, when only the hold can stop the rename.
#include <stdio.h>
#include <string.h>
#include <windows.h>

static HWND Box(const char* sign) {
    HWND box = strncmp(sign, "box:", 4) ? NULL : FindWindowA("#32770", sign + 4);
    return box && IsWindowVisible(box) ? box : NULL;
}

static int Exists(const char* sign) {
    if (!strncmp(sign, "box:", 4)) return !Box(sign);
    return GetFileAttributesA(sign) != INVALID_FILE_ATTRIBUTES;
}

static double NowMs(void) {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

// Polls without a pause: each pause would let the uninstaller get further.
static int WaitGone(const char* path) {
    for (double until = NowMs() + 60000; Exists(path);)
        if (NowMs() > until) return 0;
    return 1;
}

// One race: returns 0 once moved, else the last error (-1: no try made).
// Notes when START went and when the first try came.
static DWORD Race(char** paths, int* tries, double* went, double* first) {
    DWORD error = 0;
    *tries = 0;
    if (!WaitGone(paths[0])) return (DWORD)-1;
    double paced = NowMs();
    if (!WaitGone(paths[1])) return (DWORD)-1;
    *went = NowMs();
    // A racer held up between PACE and START would aim far too late.
    double delay = 1.25 * (*went - paced) < 50 ? 1.25 * (*went - paced) : 50;
    while (NowMs() - *went < delay) {
    }
    *first = NowMs();
    for (double until = NowMs() + 5000; Exists(paths[2]) && NowMs() < until;) {
        ++*tries;
        if (MoveFileA(paths[3], paths[4])) return 0;
        error = GetLastError();
    }
    return error ? error : (DWORD)-1;
}

int main(int argc, char** argv) {
    if (argc < 7 || (argc - 2) % 5) {
        fprintf(stderr,
                "usage: Racer.exe ARMED PACE START END FROM TO [PACE START END FROM TO]...\n");
        return 2;
    }
    printf("ready\n");
    fflush(stdout);
    if (!WaitGone(argv[1])) return 1;
    printf("armed\n");
    fflush(stdout);
    int moved = 0;
    for (int race = 1; 2 + 5 * race <= argc; ++race) {
        int tries;
        double went = 0, first = 0;
        DWORD error = Race(argv + 5 * race - 3, &tries, &went, &first);
        if (error)
            printf("failed %d %ld", race, error == (DWORD)-1 ? 0L : (long)error);
        else
            printf("moved %d", race);
        printf(" after %d tries, the first %.2f ms after START went at %.3f\n", tries, first - went,
               went);
        fflush(stdout);
        moved += !error;
        HWND box = Box(argv[5 * race - 2]);  // START
        if (box) {
            while (NowMs() - went < 1000) Sleep(10);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
    }
    return moved ? 0 : 1;
}
