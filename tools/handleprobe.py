#!/usr/bin/env python3
"""Runs tools/handleprobe.exe in a throwaway Wine prefix (no drive outside it) on a small
fixture, swaps the held folder for a link from the host while the probe waits, and prints what
the handle-relative NT calls made of each case: the measurements behind the fake platform's
rules for listing, opening and deleting relative to a held folder (tests/fake_platform.cpp).

  handleprobe.py [--arch A] [--tools DIR] [--keep]
"""
import argparse
import os
import re
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from winesession import WINE, WineSession, arch_here  # noqa: E402

# Below C:\hp: "a\" a folder, "ro:a" a read-only file, "a=>b" a host symlink to b (below C:\hp).
FIXTURE = ["D\\a.txt", "D\\x\\y", "D\\com3", "D\\nul.txt", "D\\...", "D\\dots...", "D\\trail ",
           "D\\onlyD.txt", "D\\keep.txt", "D\\keep2.txt", "D\\keep3.txt", "D\\Ld=>T", "D\\Lf=>T\\t.txt",
           "D\\Lx=>none", "V\\onlyV.txt", "V\\v1.txt", "V\\keep.txt", "V\\keep2.txt", "V\\keep3.txt",
           "T\\t.txt", "P\\plain-ex.txt", "P\\plain-13.txt", "ro:P\\ro-ex.txt", "ro:P\\ro-13.txt",
           "ro:P\\ro-both.txt", "P\\plain-ex1.txt", "ro:P\\ro-ex13.txt", "P\\empty-ex\\", "P\\empty-13\\",
           "P\\full-ex\\f.txt", "P\\full-13\\f.txt", "Q\\f.txt"]
GROUPS = {"0": "hold", "1": "1 names", "2": "2 swap", "3": "3 delete", "4": "4 swap+delete",
          "5": "5 links", "6": "6 second open", "7": "7 listing", "9": "end", "h": "host"}


def lay_out(top):
    for entry in FIXTURE:
        mode = 0o444 if entry.startswith("ro:") else None
        entry, _, target = entry[3 if mode else 0:].partition("=>")
        path = os.path.join(top, *entry.split("\\"))
        os.makedirs(path if entry.endswith("\\") else os.path.dirname(path), exist_ok=True)
        if target:
            os.symlink(os.path.join(top, *target.split("\\")), path)
        elif not entry.endswith("\\"):
            with open(path, "w") as out:
                out.write("contents of %s\n" % entry)
            if mode is not None:
                os.chmod(path, mode)


def inodes(top, known):
    """Adds each entry's own inode (a link's, not its target's) to known, by its name."""
    for base, folders, files in os.walk(top):
        for n in folders + files:
            path = os.path.join(base, n)
            rel = os.path.relpath(path, top).replace(os.sep, "\\")
            known.setdefault(os.lstat(path).st_ino, rel + (" (the link itself)" if os.path.islink(path) else ""))
    known.setdefault(os.stat(top).st_ino, "C:\\hp")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--arch", choices=WINE, default=None)
    ap.add_argument("--tools", help="folder holding handleprobe.exe (default: build/<arch>/tools)")
    ap.add_argument("--keep", action="store_true", help="keep the prefix for inspection")
    o = ap.parse_args()
    arch = o.arch or arch_here()
    tools = o.tools or os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", arch, "tools")
    s = WineSession(arch, keep=o.keep)
    host, known, swapped = [], {}, {}
    try:
        s.boot()
        s.write("C:\\tools\\handleprobe.exe", source=os.path.join(tools, "handleprobe.exe"))
        top = s.host("C:\\hp")
        lay_out(top)
        s.confine()
        inodes(top, known)
        out = os.path.join(s.root, "probe.txt")
        run = threading.Thread(target=s.wine, args=("C:\\tools\\handleprobe.exe", "C:\\hp"),
                               kwargs={"timeout": 180, "log": out})
        run.start()
        d, moved, vault = (os.path.join(top, n) for n in ("D", "D-moved", "V"))
        deadline = time.monotonic() + 150
        while not os.path.exists(os.path.join(top, "ready")) and run.is_alive() and time.monotonic() < deadline:
            time.sleep(0.1)
        if os.path.exists(os.path.join(top, "ready")):
            # The stand-in for a junction: D moved aside, a link to the vault in its place. The two new
            # files tell a fresh read of the moved folder from a listing cached earlier.
            with open(os.path.join(d, "new-before-swap.txt"), "w") as new:
                new.write("made by the host before the swap\n")
            os.rename(d, moved)
            os.symlink(vault, d)
            with open(os.path.join(moved, "new-after-swap.txt"), "w") as new:
                new.write("made by the host after the swap\n")
            swapped = {"D-moved": set(os.listdir(moved)), "V": set(os.listdir(vault))}
            inodes(top, known)
            with open(os.path.join(top, "go"), "w"):
                pass
        run.join()
        for name in ("keep.txt", "keep2.txt", "keep3.txt"):
            host.append(["h", "host: " + name + " after the run",
                         "; ".join("%s %s" % (f, "present" if os.path.exists(os.path.join(top, f, name)) else "gone")
                                   for f in ("D-moved", "V")), "-"])
        host.append(["h", "host: what remains of P and Q", ", ".join(
            n for n in ("P", "Q") if os.path.lexists(os.path.join(top, n))) or "neither", "-"])
        with open(out, encoding="utf-8", errors="replace") as result:
            rows = [line.rstrip("\n").split("\t") for line in result if line.count("\t") == 3]
    finally:
        s.close()

    def name(match):
        ino = int(match.group(1), 16)
        return "ino %x = %s" % (ino, known.get(ino, "?"))

    print("Wine: %s, %s prefix; C:\\hp\\D held, then moved aside by the host to D-moved and replaced "
          "by a symlink to the vault V" % (WINE[arch], arch))
    print("\n| group | given | result | status |\n|---|---|---|---|")
    for group, given, result, status in rows + host:
        if group == "2" and given.startswith("NtQueryDirectoryFile") and swapped:
            listed = set(re.findall(r"\[(.*?)\]", result)) - {".", ".."}
            result += " (%s)" % "; ".join("%d of %s's %d entries%s" % (
                len(listed & names), f, len(names), ", not " + " ".join(sorted(names - listed)) if names - listed
                and listed & names else "") for f, names in swapped.items())
        result = re.sub(r"\{ino:([0-9a-f]+)\}", name, result)
        print("| %s | %s | %s | %s |" % tuple(c.replace("|", "\\|") for c in (GROUPS.get(group, group), given,
                                                                              result, status)))


if __name__ == "__main__":
    main()
