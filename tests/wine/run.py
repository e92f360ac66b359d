#!/usr/bin/env python3
"""Uninstall.exe under Wine: the fixed end-to-end cases and the kept folders."""
# All are laid out in one throwaway prefix, run by one Launcher run and checked alike: exit status,
# dialogs, the files left in the case's folder (those that stay, byte-identical), starts of
# Quillstead.exe; and every entry on drive C: outside the cases' folders kept byte-identical but what a
# case removes. Exit status: 0 all passed, 1 a case failed, 77 skipped (the other build's Wine runs).
import os
import sys
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
from suite import finish, inside, session, verdict  # noqa: E402 (it puts tools/ on the path)
from winesession import (NO, PORTS, SUCCESS, UNABLE, YES, confirm, in_use, problem, read_records,  # noqa: E402
                         runner_options, short_name, snapshot)

# A tree with nested folders, an empty one, and names that start with dots.
TREE = ["T\\a\\b\\c\\deep.txt", "T\\a\\b\\mid.txt", "T\\a\\empty\\", "T\\.profile", "T\\..x", "T\\top.txt"]
EXE = "Uninstall.exe"
PRODUCT = ["P\\Quillstead.exe"]
HANDOFF = ('"{C}\\P\\Quillstead.exe" Uninstall', "{C}\\P", "")
D = ["D\\keep.txt", "D\\sub\\f.txt"]  # a folder outside the tree: drive D:, or a link's target
O = ["O\\1.txt", "O\\2.txt"]
SPACE = O + ["x\\f.txt", "x =>O"]
NARZ = ["Narzedzia\\a.txt", "Narzedzia\\b.txt", "Narz\u0119dzia\\c.txt"]
FW_T = "\uff34ool"  # fullwidth T: "Tool" in ANSI
DEVICES = ["T\\" + n for n in ("Aux.txt", "COM1", "com2.txt", "COM\u00b9.txt", "LPT1 .txt", "NUL.txt")]
# Files below C:\ outside every case's folder that no case may touch; COM1-9 and LPT1-9 lead to dev.
CANARIES = ["canary.txt", "T\\keep.txt", "Quillstead.exe", "r\\keep.txt"] + ["dev\\" + port for port in PORTS]
UT, IN_T = "Uninstall {C}\\T", in_use("{C}\\T")


# {C}\<exe> (or run) <args> started in cwd, {C} being C:\e2e\<name> with tree and exe laid out in it;
# dialogs: (caption, text, icon, buttons, answer) in order (status 0 after UNABLE, else 1); gone: what
# the run removes from {C}, all else stays byte-identical; record: starts of Quillstead.exe (command
# line, working directory, hand-off arguments); until="answers": wait for later processes' dialogs too;
# dosdev: device such as "d:" -> folder in {C}; relay: calls that the relay log shows in this order.
# The Launcher's 20 s time-out has room for Wine's desktop, which takes 10 s to start for the first
# dialog when its RpcSs service fails to start.
def case(name, args, dialogs, gone=(), tree=TREE, exe=EXE, cwd="{C}", env=(), run=None, record=(), until="", hold="",
         **more):
    folder = "C:\\e2e\\" + name
    fill = lambda v: tuple(map(fill, v)) if isinstance(v, tuple) else (  # noqa: E731
        v.replace("{C}", folder) if isinstance(v, str) else v)
    return dict(more, name=name, folder=folder, entries=tree + [exe], dialogs=list(map(fill, dialogs)),
                record=list(map(fill, record)) or None, gone=gone, keys=[
                    ("dir", fill(cwd)), ("cmd", fill('"%s" %s' % (run or folder + "\\" + exe, args)).rstrip()),
                    ("answers", ",".join(str(d[4]) for d in dialogs)), ("until", until), ("hold", fill(hold))] + [
                    ("env", e) for e in env])


