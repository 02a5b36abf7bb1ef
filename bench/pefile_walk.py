#!/usr/bin/python3
"""Walks the load-time closure of each image with pefile, the way zymran-check
walks it, for the benchmark's comparison: each file read once, then for each
image its ordinary imports, then what delay-load imports reach, exports by
name and by ordinal, forwarders, and the host's KERNEL32, NTDLL and USER32.

  bench/pefile_walk.py --host DIR IMAGE...

Prints one line per image, "loads IMAGE" or "fails IMAGE", then the counts.
Module names are compared with ASCII letters in either case, as bytes."""
import os
import sys

import pefile

IMPLEMENTED = {b"KERNEL32.DLL", b"NTDLL.DLL", b"USER32.DLL"}
SYSTEM = IMPLEMENTED | {b"GDI32.DLL"}
DIRECTORIES = [pefile.DIRECTORY_ENTRY[name] for name in (
    "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_EXPORT", "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT")]


class Info:
    """An image as read: its state, its imports and its exports."""

    def __init__(self, state):
        self.state = state  # "read", "damaged" or "wide"
        self.imports = []  # (module name, delayed, [function]); a function is a name or an ordinal
        self.by_name = {}  # name -> forwarder or None
        self.by_ordinal = {}


def read_image(path):
    try:
        pe = pefile.PE(path, fast_load=True)
    except (pefile.PEFormatError, OSError):
        return Info("damaged")
    try:
        if pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
            return Info("wide")
        pe.parse_data_directories(directories=DIRECTORIES)
        info = Info("read")
        groups = {}
        for attribute, delayed in (("DIRECTORY_ENTRY_IMPORT", False), ("DIRECTORY_ENTRY_DELAY_IMPORT", True)):
            for entry in getattr(pe, attribute, []):
                key = (entry.dll, delayed)
                if key not in groups:
                    groups[key] = {}
                    info.imports.append((entry.dll, delayed, groups[key]))
                for imp in entry.imports:
                    groups[key].setdefault(imp.ordinal if imp.import_by_ordinal else imp.name, None)
        if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
            for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols:
                if not symbol.address:
                    continue
                if symbol.name is not None:
                    info.by_name.setdefault(symbol.name, symbol.forwarder)
                info.by_ordinal.setdefault(symbol.ordinal, symbol.forwarder)
        return info
    finally:
        pe.close()


class Files:
    """Folders listed once, files read once."""

    def __init__(self):
        self.listings = {}
        self.images = {}

    def find(self, folder, name):
        if folder not in self.listings:
            self.listings[folder] = sorted(os.listdir(folder or b"."))
        wanted = name.upper()
        chosen = None
        for entry in self.listings[folder]:
            if entry.upper() != wanted:
                continue
            path = os.path.join(folder, entry) if folder else entry
            if not os.path.isfile(path):
                continue
            if entry == name:
                return path
            if chosen is None:
                chosen = path
        return chosen

    def read(self, path):
        try:
            st = os.stat(path)
        except OSError:
            return None
        key = (st.st_dev, st.st_ino)
        if key not in self.images:
            self.images[key] = read_image(path)
        return self.images[key]


def read_host(folder):
    """What each of the host's DLLs exports: its names and its ordinals."""
    host = {}
    entries = os.listdir(folder)
    for module in IMPLEMENTED:
        path = [os.path.join(folder, e) for e in entries if e.upper() == module][0]
        pe = pefile.PE(path, fast_load=True)
        pe.parse_data_directories(directories=DIRECTORIES)
        symbols = pe.DIRECTORY_ENTRY_EXPORT.symbols if hasattr(pe, "DIRECTORY_ENTRY_EXPORT") else []
        host[module] = ({s.name for s in symbols if s.name is not None}, {s.ordinal for s in symbols})
        pe.close()
    return host


