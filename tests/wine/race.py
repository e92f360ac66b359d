#!/usr/bin/env python3
"""Uninstall.exe under Wine while another program renames the folders it works in."""
# Racer.exe (tools/racer.c), a Wine program so that Wine's sharing rules apply, renames a folder
# of the tree between the uninstaller's check of it and its listing (race-inside, ten times a
# run) or the root's parent (race-above). A host link to a canary folder of the same shape takes
# its place at once: its name differs only in case, and Wine looks a name up case-blind only
# once the exact one is gone. Each run must leave the canaries byte-identical and all outside
# its case folder untouched, end with status 1 and the success message alone, and every rename
# tried must fail with a sharing violation (32), but for one inside the tree that lands before
# the folder is held (then the in-use message alone).
#
#   race.py [--runs N] [--keep] [--arch A] [--exe E] [--tools D]
#
# Exit status: 0 all passed, 1 a run failed, 77 skipped (the other build's Wine runs here).
import os
import sys
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools"))
from winesession import SUCCESS, WineSession, in_use, runner_options, snapshot  # noqa: E402

# Wine lists names sorted. A canary lacks its folder's last name: once the folder is gone, the
# racer's END check through the link finds nothing there, so it stops and moves no canary.
NAMES = ["000-start"] + ["f%04d.txt" % i for i in range(1500)] + ["zzz-end"]
FEW, RACES = ["000-start"] + ["f%d.txt" % i for i in range(8)] + ["zzz-end"], range(1, 11)
# Empty folders beside C:\race: a path through C:\RACE is looked up by reading them all, which
# makes each of the uninstaller's calls slow and even, so that the racer can aim between them.
BESIDE = ["pad%05d\\" % i for i in range(40000)]
# {C}: the case folder; {S}: the same through C:\RACE. links: (link, canary); armed: made once
# the listing of T is read, so that it does not list them. racer: ARMED (PACE START END FROM TO)...
CASES = [
    ("race-inside", dict(
        tree=["T\\0-armed"] + ["T\\0-b%02d" % i for i in range(50)] + [
            "T\\%02d-p%d" % (i, j) for i in RACES for j in range(3)] + [
            "T\\%02d-q\\%s" % (i, n) for i in RACES for n in FEW] + [
            "K\\%02d\\%s" % (i, n) for i in RACES for n in FEW[:-1]] + ["T\\zz-%02d" % i for i in range(50)],
        root="{S}\\T", armed=True, links=[("T\\%02d-Q" % i, "K\\%02d" % i) for i in RACES],
        racer=["{C}\\T\\0-armed"] + ["{C}\\T\\%02d-%s" % (i, p) for i in RACES for p in (
            "p0", "p2", "q\\zzz-end", "q", "q-moved")])),
    ("race-above", dict(
        tree=["P\\T\\" + n for n in NAMES] + ["K\\T\\" + n for n in NAMES[:-1]], root="{C}\\P\\T",
        armed=False, links=[("p", "K")],
        racer=["{C}\\P\\T\\000-start"] * 3 + ["{C}\\P\\T\\zzz-end", "{C}\\P", "{C}\\P-moved"])),
]


def run_once(s, name, case, folder):
    fill = lambda v: v.replace("{C}", folder).replace("{S}", "C:\\RACE" + folder[7:])  # noqa: E731
    s.lay_out(folder, case["tree"] + ["Uninstall.exe"])
    outside = {k: v for k, v in snapshot(s.host("C:\\race")).items() if k.split("\\")[0] != folder[8:]}
    before, root = snapshot(s.host(folder + "\\K")), fill(case["root"])
    races = s.start_racer([fill(a) for a in case["racer"]], [[s.host(folder + "\\" + p) for p in link]
                                                             for link in case["links"]], case["armed"])
    events = s.run_cases([(name, [("cmd", '"%s\\Uninstall.exe" Uninstall %s' % (folder, root)), ("answers", "1"),
                                  ("timeout", "40000")])], timeout=70)
    races, deadline = races(), time.monotonic() + 15
    while os.path.exists(s.host(folder + "\\Uninstall.exe")) and time.monotonic() < deadline:
        time.sleep(0.2)  # it deletes itself once ended; a later run must not see that
    after, now = snapshot(s.host(folder + "\\K")), snapshot(s.host("C:\\race"))
    lost = sum(after.get(k) != v for k, v in before.items())
    touched = sorted(k for k in outside if now.get(k) != outside[k])
    end = ([e for e in events if e["event"] == "exit"] + [dict(status=None, timed_out=False)])[0]
    dialogs = [(d["caption"], d["text"], d["icon"]) for d in events if d["event"] == "dialog"]
    final = dialogs and {SUCCESS[:3]: "SUCCESS", in_use(root)[:3]: "in use"}.get(dialogs[-1], dialogs[-1])
    result = ", ".join("%d× %s" % (races.count(r), r) for r in sorted(set(races))) or "none"
    # Inside the tree a rename may land before the folder is held: it is then found to be a link
    # and not entered (the in-use message). Above the root it cannot: the holds come first.
    moved = name == "race-inside" and "moved" in races
    faults = [fault for fault, bad in (
        ("a rename not failing with 32", set(races) - {"failed 32", "missed", "moved" * moved} or
         "failed 32" not in races), ("canary files lost", lost), ("outside touched: %s" % touched[:6], touched),
        ("status", end["status"] != 1 or end["timed_out"]),
        ("dialogs", dialogs != [(in_use(root) if moved else SUCCESS)[:3]])) if bad]
    return "racer %s; canary files lost %d of %d; final dialog %s (%d before it); status %s%s" % (
        result, lost, len(before), final, max(len(dialogs) - 1, 0), end["status"],
        " (timed out)" * end["timed_out"]), faults


def main():
    o = runner_options(__doc__, (["--runs"], dict(type=int, default=2, help="runs of each case (default 2)")))
    arch, exe, tools = o.arch, o.exe, o.tools
    started, s, failed = time.monotonic(), WineSession(arch, keep=o.keep), 0
    try:
        s.boot()
        s.install_tools(exe, tools)
        s.write("C:\\tools\\Racer.exe", source=os.path.join(tools, "Racer.exe"))
        s.keep_services()
        s.lay_out("C:", ["race\\keep.txt"] + BESIDE)
        s.confine()
        for (name, case), run in ((c, r) for c in CASES for r in range(1, o.runs + 1)):
            summary, faults = run_once(s, name, case, "C:\\race\\%s-%d" % (name, run))
            print("%s %s #%d: %s%s" % ("FAIL" if faults else "PASS", name, run, summary,
                                       "\n    wrong: " + ", ".join(faults) if faults else ""), flush=True)
            failed += bool(faults)
        s.confine()
    finally:
        s.close()
    print("time: %.1f s\n%d passed, %d failed" % (time.monotonic() - started, o.runs * len(CASES) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
