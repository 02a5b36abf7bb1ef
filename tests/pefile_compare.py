#!/usr/bin/python3
"""Checks zymran and zymran-profile on real images against an independent
reading of the same files by the pefile module, and checks what is installed
and packed.

  pefile_compare.py imports ZYMRAN PROFILE_DIR PROGRAMS_DIR WORK_DIR
      compiles small programs and DLLs with the i686 mingw-w64 toolchain and
      checks zymran's report on each: the same modules in the same order, the
      same function names in the same order, each status word as the profile
      says; an ordinal import from an emulated module ends with check 172.
  pefile_compare.py exports PROFILE_TOOL PROGRAMS_DIR WORK_DIR WINE_DLLS
      checks that zymran-profile names exactly the exports that pefile reads,
      on wine's 64-bit DLLs, on an i686 DLL with forwarders, NONAME and DATA
      entries, and on an i686 DLL of 1,500 forwarded exports.
  pefile_compare.py host-dlls SOURCE_DIR PROGRAMS_DIR WORK_DIR
      builds i686 DLLs named KERNEL32.DLL, NTDLL.DLL and USER32.DLL, builds the
      tool from them with -DZYMRAN_HOST_DLLS, and checks that its report says
      "Implemented" exactly for what those DLLs export.
  pefile_compare.py package BUILD_DIR I686_BUILD_DIR WORK_DIR
      checks what `cmake --install` puts under a prefix, and the ZIP that
      cpack makes from the i686 build: ZYMRAN.EXE and README.TXT, 8.3 names,
      DOS text.
"""
import os
import re
import shutil
import subprocess
import sys
import zipfile

import pefile

SYSTEM = ["KERNEL32.DLL", "NTDLL.DLL", "USER32.DLL", "GDI32.DLL"]
EMULATED = ["KERNEL32.DLL", "NTDLL.DLL", "USER32.DLL"]
ORDINAL_CHECK = (b"\r\nAssertion failed: !(*impOrd & 0x80000000), file ZYMRAN, line 172\r\n"
                 b"\r\nAbnormal program termination\r\n")
CC = "i686-w64-mingw32-gcc"
failures = []


def check(ok, what, detail=""):
    print("%-60s %s" % (what, "ok" if ok else "FAILED"))
    if not ok:
        failures.append(what)
        if detail:
            print("  " + detail)


def run(*args, cwd=None):
    subprocess.run(args, cwd=cwd, check=True)


def read_def(path):
    """(module, names) of a module-definition file written by zymran-profile
    or by hand: one name a line, quoted or not, after EXPORTS."""
    module, names, in_exports = None, [], False
    with open(path, encoding="latin-1") as f:
        for line in f:
            words = line.split(";", 1)[0].strip()
            if not words:
                continue
            first = words[1:words.index('"', 1)] if words.startswith('"') else words.split()[0]
            if first == "LIBRARY":
                module = words.split(None, 1)[1].strip().strip('"')
            elif first == "EXPORTS":
                in_exports = True
            elif in_exports:
                names.append(first)
    return module, names


def read_profile(folder):
    """Module name in upper case -> set of export names."""
    modules = {}
    for entry in sorted(os.listdir(folder)):
        if entry.endswith(".def"):
            name, exports = read_def(os.path.join(folder, entry))
            if "." not in name:
                name += ".dll"
            modules[name.upper()] = set(exports)
    return modules


def pefile_exports(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[0])
    if not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        return set()
    return {e.name.decode("latin-1") for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name}


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


def compare_report(zymran, path, profile, title):
    report, ordinal_stop = expected_report(path, profile)
    result = subprocess.run([zymran, path], capture_output=True)
    out = result.stdout.split(b"\r\n", 2)[2].decode("latin-1") if result.stdout else ""
    if ordinal_stop:
        # Through a pipe the lines still in the buffer are lost: what did
        # appear is the start of the expected report.
        ok = result.returncode == 3 and result.stderr == ORDINAL_CHECK and report.startswith(out)
    else:
        ok = result.returncode == 0 and result.stderr == b"" and out == report
    check(ok, title, "status %d, stderr %r\n  zymran:   %r\n  expected: %r"
          % (result.returncode, result.stderr, out, report))
    return ordinal_stop


