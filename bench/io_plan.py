#!/usr/bin/python3
"""Plans the I/O floor of one zymran-check run (see io_floor.cc).

    io_plan.py <trace> <plan> <folder>... [--host <folder>]...

<trace> is what `strace -f -y -s 0 -e trace=openat,read,pread64,close` wrote
for the run; <folder>s hold its images and --host <folder>s its host DLLs.
The files and folders in them that the run opened are the floor's, in the
order the run opened them. The bytes to read in each file are worked out
from its headers, not from the trace: its first 4 KiB, its section table
where that runs past them, and the file bytes of each section that holds the
import, export or delay-load directory (for a host DLL, the export
directory; a module-definition file is read whole). Sections whose file bytes
overlap are read as one range, as the loader model reads them.

Prints one line: the number of files and of folders, how many bytes
zymran-check read from those files as the trace shows, and how many the plan
reads. Fails when the trace shows no such file read.
"""
import os
import re
import struct
import sys

FIRST_READ = 4096
RAW_ALIGNMENT = 0x200
SECTION_ENTRY = 40
EXPORT, IMPORT, DELAY_IMPORT = 0, 1, 13

CALL = re.compile(r'^(\w+)\((.*)\) += (-?\d+)')
OPEN_ARGS = re.compile(r'^(AT_FDCWD|\d+)(?:<.*?>)?, "((?:[^"\\]|\\.)*)", ([A-Z0-9_|]+)')
FD_ARG = re.compile(r'^(\d+)<')
ESCAPE = re.compile(r'\\(x[0-9a-fA-F]{2}|[0-7]{1,3}|.)')
ESCAPES = {'n': '\n', 't': '\t', 'r': '\r', 'v': '\v', 'f': '\f', '"': '"', '\\': '\\'}


def unquote(text):
    def one(m):
        e = m.group(1)
        if e[0] == 'x':
            return chr(int(e[1:], 16))
        if e[0] in '01234567':
            return chr(int(e, 8))
        return ESCAPES.get(e, e)
    return ESCAPE.sub(one, text).encode('latin-1').decode('utf-8', 'surrogateescape')


def joined_lines(path):
    """The trace's lines, each call whole: an unfinished call is joined to
    where it resumes."""
    pending = {}
    for line in open(path, encoding='latin-1'):
        line = line.rstrip('\n')
        m = re.match(r'^(\d+) +(.*)$', line)
        pid, rest = (m.group(1), m.group(2)) if m else ('', line)
        if rest.endswith('<unfinished ...>'):
            pending[pid] = rest[:-len('<unfinished ...>')].rstrip()
            continue
        r = re.match(r'^<\.\.\. \w+ resumed>(.*)$', rest)
        if r:
            rest = pending.pop(pid, '') + r.group(1)
        yield rest


def opened(trace, folders, hosts):
    """The files and folders inside `folders` and `hosts` that the traced run
    opened, in order, each with the bytes the run read from it."""
    inside = {os.path.realpath(f) for f in folders + hosts}
    host_folders = {os.path.realpath(f) for f in hosts}
    entries = []   # [kind, path as opened, is a host file, bytes read]
    by_fd = {}
    for line in joined_lines(trace):
        m = CALL.match(line)
        if not m:
            continue
        call, args, result = m.group(1), m.group(2), int(m.group(3))
        if call in ('openat', 'open'):
            if call == 'open':
                args = 'AT_FDCWD, ' + args
            o = OPEN_ARGS.match(args)
            if not o or result < 0:
                continue
            if o.group(1) != 'AT_FDCWD':
                continue  # relative to a folder descriptor: not a way this run opens
            # A file belongs to the folder it was opened in, whatever a
            # link in it points at.
            path = unquote(o.group(2))
            folder = os.path.realpath(os.path.dirname(path) or '.')
            if 'O_DIRECTORY' in o.group(3):
                if os.path.realpath(path) in inside:
                    entries.append(['D', path, False, 0])
                by_fd.pop(result, None)
            elif folder in inside:
                entries.append(['F', path, folder in host_folders, 0])
                by_fd[result] = entries[-1]
            else:
                by_fd.pop(result, None)
        elif call in ('read', 'pread64'):
            f = FD_ARG.match(args)
            if f and int(f.group(1)) in by_fd and result > 0:
                by_fd[int(f.group(1))][3] += result
        elif call == 'close':
            f = FD_ARG.match(args)
            if f:
                by_fd.pop(int(f.group(1)), None)
    return entries


