"""columns.encode against per-value calls and NumPy vectorised code.

On diamonds' columns repeated to 1,078,800 values (data/diamonds.csv, the
fields of examples/diamonds.json; the boolean column is x > y, diamonds have
none), per kind and input form, in ns per value, the median of 3 runs:
  encode      columns.encode over chunks of CHUNK rows into a reused buffer
  per value   bucket._bucketize_value(v) for each value of a list
  NumPy       the obvious vectorised code for the same output and counts,
              over the same chunks
and the ratios per-value / encode and NumPy / encode. Then columns.scan_rows
over diamonds' CSV text in blocks of a megabyte, as the tool reads it, in
bytes per ns, beside bytes.count(b"\n") over the same blocks (for scale:
CPython's C loop over the bytes for one of them).

Run with an interpreter that has numpy and pyarrow, from the repository root:
    BUCKET_BUILD_DIR=build python benchmarks/columns.py [--repeat N]
"""
import argparse
import csv
import gc
import os
import platform
import statistics
import sys
import time

import numpy as np
import pyarrow as pa

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import conftest  # noqa: E402,F401  (puts BUCKET_BUILD_DIR's build on the package path)

from tarvello.custom.model_data import bucket, columns  # noqa: E402
from tarvello.custom.model_data.extractor import FieldExtractor  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROWS = 1_078_800
CHUNK = 4096
TARGETS = {"Bucket": 12, "StringBucket": 15, "BooleanBucket": None, "ValueBucket": 4,
           "CategoricalBucket": 8, "SimpleCategoricalBucket": 8}


