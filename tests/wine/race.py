#!/usr/bin/env python3
"""Uninstall.exe under Wine while another program renames the folders it works in."""
# Racer.exe (tools/racer.c), a Wine program so that Wine's sharing rules apply, renames a folder
# of the tree between the uninstaller's check of it and its listing (race-inside, ten times a
# run) or the root's parent once the root is open (race-above). A host link to a canary folder of the same shape takes
# its place at once: its name differs only in case, and Wine looks a name up case-blind only
# once the exact one is gone. In self-swap-message and self-swap-exit it renames the exe's own
# folder while the final message shows, or once the uninstaller has ended and before the
# interpreter runs (Interp.exe, tools/interp.c, as %ComSpec%, runs it only when told), and a link
# to another product's folder holding a file of the same 8.3 name would take its place. In
# case-capture the uninstaller works in a folder through the name that best fit gives a
# look-alike of it, and a link of exactly that name to a vault appears. In swap-inside and
# swap-root the host moves a folder being emptied (F in T, or the root T) aside and puts a link
# to a vault with files of the same names in its place while the problem message for a
# read-only file in it is up (the robot answers it only once the host is done), as a junction
# made on Windows would. Each run must leave the canaries byte-identical and all outside its
# case folder untouched, delete the exe, end with status 1 and the success message alone
# (case-capture: the in-use one; the swaps: the in-use one after problem messages alone, the
# first for the read-only file), and every rename tried must fail with a sharing violation
# (32), but above the root, where nothing is held and the rename must land, and for one inside
# the tree that lands before the folder is held (then the in-use
# message alone).
#
#   race.py [--runs N] [--only CASE...] [--keep] [--arch A] [--exe E] [--tools D]
#
# Exit status: 0 all passed, 1 a run failed, 77 skipped (the other build's Wine runs here).
import os
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
from suite import finish, inside, session, verdict  # noqa: E402 (it puts tools/ on the path)
from winesession import PRODUCT, SUCCESS, in_use, problem, runner_options, snapshot  # noqa: E402

# Wine lists names sorted. A canary lacks its folder's last name: once the folder is gone, the
# racer's END check through the link finds nothing there, so it stops and moves no canary.
NAMES = ["000-start"] + ["f%04d.txt" % i for i in range(1500)] + ["zzz-end"]
FEW, RACES = ["000-start"] + ["f%d.txt" % i for i in range(8)] + ["zzz-end"], range(1, 11)
# Empty folders beside C:\race: a path through C:\RACE is looked up by reading them all, which
# makes each of the uninstaller's calls slow and even, so that the racer can aim between them.
BESIDE = ["pad%05d\\" % i for i in range(40000)]
# The exe lies in P\bin, another product's file of the same 8.3 name in Other, and a link to Other
# named BIN would take P\bin's place. MOVE: the racer's END FROM TO.
SWAP = dict(tree=["P\\T\\" + n for n in FEW] + ["Other\\Uninstall.exe"], exe="P\\bin\\Uninstall.exe",
            root="{C}\\P\\T", canaries="Other", links=[("P\\BIN", "Other")], interp=True)
