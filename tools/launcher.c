// Launcher: runs cases from a case file. Each case starts a program with an
// exact raw command line and working directory (CreateProcessW, so no quoting
// is added, and the program gets their ANSI forms from the system, converted
// with best fit as on Windows), answers its dialogs with the robot and records
// the exit status, all as JSON lines with performance-counter times in
// milliseconds.
//
//   Launcher.exe CASEFILE TRANSCRIPT
//
// Case file (UTF-8): "[name]" starts a case; then key=value lines, values raw:
//   dir=D        working directory (default: inherited)
//   cmd=LINE     the command line, passed as it is; without one, the robot
//                only watches until it has seen every answer's dialog
//   answers=6,1  button IDs to press in order; "manual,6,1" lets a person
//                answer (the IDs then only count the dialogs)
//   env=N=V      set N for the child; env=N unsets it
//   hold=PATH    Holder.exe (beside this program) keeps PATH open meanwhile
//   gate=PATH    the robot makes PATH when the first dialog shows and answers
//                it only once PATH is gone (another program acts meanwhile)
//   until=answers  after the child ends, wait until every answer was given
//   shots=DIR    save a BMP of each dialog in DIR
//   timeout=MS   limit for the whole case (default 20000)
#include <stdlib.h>
#include <string.h>

#include "robot.h"

enum { kMaxAnswers = 16, kMaxEnv = 8, kLine = 2048 };

typedef struct {
    char name[128], dir[kLine], cmd[kLine], hold[kLine], gate[kLine], shots[MAX_PATH];
    char env[kMaxEnv][kLine];
    int answers[kMaxAnswers], answerCount, envCount, manual, untilAnswers;
    DWORD timeout;
} Case;

static FILE* transcript;

// The UTF-8 text as UTF-16, in a buffer the caller frees.
static wchar_t* Wide(const char* text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
    wchar_t* wide = (wchar_t*)calloc((size_t)length + 1, sizeof *wide);
    if (wide) MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, length);
    return wide;
}

static void Event(const Case* c, const char* event, double t, const char* extra) {
    fprintf(transcript, "{\"case\":");
    WriteJsonString(transcript, c->name);
    fprintf(transcript, ",\"event\":\"%s\",\"t\":%.3f%s}\n", event, t, extra);
    fflush(transcript);
}

// Starts Holder.exe on the file and waits until it reports the file open.
// Returns the write end of its standard input: closing it lets go.
static HANDLE StartHolder(const char* path, HANDLE* holder) {
    wchar_t command[kLine + MAX_PATH], module[MAX_PATH], *wide = Wide(path);
    char reply[64] = "";
    GetModuleFileNameW(NULL, module, MAX_PATH);
    wcscpy(wcsrchr(module, L'\\') + 1, L"Holder.exe");
    swprintf(command, kLine + MAX_PATH, L"\"%ls\" \"%ls\"", module, wide);
    free(wide);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE inRead, inWrite, outRead, outWrite;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) return NULL;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return NULL;
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {0};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started;
    BOOL ok = CreateProcessW(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &started);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    DWORD count = 0;
    if (ok) ReadFile(outRead, reply, sizeof reply - 1, &count, NULL);
    CloseHandle(outRead);
    if (ok) CloseHandle(started.hThread);
    if (!ok || strncmp(reply, "held", 4) != 0) {
        CloseHandle(inWrite);
        if (ok) CloseHandle(started.hProcess);
        return NULL;
    }
    *holder = started.hProcess;
    return inWrite;
}