CASES = [
    # Confirmation.
    case("confirm-no", "", [confirm(NO)], tree=PRODUCT, cwd="{C}\\P"),
    case("confirm-yes", "", [confirm(YES)], tree=PRODUCT, cwd="{C}\\P", record=[HANDOFF]),
    case("confirm-yes-drive-root", "", [confirm(YES)], tree=[], cwd="C:\\",
         record=[('"C:\\\\Quillstead.exe" Uninstall', "C:\\", "")]),
    case("confirm-yes-no-product", "", [confirm(YES), UNABLE], tree=["P\\"], cwd="{C}\\P"),
    case("whole-road", "", [confirm(YES), SUCCESS], ["P"], PRODUCT + ["P\\data\\a.txt"], "P\\" + EXE, "{C}\\P",
         until="answers", record=[HANDOFF[:2] + (' Uninstall "{C}\\P"',)]),
    # Mode selection.
    case("mode-install", "Install {C}\\T", []),
    case("mode-prefix", "Uninstal {C}\\T", []),
    case("mode-longer", "Uninstalls {C}\\T", []),
    case("mode-upper-extra", "UNINSTALL {C}\\T extra", [SUCCESS], ["T", EXE]),
    case("mode-lower", "uninstall {C}\\T", [SUCCESS], ["T", EXE]),
    case("mode-no-directory", "Uninstall", [UNABLE]),
    # Roots, and what Wine does with entries that cannot be deleted: read-only, held open, links (to a
    # read-only file and to a folder that holds files), paths of 260 and patterns of 260 characters.
    case("rm-trailing-backslash", "Uninstall {C}\\T\\", [SUCCESS], ["T", EXE]),
    case("rm-read-only-held", UT, [problem("{C}\\T\\h.txt"), problem("{C}\\T\\r.txt"), IN_T], ["T\\a.txt", EXE],
         ["T\\a.txt", "T\\h.txt", "ro:T\\r.txt"], hold="{C}\\T\\h.txt"),
    case("rm-links", UT, [problem("{C}\\T\\fl"), IN_T], ["T\\a.txt", EXE],
         ["ro:K\\ro.txt", "K\\d\\f.txt", "T\\a.txt", "T\\dl=>K\\d", "T\\fl=>K\\ro.txt"]),
    case("rm-long-paths", UT, [SUCCESS], ["T", EXE],
         ["T\\" + "a" * 236, "T\\" + "b" * 237, "T\\" + "c" * 235 + "\\f.txt"]),
    case("rm-quoted-trailing-backslash", 'Uninstall "{C}\\T\\"', [in_use('{C}\\T"')], [EXE]),
    case("rm-missing", "Uninstall {C}\\gone", [in_use("{C}\\gone")], [EXE]),
    case("rm-file-root", "Uninstall {C}\\T.txt", [in_use("{C}\\T.txt")], [EXE], ["T.txt"]),
    case("rm-wildcard", "Uninstall {C}\\T*", [in_use("{C}\\T*")], [EXE], ["T1\\f.txt"]),
    # Refused roots.
    case("safe-empty", 'Uninstall ""', [UNABLE]),
    case("safe-drive", "Uninstall C:", [UNABLE]),
    case("safe-drive-root", "Uninstall C:\\", [UNABLE]),
    case("safe-up-to-root", "Uninstall C:\\T\\..", [UNABLE]),
    case("safe-device-root", "Uninstall \\??\\D:", [UNABLE], tree=D, dosdev={"d:": "D"}),
    case("safe-link-root", "Uninstall {C}\\L", [UNABLE], tree=D + ["L=>D"]),
    case("safe-link-root-slash", "Uninstall {C}\\L\\", [UNABLE], tree=D + ["L=>D"]),
    # A path drops a last dot or space, and Wine drops a dot from each folder too: "x " and "x.." would be
    # held as x and listed through the links "x " and "x."; "x \\sub" would enter O\\sub.
    case("safe-space-root", 'Uninstall "{C}\\x "', [UNABLE], tree=SPACE),
    case("safe-dots-root", "Uninstall {C}\\x..", [UNABLE], tree=D + ["x\\f.txt", "x.=>D"]),
    case("safe-space-root-slash", 'Uninstall "{C}\\x /"', [UNABLE], tree=SPACE),
    case("safe-space-folder", 'Uninstall "{C}\\x \\sub"', [UNABLE], tree=SPACE + ["O\\sub\\f.txt", "x\\sub\\f.txt"]),
    case("safe-space-missing", 'Uninstall "{C}\\Tool "', [UNABLE], tree=[]),
    case("exact-dir", "Uninstall {C}\\Narz\u0119dzia", [UNABLE], tree=NARZ),
    # Listed names that best fit turns into separators, dots or another entry's name, names a path would
    # read as devices or trim, and best fit's "." and "..": each is opened by its exact name below its folder's
    # handle, so removed, and nothing beside it (UT: the root T). COM1-9 and LPT1-9 lead to C:\dev, AUX to COM1.
    case("names-slash-dir", UT, [SUCCESS], ["T", EXE], ["T\\..\uff0fx\\f.txt", "x\\keep.txt"]),
    case("names-slash-file", UT, [SUCCESS], ["T", EXE], ["T\\..\uff0fy", "y"]),
    case("names-devices", UT, [SUCCESS], ["T", EXE], DEVICES + ["T\\a.txt", "T\\COM4\\f.txt"]),
    case("names-fake-dots", UT, [SUCCESS], ["T", EXE], ["T\\a.txt", "T\\\uff0e", "T\\\uff0e\uff0e\\f.txt"]),
    case("names-dot-loop", UT, [SUCCESS], ["T", EXE], ["T\\.\uff0f\\", "T\\\uff0e\uff0f\\"]),
    # Beside a link (Wine cannot remove a host link to a folder, so T stays): a look-alike of its name, and one
    # that a path would trim to it.
    case("names-alias-link", UT, [IN_T], ["T\\\uff41", EXE], O + ["T\\\uff41\\f.txt", "T\\a=>O"]),
    case("names-trailing-dot", UT, [IN_T], ["T\\a.", EXE], O + ["T\\a.\\f.txt", "T\\a=>O"]),
    # The working directory and the own path in exact ANSI form.
    case("exact-cwd", "", [confirm(YES), UNABLE], tree=["Tool\\Quillstead.exe", FW_T + "\\"], cwd="{C}\\" + FW_T),
    case("exact-exe", UT, [SUCCESS], ["T"], TREE + ["Tool\\" + EXE], FW_T + "\\" + EXE),
    # Self-deletion and start-up.
    case("safe-percent", UT, [SUCCESS], ["T"], TREE + ["Windows_NT.exe"], "%OS%.exe", env=["OS=Windows_NT"]),
    # Wine gives Uninstall.exe the 8.3 name of Uninstall-dtj.exe, listed first.
    case("self-delete-twin", UT, [SUCCESS], ["T"], TREE + ["x\\Uninstall-dtj.exe"], "x\\" + EXE),
    case("self-delete-case", UT, [SUCCESS], ["T", EXE], run="c:\\E2E\\self-delete-case\\uninstall.EXE"),
    case("dll-restriction", "Install", [], tree=[], env=["WINEDEBUG=+relay"],
         relay=["SetDefaultDllDirectories(00000800)", "Sleep(000001f4)"]),
]


