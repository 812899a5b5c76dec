#!/usr/bin/env python3
"""Checks that the library's folders depend on each other in one direction only.

Two kinds of use are checked against the order below: the project includes of every file under
src/ and include/ (a header's layer is its folder's, or the one the table names for a public
header), and the symbols that each folder's compiled objects take from objects of another folder
(`nm` of the objects in a build tree, when one is given). Prints each use against the order and
exits with 1 when there is one.

    tools/check-layers.py [--build build/release]
"""
import argparse
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The order, lowest first: a folder may use its own files and any folder before it.
ORDER = ["platform", "core", "sync", "time", "thread", "log", "file", "logfile", "logcommands",
         "service"]
# Folders beside the order, with what each may use (besides itself).
BESIDE = {
    "utils": {"platform", "core"},
    "memory": {"platform", "core", "sync", "thread", "utils"},
    "component": {"platform", "core", "sync", "time", "thread", "file", "utils"},
    "legacy": set(ORDER) | {"utils", "memory"},
    "umbrella": set(ORDER) | {"utils", "memory", "component", "legacy"},
}

# Public headers (include/infra/) by layer.
PUBLIC = {
    "core": "Defs Assert Error Version FlexString Function SystemTime",
    "sync": "Mutex Semaphore ThreadSpecific RWMutex",
    "time": "Time",
    "thread": "Thread ThreadManager Timer",
    "log": "PrintCore PrintLog",
    "service": "AsyncSink Shutdown",
    "file": "File FileFind LfsFile",
    "utils": "Base64 CharSet Crc Md5 Sha1 StringUtil TripleDes",
    "memory": "Buffer MemPool Packet PacketManager SharePacket",
    "component": "Client ComPtr Component ComponentHelper FactoryUnknown ObjectTable",
    "umbrella": "Infra",
    "legacy": "Legacy",
}
PUBLIC_LAYER = {name + ".h": layer for layer, names in PUBLIC.items() for name in names.split()}


def allowed(user, used):
    if user == used or used is None:
        return True
    if user in BESIDE:
        return used in BESIDE[user]
    if used in BESIDE:
        return False
    return ORDER.index(used) < ORDER.index(user)


def layer_of(path):
    """The layer of a file given relative to the repository root; None outside the layers."""
    parts = path.split("/")
    if parts[0] == "src":
        if parts[1] == "infra3":
            return parts[2] if len(parts) > 3 and parts[2] in ORDER else None
        if parts[1] in ("platform", "utils", "memory", "component", "legacy"):
            return parts[1]
        return None
    if parts[0] == "include" and parts[1] == "infra":
        if parts[2] == "legacy":
            return "legacy"
        if parts[2] == "infra3":
            return "core"
        return PUBLIC_LAYER.get(parts[2], "unlisted")
    return None


def resolve(include, including):
    """The repository path of a project include, or None for a system header."""
    for base in ("src", "include", os.path.dirname(including),
                 "src/platform/posix", "src/platform/win32"):
        candidate = os.path.normpath(os.path.join(base, include))
        if os.path.isfile(os.path.join(ROOT, candidate)):
            return candidate
    return None


def check_includes():
    faults = []
    for top in ("src", "include"):
        for folder, _, files in os.walk(os.path.join(ROOT, top)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp", ".hpp", ".inc")):
                    continue
                path = os.path.relpath(os.path.join(folder, name), ROOT)
                user = layer_of(path)
                if user is None:
                    continue
                with open(os.path.join(ROOT, path), encoding="utf-8") as f:
                    for number, line in enumerate(f, 1):
                        m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                        if not m:
                            continue
                        target = resolve(m.group(1), path)
                        used = layer_of(target) if target else None
                        if used == "unlisted":
                            faults.append(f"{path}:{number}: {target} has no layer in the table")
                        elif not allowed(user, used):
                            faults.append(f"{path}:{number}: {user} includes {target} ({used})")
    return faults


def nm(args, obj):
    out = subprocess.run(["nm", "--format=posix"] + args + [obj], capture_output=True,
                         text=True, check=True).stdout
    return [line.split() for line in out.splitlines() if line.strip()]


def check_symbols(build):
    objects = {}
    base = os.path.join(build, "src", "CMakeFiles", "infra.dir")
    for folder, _, files in os.walk(base):
        for name in files:
            if name.endswith(".o") or name.endswith(".obj"):
                obj = os.path.join(folder, name)
                source = os.path.relpath(obj, base)
                source = re.sub(r"\.(o|obj)$", "", source)
                layer = layer_of("src/" + source)
                # Objects of sources that no longer exist are left-overs of older builds.
                if layer is not None and os.path.isfile(os.path.join(ROOT, "src", source)):
                    objects[obj] = (source, layer)
    if not objects:
        return [f"no objects of the library under {base}: build it first"]
    definer = {}
    for obj, (source, layer) in objects.items():
        for fields in nm(["--defined-only", "--extern-only"], obj):
            # Weak definitions (inline functions, templates) belong to every user.
            if len(fields) >= 2 and fields[1] not in ("W", "V", "u", "w", "v"):
                definer[fields[0]] = (source, layer)
    faults = []
    for obj, (source, layer) in sorted(objects.items()):
        for fields in nm(["--undefined-only"], obj):
            symbol = fields[0]
            if symbol in definer:
                other, used = definer[symbol]
                if not allowed(layer, used):
                    pretty = subprocess.run(["c++filt", symbol], capture_output=True,
                                            text=True).stdout.strip()
                    faults.append(f"src/{source}: {layer} uses {pretty} from src/{other} ({used})")
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", help="a build tree whose library objects are checked too")
    options = parser.parse_args()
    faults = check_includes()
    if options.build:
        faults += check_symbols(options.build)
    for fault in faults:
        print(fault)
    print(f"layers: {len(faults)} use(s) against the order")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
