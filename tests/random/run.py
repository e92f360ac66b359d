#!/usr/bin/env python3
"""Randomized trees for Uninstall.exe under Wine: nothing outside the tree is lost.

Per seed: a random tree (depth up to 8; odd names; entry paths of 258-261
characters; read-only, held-open and too-long files; links to canaries) beside
and below canaries, removed by the real exe through a random absolute, rooted,
relative or trailing-backslash root; then one property, against a model of the
removal rules: canaries byte-identical; exactly the undeletable entries and
their ancestors left; one problem message per listed file left, no other; the
final message; the exe deleted or kept as the self-deletion rules say.

  run.py [--seeds N] [--first S | --seed S] [--batch B] [--arch A --exe E --tools D]

A failing seed prints itself: rerun it alone with --seed S. Exit 77: skipped.
"""
import argparse, collections, hashlib, os, random, shutil, string, sys, time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from e2e import WINE, SUCCESS, WineSession, can_run_32bit, in_use, problem  # noqa: E402

MAX = 259  # longest pattern or entry path the program uses
CHARS = string.ascii_letters + string.digits + " &%^()!'-_#$@+,;=[]{}`"
ODD = [".profile", "...", "..x", " lead", "a&b", "%OS%", "x^y", "(1)", "hey!", "it's", "x.", "y "]
DEVICES = {"con", "prn", "aux", "nul", "conin$", "conout$"} | {
    p + str(i) for p in ("com", "lpt") for i in range(10)}
EXES = ["Uninstall.exe", "Un install.exe", "a&b.exe", "x^y (1).exe", "100%.exe"]


def shown(dialog):  # caption, text as the program cuts it for display, buttons
    return dialog[0], dialog[1][:299], tuple(sorted(dialog[3]))


def new_name(rng, siblings, is_dir, bad=0.0, length=0):
    """A name Wine holds as Windows would: no \\ / : * ? " < > | ~ (Wine shows such host
    names mangled), no device name, no two alike once the system drops trailing dots and
    spaces from a path, as Wine and Windows do. So a name ending so cannot be deleted: only
    files get one (rate `bad`); a folder so named could not even be listed."""
    while True:
        if length:
            n = "".join(rng.choice(CHARS) for _ in range(length - 1)) + rng.choice(string.ascii_letters)
        elif rng.random() < 0.25:
            n = rng.choice(ODD)
        else:
            n = "." * (rng.random() < 0.2) + "".join(rng.choice(CHARS) for _ in range(rng.randint(1, 12)))
            n += rng.choice(". ") if rng.random() < bad else ""
        key = n.rstrip(". ").lower()  # the name the system resolves it to
        if (n not in (".", "..") and key not in siblings and key.split(".")[0].rstrip() not in DEVICES
                and not (n[-1] in ". " and (is_dir or not bad))):
            siblings.add(key)
            return n


def grow(rng, depth, bad):
    """A random folder: a dict of name -> sub-dict or kind ("f" plain, "ro", "flink", "dlink")."""
    node, taken = {}, set()
    for _ in range(rng.randint(0, 3)):
        kind = rng.choice(["ro", "ro", "flink", "dlink"]) if rng.random() < bad else "f"
        node[new_name(rng, taken, kind == "dlink", bad)] = kind
    for _ in range(rng.choice([0, 1, 1, 2]) if depth else 0):
        node[new_name(rng, taken, True)] = grow(rng, depth - 1, bad)
    node[""] = taken  # kept while generating, then dropped
    return node


def plan(seed):
    rng = random.Random(seed)
    base, bad = "C:\\r\\s%d" % seed, rng.choice([0, 0.1, 0.25])  # a third of the seeds: all deletable
    long_root = bad and rng.random() < 0.1  # its pattern (root + "\\*") just fits, or not
    name = new_name(rng, {"o", "x"}, True, 0, long_root and rng.choice([256, 257, 258]) - len(base) - 1)
    form = rng.randrange(6)
    arg, cwd = [(base + "\\" + name, base), (base + "\\" + name + "\\", base), (name, base),
                (".\\" + name + "\\", base), ("..\\" + name, base + "\\O"),
                (base[2:] + "\\" + name, base)][form]
    tree = grow(rng, rng.randint(1, 8), bad)
    dirs, files = [], []

    def index(node, path, rel):
        dirs.append((node, path, rel))
        for n, c in node.items():
            if isinstance(c, dict) and n:
                index(c, path + "\\" + n, rel + (n,))
            elif c == "f" and n[-1] not in ". ":
                files.append((node, n, base + "\\" + name + "\\" + "\\".join(rel + (n,))))
    index(tree, arg, ())
    for node, path, rel in rng.sample(dirs, min(4, len(dirs))):  # paths of 258 to 261 characters
        size = rng.choice([258, 259, 260, 261][:4 if bad else 2]) - len(path) - 1
        if 1 <= size <= 255:
            kind = rng.choice(["f", {}, "ro", {"f": "f"}][:4 if bad else 2])
            node[new_name(rng, node[""], isinstance(kind, dict), 0, size)] = kind
    held = [f for f in files if len(f[2]) <= MAX]
    held = rng.choice(held) if held and bad and rng.random() < 0.7 else None
    if held:
        held[0][held[1]] = "held"
    for node, _, _ in dirs:
        del node[""]
    inside = bad and rng.random() < 0.3 and not long_root and "%" not in name and "uninstall.exe" not in (
        n.rstrip(". ").lower() for n in tree)
    if inside:
        tree["Uninstall.exe"] = "exe"
    exe = base + ("\\%s\\Uninstall.exe" % name if inside else "\\x\\" + rng.choice(EXES))
    quoted = " " in arg or rng.random() < 0.5  # a backslash before the closing quote is doubled
    comspec = rng.random() < 0.85
    return dict(seed=seed, base=base, name=name, arg=arg, cwd=cwd, tree=tree, exe=exe, inside=inside,
                held=held and held[2], comspec=comspec, deleted=comspec and "%" not in exe,
                cmd='"%s" Uninstall %s' % (exe, '"%s"' % (arg + "\\" * arg.endswith("\\")) if quoted else arg))


