#!/usr/bin/python3
"""Prints the table of scripts/bench-all.sh: one row per figure of each benchmark.

Usage: bench_table.py DIR NAME...

For each NAME, DIR holds NAME.status (the word "ok", or why the benchmark failed), NAME.log
(its output) and, for a Google Benchmark program, NAME.json (its --benchmark_out). The
figures are the program's BENCH lines (the format of host/bench/BenchLine.h):

    BENCH <name> <value> <unit> [<note>]

and the runs in its JSON; any other line of its output is shown as it is, in the note
column. A benchmark that failed gets a row that says so, followed by the figures it printed
and the last lines of its log. Exit code 1 when any benchmark failed, 0 otherwise.
"""
import json
import math
import os
import re
import sys

FAILED_LINES = 10  # lines of a failed benchmark's log shown in the table
BENCH_LINE = re.compile(r"^BENCH\s+(\S+)\s+(\S+)\s+(\S+)(?:\s+(.*))?$")
# Fields of a Google Benchmark run that are not user counters.
GBENCH_FIELDS = {
    "name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
    "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit",
    "bytes_per_second", "items_per_second", "label", "error_occurred", "error_message",
    "aggregate_name", "aggregate_unit",
}


def number(text):
    """The value of a decimal number, or None."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def output_rows(lines):
    """Rows (figure, value, unit, note) of a program's output; value None for a plain line."""
    rows = []
    for line in lines:
        line = line.rstrip()
        match = BENCH_LINE.match(line)
        if match and number(match.group(2)) is not None:
            rows.append((match.group(1), number(match.group(2)), match.group(3), match.group(4) or ""))
        elif line.strip():
            rows.append(("", None, "", line.strip()))
    return rows


def gbench_rows(report):
    """Rows of a Google Benchmark JSON report, and the names of the runs that reported an error."""
    rows, errors = [], []
    for run in report.get("benchmarks", []):
        name = run.get("name", "?")
        if run.get("error_occurred"):
            errors.append(name)
            rows.append((name, None, "", "error: " + str(run.get("error_message", ""))))
            continue
        unit = run.get("time_unit", "ns")
        note = "cpu %.3f %s, %s iterations" % (run.get("cpu_time", 0.0), unit, run.get("iterations", "?"))
        rows.append((name, run.get("real_time"), unit, note))
        if "bytes_per_second" in run:
            rows.append((name + ":bytes", run["bytes_per_second"] / 1e6, "MB/s", ""))
        if "items_per_second" in run:
            rows.append((name + ":items", run["items_per_second"], "/s", ""))
        for key, value in run.items():
            if key not in GBENCH_FIELDS and isinstance(value, (int, float)):
                rows.append((name + ":" + key, value, "", "counter"))
    return rows, errors


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return None


def benchmark_rows(directory, name):
    """(failure or None, rows) of one benchmark."""
    base = os.path.join(directory, name)
    status = (read(base + ".status") or "no status: it did not run").strip()
    failure = None if status == "ok" else status
    report = read(base + ".json")
    if report is not None:
        try:
            rows, errors = gbench_rows(json.loads(report))
        except ValueError:
            rows, errors = [], []
            failure = failure or "unreadable JSON report"
        if errors and failure is None:
            failure = "errors in " + ", ".join(errors)
    else:
        rows = output_rows((read(base + ".log") or "").splitlines())
        if failure is None and not rows:
            failure = "no output"
    if failure is not None:
        # Its figures, and of its other lines the last few: a failed build's log is long.
        text = [row for row in rows if row[1] is None]
        rows = [row for row in rows if row[1] is not None] + text[-FAILED_LINES:]
        rows.insert(0, ("FAILED", None, "", "%s (log: %s.log)" % (failure, base)))
    return failure, rows


def value_text(value):
    if value is None:
        return ""
    if value != 0 and (abs(value) >= 1e7 or abs(value) < 1e-3):
        return "%.4g" % value
    return "%.3f" % value


def main(argv):
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    directory, names = argv[0], argv[1:]
    table, failed = [], []
    for name in names:
        failure, rows = benchmark_rows(directory, name)
        if failure is not None:
            failed.append(name)
        for figure, value, unit, note in rows:
            table.append((name, figure, value_text(value), unit, note))
    header = ("Benchmark", "Figure", "Value", "Unit", "Note")
    widths = [max(len(row[i]) for row in table + [header]) for i in range(4)]
    for row in [header] + table:
        cells = [row[0].ljust(widths[0]), row[1].ljust(widths[1]), row[2].rjust(widths[2]),
                 row[3].ljust(widths[3]), row[4]]
        print("  ".join(cells).rstrip())
    print()
    if failed:
        print("%d of %d benchmarks failed: %s" % (len(failed), len(names), " ".join(failed)))
        return 1
    print("all %d benchmarks ran" % len(names))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
