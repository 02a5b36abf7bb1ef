#!/usr/bin/python3
"""Checks zymran-check on small real programs and DLLs, one rule a row: the
rules that only a real toolchain shows (import tables in .rdata, the
delay-load import directory that lld-link fills). The rules that images made
by the project's image builder show are rows of tests/check_run_test.cc.

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


def build(folder, path, imports=(), exports=(), delayed=(), lld=False):
    """Builds `path` under `folder`: a DLL when its name ends in .dll. Imports
    are "MODULE:Function" or "MODULE:#7", each called once from the entry
    point; exports are the EXPORTS lines of a module-definition file."""
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
    cc = "i686-w64-mingw32-gcc"
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
        run(cc, "-nostdlib", "-Wl,-e,_entry", *(["-shared"] if dll else []),
            "-o", out, "x.o", *libs, *(["x.def"] if exports else []), cwd=tmp)


def sections(path):
    done = subprocess.run(["i686-w64-mingw32-objdump", "-h", path], capture_output=True, text=True, check=True)
    return {line.split()[1] for line in done.stdout.splitlines() if line.split()[:1] and line.split()[0].isdigit()}


# ---- The hosts -------------------------------------------------------------

KERNEL32 = ["GetVersion @1", "CreateFileA @7", "Hidden @9 NONAME"]
HOSTS = os.path.join(WORK, "hosts")


def host_defs(folder):
    write(os.path.join(folder, "kernel32.def"), "LIBRARY KERNEL32.dll\nEXPORTS\n%s\n" % "\n".join(KERNEL32))
    write(os.path.join(folder, "ntdll.def"), "LIBRARY NTDLL.dll\nEXPORTS\nNtClose\n")
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
    ("a delay-loaded DLL that is missing never decides", {
        APP: dict(imports=["KERNEL32.dll:GetVersion"], delayed=["ghost.dll:Boo"], lld=True)},
     [APP], 0, LOADS +
     "  module ghost.dll: not found in app/ (needed by APP.EXE; delayed)\n"
     "  function ghost.dll Boo: module not found (needed by APP.EXE; delayed)\n"
     "  1 delayed problem, met only when that code runs\n"),
    ("what a delay-loaded DLL imports is delayed too", {
        APP: dict(imports=["KERNEL32.dll:GetVersion"], delayed=["lazy.dll:Work"], lld=True),
        "app/lazy.dll": dict(imports=["KERNEL32.dll:NoSuch", "KERNEL32.dll:GetVersion"], exports=["Work"])},
     [APP], 0, LOADS +
     "  function KERNEL32.dll NoSuch: not implemented (needed by lazy.dll; via APP.EXE > lazy.dll; delayed)\n"
     "  1 delayed problem, met only when that code runs\n"),]


# ---- The JSON document -----------------------------------------------------

S, B, I, N = str, bool, int, type(None)
SHAPES = {
    "document": {"format": (S,), "hosts": (list,), "images": (list,)},
    "image": {"image": (S,), "results": (list,), "loads_under": (list,), "loads_from": (S, N)},
    "result": {"host": (S,), "loads": (B,), "passes": (B,), "error": (S, N), "modules": (list,), "missing": (list,),
               "delay_load_damage": (list,)},
    "result --all": {"host": (S,), "loads": (B,), "passes": (B,), "error": (S, N), "modules": (list,),
                     "missing": (list,), "found": (list,), "delay_load_damage": (list,)},
    "module": {"name": (S,), "kind": (S,), "file": (S, N), "delayed": (B,), "needed_by": (list,), "error": (S, N),
               "chain": (list,), "functions": (list,), "known": (B,)},
    "missing": {"module": (S,), "function": (S, N), "ordinal": (I, N), "needed_by": (S,), "delayed": (B,),
                "chain": (list,), "known": (B,)},
}
KINDS = {"emulated": False, "not implemented": False, "not found": False, "file": True, "unreadable": True,
         "damaged": True, "64-bit": True}


def shape_faults(value, shape):
    keys = SHAPES[shape]
    if not isinstance(value, dict) or list(value) != list(keys):
        return ["%s: keys %s" % (shape, list(value) if isinstance(value, dict) else value)]
    return ["%s.%s: %r" % (shape, k, value[k]) for k, types in keys.items()
            if type(value[k]) not in types]


def json_faults(doc, hosts, text, all):
    faults = shape_faults(doc, "document")
    if faults:
        return faults
    if doc["format"] != "zymran-check 1" or doc["hosts"] != hosts:
        faults.append("format or hosts: %r %r" % (doc["format"], doc["hosts"]))
    for image in doc["images"]:
        faults += shape_faults(image, "image")
        for r in image.get("results", []):
            faults += shape_faults(r, "result --all" if all else "result")
            if faults:
                return faults
            verdict = "%s under %s: %s\n" % (image["image"], r["host"], "loads" if r["loads"] else "does not load")
            if verdict not in text:
                faults.append("no text line " + verdict)
            for m in r["modules"]:
                faults += shape_faults(m, "module")
                if not faults and (m["kind"] not in KINDS or (m["file"] is None) == KINDS[m["kind"]]
                                   or (m["error"] is None) != (m["kind"] not in ("damaged", "unreadable"))
                                   or m["needed_by"] != sorted(m["needed_by"])):
                    faults.append("module %r" % m)
            for f in r["missing"] + r.get("found", []):
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
            faults = json_faults(json.loads(js.stdout), hosts, done.stdout, "--all" in args) if js.returncode == status else ["status"]
            ok, got = not faults, got + "JSON: %s\n%s" % ("; ".join(faults), js.stdout)
        print("%-72s %s" % (rule, "ok" if ok else "FAILED"))
        if not ok:
            failures.append(rule)
            print("  status %d, expected %d; got:\n%s  expected:\n%s" % (done.returncode, status, got, expected))
    print("%d rows" % len(ROWS))
    sys.exit(1 if failures else 0)


main()
