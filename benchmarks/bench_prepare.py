"""Rows per second of the preparation tool on the diamonds data set
(data/diamonds.csv, 53,940 rows, examples/diamonds.json: every kind), beside
a bare loop of the same encoding written the obvious way: csv.DictReader, the
cells converted, one bucketize per field, list.extend, numpy.array at the end.
Both are given buckets that learned their categories before the clock
starts; the tool's whole run (also learning them in SQLite and writing the
output folder) is shown too, and the loop with the cyclic collector off, as
the tool runs. Best of five runs each, in the same process.

Then the tool's whole run on diamonds repeated to 1,000,000 rows (a file the
benchmark writes and deletes) in one process, two (--workers 2) and on Dask:
a LocalCluster of two workers started for the run (--dask local) and one
already running. Exit status 1 if the tool's encoding is slower than the bare
loop or two processes do not reach 1.6x one.

Run with the installed package (scripts/run.sh makes .venv):
    .venv/bin/python benchmarks/bench_prepare.py
"""
import contextlib
import csv
import io
import multiprocessing
import os
import sys
import tempfile
import time
import warnings

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
    scaled = scaling()
    return 0 if encoding <= loop and scaled else 1


def scaling(rows=1_000_000):
    """The tool's whole run on diamonds repeated to ``rows`` rows, in one and
    two processes and on Dask; True if two processes reach 1.6x one."""
    with open(CSV, newline="") as f:
        header = f.readline()
        lines = f.readlines()
    with tempfile.TemporaryDirectory() as folder:
        big = os.path.join(folder, "diamonds-%d.csv" % rows)
        with open(big, "w", newline="") as f:
            f.write(header)
            for start in range(0, rows, len(lines)):
                f.writelines(lines[:rows - start])
        runs = [("1 process", []), ("2 processes (--workers 2)", ["--workers", "2"]),
                ("Dask LocalCluster started for the run (--dask local)", ["--dask", "local", "--workers", "2"])]
        seconds = {}
        for label, extra in runs:
            seconds[label] = _whole_run(big, folder, extra)
        try:
            from dask.distributed import LocalCluster
        except ImportError:
            LocalCluster = None
        if LocalCluster is not None:
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
                label = "Dask LocalCluster already running (--dask tcp://...)"
                seconds[label] = _whole_run(big, folder, ["--dask", cluster.scheduler_address])
    one = seconds["1 process"]
    print("\ndiamonds repeated to %d rows, whole runs, best of 2" % rows)
    for label, s in seconds.items():
        print("%-54s %9.0f rows/s  %6.2f s  %.2fx one process" % (label, rows / s, s, one / s))
    print("this machine: a pure-Python loop in 2 processes does %.2fx the work of 1 in the same time"
          % machine_speedup())
    return one / seconds["2 processes (--workers 2)"] >= 1.6


def _spin(n=30_000_000):
    total = 0
    for i in range(n):
        total += i
    return total


def machine_speedup():
    """What two processes gain over one here, on work that shares nothing:
    the ceiling of the tool's gain."""
    start = time.perf_counter()
    _spin()
    alone = time.perf_counter() - start
    context = multiprocessing.get_context("fork")
    start = time.perf_counter()
    both = [context.Process(target=_spin) for _ in range(2)]
    for p in both:
        p.start()
    for p in both:
        p.join()
    return 2 * alone / (time.perf_counter() - start)


def _whole_run(csv_path, folder, extra):
    out = os.path.join(folder, "out")
    with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        took, code = best(lambda: cli.main([csv_path, "--config", CONFIG, "-o", out, "--quiet"] + extra), 2)
    assert code == 0, code
    return took


if __name__ == "__main__":
    sys.exit(main())
