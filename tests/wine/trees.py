# Randomized trees for run.py and the removal rules they are checked against. A seed gives a
# tree up to 8 deep beside and below canaries, with odd names, entry paths of 258-261
# characters, read-only, held-open and too-long files, links to canaries, device names and host
# names that best fit turns into names with separators, a trailing dot or space, "." or "..",
# or a sibling's name; some roots end in a dot or a space beside a link to canaries. (Exes beside
# files with their 8.3 name: the case self-delete-twin.)
import random
import string

from winesession import SUCCESS, UNABLE, in_use, problem

MAX = 259  # longest pattern or entry path the program uses
CHARS = string.ascii_letters + string.digits + " &%^()!'-_#$@+,;=[]{}`"
ODD = [".profile", "...", "..x", " lead", "a&b", "%OS%", "x^y", "(1)", "hey!", "it's", "x.", "y "]
DEVICES = {"con", "prn", "aux", "nul", "conin$", "conout$"} | {
    p + i for p in ("com", "lpt") for i in "0123456789\u00b9\u00b2\u00b3"}
EXES = ["Uninstall.exe", "Un install.exe", "a&b.exe", "x^y (1).exe", "100%.exe"]
# Host characters that the listing turns into ANSI (code page 1252) by best fit.
SEPARATORS = "\uff0f\u2215\u2044\uff3c\u2216\uff1a\u2236\uff0a\uff02\uff1c\uff1e\uff5c"
BESTFIT = dict(zip(SEPARATORS + "\uff0e\u3000\u0119\u0142", "///\\\\::*\"<>|. el"))
BESTFIT.update((chr(ord(c) + 0xFEE0), c) for c in string.ascii_letters)  # fullwidth letters
NON_ANSI = "\u0119\u0142\uff21\uff42\uff58"


def listed(name):
    return "".join(BESTFIT.get(c, c) for c in name)


def device(name):  # Win32 reads the name as a device
    return listed(name).split(".")[0].rstrip(" ").lower() in DEVICES


def usable(name):  # the program uses a listed name only where it names the entry
    return listed(name) == name and not set(name) & set('\\/:*?"<>|') and name[-1] not in ". " and not device(name)


def insert(rng, name, chars):  # one of chars, anywhere in name
    at = rng.randint(0, len(name))
    return name[:at] + rng.choice(chars) + name[at:]


# A name no sibling resolves to (paths drop trailing dots and spaces, ignore case), no device, none
# of \ / : * ? " < > | ~ (Wine mangles them); files end in . or space at `bad`.
def new_name(rng, siblings, is_dir, bad=0.0, length=0):
    while True:
        if length:
            n = "".join(rng.choice(CHARS) for _ in range(length - 1)) + rng.choice(string.ascii_letters)
        elif rng.random() < 0.25:
            n = rng.choice(ODD)
        else:
            n = "." * (rng.random() < 0.2) + "".join(rng.choice(CHARS) for _ in range(rng.randint(1, 12)))
            n += rng.choice(". ") if rng.random() < bad else ""
        key = listed(n).rstrip(". ").lower()
        if (n not in (".", "..") and key not in siblings and key.split(".")[0].rstrip() not in DEVICES
                and not (n[-1] in ". " and (is_dir or not bad))):
            siblings.add(key)
            return n


# Adds a file, or a folder with a file, whose listed name cannot be used (separator, trailing dot
# or space, a device, "." or ".."), names nothing (non-ANSI) or names a sibling. Kinds of entries: "files"
# (plain), "read-only", "held open", "file links", "folder links", "exe inside" (the running exe).
def special(rng, node, taken):
    twins = [n for n, c in node.items() if usable(n) and set(n) & set(string.ascii_letters)
             and (c in ("files", "read-only", "folder links") or isinstance(c, dict))]
    kind = rng.choice(["sep", "dot", "orphan", "device", "fake"] + ["alias"] * 2 * bool(twins))
    if kind == "alias":  # no file alias of a folder link: Wine might delete the link
        twin = rng.choice(twins)
        n = "".join(chr(ord(c) + 0xFEE0) if c in string.ascii_letters else c for c in twin)  # fullwidth
        is_dir = node[twin] == "folder links" or rng.random() < 0.5
    else:
        n, is_dir = new_name(rng, taken, False), rng.random() < 0.5
        n = insert(rng, n, SEPARATORS) if kind == "sep" else insert(rng, n, NON_ANSI) if kind == "orphan" else (
            n + rng.choice("\uff0e\u3000") if kind == "dot" else rng.choice(["\uff0e", "\uff0e\uff0e"]) if
            kind == "fake" else "".join(rng.choice((c, c.upper())) for c in rng.choice(sorted(DEVICES))) + " " *
            rng.randint(0, 2) + rng.choice(["", ".txt", ".a.b"]))
        if listed(n).lower() in taken or device(n) != (kind == "device"):
            return
        taken.add(listed(n).lower())
    node[n] = {new_name(rng, set(), False): "files"} if is_dir else "files"


