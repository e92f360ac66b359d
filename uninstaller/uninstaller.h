// The uninstaller's own logic: mode selection, the hand-off to the main
// program, and removal of an installed tree. It reaches the system only
// through platform/platform.h.
#pragma once

#include "platform/platform.h"

// Set when any file, subdirectory or the removal root could not be deleted.
extern int DeleteFailed;

extern "C" int PLATFORM_WINAPI WinMain(void* instance, void* previousInstance, char* commandLine,
                                       int showCommand);

void RunUninstaller();

// Starts the main program from the working directory with "Uninstall".
// Returns 1 when started; otherwise reports the failure and exits with 0.
int LaunchMainProgram();

// Takes ownership of `directory` (from platform::Allocate) and releases it
// after the final message. Returns ScheduleSelfDelete's result.
int UninstallDirectory(char* directory);

// The path shown for the entry being handled: the directory argument and the
// listed names below it, as much of it as a message can show. `length` is the
// whole path's, which may be longer than what is kept.
const size_t kMessageSize = 300;  // composed messages, terminator included
struct ShownPath {
    char text[kMessageSize];
    size_t length;
};

// Empties the folder open as `folder`, depth first, reaching every entry
// through it; `shown` is the folder's path for the messages.
void RemoveTreeContents(platform::Handle folder, ShownPath* shown);

// Returns 1 when the hidden command deleting this program was started.
int ScheduleSelfDelete();
