#!/usr/bin/python3
"""Reads zymran-check's CI reports back with the tools made for those formats
and holds each to the text report of the same run.

  check_formats.py ZYMRAN_CHECK ZYMRAN_MKIMAGE SARIF_MULTITOOL VERSION

`zymran_mkimage formats` writes a program that meets one problem of each kind
(PROBLEMS below) and programs that load, load with a delayed problem only,
lack one function, or are damaged or 64-bit themselves. Two runs check them
under two hosts, the second with the first's JSON report as its baseline. A
copy of the program is named with bytes that every format must escape (%, :
and a comma, CR and LF, XML's &<>", control bytes, a byte above 0x7F), and so
is the second host; one program is named by an absolute path that starts
with two slashes. zymran-check runs as an unprivileged user, so that a DLL
of mode 000 can't be read.

Each run writes the text report on standard output and the other forms with
--report; each form written on standard output instead must be the same.
Every problem line of the text report (its functions and counts left aside)
is one SARIF result and one workflow command, in the same order, and the
JUnit failure text and standard output share out every line but the counts.
The SARIF documents must pass the SARIF 2.1.0 JSON schema (with the formats
it names checked) and the SARIF multitool's validator: no error, and no
warning but those of ALLOWED_WARNINGS.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.parse

import jsonschema
import junitparser

CHECK, MKIMAGE, MULTITOOL, VERSION = sys.argv[1:5]
SCHEMA = os.path.join(os.path.dirname(MULTITOOL), "sarif-2.1.0.json")
# What the validator may still say of a document: no informationUri for the
# tool (it has no web page), and no region in a location (a problem lies in
# a whole image, not in lines of it).
ALLOWED_WARNINGS = {"SARIF2005", "SARIF2017"}
NOBODY = 65534

ODD_MODULE = b'odd%:,\n&<>"\x01\x7f\xe9.dll'  # as zymran_mkimage formats imports it
ODD_NAME = b'odd%:,\r\n&<>"\x01\x7f\xe9.EXE'
ODD_HOST = b'2.0 %:,&<>"\n\x01\xe9'

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def shown(name):
    """A name as the text report shows it."""
    return "".join(chr(b) if 0x20 <= b < 0x7F else "\\x%02X" % b for b in name)


def file_name(path):
    return path.rsplit(b"/", 1)[-1]


# The problems of the program that meets one of each kind, in the order of
# the text report: the start of its line there, its rule, whether it is
# delayed, and the DLL that needs it when that is not the image itself (its
# path as read). GetTickCount is missing only under the host that lacks it.
PROBLEMS = [
    ("module BAD.DLL: damaged", "module-damaged", False, None),
    ("module GDI32.dll: not implemented", "module-not-implemented", False, None),
    ("module HELPER.DLL: not found", "module-not-found", False, b"libs/PLUGIN.DLL"),
    ("module LATER.DLL: not found", "module-not-found", True, None),
    ("module MISSING.DLL: not found", "module-not-found", False, None),
    ("module %s: not found" % shown(ODD_MODULE), "module-not-found", False, None),
    ("module SECRET.DLL: can't be read", "module-unreadable", False, None),
    ("module WIDE.DLL: 64-bit", "module-64-bit", False, None),
    ("function KERNEL32.dll CreateFileW: not implemented", "function-not-implemented", False, None),
    ("function KERNEL32.dll GetTickCount: not implemented", "function-not-implemented", False, None),
    ("function PLUGIN.DLL Absent: missing", "function-missing", False, None),
    ("function PLUGIN.DLL #7: missing", "function-missing", False, None),
    ("DELAYBAD.DLL: delay-load data damaged", "image-damaged", True, b"app/DELAYBAD.DLL"),
]
# The other programs: their lines, the same way. A rule of None is a line
# that is no problem of the model (an image that can't be opened).
OTHERS = {
    b"OK.EXE": [],
    b"DELAYONLY.EXE": [("module LATER.DLL: not found", "module-not-found", True, None)],
    b"KNOWN.EXE": [("function KERNEL32.dll CreateFileW: not implemented", "function-not-implemented", False, None)],
    b"DAMAGED.EXE": [("DAMAGED.EXE: damaged: ", "image-damaged", False, None)],
    b"WIDE.EXE": [("WIDE.EXE: 64-bit image", "image-64-bit", False, None)],
    b"NOSUCH.EXE": [("NOSUCH.EXE: can't be opened", None, False, None)],
}

KERNEL32 = {"h1": "GetVersion\nGetTickCount\n", "h2": "GetVersion\n"}


def expected_lines(image, host_folder):
    rows = OTHERS.get(file_name(image), PROBLEMS)
    return [row for row in rows if host_folder == "h2" or "GetTickCount" not in row[0]]


# The runs: the hosts (name, folder), whether the first run's JSON report is
# the baseline, the status, and how many images fail under each host.
RUNS = [
    ("first", [(b"1.0", "h1"), (ODD_HOST, "h2")], False, 2, [6, 6]),
    ("baseline", [(b"1.0", "h2"), (ODD_HOST, "h2")], True, 2, [3, 1]),
]


def as_nobody():
    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(NOBODY)
        os.setuid(NOBODY)


def run_check(work, args):
    done = subprocess.run([os.path.join(work, "zymran-check")] + args, cwd=work, capture_output=True,
                          preexec_fn=as_nobody)
    return done.returncode, done.stdout, done.stderr


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def make_tree(work):
    os.chmod(work, 0o755)
    shutil.copy(CHECK, os.path.join(work, "zymran-check"))
    subprocess.run([MKIMAGE, "formats", work], check=True)
    for folder in ("h1", "h2"):
        os.mkdir(os.path.join(work, folder))
        write(os.path.join(work, folder, "kernel32.def"), "LIBRARY KERNEL32.dll\nEXPORTS\n" + KERNEL32[folder])
        write(os.path.join(work, folder, "ntdll.def"), "LIBRARY NTDLL.dll\nEXPORTS\nNtClose\n")
        write(os.path.join(work, folder, "user32.def"), "LIBRARY USER32.dll\nEXPORTS\nMessageBoxA\n")
    shutil.copy(os.path.join(work, "app", "APP.EXE"), os.path.join(work.encode(), b"app", ODD_NAME))
    os.chmod(os.path.join(work, "app", "SECRET.DLL"), 0)
    os.mkdir(os.path.join(work, "out"))
    os.chmod(os.path.join(work, "out"), 0o777)
    return [b"app/APP.EXE", b"app/" + ODD_NAME, b"app/OK.EXE", b"app/DELAYONLY.EXE",
            b"/" + os.path.join(work, "app", "KNOWN.EXE").encode(), b"app/DAMAGED.EXE", b"app/WIDE.EXE",
            b"app/NOSUCH.EXE"]


def text_results(text, images, hosts):
    """(image, host) -> (verdict line, the lines under it without their
    indent)."""
    results, current = {}, None
    for line in text.split("\n"):
        if line.startswith("  ") and current is not None:
            results[current][1].append(line[2:])
            continue
        current = None
        for image in images:
            for host, _ in hosts:
                if line.startswith("%s under %s: " % (shown(image), shown(host))):
                    current = (image, host)
                    results[current] = (line, [])
    return results


SUMMARY = re.compile(r"\d+ (problems?: |delayed problems?, )")
DETAIL = re.compile(r"function .*: module ")


def problem_groups(lines):
    """The lines of each problem: its own, then the functions under a module
    that fails whole; the counts left out."""
    groups = []
    for line in lines:
        if SUMMARY.match(line):
            continue
        if DETAIL.match(line) and groups:
            groups[-1].append(line)
        else:
            groups.append([line])
    return groups


def problems(text, images, hosts, name):
    """Each problem of the text report, in its order, as (image, host, its
    lines, its row of PROBLEMS or OTHERS)."""
    found = []
    for image in images:
        for host, folder in hosts:
            groups = problem_groups(text[(image, host)][1])
            rows = expected_lines(image, folder)
            check(len(groups) == len(rows) and all(g[0].startswith(r[0]) for g, r in zip(groups, rows)),
                  "%s: the text report under %s of %s: %r" % (name, shown(host), shown(image), groups))
            found += [(image, host, group, row) for group, row in zip(groups, rows)]
    return found


def bytes_of(text):
    """A JSON string whose characters U+0000-U+00FF stand for bytes."""
    return text.encode("latin-1")


def needer(image, row):
    """The path of the file that needs a problem's module or function."""
    return row[3] if row[3] is not None else image


