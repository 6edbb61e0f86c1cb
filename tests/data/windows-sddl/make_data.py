#!/usr/bin/env python3
"""Writes windows-sddl.tsv.gz from the files of Samba's SDDL test data recorded on Windows.

Usage: make_data.py SOURCE_FOLDER [OUTPUT]. Each line of the output is one fact, its fields
separated by tabs, with tab and backslash in strings written as \\t and \\\\:

  both   SDDL  HEX   Windows parsed SDDL into these self-relative bytes and printed them as SDDL
  print  SDDL  HEX   Windows printed these bytes as SDDL; an ACL of them has unused room after
                     its entries, which no SDDL string gives but one with object entries that
                     name no GUID, so these bytes came from another string
  cond   SDDL  HEX   the same as both, for descriptors with conditional (callback) entries
  text   IN    OUT   Windows parsed IN and printed OUT
  fail   IN          Windows refused IN
"""
import gzip
import json
import pathlib
import sys


def escape(text):
    return text.replace('\\', '\\\\').replace('\t', '\\t')


def has_unused_room(data):
    """True when an ACL of the self-relative descriptor `data` is longer than its entries."""
    for offset in (int.from_bytes(data[12:16], 'little'), int.from_bytes(data[16:20], 'little')):
        if offset == 0:
            continue
        size = int.from_bytes(data[offset + 2:offset + 4], 'little')
        count = int.from_bytes(data[offset + 4:offset + 6], 'little')
        used, at = 8, offset + 8
        for _ in range(count):
            ace = int.from_bytes(data[at + 2:at + 4], 'little')
            used, at = used + ace, at + ace
        if used != size:
            return True
    return False


def main():
    source = pathlib.Path(sys.argv[1])
    output = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else
                          pathlib.Path(__file__).with_name('windows-sddl.tsv.gz'))
    lines = []

    def add(*fields):
        line = '\t'.join(escape(f) for f in fields)
        if line not in seen:
            seen.add(line)
            lines.append(line)

    seen = set()
    for name, kind in (('canonical.txt', 'text'), ('non_canonical.txt', 'text'),
                       ('windows_is_less_fussy.txt', 'text'), ('windows_is_weird.txt', 'text'),
                       ('windows_is_fussy.txt', 'text'), ('should_fail.txt', 'fail')):
        for raw in (source / name).read_text(encoding='utf-8').split('\n'):
            if not raw or raw.startswith('#'):
                continue
            given, _, printed = raw.partition(' -> ')
            if kind == 'fail':
                add('fail', given)
            else:
                add('text', given, printed if printed else given)

    def records(name):
        opener = gzip.open if name.endswith('.gz') else open
        with opener(source / name, 'rt', encoding='utf-8') as f:
            return json.load(f).items()

    for name, kind in (('short-ordinary-acls.json.gz', 'both'),
                       ('short-ordinary-acls-v2.json.gz', 'both'),
                       ('registry-object-rights.json', 'both'), ('oversize-acls.json', 'both'),
                       ('conditional_aces.txt.json', 'cond')):
        for sddl, data in records(name):
            data = bytes(data)
            add('print' if kind == 'both' and has_unused_room(data) else kind, sddl, data.hex())

    text = ''.join(line + '\n' for line in lines).encode('utf-8')
    with open(output, 'wb') as f:
        with gzip.GzipFile(fileobj=f, mode='wb', mtime=0, filename='') as z:
            z.write(text)
    print(f'{len(lines)} facts written to {output}')


if __name__ == '__main__':
    main()
