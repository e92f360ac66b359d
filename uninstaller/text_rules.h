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
//  - A listed name is put into a path only when that path names the entry
//    (NameCanNameEntry): best fit may have turned it into one holding
//    separators, ':' (a stream of another entry) or wildcards; a path drops a
//    trailing dot or space; and a name read as a device (CON, com1.txt,
//    "LPT2  .log") names the device, not the entry.
//  - The self-deletion's target is used only when its long form is the
//    program's own path, ignoring letter case (SameTextIgnoringCase), and it
//    holds nothing the command interpreter expands or ends a quote with.
#pragma once

#include <stddef.h>

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
// Whether a full path names the root of a drive or share.
bool IsVolumeRoot(const char* fullPath);

// Whether the listed name, put after a folder's path and a backslash, names
// that entry and no other.
bool NameCanNameEntry(const char* name);
// Whether Win32 reads a file name as a DOS device.
bool IsDeviceName(const char* name);

// Equal, with the case of A to Z ignored in single-byte characters only.
bool SameTextIgnoringCase(const char* a, const char* b);
// Whether a path can stand inside double quotes on a command line: the
// interpreter expands %...% even there (and !...! with delayed expansion on),
// and a quote would end it early.
bool CanQuoteForInterpreter(const char* path);
