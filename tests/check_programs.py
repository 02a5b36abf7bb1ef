#!/usr/bin/python3
"""Checks zymran-check on small real programs and DLLs, one rule a row.

  check_programs.py ZYMRAN_CHECK WORK_DIR LLD_LINK LLVM_DLLTOOL

Each row builds its images in WORK_DIR/ROW with the i686 mingw-w64 toolchain
(import tables in .idata) or with lld-link (import tables in .rdata, and the
only one of the two that fills the delay-load import directory), runs
zymran-check there and compares its exit status and its whole output, the
standard output followed by the standard error. Each row that reports is run
again with --json, whose document is checked key by key.
"""
import json
import os
import shutil
import subprocess
import sys

CHECK, WORK, LLD_LINK, LLVM_DLLTOOL = sys.argv[1:5]
CHECK = os.path.abspath(CHECK)
failures = []


def run(*args, cwd):
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("%s failed in %s:\n%s%s" % (" ".join(args), cwd, done.stdout, done.stderr))


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def build(folder, path, imports=(), exports=(), delayed=(), lld=False, wide=False, damaged=False):
    """Builds `path` under `folder`: a DLL when its name ends in .dll. Imports
    are "MODULE:Function" or "MODULE:#7", each called once from the entry
    point; exports are the EXPORTS lines of a module-definition file; an
    image that is `damaged` gets an export directory beyond its end."""
    out = os.path.abspath(os.path.join(folder, path))
    tmp = os.path.join(folder, "obj", path.replace("/", "_"))
    os.makedirs(tmp)
    os.makedirs(os.path.dirname(out), exist_ok=True)
    modules, calls = {}, []
    for k, entry in enumerate(list(imports) + list(delayed)):
        module, function = entry.split(":")
        symbol = "o%d" % k if function[0] == "#" else function
        ordinal = " @%s NONAME" % function[1:] if function[0] == "#" else ""
        modules.setdefault(module, []).append(symbol + ordinal)
        calls.append(symbol)
    source = "".join("int %s(void);\n" % s for s in calls)
    source += "".join("int %s(void) { return 0; }\n" % e.split()[0] for e in exports if "=" not in e)
    if delayed:
        source += "void *__stdcall __delayLoadHelper2(void *a, void *b) { return b; }\n"
    write(os.path.join(tmp, "x.c"), source + "int entry(void) { return 0%s; }\n" %
          "".join(" + %s()" % s for s in calls))
    cc = "x86_64-w64-mingw32-gcc" if wide else "i686-w64-mingw32-gcc"
    run(cc, "-c", "x.c", cwd=tmp)
    libs = []
    for i, (module, lines) in enumerate(modules.items()):
        write(os.path.join(tmp, "m%d.def" % i), "LIBRARY %s\nEXPORTS\n%s\n" % (module, "\n".join(lines)))
        libs.append("m%d.lib" % i)
        tool = [LLVM_DLLTOOL, "-m", "i386"] if lld else ["i686-w64-mingw32-dlltool"]
        run(*tool, "-d", "m%d.def" % i, "-l", libs[-1], cwd=tmp)
    dll = path.lower().endswith(".dll")
    if lld:
        run(LLD_LINK, "/safeseh:no", "/nodefaultlib", "/entry:entry", "/subsystem:console", "/out:" + out,
            "x.o", *libs, *(["/dll"] if dll else []),
            *["/export:" + e.replace(" = ", "=").replace(" @", ",@").replace(" NONAME", ",NONAME")
              for e in exports],
            *["/delayload:" + m for m in sorted({e.split(":")[0] for e in delayed})], cwd=tmp)
    else:
        write(os.path.join(tmp, "x.def"), "EXPORTS\n%s\n" % "\n".join(exports))
        run(cc, "-nostdlib", "-Wl,-e," + ("entry" if wide else "_entry"), *(["-shared"] if dll else []),
            "-o", out, "x.o", *libs, *(["x.def"] if exports else []), cwd=tmp)
    if damaged:
        with open(out, "r+b") as f:
            pe = int.from_bytes(f.read(0x40)[0x3C:], "little")
            f.seek(pe + 0x18 + 0x60)
            f.write((0xF00000).to_bytes(4, "little"))


def sections(path):
    done = subprocess.run(["i686-w64-mingw32-objdump", "-h", path], capture_output=True, text=True, check=True)
    return {line.split()[1] for line in done.stdout.splitlines() if line.split()[:1] and line.split()[0].isdigit()}


# ---- The hosts -------------------------------------------------------------

KERNEL32 = ["GetVersion @1", "CreateFileA @7", "Hidden @9 NONAME"]
HOSTS = os.path.join(WORK, "hosts")


