#!/usr/bin/env python3
"""The fixed cost of a removal, timed inside the process: builds of Uninstall.exe take turns on
empty folders in one prefix, and a timestamped relay log of two calls alone (the return of the
500 ms Sleep, the call of MessageBoxA for the final message) brackets what each run does before
its final message. Process start and the dialog's discovery are left out, which a busy machine
makes noisy. Relaying two functions costs nothing measurable elsewhere.

  fixed_cost.py --arch win64 --tools DIR [--runs N] NAME=EXE...
"""
import argparse
import os
import re
import statistics
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import BENCH, EXE, wait_self_deleted  # noqa: E402
from winesession import WineSession, arch_here  # noqa: E402

RELAY = ('REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n'
         '"RelayInclude"="Sleep;MessageBoxA"\n"RelayFromInclude"="uninstall.exe"\n')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--runs", type=int, default=12)
    parser.add_argument("builds", nargs="+", help="NAME=EXE, each timed in every round")
    options = parser.parse_args()
    if options.arch != arch_here():
        sys.exit("the %s build cannot run here: use the %s one" % (options.arch, arch_here()))
    builds = dict(b.split("=", 1) for b in options.builds)
    names, times = list(builds), {name: [] for name in builds}
    print("load average: %.2f %.2f %.2f" % os.getloadavg(), flush=True)
    session = WineSession(options.arch)
    try:
        session.boot()
        session.install_tools(next(iter(builds.values())), options.tools)
        os.makedirs(session.host(BENCH), exist_ok=True)
        session.write("C:\\relay.reg", RELAY)
        session.wine("regedit", "/S", "C:\\relay.reg")
        session.keep_services()
        session.confine()
        log = os.path.join(session.root, "wine.log")
        for run in range(options.runs + 1):  # the first round warms up
            for name in names[run % len(names):] + names[:run % len(names)]:  # each goes first in turn
                root = "%s\\%s-%d" % (BENCH, name, run)
                os.makedirs(session.host(root))
                session.write(EXE, source=builds[name])
                start = os.path.getsize(log)
                session.env["WINEDEBUG"] = "+timestamp,+relay"
                try:
                    session.run_cases([(name, [("cmd", '"%s" Uninstall %s' % (EXE, root)),
                                               ("answers", "1")])], timeout=120)
                finally:
                    session.env["WINEDEBUG"] = "-all"
                wait_self_deleted(session)
                with open(log, errors="replace") as text:
                    text.seek(start)
                    text = text.read()
                slept = re.search(r"^(\d+\.\d+):\S+:Ret\s+\S+\.Sleep\(", text, re.M)
                shown = re.search(r"^(\d+\.\d+):\S+:Call\s+\S+\.MessageBoxA\(", text, re.M)
                if not slept or not shown:
                    raise RuntimeError("%s: no Sleep or MessageBoxA in the relay log" % name)
                if run:
                    times[name].append((float(shown.group(1)) - float(slept.group(1))) * 1000)
    finally:
        session.close()
    print("| build | ms, median (min–max) of %d runs |\n|---|---:|" % options.runs)
    for name in names:
        print("| %s | %.1f (%.1f–%.1f) |" % (name, statistics.median(times[name]), min(times[name]),
                                          max(times[name])))
    for a, b in zip(names, names[1:]):
        paired = [x - y for x, y in zip(times[a], times[b])]
        print("%s − %s, paired rounds: median %.1f ms (min %.1f, max %.1f)" % (
            a, b, statistics.median(paired), min(paired), max(paired)))
    print("load average: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