def check_location(work, uri, path, what):
    """A location names the file at `path`: by a relative reference when the
    path is relative, else by a file URI."""
    parts = urllib.parse.urlsplit(uri)
    scheme = "file" if path.startswith(b"/") else ""
    if check(parts.scheme == scheme and parts.netloc == "" and not parts.query and not parts.fragment and
             parts.path.startswith("/") == (scheme == "file"), "%s: %r is not a URI of %r" % (what, uri, path)):
        target = os.path.join(work.encode(), urllib.parse.unquote_to_bytes(parts.path))
        check(os.path.lexists(target) and os.path.samefile(target, os.path.join(work.encode(), path)),
              "%s: %r does not name %r" % (what, uri, path))


def check_junit(path, images, hosts, text, fails, name):
    try:
        document = junitparser.JUnitXml.fromfile(path)
    except Exception as error:  # the parser's own kinds of error, by parser
        check(False, "%s: JUnit XML not read: %s" % (name, error))
        return
    suites = list(document)
    check([s.name for s in suites] == [shown(h) for h, _ in hosts], "%s: JUnit suites %r" % (name, suites))
    check((document.tests, document.failures) == (len(images) * len(hosts), sum(fails)),
          "%s: JUnit counts %s %s" % (name, document.tests, document.failures))
    for suite, (host, _), failing in zip(suites, hosts, fails):
        cases = list(suite)
        check([c.name for c in cases] == [shown(i) for i in images] and
              all(c.classname == "zymran-check" for c in cases), "%s: JUnit cases of %s" % (name, suite.name))
        check((suite.tests, suite.failures) == (len(images), failing),
              "%s: JUnit counts of %s: %s %s" % (name, suite.name, suite.tests, suite.failures))
        for case, image in zip(cases, images):
            verdict = text[(image, host)][0]
            loud, quiet = "", ""
            for _, _, group, row in problems(text, [image], [(host, dict(hosts)[host])], name):
                lines = "".join(line + "\n" for line in group)
                if group[0].endswith(" (known)") or row[2]:
                    quiet += lines
                else:
                    loud += lines
            what = "%s: JUnit %s under %s" % (name, case.name, suite.name)
            results = list(case.result)
            if verdict.endswith(": does not load"):
                if check(len(results) == 1 and isinstance(results[0], junitparser.Failure), what + ": no failure"):
                    check(results[0].message == verdict, what + ": message %r" % results[0].message)
                    check(results[0].text == loud, what + ": failure text %r, not %r" % (results[0].text, loud))
            else:
                check(results == [], what + ": a failure of an image that passes")
            check((case.system_out or "") == quiet, what + ": system-out %r, not %r" % (case.system_out, quiet))