MOVE = ["{C}\\P\\bin\\Uninstall.exe", "{C}\\P\\bin", "{C}\\P\\bin-moved"]
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
        links=[("p", "K")],
        racer=["{C}\\P\\T\\000-start"] * 3 + ["{C}\\P\\T\\zzz-end", "{C}\\P", "{C}\\P-moved"])),
    ("self-swap-message", dict(SWAP, answers="manual,1", racer=["{C}\\none"] + ["box:" + PRODUCT] * 2 + MOVE)),
    ("self-swap-exit", dict(SWAP, after=True, racer=["{C}\\none"] * 3 + MOVE)),
    # Wine lists Sub before "sub" (\uff53ub by best fit): the host moves Sub away while the listing
    # passes it and back after it. steps: (once gone, move from or "=>" link to, to).
    ("case-capture", dict(
        tree=["T\\0-armed", "T\\\uff53ub\\"] + ["T\\S%s%03d" % (c, i) for c in "az" for i in range(300)] + [
            "%s\\f%03d" % (d, i) for d in ("T\\Sub", "V") for i in range(300)], root="{C}\\T", canaries="V",
        final="in use", steps=[("T\\0-armed", "T\\Sub", "Away"), ("T\\Sz000", "Away", "T\\Sub"),
                               ("T\\Sub\\f000", "=>V", "T\\sub")])),
] + [  # Wine lists "e-ro" first. A step of "+up" waits for the robot's gate; "" as its source deletes.
    ("swap-" + name, dict(
        tree=["ro:%s\\e-ro" % F] + ["%s\\f%03d" % (d, i) for d in (F, "V") for i in range(300)], root="{C}\\T",
        canaries="V", final="in use", first="{C}\\%s\\e-ro" % F, moved=(F, "Moved"), gate="up",
        steps=[("+up", F, "Moved"), ("+up", "=>V", F), ("+up", "", "up")])) for name, F in (
        ("inside", "T\\F"), ("root", "T"))]


def follow(s, folder, steps, stop, done):  # host side, as another program would: each step once its path is
    for sign, source, target in steps:  # gone, or once it is there ("+path")
        while os.path.lexists(s.host(folder + "\\" + sign.lstrip("+"))) != (sign[0] == "+"):
            if stop.wait(0.0002):
                return
        if not source:
            os.unlink(s.host(folder + "\\" + target))
        else:
            act = os.symlink if source[:2] == "=>" else os.rename
            act(s.host(folder + "\\" + source.lstrip("=>")), s.host(folder + "\\" + target))
        done.append(sign)