# The folders the system and the user keep, named in several ways, are refused with nothing deleted; a
# product's folder inside one (laid out at the path gone names) is removed. {P}: the profile, {U} and
# {UU}: its user's name, known once the prefix is booted. C:\lnk and E: lead to C:\users. A build that
# deletes system32 ends Wine: the Windows folder's cases run last.
def kept(name, root, cwd="{C}"):
    product = name.startswith("product-")
    return case(name, "Uninstall " + (root if root.endswith("\\") else '"%s"' % root), [SUCCESS if product else UNABLE],
                [EXE, root] if product else (), [], cwd=cwd, kept=root)


KEPT = [("product-desktop", r"{P}\Desktop\Quill App"),
        ("product-program-files", r"C:\Program Files\Quillstead"),
        ("product-local-programs", r"{P}\AppData\Local\Programs\Quillstead"),
        ("desktop", r"{P}\Desktop"),
        ("desktop-upper", r"C:\USERS\{UU}\DESKTOP"),
        ("desktop-slash", "{P}\\Desktop\\"),
        ("desktop-long", r"\\?\{P}\Desktop"),
        ("desktop-dotdot", r"{P}\Music\..\Desktop"),
        ("desktop-relative", r"Desktop", r"{P}"),
        ("desktop-link-above", r"C:\lnk\{U}\Desktop"),
        ("desktop-drive-above", r"E:\{U}\Desktop"),
        ("documents", r"{P}\Documents"),
        ("downloads", r"{P}\Downloads"),
        ("start-programs", r"{P}\AppData\Roaming\Microsoft\Windows\Start Menu\Programs"),
        ("roaming", r"{P}\AppData\Roaming"),
        ("local", r"{P}\AppData\Local"),
        ("appdata", r"{P}\AppData"),
        ("temp", r"{P}\Temp"),
        ("profile", r"{P}"),
        ("other-desktop", r"C:\users\other\Desktop"),
        ("other-start-menu", r"C:\users\other\AppData\Roaming\Microsoft\Windows\Start Menu"),
        ("other-microsoft", r"C:\users\other\AppData\Roaming\Microsoft"),
        ("other-local-microsoft", r"C:\users\other\AppData\Local\Microsoft"),
        ("other-local-programs", r"C:\users\other\AppData\Local\Programs"),
        ("product-other-programs", r"C:\users\other\AppData\Local\Programs\Quillstead"),
        ("other-screenshots", r"C:\users\other\Pictures\Screenshots"),
        ("other-3d-objects", r"C:\users\other\3D Objects"),
        ("screenshots", r"{P}\Pictures\Screenshots"),
        ("camera-roll", r"{P}\Pictures\Camera Roll"),
        ("product-camera-roll", r"{P}\Pictures\Camera Roll\Quill"),
        ("3d-objects", r"{P}\3D Objects"),
        ("libraries", r"{P}\AppData\Roaming\Microsoft\Windows\Libraries"),
        ("quick-launch", r"{P}\AppData\Roaming\Microsoft\Internet Explorer\Quick Launch"),
        ("listed-profile", r"C:\Staff\erin"),
        ("listed-profile-above", r"C:\Staff"),
        ("listed-desktop", r"C:\Staff\erin\Desktop"),
        ("product-listed-desktop", r"C:\Staff\erin\Desktop\Quill App"),
        ("moved-music", r"C:\Media\Tunes"),
        ("moved-music-above", r"C:\Media"),
        ("product-moved-music", r"C:\Media\Tunes\Quill"),
        ("other-profile", r"C:\users\other"),
        ("public", r"C:\users\Public"),
        ("program-data", r"C:\ProgramData"),
        ("common-files", r"C:\Program Files\Common Files"),
        ("program-files", r"C:\Program Files"),
        ("users", r"C:\users"),
        ("windows-temp", r"C:\windows\Temp"),
        ("fonts", r"C:\windows\Fonts"),
        ("system32", r"C:\windows\system32")]
