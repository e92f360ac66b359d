#!/usr/bin/env python3
"""Removal speed and scale of Uninstall.exe, against `cmd /c rmdir /s /q` under
the same Wine and the host's `rm -rf`, on identical generated trees.

  bench.py --arch win32|win64 --exe Uninstall.exe --tools DIR --out DIR
           [--sizes N...] [--runs N]

Every round makes three copies of the tree of a size in a throwaway prefix
(no drive outside it) and removes one with each remover, in turn. The
uninstaller's removal time runs from the end of its 500 ms wait (the
Launcher's start time + 500 ms) to the moment the robot sees the final
message; its whole run from start to exit is reported too. Its peak memory is
the last VmHWM of its Linux process. A relay log on small trees counts the
calls it makes. Results go to OUT/results.json, OUT/table.md and OUT/plot.dat.
"""
import argparse
import json
import os
import random
import re
import signal
import statistics
import subprocess
import sys
import threading
import time
from collections import Counter

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from winesession import WINE, WineSession, arch_here  # noqa: E402

BENCH = "C:\\bench"
EXE = BENCH + "\\Uninstall.exe"
REMOVERS = ("uninstaller", "rmdir", "rm")
EXTENSIONS = (".dll", ".exe", ".txt", ".dat", ".png", ".xml", "")
DEVICES = {"con", "prn", "aux", "nul"} | {"%s%d" % (p, n) for p in ("com", "lpt") for n in range(10)}
TREE_CALLS = ("NtQueryDirectoryFile", "NtOpenFile", "NtSetInformationFile", "NtQueryInformationFile",
              "CloseHandle")
# The relay log shows only the calls made from Uninstall.exe and cmd.exe themselves.
RELAY_SETTINGS = ('REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n'
                  '"RelayFromExclude"=-\n"RelayFromInclude"="uninstall.exe;cmd.exe"\n')


def tree(size, seed=4):
    """The entries of a tree of `size` entries, folders ending in "/": a tenth of them
    folders nested up to 3 deep, the rest files spread over all folders, names of 3 to 40
    characters with or without an extension. The same size always gives the same tree."""
    rng = random.Random("%d:%d" % (seed, size))

    def name(taken, extension):
        while True:
            length = rng.choice((3, 5, 6, 8, 8, 10, 12, 16, 24, 40))
            text = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789_-") for _ in
                           range(length)) + (rng.choice(EXTENSIONS) if extension else "")
            # Names differing in case only would clash; device names cannot be deleted.
            if text.lower() not in taken and text.split(".")[0].lower() not in DEVICES:
                taken.add(text.lower())
                return text

    folders = [("", set())]
    open_folders = [("", 0, folders[0][1])]  # those that may hold a deeper folder
    entries = []
    for _ in range(size // 10):
        parent, depth, taken = rng.choice(open_folders)
        path = parent + name(taken, False) + "/"
        folders.append((path, set()))
        if depth + 1 < 3:
            open_folders.append((path, depth + 1, folders[-1][1]))
        entries.append(path)
    for _ in range(size - size // 10):
        parent, taken = rng.choice(folders)
        entries.append(parent + name(taken, True))
    return entries



def make_tree(root, entries):
    os.mkdir(root)
    for entry in entries:
        path = os.path.join(root, entry)
        if entry.endswith("/"):
            os.mkdir(path)
        else:
            with open(path, "w") as out:
                out.write(entry)  # a few bytes, like a small installed file


class PeakMemory(threading.Thread):
    """Polls the VmHWM of the Linux process that runs the uninstaller in this prefix;
    VmHWM only grows, so the last reading is the peak (kB)."""

    def __init__(self, prefix):
        super().__init__(daemon=True)
        self.marker = ("WINEPREFIX=%s\0" % prefix).encode()
        self.peak, self.stopped, self.pid = 0, threading.Event(), None
        self.older = set(os.listdir("/proc"))  # processes that cannot be it

    def run(self):
        while not self.stopped.wait(0.005):
            if self.pid is None:
                self.pid = self.find()
            try:
                with open("/proc/%s/status" % self.pid) as status:
                    self.peak = int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))
            except (OSError, TypeError, AttributeError):
                pass

    def find(self):
        for pid in set(os.listdir("/proc")) - self.older:
            try:  # a new Wine process shows its Windows command line only after a while
                with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
                    if not cmdline.read().lower().startswith(EXE.lower().encode()):
                        continue
                with open("/proc/%s/environ" % pid, "rb") as environ:
                    if self.marker in environ.read():
                        return pid
            except OSError:
                pass
        return None


