#!/usr/bin/env python3
"""Uninstall.exe under Wine: the fixed end-to-end cases and randomized trees (trees.py), laid
out in one throwaway prefix, run by one Launcher run and checked alike: exit status, dialogs,
the files left in the case's folder (those that stay, byte-identical), starts of Quillstead.exe.

  run.py [--seeds N] [--seed S] [--only NAME...] [--keep] [--arch A] [--exe E] [--tools D]

Exit status: 0 all passed, 1 a case failed, 77 skipped (the other build's Wine runs here).
"""
import collections
import os
import random
import sys
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools"))
from winesession import (NO, PORTS, SUCCESS, UNABLE, YES, WineSession, confirm, in_use, problem,  # noqa: E402
                         read_records, runner_options, short_name, snapshot, state)
import trees  # noqa: E402

# A tree with nested folders, an empty one, and names that start with dots.
TREE = ["T\\a\\b\\c\\deep.txt", "T\\a\\b\\mid.txt", "T\\a\\empty\\", "T\\.profile", "T\\..x", "T\\top.txt"]
EXE = "Uninstall.exe"
PRODUCT = ["P\\Quillstead.exe"]
HANDOFF = ('"{C}\\P\\Quillstead.exe" Uninstall', "{C}\\P", "")
D = ["D\\keep.txt", "D\\sub\\f.txt"]  # a folder outside the tree: drive D:, or a link's target
O = ["O\\1.txt", "O\\2.txt"]
NARZ = ["Narzedzia\\a.txt", "Narzedzia\\b.txt", "Narz\u0119dzia\\c.txt"]
FW_T = "\uff34ool"  # fullwidth T: "Tool" in ANSI
DEVICES = ["T\\" + n for n in ("Aux.txt", "COM1", "com2.txt", "COM\u00b9.txt", "LPT1 .txt", "NUL.txt")]  # as listed
# Files outside every case's folder that no case may touch; COM1-9 and LPT1-9 lead to C:\dev.
CANARIES = ["C:\\canary.txt", "C:\\T\\keep.txt", "C:\\Quillstead.exe", "C:\\r\\keep.txt"] + [
    "C:\\dev\\" + port for port in PORTS]


def case(name, args, dialogs, left=None, tree=TREE, exe=EXE, cwd="{C}", env=(), record=None, until="",
         timeout=20000, run=None, **more):
    """{C}\\<exe> (or run) <args> started in cwd, {C} being C:\\e2e\\<name>; tree: laid out first;
    dialogs: (caption, text, icon, buttons, answer) in order (status 0 after UNABLE, else 1);
    left: what {C} holds at the end, parents implied (None: all it held); record: starts of
    Quillstead.exe (command line, working directory, hand-off arguments); until="answers":
    wait for the dialogs of later processes too. more: dosdev (device such as "d:" -> folder in {C}),
    relay (calls that the relay log shows in this order)."""
    # The 20 s time-out has room for Wine's desktop, which takes 10 s to start for the first
    # dialog when its RpcSs service fails to start.
    folder = "C:\\e2e\\" + name
    fill = lambda v: tuple(map(fill, v)) if isinstance(v, tuple) else (  # noqa: E731
        v.replace("{C}", folder) if isinstance(v, str) else v)
    return dict(name=name, folder=folder, entries=tree + [exe], status=0 if dialogs[-1:] == [UNABLE] else 1,
                ordered=True, dialogs=list(map(fill, dialogs)), record=record and list(map(fill, record)),
                left=[e.split("=>")[0] for e in tree + [exe]] if left is None else left,
                keys=[("dir", fill(cwd)), ("cmd", fill('"%s" %s' % (run or folder + "\\" + exe, args)).rstrip()),
                      ("answers", ",".join(str(d[4]) for d in dialogs)), ("until", until),
                      ("timeout", str(timeout))] + [("env", e) for e in env], **more)


