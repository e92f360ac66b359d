#!/usr/bin/env python3
"""Runs tools/pathprobe.exe in a throwaway Wine prefix (no drive outside it) on a small
fixture and prints what the real calls made of each odd path: the measurements behind the
fake platform's path model (tests/fake_platform.cpp).

  pathprobe.py [--arch A] [--tools DIR] [PROBE...]   (default: the model's own probes)
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from winesession import WINE, WineSession, arch_here  # noqa: E402

FIXTURE = ["T\\x\\f", "T\\x \\g", "T\\c\\uninstall.exe", "T\\c\\Uninstall.exe", "T\\sub\\f", "T\\Uninstall.exe", "T\\Uninstall-dtj.exe", "T\\com2.txt"]
PROBES = r"""F:C:\T\x_\  F:C:\T\x..\  F:C:\T\a.\b  F:C:\T\a..\b  F:C:\T\a_.\b\  F:C:\T\a\b._.
F:\\?\C:\T\lnk/\  F:\\?\C:\x.\  F:\\?\C:\a\..\b\  F:C:\T\COM1  F:C:\T\COM1\  F:C:\T\com2.txt  F:C:\T\nul.txt
F:C:\T\COM5____.txt  F:C:\T\COM0  F:C:\T\COM¹  A:C:\T\x_  A:C:\T\x.\f  A:C:\T\x..\f  A:\\?\C:\windows/
A:\\?\C:\T\x\..\x\f  A:\\?\C:\T\x_\g  L:C:\T\x_\*  L:C:\T\x.\*  S:C:\T\Uninstall.exe  H:C:\  H:\\?\C:
S:C:\T\c\uninstall.exe  G:C:\T\c\uninstall.exe  G:c:\t\C\UNINSTALL.exe  G:c:\t\uninstall-DTJ.exe"""


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--arch", choices=WINE, default=None)
    ap.add_argument("--tools", help="folder holding pathprobe.exe (default: build/<arch>/tools)")
    ap.add_argument("probes", nargs="*", help="OP:PATH; '_' stands for a space")
    o = ap.parse_args()
    arch = o.arch or arch_here()
    tools = o.tools or os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", arch, "tools")
    s = WineSession(arch)
    try:
        s.boot()
        s.write("C:\\tools\\pathprobe.exe", source=os.path.join(tools, "pathprobe.exe"))
        for entry in FIXTURE:
            s.write("C:\\" + entry, "probe\n")
        s.confine()
        probes = [p.replace("_", " ") for p in (o.probes or PROBES.split())]
        out = os.path.join(s.root, "probe.txt")
        s.wine("C:\\tools\\pathprobe.exe", *probes, timeout=120, log=out)
        with open(out, encoding="cp1252", errors="replace") as result:
            print(result.read(), end="")
    finally:
        s.close()


if __name__ == "__main__":
    main()