def load():
    with open(os.path.join(ROOT, "data", "diamonds.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    times = -(-ROWS // len(rows))
    rows = (rows * times)[:ROWS]
    return {
        "carat": [float(r["carat"]) for r in rows],
        "depth": [float(r["depth"]) for r in rows],
        "color": [r["color"] for r in rows],
        "clarity": [r["clarity"] for r in rows],
        "cut": [r["cut"] for r in rows],
        "longer": [float(r["x"]) > float(r["y"]) for r in rows],
    }


def one_hot(idx, out, counts):
    out[:] = 0.0
    out[np.arange(len(idx)), idx] = 1.0
    counts += np.bincount(idx, minlength=len(counts))


def mapped(values, mapping, missing):
    """Each value's entry in mapping (missing when absent), through the
    column's distinct values."""
    uniques, inverse = np.unique(values, return_inverse=True)
    return np.array([mapping.get(u, missing) for u in uniques], np.int64)[inverse]


class Case:
    def __init__(self, kind, make, field, data_type, numpy_code):
        self.kind, self.make, self.field, self.data_type = kind, make, field, data_type
        self.numpy_code = numpy_code


def range_numpy(b):
    bounds = np.array(b._buckets)

    def code(values, out, counts):
        one_hot(np.searchsorted(bounds, values, side="right"), out, counts)
    return code


def strings_numpy(b):
    def code(values, out, counts):
        one_hot(mapped(values, b._bucket_map, b._len), out, counts)
    return code


def boolean_numpy(b):
    def code(values, out, counts):
        one_hot(values.astype(np.int64), out, counts)
    return code


def value_numpy(b):
    def code(values, out, counts):
        out[:, 0] = values
        out[:, 1] = 0.0
        counts[0] += len(values)
    return code


def categorical_numpy(b):
    def code(values, out, counts):
        idx = mapped(values, b._category_dict, -1)
        out[:, 0] = idx
        counts += np.bincount(idx + 2, minlength=len(counts))
    return code


def simple_numpy(b):
    def code(values, out, counts):
        ids, offsets = out
        ids[:len(values)] = mapped(values, b._category_value_map, -1)
        offsets[:len(values) + 1] = np.arange(len(values) + 1)
    return code


def learned(b, values):
    names, counts = np.unique(np.array(values[:53_940], object), return_counts=True)
    with open(os.devnull, "w") as sink:
        stdout, sys.stdout = sys.stdout, sink
        try:
            b.set_categories([{"name": n, "count": int(c)} for n, c in zip(names, counts)])
        finally:
            sys.stdout = stdout
    return b


def cases(data):
    def fe(name, t):
        return FieldExtractor(name, t)
    return [
        Case("Bucket", lambda: bucket.Bucket("carat", fe("carat", "FLOAT"), [0.4, 0.7, 1.0, 1.5, 2.0]),
             "carat", "float", range_numpy),
        Case("StringBucket", lambda: bucket.StringBucket("color", fe("color", "STRING"), list("DEFGHIJ")),
             "color", "str", strings_numpy),
        Case("BooleanBucket", lambda: bucket.BooleanBucket("longer", fe("longer", "BOOL")),
             "longer", "bool", boolean_numpy),
        Case("ValueBucket", lambda: bucket.ValueBucket("depth", fe("depth", "FLOAT")), "depth", "float",
             value_numpy),
        Case("CategoricalBucket", lambda: learned(bucket.CategoricalBucket(
            "clarity", fe("clarity", "STRING"), 0.02, None, -2), data["clarity"]),
            "clarity", "str", categorical_numpy),
        Case("SimpleCategoricalBucket", lambda: bucket.SimpleCategoricalBucket(
            "premium", fe("premium", "STRING"), ["Premium", "Ideal"]), "cut", "str", simple_numpy),
    ]


def forms(values, data_type):
    arrow = pa.array(values, {"float": pa.float64(), "bool": pa.bool_(), "str": pa.string()}[data_type])
    array = np.array(values, {"float": np.float64, "bool": np.bool_, "str": object}[data_type])
    return {"Arrow": arrow, "NumPy": array, "list": values}


def output(b, n):
    if isinstance(b, bucket.SimpleCategoricalBucket):
        return np.zeros(n, np.int64), np.zeros(n + 1, np.int64)
    if isinstance(b, bucket.CategoricalBucket):
        return np.zeros((n, 1))
    width = (2 if b._has_null else 1) if isinstance(b, bucket.ValueBucket) else len(b._out_buckets[0])
    return np.zeros((n, width))


def chunk_of(out, n):
    return (out[0], out[1][:n + 1]) if isinstance(out, tuple) else out[:n]


def time_encode(case, column):
    b = case.make()
    out = output(b, CHUNK)
    n = len(column)
    sliced = column.slice if isinstance(column, pa.Array) else (lambda s, k: column[s:s + k])
    start = time.perf_counter()
    for s in range(0, n, CHUNK):
        k = min(CHUNK, n - s)
        columns.encode(b, sliced(s, k), chunk_of(out, k))
    return time.perf_counter() - start


def time_per_value(case, values):
    b = case.make()
    call = b._bucketize_value
    start = time.perf_counter()
    for v in values:
        call(v)
    return time.perf_counter() - start


def time_numpy(case, array):
    b = case.make()
    code = case.numpy_code(b)
    out = output(b, CHUNK)
    counts = np.zeros(len(b._distro), np.int64)
    n = len(array)
    start = time.perf_counter()
    for s in range(0, n, CHUNK):
        k = min(CHUNK, n - s)
        code(array[s:s + k], chunk_of(out, k), counts)
    return time.perf_counter() - start


def csv_blocks():
    """Diamonds' CSV text repeated to ROWS rows, in blocks of a megabyte."""
    with open(os.path.join(ROOT, "data", "diamonds.csv"), "rb") as f:
        text = f.read()
    text *= -(-ROWS // text.count(b"\n"))
    return [text[s:s + (1 << 20)] for s in range(0, len(text), 1 << 20)]


def time_blocks(blocks, scan):
    start = time.perf_counter()
    for b in blocks:
        scan(b)
    return time.perf_counter() - start


def median(repeat, run):
    """ns per value, the median of repeat runs, with the garbage collector
    off as timeit has it: the million-value lists would make each of its
    passes cost more than the encoding."""
    times = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            times.append(run())
        finally:
            gc.enable()
    return statistics.median(times) / ROWS * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs per figure, the median shown (3)")
    args = parser.parse_args()
    data = load()
    print("%s %s, %s, %d values, chunks of %d, median of %d" % (
        platform.python_implementation(), platform.python_version(), platform.machine(), ROWS, CHUNK,
        args.repeat))
    header = ("kind", "input", "encode", "per value", "NumPy", "per value/encode", "NumPy/encode", "target")
    print("%-24s %-6s %8s %10s %8s %17s %13s %7s" % header)
    for case in cases(data):
        values = data[case.field]
        per_value = median(args.repeat, lambda: time_per_value(case, values))
        made = forms(values, case.data_type)
        numpy_ns = median(args.repeat, lambda: time_numpy(case, made["NumPy"]))
        for name, column in made.items():
            fast, why = columns.fast_path(case.make(), column)
            ns = median(args.repeat, lambda: time_encode(case, column))
            target = TARGETS[case.kind]
            print("%-24s %-6s %8.1f %10.1f %8.1f %16.1fx %12.1fx %7s%s" % (
                case.kind, name, ns, per_value, numpy_ns, per_value / ns, numpy_ns / ns,
                "" if target is None or name == "list" else "<= %d" % target,
                "" if fast else "  (per value: %s)" % why))
    blocks = csv_blocks()
    size = sum(map(len, blocks))
    scan = statistics.median(time_blocks(blocks, columns.scan_rows) for _ in range(args.repeat))
    count = statistics.median(time_blocks(blocks, lambda b: b.count(b"\n")) for _ in range(args.repeat))
    print("scan_rows: %.2f bytes per ns, bytes.count: %.2f (%d bytes of CSV text in blocks of 1 MB)" % (
        size / scan / 1e9, size / count / 1e9, size))


if __name__ == "__main__":
    main()
