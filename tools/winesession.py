#!/usr/bin/env python3
"""A throwaway Wine prefix on a private X server, shared by the tests, the demo
and the benchmark: confinement to the prefix, the Win32 tools, the Launcher,
the texts of the uninstaller's dialogs, and which Wine build runs here.

  winesession.py    prints the build that runs here: win32, or win64 where this
                    machine cannot execute 32-bit code
"""
import argparse
import functools
import hashlib
import itertools
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

WINE = {"win32": "/usr/lib/wine/wine", "win64": "/usr/lib/wine/wine64"}
WINESERVER = "/usr/lib/wine/wineserver"
TOOLS = ("Launcher.exe", "Holder.exe", "Quillstead.exe")
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


def confirm(answer):
    return (PRODUCT, "Are you sure you want to Uninstall ?", "question", (YES, NO), answer)


def in_use(directory):
    text = 'Some Files are in use and cannot be deleted. Kindly delete\n"%s"\nafter use.'
    return (PRODUCT, text % directory, "information", (OK,), OK)


def problem(path):
    return ("Uninstall", "Problem Occurred while trying to delete the File:" + path, "none",
            (OK,), OK)


UNABLE = ("Uninstall", "Unable to Uninstall", "none", (OK,), OK)
SUCCESS = (PRODUCT, "Uninstall successful. BYE BYE !", "information", (OK,), OK)
PORTS = ["%s%d" % (kind, n) for kind in ("com", "lpt") for n in range(1, 10)]
NOT_DOS = set('*?<>|"+=,;[] ')  # and anything beyond ASCII


def wine_hash(name):
    """The 15 bits of an 8.3 name that Wine's ntdll (hash_short_file_name) takes from a long
    name. Shifts and exclusive ors only: the hash is linear in the bits of the characters."""
    low, h = name.lower(), 0xBEEF
    for a, b in zip(low, low[1:] + "\0"):
        h = ((h << 3) ^ (h >> 5) ^ ord(a) ^ (ord(b) << 8)) & 0xFFFF
    return h


