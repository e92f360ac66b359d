// Dialog robot: watches for message boxes (visible top-level windows of
// class #32770), writes what each one shows to a transcript and answers it
// by pressing the next scripted button.
#pragma once

#include <stdio.h>
#include <windows.h>

typedef struct {
    const char* caseName;  // tags every transcript line
    FILE* transcript;      // JSON lines
    const int* answers;    // button IDs to press, in order
    int answerCount;
    int manual;           // record only: a person answers
    const char* shotDir;  // if set, a BMP of each dialog is saved here
    const char* gate;     // if set, made when the first dialog shows, which waits until it is gone
    HANDLE stop;          // set by the owner to end the robot
    HANDLE answered;      // set by the robot once every scripted answer was given
} RobotScript;

// Thread procedure; the parameter is a RobotScript*.
DWORD WINAPI RunRobot(LPVOID script);

// Milliseconds on the performance counter, comparable across processes.
double NowMs(void);

// Writes a string as a JSON string literal (bytes above 0x7E as \u00XX).
void WriteJsonString(FILE* out, const char* text);