def validate_sarif(work, path, name):
    with open(SCHEMA) as f:
        schema = json.load(f)
    with open(path) as f:
        document = json.load(f)
    formats = jsonschema.FormatChecker()
    check("uri-reference" in formats.checkers, "jsonschema can't check URIs: python3-rfc3987 is missing")
    validator = jsonschema.validators.validator_for(schema)(schema, format_checker=formats)
    for error in validator.iter_errors(document):
        check(False, "%s: SARIF schema: %s at %s" % (name, error.message, list(error.absolute_path)))
    out = os.path.join(work, "out", name + ".validation.sarif")
    # Invariant globalization: the validator needs no ICU library then.
    env = dict(os.environ, DOTNET_SYSTEM_GLOBALIZATION_INVARIANT="1")
    done = subprocess.run([MULTITOOL, "validate", path, "-o", out], capture_output=True, text=True, env=env)
    check(done.returncode == 0 and os.path.exists(out),
          "%s: SARIF validator status %d:\n%s%s" % (name, done.returncode, done.stdout, done.stderr))
    if not os.path.exists(out):
        return document
    with open(out) as f:
        validation = json.load(f)["runs"][0]
    for invocation in validation.get("invocations", []):
        check(invocation.get("executionSuccessful", False), "%s: SARIF validator did not run: %r" % (name, invocation))
    for result in validation.get("results", []):
        level = result.get("level", "warning")
        check(level not in ("error", "warning") or (level == "warning" and result["ruleId"] in ALLOWED_WARNINGS),
              "%s: SARIF validator %s %s: %r" % (name, level, result["ruleId"], result.get("message")))
    return document


