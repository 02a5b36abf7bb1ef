#!/usr/bin/python3
"""Compiles small Windows programs and DLLs with the i686 mingw-w64 toolchain,
then checks zymran's report on each against an independent reading of the
same file by the pefile module: the same modules in the same order, the same
function names in the same order, and each status word as the stand-in
profile says. An ordinal import from an emulated module must end the run with
the failed check of line 172.

usage: pefile_compare.py ZYMRAN PROFILE_DIR PROGRAMS_DIR WORK_DIR
"""
import os
import subprocess
import sys

import pefile

SYSTEM = ["KERNEL32.DLL", "NTDLL.DLL", "USER32.DLL", "GDI32.DLL"]
EMULATED = ["KERNEL32.DLL", "NTDLL.DLL", "USER32.DLL"]
ORDINAL_CHECK = (b"\r\nAssertion failed: !(*impOrd & 0x80000000), file ZYMRAN, line 172\r\n"
                 b"\r\nAbnormal program termination\r\n")


def read_profile(folder):
    """Module name in upper case -> set of export names."""
    modules = {}
    for entry in sorted(os.listdir(folder)):
        if not entry.endswith(".def"):
            continue
        name, exports, in_exports = None, set(), False
        with open(os.path.join(folder, entry), encoding="latin-1") as f:
            for line in f:
                words = line.split(";", 1)[0].split()
                if not words:
                    continue
                if words[0] == "LIBRARY":
                    name = words[1].strip('"')
                elif words[0] == "EXPORTS":
                    in_exports = True
                elif in_exports:
                    exports.add(words[0])
        if "." not in name:
            name += ".dll"
        modules[name.upper()] = exports
    return modules


def build(cc, dlltool, src, out):
    def run(*args):
        subprocess.run(args, cwd=out, check=True)

    def s(name):
        return os.path.join(src, name)

    run(cc, "-O1", "-shared", "-o", "helper.dll", s("helper.c"), "-Wl,--out-implib,libhelper.a")
    run(cc, "-O1", "-o", "console.exe", s("console.c"))
    run(cc, "-O1", "-shared", "-o", "multi.dll", s("multi.c"), "-L.", "-lhelper",
        "-luser32", "-lgdi32", "-lntdll")
    run(dlltool, "-d", s("helper_by_ordinal.def"), "-l", "libhelper_ord.a")
    run(cc, "-O1", "-shared", "-o", "ordinal_helper.dll", s("ordinal_helper.c"), "libhelper_ord.a")
    run(dlltool, "-k", "-d", s("kernel32_by_ordinal.def"), "-l", "libk32ord.a")
    run(cc, "-O1", "-o", "ordinal_kernel32.exe", s("ordinal_kernel32.c"), "libk32ord.a")
    return ["helper.dll", "console.exe", "multi.dll", "ordinal_helper.dll", "ordinal_kernel32.exe"]


def expected_report(path, profile):
    """The report lines that pefile's reading and the profile call for, and
    whether an ordinal import from an emulated module ends the run."""
    pe = pefile.PE(path)
    lines = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        module = entry.dll.decode("latin-1")
        key = module.upper()
        if key not in SYSTEM:
            lines.append("\r\nModule %s is not a system module.\r\n" % module)
            continue
        if key not in EMULATED:
            lines.append("\r\nThe Orvanel 32bit DOS extender does not implement %s\r\n" % module)
            continue
        lines.append("\r\nImports from %s\r\n" % module)
        for imp in entry.imports:
            if imp.import_by_ordinal:
                return "".join(lines), True
            name = imp.name.decode("latin-1")
            word = "Implemented" if name in profile.get(key, set()) else "Not implemented"
            lines.append(name.ljust(40) + word + "\r\n")
    return "".join(lines), False


def main():
    zymran, profile_dir, src, work = (os.path.abspath(a) for a in sys.argv[1:5])
    os.makedirs(work, exist_ok=True)
    profile = read_profile(profile_dir)
    images = build("i686-w64-mingw32-gcc", "i686-w64-mingw32-dlltool", src, work)
    failures = 0
    ordinal_kernel_seen = False
    for image in images:
        path = os.path.join(work, image)
        report, ordinal_stop = expected_report(path, profile)
        run = subprocess.run([zymran, path], capture_output=True)
        out = run.stdout.split(b"\r\n", 2)[2].decode("latin-1") if run.stdout else ""
        if ordinal_stop:
            ordinal_kernel_seen |= image == "ordinal_kernel32.exe"
            # Through a pipe the lines still in the buffer are lost: what did
            # appear is the start of the expected report.
            ok = (run.returncode == 3 and run.stderr == ORDINAL_CHECK
                  and report.startswith(out))
        else:
            ok = run.returncode == 0 and run.stderr == b"" and out == report
        print("%-24s %s" % (image, "agrees" if ok else "DIFFERS"))
        if not ok:
            failures += 1
            print("  status %d, stderr %r" % (run.returncode, run.stderr))
            print("  zymran:   %r" % out)
            print("  expected: %r" % report)
    if not ordinal_kernel_seen:
        print("ordinal_kernel32.exe did not import by ordinal from KERNEL32")
        failures += 1
    print("%d passed, %d failed" % (len(images) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