class Walk:
    """The closure of one image under one host."""

    def __init__(self, files, folders, host):
        self.files = files
        self.folders = folders
        self.host = host
        self.nodes = {}  # upper-cased name -> [kind, info, delayed]
        self.order = []
        self.resolved = {}
        self.functions = {}  # (module, needed by, function) -> (found, delayed)

    def meet(self, name, delayed):
        key = name.upper()
        if key not in self.nodes:
            node = ["not found", None, delayed]
            if key in IMPLEMENTED:
                node[0] = "emulated"
            elif key in SYSTEM:
                node[0] = "not implemented"
            else:
                for folder in self.folders:
                    path = self.files.find(folder, name)
                    info = self.files.read(path) if path is not None else None
                    if info is not None:
                        node[0] = "file" if info.state == "read" else info.state
                        node[1] = info
                        break
            self.nodes[key] = node
            self.order.append(key)
        return self.nodes[key]

    def resolve(self, module, function, delayed):
        """Follows a function through its forwarders: True when it is found."""
        chain = []
        on_chain = set()
        at = (module, function)
        found = False
        while True:
            if at in self.resolved:
                found = self.resolved[at]
                break
            if at in on_chain:
                found = False
                break
            on_chain.add(at)
            chain.append(at)
            kind, info, _ = self.nodes[at[0]]
            if kind == "emulated":
                names, ordinals = self.host[at[0]]
                found = at[1] in (ordinals if isinstance(at[1], int) else names)
                break
            if kind != "file":
                found = False
                break
            exports = info.by_ordinal if isinstance(at[1], int) else info.by_name
            if at[1] not in exports:
                found = False
                break
            forwarder = exports[at[1]]
            if forwarder is None:
                found = True
                break
            dot = forwarder.rfind(b".")
            if dot < 0:
                found = False
                break
            target = forwarder[:dot] + b".dll"
            tail = forwarder[dot + 1:]
            if 1 < len(tail) <= 6 and tail[:1] == b"#" and tail[1:].isdigit():
                tail = int(tail[1:])
            self.meet(target, delayed)
            at = (target.upper(), tail)
        for pair in chain:
            self.resolved[pair] = found
        return found

    def follow(self, importer, module, functions, delayed):
        node = self.meet(module, delayed)
        if node[0] not in ("emulated", "file"):
            return
        key = module.upper()
        for function in functions:
            found = self.resolve(key, function, delayed)
            entry = (key, importer, function)
            if entry not in self.functions or (self.functions[entry][1] and not delayed):
                self.functions[entry] = (found, delayed)

    def run(self, path):
        """(loads, delayed problems) of the image at `path`."""
        root = self.files.read(path)
        if root is None or root.state != "read":
            return False, 0
        root_key = os.path.basename(path).upper()
        self.nodes[root_key] = ["file", root, False]
        self.order.append(root_key)
        i = 0
        while i < len(self.order):
            key = self.order[i]
            kind, info, _ = self.nodes[key]
            if kind == "file":
                for module, delayed, functions in info.imports:
                    if not delayed:
                        self.follow(key, module, functions, False)
            i += 1
        load_time = len(self.order)
        i = 0
        while i < len(self.order):
            key = self.order[i]
            kind, info, _ = self.nodes[key]
            if kind == "file":
                for module, delayed, functions in info.imports:
                    if i >= load_time or delayed:
                        self.follow(key, module, functions, True)
            i += 1
        loads = True
        problems = 0
        for key, (kind, _, delayed) in self.nodes.items():
            if key != root_key and kind not in ("emulated", "file"):
                if delayed:
                    problems += 1
                else:
                    loads = False
        for found, delayed in self.functions.values():
            if not found:
                if delayed:
                    problems += 1
                else:
                    loads = False
        return loads, problems


def main():
    args = [os.fsencode(a) for a in sys.argv[1:]]
    if len(args) < 3 or args[0] != b"--host":
        sys.stderr.write("usage: pefile_walk.py --host DIR IMAGE...\n")
        return 2
    host = read_host(args[1])
    files = Files()
    loading = failing = problems = 0
    out = []
    for image in args[2:]:
        folder = os.path.dirname(image)
        loads, delayed = Walk(files, [folder], host).run(image)
        problems += delayed
        if loads:
            loading += 1
        else:
            failing += 1
        out.append(("loads " if loads else "fails ") + os.fsdecode(image))
    out.append("%d images: %d load, %d do not load; %d delayed problems" %
               (loading + failing, loading, failing, problems))
    sys.stdout.write("\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