def host_defs(folder, user32=True):
    write(os.path.join(folder, "kernel32.def"), "LIBRARY KERNEL32.dll\nEXPORTS\n%s\n" % "\n".join(KERNEL32))
    write(os.path.join(folder, "ntdll.def"), "LIBRARY NTDLL.dll\nEXPORTS\nNtClose\n")
    if user32:
        write(os.path.join(folder, "USER32.DEF"), "LIBRARY USER32\nEXPORTS\nMessageBoxA\n")


# ---- The table -------------------------------------------------------------

APP = "app/APP.EXE"
LOADS = "app/APP.EXE under 1.0: loads\n"
FAILS = "app/APP.EXE under 1.0: does not load\n"
ROWS = [
    ("imports read from .rdata, where lld-link puts them", {
        APP: dict(imports=["KERNEL32.dll:GetVersion", "USER32.dll:MessageBoxA", "helper.dll:Help"], lld=True),
        "app/helper.dll": dict(exports=["Help"], lld=True)},
     ["--all", APP], 0, LOADS +
     "  module helper.dll: file app/helper.dll (needed by APP.EXE)\n"
     "  module KERNEL32.dll: emulated (needed by APP.EXE)\n"
     "  module USER32.dll: emulated (needed by APP.EXE)\n"
     "  function helper.dll Help: found (needed by APP.EXE)\n"
     "  function KERNEL32.dll GetVersion: implemented (needed by APP.EXE)\n"
     "  function USER32.dll MessageBoxA: implemented (needed by APP.EXE)\n"),
    ("an emulated function by ordinal: implemented when the host carries it", {
        APP: dict(imports=["KERNEL32.dll:#9", "KERNEL32.dll:#8", "KERNEL32.dll:#7"])},
     ["--all", APP], 1, FAILS +
     "  module KERNEL32.dll: emulated (needed by APP.EXE)\n"
     "  function KERNEL32.dll #7: implemented (needed by APP.EXE)\n"
     "  function KERNEL32.dll #8: not implemented (needed by APP.EXE)\n"
     "  function KERNEL32.dll #9: implemented (needed by APP.EXE)\n"),
    ("a DLL's function by ordinal, named or not", {
        APP: dict(imports=["helper.dll:#2", "helper.dll:#5", "helper.dll:#1"]),
        "app/helper.dll": dict(exports=["One @1", "Two @2 NONAME"])},
     ["--all", APP], 1, FAILS +
     "  module helper.dll: file app/helper.dll (needed by APP.EXE)\n"
     "  function helper.dll #1: found (needed by APP.EXE)\n"
     "  function helper.dll #2: found (needed by APP.EXE)\n"
     "  function helper.dll #5: missing (needed by APP.EXE)\n"),
    ("forwarders by name and by ordinal bring their DLL in", {
        APP: dict(imports=["fwd.dll:Ping", "fwd.dll:Pang", "fwd.dll:Peng"]),
        "app/fwd.dll": dict(exports=["Ping = target.Pong", "Pang = target.#3", "Peng = target.Gone"], lld=True),
        "app/TARGET.DLL": dict(exports=["Pong", "Other @3 NONAME"])},
     ["--all", APP], 1, FAILS +
     "  module fwd.dll: file app/fwd.dll (needed by APP.EXE)\n"
     "  module target.dll: file app/TARGET.DLL (needed by fwd.dll)\n"
     "  function fwd.dll Pang: found (needed by APP.EXE)\n"
     "  function fwd.dll Peng: missing, forwarded to target.dll Gone (needed by APP.EXE)\n"
     "  function fwd.dll Ping: found (needed by APP.EXE)\n"),
    ("a forwarder chain that comes back is missing", {
        APP: dict(imports=["loop1.dll:Ping"]),
        "app/loop1.dll": dict(exports=["Ping = loop2.Ping"]),
        "app/loop2.dll": dict(exports=["Ping = loop1.Ping"], lld=True)},
     [APP], 1, FAILS + "  function loop1.dll Ping: missing, forwarder loop (needed by APP.EXE)\n"),
    ("two DLLs that import from each other load", {
        APP: dict(imports=["a.dll:Fa"]),
        "app/a.dll": dict(imports=["b.dll:Fb"], exports=["Fa"]),
        "app/b.dll": dict(imports=["a.dll:Fa"], exports=["Fb"])},
     ["--all", APP], 0, LOADS +
     "  module a.dll: file app/a.dll (needed by APP.EXE, b.dll)\n"
     "  module b.dll: file app/b.dll (needed by a.dll)\n"
     "  function a.dll Fa: found (needed by APP.EXE)\n"
     "  function a.dll Fa: found (needed by b.dll)\n"
     "  function b.dll Fb: found (needed by a.dll)\n"),
    ("a delay-loaded DLL that is missing never decides", {
        APP: dict(imports=["KERNEL32.dll:GetVersion"], delayed=["ghost.dll:Boo"], lld=True)},
     [APP], 0, LOADS +
     "  module ghost.dll: not found (needed by APP.EXE; delayed)\n"
     "  1 delayed problem, met only when that code runs\n"),
    ("what a delay-loaded DLL imports is delayed too", {
        APP: dict(imports=["KERNEL32.dll:GetVersion"], delayed=["lazy.dll:Work"], lld=True),
        "app/lazy.dll": dict(imports=["KERNEL32.dll:NoSuch", "KERNEL32.dll:GetVersion"], exports=["Work"])},
     [APP], 0, LOADS +
     "  function KERNEL32.dll NoSuch: not implemented (needed by lazy.dll; delayed)\n"
     "  1 delayed problem, met only when that code runs\n"),
    ("a damaged DLL in the closure", {
        APP: dict(imports=["bad.dll:Bad"]),
        "app/bad.dll": dict(exports=["Bad"], damaged=True)},
     [APP], 1, FAILS + "  module bad.dll: damaged, app/bad.dll: export directory at address 0x00F00000 lies "
     "outside the file's data (needed by APP.EXE)\n"),
    ("a 64-bit DLL that a DLL imports from", {
        APP: dict(imports=["mid.dll:Mid"]),
        "app/mid.dll": dict(imports=["wide.dll:Wide"], exports=["Mid"]),
        "app/wide.dll": dict(exports=["Wide"], wide=True)},
     [APP], 1, FAILS + "  module wide.dll: 64-bit, app/wide.dll (needed by mid.dll)\n"),
    ("a DLL found only in a --path folder", {
        APP: dict(imports=["far.dll:Far"]),
        "lib/far.dll": dict(exports=["Far"])},
     ["--all", "--path", "lib", APP, "lib/far.dll"], 0, LOADS +
     "  module far.dll: file lib/far.dll (needed by APP.EXE)\n"
     "  function far.dll Far: found (needed by APP.EXE)\n"
     "lib/far.dll under 1.0: loads\n"),
    ("a DLL's file named in another case than the import", {
        APP: dict(imports=["Helper.DLL:Help"]),
        "app/hElPeR.dll": dict(exports=["Help"])},
     ["--all", APP], 0, LOADS +
     "  module Helper.DLL: file app/hElPeR.dll (needed by APP.EXE)\n"
     "  function Helper.DLL Help: found (needed by APP.EXE)\n"),
    ("two hosts that differ in one function", {
        APP: dict(imports=["KERNEL32.dll:GetVersion", "KERNEL32.dll:CreateFileW"])},
     ["--host", "1.0=../hosts/1.0", "--host", "2.0=../hosts/2.0", APP], 1, FAILS +
     "  function KERNEL32.dll CreateFileW: not implemented (needed by APP.EXE)\n"
     "app/APP.EXE under 2.0: loads\n"
     "\nFunctions missing under some host:\n"
     "  function                  needed by  1.0      2.0\n"
     "  KERNEL32.dll CreateFileW  APP.EXE    missing  found\n"),
    ("an image that can't be opened: status 2, the others still checked", {
        APP: dict(imports=["KERNEL32.dll:GetVersion"]),
        "app/NEEDS.EXE": dict(imports=["KERNEL32.dll:CreateFileW"])},
     ["app/NONE.EXE", APP, "app/NEEDS.EXE"], 2,
     "app/NONE.EXE under 1.0: does not load\n"
     "  NONE.EXE: can't be opened\n" + LOADS +
     "app/NEEDS.EXE under 1.0: does not load\n"
     "  function KERNEL32.dll CreateFileW: not implemented (needed by NEEDS.EXE)\n"
     "zymran-check: app/NONE.EXE: can't be opened\n"),
    ("a host folder without USER32", {APP: dict(imports=["KERNEL32.dll:GetVersion"])},
     ["--host", "old=../hosts/nouser", APP], 2,
     "zymran-check: host old: ../hosts/nouser: holds no USER32.DLL or USER32.DEF\n"),
    ("an option that does not exist", {APP: dict()},
     ["--fast", APP], 2, "zymran-check: The following argument was not expected: --fast (see --help)\n"),
]


