// Whether a removal root is a folder the system or a user keeps. People install
// into the wrong folder, and the removal empties whatever folder it is given.
#pragma once

#include "platform/platform.h"

// Whether the root, open as `root` and named by `rootFullPath` (its exact
// full path with no trailing separator), is or holds a folder the system or a
// user keeps, or lies in the Windows folder: at or below it, on the way it is
// named or on the way it finally leads. Refused (true) when it cannot be told.
bool IsKeptFolder(platform::Handle root, const char* rootFullPath);