# A random folder: a dict of name -> sub-dict or kind.
def grow(rng, depth, bad):
    node, taken = {}, set()
    for _ in range(rng.randint(0, 3)):
        kind = rng.choice(["read-only", "read-only", "file links", "folder links"]) if rng.random() < bad else "files"
        node[new_name(rng, taken, kind == "folder links", bad)] = kind
    for _ in range(rng.choice([0, 1, 1, 2]) if depth else 0):
        node[new_name(rng, taken, True)] = grow(rng, depth - 1, bad)
    for _ in range(rng.choice([0, 0, 1, 2]) if bad else 0):
        special(rng, node, taken)
    return node


# A seed's tree and run. Some seeds give the root, the folder holding the tree or the exe's folder
# a non-ANSI name beside its best-fit twin, which holds canaries.
def plan(seed):
    rng = random.Random(seed)
    base, bad = "C:\\r\\s%d" % seed, rng.choice([0, 0.1, 0.25])  # a third of the seeds: all deletable
    odd = rng.choice(["root", "home", "exe"]) if rng.random() < 0.15 else ""
    home = base + "\\\uff37" * (odd == "home")  # the folder holding the tree
    long_root = bad and not odd and rng.random() < 0.1  # its pattern (root + "\\*") just fits, or not
    name = new_name(rng, {"o", "x", "w"}, True, 0, long_root and rng.choice([256, 257, 258]) - len(home) - 1)
    name = insert(rng, name, NON_ANSI) if odd == "root" else name
    form, tail = rng.randrange(6), rng.choice([" ", "  ", ".", "..", " .", ". "]) * (rng.random() < 0.08)
    rn = name + tail  # a root ending in a dot or a space, beside a link (entries) that Wine would list
    arg, cwd = [(home + "\\" + rn, base), (home + "\\" + rn + "\\", base), (rn, home),
                (".\\" + rn + "\\", home), ("..\\" + rn, home + "\\O"), (home[2:] + "\\" + rn, base)][form]
    tree = grow(rng, rng.randint(1, 8), bad)
    dirs, files = [], []

    def index(node, path, rel):
        dirs.append((node, path))
        for n, c in node.items():
            if isinstance(c, dict) and usable(n):
                index(c, path + "\\" + n, rel + "\\" + n)
            elif c == "files" and usable(n):
                files.append((node, n, home + "\\" + name + rel + "\\" + n))
    index(tree, arg, "")
    for node, path in rng.sample(dirs, min(4, len(dirs))):  # paths of 258 to 261 characters
        size = rng.choice([258, 259, 260, 261][:4 if bad else 2]) - len(path) - 1
        if 1 <= size <= 255:
            kind = rng.choice(["files", {}, "read-only", {"f": "files"}][:4 if bad else 2])
            node[new_name(rng, {listed(n).rstrip(". ").lower() for n in node}, isinstance(kind, dict), 0, size)] = kind
    held = [f for f in files if len(f[2]) <= MAX]
    held = rng.choice(held) if held and bad and rng.random() < 0.7 else None
    if held:
        held[0][held[1]] = "held open"
    # Not in a root holding % or !: the self-deletion is skipped for such a short path.
    inside = bad and rng.random() < 0.3 and not long_root and not set("%!") & set(name) and (
        "uninstall.exe" not in (listed(n).rstrip(". ").lower() for n in tree))
    if inside:
        tree["Uninstall.exe"] = "exe inside"
    exe = home + "\\" + name + "\\Uninstall.exe" if inside else base + (
        "\\\uff58\\" if odd == "exe" else "\\x\\") + rng.choice(EXES)
    quoted = " " in arg or rng.random() < 0.5  # a backslash before the closing quote is doubled
    comspec = rng.random() < 0.85
    refused = listed(arg) != arg or any(c not in (".", "..") and c[-1:] in (".", " ") for c in arg.split("\\"))
    return dict(seed=seed, base=base, home=home, name=name, arg=arg, cwd=cwd, tree=tree, exe=exe, odd=odd,
                held=held and held[2], comspec=comspec, refused=refused, form=form, tail=tail,
                inside=inside, deleted=comspec and not refused and listed(exe) == exe and not set("%!") & set(exe),
                cmd='"%s" Uninstall %s' % (exe, '"%s"' % (arg + "\\" * arg.endswith("\\")) if quoted else arg))


