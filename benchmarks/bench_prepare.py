"""The preparation tool's whole run on diamonds repeated to 1,078,800 and to
10,788,000 rows (data/diamonds.csv, examples/diamonds.json: every kind),
beside pandas read_csv with a scikit-learn ColumnTransformer doing the same
work (learning the categories, encoding every field, saving the matrix)
and the per-row loop (csv.DictReader, one bucketize per field per row,
numpy.array, at the smaller size only). Each run is a process of its own:
its wall time, rows per second and peak RSS of its process tree (sampled
every 10 ms) are printed, with the ratios to pandas measured in the same
run. Exit status 1 if a target of the issue is missed.

The CSV files are written into a temporary folder, deleted at the end.
Run with the installed package (pandas and scikit-learn installed too):
    .venv/bin/python benchmarks/bench_prepare.py [--small-only]
or against the in-place build: BUCKET_BUILD_DIR=build python benchmarks/bench_prepare.py
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
CSV = os.path.join(ROOT, "data", "diamonds.csv")
CONFIG = os.path.join(ROOT, "examples", "diamonds.json")
SIZES = (1_078_800, 10_788_000)
# The targets, at 1,078,800 rows against pandas in the same run.
TARGETS = {"1 process": 2.5, "--workers 2": 3.5}
MAX_RSS = {"1 process": 200 << 20, "--workers 2": 450 << 20}

# Makes the in-place build importable, as the tests' conftest does.
_BOOTSTRAP = """
import os, sys
root = %r
build = os.environ.get("BUCKET_BUILD_DIR")
if build:
    sys.path.insert(0, root)
    import tarvello.custom.model_data as m, tarvello.custom.model_data.row_handler_proto as p
    out = os.path.join(root, build, "tarvello", "custom", "model_data")
    m.__path__.append(out)
    p.__path__.append(os.path.join(out, "row_handler_proto"))
