#!/usr/bin/env python3
"""A stand-in for apt-get, apt-cache, dpkg and dpkg-query over a small
package world kept in a JSON file, for the test of the install step.

    fake_apt.py STATE TOOL ARGS...

The world: archives (suite -> packages, each with name, arch, version,
source, Multi-Arch and depends), the installed packages, the foreign
architectures, the suites whose i386 index does not download, and the uid.
The resolver does what apt does where the install step relies on it: it
takes candidates by pin priority (installed 100, archives 500, the pins of
a preferences file given with -o Dir::Etc::Preferences=FILE), upgrades a
dependency whose installed version does not satisfy it, never downgrades
without --allow-downgrades and an explicit version, and refuses a state
in which a Multi-Arch: same package has two versions or an exact
dependency is unmet. Versions compare with the real dpkg.
"""
import json
import os
import re
import subprocess
import sys

NATIVE = "amd64"


def vcmp(a, b):
    if a == b:
        return 0
    lt = subprocess.run(["/usr/bin/dpkg", "--compare-versions", a, "lt", b]).returncode == 0
    return -1 if lt else 1


def key_max(items, key):
    best = None
    for it in items:
        if best is None or key(it, best) > 0:
            best = it
    return best


class World:
    def __init__(self, path):
        self.path = path
        with open(path) as f:
            self.s = json.load(f)
        self.pins = []

    def save(self):
        with open(self.path, "w") as f:
            json.dump(self.s, f, indent=1)

    def installed(self):
        return {(p["name"], p["arch"]): p for p in self.s["installed"]}

    def available(self, name, arch):
        out = []
        if arch != NATIVE and arch not in self.s["foreign"]:
            return out
        for p in self.s["archive"]:
            if p["name"] != name or p["arch"] != arch:
                continue
            if arch == "i386" and p["suite"] in self.s["missing_i386"]:
                continue
            out.append(p)
        return out

    def load_pins(self, path):
        text = open(path).read()
        for rec in text.strip().split("\n\n"):
            fields = dict(line.split(": ", 1) for line in rec.strip().splitlines() if ": " in line)
            names = fields.get("Package", "").split()
            suite = re.sub(r"^release n=", "", fields.get("Pin", ""))
            self.pins.append((names, suite, int(fields.get("Pin-Priority", "500"))))

    def priority(self, p):
        prio = 500
        for names, suite, value in self.pins:
            if suite != p["suite"] or p["arch"] != NATIVE:
                continue
            if p["name"] in names or "src:" + p["source"] in names:
                prio = value
        return prio

    def candidate(self, name, arch):
        inst = self.installed().get((name, arch))
        options = [(self.priority(p), p) for p in self.available(name, arch)]
        options = [o for o in options if o[0] >= 0]
        if inst:
            options.append((100, inst))

        def better(a, b):
            if a[0] != b[0]:
                return 1 if a[0] > b[0] else -1
            return vcmp(a[1]["version"], b[1]["version"])

        best = key_max(options, better)
        if best is None:
            return None
        # apt never takes a lower candidate than what is installed below 1000.
        if inst and vcmp(best[1]["version"], inst["version"]) < 0 and best[0] < 1000:
            return inst
        return best[1]


def parse_name(arg):
    m = re.match(r"^([^:=/]+)(?::([a-z0-9]+))?(?:=(.+))?$", arg)
    return m.group(1), m.group(2) or NATIVE, m.group(3)


def apt_get(world, args):
    opts = {"--allow-downgrades": False}
    words = []
    it = iter(args)
    for a in it:
        if a == "-o":
            k, v = next(it).split("=", 1)
            if k == "Dir::Etc::Preferences":
                world.load_pins(v)
        elif a in opts:
            opts[a] = True
        elif a.startswith("-"):
            continue
        else:
            words.append(a)
    if not words:
        return 100
    if words[0] == "update":
        if "i386" in world.s["foreign"] and world.s["missing_i386"]:
            for s in world.s["missing_i386"]:
                print(f"E: Failed to fetch http://deb.debian.org/debian-security/dists/{s}/main/"
                      "binary-i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?")
            return 100
        return 0
    if words[0] != "install":
        return 100
    if world.s["uid"] != 0:
        print("E: Could not open lock file /var/lib/dpkg/lock-frontend - open (13: Permission denied)")
        return 100
    inst = world.installed()
    target = dict(inst)
    explicit = set()
    queue = []
    for w in words[1:]:
        name, arch, version = parse_name(w)
        if version:
            match = [p for p in world.available(name, arch) if p["version"] == version]
            if not match:
                print(f"E: Version '{version}' for '{name}' was not found")
                return 100
            target[(name, arch)] = match[0]
            explicit.add((name, arch))
        else:
            cand = world.candidate(name, arch)
            if cand is None:
                print(f"E: Unable to locate package {name}")
                return 100
            target[(name, arch)] = cand
        queue.append((name, arch))
    unmet = []
    seen = set()
    while queue:
        name, arch = queue.pop()
        if (name, arch) in seen:
            continue
        seen.add((name, arch))
        pkg = target[(name, arch)]
        for dep in pkg.get("depends", []):
            dname, darch = dep[0], arch
            want = dep[2] if len(dep) > 2 else None
            have = target.get((dname, darch))
            ok = have is not None and (want is None or have["version"] == want)
            if not ok and (dname, darch) not in explicit:
                cand = world.candidate(dname, darch)
                if cand is not None and (want is None or cand["version"] == want):
                    target[(dname, darch)] = cand
                    ok = True
                have = target.get((dname, darch)) or cand
            if not ok:
                shown = name if arch == NATIVE else f"{name}:{arch}"
                got = have["version"] if have else None
                unmet.append(f" {shown} : Depends: {dname} (= {want}) but {got} is to be installed"
                             if want and got else f" {shown} : Depends: {dname} but it is not installable")
            queue.append((dname, darch))
    # Multi-Arch: same: one version on both architectures. A half left as it
    # was installed follows the other where its candidate is that version.
    for name in sorted({n for (n, a), p in target.items() if p.get("multiarch") == "same"}):
        halves = {a: target[(name, a)] for a in ("amd64", "i386") if (name, a) in target}
        if len(halves) < 2 or halves["amd64"]["version"] == halves["i386"]["version"]:
            continue
        for stay, move in (("amd64", "i386"), ("i386", "amd64")):
            if (name, stay) in explicit or target[(name, stay)] is not inst.get((name, stay)):
                continue
            cand = world.candidate(name, stay)
            if cand is not None and cand["version"] == halves[move]["version"]:
                target[(name, stay)] = cand
                break
        else:
            unmet.append(f" {name}:amd64 : Breaks: {name}:i386 (!= {halves['amd64']['version']}) "
                         f"but {halves['i386']['version']} is to be installed")
    if unmet:
        print("The following packages have unmet dependencies:")
        print("\n".join(sorted(set(unmet))))
        print("E: Unable to correct problems, you have held broken packages.")
        return 100
    for k, p in target.items():
        old = inst.get(k)
        if old and vcmp(p["version"], old["version"]) < 0 and not opts["--allow-downgrades"]:
            print("E: Packages were downgraded and -y was used without --allow-downgrades.")
            return 100
    world.s["installed"] = list(target.values())
    world.save()
    return 0