# The seed's entries for WineSession.lay_out, relative to its folder, and the tree's root.
def entries(p):
    at = lambda *parts: "\\".join(x for x in (p["home"][len(p["base"]) + 1:],) + parts if x)  # noqa: E731
    canaries = [at(p["name"] + x) for x in ("2", " x", ".bak", "(1)")] + [at("O", "d", "e")]
    out = [c + "\\keep.txt" for c in canaries] + ["x\\a", "x\\Un", "x\\x^y", "ro:x\\ro"]
    out += {"root": [at(listed(p["name"]), "keep.txt")], "home": ["W\\%s\\keep.txt" % p["name"]],
            "exe": ["x\\" + p["exe"].split("\\")[-1]], "": []}[p["odd"]]  # best-fit twins
    out.append(p["exe"][len(p["base"]) + 1:])
    link = p["tail"][:-1] if p["tail"].endswith(".") else p["tail"]  # Wine drops a folder's last dot
    out += [at(p["name"] + link) + "=>" + p["base"] + "\\" + canaries[0]] * bool(link)

    def walk(node, rel):
        out.append(rel + "\\")
        for n, c in node.items():
            sub = rel + "\\" + n
            if isinstance(c, dict):
                walk(c, sub)
            else:  # links: to a folder that holds files (Wine removes the target of a link
                # to an empty one), and to a read-only file (Wine deletes a writable target)
                out.append({"read-only": "ro:" + sub, "file links": sub + "=>" + p["base"] + "\\x\\ro",
                            "folder links": sub + "=>" + p["base"] + "\\" + canaries[len(n) % 5]}.get(c, sub))
    walk(p["tree"], at(p["name"]))
    return out, at(p["name"])


# What the run removes of the tree at root (relative to the seed's folder), the exe aside, and the
# dialogs; counts entries, names and outcomes in stats.
def model(p, root, stats):
    gone, messages = set(), []

    def emptied(node, path, rel):
        fits = len(path) + 2 <= MAX  # the pattern fits: the folder is listed
        for n, c in node.items():
            sub, r, folder, shown = path + "\\" + listed(n), rel + "\\" + n, isinstance(c, dict), listed(n)
            stats["folders" if folder else c] += 1
            stats["names: " + ("plain" if usable(n) else "device" if device(n) else ". or .. by best fit" if shown
                               in (".", "..") else "ending in . or space" if shown == n else "unusable"
                               if not usable(shown) else "alias" if shown.lower() in map(str.lower, node)
                               else "non-ANSI")] += 1
            stats["entry paths of %d" % len(sub)] += 258 <= len(sub) <= 261
            ok = fits and usable(n) and len(sub) <= MAX
            # A listed folder is removed once emptied, a listed plain file at once. Any other file listed
            # (read-only, held, file link, own exe, name not used) stays with a message, but a link to a
            # folder that holds files: Wine does not remove it, and the program does not report it.
            if ok and (emptied(c, sub, r) if folder else c == "files"):
                gone.add(r)
            elif fits and not folder and c != "folder links":
                messages.append(problem(sub))
        return all(rel + "\\" + n in gone for n in node)

    if not p["refused"] and emptied(p["tree"], p["arg"], root):
        gone.add(root)
    final = UNABLE if p["refused"] else SUCCESS if root in gone else in_use(p["arg"])
    forms = ["absolute", "trailing backslash", "relative", "relative", "relative", "rooted"]
    stats.update(["roots: " + forms[p["form"]], "final: " + {UNABLE: "unable", SUCCESS: "success"}.get(final, "in use"),
                  "non-ANSI: " + (p["odd"] or "none"), "exes: " + ("deleted" if p["deleted"] else "kept")] +
                 ["roots: ending in . or space"] * bool(p["tail"]) + ["problem messages"] * len(messages))
    return gone, messages + [final]
