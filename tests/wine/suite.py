# What the Wine runners share: a booted prefix with the tools, and the verdicts.
import contextlib
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "tools"))
from winesession import WineSession  # noqa: E402

STARTED = time.monotonic()


@contextlib.contextmanager
def session(o, *tools):  # the uninstaller and tools installed, services kept running; confined at the end
    s = WineSession(o.arch, keep=o.keep)
    try:
        s.boot()
        s.install_tools(o.exe, o.tools)
        for tool in tools:  # beside the Launcher's own
            s.write("C:\\tools\\" + tool, source=os.path.join(o.tools, tool))
        s.keep_services()
        yield s
        s.confine()
    finally:
        s.close()


def inside(path, folder):
    return path == folder or path.startswith(folder + "\\")


def verdict(label, summary, faults):  # prints a row's result and each fault; True if it failed
    print("%s %s: %s" % ("FAIL" if faults else "PASS", label, summary), flush=True)
    for fault in faults:
        print("    " + fault)
    return bool(faults)


def finish(failed, total):
    print("time: %.1f s\n%d passed, %d failed %s" % (time.monotonic() - STARTED, total - len(failed), len(failed),
                                                     failed))
    return 1 if failed else 0
