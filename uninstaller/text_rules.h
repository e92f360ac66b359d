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
//  - A listed name is put into a path only when it converts to ANSI exactly
//    and that path names the entry (NameCanNameEntry): a path drops a
//    trailing dot or space, ':' names a stream of another entry, and a name
//    read as a device (CON, com1.txt, "LPT2  .log") names the device.
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

// Whether the listed entry's exact ANSI name, put after a folder's path and a
// backslash, names that entry and no other.
bool NameCanNameEntry(const platform::FindEntry& entry);
// Whether Win32 reads a file name as a DOS device, decided on its Unicode
// form: the superscript digits are U+00B9, U+00B2 and U+00B3 in every code
// page, while their ANSI bytes are other characters in some.
bool IsDeviceName(const platform::WideChar* name);

// Whether a path can stand inside double quotes on a command line: the
// interpreter expands %...% even there (and !...! with delayed expansion on),
// a quote would end it early and a control character (a line feed) the
// command.
bool CanQuoteForInterpreter(const char* path);
