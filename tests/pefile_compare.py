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
      "Implemented" exactly for what those DLLs export, also after a DLL is
      replaced by one with an older date and from their profiles renamed in
      upper case; and that the folders a build can't use are refused.
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
    or by hand: one name a line, quoted or not, after EXPORTS, with its
    ordinal ("@7") when it has one; NONAME entries export no name."""
    return read_entries(path)[:2]


def read_entries(path):
    """(module, names, ordinals): ordinals maps each name to its ordinal
    (or None), and None to the set of ordinals exported by no name."""
    module, names, ordinals, in_exports = None, [], {None: set()}, False
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
                match = re.search(r"@(\d+)", words[len(first) + 2 if words.startswith('"') else len(first):])
                ordinal = int(match.group(1)) if match else None
                if words.endswith(" NONAME"):
                    ordinals[None].add(ordinal)
                else:
                    names.append(first)
                    ordinals[first] = ordinal
    return module, names, ordinals


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
    return set(pefile_ordinals(path)) - {None}


def differ(a, b):
    """What the exports `a` hold that `b` lacks."""
    return ({(n, o) for n, o in a.items() if n is not None} - {(n, o) for n, o in b.items() if n is not None}
            | {("NONAME", o) for o in a[None] - b[None]})


def pefile_ordinals(path):
    """Each exported name with its ordinal, and None with the set of the
    ordinals of entries that no name refers to, as pefile reads them."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[0])
    ordinals = {None: set()}
    for e in getattr(pe, "DIRECTORY_ENTRY_EXPORT", None) and pe.DIRECTORY_ENTRY_EXPORT.symbols or []:
        if e.name:
            ordinals.setdefault(e.name.decode("latin-1"), e.ordinal)
        elif e.address:
            ordinals[None].add(e.ordinal)
    return ordinals


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
        module, names, ordinals = read_entries(os.path.join(out, stem + ".def"))
        expected = pefile_ordinals(dll)
        check(module == os.path.basename(dll) and ordinals == expected and len(names) == len(expected) - 1,
              "%s: %d exports by name and ordinal" % (os.path.basename(dll), len(expected) - 1),
              "only pefile: %s\n  only zymran-profile: %s"
              % (sorted(differ(expected, ordinals), key=str)[:10],
                 sorted(differ(ordinals, expected), key=str)[:10]))
        # The toolchains read the profile too: an import library made from it.
        made = subprocess.run(["i686-w64-mingw32-dlltool", "-d", os.path.join(out, stem + ".def"),
                               "-l", os.path.join(out, stem + ".a")], capture_output=True)
        check(made.returncode == 0, "%s: dlltool reads its profile" % os.path.basename(dll), made.stderr)
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
    build, zymran = os.path.join(work, "build"), os.path.join(work, "build", "zymran")
    shutil.rmtree(build, ignore_errors=True)

    def build_and_compare(title, *options):
        if options:
            run("cmake", "-S", source, "-B", build, "-DBUILD_TESTING=OFF", *options)
        run("cmake", "--build", build, "-j2", "--target", "zymran")
        profile = {e.upper(): pefile_exports(os.path.join(dlls, e)) for e in os.listdir(dlls)}
        compare_report(zymran, os.path.join(work, "uses_host.exe"), profile,
                       "uses_host.exe against " + title)
        return profile

    def folder(name, files):
        path = os.path.join(work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        for file_name, copied in files:
            shutil.copy(copied, os.path.join(path, file_name))
        return path

    profile = build_and_compare("the host DLLs", "-DZYMRAN_HOST_DLLS=" + dlls)
    check("Orvanel32" in profile["KERNEL32.DLL"] and "HeapAlloc" in profile["KERNEL32.DLL"]
          and "HiddenInHost" not in profile["KERNEL32.DLL"], "host DLLs: marker, forwarder, NONAME")

    # A DLL replaced by one with an older date is read again; a build with
    # nothing changed relinks nothing.
    with open(os.path.join(work, "ntdll_new.def"), "w") as f:
        f.write("LIBRARY NTDLL.DLL\nEXPORTS\nNtClose\nNtYieldExecution = NtClose\n")
    run(CC, "-O1", "-shared", "-o", os.path.join(dlls, "ntdll.dll"), os.path.join(src, "host.c"),
        "ntdll_new.def", cwd=work)
    os.utime(os.path.join(dlls, "ntdll.dll"), (1000000000, 1000000000))
    check("NtYieldExecution" in build_and_compare("an older NTDLL.DLL")["NTDLL.DLL"],
          "NTDLL.DLL replaced")
    made = os.stat(zymran).st_mtime_ns
    run("cmake", "--build", build, "-j2", "--target", "zymran")
    check(os.stat(zymran).st_mtime_ns == made, "a build with nothing changed relinks nothing")

    # Profiles named in upper case build the same checker; a second file for
    # one module stops the build with one line that names both.
    upper = folder("upper", [(stem.upper() + ".DEF", os.path.join(build, "host-profile", stem + ".def"))
                             for stem in ["KERNEL32", "ntdll", "User32"]])
    build_and_compare("KERNEL32.DEF, NTDLL.DEF, USER32.DEF", "-DZYMRAN_HOST_DLLS=",
                      "-DZYMRAN_HOST_PROFILE=" + upper)
    copy = os.path.join(upper, "user32 - copy.def")
    shutil.copy(os.path.join(upper, "USER32.DEF"), copy)
    refusals = [("a second file of one module", None, [copy, os.path.join(upper, "USER32.DEF")])]

    # Folders that the configuration refuses with one line.
    host = [(name, os.path.join(dlls, name)) for name in ["KERNEL32.DLL", "ntdll.dll", "User32.Dll"]]
    missing = folder("missing", host[:2])
    variants = folder("variants", host + [("USER32.DLL", host[2][1])])
    none = os.path.join(work, "none")
    refusals += [("a missing DLL", "-DZYMRAN_HOST_DLLS=" + missing, ["no USER32.DLL in " + missing]),
                 ("two names of one DLL", "-DZYMRAN_HOST_DLLS=" + variants,
                  [os.path.join(variants, "User32.Dll"), os.path.join(variants, "USER32.DLL")]),
                 ("no profile folder", "-DZYMRAN_HOST_PROFILE=" + none, [none]),
                 ("a profile folder without .def files", "-DZYMRAN_HOST_PROFILE=" + dlls, [dlls])]
    for title, option, names in refusals:
        scratch = os.path.join(work, "refused")
        shutil.rmtree(scratch, ignore_errors=True)
        command = (["cmake", "--build", build, "--target", "zymran"] if option is None else
                   ["cmake", "-S", source, "-B", scratch, option, "-DBUILD_TESTING=OFF"])
        result = subprocess.run(command, capture_output=True)
        err = result.stderr.decode()
        check(result.returncode != 0 and any(all(n in line for n in names) for line in err.splitlines()),
              "refused with one line: " + title, err[-600:])


def package(build, i686, work):
    prefix = os.path.join(work, "prefix")
    shutil.rmtree(prefix, ignore_errors=True)
    run("cmake", "--install", build, "--prefix", prefix)
    installed = sorted(os.path.relpath(os.path.join(d, f), prefix)
                       for d, _, files in os.walk(prefix) for f in files)
    check(installed == ["bin/zymran", "bin/zymran-check", "bin/zymran-profile", "share/doc/zymran/README.md"],
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