def ranges_of(path, host):
    """The (offset, length) ranges that reading `path` as zymran-check's
    model reads it takes."""
    with open(path, 'rb') as f:
        data = f.read()
    size = len(data)
    if host and path.lower().endswith('.def'):
        return [(0, size)] if size else []
    ranges = [(0, min(FIRST_READ, size))] if size else []
    if size < 64 or data[:2] != b'MZ':
        return ranges
    lfanew = struct.unpack_from('<I', data, 0x3C)[0]
    if lfanew + 24 + 96 > size or data[lfanew:lfanew + 4] != b'PE\0\0':
        return ranges
    count, = struct.unpack_from('<H', data, lfanew + 6)
    optional_size, = struct.unpack_from('<H', data, lfanew + 20)
    magic, = struct.unpack_from('<H', data, lfanew + 24)
    table = lfanew + 24 + optional_size
    table_end = table + SECTION_ENTRY * count
    if table_end > size:
        return ranges
    if table_end > FIRST_READ and count > 0:
        ranges.append((table, table_end - table))
    if magic != 0x10B:
        return ranges  # PE32+ or no image: nothing more is read
    sections = []  # (start address, end address, file offset, file size)
    for i in range(count):
        virtual_size, address, raw_size, raw_at = struct.unpack_from('<IIII', data, table + SECTION_ENTRY * i + 8)
        offset = raw_at // RAW_ALIGNMENT * RAW_ALIGNMENT
        held = virtual_size if virtual_size and virtual_size < raw_size else raw_size
        held = max(0, min(held, size - offset))
        sections.append((address, address + (virtual_size or raw_size), offset, held))
    # File ranges: sections whose file bytes overlap share one.
    joined = []
    range_of = {}
    for i in sorted(range(count), key=lambda i: (sections[i][2], i)):
        start, end = sections[i][2], sections[i][2] + sections[i][3]
        if joined and start < joined[-1][1]:
            joined[-1][1] = max(joined[-1][1], end)
        else:
            joined.append([start, end])
        range_of[i] = len(joined) - 1
    directories, = struct.unpack_from('<I', data, lfanew + 24 + 92)
    wanted = []
    for d in ([EXPORT] if host else [IMPORT, EXPORT, DELAY_IMPORT]):
        if d >= directories or lfanew + 24 + 96 + 8 * d + 8 > size:
            continue
        rva, _ = struct.unpack_from('<II', data, lfanew + 24 + 96 + 8 * d)
        if rva == 0:
            continue
        for i, s in enumerate(sections):
            if s[0] <= rva < s[1] and range_of[i] not in wanted:
                wanted.append(range_of[i])
    for r in wanted:
        start, end = joined[r]
        if end > start:
            ranges.append((start, end - start))
    return ranges


def main(argv):
    args, folders, hosts = argv[1:], [], []
    trace, plan = args[0], args[1]
    i = 2
    while i < len(args):
        if args[i] == '--host':
            hosts.append(args[i + 1])
            i += 2
        else:
            folders.append(args[i])
            i += 1
    entries = opened(trace, folders, hosts)
    recorded = planned = files = 0
    out = bytearray()
    for kind, path, host, read in entries:
        ranges = ranges_of(path, host) if kind == 'F' else []
        out += kind.encode() + os.fsencode(path) + b'\0' + struct.pack('<I', len(ranges))
        for offset, length in ranges:
            out += struct.pack('<II', offset, length)
        if kind == 'F':
            files += 1
            recorded += read
            planned += sum(length for _, length in ranges)
    with open(plan, 'wb') as f:
        f.write(out)
    print('files %d folders %d recorded %d planned %d' % (files, len(entries) - files, recorded, planned))
    if files == 0 or recorded == 0:
        print('%s: the trace shows no file of those folders opened and read' % trace, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