def run_once(s, name, case, folder):
    fill = lambda v: v.replace("{C}", folder).replace("{S}", "C:\\RACE" + folder[7:])  # noqa: E731
    exe, go, mine, root = case.get("exe", "Uninstall.exe"), folder + "\\go", folder[8:], fill(case["root"])
    canaries = mine + "\\" + case.get("canaries", "K")
    s.lay_out(folder, case["tree"] + [exe])
    before = snapshot(s.host("C:\\race"))
    racer = lambda: s.start_racer([fill(a) for a in case["racer"]], [  # noqa: E731
        [s.host(folder + "\\" + p) for p in link] for link in case["links"]], case.get("armed", False))
    races, stop, steps = "racer" in case and not case.get("after") and racer(), threading.Event(), []
    watch = threading.Thread(target=follow, args=(s, folder, case.get("steps", []), stop, steps))
    watch.start()
    env = [("env", "ComSpec=C:\\tools\\Interp.exe"), ("env", "INTERP_GO=" + go)] if case.get("interp") else []
    gate = [("gate", folder + "\\" + case["gate"])] if "gate" in case else []
    events = s.run_cases([(name, [("cmd", '"%s\\%s" Uninstall %s' % (folder, exe, root)),
                                  ("answers", case.get("answers", "1")), ("timeout", "40000")] + env + gate)],
                         timeout=70)
    stop.set()
    watch.join()
    races = (races or racer())() if "racer" in case else []
    if env:
        s.write(go)  # the interpreter may run now; Interp.exe deletes the file once it has
    deadline = time.monotonic() + 15
    while os.path.exists(s.host(go if env else folder + "\\" + exe)) and time.monotonic() < deadline:
        time.sleep(0.2)  # it deletes itself once ended; a later run must not see that
    now = snapshot(s.host("C:\\race"))  # the canaries and all outside the case must stay
    held = [k for k in before if inside(k, canaries) or not inside(k, mine)]
    touched = sorted(k for k in held if now.get(k) != before[k])
    left = [k for k in now if inside(k, mine) and not inside(k, canaries) and k.endswith("Uninstall.exe")]
    end = next((e for e in events if e["event"] == "exit"), dict(status=None, timed_out=True))
    dialogs = [(d["caption"], d["text"], d["icon"]) for d in events if d["event"] == "dialog"]
    final = dialogs and {SUCCESS[:3]: "SUCCESS", in_use(root)[:3]: "in use"}.get(dialogs[-1], dialogs[-1])
    problems = [d for d in dialogs[:-1] if d[0] == problem("")[0] and d[1].startswith(problem("")[1])]
    first = "first" in case and problem(fill(case["first"]))[:3]
    own, moved_to = case.get("moved", ("", ""))  # the swapped folder's own files, by their place after the move
    own_files = [k for k in before if inside(k, mine + "\\" + own) and before[k][0]] if own else []
    own_left = sum(inside(k, mine + "\\" + moved_to) and bool(now[k][0]) for k in now) if own else 0
    result = ", ".join("%d× %s" % (races.count(r), r) for r in sorted(set(races))) or "none"
    # Inside the tree a rename may land before the folder is held: it is then found to be a link
    # and not entered (the in-use message). Above the root nothing is held: the rename lands once
    # the root is open, and the root's handle still leads to the moved tree, whose files Wine then
    # keeps (it deletes by the path it recorded at the open), so the in-use message.
    moved = name in ("race-inside", "race-above") and "moved" in races
    above = name == "race-above"
    faults = [fault for fault, bad in (
        ("a rename not failing with 32", "racer" in case and not above and (
            set(races) - {"failed 32", "missed", "moved" * moved} or "failed 32" not in races)),
        ("a rename above the root not landing", above and set(races) - {"moved", "missed"}),
        ("canaries or outside touched: %s" % touched[:6], touched), ("exe left: %s" % left, left),
        ("status", end["status"] != 1 or end["timed_out"]),
        ("swap not made while the first dialog was up", "gate" in case and len(steps) < len(case["steps"])),
        ("dialogs", dialogs[-1:] != [(in_use(root) if moved or "final" in case else SUCCESS)[:3]] or
         (dialogs[:1] != [first] or problems != dialogs[:-1] if first else len(dialogs) != 1))) if bad]
    return "racer %s; %scanary files lost %d of %d; %sexe %s; final dialog %s (%d before it, %d problem messages); " \
        "status %s%s" % (
            result, "host steps %d of %d; " % (len(steps), len(case["steps"])) if "steps" in case else "",
            sum(k.startswith(canaries + "\\") for k in touched), sum(k.startswith(canaries + "\\") for k in held),
            "moved folder's own files left %d of %d; " % (own_left, len(own_files)) if own else "",
            "left" if left else "deleted", final, max(len(dialogs) - 1, 0), len(problems), end["status"],
            " (timed out)" * end["timed_out"]), faults, [e["event"] for e in events]


def main():
    o = runner_options(__doc__, (["--runs"], dict(type=int, default=2, help="runs of each case (default 2)")),
                       (["--only"], dict(nargs="+", help="run only these cases")))
    runs = [(name, case, n) for name, case in CASES if not o.only or name in o.only for n in range(1, o.runs + 1)]
    with session(o, "Racer.exe", "Interp.exe") as s:
        s.lay_out("C:", ["race\\keep.txt"] + BESIDE)
        s.confine()
        failed = []
        for name, case, n in runs:
            summary, faults, events = run_once(s, name, case, "C:\\race\\%s-%d" % (name, n))
            # The Launcher ends every run it starts with an exit event, a hung uninstaller's too
            # (timed out): without one, Wine failed to run the Launcher, and the run is made again.
            if "exit" not in events and "launch-failed" not in events:
                print("again %s #%d: the Launcher recorded only %s" % (name, n, events), flush=True)
                summary, faults, events = run_once(s, name, case, "C:\\race\\%s-%d-again" % (name, n))
            failed += ["%s #%d" % (name, n)] * verdict("%s #%d" % (name, n), summary, faults)
    return finish(failed, len(runs))


if __name__ == "__main__":
    sys.exit(main())
