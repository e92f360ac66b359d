#!/usr/bin/env python3
"""End-to-end cases for Uninstall.exe under Wine, on a private X server.

Every case gets its own folder C:\\e2e\\<name> in a throwaway prefix. The
Launcher tool runs all cases in one Wine process: it starts the uninstaller
with the exact command line and working directory of the case and its robot
answers the message boxes. Afterwards each case is checked against its row:
dialogs in order, exit status, what is left in its folder, and what the
stand-in Quillstead.exe recorded.

  e2e.py --arch win32|win64 --exe Uninstall.exe --tools DIR [--keep] [--only NAME...]
         [--transcript FILE]

Exit status: 0 all passed, 1 a case failed, 77 skipped (this build's Wine
cannot run here, or the other build covers it).
"""
import argparse
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WINE = {"win32": "/usr/lib/wine/wine", "win64": "/usr/lib/wine/wine64"}
WINESERVER = "/usr/lib/wine/wineserver"
YES, NO, OK = 6, 7, 1
PRODUCT = "Brindlewake Quillstead"
SETTINGS = r"""REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
"""
# With no window manager, Wine would wait 2 s for one at every closed window;
# unmanaged windows draw their own frame and caption.
UNMANAGED = r"""
[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"
"Managed"="N"
"""


def can_run_32bit():
    try:
        run = subprocess.run([WINE["win32"], "--version"], capture_output=True, timeout=20)
        return run.returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