CASES = [
    # Confirmation.
    case("confirm-no", "", [confirm(NO)], tree=PRODUCT, cwd="{C}\\P"),
    case("confirm-yes", "", [confirm(YES)], tree=PRODUCT, cwd="{C}\\P", record=[HANDOFF]),
    case("confirm-yes-drive-root", "", [confirm(YES)], tree=[], cwd="C:\\",
         record=[('"C:\\\\Quillstead.exe" Uninstall', "C:\\", "")]),
    case("confirm-yes-no-product", "", [confirm(YES), UNABLE], tree=["P\\"], cwd="{C}\\P"),
    case("whole-road", "", [confirm(YES), SUCCESS], [], cwd="{C}\\P", exe="P\\Uninstall.exe",
         tree=PRODUCT + ["P\\data\\a.txt"], until="answers",
         record=[HANDOFF[:2] + (' Uninstall "{C}\\P"',)]),
    # Mode selection.
    case("mode-install", "Install {C}\\T", []),
    case("mode-prefix", "Uninstal {C}\\T", []),
    case("mode-longer", "Uninstalls {C}\\T", []),
    case("mode-upper-extra", "UNINSTALL {C}\\T extra", [SUCCESS], []),
    case("mode-lower", "uninstall {C}\\T", [SUCCESS], []),
    case("mode-no-directory", "Uninstall", [UNABLE]),
    # Roots that the random trees do not make.
    case("rm-quoted-trailing-backslash", 'Uninstall "{C}\\T\\"', [in_use('{C}\\T"')], TREE),
    case("rm-missing", "Uninstall {C}\\gone", [in_use("{C}\\gone")], TREE),
    case("rm-file-root", "Uninstall {C}\\T.txt", [in_use("{C}\\T.txt")], ["T.txt"], tree=["T.txt"]),
    case("rm-wildcard", "Uninstall {C}\\T*", [in_use("{C}\\T*")], ["T1\\f.txt"], tree=["T1\\f.txt"]),
    # Refused roots.
    case("safe-empty", 'Uninstall ""', [UNABLE]),
    case("safe-drive", "Uninstall C:", [UNABLE]),
    case("safe-drive-root", "Uninstall C:\\", [UNABLE]),
    case("safe-up-to-root", "Uninstall C:\\T\\..", [UNABLE]),
    case("safe-device-root", "Uninstall \\??\\D:", [UNABLE], tree=D, dosdev={"d:": "D"}),
    case("safe-link-root", "Uninstall {C}\\L", [UNABLE], tree=D + ["L=>D"]),
    case("safe-link-root-slash", "Uninstall {C}\\L\\", [UNABLE], tree=D + ["L=>D"]),
    # A path drops a last dot or space, and Wine drops a dot from each folder too: "x " and "x.." would
    # be held as x, and listed through the links "x " and "x."; "x \\sub" would enter O\\sub.
    case("safe-space-root", 'Uninstall "{C}\\x "', [UNABLE], tree=O + ["x\\f.txt", "x =>O"]),
    case("safe-space-root-slash", 'Uninstall "{C}\\x /"', [UNABLE], tree=O + ["x\\f.txt", "x =>O"]),
    case("safe-dots-root", "Uninstall {C}\\x..", [UNABLE], tree=D + ["x\\f.txt", "x.=>D"], dosdev={"e:": "D"}),
    case("safe-space-folder", 'Uninstall "{C}\\x \\sub"', [UNABLE],
         tree=O + ["O\\sub\\f.txt", "x\\sub\\f.txt", "x =>O"]),
    case("safe-space-missing", 'Uninstall "{C}\\Tool "', [UNABLE], tree=[]),
    case("exact-dir", "Uninstall {C}\\Narz\u0119dzia", [UNABLE], tree=NARZ),
    # Listed names that best fit turned into separators, dots or another entry's name.
    case("safe-slash-dir", "Uninstall {C}\\T", [in_use("{C}\\T")], ["T\\..\uff0fx\\f.txt", "x\\keep.txt"],
         tree=["T\\..\uff0fx\\f.txt", "x\\keep.txt"]),
    case("safe-slash-file", "Uninstall {C}\\T", [problem("{C}\\T\\../y"), in_use("{C}\\T")],
         ["T\\..\uff0fy", "y"], tree=["T\\..\uff0fy", "y"]),
    case("safe-alias-link", "Uninstall {C}\\T", [in_use("{C}\\T")], ["T\\\uff41\\f.txt", "T\\a"] + O,
         tree=O + ["T\\\uff41\\f.txt", "T\\a=>O"]),
    case("safe-trailing-dot", "Uninstall {C}\\T", [in_use("{C}\\T")], ["T\\a.\\f.txt", "T\\a"] + O,
         tree=O + ["T\\a.\\f.txt", "T\\a=>O"]),
    # Names Win32 reads as devices (COM1-9 and LPT1-9 lead to C:\dev, AUX to COM1), and "." and ".."
    # by best fit.
    case("safe-device-names", "Uninstall {C}\\T", [problem("{C}\\" + n) for n in DEVICES] + [in_use("{C}\\T")],
         DEVICES + ["T\\COM4\\f.txt"], tree=DEVICES + ["T\\a.txt", "T\\COM4\\f.txt"]),
    case("safe-fake-dots", "Uninstall {C}\\T", [problem("{C}\\T\\."), in_use("{C}\\T")],
         ["T\\\uff0e", "T\\\uff0e\uff0e\\f.txt"], tree=["T\\a.txt", "T\\\uff0e", "T\\\uff0e\uff0e\\f.txt"]),
    case("safe-dot-loop", "Uninstall {C}\\T", [in_use("{C}\\T")], ["T\\.\uff0f\\", "T\\\uff0e\uff0f\\"],
         tree=["T\\.\uff0f\\", "T\\\uff0e\uff0f\\"], timeout=15000),
    # The working directory and the own path in exact ANSI form.
    case("exact-cwd", "", [confirm(YES), UNABLE], tree=["Tool\\Quillstead.exe", FW_T + "\\"],
         cwd="{C}\\" + FW_T),
    case("exact-exe", "Uninstall {C}\\T", [SUCCESS], [FW_T + "\\" + EXE, "Tool\\" + EXE],
         exe=FW_T + "\\" + EXE, tree=TREE + ["Tool\\" + EXE]),
    # Self-deletion and start-up.
    case("safe-percent", "Uninstall {C}\\T", [SUCCESS], ["%OS%.exe", "Windows_NT.exe"],
         exe="%OS%.exe", tree=TREE + ["Windows_NT.exe"], env=["OS=Windows_NT"]),
    # Wine gives Uninstall.exe the 8.3 name of Uninstall-dtj.exe, listed first.
    case("self-delete-twin", "Uninstall {C}\\T", [SUCCESS], ["x\\" + EXE, "x\\Uninstall-dtj.exe"], exe="x\\" + EXE,
         tree=TREE + ["x\\Uninstall-dtj.exe"]),
    case("self-delete-case", "Uninstall {C}\\T", [SUCCESS], [], run="c:\\E2E\\self-delete-case\\uninstall.EXE"),
    case("dll-restriction", "Install", [], tree=[], env=["WINEDEBUG=+relay"],
         relay=["SetDefaultDllDirectories(00000800)", "Sleep(000001f4)"]),
]
assert len({short_name(r["name"]) for r in CASES}) == len(CASES), "case folders that Wine gives one 8.3 name"


