"""Rows per second of the preparation tool on the diamonds data set
(data/diamonds.csv, 53,940 rows, examples/diamonds.json: every kind), beside
a bare loop of the same encoding written the obvious way: csv.DictReader, the
cells converted, one bucketize per field, list.extend, numpy.array at the end.
Both are given buckets that learned their categories before the clock
starts; the tool's whole run (also learning them in SQLite and writing the
output folder) is shown too, and the loop with the cyclic collector off, as
the tool runs. Best of five runs each, in the same process. Exit status 1 if
the tool's encoding is slower than the bare loop.

Run with the installed package (scripts/run.sh makes .venv):
    .venv/bin/python benchmarks/bench_prepare.py
"""
import contextlib
import csv
import io
import os
import sys
import tempfile
import time

import numpy as np

from tarvello.prepare import cli, config, job

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
CSV = os.path.join(ROOT, "data", "diamonds.csv")
CONFIG = os.path.join(ROOT, "examples", "diamonds.json")

CONVERT = {"float": float, "int": int, "str": str,
           "bool": lambda text: {"true": True, "false": False, "1": True, "0": False}[text.lower()]}


def bare_loop(fields, buckets):
    matrix, ids, lengths = [], [], []
    with open(CSV, newline="") as f:
        for row in csv.DictReader(f):
            values = {}
            for field in fields:
                text = row[field.column]
                values[field.column] = CONVERT[field.type](text) if text else None
            out = []
            for field, b in zip(fields, buckets):
                if field.kind == "SimpleCategoricalBucket":
                    found = b.bucketize(values)
                    ids.extend(found)
                    lengths.append(len(found))
                else:
                    out.extend(b.bucketize(values))
            matrix.append(out)
    return np.array(matrix, dtype=np.float64), np.array(ids, dtype=np.int64), lengths


def best(run, times=5):
    seconds = []
    for _ in range(times):
        start = time.perf_counter()
        result = run()
        seconds.append(time.perf_counter() - start)
    return min(seconds), result


def main():
    fields = config.load(CONFIG)
    data = job.read_input(CSV, fields, skip_bad_rows=False)
    rows = len(data.kept)
    learned = job.learn(fields, data, "diamonds", None, None)

    def fresh():
        return job.make_buckets(fields, data.table.header, learned, quiet=True)

    def fresh_by_name():
        return job.make_buckets(fields, None, learned, quiet=True)

    def tool_encoding():
        with job.no_collection():
            return job.encode(fields, fresh, job.read_input(CSV, fields, False), False)[1]

    def bare_without_collector():
        with job.no_collection():
            return bare_loop(fields, fresh_by_name())

    with tempfile.TemporaryDirectory() as out, contextlib.redirect_stdout(io.StringIO()):
        whole, code = best(lambda: cli.main([CSV, "--config", CONFIG, "-o", out, "--quiet"]))
        assert code == 0, code
        with np.load(os.path.join(out, "rows.npz"), allow_pickle=False) as z:
            saved = z["matrix"]
    encoding, encoded = best(tool_encoding)
    loop, (matrix, _, _) = best(lambda: bare_loop(fields, fresh_by_name()))
    loop_off, _ = best(bare_without_collector)
    assert np.array_equal(matrix, saved, equal_nan=True), "the bare loop encodes otherwise"
    assert np.array_equal(encoded.matrix, saved, equal_nan=True), "the tool's encoding differs from its output"
    print("diamonds: %d rows, %d fields, %d matrix columns; best of 5 runs" % (rows, len(fields), matrix.shape[1]))
    for label, seconds in [("tool, reading and encoding (the loop's work)", encoding),
                           ("tool, whole run (also SQLite, files)", whole),
                           ("bare loop", loop),
                           ("bare loop, cyclic collector off", loop_off)]:
        print("%-46s %9.0f rows/s  %.3f s  %.2fx the bare loop" % (label, rows / seconds, seconds, loop / seconds))
    return 0 if encoding <= loop else 1


if __name__ == "__main__":
    sys.exit(main())