def model(p):
    """What must remain in the tree (relative paths), the problem messages and the final one."""
    left, messages = set(), []

    def keep(node, rel):
        left.add(rel)
        for n, c in node.items() if isinstance(node, dict) else ():
            keep(c, rel + (n,))

    def emptied(node, path, rel):
        if len(path) + 2 > MAX:  # the pattern does not fit: not listed
            for n, c in node.items():
                keep(c, rel + (n,))
        for n, c in node.items() if len(path) + 2 <= MAX else ():
            sub, r = path + "\\" + n, rel + (n,)
            if isinstance(c, dict) and len(sub) > MAX:  # neither entered nor removed
                keep(c, r)
            elif isinstance(c, dict):
                if not emptied(c, sub, r):
                    left.add(r)
            elif c == "dlink":  # Wine does not remove a link to a folder that holds files
                left.add(r)
            elif len(sub) > MAX or c != "f" or n[-1] in ". ":  # read-only, held, link, own exe
                left.add(r)
                messages.append(shown(problem(sub)))
        return not any(rel + (n,) in left for n in node)

    if not emptied(p["tree"], p["arg"], ()):
        left.add(())
    return left, messages, shown(in_use(p["arg"]) if () in left else SUCCESS)


def lay_out(s, p):
    host, base = s.host, p["base"]
    canaries = [base + "\\" + p["name"] + x for x in ("2", " x", ".bak", "(1)")] + [base + "\\O\\d\\e"]
    for i, c in enumerate(canaries):
        s.write(c + "\\keep.txt", "canary %d %s\n" % (i, c) * (i + 1))
    for c in ("a", "Un", "x^y", "ro"):
        s.write(base + "\\x\\" + c, "canary beside the exe\n", mode=0o444 if c == "ro" else None)
    s.write(p["exe"], source=host("C:\\e2e-tools\\Uninstall.exe"))

    def make(node, path):
        os.makedirs(path, exist_ok=True)
        for n, c in node.items():
            sub = os.path.join(path, n)
            if isinstance(c, dict):
                make(c, sub)
            elif c == "dlink":  # to a folder that holds files: Wine would remove an empty one
                os.symlink(host(canaries[len(n) % len(canaries)]), sub)
            elif c == "flink":  # to a read-only file: Wine deletes a link's target, not the link
                os.symlink(host(base + "\\x\\ro"), sub)
            elif c != "exe":
                with open(sub, "w") as out:
                    out.write(sub)
                if c == "ro":
                    os.chmod(sub, 0o444)
    make(p["tree"], host(base + "\\" + p["name"]))
    return [("dir", p["cwd"]), ("cmd", p["cmd"]), ("hold", p["held"] or ""), ("timeout", "15000")] + (
        [] if p["comspec"] else [("env", "ComSpec")])


def snapshot(top, skip):
    found = {}
    for base, dirs, files in os.walk(top):
        dirs[:] = [d for d in dirs if os.path.join(base, d) not in skip]
        for n in dirs + files:
            path = os.path.join(base, n)
            if path in skip:
                continue
            if os.path.islink(path) or os.path.isdir(path):
                found[path] = (os.path.islink(path) and os.readlink(path), 0)
            else:
                with open(path, "rb") as f:
                    data = f.read()
                found[path] = (hashlib.sha256(data).hexdigest(), len(data))
    return found


