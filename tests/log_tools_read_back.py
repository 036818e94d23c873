#!/usr/bin/python3
"""Exports a generated request log with ostrel-export and reads the output
back as another program would, with Python's csv and json modules: a header
row, then per record exactly four cells holding the logged values (with an
apostrophe before a formula's start), and the same values from --json.

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


def value(rng):
    return rng.choice(STARTS) + "".join(rng.choices(KEPT + '",\r\n', k=rng.randint(0, 80)))


def log_line(record):
    """A record as the program logs it (csv_escape)."""
    return ",".join('"' + v.replace('"', '""').replace("\n", "\\n").replace("\r", "\\r") + '"'
                    for v in record) + "\n"


def export(program, *args, stdin=None):
    out = subprocess.run([program, *args], input=stdin, capture_output=True)
    assert out.returncode == 0 and out.stderr == b"", (out.returncode, out.stderr[:300])
    return out.stdout.decode("ascii")


def main():
    program = sys.argv[1]
    rng = random.Random(4180)
    records = [[value(rng) for _ in KEYS] for _ in range(2000)]
    log = "".join(log_line(r) for r in records).encode("ascii")

    rows = list(csv.reader(io.StringIO(export(program, stdin=log), newline="")))
    assert rows[0] == KEYS, rows[0]
    assert len(rows) == len(records) + 1, len(rows)
    for record, row in zip(records, rows[1:]):
        want = ["'" + v if v.startswith(("=", "+", "-", "@", "\t", "\r")) else v for v in record]
        assert row == want, (row, want)

    with tempfile.NamedTemporaryFile() as file:
        file.write(log)
        file.flush()
        lines = export(program, "--json", file.name).splitlines()
    assert [list(json.loads(line).items()) for line in lines] == \
        [list(zip(KEYS, r)) for r in records]
    print(f"{len(records)} records read back as CSV and as JSON")


if __name__ == "__main__":
    main()