def check_sarif(work, path, images, hosts, text, baseline, name):
    document = validate_sarif(work, path, name)
    check(document["version"] == "2.1.0" and len(document["runs"]) == 1, "%s: SARIF runs" % name)
    run = document["runs"][0]
    driver = run["tool"]["driver"]
    rules = [rule["id"] for rule in driver["rules"]]
    check(driver["name"] == "zymran-check" and driver["version"] == VERSION,
          "%s: SARIF driver %s %s" % (name, driver["name"], driver["version"]))
    check(sorted(rules) == sorted({row[1] for row in PROBLEMS} | {"module-unreadable", "image-64-bit"}) and
          all(rule["shortDescription"]["text"] for rule in driver["rules"]), "%s: SARIF rules %r" % (name, rules))
    results = run["results"]
    expected = [(i, h, g[0], row) for i, h, g, row in problems(text, images, hosts, name) if row[1] is not None]
    check(len(results) == len(expected), "%s: %d SARIF results, not %d" % (name, len(results), len(expected)))
    for result, (image, host, line, row) in zip(results, expected):
        what = "%s: SARIF %s under %s: %s" % (name, shown(image), shown(host), line)
        known = line.endswith(" (known)")
        properties = result["properties"]
        check((bytes_of(properties["image"]), bytes_of(properties["host"])) == (image, host), what + ": properties")
        check(result["ruleId"] == row[1] and rules[result["ruleIndex"]] == row[1], what + ": rule " + result["ruleId"])
        check(result["level"] == ("warning" if row[2] else "error"), what + ": level " + result["level"])
        check(result["message"]["text"] == (line[:-len(" (known)")] if known else line),
              what + ": message %r" % result["message"]["text"])
        chain = [file_name(image)] + ([file_name(row[3])] if row[3] is not None else [])
        check([bytes_of(c) for c in properties["chain"]] == chain, what + ": chain %r" % properties["chain"])
        locations = result["locations"]
        if check(len(locations) == 1, what + ": locations"):
            check_location(work, locations[0]["physicalLocation"]["artifactLocation"]["uri"], needer(image, row),
                           what)
        state = result.get("baselineState")
        check(state == (("unchanged" if known else "new") if baseline else None), what + ": baselineState %r" % state)


COMMAND = re.compile(r"::(error|warning|notice) file=([^,:]*),title=([^,:]*)::(.*)")


def unescape(text):
    return re.sub(r"%([0-9A-F]{2})", lambda m: chr(int(m.group(1), 16)), text)


def check_github(work, text_out, images, hosts, text, name):
    commands = text_out.split("\n")
    check(commands[-1] == "" and "\r" not in text_out, "%s: workflow commands end in one line feed" % name)
    expected = [(i, h, g[0], row) for i, h, g, row in problems(text, images, hosts, name) if row[1] is not None]
    check(len(commands) - 1 == len(expected), "%s: %d workflow commands, not %d" % (name, len(commands) - 1, len(expected)))
    for command, (image, host, line, row) in zip(commands, expected):
        what = "%s: workflow command %r" % (name, command)
        match = COMMAND.fullmatch(command)
        if not check(match is not None and "%" not in re.sub(r"%[0-9A-F]{2}", "", command), what + ": form"):
            continue
        kind = "notice" if line.endswith(" (known)") else "warning" if row[2] else "error"
        check(match.group(1) == kind, what + ": not ::" + kind)
        check(unescape(match.group(2)) == shown(needer(image, row)), what + ": file")
        check(unescape(match.group(3)) == "%s under %s" % (shown(image), shown(host)), what + ": title")
        check(unescape(match.group(4)) == line, what + ": message")


def one_run(work, images, run):
    name, hosts, baseline, status, fails = run
    args = []
    for host, folder in hosts:
        args += [b"--host", host + b"=" + folder.encode()]
    args += [b"--path", b"libs"]
    if baseline:
        args += [b"--baseline", b"out/first.json"]
    reports = [b"--report", ("json=out/%s.json" % name).encode()]
    for form in ("junit", "sarif", "github"):
        reports += [b"--report", ("%s=out/%s.%s" % (form, name, form)).encode()]
    code, out, err = run_check(work, args + reports + images)
    check(code == status, "%s: status %d, not %d\n%s" % (name, code, status, err.decode("latin-1")))
    text = text_results(out.decode("ascii"), images, hosts)
    if not check(len(text) == len(images) * len(hosts), "%s: text report:\n%s" % (name, out.decode("ascii"))):
        return
    for form in ("junit", "sarif", "github"):
        with open(os.path.join(work, "out", "%s.%s" % (name, form)), "rb") as f:
            written = f.read()
        _, standard, _ = run_check(work, [b"--format", form.encode()] + args + images)
        check(standard == written, "%s: --format %s differs from --report %s" % (name, form, form))
    check_junit(os.path.join(work, "out", name + ".junit"), images, hosts, text, fails, name)
    check_sarif(work, os.path.join(work, "out", name + ".sarif"), images, hosts, text, baseline, name)
    with open(os.path.join(work, "out", name + ".github"), "rb") as f:
        check_github(work, f.read().decode("ascii"), images, hosts, text, name)


def main():
    work = tempfile.mkdtemp(prefix="zymran-formats-")
    try:
        images = make_tree(work)
        for run in RUNS:
            one_run(work, images, run)
    finally:
        shutil.rmtree(work)
    for failure in failures:
        print("FAILED: " + failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
