// Stand-in for the product's main program, Quillstead.exe. Given the argument
// "Uninstall", it copies the uninstaller that lies beside it to %TEMP% and
// starts that copy with "Uninstall" and its own directory, then ends. If
// QUILLSTEAD_RECORD names a file, it appends one JSON line saying how it was
// started (command line, working directory) and what it did.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "robot.h"

// Appends `argument` in double quotes so that the runtime's argument rules
// give it back unchanged: backslashes before a quote are doubled.
static void AppendQuoted(char* out, const char* argument) {
    out += strlen(out);
    *out++ = '"';
    for (const char* c = argument;; ++c) {
        size_t slashes = strspn(c, "\\");
        size_t copies = c[slashes] == '"' ? 2 * slashes + 1 : c[slashes] ? slashes : 2 * slashes;
        memset(out, '\\', copies);
        out += copies;
        c += slashes;
        if (!*c) break;
        *out++ = *c;
    }
    *out++ = '"';
    *out = '\0';
}

int main(int argc, char** argv) {
    char self[MAX_PATH], directory[MAX_PATH], cwd[MAX_PATH] = "", temp[MAX_PATH] = "";
    char copy[MAX_PATH] = "", command[3 * MAX_PATH] = "", record[MAX_PATH];
    double started = NowMs();
    GetModuleFileNameA(NULL, self, sizeof self);
    GetCurrentDirectoryA(sizeof cwd, cwd);
    strcpy(directory, self);
    char* slash = strrchr(directory, '\\');
    slash[slash == directory + 2 && directory[1] == ':' ? 1 : 0] = '\0';  // "C:\" keeps its slash

    BOOL handedOff = FALSE;
    if (argc > 1 && strcmp(argv[1], "Uninstall") == 0) {
        char source[MAX_PATH];
        snprintf(source, sizeof source, "%s%sUninstall.exe", directory,
                 directory[strlen(directory) - 1] == '\\' ? "" : "\\");
        GetTempPathA(sizeof temp, temp);
        snprintf(copy, sizeof copy, "%sUninstall.exe", temp);
        if (CopyFileA(source, copy, FALSE)) {
            strcpy(command, "\"");
            strcat(command, copy);
            strcat(command, "\" Uninstall ");
            AppendQuoted(command, directory);
            STARTUPINFOA startup = {0};
            startup.cb = sizeof startup;
            PROCESS_INFORMATION child;
            handedOff =
                CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, temp, &startup, &child);
            if (handedOff) {
                CloseHandle(child.hThread);
                CloseHandle(child.hProcess);
            }
        }
    }
    FILE* out = GetEnvironmentVariableA("QUILLSTEAD_RECORD", record, sizeof record)
                    ? fopen(record, "a")
                    : NULL;
    if (out) {
        fprintf(out, "{\"t\":%.3f,\"cmdline\":", started);
        WriteJsonString(out, GetCommandLineA());
        fprintf(out, ",\"cwd\":");
        WriteJsonString(out, cwd);
        fprintf(out, ",\"copy\":");
        WriteJsonString(out, handedOff ? copy : "");
        fprintf(out, ",\"handoff\":");
        WriteJsonString(out, command);
        fprintf(out, "}\n");
        fclose(out);
    }
    return handedOff ? 0 : 1;
}
