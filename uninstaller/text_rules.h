// What a root, a listed name or a short path may be. The system reads one
// string in more than one way, and each rule closes one such gap:
//  - Text is read by character, never by byte: in a double-byte code page the
//    second byte of a character can be '\\' or '|'.
//  - A root's text is refused when a path call and a file call could read it
//    as two different folders (RootTextIsRefused): the system's namespace
//    "\??\"; any component ending in a dot or a space, which one call trims and
//    another keeps; in a "\\?\" path, '/' and "." or ".." steps, which the file
//    calls take literally but GetFullPathNameA reads as separators and steps.
//  - A root is refused when its full path names a drive or share (IsVolumeRoot).
//  - A listed name is opened below its folder's handle only when it names one
//    entry there (IsSingleName): the open takes '\\' as a separator (Wine
//    '/' too), ':' as a stream's and "." and ".." as steps. Names are never
//    put into paths, so trailing dots and spaces and device names are no
//    concern.
//  - The self-deletion's target holds nothing the command interpreter
//    expands, ends a quote or a command with.
#pragma once

#include <stddef.h>

#include "platform/platform.h"

// The next character of `text` (which must not be at its end).
const char* NextChar(const char* text);
// The first character of `text` found in `set` (single-byte characters), or
// the end of `text`.
const char* FindChar(const char* text, const char* set);
// The first byte of the last character of `text`; 0 when it is empty.
char LastChar(const char* text);

// Whether a removal root's text is refused before it is resolved.
bool RootTextIsRefused(const char* root, size_t limit);
// Whether any component of `path` ends in a dot or a space: such a component
// names one folder to GetFullPathNameA and the listing, and another to a call
// that trims it as the last component. The steps "." and ".." count only when
// `stepsAreLoose`: a full path holds one only when a folder's own name, such
// as "...", lost a dot to GetFullPathNameA.
bool HasLooseComponent(const char* path, bool stepsAreLoose);

// The part of a full path below its volume ("C:", "\\server\share", "\\?\C:",
// "\\?\UNC\server\share", "\\.\C:"); nullptr when it names no volume.
const char* SkipVolume(const char* fullPath);
const platform::WideChar* SkipVolume(const platform::WideChar* fullPath);
// Whether a full path names the root of a drive or share.
bool IsVolumeRoot(const char* fullPath);

// Whether a listed Unicode name of `length` code units names one entry of its
// folder, and nothing else, when opened relative to it.
bool IsSingleName(const platform::WideChar* name, size_t length);
// Whether a listed Unicode name is the step of `dots` (1 or 2) dots.
bool IsDotStep(const platform::WideChar* name, size_t length, size_t dots);

// Whether a path can stand inside double quotes on a command line: the
// interpreter expands %...% even there (and !...! with delayed expansion on),
// a quote would end it early and a control character (a line feed) the
// command.
bool CanQuoteForInterpreter(const char* path);
