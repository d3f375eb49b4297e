"""Times bucketize per row for the range, string list and direct value buckets.

Each kind is measured against the plain-Python model of the module that the
tests compare it with (tests/bucket_model.py), in the same run, on rows
shaped like the titanic data: an age (a float, or None for about a fifth of
the rows) and a port of embarkation (a str).
Then checks that the one-hot kinds keep no new memory block per row.

Run with the installed package (scripts/run.sh makes .venv):
    .venv/bin/python benchmarks/bench_per_row.py [rows]
"""
import os
import random
import sys
import timeit

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor

# The baseline is the tests' plain-Python model of the module.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import bucket_model as model  # noqa: E402


def make_rows(count, seed=7):
    rng = random.Random(seed)
    towns = ["Southampton", "Cherbourg", "Queenstown"]
    rows = []
    for _ in range(count):
        age = None if rng.random() < 0.2 else round(rng.uniform(0.4, 80.0), 1)
        town = rng.choice(towns) if rng.random() < 0.95 else rng.choice(["", "Belfast"])
        rows.append({"age": age, "embark_town": town})
    return rows


def kinds():
    age = FieldExtractor("age", "FLOAT")
    town = FieldExtractor("embark_town")
    bounds = [5.0, 12.0, 18.0, 25.0, 30.0, 40.0, 50.0, 65.0]
    ports = ["Southampton", "Cherbourg", "Queenstown"]
    made = {}
    for lib in (bucket, model):
        made[lib] = [
            ("Bucket", lambda lib=lib: lib.Bucket("age", age, bounds)),
            ("StringBucket", lambda lib=lib: lib.StringBucket("town", town, ports)),
            ("ValueBucket", lambda lib=lib: lib.ValueBucket("age", age)),
        ]
    return [(name, make_c, make_py)
            for (name, make_c), (_, make_py) in zip(made[bucket], made[model])]


def feed(run, rows):
    for r in rows:
        run(r)


def per_row_ns(make, rows, repeat):
    """Best time over repeat runs of all rows through a fresh bucket, per row."""
    best = None
    for _ in range(repeat):
        b = make()
        elapsed = timeit.timeit(lambda: feed(b.bucketize, rows), number=1)
        best = elapsed if best is None else min(best, elapsed)
    return best / len(rows) * 1e9


def same_results(make_c, make_py, rows):
    c, py = make_c(), make_py()
    return all(c.bucketize(r) == py.bucketize(r) for r in rows) and c._distro == py._distro


def kept_blocks(make, rows):
    """Memory blocks still held after bucketing rows, outputs dropped."""
    b = make()
    for r in rows[:1000]:
        b.bucketize(r)
    before = sys.getallocatedblocks()
    for r in rows:
        b.bucketize(r)
    return sys.getallocatedblocks() - before


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    rows = make_rows(count)
    print("rows: %d, Python %s" % (count, sys.version.split()[0]))
    print("%-13s %10s %12s %7s %6s" % ("kind", "C ns/row", "Py ns/row", "ratio", "same"))
    for name, make_c, make_py in kinds():
        c = per_row_ns(make_c, rows, 5)
        py = per_row_ns(make_py, rows, 5)
        print("%-13s %10.1f %12.1f %6.2fx %6s"
              % (name, c, py, py / c, same_results(make_c, make_py, rows[:5000])))
    print("blocks kept after %d rows (outputs dropped):" % count)
    for name, make_c, make_py in kinds():
        print("  %-13s C %+d, Python %+d"
              % (name, kept_blocks(make_c, rows), kept_blocks(make_py, rows)))


if __name__ == "__main__":
    main()
