// Interp: a command interpreter that holds back until told, for use as the
// uninstaller's %ComSpec%. It opens the window between the uninstaller's end
// and the interpreter's work, in which a racer can act, and shows when the
// command has run.
//
//   Interp.exe ARGUMENTS...      (INTERP_GO=PATH in its environment)
//
// Waits (at most 60 s) until PATH exists, then runs the system's cmd.exe with
// the same arguments, letting it inherit handles, waits for it to end and
// deletes PATH. So, like the real interpreter, it keeps whatever handles it
// inherited until the command has run. Exits with cmd's status.
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(void) {
    char go[MAX_PATH], command[8192];
    const char* tail = GetCommandLineA();  // the arguments, as given: past the program's name
    if (*tail == '"')
        tail = strchr(tail + 1, '"') ? strchr(tail + 1, '"') + 1 : "";
    else
        tail += strcspn(tail, " \t");
    DWORD length = GetEnvironmentVariableA("INTERP_GO", go, sizeof go);
    if (length == 0 || length >= sizeof go) return 2;
    for (DWORD waited = 0; GetFileAttributesA(go) == INVALID_FILE_ATTRIBUTES; waited += 10) {
        if (waited > 60000) return 3;
        Sleep(10);
    }
    char system[MAX_PATH];
    length = GetSystemDirectoryA(system, sizeof system);
    if (length == 0 || length >= sizeof system) return 4;
    snprintf(command, sizeof command, "\"%s\\cmd.exe\"%s", system, tail);
    STARTUPINFOA startup = {0};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    DWORD status = 5;
    if (CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) {
        WaitForSingleObject(child.hProcess, INFINITE);
        GetExitCodeProcess(child.hProcess, &status);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    DeleteFileA(go);
    return (int)status;
}