def check(s, p, events):
    runs = [e for e in events if e["event"] != "dialog"]
    if [e["event"] for e in runs] != ["launch", "exit"]:
        return ["not run: %s" % [e["event"] for e in runs]]
    faults = [] if runs[1]["status"] == 1 and not runs[1]["timed_out"] else ["exit %s" % runs[1]]
    left, messages, final = model(p)
    got = [(d["caption"], d["text"], tuple(sorted(b[0] for b in d["buttons"])))
           for d in events if d["event"] == "dialog"]
    if got[-1:] != [final]:
        faults.append("final message %s, expected %s" % (got[-1:], final))
    if collections.Counter(got[:-1]) != collections.Counter(messages):
        faults.append("problem messages\n    got  %s\n    want %s" % (sorted(got[:-1]), sorted(messages)))
    if os.path.exists(s.host(p["exe"])) == p["deleted"]:
        faults.append("the exe was %s" % ("kept" if p["deleted"] else "deleted"))
    if p["inside"] and p["deleted"]:
        left.discard(("Uninstall.exe",))
    root = s.host(p["base"] + "\\" + p["name"])
    tree = {tuple(os.path.relpath(k, root).split(os.sep)) for k in snapshot(root, ())}
    tree |= {()} if os.path.lexists(root) else set()
    if tree != left:
        faults.append("tree: left over %s, missing %s" % (sorted(tree - left), sorted(left - tree)))
    p["after"] = snapshot(s.host(p["base"]), p["skip"])
    if p["after"] != p["before"]:
        faults.append("canaries changed: %s" % sorted(set(p["after"].items()) ^ set(p["before"].items()))[:6])
    return faults


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, default=120, help="how many seeds (default 120)")
    ap.add_argument("--first", type=int, help="first seed (default: random)")
    ap.add_argument("--seed", type=int, help="run this one seed alone")
    ap.add_argument("--batch", type=int, default=50, help="seeds per Launcher run")
    ap.add_argument("--arch", choices=WINE, help="the build given; skipped unless it runs here")
    ap.add_argument("--exe", help="default: build/<arch>/Uninstall.exe")
    ap.add_argument("--tools", help="the e2e tools; default: build/<arch>/tests/e2e")
    o = ap.parse_args()
    arch = "win32" if can_run_32bit() else "win64"
    if (o.arch or arch) != arch:
        print("SKIPPED: 32-bit Wine %s here; the %s build runs the randomized trees" % (
            "works" if arch == "win32" else "cannot run", arch))
        return 77
    exe = o.exe or os.path.join(REPO, "build", arch, "Uninstall.exe")
    print("uninstaller: %s\nwine: %s (WINEARCH=%s)" % (exe, WINE[arch], arch))
    first = next(v for v in (o.seed, o.first, random.randrange(10**6)) if v is not None)
    seeds = [first] if o.seed is not None else list(range(first, first + o.seeds))
    print("seeds %d to %d" % (seeds[0], seeds[-1]), flush=True)
    started, failed, checked, lost = time.monotonic(), [], 0, 0
    s = WineSession(arch)
    try:
        s.boot()
        s.install_tools(exe, o.tools or os.path.join(REPO, "build", arch, "tests", "e2e"))
        above = [s.write(c, c) for c in ("C:\\keep.txt", "C:\\r\\keep.txt")]  # canaries above all trees
        for at in range(0, len(seeds), o.batch):
            plans = [plan(seed) for seed in seeds[at:at + o.batch]]
            cases = [("s%d" % p["seed"], lay_out(s, p)) for p in plans]
            for p in plans:
                p["skip"] = [s.host(p["base"] + "\\" + p["name"]), s.host(p["exe"])]
                p["before"] = snapshot(s.host(p["base"]), p["skip"])
            s.confine()  # no drive Z: (the host's /) and no link out of the prefix
            assert not os.path.lexists(os.path.join(s.prefix, "dosdevices", "z:"))
            events = s.run_cases(cases, timeout=60 + 15 * len(cases))
            deadline = time.monotonic() + 15  # let the self-deletions run
            while time.monotonic() < deadline and any(
                    os.path.exists(s.host(p["exe"])) for p in plans if p["deleted"]):
                time.sleep(0.25)
            time.sleep(1)
            for p in plans:
                faults = check(s, p, [e for e in events if e["case"] == "s%d" % p["seed"]])
                checked += sum(v[1] for v in p["before"].values())
                lost += sum(v[1] for k, v in p["before"].items() if p.get("after", p["before"]).get(k) != v)
                if faults:
                    failed.append(p["seed"])
                    print("FAIL seed %d (rerun: tests/random/run.py --seed %d)\n  %s\n  %s" % (
                        p["seed"], p["seed"], p["cmd"], "\n  ".join(faults)), flush=True)
                shutil.rmtree(s.host(p["base"]), ignore_errors=True)
            print("%d seeds run, %d failed, %.0f s" % (at + len(plans), len(failed), time.monotonic() - started),
                  flush=True)
        if [open(c).read() if os.path.isfile(c) else None for c in above] != ["C:\\keep.txt", "C:\\r\\keep.txt"]:
            failed.append("canaries above the trees")
    finally:
        s.close()
    print("%d seeds, %d failed %s; canary bytes checked %d, lost %d; %.1f s" % (
        len(seeds), len(failed), failed, checked, lost, time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
