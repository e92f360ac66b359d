#include "uninstaller/text_rules.h"

#include <string.h>

#include "platform/platform.h"

// No code page has a lead byte below 0x80, so plain ASCII costs no call.
const char* NextChar(const char* text) {
    bool lead = static_cast<unsigned char>(*text) >= 0x80 && platform::IsLeadByte(*text);
    return lead && text[1] ? text + 2 : text + 1;
}

namespace {

using ::NextChar;
// A UTF-16 path is read by code unit: no surrogate is a separator.
const platform::WideChar* NextChar(const platform::WideChar* text) { return text + 1; }

template <typename Char>
const Char* FindCharOf(const Char* text, const char* set) {
    for (; *text; text = NextChar(text)) {
        for (const char* c = set; *c; ++c)
            if (static_cast<Char>(*c) == *text) return text;
    }
    return text;
}

}  // namespace

const char* FindChar(const char* text, const char* set) { return FindCharOf(text, set); }

char LastChar(const char* text) {
    char last = 0;
    for (; *text; text = NextChar(text)) last = *text;
    return last;
}

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }
template <typename Char>
bool IsDriveLetter(Char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "." or "..", ending at `end`.
bool IsDotStep(const char* component, const char* end) {
    size_t length = end - component;
    return (length == 1 || length == 2) && strspn(component, ".") >= length;
}

// "\??\" (either slash) is the system's own namespace: GetFullPathNameA reads
// it as a folder named "??" on the current drive, but the file calls take it
// as the prefix of a device path such as a whole drive.
bool IsSystemNamespace(const char* path) {
    return IsSeparator(path[0]) && path[1] == '?' && path[2] == '?' && IsSeparator(path[3]);
}

// "\\?\" (either slash): the file calls take the rest literally, so '/' is
// part of a name and ".", ".." and empty steps (a doubled or trailing
// separator, as in the listing's pattern) name nothing, while GetFullPathNameA
// still turns '/' into '\', applies the steps, joins separators and resolves
// a drive-relative path.
bool IsVerbatim(const char* path) {
    return IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == '?' && IsSeparator(path[3]);
}

bool HasVerbatimAmbiguity(const char* path) {
    const char* rest = path + 4;
    // "\\?\C:x" is relative to C's working directory for one, a name for the other.
    if (*FindChar(rest, "/") || LastChar(rest) == '\\' ||
        (IsDriveLetter(rest[0]) && rest[1] == ':' && rest[2] != '\\'))
        return true;
    while (*rest) {
        const char* end = FindChar(rest, "\\");
        if (IsDotStep(rest, end) || end == rest) return true;
        rest = *end ? end + 1 : end;
    }
    return false;
}

// Skips `count` non-empty components, each but the last followed by one
// backslash. Returns nullptr when the path is not shaped like that.
template <typename Char>
const Char* SkipComponents(const Char* path, int count) {
    for (int i = 0; i < count; ++i) {
        const Char* end = FindCharOf(path, "\\");
        if (end == path) return nullptr;
        path = end;
        if (i + 1 < count) {
            if (*path != '\\') return nullptr;
            ++path;
        }
    }
    return path;
}

}  // namespace

bool HasLooseComponent(const char* path, bool stepsAreLoose) {
    for (const char* end; *path; path = *end ? end + 1 : end) {
        end = FindChar(path, "\\/");
        if (end == path) continue;
        if (IsDotStep(path, end)) {
            if (stepsAreLoose) return true;
            continue;
        }
        char last = 0;
        for (const char* c = path; c < end; c = NextChar(c)) last = *c;
        if (last == '.' || last == ' ') return true;
    }
    return false;
}

bool RootTextIsRefused(const char* root, size_t limit) {
    size_t length = strlen(root);
    return length == 0 || length >= limit || IsSystemNamespace(root) ||
           (IsVerbatim(root) && HasVerbatimAmbiguity(root)) || HasLooseComponent(root, false);
}

namespace {
template <typename Char>
const Char* SkipVolumeOf(const Char* path) {
    if (IsDriveLetter(path[0]) && path[1] == ':') return path + 2;
    if (path[0] != '\\' || path[1] != '\\') return nullptr;
    path += 2;
    if ((path[0] != '?' && path[0] != '.') || path[1] != '\\') return SkipComponents(path, 2);
    path += 2;
    if (IsDriveLetter(path[0]) && path[1] == ':') return path + 2;
    if (path[0] == 'U' && path[1] == 'N' && path[2] == 'C' && path[3] == '\\')
        return SkipComponents(path + 4, 2);
    return nullptr;
}
}  // namespace

const char* SkipVolume(const char* path) { return SkipVolumeOf(path); }
const platform::WideChar* SkipVolume(const platform::WideChar* path) { return SkipVolumeOf(path); }

// Nothing but separators lies below the volume. A full path with "." or
// ".." steps, or with names of dots and spaces, is refused as loose anyway.
bool IsVolumeRoot(const char* fullPath) {
    const char* rest = SkipVolume(fullPath);
    return !rest || rest[strspn(rest, "\\")] == '\0';
}

bool IsDotStep(const platform::WideChar* name, size_t length, size_t dots) {
    if (length != dots) return false;
    for (size_t i = 0; i < length; ++i)
        if (name[i] != '.') return false;
    return true;
}

bool IsSingleName(const platform::WideChar* name, size_t length) {
    if (length == 0 || IsDotStep(name, length, 1) || IsDotStep(name, length, 2)) return false;
    for (size_t i = 0; i < length; ++i)
        if (name[i] == 0 || name[i] == '\\' || name[i] == '/' || name[i] == ':') return false;
    return true;
}

bool CanQuoteForInterpreter(const char* path) {
    if (*FindChar(path, "%!\"")) return false;
    for (; *path; path = NextChar(path))
        if (static_cast<unsigned char>(*path) < 0x20) return false;
    return true;
}