""" % ROOT


def write_input(folder, rows):
    with open(CSV, "rb") as f:
        header = f.readline()
        body = f.read()
    per_copy = body.count(b"\n")
    path = os.path.join(folder, "diamonds-%d.csv" % rows)
    with open(path, "wb") as f:
        f.write(header)
        for _ in range(rows // per_copy):
            f.write(body)
    return path


def _tree_rss(pid):
    """The resident bytes of ``pid`` and its descendants."""
    total = 0
    stack = [pid]
    while stack:
        p = stack.pop()
        try:
            with open("/proc/%d/status" % p) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1]) * 1024
            for task in os.listdir("/proc/%d/task" % p):
                with open("/proc/%d/task/%s/children" % (p, task)) as f:
                    stack.extend(int(c) for c in f.read().split())
        except (OSError, ValueError):
            pass
    return total


def measure(argv, out):
    """Wall seconds and peak RSS of the process tree of one command, writing
    into ``out`` made afresh."""
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        peak = max(peak, _tree_rss(process.pid))
        time.sleep(0.01)
    seconds = time.perf_counter() - start
    if process.returncode != 0:
        raise SystemExit("%s failed with exit status %d" % (" ".join(argv), process.returncode))
    return seconds, peak


def tool(csv_path, out, extra=()):
    return [sys.executable, "-c", _BOOTSTRAP + "from tarvello.prepare import cli\nsys.exit(cli.main(sys.argv[1:]))",
            csv_path, "--config", CONFIG, "-o", out, "--quiet", "--no-check"] + list(extra)


def baseline(kind, csv_path, out):
    return [sys.executable, os.path.abspath(__file__), "--baseline", kind, csv_path, out]


def pandas_run(csv_path, out):
    """pandas read_csv and a ColumnTransformer doing the tool's work: the
    ranges one-hot, the string lists one-hot, the direct values with a null
    indicator or a default, the categories learned with a minimum share."""
    import numpy as np
    import pandas as pd
    from sklearn.compose import ColumnTransformer
    from sklearn.impute import SimpleImputer
    from sklearn.preprocessing import FunctionTransformer, OneHotEncoder, OrdinalEncoder

    with open(CONFIG) as f:
        fields = json.load(f)["fields"]
    text = {f["column"]: str for f in fields if f["type"] == "str"}
    frame = pd.read_csv(csv_path, dtype=text, keep_default_na=False, na_values=[""])

    def ranges(bounds, has_none):
        def one_hot(x):
            x = np.asarray(x, dtype=np.float64)[:, 0]
            index = np.searchsorted(bounds, x, side="right")
            width = len(bounds) + 1 + has_none
            if has_none:
                index[np.isnan(x)] = width - 1
            return np.eye(width)[index]
        return FunctionTransformer(one_hot)

    steps = []
    for f in fields:
        kind, column = f["kind"], [f["column"]]
        if kind == "Bucket":
            step = ranges(np.array(f["buckets"], float), f.get("has_none", True))
        elif kind == "StringBucket":
            step = OneHotEncoder(categories=[f["buckets"]], handle_unknown="ignore", sparse_output=False)
        elif kind == "ValueBucket" and f.get("default_value") is not None:
            step = SimpleImputer(strategy="constant", fill_value=f["default_value"])
        elif kind == "ValueBucket":
            step = SimpleImputer(strategy="constant", fill_value=0.0, add_indicator=f.get("has_null", True),
                                 keep_empty_features=True)
        elif kind == "CategoricalBucket":
            step = OrdinalEncoder(min_frequency=f["min_fraction"], handle_unknown="use_encoded_value",
                                  unknown_value=-1, encoded_missing_value=f.get("none_value", np.nan))
        else:
            step = OrdinalEncoder(categories=[f["categories"]], handle_unknown="use_encoded_value", unknown_value=-1)
        steps.append((f["name"], step, column))
    matrix = ColumnTransformer(steps, sparse_threshold=0).fit_transform(frame)
    np.save(os.path.join(out, "matrix.npy"), np.asarray(matrix, dtype=np.float64))


def loop_run(csv_path, out):
    """The per-row loop: csv.DictReader, the categories counted, one
    bucketize per field per row, numpy.array of the lists."""
    exec(_BOOTSTRAP, {})
    import csv
    from collections import Counter

    import numpy as np

    from tarvello.prepare import config, job

    fields = config.load(CONFIG)
    convert = {"float": float, "int": int, "str": str,
               "bool": lambda t: {"true": True, "false": False, "1": True, "0": False}[t.lower()]}
    counts = {f.column: Counter() for f in fields if f.learns}
    with open(csv_path, newline="") as f:
        for row in csv.DictReader(f):
            for column, counter in counts.items():
                if row[column]:
                    counter[row[column]] += 1
    learned = {f.name: sorted(counts[f.column].items(), key=lambda i: (-i[1], i[0])) for f in fields if f.learns}
    buckets = []
    for f in fields:
        b = f.make_bucket()
        if f.learns:
            with job.silenced(True):
                b.set_categories([{"name": v, "count": n} for v, n in learned[f.name]])
        buckets.append(b)
    matrix, ids = [], []
    with job.no_collection(), open(csv_path, newline="") as f:
        for row in csv.DictReader(f):
            values = {fd.column: convert[fd.type](row[fd.column]) if row[fd.column] else None for fd in fields}
            out_row = []
            for fd, b in zip(fields, buckets):
                if fd.kind == "SimpleCategoricalBucket":
                    ids.extend(b.bucketize(values))
                else:
                    out_row.extend(b.bucketize(values))
            matrix.append(out_row)
    np.save(os.path.join(out, "matrix.npy"), np.array(matrix, dtype=np.float64))


def main():
    if sys.argv[1:2] == ["--baseline"]:
        kind, csv_path, out = sys.argv[2:5]
        (pandas_run if kind == "pandas" else loop_run)(csv_path, out)
        return 0
    sizes = SIZES[:1] if "--small-only" in sys.argv else SIZES
    print("load average before: %s; %d cores" % (" ".join(open("/proc/loadavg").read().split()[:3]), os.cpu_count()))
    results = {}
    with tempfile.TemporaryDirectory(prefix="bench-prepare-") as folder:
        out = os.path.join(folder, "out")
        for rows in sizes:
            csv_path = write_input(folder, rows)
            runs = [("1 process", tool(csv_path, out)),
                    ("--workers 2", tool(csv_path, out, ["--workers", "2"])),
                    ("pandas + scikit-learn", baseline("pandas", csv_path, out))]
            if rows == SIZES[0]:
                runs.append(("per-row loop", baseline("loop", csv_path, out)))
            for label, argv in runs:
                results[label, rows] = measure(argv, out)
            os.unlink(csv_path)
    print("load average after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    print("\n| run | rows | seconds | rows/s | peak RSS | rows/s against pandas |")
    print("|---|---|---|---|---|---|")
    for (label, rows), (seconds, peak) in results.items():
        pandas = results[("pandas + scikit-learn", rows)][0]
        print("| %s | %s | %.2f | %s | %d MB | %.2fx |" % (
            label, format(rows, ","), seconds, format(int(rows / seconds), ","), peak >> 20, pandas / seconds))
    missed = []
    for label, ratio in TARGETS.items():
        got = results[("pandas + scikit-learn", SIZES[0])][0] / results[(label, SIZES[0])][0]
        if got < ratio:
            missed.append("%s: %.2fx pandas, the target is %.1fx" % (label, got, ratio))
    for (label, rows), (_, peak) in results.items():
        if label in MAX_RSS and peak > MAX_RSS[label]:
            missed.append("%s at %d rows: peak RSS %d MB, the target is %d MB"
                          % (label, rows, peak >> 20, MAX_RSS[label] >> 20))
    print("\n" + ("\n".join("missed: " + m for m in missed) if missed else "every target met"))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