def wait_self_deleted(session):
    """Waits for the uninstaller's self-deletion to finish, so it neither overlaps the next
    removal nor deletes the next copy."""
    deadline = time.monotonic() + 20
    while os.path.exists(session.host(EXE)) and time.monotonic() < deadline:
        time.sleep(0.05)
    # The interpreter may still be ending: a copy written and started at once can then fail to
    # start (error 1359, seen once in 40 rounds).
    time.sleep(0.5)


def removal_round(session, size, entries, exe, baseline=None, baseline_first=False):
    """Removes three copies of the tree, one with each remover (four with a baseline build of
    the uninstaller, run just before or after it, in turns); returns their times (s), the
    uninstaller's whole run (s) and its peak memory (kB)."""
    builds = [("uninstaller", exe)] + ([("baseline", baseline)] if baseline else [])
    if baseline_first:
        builds.reverse()
    roots = {r: "%s\\%s-%d" % (BENCH, r, size) for r in REMOVERS + tuple(b for b, _ in builds)}
    for root in roots.values():
        make_tree(session.host(root), entries)
    # Every removal starts with nothing left to write back: os.sync() before each.
    # One Launcher run per case: a robot that outlives its case cannot touch the next.
    os.sync()
    events = session.run_cases([("rmdir", [
        ("cmd", "C:\\windows\\system32\\cmd.exe /c rmdir /s /q " + roots["rmdir"]),
        ("timeout", "1800000")])], timeout=3600)
    memory = PeakMemory(session.prefix)
    for name, build in builds:
        session.write(EXE, source=build)  # it deletes itself every time
        os.sync()
        if name == "uninstaller":
            memory.start()
        events += session.run_cases([(name, [
            ("cmd", '"%s" Uninstall %s' % (EXE, roots[name])), ("answers", "1"),
            ("timeout", "1800000")])], timeout=3600)
        if name == "uninstaller":
            memory.stopped.set()
        wait_self_deleted(session)
    memory.join()
    times = {e["case"] + "-" + e["event"]: e.get("t", e.get("t_seen")) for e in events}
    dialogs = [e["text"] for e in events if e["event"] == "dialog"]
    os.sync()
    started = time.perf_counter()
    subprocess.run(["rm", "-rf", session.host(roots["rm"])], check=True)
    rm = time.perf_counter() - started
    left = [r for r in roots.values() if os.path.exists(session.host(r))]
    if left or dialogs != ["Uninstall successful. BYE BYE !"] * len(builds) or (
            "uninstaller-exit" not in times):
        raise RuntimeError("round failed: left %s, dialogs %s, events %s" % (left, dialogs, events))
    removal = {name: (times[name + "-dialog"] - times[name + "-launch"] - 500) / 1000
               for name, _ in builds}
    launched = times["uninstaller-launch"]
    return dict(removal, rmdir=(times["rmdir-exit"] - times["rmdir-launch"]) / 1000, rm=rm,
                whole=(times["uninstaller-exit"] - launched) / 1000, peak_kb=memory.peak)