# ---- The JSON document -----------------------------------------------------

S, B, I, N = str, bool, int, type(None)
SHAPES = {
    "document": {"format": (S,), "hosts": (list,), "images": (list,)},
    "image": {"image": (S,), "results": (list,)},
    "result": {"host": (S,), "loads": (B,), "error": (S, N), "modules": (list,), "missing": (list,)},
    "module": {"name": (S,), "kind": (S,), "file": (S, N), "delayed": (B,), "needed_by": (list,), "error": (S, N)},
    "missing": {"module": (S,), "function": (S, N), "ordinal": (I, N), "needed_by": (S,), "delayed": (B,)},
}
KINDS = {"emulated": False, "not implemented": False, "not found": False, "file": True, "damaged": True,
         "64-bit": True}


def shape_faults(value, shape):
    keys = SHAPES[shape]
    if not isinstance(value, dict) or list(value) != list(keys):
        return ["%s: keys %s" % (shape, list(value) if isinstance(value, dict) else value)]
    return ["%s.%s: %r" % (shape, k, value[k]) for k, types in keys.items()
            if type(value[k]) not in types]


def json_faults(doc, hosts, text):
    faults = shape_faults(doc, "document")
    if faults:
        return faults
    if doc["format"] != "zymran-check 1" or doc["hosts"] != hosts:
        faults.append("format or hosts: %r %r" % (doc["format"], doc["hosts"]))
    for image in doc["images"]:
        faults += shape_faults(image, "image")
        for r in image.get("results", []):
            faults += shape_faults(r, "result")
            if faults:
                return faults
            verdict = "%s under %s: %s\n" % (image["image"], r["host"], "loads" if r["loads"] else "does not load")
            if verdict not in text:
                faults.append("no text line " + verdict)
            for m in r["modules"]:
                faults += shape_faults(m, "module")
                if not faults and (m["kind"] not in KINDS or (m["file"] is None) == KINDS[m["kind"]]
                                   or (m["error"] is None) != (m["kind"] != "damaged")
                                   or m["needed_by"] != sorted(m["needed_by"])):
                    faults.append("module %r" % m)
            for f in r["missing"]:
                faults += shape_faults(f, "missing")
                if not faults and (f["function"] is None) == (f["ordinal"] is None):
                    faults.append("missing %r" % f)
            if faults:
                return faults
            if [m["name"].upper() for m in r["modules"]] != sorted(m["name"].upper() for m in r["modules"]):
                faults.append("modules out of order")
            order = [(f["module"].upper(), f["needed_by"], f["ordinal"] is not None, f["function"] or "",
                      f["ordinal"] or 0) for f in r["missing"]]
            if order != sorted(order):
                faults.append("missing functions out of order")
    return faults