def build_programs(src, out):
    def s(name):
        return os.path.join(src, name)

    dlltool = "i686-w64-mingw32-dlltool"
    run(CC, "-O1", "-shared", "-o", "helper.dll", s("helper.c"), "-Wl,--out-implib,libhelper.a", cwd=out)
    run(CC, "-O1", "-o", "console.exe", s("console.c"), cwd=out)
    run(CC, "-O1", "-shared", "-o", "multi.dll", s("multi.c"), "-L.", "-lhelper",
        "-luser32", "-lgdi32", "-lntdll", cwd=out)
    run(dlltool, "-d", s("helper_by_ordinal.def"), "-l", "libhelper_ord.a", cwd=out)
    run(CC, "-O1", "-shared", "-o", "ordinal_helper.dll", s("ordinal_helper.c"), "libhelper_ord.a", cwd=out)
    run(dlltool, "-k", "-d", s("kernel32_by_ordinal.def"), "-l", "libk32ord.a", cwd=out)
    run(CC, "-O1", "-o", "ordinal_kernel32.exe", s("ordinal_kernel32.c"), "libk32ord.a", cwd=out)
    return ["helper.dll", "console.exe", "multi.dll", "ordinal_helper.dll", "ordinal_kernel32.exe"]


def imports(zymran, profile_dir, src, work):
    profile = read_profile(profile_dir)
    stopped = [image for image in build_programs(src, work)
               if compare_report(zymran, os.path.join(work, image), profile, image)]
    check("ordinal_kernel32.exe" in stopped, "ordinal_kernel32.exe imports by ordinal from KERNEL32")


def exports(tool, src, work, wine_dlls):
    run(CC, "-O1", "-shared", "-o", "exports.dll", os.path.join(src, "exports.c"),
        os.path.join(src, "exports.def"), cwd=work)
    defs = os.path.join(work, "many.def")
    with open(defs, "w") as f:
        f.write("LIBRARY many.dll\nEXPORTS\n" +
                "".join("Function%04d = KERNEL32.ExitProcess\n" % i for i in range(1500)))
    run(CC, "-shared", "-nostdlib", "-o", "many.dll", defs, "-lkernel32", cwd=work)
    dlls = [os.path.join(work, "exports.dll"), os.path.join(work, "many.dll")]
    for name in ["kernel32", "kernelbase", "ntdll", "user32", "gdi32", "advapi32", "msvcrt",
                 "ucrtbase", "shell32", "ole32", "oleaut32", "ws2_32", "comctl32", "shlwapi",
                 "rpcrt4"]:
        dlls.append(os.path.join(wine_dlls, name + ".dll"))
    out = os.path.join(work, "profiles")
    os.makedirs(out, exist_ok=True)
    result = subprocess.run([tool, out] + dlls, capture_output=True)
    check(result.returncode == 0 and result.stderr == b"", "zymran-profile on %d DLLs" % len(dlls),
          "status %d, stderr %r" % (result.returncode, result.stderr))
    for dll in dlls:
        stem = os.path.splitext(os.path.basename(dll))[0]
        module, names = read_def(os.path.join(out, stem + ".def"))
        expected = pefile_exports(dll)
        check(module == os.path.basename(dll) and set(names) == expected and len(names) == len(expected),
              "%s: %d exports" % (os.path.basename(dll), len(expected)),
              "only pefile: %s\n  only zymran-profile: %s"
              % (sorted(expected - set(names))[:10], sorted(set(names) - expected)[:10]))
    check({"ExitNow", "exp_add", "exp_forward", "exp_value"} == pefile_exports(dlls[0]),
          "exports.dll: forwarders and DATA named, NONAME not")
    check(len(pefile_exports(dlls[1])) == 1500, "many.dll: 1,500 forwarders named")