def count_calls(session, size, exe):
    """Removes a tree of `size` with each Wine remover under the relay log of the calls
    made from Uninstall.exe and cmd.exe and the trace of Wine server requests. Returns, for
    each, the calls its thread made and the server requests made inside each call."""
    entries = tree(size)
    roots = {r: "%s\\relay-%s-%d" % (BENCH, r, size) for r in REMOVERS[:2]}
    for root in roots.values():
        make_tree(session.host(root), entries)
    session.write(EXE, source=exe)
    log = os.path.join(session.root, "wine.log")
    start = os.path.getsize(log)
    session.env["WINEDEBUG"] = "+relay,+server"
    try:
        events = session.run_cases([
            ("rmdir", [("cmd", "C:\\windows\\system32\\cmd.exe /c rmdir /s /q " + roots["rmdir"]),
                       ("timeout", "600000")]),
            ("uninstaller", [("cmd", '"%s" Uninstall %s' % (EXE, roots["uninstaller"])),
                             ("answers", "1"), ("timeout", "600000")])], timeout=1200)
    finally:
        session.env["WINEDEBUG"] = "-all"
    wait_self_deleted(session)
    threads = {}  # thread: [calls, server requests inside each call, call in progress]
    with open(log, errors="replace") as text:
        text.seek(start)
        for line in text:
            call = re.match(r"(\w+):(Call|Ret ) (?i:kernel32|user32|shell32|msvcrt|ntdll)\.(\w+)\(", line)
            request = re.match(r"(\w+): (\w+)\( ", line)
            if call:
                thread = threads.setdefault(call.group(1), [Counter(), Counter(), None])
                if call.group(3) == "BaseThreadInitThunk":  # Wine starting the thread
                    continue
                thread[0][call.group(3)] += call.group(2) == "Call"
                thread[2] = call.group(3) if call.group(2) == "Call" else None
            elif request and threads.get(request.group(1), [0, 0, None])[2]:
                thread = threads[request.group(1)]
                thread[1][thread[2]] += 1
    folders = sum(1 for e in entries if e.endswith("/"))
    found = {}
    for calls, requests, _ in threads.values():
        for remover, mark in (("uninstaller", "MessageBoxA"), ("rmdir", "SHFileOperationW")):
            if calls[mark]:
                found[remover] = dict(calls=calls, requests=requests)
    if len(found) != 2 or any(os.path.exists(session.host(r)) for r in roots.values()):
        raise RuntimeError("relay run failed: found %s, events %s" % (list(found), events))
    return dict(found, files=size - folders, folders=folders)


def summary(results, sizes):
    """The tables (markdown) and the plot data (size, median µs per entry of each remover).
    The fixed cost of a remover is its median time on an empty folder (size 0)."""
    median = {size: {r: statistics.median(run[r] for run in results[str(size)])
                     for r in REMOVERS + ("whole", "peak_kb")} for size in [0] + sizes}
    rows = ["| entries | uninstaller µs/entry (min–max) | `rmdir /s /q` µs/entry (min–max) "
            "| `rm -rf` µs/entry (min–max) | uninstaller / rmdir | uninstaller / rm -rf "
            "| uninstaller whole run, s | its peak memory, MB |",
            "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    net = ["| entries | " + " | ".join("%s µs/entry" % r for r in REMOVERS) + " |",
           "|---:|---:|---:|---:|",
           "| fixed cost (empty folder), ms | " + " | ".join(
               "%.1f" % (median[0][r] * 1e3) for r in REMOVERS) + " |"]
    plot = []
    for size in sizes:
        runs, m = results[str(size)], median[size]
        cells = ["%.1f (%.1f–%.1f)" % (m[r] * 1e6 / size, min(x[r] for x in runs) * 1e6 / size,
                                       max(x[r] for x in runs) * 1e6 / size) for r in REMOVERS]
        rows.append("| %d | %s | %.2f | %.1f | %.1f | %.1f |" % (
            size, " | ".join(cells), m["uninstaller"] / m["rmdir"], m["uninstaller"] / m["rm"],
            m["whole"], m["peak_kb"] / 1024))
        net.append("| %d | %s |" % (size, " | ".join(
            "%.1f" % ((m[r] - median[0][r]) * 1e6 / size) for r in REMOVERS)))
        plot.append("%d %s" % (size, " ".join("%.3f" % (m[r] * 1e6 / size) for r in REMOVERS)))
    return ("\n".join(rows) + "\n\nNet of each remover's fixed cost:\n\n" + "\n".join(net) +
            "\n\nUninstaller peak memory on an empty folder: %.1f MB\n" % (
                median[0]["peak_kb"] / 1024), "\n".join(plot) + "\n")


