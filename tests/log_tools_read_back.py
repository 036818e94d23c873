#!/usr/bin/python3
"""Exports a generated request log with ostrel-export and reads the output
back as another program would, with Python's csv and json modules: a header
row, then per record the logged values, UTF-8 or not (with an apostrophe
before a formula's start), and its time if it has one, and the same from
--json, where Python's decoder puts in U+FFFD where the export should.

    log_tools_read_back.py PATH_OF_OSTREL_EXPORT
"""
import csv
import io
import json
import random
import subprocess
import sys
import tempfile

KEYS = ["name", "email", "subject", "message"]
# What cleaning keeps; backslashes only where no n or r follows, since a
# typed \n reads back as a line break.
KEPT = "\t\v\f\r\n" + "".join(chr(b) for b in range(0x20, 0x7F) if chr(b) != "\\")
STARTS = ["", "", "=", "+", "-", "@", "\t", "\r", '"', "C:\\temp\\a"]
# Letters of other scripts, and the ill-formed UTF-8 an old or edited log may hold.
PIECES = [c.encode() for c in KEPT + '",\r\n' + "é€日😀\U0010FFFF"] + [
    b"\x80", b"\xff", b"\xc3", b"\xf0\x9f\x98", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80"]
TIME = b"2026-12-07T22:14:03Z"


def value(rng):
    return rng.choice(STARTS).encode() + b"".join(rng.choices(PIECES, k=rng.randint(0, 80)))


def log_line(record):
    """A record as the program logs it (csv_escape), with its time if it has one."""
    return b",".join(b'"' + v.replace(b'"', b'""').replace(b"\n", b"\\n").replace(b"\r", b"\\r")
                     + b'"' for v in record) + b"\n"


def export(program, *args, stdin=None):
    out = subprocess.run([program, *args], input=stdin, capture_output=True)
    assert out.returncode == 0 and out.stderr == b"", (out.returncode, out.stderr[:300])
    return out.stdout


def main():
    program = sys.argv[1]
    rng = random.Random(4180)
    records = [[value(rng) for _ in KEYS] + rng.choice([[], [TIME]]) for _ in range(2000)]
    log = b"".join(log_line(r) for r in records)

    # The bytes that are not UTF-8 come back as they were logged.
    text = export(program, "--bom", "--received", stdin=log).decode("utf-8-sig", "surrogateescape")
    rows = list(csv.reader(io.StringIO(text, newline="")))
    assert rows[0] == KEYS + ["received"], rows[0]
    assert len(rows) == len(records) + 1, len(rows)
    for record, row in zip(records, rows[1:]):
        cells = (record + [b""])[:5]  # an empty time where the record has none
        want = [b"'" + v if v[:1] in (b"=", b"+", b"-", b"@", b"\t", b"\r") else v for v in cells]
        assert [cell.encode("utf-8", "surrogateescape") for cell in row] == want, (row, want)

    with tempfile.NamedTemporaryFile() as file:
        file.write(log)
        file.flush()
        lines = export(program, "--json", file.name).decode("utf-8").splitlines()
    assert [list(json.loads(line).items()) for line in lines] == \
        [list(zip(KEYS + ["received"], (v.decode("utf-8", "replace") for v in r))) for r in records]
    print(f"{len(records)} records read back as CSV and as JSON")


if __name__ == "__main__":
    main()
