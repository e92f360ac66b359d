#!/usr/bin/env python3
"""The whole road of an uninstall, under Wine, told as a transcript.

A sample product (folders, files, the stand-in Quillstead.exe and
Uninstall.exe) is laid out in a throwaway prefix. The uninstaller is started
from the product folder with no arguments; the question is answered Yes;
Quillstead.exe copies the uninstaller to %TEMP% and starts the copy with
"Uninstall" and the product folder; the copy removes the product, shows its
final message and deletes itself.

  road.py --arch win32|win64 --exe Uninstall.exe --tools DIR
          [--interactive] [--screenshots DIR] [--in-use]

--interactive: the dialogs show on $DISPLAY and you answer them.
--screenshots DIR: a PNG of each dialog (confirm.png, success.png, ...).
--in-use: a product file is kept open, so the road ends with a problem
message and the in-use message.
"""
import argparse
import os
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
from winesession import (OK, SUCCESS, WINE, YES, WineSession, confirm, in_use,  # noqa: E402
                         problem, read_records, snapshot)

FOLDER = "C:\\Program Files\\Brindlewake Quillstead"
FILES = ["Quillstead.exe", "Uninstall.exe", "Data\\settings.ini", "Data\\Maps\\north.map",
         "Data\\Maps\\south.map", "Help\\readme.txt", ".profile"]
HELD = "Data\\Maps\\north.map"
LABELS = {YES: "Yes", 7: "No", OK: "OK"}


def kind(dialog):
    text = dialog["text"]
    for name, start in (("confirm", "Are you sure"), ("problem", "Problem Occurred"),
                        ("success", "Uninstall successful"), ("in-use", "Some Files are in use"),
                        ("unable", "Unable to Uninstall")):
        if text.startswith(start):
            return name
    return "dialog"


def show(dialog, start, answer):
    icon = "no icon" if dialog["icon"] == "none" else dialog["icon"] + " icon"
    print("[%5.2f s] message box \"%s\" (%s)" % ((dialog["t_seen"] - start) / 1000,
                                                   dialog["caption"], icon))
    for line in dialog["text"].split("\n"):
        print("           | " + line)
    buttons = ", ".join(LABELS.get(b[0], b[1]) for b in dialog["buttons"])
    print("           buttons: %s; answer: %s" % (buttons, answer))
    if "png" in dialog:
        print("           screenshot: %s" % dialog["png"])