def before_after(results, sizes):
    """The baseline build against this one, timed in the same rounds: median µs per entry, and
    the mean of the rounds' ratios; the empty folder gives each build's fixed cost (ms), and
    the last column compares what is left per entry without it. Whichever build runs first in
    a round, straight after rmdir, tends to be slower; the builds take turns, so the mean
    ratio cancels that."""
    rows = ["", "Against the baseline build, in the same rounds, taking turns to go first (µs per "
            "entry, median and min–max):", "", "| entries | baseline | this build | "
            "this / baseline, medians | this / baseline, mean of the rounds | "
            "this / baseline, net of each one's fixed cost |", "|---:|---:|---:|---:|---:|---:|"]
    fixed = {key: statistics.median(run[key] for run in results["0"])
             for key in ("baseline", "uninstaller")}
    for size in [0] + sizes:
        runs, scale = results[str(size)], 1e6 / size if size else 1e3
        cell = lambda key: [run[key] * scale for run in runs]  # noqa: E731
        before, after = cell("baseline"), cell("uninstaller")
        net = "%.2f" % ((statistics.median(after) / scale - fixed["uninstaller"]) / (
            statistics.median(before) / scale - fixed["baseline"])) if size else "–"
        rows.append("| %s | %.1f (%.1f–%.1f) | %.1f (%.1f–%.1f) | %.2f | %.2f | %s |" % (
            size or "empty folder (fixed cost), ms", statistics.median(before), min(before),
            max(before), statistics.median(after), min(after), max(after),
            statistics.median(after) / statistics.median(before),
            statistics.mean(a / b for a, b in zip(after, before)), net))
    return "\n".join(rows) + "\n"