CASES += [kept(*k) for k in KEPT]
# What the system keeps beyond its own: a profile that only ProfileList names, and Music moved in the
# shell's settings, written with '/'.
REGISTRY = [(r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\ProfileList\S-1-5-21-1-2-3-1001",
             "ProfileImagePath", "REG_EXPAND_SZ", r"C:\Staff\erin"),
            (r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders", "My Music",
             "REG_EXPAND_SZ", "C:/Media/Tunes")]
# Canaries in each kept folder named plainly, and in some folders that hold them.
KEPT_CANARIES = [f + c for f in [f for n, f, *_ in KEPT if n == "desktop" or not n.startswith(("product", "desktop-"))]
    + ["{P}\\Music", "{P}\\AppData\\Local\\Programs", r"C:\users\other\AppData\Roaming", r"C:\users\Public\Documents",
       r"C:\users\other\AppData\Roaming\Microsoft\Protect", r"C:\users\other\AppData\Local\Microsoft\Windows\History"]
    for c in ("\\e2e-canary.txt", "\\e2e-canary\\inner.txt")]
assert len({short_name(r["name"]) for r in CASES}) == len(CASES), "case folders that Wine gives one 8.3 name"


def check(s, row, transcript, after, log):  # what was seen, and how it differs from the row
    events = [e for e in transcript if e["case"] == row["name"]]
    runs = [e for e in events if e["event"] in ("launch", "launch-failed", "hold-failed", "exit")]
    if [e["event"] for e in runs] != ["launch", "exit"]:
        return "not run", ["events %s" % [e["event"] for e in events]]
    end, status = runs[1], 0 if row["dialogs"][-1:] == [UNABLE] else 1
    dialogs = [e for e in events if e["event"] == "dialog"]
    got = [(d["caption"], d["text"], d["icon"], tuple(sorted(b[0] for b in d["buttons"])), d["answer"])
           for d in dialogs]
    want = [(c, t[:299], i, tuple(sorted(b)), a) for c, t, i, b, a in row["dialogs"]]
    first = min([d["t_seen"] for d in dialogs] + [end["t"]]) - runs[0]["t"]
    found = [log.find("Call KERNEL32." + call) for call in row.get("relay", [])]
    records = read_records(s.host("C:\\run\\%s.record" % row["name"]))
    starts = records and [(r["cmdline"], r["cwd"], r["handoff"][len(r["copy"]) + 2:]) for r in records]
    copies = [r["copy"] for r in records or [] if r["copy"] and os.path.exists(s.host(r["copy"]))]
    files, changed = set(after), sorted(k for k in set(after) & set(row["before"]) if after[k] != row["before"][k])
    faults = [fault for fault, bad in (
        ("exit status %d%s, expected %d" % (end["status"], " (timed out)" * end["timed_out"], status),
         end["timed_out"] or end["status"] != status),
        ("dialogs\n      got  %s\n      want %s" % (got, want),
         got != want),
        ("acted %.0f ms after start, before the 500 ms wait" % first, first < 500),
        ("relay log: %s at %s (-1: absent)" % (row.get("relay"), found),
         found and min(found) < 0 or found != sorted(found)),
        ("Quillstead.exe starts %s, expected %s" % (starts, row["record"]), starts != row["record"]),
        ("the uninstaller's copies %s were not deleted" % copies, copies),
        ("files: left over %s, missing %s" % (sorted(files - row["want"]), sorted(row["want"] - files)),
         files != row["want"]),
        ("changed: %s" % changed[:6], changed)) if bad]
    return "status %d, %d dialogs, %d entries" % (end["status"], len(got), len(after)), faults