def short_name(name):
    """The 8.3 name Wine lists for a name, which is the name itself when it is a legal one."""
    stem, dot, ext = name.rpartition(".")
    if (len(name) <= 12 and name[0] != "." and name.count(".") <= 1 and len(stem if dot else ext) <= 8
            and (not dot or 1 <= len(ext) <= 3) and not any(c in NOT_DOS or c > "\x7f" for c in name)):
        return name
    dos = lambda part: "".join("_" if c in NOT_DOS or c in "~." or c > "\x7f" else c for c in part)  # noqa: E731
    e, h = name.rfind(".", 1, len(name) - 1), wine_hash(name)
    short = dos(name[:e if e > 0 else len(name)][:4]).ljust(5, "~") + "".join(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"[h >> bits & 31] for bits in (10, 5, 0))
    return (short + ("." + dos(name[e + 1:e + 4]) if e > 0 else "")).upper()


@functools.lru_cache(None)
def short_twins(name, chars="#$&'()+,-0123456789_abcdefghijklmnopqrstuvwxyz"):
    """Every <stem><4 of chars>.<ext> with the same 8.3 name as <stem>.<ext> under Wine. The
    hash being linear, the first two characters and the last two are paired by their parts."""
    stem, _, ext = name.rpartition(".")
    if short_name(name) == name:
        return []
    zero = wine_hash(stem + "\0" * 4 + "." + ext)
    part = lambda four: wine_hash(stem + four + "." + ext) ^ zero  # noqa: E731
    halves = {}
    for a, b in itertools.product(chars, repeat=2):
        halves.setdefault(part(a + b + "\0\0"), []).append(a + b)
    twins = (stem + ab + c + d + "." + ext for c, d in itertools.product(chars, repeat=2)
             for ab in halves.get(wine_hash(name) ^ zero ^ part("\0\0" + c + d), ()))
    return [t for t in twins if short_name(t) == short_name(name)]


def can_run_32bit():
    try:
        run = subprocess.run([WINE["win32"], "--version"], capture_output=True, timeout=20)
        return run.returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def arch_here():
    """The product is the 32-bit build; where 32-bit code cannot run (kernels booted
    with ia32_emulation=off), its 64-bit twin runs under 64-bit Wine instead."""
    return "win32" if can_run_32bit() else "win64"


def skip_unless_here(arch):
    """Whether a run for `arch` must be skipped (the other build covers it); says why."""
    here = arch_here()
    if arch and arch != here:
        print("SKIPPED: 32-bit Wine %s here; the %s build runs under Wine" % (
            "works" if here == "win32" else "cannot run", here))
    return bool(arch) and arch != here


def runner_options(description, *options):
    """The options every end-to-end runner takes (--keep, --arch, --exe, --tools), beside its own
    (argparse argument lists with keywords: (args, kwargs) pairs). Exits with 77 where the other
    build's Wine runs; otherwise fills in the build's defaults and prints which build runs."""
    ap = argparse.ArgumentParser(description=description)
    for args, kwargs in options:
        ap.add_argument(*args, **kwargs)
    ap.add_argument("--keep", action="store_true", help="keep the prefix for inspection")
    ap.add_argument("--arch", choices=WINE, help="the build given; skipped unless it runs here")
    ap.add_argument("--exe", help="default: build/<arch>/Uninstall.exe")
    ap.add_argument("--tools", help="default: build/<arch>/tools")
    o = ap.parse_args()
    if skip_unless_here(o.arch):
        sys.exit(77)
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    o.arch = o.arch or arch_here()
    o.exe = os.path.abspath(o.exe or os.path.join(repo, "build", o.arch, "Uninstall.exe"))
    o.tools = o.tools or os.path.join(repo, "build", o.arch, "tools")
    print("uninstaller: %s\nwine: %s (WINEARCH=%s)" % (o.exe, WINE[o.arch], o.arch), flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # the caller still cleans up
    return o


def read_records(path):
    if not os.path.exists(path):
        return None
    with open(path) as records:
        return [json.loads(line) for line in records]


def state(path):
    """A file's content hash and size, a link's target, a folder's mark, or None."""
    if os.path.islink(path) or os.path.isdir(path):
        return os.path.islink(path) and os.readlink(path), 0
    if not os.path.exists(path):
        return None
    with open(path, "rb") as data:
        content = data.read()
    return hashlib.sha256(content).hexdigest(), len(content)


def snapshot(top):
    """The state of every entry below top, by its path relative to top ("a\\b")."""
    return {os.path.relpath(os.path.join(base, n), top).replace(os.sep, "\\"): state(
        os.path.join(base, n)) for base, folders, files in os.walk(top) for n in folders + files}


class WineSession:
    """A throwaway prefix with no drive outside it, on its own X server."""

    def __init__(self, arch, display=None, keep=False):
        self.arch, self.keep, self.xvfb, self.keeper = arch, keep, None, None
        self.root = tempfile.mkdtemp(prefix="uninstall-wine-")
        self.prefix = os.path.join(self.root, "prefix")
        # C.UTF-8: host names reach Windows programs as on Windows, and the ANSI
        # code page is 1252.
        # Wine links the profile folders to the home folder itself where it has none of its own
        # (at boot, and again when a program asks the shell to create a missing one): a home of
        # its own, outside the prefix, leaves the user's home out of reach even then.
        home = os.path.join(self.root, "home")
        os.mkdir(home)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        self.env.setdefault("XAUTHORITY", os.path.expanduser("~/.Xauthority"))  # the user's display
        self.env.update(WINEPREFIX=self.prefix, WINEARCH=arch, WINEDEBUG="-all", HOME=home,
                        XDG_CONFIG_HOME=os.path.join(home, ".config"), LANG="C.UTF-8", LC_ALL="C.UTF-8",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        self.env.pop("ComSpec", None)
        self.env["DISPLAY"] = display or self.start_xvfb()

    def start_xvfb(self):
        # Wide enough for a message box showing a 299-character path without a space.
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "3200x1200x24", "-nolisten", "tcp"],
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

    def wine(self, *args, timeout=60, log=None, **env):
        """Runs a Wine program; its output goes to `log` (default wine.log): a pipe
        would wait for the services that Wine starts, which inherit it."""
        with open(log or os.path.join(self.root, "wine.log"), "a") as out:
            return subprocess.run([WINE[self.arch], *args], env=dict(self.env, **env),
                                  timeout=timeout, stdout=out, stderr=subprocess.STDOUT,
                                  cwd=os.path.join(self.prefix, "drive_c")
                                  if os.path.isdir(self.prefix) else self.root)

    def confine(self):
        """Cuts every way out of the prefix: drive letters and ports that lead outside it (Wine
        maps Z: to /, COM1 to /dev/ttyS0) and links in drive_c that do (the profile folders lead
        home). Returns the links of drive_c that it cut, by their host paths."""
        inside, cut = os.path.realpath(self.prefix) + os.sep, []
        devices = os.path.join(self.prefix, "dosdevices")
        for name in os.listdir(devices):
            path = os.path.join(devices, name)
            if not os.path.realpath(path).startswith(inside):
                os.unlink(path)
        if os.path.lexists(os.path.join(devices, "z:")):
            raise RuntimeError("drive Z: is still mapped")
        for base, folders, files in os.walk(os.path.join(self.prefix, "drive_c")):
            for name in folders + files:
                path = os.path.join(base, name)
                if os.path.islink(path) and not os.path.realpath(path).startswith(inside):
                    os.unlink(path)
                    os.mkdir(path)
                    cut.append(path)
        return cut

    def map_ports(self, folder):
        """Points COM1-9 and LPT1-9 at the files of those names in folder (on drive C:), where a
        program that takes a listed name such as "com1.txt" for the port is caught. Wine's
        mountmgr maps the host's ports again whenever the services start."""
        for port in PORTS:
            link = os.path.join(self.prefix, "dosdevices", port)
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(self.host(folder + "\\" + port), link)

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
            with open(target, "w", encoding="utf-8") as out:
                out.write(text)
        if mode is not None:
            os.chmod(target, mode)
        return target

    def keep_services(self):
        """Keeps Wine's services running until close() with a Wine process that lives as
        long: otherwise they stop with the last program and start again with the next,
        inheriting its environment (a relay log, say)."""
        self.keeper = subprocess.Popen(
            [WINE[self.arch], "C:\\tools\\Holder.exe", "C:\\tools\\Holder.exe"],
            env=self.env, cwd=self.host("C:\\"), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
        if not self.keeper.stdout.readline().startswith(b"held"):
            raise RuntimeError("the Wine process that keeps the services running did not start")

    def start(self, *args):
        """Starts a Wine program from C:\\ with its output on a pipe; call keep_services()
        first, or the pipe would wait for the services, which inherit it."""
        return subprocess.Popen([WINE[self.arch], *args], env=self.env, cwd=self.host("C:\\"),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)

    def start_racer(self, args, links=(), armed=False):
        """Starts C:\\tools\\Racer.exe (tools/racer.c) with `args` and waits for its "ready".
        links: (host link, target) pairs, made at once, or, when armed, once the racer says
        "armed", each taken away again when its race fails. Returns a function that waits for
        the racer to end and returns its races: "moved", "failed ERROR" or "missed"."""
        racer, said = self.start("C:\\tools\\Racer.exe", *args), []
        if not racer.stdout.readline().startswith(b"ready"):
            raise RuntimeError("Racer.exe did not start")
        for link, target in links * (not armed):
            os.symlink(target, link)

        def follow():
            for words in (line.split() for line in map(bytes.decode, racer.stdout)):
                said.append(words)
                for link, target in links * (armed and words[0] == "armed"):
                    os.symlink(target, link)
                if armed and words[0] == "failed":
                    os.unlink(links[int(words[1]) - 1][0])
        reader = threading.Thread(target=follow)
        reader.start()

        def races():
            try:
                racer.wait(15)
            except subprocess.TimeoutExpired:
                racer.kill()
            reader.join(5)
            return ["moved" if w[0] == "moved" else "missed" if w[2] == "0" else "failed " + w[2]
                    for w in said if w[0] in ("moved", "failed")]
        return races

    def lay_out(self, folder, entries):
        """Makes entries below folder: "a\\" a folder, "ro:a" a read-only file, "a=>b" a link
        to b (below folder, or C:\\...), "*.exe" a copy of the installed Uninstall.exe (of
        the stand-in for *Quillstead.exe); any other file holds a line naming it."""
        for entry in entries:
            mode = 0o444 if entry.startswith("ro:") else None
            entry, _, target = entry[3 if mode else 0:].partition("=>")
            path = self.host(folder + "\\" + entry)
            os.makedirs(path if entry.endswith("\\") else os.path.dirname(path), exist_ok=True)
            if target:
                os.symlink(self.host(target if ":" in target else folder + "\\" + target), path)
            elif not entry.endswith("\\"):
                tool = "Quillstead.exe" if entry.endswith("Quillstead.exe") else "Uninstall.exe"
                self.write(folder + "\\" + entry, "contents of %s\n" % entry, mode=mode,
                           source=self.host("C:\\tools\\" + tool) if entry.endswith(".exe") else None)

    def close(self):
        if self.keeper:
            self.keeper.stdin.close()
            self.keeper.wait(30)
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
        for name in TOOLS:
            self.write("C:\\tools\\" + name, source=os.path.join(tools, name))
        self.write("C:\\tools\\Uninstall.exe", source=exe)

    def run_cases(self, cases, timeout):
        """Runs the cases ([(name, [(key, value)])]) with the Launcher; returns its transcript."""
        lines = []
        for name, keys in cases:
            lines.append("[%s]" % name)
            lines += ["%s=%s" % item for item in keys if item[1] != ""]
        self.write("C:\\run\\cases.txt", "\n".join(lines) + "\n")
        run = self.wine("C:\\tools\\Launcher.exe", "C:\\run\\cases.txt",
                        "C:\\run\\transcript.jsonl", timeout=timeout)
        if run.returncode != 0:
            raise RuntimeError("Launcher failed with status %d" % run.returncode)
        with open(self.host("C:\\run\\transcript.jsonl")) as transcript:
            return [json.loads(line) for line in transcript]


if __name__ == "__main__":
    print(arch_here())
