#!/usr/bin/env python3
"""Runs tools/idprobe.exe in a throwaway Wine prefix (no drive outside it) and prints, as
markdown tables, where the system keeps its folders (CSIDLs, known folders, the system's own
calls, the environment), which of them a fresh prefix has, and the identity (volume serial,
file index) and final path of one folder under each of its names: the measurements behind the
fake platform's protected folders and their aliases.

  idprobe.py [--arch A] [--tools DIR]
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from winesession import WINE, WineSession, arch_here, short_name  # noqa: E402

CSIDLS = """Desktop 00 Programs 02 Personal 05 Favorites 06 Startup 07 Recent 08 SendTo 09 StartMenu 0b
MyMusic 0d MyVideo 0e DesktopDirectory 10 NetHood 13 Fonts 14 Templates 15 Common_StartMenu 16
Common_Programs 17 Common_Startup 18 Common_DesktopDirectory 19 AppData 1a PrintHood 1b Local_AppData 1c
InternetCache 20 Cookies 21 History 22 Common_AppData 23 Windows 24 System 25 ProgramFiles 26
MyPictures 27 Profile 28 SystemX86 29 ProgramFilesX86 2a ProgramFilesCommon 2b ProgramFilesCommonX86 2c
Common_Templates 2d Common_Documents 2e Common_AdminTools 2f AdminTools 30 Common_Music 35
Common_Pictures 36 Common_Video 37 Resources 38 CDBurn_Area 3b""".split()
# One folder under each of its names ({U}: the profile's name); the plain name comes first.
ALIASES = r"""plain C:\users\{U}\Desktop|upper C:\USERS\{UU}\DESKTOP|trailing C:\users\{U}\Desktop\
|\\?\ \\?\C:\users\{U}\Desktop|dot-dot C:\users\{U}\Music\..\Desktop|relative users\{U}\Desktop
|link-above C:\lnk\{U}\Desktop|mapped-drive E:\{U}\Desktop|\\?\-mapped \\?\E:\{U}\Desktop
|users C:\users|drive-root C:\|mapped-root E:\|link-itself C:\lnk|program-files C:\Program_Files|8.3-PROGRA~1 C:\PROGRA~1
|8.3-wine C:\{PF83}|junction-link C:\users\{U}\Documents|junction-real C:\moved\Documents""".split("|")

PER_PROFILE = ["Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos", "Favorites", "Links", "Contacts",
               "Searches", "Saved Games", "OneDrive", "AppData", "AppData/Local", "AppData/LocalLow", "AppData/Roaming",
               "AppData/Local/Temp", "Temp", "My Documents", "Application Data", "Local Settings"]


def probe(s, *args):
    out = os.path.join(s.root, "probe-%d.txt" % len(os.listdir(s.root)))
    s.wine("C:\\tools\\idprobe.exe", *args, timeout=120, log=out)
    with open(out, encoding="utf-8", errors="replace") as result:
        return [line.rstrip("\n").split("\t") + [""] * 6 for line in result if "\t" in line]


def folders(top):
    return {os.path.relpath(os.path.join(b, n), top) for b, ds, _ in os.walk(top) for n in ds}


def table(head, rows):
    print("\n| " + " | ".join(head) + " |\n|" + "---|" * len(head))
    for row in rows:
        print("| " + " | ".join(str(c).replace("|", "\\|") or " " for c in row) + " |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--arch", choices=WINE, default=None)
    ap.add_argument("--tools", help="folder holding idprobe.exe (default: build/<arch>/tools)")
    o = ap.parse_args()
    arch = o.arch or arch_here()
    tools = o.tools or os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", arch, "tools")
    s = WineSession(arch)
    c = os.path.join(s.prefix, "drive_c")
    try:
        s.wine("wineboot", "-i", timeout=90)
        home = sorted(os.path.relpath(os.path.join(b, n), c) for b, ds, fs in os.walk(c) for n in ds + fs
                      if os.path.islink(os.path.join(b, n)) and not os.path.realpath(os.path.join(b, n)).startswith(c))
        s.confine()
        s.write("C:\\tools\\idprobe.exe", source=os.path.join(tools, "idprobe.exe"))
        before = folders(c)
        shell = probe(s, *["C:0x00" + x for x in CSIDLS[1::2]], "K")
        made = sorted(folders(c) - before)
        user = next(n for n in os.listdir(os.path.join(c, "users")) if n != "Public")
        inodes = {f: hex(os.stat(os.path.join(c, f)).st_ino) for f in ("users", "users/%s/Desktop" % user)}
        profiles = [os.path.join("users", u) for u in sorted(os.listdir(os.path.join(c, "users")))]
        have = [(f, *("yes" if os.path.isdir(os.path.join(c, p, f)) else "no" for p in profiles)) for f in PER_PROFILE]
        os.symlink(os.path.join(c, "users"), os.path.join(c, "lnk"))
        os.makedirs(os.path.join(c, "moved"))
        os.rename(os.path.join(c, "users", user, "Documents"), os.path.join(c, "moved", "Documents"))
        os.symlink(os.path.join(c, "moved", "Documents"), os.path.join(c, "users", user, "Documents"))
        names = [a.replace("{U}", user).replace("{UU}", user.upper()).replace("{PF83}", short_name("Program Files"))
                 .replace("_", " ").split(" ", 1) for a in map(str.strip, ALIASES)]
        args = ["S:C:\\Program Files"] + [op + ":" + p for _, p in names for op in "IH"]
        s.confine()
        unmapped = probe(s, *args)
        os.symlink("../drive_c/users", os.path.join(s.prefix, "dosdevices", "e:"))
        s.confine()
        mapped = probe(s, *args)
    finally:
        s.close()
    print("Wine: %s, %s prefix; profile folder name: %s" % (WINE[arch], arch, user))
    print("\nHost inodes in the fresh prefix: %s" % inodes)
    print("\nLinks to the host's home that wineboot made (cut by confine): " + ", ".join(home))
    print("\nFolders under C:\\ that the shell calls below created: " + (", ".join(made) or "none"))
    exports = next(r for r in shell if r[0] == "E")
    print("\n%s: exports %s, %s" % (exports[2], exports[3], exports[4]))
    named = dict(zip(CSIDLS[1::2], CSIDLS[::2]))
    table(["call", "folder", "HRESULT", "path", "exists", "volume serial", "file index"],
          [("CSIDL 0x00" + r[1][4:] + " " + named[r[1][4:]].replace("_", " ") if r[0] == "C" else
            {"X": "SHGetFolderPathEx", "W": "", "V": "environment"}[r[0]], r[1] if r[0] != "C" else "",
            r[2], r[3], "no" if r[4].startswith("error") else "yes" if r[4] else "", r[4], r[5])
           for r in shell if r[0] in "CXWV"])
    print("\nGetShortPathNameW: " + " -> ".join(next(r for r in mapped if r[0] == "S")[1:3]))
    table(["folder in each profile", *profiles], have)
    for title, ids in (("before E: is mapped", unmapped), ("with E: mapped to C:\\users", mapped)):
        by = {(r[0], r[1]): r[2:5] for r in ids if r[0] in "IH"}
        plain = by["I", names[0][1]]
        table(["name (%s)" % title, "path", "volume serial", "file index", "GetFinalPathNameByHandleW",
               "same as plain", "through the hold"],
              [(label, path, *by["I", path], "yes" if by["I", path][:2] == plain[:2] else "no",
                "same" if by["H", path][:2] == by["I", path][:2] else " ".join(by["H", path][:2]))
               for label, path in names])


if __name__ == "__main__":
    main()