static void RunCase(Case* c) {
    char extra[kLine + 64];
    wchar_t saved[kMaxEnv][kLine], *names[kMaxEnv];
    int hadValue[kMaxEnv];
    HANDLE holder = NULL, letGo = NULL;
    if (c->hold[0] && !(letGo = StartHolder(c->hold, &holder))) {
        Event(c, "hold-failed", NowMs(), "");
        return;
    }
    for (int i = 0; i < c->envCount; ++i) {
        char* value = strchr(c->env[i], '=');
        if (value) *value++ = '\0';
        wchar_t* wideValue = value ? Wide(value) : NULL;
        names[i] = Wide(c->env[i]);
        hadValue[i] = GetEnvironmentVariableW(names[i], saved[i], kLine) != 0;
        SetEnvironmentVariableW(names[i], wideValue);
        free(wideValue);
    }
    RobotScript script = {c->name,
                          transcript,
                          c->answers,
                          c->answerCount,
                          c->manual,
                          c->shots[0] ? c->shots : NULL,
                          c->gate[0] ? c->gate : NULL,
                          CreateEventA(NULL, TRUE, FALSE, NULL),
                          CreateEventA(NULL, TRUE, FALSE, NULL)};
    STARTUPINFOW startup = {0};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {0};
    int watchOnly = !c->cmd[0];
    wchar_t *command = Wide(c->cmd), *directory = c->dir[0] ? Wide(c->dir) : NULL;
    double launched = NowMs();
    BOOL ok = watchOnly || CreateProcessW(NULL, command, NULL, NULL, FALSE, 0, NULL, directory,
                                          &startup, &child);
    DWORD error = GetLastError();
    free(command);
    free(directory);
    for (int i = 0; i < c->envCount; ++i) {
        SetEnvironmentVariableW(names[i], hadValue[i] ? saved[i] : NULL);
        free(names[i]);
    }
    if (!ok) {
        snprintf(extra, sizeof extra, ",\"error\":%lu", error);
        Event(c, "launch-failed", launched, extra);
    } else {
        snprintf(extra, sizeof extra, ",\"pid\":%lu", child.dwProcessId);
        Event(c, watchOnly ? "watch" : "launch", launched, extra);
        HANDLE robot = CreateThread(NULL, 0, RunRobot, &script, 0, NULL);
        DWORD waited = watchOnly ? WAIT_OBJECT_0 : WaitForSingleObject(child.hProcess, c->timeout);
        double ended = NowMs();
        DWORD status = 259;
        if (!watchOnly) {
            if (waited != WAIT_OBJECT_0) TerminateProcess(child.hProcess, 259);
            GetExitCodeProcess(child.hProcess, &status);
            CloseHandle(child.hThread);
            CloseHandle(child.hProcess);
        }
        if ((c->untilAnswers || watchOnly) && waited == WAIT_OBJECT_0) {
            DWORD left = (DWORD)(launched + c->timeout - ended);
            waited = WaitForSingleObject(script.answered, left < c->timeout ? left : 0);
            if (watchOnly) ended = NowMs();
        }
        SetEvent(script.stop);
        WaitForSingleObject(robot, 5000);
        CloseHandle(robot);
        snprintf(extra, sizeof extra, ",\"status\":%lu,\"timed_out\":%s", status,
                 waited == WAIT_OBJECT_0 ? "false" : "true");
        Event(c, "exit", ended, extra);
    }
    CloseHandle(script.stop);
    CloseHandle(script.answered);
    if (letGo) {
        CloseHandle(letGo);
        WaitForSingleObject(holder, 5000);
        CloseHandle(holder);
    }
}

static void SetKey(Case* c, const char* key, const char* value) {
    if (!strcmp(key, "dir")) snprintf(c->dir, sizeof c->dir, "%s", value);
    if (!strcmp(key, "cmd")) snprintf(c->cmd, sizeof c->cmd, "%s", value);
    if (!strcmp(key, "hold")) snprintf(c->hold, sizeof c->hold, "%s", value);
    if (!strcmp(key, "gate")) snprintf(c->gate, sizeof c->gate, "%s", value);
    if (!strcmp(key, "shots")) snprintf(c->shots, sizeof c->shots, "%s", value);
    if (!strcmp(key, "timeout")) c->timeout = strtoul(value, NULL, 10);
    if (!strcmp(key, "until")) c->untilAnswers = !strcmp(value, "answers");
    if (!strcmp(key, "env") && c->envCount < kMaxEnv)
        snprintf(c->env[c->envCount++], kLine, "%s", value);
    if (!strcmp(key, "answers")) {
        c->manual = !strncmp(value, "manual", 6);
        for (const char* p = c->manual ? value + 6 : value; *p && c->answerCount < kMaxAnswers;) {
            c->answers[c->answerCount++] = (int)strtol(p + (*p == ','), (char**)&p, 10);
        }
    }
}

int main(int argc, char** argv) {
    FILE* cases = argc == 3 ? fopen(argv[1], "rb") : NULL;
    transcript = argc == 3 ? fopen(argv[2], "w") : NULL;
    if (!cases || !transcript) {
        fprintf(stderr, "usage: Launcher.exe CASEFILE TRANSCRIPT\n");
        return 2;
    }
    static Case current;
    char line[kLine + 16];
    int open = 0;
    while (fgets(line, sizeof line, cases)) {
        line[strcspn(line, "\r\n")] = '\0';
        char* equals = strchr(line, '=');
        if (line[0] == '[') {
            if (open) RunCase(&current);
            memset(&current, 0, sizeof current);
            current.timeout = 20000;
            snprintf(current.name, sizeof current.name, "%.*s", (int)strcspn(line + 1, "]"),
                     line + 1);
            open = 1;
        } else if (open && equals) {
            *equals = '\0';
            SetKey(&current, line, equals + 1);
        }
    }
    if (open) RunCase(&current);
    fclose(transcript);
    return 0;
}
