import sys
import threading
import time

import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

THREADS = 4
ROUNDS = 150


def categorical():
    b = bucket.CategoricalBucket("colour", FieldExtractor("v"), 0.1, none_value=3)
    b.set_categories([{"name": "red", "count": 5}, {"name": "blue", "count": 3},
                      {"name": "green", "count": 2}])
    return b


KINDS = {
    "range": (lambda: bucket.Bucket("age", FieldExtractor("v", "FLOAT"), [18.0, 30, 65.5]),
              [3, 18.0, 29.5, 70, None, -1e300, 30, 65.5, True]),
    "string": (lambda: bucket.StringBucket("colour", FieldExtractor("v"), ["red", "blue"]),
               ["red", "blue", "teal", None, "red", ""]),
    "boolean": (lambda: bucket.BooleanBucket("flag", FieldExtractor("v", "BOOL")),
                [True, False, None, True, False, True]),
    "value": (lambda: bucket.ValueBucket("v", FieldExtractor("v", "FLOAT"), True, 0.5),
              [1.5, None, 2, -7.25, None, 0]),
    "categorical": (categorical, ["red", "blue", "teal", None, "green", "red"]),
}


def counts(b):
    return list(b._distro), b._total


def feed(b, values, rounds, start=None):
    if start is not None:
        start.wait()
    return [b.bucketize({"v": v}) for _ in range(rounds) for v in values]


def run_threads(*targets):
    """Runs each target(start) in its own thread, all released together."""
    start = threading.Barrier(len(targets))
    errors, results = [], []

    def work(target):
        try:
            results.append(target(start))
        except BaseException as e:  # reported by the test thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


@pytest.fixture(autouse=True)
def frequent_switches():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@pytest.mark.parametrize("fast", [False, True])
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_shared_bucket_counts_every_row_once(kind, fast, monkeypatch):
    monkeypatch.setattr(bucket, "FAST_MODE", fast)
    make, values = KINDS[kind]
    alone = make()
    expected_rows = feed(alone, values, ROUNDS)
    distro, total = counts(alone)

    shared = make()
    results = run_threads(*[lambda start: feed(shared, values, ROUNDS, start)] * THREADS)
    assert all(r == expected_rows for r in results)
    assert counts(shared) == ([n * THREADS for n in distro], total * THREADS)


class SlowFloat(float):
    """Yields the interpreter in every comparison and hash."""

    def __lt__(self, other):
        time.sleep(0)
        return float(self) < other

    def __hash__(self):
        time.sleep(0)
        return float.__hash__(self)


class SlowStr(str):
    def __hash__(self):
        time.sleep(0)
        return str.__hash__(self)

    def __eq__(self, other):
        time.sleep(0)
        return str.__eq__(self, other)


def test_values_running_python_code_leave_counts_whole():
    b = bucket.Bucket("age", FieldExtractor("v", "FLOAT"), [18.0, 30.0, 65.0])
    s = bucket.StringBucket("colour", FieldExtractor("v"), ["red", "blue"])
    values = [SlowFloat(x) for x in (3, 20, 40, 99)]
    strings = [SlowStr(x) for x in ("red", "blue", "teal")]

    def work(start):
        start.wait()
        for _ in range(60):
            for v in values:
                b.bucketize({"v": v})
            for v in strings:
                s.bucketize({"v": v})
            str(b), b.get_distro(), s.get_distro()
            b.write_to_proto(row_handler_pb2.Bucket())

    run_threads(*[work] * THREADS)
    rows = 60 * THREADS
    assert counts(b) == ([rows, rows, rows, rows, 0], rows * 4)
    assert counts(s) == ([rows, rows, rows, 0], rows * 3)


def test_boundaries_replaced_and_shrunk_under_readers():
    b = bucket.Bucket("age", FieldExtractor("v", "FLOAT"), [10.0, 20.0, 30.0])
    readers_left = threading.Semaphore(0)
    seen = []

    def writer(start):
        start.wait()
        finished = 0
        while finished < THREADS - 1:
            b._buckets = (10.0, 20.0, 30.0)
            time.sleep(0)
            boundaries = [10.0, 20.0, 30.0]
            b._buckets = boundaries
            time.sleep(0)
            del boundaries[1:]  # while a reader may be bisecting it
            time.sleep(0)
            finished += readers_left.acquire(blocking=False)

    def reader(start):
        start.wait()
        try:
            for _ in range(300):
                try:
                    seen.append(b.bucketize({"v": SlowFloat(25)}))
                except IndexError:
                    pass
        finally:
            readers_left.release()

    run_threads(writer, *[reader] * (THREADS - 1))
    assert seen and all(len(row) == 5 and sum(row) == 1.0 for row in seen)
    assert sum(b._distro) == b._total == len(seen)
