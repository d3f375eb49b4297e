"""Times bucketize per row for the range, string list and direct value buckets.

Each kind is measured against a pure-Python class with the same behaviour,
in the same run, on rows shaped like the titanic data: an age (a float, or
None for about a fifth of the rows) and a port of embarkation (a str).
Then checks that the one-hot kinds keep no new memory block per row.

Run with the installed package (scripts/run.sh makes .venv):
    .venv/bin/python benchmarks/bench_per_row.py [rows]
"""
import bisect
import random
import sys
import timeit
from numbers import Number

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor

FAST_MODE = False


class BadAttributeError(Exception):
    def __init__(self, key, value):
        self._key = key
        self._value = value


class PyBaseBucket:
    def __init__(self, name, extractor, total_buckets):
        self._name = name
        self._extractor = extractor
        self._total_buckets = total_buckets
        self._distro = [0] * self._total_buckets
        self._total = 0
        self._out_buckets = []
        for i in range(self._total_buckets):
            row = [0.0] * self._total_buckets
            row[i] = 1.0
            self._out_buckets.append(row)

    def _increment(self, bucket):
        self._total = self._total + 1
        self._distro[bucket] = self._distro[bucket] + 1

    def _create_entry(self, index):
        self._increment(index)
        return self._out_buckets[index]

    def bucketize(self, row):
        try:
            return self._bucketize_value(self._extractor.extract(row))
        except KeyError:
            print("KeyError in %s: %s" % (self._name, str(row)))
            raise


class PyBucket(PyBaseBucket):
    def __init__(self, name, extractor, buckets, has_none=True):
        total = len(buckets) + 2 if has_none else len(buckets) + 1
        super(PyBucket, self).__init__(name, extractor, total)
        self._has_none = has_none
        self._buckets = buckets
        self._len = len(buckets)

    def _bucketize_value(self, value):
        if value is None:
            index = self._len + 1 if self._has_none else 0
            return self._create_entry(index)
        if not FAST_MODE and not isinstance(value, Number):
            raise BadAttributeError(self._name, value)
        return self._create_entry(bisect.bisect(self._buckets, value))


class PyStringBucket(PyBucket):
    def __init__(self, name, extractor, buckets, has_none=True):
        super(PyStringBucket, self).__init__(name, extractor, buckets, has_none)
        self._bucket_map = {}
        for i in range(self._len):
            self._bucket_map[self._buckets[i]] = i

    def _bucketize_value(self, value):
        if value in self._bucket_map:
            index = self._bucket_map[value]
        else:
            index = self._len
        return self._create_entry(index)


class PyValueBucket(PyBaseBucket):
    def __init__(self, name, extractor, has_null=True, default_value=None):
        if default_value is not None:
            has_null = False
        super(PyValueBucket, self).__init__(name, extractor, 2 if has_null else 1)
        self._has_null = has_null
        self._default_value = default_value

    def _bucketize_value(self, value):
        if value is None:
            if self._has_null:
                return self._create_entry(1)
            value = self._default_value
        if not FAST_MODE and value is not None and not isinstance(value, Number):
            raise BadAttributeError(self._name, value)
        self._increment(0)
        return [value, 0.0] if self._has_null else [value]


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
    return [
        ("Bucket", lambda: bucket.Bucket("age", age, bounds),
         lambda: PyBucket("age", age, bounds)),
        ("StringBucket", lambda: bucket.StringBucket("town", town, ports),
         lambda: PyStringBucket("town", town, ports)),
        ("ValueBucket", lambda: bucket.ValueBucket("age", age),
         lambda: PyValueBucket("age", age)),
    ]


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