def outside(s, rows):  # the state of every entry on drive C: outside the rows' folders, by its path below C:\
    folders = tuple(r["folder"][3:] + "\\" for r in rows)
    return {k: v for k, v in snapshot(s.host("C:\\")).items() if not k.startswith(folders)}


def main():
    o = runner_options(__doc__, (
        ["--only"], dict(nargs="+", help="run only these fixed cases")), (
        ["--kept"], dict(action="store_true", help="run only the kept folders' cases")))
    rows = [r for r in CASES if (not o.only or r["name"] in o.only) and (not o.kept or "kept" in r)]
    rows.sort(key=lambda r: r.get("kept", "").startswith("C:\\windows"))  # a stable sort
    print("%d cases" % len(rows), flush=True)
    with session(o) as s:
        user = next(n for n in os.listdir(s.host("C:\\users")) if n != "Public")
        at = lambda v: v.replace("{P}", "C:\\users\\{U}").replace("{UU}", user.upper()).replace(  # noqa: E731
            "{U}", user)
        products = [at(r["kept"])[3:] for r in rows if "kept" in r and r["gone"]]
        s.lay_out("C:", CANARIES + [at(c)[3:] for c in KEPT_CANARIES] + ["lnk=>C:\\users"] + [
            p + f for p in products for f in ("\\Quillstead.exe", "\\data\\a.txt", "\\data\\deep\\b.txt")])
        os.symlink(s.host("C:\\users"), os.path.join(s.prefix, "dosdevices", "e:"))
        s.map_ports("C:\\dev")
        for row in rows:
            s.lay_out(row["folder"], row["entries"])
            for device, target in row.get("dosdev", {}).items():  # inside the prefix, as every drive here
                os.symlink(s.host(row["folder"] + "\\" + target), os.path.join(s.prefix, "dosdevices", device))
            row["before"] = snapshot(s.host(row["folder"]))
            row["want"] = {k for k in row["before"] if not any(inside(k, g) for g in row["gone"])}
        for key, name, kind, data in REGISTRY:
            if s.wine("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f").returncode:
                raise RuntimeError("reg add %s failed" % key)
        s.confine()
        drive = outside(s, rows)
        transcript = s.run_cases([(r["name"], [(k, at(v) if "kept" in r else v) for k, v in r["keys"]] + [
            ("env", "QUILLSTEAD_RECORD=C:\\run\\%s.record" % r["name"])]) for r in rows], timeout=60 + 20 * len(rows))
        with open(os.path.join(s.root, "wine.log"), errors="replace") as log:
            log = log.read()
        for wait in [2] + [0.5] * 30:  # the self-deletions, wanted or not, run after the uninstaller ends
            time.sleep(wait)
            after = {r["name"]: snapshot(s.host(r["folder"])) for r in rows}
            seen = {r["name"]: check(s, r, transcript, after[r["name"]], log) for r in rows}
            if not any(f for _, f in seen.values()):
                break
        escaped = [os.path.relpath(p, s.prefix) for p in s.confine()]  # links made out of the prefix
        now = outside(s, rows)
    removed = {k for k in drive if any(inside(k, p) for p in products)}  # the products' folders
    changed = sorted(k for k in drive if now.get(k) != (None if k in removed else drive[k]))
    failed = []
    for row in rows:
        summary, faults = seen[row["name"]]
        failed += [row["name"]] * verdict(row["name"], summary, faults)
    faults = [f for f, bad in (("changed, lost or not removed: %s" % changed[:8], changed),
                               ("links out of the prefix: %s" % escaped, escaped)) if bad]
    failed += ["outside the cases"] * verdict("outside the cases", "%d of %d entries changed, lost or not removed" % (
        len(changed), len(drive)), faults)
    return finish(failed, len(rows) + 1)


if __name__ == "__main__":
    sys.exit(main())