class WineSession:
    """A throwaway prefix with no drive outside it, on its own X server."""

    def __init__(self, arch, display=None, keep=False):
        self.arch, self.keep, self.xvfb = arch, keep, None
        self.root = tempfile.mkdtemp(prefix="uninstall-e2e-")
        self.prefix = os.path.join(self.root, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH=arch, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        self.env.pop("ComSpec", None)
        if display is None:
            display = self.start_xvfb()
        self.env["DISPLAY"] = display

    def start_xvfb(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number, deadline = b"", time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            if select.select([read], [], [], 1)[0]:
                chunk = os.read(read, 16)  # Xvfb dies if it cannot write the whole line
                if not chunk:
                    break
                number += chunk
        os.close(read)
        if not number.strip().isdigit():
            raise RuntimeError("Xvfb did not start")
        return ":" + number.decode().strip()

    def wine(self, *args, timeout=60):
        """Runs a Wine program; its output goes to wine.log (a pipe would wait for the
        services that Wine starts, which inherit it)."""
        with open(os.path.join(self.root, "wine.log"), "a") as log:
            return subprocess.run([WINE[self.arch], *args], env=self.env, timeout=timeout,
                                  stdout=log, stderr=subprocess.STDOUT,
                                  cwd=os.path.join(self.prefix, "drive_c")
                                  if os.path.isdir(self.prefix) else self.root)

    def confine(self):
        """Cuts every way out of the prefix: drive letters that lead outside it (Wine
        maps Z: to /) and links in drive_c that do (the profile folders lead home)."""
        inside = os.path.realpath(self.prefix) + os.sep
        devices = os.path.join(self.prefix, "dosdevices")
        for name in os.listdir(devices):
            path = os.path.join(devices, name)
            if len(name) == 2 and name[1] == ":" and not os.path.realpath(path).startswith(inside):
                os.unlink(path)
        if os.path.lexists(os.path.join(devices, "z:")):
            raise RuntimeError("drive Z: is still mapped")
        for base, folders, files in os.walk(os.path.join(self.prefix, "drive_c")):
            for name in folders + files:
                path = os.path.join(base, name)
                if os.path.islink(path) and not os.path.realpath(path).startswith(inside):
                    os.unlink(path)
                    os.mkdir(path)

    def boot(self, managed_windows=False):
        self.wine("wineboot", "-i", timeout=90)
        self.confine()
        self.write("C:\\settings.reg", SETTINGS + ("" if managed_windows else UNMANAGED))
        self.wine("regedit", "/S", "C:\\settings.reg")
        self.confine()

    def host(self, path):
        """Host path of a path on drive C:."""
        assert path[:3].upper() == "C:\\", path
        return os.path.join(self.prefix, "drive_c", *[p for p in path[3:].split("\\") if p])

    def write(self, path, text="", source=None, mode=None):
        target = self.host(path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if source:
            shutil.copyfile(source, target)
        else:
            with open(target, "w") as out:
                out.write(text)
        if mode is not None:
            os.chmod(target, mode)
        return target

    def close(self):
        try:
            subprocess.run([WINESERVER, "-k"], env=self.env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
        if self.keep:
            print("kept", self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    def install_tools(self, exe, tools):
        for name in ("Launcher.exe", "Holder.exe", "Quillstead.exe"):
            self.write("C:\\e2e-tools\\" + name, source=os.path.join(tools, name))
        self.write("C:\\e2e-tools\\Uninstall.exe", source=exe)

    def run_cases(self, cases, timeout):
        """Runs the cases ([(name, [(key, value)])]) with the Launcher; returns its transcript."""
        lines = []
        for name, keys in cases:
            lines.append("[%s]" % name)
            lines += ["%s=%s" % item for item in keys if item[1] != ""]
        self.write("C:\\e2e\\cases.txt", "\n".join(lines) + "\n")
        run = self.wine("C:\\e2e-tools\\Launcher.exe", "C:\\e2e\\cases.txt",
                        "C:\\e2e\\transcript.jsonl", timeout=timeout)
        if run.returncode != 0:
            raise RuntimeError("Launcher failed with status %d" % run.returncode)
        with open(self.host("C:\\e2e\\transcript.jsonl")) as transcript:
            return [json.loads(line) for line in transcript]


def read_records(path):
    if not os.path.exists(path):
        return None
    with open(path) as records:
        return [json.loads(line) for line in records]


# ---------------------------------------------------------------------------
# The cases. "{C}" stands for the case's own folder, C:\e2e\<name>.

def confirm(answer):
    return (PRODUCT, "Are you sure you want to Uninstall ?", "question", (YES, NO), answer)


def in_use(directory):
    text = 'Some Files are in use and cannot be deleted. Kindly delete\n"%s"\nafter use.'
    return (PRODUCT, text % directory, "information", (OK,), OK)


def problem(path):
    return ("Uninstall", "Problem Occurred while trying to delete the File:" + path, "none", (OK,),
            OK)


UNABLE = ("Uninstall", "Unable to Uninstall", "none", (OK,), OK)
SUCCESS = (PRODUCT, "Uninstall successful. BYE BYE !", "information", (OK,), OK)
# A tree with nested folders, an empty one, and names that start with dots.
TREE = ["T\\a\\b\\c\\deep.txt", "T\\a\\b\\mid.txt", "T\\a\\empty\\", "T\\.profile", "T\\..x",
        "T\\top.txt"]
EXE = "Uninstall.exe"
PRODUCT_ONLY = ["P\\Quillstead.exe"]
HANDOFF = ('"{C}\\P\\Quillstead.exe" Uninstall', "{C}\\P", "")
# Files on drive C: outside every case that no case may touch.
CANARIES = ["C:\\canary.txt", "C:\\T\\keep.txt", "C:\\Quillstead.exe"]


def case(name, args, dialogs, left, status=1, tree=TREE, exe=EXE, cwd="{C}", **more):
    """One row: the uninstaller {C}\\<exe> started as "<exe path>" <args> in cwd.

    tree: entries made first ("x\\" a folder, "ro:" read-only, "a=>b" a link
    a to folder b); dialogs: expected (caption, text, icon, buttons, answer)
    in order; left: what must exist in {C} at the end (parents implied).
    more: env (list of N=V, or N to unset), hold (a file kept open), record
    (expected starts of Quillstead.exe: cmdline, cwd, hand-off arguments),
    until="answers" (wait for all dialogs, also those of later processes),
    wine (what differs under Wine, which this suite runs on).
    """
    return dict(name=name, args=args, dialogs=dialogs, left=left, status=status, tree=tree,
                exe=exe, cwd=cwd, **more)


CASES = [
    # Confirmation.
    case("confirm-no", "", [confirm(NO)], [EXE] + PRODUCT_ONLY, tree=PRODUCT_ONLY, cwd="{C}\\P"),
    case("confirm-yes", "", [confirm(YES)], [EXE] + PRODUCT_ONLY, tree=PRODUCT_ONLY,
         cwd="{C}\\P", record=[HANDOFF]),
    case("confirm-yes-drive-root", "", [confirm(YES)], [EXE], tree=[], cwd="C:\\",
         record=[('"C:\\\\Quillstead.exe" Uninstall', "C:\\", "")]),
    case("confirm-yes-no-product", "", [confirm(YES), UNABLE], [EXE, "P\\"], status=0,
         tree=["P\\"], cwd="{C}\\P"),
    case("whole-road", "", [confirm(YES), SUCCESS], [], cwd="{C}\\P", exe="P\\Uninstall.exe",
         tree=PRODUCT_ONLY + ["P\\data\\a.txt", "P\\Uninstall.exe"], until="answers",
         record=[HANDOFF[:2] + (' Uninstall "{C}\\P"',)]),
    # Mode selection.
    case("mode-install", "Install {C}\\T", [], [EXE] + TREE),
    case("mode-help", "/?", [], [EXE] + TREE),
    case("mode-prefix", "Uninstal {C}\\T", [], [EXE] + TREE),
    case("mode-longer", "Uninstalls {C}\\T", [], [EXE] + TREE),
    case("mode-upper-extra", "UNINSTALL {C}\\T extra", [SUCCESS], []),
    case("mode-lower", "uninstall {C}\\T", [SUCCESS], []),
    case("mode-no-directory", "Uninstall", [UNABLE], [EXE] + TREE, status=0),
    # Removal.
    case("rm-success", "Uninstall {C}\\T", [SUCCESS], []),
    case("rm-read-only", "Uninstall {C}\\T",
         [problem("{C}\\T\\a\\b\\c\\ro.txt"), in_use("{C}\\T")], ["T\\a\\b\\c\\ro.txt"],
         tree=TREE + ["ro:T\\a\\b\\c\\ro.txt"]),
    case("rm-held", "Uninstall {C}\\T", [problem("{C}\\T\\a\\held.txt"), in_use("{C}\\T")],
         ["T\\a\\held.txt"], tree=TREE + ["T\\a\\held.txt"], hold="{C}\\T\\a\\held.txt"),
    case("rm-own-file", "Uninstall {C}\\T", [problem("{C}\\T\\Uninstall.exe"), in_use("{C}\\T")],
         ["T\\"], exe="T\\Uninstall.exe"),
    case("rm-relative", "Uninstall T", [problem("T\\a\\ro.txt"), in_use("T")], ["T\\a\\ro.txt"],
         tree=TREE + ["ro:T\\a\\ro.txt"]),
    case("rm-trailing-backslash", "Uninstall {C}\\T\\",
         [problem("{C}\\T\\\\ro.txt"), in_use("{C}\\T\\")], ["T\\ro.txt"],
         tree=TREE + ["ro:T\\ro.txt"]),
    case("rm-quoted-trailing-backslash", 'Uninstall "{C}\\T\\"', [in_use('{C}\\T"')], TREE),
    case("rm-missing", "Uninstall {C}\\gone", [in_use("{C}\\gone")], TREE),
    case("rm-file-root", "Uninstall {C}\\T.txt", [in_use("{C}\\T.txt")], ["T.txt"],
         tree=["T.txt"]),
    case("rm-wildcard", "Uninstall {C}\\T*", [in_use("{C}\\T*")], ["T1\\f.txt"],
         tree=["T1\\f.txt"]),
    # Self-deletion.
    case("self-no-comspec", "Uninstall {C}\\T", [SUCCESS], [EXE], env=["ComSpec"]),
    # Safety.
    # A host symbolic link to a folder shows in Wine with the directory and
    # reparse bits, but Wine's RemoveDirectoryA refuses to remove it (its
    # target is not empty) where Windows removes the link itself. So under
    # Wine the link stays and the final message is the in-use one.
    case("safe-link", "Uninstall {C}\\T", [SUCCESS], ["O\\precious.txt"],
         tree=TREE + ["O\\precious.txt", "T\\a\\b\\out=>O"],
         wine=dict(dialogs=[in_use("{C}\\T")], left=["O\\precious.txt", "T\\a\\b\\out"])),
    case("safe-empty", 'Uninstall ""', [UNABLE], [EXE] + TREE, status=0),
    case("safe-drive", "Uninstall C:", [UNABLE], [EXE] + TREE, status=0),
    case("safe-drive-root", "Uninstall C:\\", [UNABLE], [EXE] + TREE, status=0),
    case("safe-up-to-root", "Uninstall C:\\T\\..", [UNABLE], [EXE] + TREE, status=0),
    case("safe-ampersand", "Uninstall {C}\\T", [SUCCESS], ["x"], exe="x&y.exe",
         tree=TREE + ["x"]),
    case("safe-percent", "Uninstall {C}\\T", [SUCCESS], ["%OS%.exe", "Windows_NT.exe"],
         exe="%OS%.exe", tree=TREE + ["Windows_NT.exe"], env=["OS=Windows_NT"]),
]


def lay_out(session, row, folder):
    """Makes the case's files; returns the Launcher keys of the case."""
    for entry in row["tree"] + [row["exe"]]:
        mode = 0o444 if entry.startswith("ro:") else None
        entry = entry[3:] if mode else entry
        path = folder + "\\" + entry
        if "=>" in entry:
            link, target = entry.split("=>")
            os.symlink(session.host(folder + "\\" + target), session.host(folder + "\\" + link))
        elif entry.endswith("\\"):
            os.makedirs(session.host(path), exist_ok=True)
        elif entry == row["exe"]:
            session.write(path, source=session.host("C:\\e2e-tools\\Uninstall.exe"))
        elif entry.endswith("Quillstead.exe") or entry.endswith("Uninstall.exe"):
            session.write(path, source=session.host("C:\\e2e-tools\\" + entry.split("\\")[-1]))
        else:
            session.write(path, "contents of %s\n" % entry, mode=mode)
    fill = lambda text: text.replace("{C}", folder)
    command = '"%s\\%s"' % (folder, row["exe"]) + (" " + row["args"] if row["args"] else "")
    env = ["QUILLSTEAD_RECORD=C:\\e2e\\%s.record" % row["name"]] + row.get("env", [])
    return [("dir", fill(row["cwd"])), ("cmd", fill(command)),
            ("answers", ",".join(str(d[4]) for d in row["dialogs"])),
            ("hold", fill(row.get("hold", ""))), ("until", row.get("until", "")),
            ("timeout", "10000")] + [
                ("env", e) for e in env]


def listing(root):
    found = set()
    for base, folders, files in os.walk(root):
        for name in folders + files:
            found.add(os.path.relpath(os.path.join(base, name), root).replace("/", "\\"))
    return found


def expected_listing(left):
    found = set()
    for entry in left:
        parts = entry.rstrip("\\").split("\\")
        found.update("\\".join(parts[:i]) for i in range(1, len(parts) + 1))
    return found


def check(session, row, events):
    """Returns the list of differences between a case's run and its row."""
    folder = "C:\\e2e\\" + row["name"]
    fill = lambda value: tuple(fill(v) for v in value) if isinstance(value, tuple) else (
        value.replace("{C}", folder) if isinstance(value, str) else value)
    faults = []
    launch = [e for e in events if e["event"] in ("launch", "launch-failed", "hold-failed")]
    exits = [e for e in events if e["event"] == "exit"]
    dialogs = [e for e in events if e["event"] == "dialog"]
    if [e["event"] for e in launch] != ["launch"] or len(exits) != 1:
        return ["not run: %s" % [e["event"] for e in events]]
    if exits[0]["timed_out"]:
        faults.append("timed out")
    if exits[0]["status"] != row["status"]:
        faults.append("exit status %d, expected %d" % (exits[0]["status"], row["status"]))
    got = [(d["caption"], d["text"], d["icon"], tuple(sorted(b[0] for b in d["buttons"])),
            d["answer"]) for d in dialogs]
    want = [tuple(fill(v) for v in d[:3]) + (tuple(sorted(d[3])), d[4]) for d in row["dialogs"]]
    if got != want:
        faults.append("dialogs\n      got  %s\n      want %s" % (got, want))
    first = min([d["t_seen"] for d in dialogs] + [exits[0]["t"]])
    if first - launch[0]["t"] < 500:
        faults.append("acted %.0f ms after start, before the 500 ms wait" % (first - launch[0]["t"]))
    records = read_records(session.host("C:\\e2e\\%s.record" % row["name"]))
    want_records = row.get("record")
    got_records = records and [(r["cmdline"], r["cwd"], r["handoff"][len(r["copy"]) + 2:])
                               for r in records]
    if got_records != (want_records and [fill(r) for r in want_records]):
        faults.append("Quillstead.exe starts %s, expected %s" % (got_records, want_records))
    for r in records or []:
        if r["copy"] and os.path.exists(session.host(r["copy"])):
            faults.append("the uninstaller's copy %s was not deleted" % r["copy"])
    got_files = listing(session.host(folder))
    want_files = expected_listing(row["left"])
    if got_files != want_files:
        faults.append("files: left over %s, missing %s" % (sorted(got_files - want_files),
                                                            sorted(want_files - got_files)))
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=WINE, required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the prefix for inspection")
    parser.add_argument("--only", nargs="*", help="run only these cases")
    parser.add_argument("--transcript", help="save the Launcher's transcript (JSON lines) here")
    options = parser.parse_args()
    if can_run_32bit() != (options.arch == "win32"):
        print("SKIPPED: %s" % ("32-bit programs cannot run on this machine; the win64 build "
                               "runs the suite" if options.arch == "win32" else
                               "32-bit Wine works here; the win32 build runs the suite"))
        return 77
    print("uninstaller: %s\nwine: %s (WINEARCH=%s)" % (os.path.abspath(options.exe),
                                                      WINE[options.arch], options.arch))
    rows = [dict(r, **r.get("wine", {})) for r in CASES
            if not options.only or r["name"] in options.only]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    started = time.monotonic()
    session = WineSession(options.arch, keep=options.keep)
    try:
        session.boot()
        booted = time.monotonic()
        session.install_tools(options.exe, options.tools)
        for canary in CANARIES:
            session.write(canary, source=os.path.join(options.tools, "Quillstead.exe")
                          if canary.endswith(".exe") else None)
        cases = []
        for row in rows:
            cases.append((row["name"], lay_out(session, row, "C:\\e2e\\" + row["name"])))
        transcript = session.run_cases(cases, timeout=150)
        if options.transcript:
            shutil.copyfile(session.host("C:\\e2e\\transcript.jsonl"), options.transcript)
        ran = time.monotonic()
        time.sleep(3)  # let the self-deletions run; any unwanted one too
        deadline = time.monotonic() + 15
        while True:
            faults = {r["name"]: check(session, r, [e for e in transcript
                                                    if e.get("case") == r["name"]]) for r in rows}
            if not any(faults.values()) or time.monotonic() > deadline:
                break
            time.sleep(0.25)
        session.confine()
        lost = [c for c in CANARIES if not os.path.exists(session.host(c))]
    finally:
        session.close()
    for row in rows:
        print("%s %s" % ("FAIL" if faults[row["name"]] else "PASS", row["name"]))
        for fault in faults[row["name"]]:
            print("    " + fault)
    if lost:
        print("FAIL files outside every case were deleted: %s" % lost)
    failed = sum(1 for f in faults.values() if f) + (1 if lost else 0)
    print("timing: prefix %.1f s, cases %.1f s, total %.1f s" % (
        booted - started, ran - booted, time.monotonic() - started))
    print("%d passed, %d failed" % (len(rows) - failed + (1 if lost else 0), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
