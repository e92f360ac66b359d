#!/usr/bin/env python3
"""Uninstall.exe under Wine on the folders the system and the user keep."""
# Each, named in several ways, must be refused with nothing deleted; a product folder inside one is
# removed as usual. Exit status: 0 all passed, 1 a case failed, 77 skipped (the other build's Wine runs).
import os
import sys
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
from suite import finish, session, verdict  # noqa: E402 (it puts tools/ on the path)
from winesession import SUCCESS, UNABLE, runner_options, state  # noqa: E402

# name, outcome, root as given, working directory. {P}: the profile, {U}: its name, {R}: AppData\Roaming.
# Each run is checked on its own, its canaries laid out again first. A build that deletes what it
# is given ends the prefix's Wine with system32, so the Windows folder's cases come last.
CASES = [("product-desktop", "removed", r"{P}\Desktop\Quill App"),
         ("product-program-files", "removed", r"C:\Program Files\Quillstead"),
         ("product-local-programs", "removed", r"{P}\AppData\Local\Programs\Quillstead"),
         ("desktop", "refused", r"{P}\Desktop"),
         ("desktop-upper", "refused", r"C:\USERS\{UU}\DESKTOP"),
         ("desktop-slash", "refused", "{P}\\Desktop\\"),
         ("desktop-long", "refused", r"\\?\{P}\Desktop"),
         ("desktop-dotdot", "refused", r"{P}\Music\..\Desktop"),
         ("desktop-relative", "refused", r"Desktop", r"{P}"),
         ("desktop-link-above", "refused", r"C:\lnk\{U}\Desktop"),  # C:\lnk leads to C:\users
         ("desktop-drive-above", "refused", r"E:\{U}\Desktop"),  # E: leads to C:\users
         ("documents", "refused", r"{P}\Documents"),
         ("downloads", "refused", r"{P}\Downloads"),
         ("start-programs", "refused", r"{R}\Microsoft\Windows\Start Menu\Programs"),
         ("roaming", "refused", r"{R}"),
         ("local", "refused", r"{P}\AppData\Local"),
         ("appdata", "refused", r"{P}\AppData"),
         ("temp", "refused", r"{P}\Temp"),
         ("profile", "refused", r"{P}"),
         ("other-desktop", "refused", r"C:\users\other\Desktop"),
         ("other-profile", "refused", r"C:\users\other"),
         ("public", "refused", r"C:\users\Public"),
         ("program-data", "refused", r"C:\ProgramData"),
         ("common-files", "refused", r"C:\Program Files\Common Files"),
         ("program-files", "refused", r"C:\Program Files"),
         ("users", "refused", r"C:\users"),
         ("windows-temp", "refused", r"C:\windows\Temp"),
         ("fonts", "refused", r"C:\windows\Fonts"),
         ("system32", "refused", r"C:\windows\system32")]
# Canaries in the prefix's own folders and another user's; the products' siblings among them.
KEPT = [r"{P}\%s" % f for f in ("Desktop", "Documents", "Downloads", "Music", "Temp", "AppData", r"AppData\Local",
                                r"AppData\Local\Programs")] + [r"{R}", r"{R}\Microsoft\Windows\Start Menu\Programs"] + [
    r"C:\users\%s" % f for f in ("", "other", r"other\Desktop", r"other\AppData\Roaming", "Public", r"Public\Documents")
] + [r"C:\Program Files", r"C:\Program Files\Common Files", r"C:\ProgramData"] + [
    r"C:\windows\%s" % f for f in ("Temp", "Fonts", "system32")]
CANARY = ["e2e-canary.txt", "e2e-canary\\inner.txt"]


def entries(s):  # every entry on drive C: but the runs' own folders, by its path below C:\
    c = os.path.join(s.prefix, "drive_c")
    return {os.path.relpath(os.path.join(b, n), c) for b, ds, fs in os.walk(c) for n in ds + fs
            if os.path.relpath(b, c).split(os.sep)[0] not in ("e2e", "run")}


def run_one(s, user, name, want, root, cwd=""):
    fill = lambda p: p.replace("{R}", r"{P}\AppData\Roaming").replace("{P}", r"C:\users\{U}").replace(  # noqa: E731
        "{UU}", user.upper()).replace("{U}", user)
    root, exe = fill(root), "C:\\e2e\\%s\\Uninstall.exe" % name
    s.write(exe, source=s.host("C:\\tools\\Uninstall.exe"))
    s.confine()  # a folder deleted in the last run may come back as a link to the home folder
    for folder in KEPT:
        s.lay_out(fill(folder), CANARY)
    if want == "removed":
        s.lay_out(root, ["Quillstead.exe", "data\\a.txt", "data\\deep\\b.txt"])
    drive = os.path.join(s.prefix, "dosdevices", "e:")
    if name == "desktop-drive-above":
        os.symlink("../drive_c/users", drive)
    canaries = {p: state(p) for p in (s.host(fill(f) + "\\" + c) for f in KEPT for c in CANARY)}
    before = entries(s)
    events = s.run_cases([(name, [("dir", fill(cwd)), ("cmd", '"%s" Uninstall %s' % (
        exe, root if root.endswith("\\") else '"%s"' % root)), ("answers", "1"), ("timeout", "30000")])], 90)
    escaped = [os.path.relpath(p, s.prefix) for p in s.confine()]  # links it made out of the prefix
    if os.path.lexists(drive):
        os.unlink(drive)
    product = os.path.relpath(s.host(root), os.path.join(s.prefix, "drive_c")) if want == "removed" else "\0"
    gone = sorted(p for p in before - entries(s) if p != product and not p.startswith(product + os.sep))
    lost = [p for p, v in canaries.items() if state(p) != v]
    end = next((e for e in events if e["event"] == "exit"), dict(status=None, timed_out=True))
    dialogs = [(e["caption"], e["text"]) for e in events if e["event"] == "dialog"]
    expected = (UNABLE, 0) if want == "refused" else (SUCCESS, 1)
    faults = [f for f, bad in (
        ("dialogs", dialogs != [expected[0][:2]]), ("status", end["status"] != expected[1] or end["timed_out"]),
        ("deleted", gone), ("canaries changed", lost), ("links out of the prefix: %s" % escaped, escaped),
        ("product left", want == "removed" and os.path.exists(s.host(root)))) if bad]
    return faults, exe, "%s; status %s%s; %d entries deleted%s (%d canary files): %s" % (
        [d[1].split("\n")[0][:32] for d in dialogs], end["status"], " (timed out)" * end["timed_out"], len(gone),
        " beside the product" * (want == "removed"), len(lost), ", ".join(gone[:4]) + " ..." * (len(gone) > 4))


def main():
    o, results = runner_options(__doc__), []
    with session(o) as s:
        user = next(n for n in os.listdir(s.host("C:\\users")) if n not in ("Public", "other"))
        os.symlink(s.host("C:\\users"), s.host("C:\\lnk"))
        s.confine()
        for name, want, *where in CASES:
            faults, exe, summary = run_one(s, user, name, want, *where)
            results.append((name, want == "refused", exe, faults))
            verdict("%s (%s)" % (name, want), summary, faults)
        time.sleep(2)  # a self-deletion runs once the uninstaller has ended
        for name, refused, exe, faults in results:
            if os.path.exists(s.host(exe)) != refused:
                faults.append("self-deletion")
                verdict(name, "the uninstaller's copy was %s" % ("deleted" if refused else "kept"), faults[-1:])
    return finish([name for name, _, _, faults in results if faults], len(results))


if __name__ == "__main__":
    sys.exit(main())