def apt_cache(world, args):
    words = [a for a in args if not a.startswith("-")]
    if words[0] == "policy":
        inst = world.installed()
        for w in words[1:]:
            name, arch, _ = parse_name(w)
            i = inst.get((name, arch))
            c = world.candidate(name, arch)
            print(f"{name}:" if arch == NATIVE else f"{name}:{arch}:")
            print(f"  Installed: {i['version'] if i else '(none)'}")
            print(f"  Candidate: {c['version'] if c else '(none)'}")
            print("  Version table:")
            rows = [(p["version"], world.priority(p), p["suite"]) for p in world.available(name, arch)]
            if i and all(r[0] != i["version"] for r in rows):
                rows.append((i["version"], 100, None))
            for version, prio, suite in rows:
                mark = "***" if i and i["version"] == version else "   "
                print(f" {mark} {version} {prio}")
                if suite:
                    print(f"        {prio} http://deb.debian.org/debian {suite}/main {arch} Packages")
        return 0
    if words[0] == "depends":
        seen = set()
        todo = [parse_name(w)[:2] for w in words[1:]]
        while todo:
            name, arch = todo.pop()
            if (name, arch) in seen:
                continue
            seen.add((name, arch))
            c = world.candidate(name, arch)
            print(name if arch == NATIVE else f"{name}:{arch}")
            for dep in (c or {}).get("depends", []):
                print(f"  Depends: {dep[0] if arch == NATIVE else dep[0] + ':' + arch}")
                todo.append((dep[0], arch))
        return 0
    return 100


def dpkg_query(world, args):
    fmt = "${Package}\n"
    names = []
    it = iter(args)
    for a in it:
        if a.startswith("-f="):
            fmt = a[3:]
        elif not a.startswith("-"):
            names.append(a)
    rows = world.s["installed"]
    if names:
        picked = []
        for w in names:
            name, arch, _ = parse_name(w)
            explicit_arch = ":" in w
            picked += [p for p in rows if p["name"] == name and (not explicit_arch or p["arch"] == arch)]
        if not picked:
            sys.stderr.write(f"dpkg-query: no packages found matching {names[0]}\n")
            return 1
        rows = picked
    fields = lambda p: {"Status": "install ok installed", "db:Status-Status": "installed",
                        "Package": p["name"], "Architecture": p["arch"], "Version": p["version"],
                        "source:Package": p["source"], "Multi-Arch": p.get("multiarch", "")}
    for p in rows:
        f = fields(p)
        sys.stdout.write(re.sub(r"\$\{([^}]+)\}", lambda m: f.get(m.group(1), ""),
                                fmt.encode().decode("unicode_escape")))
    return 0


def dpkg(world, args):
    if args[0] == "--print-foreign-architectures":
        for a in world.s["foreign"]:
            print(a)
        return 0
    if args[0] == "--add-architecture":
        if args[1] not in world.s["foreign"]:
            world.s["foreign"].append(args[1])
            world.save()
        return 0
    return subprocess.run(["/usr/bin/dpkg"] + args).returncode


def main():
    world = World(sys.argv[1])
    tool, args = sys.argv[2], sys.argv[3:]
    with open(os.path.join(os.path.dirname(sys.argv[1]), "calls"), "a") as log:
        log.write(" ".join([tool] + args) + "\n")
    handler = {"apt-get": apt_get, "apt-cache": apt_cache, "dpkg-query": dpkg_query, "dpkg": dpkg}
    sys.exit(handler[tool](world, args))


if __name__ == "__main__":
    main()
