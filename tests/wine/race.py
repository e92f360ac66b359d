#!/usr/bin/env python3
"""Uninstall.exe under Wine in a real race: while it deletes, Racer.exe (another Wine program)
renames the folder it is in (race-inside) or the root's parent (race-above), and the host puts
a link to a canary folder of the same shape in its place. Every run must leave the canary
byte-identical and everything outside its case folder untouched, end with status 1 and the
success message alone, and the rename must fail with a sharing violation (32).

  race.py [--runs N] [--keep] [--arch A] [--exe E] [--tools D]

Exit status: 0 all passed, 1 a run failed, 77 skipped (the other build's Wine runs here).
"""
import argparse
import os
import signal
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools"))
from winesession import SUCCESS, WINE, WineSession, arch_here, in_use, skip_unless_here, snapshot  # noqa: E402

# Wine lists names sorted: the racer starts once the first is deleted and stops once the last is.
NAMES = ["000-start"] + ["f%04d.txt" % i for i in range(1500)] + ["zzz-end"]
# name, root, the folder renamed, the files' folder below it (and below the canary K).
CASES = [("race-inside", "T", "T\\a", ""), ("race-above", "P\\T", "P", "\\T")]


def run_once(s, name, root, moved, below, folder):
    s.lay_out(folder, [moved + below + "\\" + n for n in NAMES] + ["K" + below + "\\" + n for n in NAMES]
              + ["Uninstall.exe"])
    files, canary = folder + "\\" + moved + below, s.host(folder + "\\K")
    outside = {k: v for k, v in snapshot(s.host("C:\\race")).items() if not k.startswith(folder[8:] + "\\")}
    before = snapshot(canary)
    racer = s.start("C:\\tools\\Racer.exe", files + "\\" + NAMES[0], files + "\\" + NAMES[-1],
                    folder + "\\" + moved, folder + "\\" + moved + "-moved")
    if not racer.stdout.readline().startswith(b"ready"):
        raise RuntimeError("Racer.exe did not start")
    said = []

    def follow():  # the link goes in as soon as the rename is seen
        for line in racer.stdout:
            said.append(line.decode().strip())
            if line.startswith(b"moved"):
                os.symlink(canary, s.host(folder + "\\" + moved))
    reader = threading.Thread(target=follow)
    reader.start()
    events = s.run_cases([(name, [("cmd", '"%s\\Uninstall.exe" Uninstall %s\\%s' % (folder, folder, root)),
                                  ("answers", "1"), ("timeout", "30000")])], timeout=60)
    try:
        racer.wait(15)
    except subprocess.TimeoutExpired:
        racer.kill()
    reader.join(5)
    after = snapshot(canary)
    lost = sum(after.get(k) != v for k, v in before.items())
    now = snapshot(s.host("C:\\race"))
    touched = sorted(k for k in outside if now.get(k) != outside[k])
    ends = [e for e in events if e["event"] == "exit"]
    dialogs = [(d["caption"], d["text"], d["icon"]) for d in events if d["event"] == "dialog"]
    known = {SUCCESS[:3]: "SUCCESS", in_use(folder + "\\" + root)[:3]: "in use"}
    final = dialogs and known.get(dialogs[-1], repr(dialogs[-1][1][:80])) or "none"
    result = said[0] if said else "no answer"
    faults = ["racer: %s, expected failed 32" % result] * (not result.startswith("failed 32 "))
    faults += ["canary files lost: %d of %d" % (lost, len(before))] * bool(lost)
    faults += ["outside the case folder touched: %s" % touched[:6]] * bool(touched)
    if not ends or ends[0]["status"] != 1 or ends[0]["timed_out"]:
        faults.append("exit %s, expected status 1" % (ends and ends[0]))
    if dialogs != [SUCCESS[:3]]:
        faults.append("dialogs: final %s, %d before it" % (final, max(len(dialogs) - 1, 0)))
    summary = "racer %s; canary files lost %d of %d; final dialog %s (%d before it); status %s" % (
        result, lost, len(before), final, max(len(dialogs) - 1, 0), ends and ends[0]["status"])
    return summary, faults, lost


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=2, help="runs of each case (default 2)")
    ap.add_argument("--keep", action="store_true", help="keep the prefix for inspection")
    ap.add_argument("--arch", choices=WINE, help="the build given; skipped unless it runs here")
    ap.add_argument("--exe", help="default: build/<arch>/Uninstall.exe")
    ap.add_argument("--tools", help="default: build/<arch>/tools")
    o = ap.parse_args()
    if skip_unless_here(o.arch):
        return 77
    arch = o.arch or arch_here()
    exe = os.path.abspath(o.exe or os.path.join(REPO, "build", arch, "Uninstall.exe"))
    tools = o.tools or os.path.join(REPO, "build", arch, "tools")
    print("uninstaller: %s\nwine: %s (WINEARCH=%s)\n%d runs of %d cases" % (
        exe, WINE[arch], arch, o.runs, len(CASES)), flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    started, s, passed, failed, lost = time.monotonic(), WineSession(arch, keep=o.keep), 0, 0, {}
    try:
        s.boot()
        s.install_tools(exe, tools)
        s.write("C:\\tools\\Racer.exe", source=os.path.join(tools, "Racer.exe"))
        s.keep_services()
        s.lay_out("C:\\race", ["keep.txt"])
        s.confine()
        for name, root, moved, below in CASES:
            for run in range(1, o.runs + 1):
                summary, faults, lost[name, run] = run_once(
                    s, name, root, moved, below, "C:\\race\\%s-%d" % (name, run))
                print("%s %s #%d: %s" % ("FAIL" if faults else "PASS", name, run, summary), flush=True)
                for line in faults:
                    print("    " + line)
                passed, failed = passed + (not faults), failed + bool(faults)
        s.confine()
    finally:
        s.close()
    for name, *_ in CASES:
        runs = [v for (n, _), v in lost.items() if n == name]
        print("%s: %d of %d runs lost canary files %s" % (name, sum(map(bool, runs)), len(runs), runs))
    print("time: %.1f s" % (time.monotonic() - started))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