def host_dlls(source, src, work):
    dlls = os.path.join(work, "dlls")
    os.makedirs(dlls, exist_ok=True)
    # The names in another case than the build option asks for.
    for module, file_name in [("kernel32", "KERNEL32.DLL"), ("ntdll", "ntdll.dll"), ("user32", "User32.Dll")]:
        run(CC, "-O1", "-shared", "-o", os.path.join(dlls, file_name), os.path.join(src, "host.c"),
            os.path.join(src, "host_%s.def" % module), cwd=work)
    run(CC, "-O1", "-o", "uses_host.exe", os.path.join(src, "uses_host.c"), "-lntdll", cwd=work)
    build = os.path.join(work, "build")
    shutil.rmtree(build, ignore_errors=True)
    run("cmake", "-S", source, "-B", build, "-DZYMRAN_HOST_DLLS=" + dlls, "-DBUILD_TESTING=OFF")
    run("cmake", "--build", build, "-j2", "--target", "zymran")
    profile = {}
    for entry in os.listdir(dlls):
        profile[entry.upper()] = pefile_exports(os.path.join(dlls, entry))
    check("Orvanel32" in profile["KERNEL32.DLL"] and "HeapAlloc" in profile["KERNEL32.DLL"]
          and "HiddenInHost" not in profile["KERNEL32.DLL"], "host DLLs: marker, forwarder, NONAME")
    compare_report(os.path.join(build, "zymran"), os.path.join(work, "uses_host.exe"), profile,
                   "uses_host.exe against the host DLLs")

    # A missing DLL stops the configuration with its name.
    os.remove(os.path.join(dlls, "User32.Dll"))
    result = subprocess.run(["cmake", "-S", source, "-B", os.path.join(work, "missing"),
                             "-DZYMRAN_HOST_DLLS=" + dlls, "-DBUILD_TESTING=OFF"], capture_output=True)
    check(result.returncode != 0 and b"no USER32.DLL in" in result.stderr,
          "a missing DLL is a configure error that names it")


def package(build, i686, work):
    prefix = os.path.join(work, "prefix")
    shutil.rmtree(prefix, ignore_errors=True)
    run("cmake", "--install", build, "--prefix", prefix)
    installed = sorted(os.path.relpath(os.path.join(d, f), prefix)
                       for d, _, files in os.walk(prefix) for f in files)
    check(installed == ["bin/zymran", "bin/zymran-profile", "share/doc/zymran/README.md"],
          "cmake --install: " + ", ".join(installed))

    run("cpack", "-B", work, cwd=i686)
    with zipfile.ZipFile(os.path.join(work, "ZYMRAN.zip")) as z:
        names = sorted(z.namelist())
        check(names == ["README.TXT", "ZYMRAN.EXE"]
              and all(re.fullmatch(r"[A-Z0-9_]{1,8}\.[A-Z0-9]{1,3}", n) for n in names),
              "ZYMRAN.zip holds " + ", ".join(names))
        readme = z.read("README.TXT")
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "README.md"), "rb") as f:
            source = f.read()
        check(readme == source.replace(b"\n", b"\r\n") and b"\r\n" in readme,
              "README.TXT is the README as DOS text")
        exe = z.read("ZYMRAN.EXE")
        with open(os.path.join(i686, "zymran.exe"), "rb") as f:
            check(exe == f.read() and pefile.PE(data=exe).FILE_HEADER.Machine == 0x14C,
                  "ZYMRAN.EXE is the i686 build")


def main():
    command, args = sys.argv[1], [os.path.abspath(a) for a in sys.argv[2:]]
    work = args[-2] if command == "exports" else args[-1]
    os.makedirs(work, exist_ok=True)
    {"imports": imports, "exports": exports, "host-dlls": host_dlls, "package": package}[command](*args)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