def save_shots(session, dialogs, directory):
    os.makedirs(directory, exist_ok=True)
    taken = set()
    for dialog in dialogs:
        name = kind(dialog)
        count = sum(1 for t in taken if t == name or t.startswith(name + "-"))
        target = os.path.join(directory, name + ("-%d" % (count + 1) if count else "") + ".png")
        taken.add(os.path.basename(target)[:-4])
        subprocess.run(["convert", session.host(dialog["shot"]), target], check=True, timeout=60)
        dialog["png"] = target


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=WINE, required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--interactive", action="store_true")
    parser.add_argument("--screenshots")
    parser.add_argument("--in-use", action="store_true")
    options = parser.parse_args()
    if options.interactive and not os.environ.get("DISPLAY"):
        parser.error("--interactive needs a display (DISPLAY is not set)")
    manual = "manual," if options.interactive else ""
    print("uninstaller: %s\nwine: %s (WINEARCH=%s)" % (os.path.abspath(options.exe),
                                                      WINE[options.arch], options.arch))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    session = WineSession(options.arch, os.environ["DISPLAY"] if options.interactive else None)
    holder = None
    try:
        session.boot(managed_windows=options.interactive)
        session.install_tools(options.exe, options.tools)
        session.keep_services()  # services that start again map the host's ports again
        session.lay_out(FOLDER, FILES)  # the two programs are the real ones
        session.confine()
        product = session.host(FOLDER)
        before = sorted(snapshot(product))
        print("\nSample product in %s:" % FOLDER)
        for entry in before:
            print("    " + entry)
        if options.in_use:
            holder = subprocess.Popen([WINE[options.arch], "C:\\tools\\Holder.exe",
                                       FOLDER + "\\" + HELD], env=session.env,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, cwd=session.root)
            held = holder.stdout.readline().decode().strip()
            if held != "held":
                raise RuntimeError("could not hold %s: %s" % (HELD, held))
            print("(%s is kept open by another program)" % HELD)
        common = [("env", "QUILLSTEAD_RECORD=C:\\road\\record.jsonl"),
                  ("shots", "C:\\road" if options.screenshots else ""),
                  ("timeout", "600000" if options.interactive else "30000")]
        os.makedirs(session.host("C:\\road"), exist_ok=True)
        print("\nThe road:")
        limit = 700 if options.interactive else 60
        first = session.run_cases([("confirm", [
            ("dir", FOLDER), ("cmd", '"%s\\Uninstall.exe"' % FOLDER),
            ("answers", manual + str(YES))] + common)], timeout=limit)
        record = session.host("C:\\road\\record.jsonl")
        deadline = time.monotonic() + 10  # Quillstead.exe writes its record as it ends
        while not read_records(record) and time.monotonic() < deadline:
            time.sleep(0.1)
        records = read_records(record) or []
        handed_off = [r for r in records if r["copy"]]
        # The copy in %TEMP% shows the rest: the robot watches for its dialogs.
        second = session.run_cases([("removal", [
            ("answers", manual + ",".join([str(OK)] * (2 if options.in_use else 1)))] + common)],
            timeout=limit) if handed_off else []
        copy_deleted = False
        if handed_off:
            copy, deadline = session.host(handed_off[0]["copy"]), time.monotonic() + 15
            while os.path.exists(copy) and time.monotonic() < deadline:
                time.sleep(0.1)
            copy_deleted = not os.path.exists(copy)
        after = set(snapshot(product))
        dialogs = [e for e in first + second if e["event"] == "dialog"]
        if options.screenshots:
            save_shots(session, dialogs, options.screenshots)
    finally:
        if holder:
            holder.stdin.close()
            holder.wait(timeout=30)
        session.close()

    events = first + second
    start = events[0]["t"]
    launch, exit_ = first[0], [e for e in first if e["event"] == "exit"]
    print("[%5.2f s] started %s in %s" % (0, '"%s\\Uninstall.exe"' % FOLDER, FOLDER))
    for event in events:
        if event["event"] == "dialog":
            answer = LABELS.get(event["answer"], event["answer"])
            if options.interactive:
                answer = ("Yes" if handed_off else "No") if kind(event) == "confirm" else "OK"
                answer += " (yours)"
            show(event, start, answer)
        elif event["event"] == "exit" and event["case"] == "confirm":
            print("[%5.2f s] the uninstaller ended with exit status %d" % (
                (event["t"] - start) / 1000, event["status"]))
            for record in records:
                print("[%5.2f s] Quillstead.exe started: %s (in %s)" % (
                    (record["t"] - start) / 1000, record["cmdline"], record["cwd"]))
                if record["copy"]:
                    print("           copied the uninstaller to %s and started: %s" % (
                        record["copy"], record["handoff"]))
    gone = [e for e in before if e not in after]
    print("\nRemoved (%d): %s" % (len(gone), ", ".join(gone) or "nothing"))
    print("Still there (%d): %s" % (len(after), ", ".join(sorted(after)) or "nothing"))
    if os.path.isdir(product):
        print("The product folder is still there.")
    if handed_off:
        print("Self-deletion of %s: %s" % (handed_off[0]["copy"], "done" if copy_deleted
                                           else "NOT done"))

    got = [(d["caption"], d["text"]) for d in dialogs]
    if not handed_off:
        want = [confirm(7)[:2]]
        stopped = options.interactive and before == sorted(after)  # the robot says Yes
        outcome = "stopped at the question: nothing removed" if stopped else ""
    elif options.in_use:
        want = [confirm(YES)[:2], problem(FOLDER + "\\" + HELD)[:2], in_use(FOLDER)[:2]]
        stays = {HELD, "Data\\Maps", "Data"}
        outcome = ("confirmed, handed off, removed all but the file in use, said so, and the "
                   "uninstaller deleted itself") if after == stays and copy_deleted else ""
    else:
        want = [confirm(YES)[:2], SUCCESS[:2]]
        outcome = ("confirmed, handed off, removed the product, said goodbye, and the "
                   "uninstaller deleted itself") if not after and not os.path.isdir(
                       product) and copy_deleted else ""
    if got != want:
        outcome = ""
        print("Expected dialogs: %s" % want)
    if not exit_ or exit_[0]["status"] != 1 or launch["event"] != "launch":
        outcome = ""
    print("\nVERDICT: %s" % ("PASS - " + outcome if outcome else "FAIL - the road did not end "
                             "as it should (see above)"))
    return 0 if outcome else 1


if __name__ == "__main__":
    sys.exit(main())