def cost_model(counts):
    """Tables of the uninstaller's calls and of the Wine server requests made inside them."""
    heads = " | ".join("%d entries (F=%d, D=%d)" % (c["files"] + c["folders"], c["files"],
                                                    c["folders"]) for c in counts)
    rows = ["| call made by Uninstall.exe | %s | expected, F files and D folders below the root |"
            % heads, "|---|" + "---:|" * len(counts) + "---|"]
    listed = ("F + D + 2(D + 1)", lambda f, d: f + d + 2 * (d + 1))  # "." and ".." too
    # What grows with the tree; the rest of a count (start-up, kept folders, self-deletion)
    # must be the same at every size. Each entry is opened, deleted and closed by handle;
    # each folder (and the root) is listed by its handle and its attributes read from it.
    # Once the system refuses POSIX deletes (Wine), files are opened to go on close and only
    # folders are given a disposition.
    expected = dict(NtOpenFile=("F + D", lambda f, d: f + d),
                    NtSetInformationFile=("D + 1", lambda f, d: d + 1),
                    CloseHandle=("F + D + 1", lambda f, d: f + d + 1),
                    NtQueryInformationFile=("D + 2", lambda f, d: d + 2),
                    WideCharToMultiByte=listed, malloc=("D + 1", lambda f, d: d + 1),
                    free=("D + 1", lambda f, d: d + 1),
                    # one call that fills the buffer, one that finds no more
                    NtQueryDirectoryFile=("2(D + 1) while each folder fits one buffer",
                                          lambda f, d: 2 * (d + 1)))
    calls = [c["uninstaller"]["calls"] for c in counts]
    for call in list(TREE_CALLS) + sorted(set().union(*calls) - set(TREE_CALLS)):
        got = [c[call] for c in calls]
        formula, grows = expected.get(call, ("", lambda f, d: 0))
        fixed = got[0] - grows(counts[0]["files"], counts[0]["folders"])
        ok = fixed >= 0 and all(g == grows(c["files"], c["folders"]) + fixed
                                for g, c in zip(got, counts))
        if fixed or not formula:
            formula += (", + %d " % fixed if formula else "") + "the same at every size"
        rows.append("| %s | %s | %s |" % (call, " | ".join(map(str, got)),
                                          formula + ("" if ok else " **differs**")))
    rows += ["", "| Wine server requests | %s |" % heads, "|---|" + "---:|" * len(counts)]

    def requests(remover, inside, per):
        return " | ".join("%.2f" % (sum(c[remover]["requests"][i] for i in inside) / per(c))
                          for c in counts)

    for call in TREE_CALLS:
        rows.append("| per %s | %s |" % (call, requests(
            "uninstaller", [call], lambda c: c["uninstaller"]["calls"][call])))
    entries = lambda c: c["files"] + c["folders"]  # noqa: E731
    rows.append("| per entry, uninstaller (all the calls above) | %s |" % requests(
        "uninstaller", TREE_CALLS, entries))
    rows.append("| per entry, `rmdir /s /q` (inside SHFileOperationW) | %s |" % requests(
        "rmdir", ["SHFileOperationW"], entries))
    return "\n".join(rows) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=WINE, required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 100000])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--baseline", help="another build of Uninstall.exe, timed in the same "
                        "rounds right after this one, for a before/after table")
    options = parser.parse_args()
    if options.arch != arch_here():
        sys.exit("the %s build cannot be benchmarked here: use the %s one" % (
            options.arch, arch_here()))
    os.makedirs(options.out, exist_ok=True)
    version = subprocess.run([WINE[options.arch], "--version"], capture_output=True, text=True)
    results = {"wine": "%s, %s build" % (version.stdout.split()[0], options.arch),
               "load_before": os.getloadavg()}
    timing = {}
    print("uninstaller: %s\nwine: %s (%s, WINEARCH=%s)\nload average: %.2f %.2f %.2f" % (
        os.path.abspath(options.exe), results["wine"], WINE[options.arch], options.arch,
        *results["load_before"]))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # still clean up
    session = WineSession(options.arch)
    try:
        session.boot()
        if os.path.lexists(os.path.join(session.prefix, "dosdevices", "z:")):
            raise RuntimeError("drive Z: is still mapped")
        session.install_tools(options.exe, options.tools)
        os.makedirs(session.host(BENCH), exist_ok=True)
        session.keep_services()  # else they would start again, beside the removal, every run
        session.confine()  # services that start again map the host's ports again
        removal_round(session, 0, [], options.exe)  # warm-up: the first run starts slower
        for size in [0] + options.sizes:  # an empty folder gives the fixed costs
            entries, started, results[str(size)] = tree(size), time.monotonic(), []
            for run in range(options.runs):
                results[str(size)].append(removal_round(session, size, entries, options.exe,
                                                        options.baseline, run % 2 == 1))
                print("%6d entries, run %d: %s" % (size, run + 1, ", ".join(
                    "%s %.3f s" % item for item in results[str(size)][-1].items()
                    if item[0] in REMOVERS + ("baseline",))), flush=True)
            timing[str(size)] = time.monotonic() - started
        session.write("C:\\relay.reg", RELAY_SETTINGS)
        session.wine("regedit", "/S", "C:\\relay.reg")
        counts = [count_calls(session, size, options.exe) for size in (100, 200)]
    finally:
        session.close()
    table, plot = summary(results, options.sizes)
    if options.baseline:
        table += before_after(results, options.sizes)
    model = cost_model(counts)
    results.update(rounds_s=timing, calls=counts, load_after=os.getloadavg())
    with open(os.path.join(options.out, "results.json"), "w") as out:
        json.dump(results, out, indent=1)
    with open(os.path.join(options.out, "table.md"), "w") as out:
        out.write(table + "\n" + model)
    with open(os.path.join(options.out, "plot.dat"), "w") as out:
        out.write("# entries " + " ".join(REMOVERS) + " (median µs per entry)\n" + plot)
    print("\n" + table + "\n" + model)
    print("time per size (all rounds, trees included): %s; load average now %.2f %.2f %.2f" % (
        ", ".join("%s: %.0f s" % item for item in timing.items()), *results["load_after"]))


if __name__ == "__main__":
    main()