# ---- Running the table -----------------------------------------------------

def main():
    shutil.rmtree(WORK, ignore_errors=True)
    host_defs(os.path.join(HOSTS, "1.0"))
    host_defs(os.path.join(HOSTS, "nouser"), user32=False)
    for name, exports in [("KERNEL32.DLL", KERNEL32 + ["CreateFileW"]), ("ntdll.dll", ["NtClose"]),
                          ("User32.Dll", ["MessageBoxA"])]:
        build(os.path.join(HOSTS, "2.0"), name, exports=exports)
    for number, (rule, images, args, status, expected) in enumerate(ROWS, 1):
        folder = os.path.join(WORK, "row%02d" % number)
        for path, how in images.items():
            build(folder, path, **how)
        if "--host" not in args:
            args = ["--host", "1.0=../hosts/1.0"] + args
        done = subprocess.run([CHECK] + args, cwd=folder, capture_output=True, text=True, timeout=60)
        got = done.stdout + done.stderr
        ok = done.returncode == status and got == expected
        if ok and images[APP].get("lld"):
            names = sections(os.path.join(folder, APP))
            ok = ".rdata" in names and ".idata" not in names
            got += "sections: %s\n" % sorted(names)
        if ok and done.stdout:
            hosts = [args[i + 1].split("=")[0] for i, a in enumerate(args) if a == "--host"]
            js = subprocess.run([CHECK, "--json"] + args, cwd=folder, capture_output=True, text=True)
            faults = json_faults(json.loads(js.stdout), hosts, done.stdout) if js.returncode == status else ["status"]
            ok, got = not faults, got + "JSON: %s\n%s" % ("; ".join(faults), js.stdout)
        print("%-72s %s" % (rule, "ok" if ok else "FAILED"))
        if not ok:
            failures.append(rule)
            print("  status %d, expected %d; got:\n%s  expected:\n%s" % (done.returncode, status, got, expected))
    print("%d rows" % len(ROWS))
    sys.exit(1 if failures else 0)


main()