def random_row(seed, stats):
    p = trees.plan(seed)
    entries, root = trees.entries(p)
    left, dialogs, status = trees.model(p, root, stats)
    exe = p["exe"][len(p["base"]) + 1:]
    return dict(name="s%d" % seed, seed=seed, folder=p["base"], entries=entries, root=root, status=status,
                dialogs=dialogs, ordered=False, record=None, cmd=p["cmd"], model=lambda before: left | {
                    k for k in before if not inside(k, root) and (k != exe or not p["deleted"])},
                keys=[("dir", p["cwd"]), ("cmd", p["cmd"]), ("hold", p["held"] or ""), ("timeout", "15000")] + [
                    ("env", "ComSpec")] * (not p["comspec"]))


def inside(path, root):
    return path == root or path.startswith(root + "\\")


def check(s, row, events, after, log):
    """What was seen, and how it differs from the row."""
    runs = [e for e in events if e["event"] in ("launch", "launch-failed", "hold-failed", "exit")]
    if [e["event"] for e in runs] != ["launch", "exit"]:
        return "not run", ["events %s" % [e["event"] for e in events]]
    faults, end = [], runs[1]
    if end["timed_out"] or end["status"] != row["status"]:
        faults.append("exit status %d%s, expected %d" % (
            end["status"], " (timed out)" if end["timed_out"] else "", row["status"]))
    dialogs = [e for e in events if e["event"] == "dialog"]
    got = [(d["caption"], d["text"], d["icon"], tuple(sorted(b[0] for b in d["buttons"])), d["answer"])
           for d in dialogs]
    want = [(c, t[:299], i, tuple(sorted(b)), a) for c, t, i, b, a in row["dialogs"]]
    if got != want and (row["ordered"] or got[-1:] != want[-1:] or sorted(got) != sorted(want)):
        faults.append("dialogs\n      got  %s\n      want %s" % (got, want))
    first = min([d["t_seen"] for d in dialogs] + [end["t"]]) - runs[0]["t"]
    if first < 500:
        faults.append("acted %.0f ms after start, before the 500 ms wait" % first)
    found = [log.find("Call KERNEL32." + call) for call in row.get("relay", [])]
    if found and (min(found) < 0 or found != sorted(found)):
        faults.append("relay log: %s at %s (-1: absent)" % (row["relay"], found))
    records = read_records(s.host("C:\\run\\%s.record" % row["name"]))
    got_records = records and [(r["cmdline"], r["cwd"], r["handoff"][len(r["copy"]) + 2:]) for r in records]
    if got_records != row["record"]:
        faults.append("Quillstead.exe starts %s, expected %s" % (got_records, row["record"]))
    faults += ["the uninstaller's copy %s was not deleted" % r["copy"] for r in records or []
               if r["copy"] and os.path.exists(s.host(r["copy"]))]
    want_files = {"\\".join(e.split("\\")[:i]) for e in map(lambda e: e.rstrip("\\"), row["left"])
                  for i in range(1, e.count("\\") + 2)}
    if set(after) != want_files:
        faults.append("files: left over %s, missing %s" % (sorted(set(after) - want_files),
                                                            sorted(want_files - set(after))))
    changed = sorted(k for k in set(after) & set(row["before"]) if after[k] != row["before"][k])
    if changed:
        faults.append("changed: %s" % changed[:6])
    return "status %d, %d dialogs, %d entries" % (end["status"], len(got), len(after)), faults


def main():
    o = runner_options(__doc__.splitlines()[0], (
        ["--seeds"], dict(type=int, help="random trees (default 120, none with --only, from --seed on)")), (
        ["--seed"], dict(type=int, help="run this random tree alone, or the first of --seeds")), (
        ["--only"], dict(nargs="+", help="run only these fixed cases")))
    arch, exe, stats = o.arch, o.exe, collections.Counter()
    first = random.randrange(10**6) if o.seed is None else o.seed
    seeds = range(first, first + (o.seeds if o.seeds is not None else 0 if o.only else 1 if o.seed is not None
                                  else 120))
    rows = [r for r in CASES if o.seed is None and (not o.only or r["name"] in o.only)]
    rows += [random_row(seed, stats) for seed in seeds]
    print("%d fixed cases, %d random trees %s" % (len(rows) - len(seeds), len(seeds), seeds and [seeds[0], seeds[-1]]),
          flush=True)
    started, s = time.monotonic(), WineSession(arch, keep=o.keep)
    try:
        s.boot()
        booted = time.monotonic()
        s.install_tools(exe, o.tools)
        s.keep_services()  # else they would start with dll-restriction's relay log, and crawl
        s.lay_out("C:", [c[3:] for c in CANARIES])
        s.map_ports("C:\\dev")
        for row in rows:
            s.lay_out(row["folder"], row["entries"])
            for device, target in row.get("dosdev", {}).items():  # inside the prefix, as every drive here
                os.symlink(s.host(row["folder"] + "\\" + target), os.path.join(s.prefix, "dosdevices", device))
            row["keys"].append(("env", "QUILLSTEAD_RECORD=C:\\run\\%s.record" % row["name"]))
        s.confine()
        outside = {c: state(s.host(c)) for c in CANARIES}
        for row in rows:
            row["before"] = snapshot(s.host(row["folder"]))
            row["left"] = row["model"](row["before"]) if "model" in row else row["left"]
        events = collections.defaultdict(list)
        for event in s.run_cases([(r["name"], r["keys"]) for r in rows],
                                 timeout=60 + sum(int(dict(r["keys"])["timeout"]) for r in rows) // 1000):
            events[event["case"]].append(event)
        ran = time.monotonic()
        with open(os.path.join(s.root, "wine.log"), errors="replace") as log:
            log = log.read()
        time.sleep(2)  # the self-deletions, wanted or not, run after the uninstaller ends
        deadline = time.monotonic() + 15
        while True:
            after = {r["name"]: snapshot(s.host(r["folder"])) for r in rows}
            seen = {r["name"]: check(s, r, events[r["name"]], after[r["name"]], log) for r in rows}
            if not any(f for _, f in seen.values()) or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        s.confine()
        lost = [c for c in CANARIES if state(s.host(c)) != outside[c]]
        stats.update({"canary bytes beside the trees": sum(outside[c][1] for c in CANARIES),  # ports' too
                      "canary bytes lost": sum(outside[c][1] for c in lost)})
    finally:
        s.close()
    for row in rows:
        summary, faults = seen[row["name"]]
        print("%s %s: %s" % ("FAIL" if faults else "PASS", row["name"], summary))
        if faults and "seed" in row:
            faults.append("%s\n    rerun: tests/wine/run.py --seed %d --exe %s" % (row["cmd"], row["seed"], exe))
        for line in faults:
            print("    " + line)
        for k in [k for k in row["left"] if k in row["before"] and not inside(k, row.get("root", k))]:
            stats["canary bytes beside the trees"] += row["before"][k][1]
            stats["canary bytes lost"] += (after[row["name"]].get(k) != row["before"][k]) * row["before"][k][1]
    failed = [r["name"] for r in rows if seen[r["name"]][1]] + ["files outside every case: %s" % lost] * bool(lost)
    if seeds:
        print("random trees: %s" % ", ".join("%s %d" % i for i in sorted(stats.items()) if i[1] or "lost" in i[0]))
    print("timing: prefix %.1f s, cases %.1f s, total %.1f s" % (
        booted - started, ran - booted, time.monotonic() - started))
    print("%d passed, %d failed %s" % (len(rows) - len(failed) + bool(lost), len(failed), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
