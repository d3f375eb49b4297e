"""Buckets move between processes: pickle, copy.deepcopy and multiprocessing
keep every kind's class, attributes and counts, and a copy encodes exactly as
the original."""
import concurrent.futures
import copy
import multiprocessing
import pickle

import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor

ROWS = [{"v": v, "t": t} for v, t in [(3.5, "a"), (None, None), (42, "b"), (-1, "a"), (7.25, "zz"),
                                      (True, "a"), (18.0, ["a", "b"])]]


def kinds():
    towns = bucket.CategoricalBucket("t", FieldExtractor("t"), 0.1, none_value=7)
    towns.set_categories([{"name": "a", "count": 5}, {"name": "b", "count": 2}, {"name": "c", "count": 1}])
    return {
        "Bucket": bucket.Bucket("v", FieldExtractor("v", "FLOAT"), [0.0, 10.0, 20.0]),
        "StringBucket": bucket.StringBucket("t", FieldExtractor("t"), ["a", "b"], has_none=False),
        "BooleanBucket": bucket.BooleanBucket("b", FieldExtractor("v", "BOOL")),
        "ValueBucket": bucket.ValueBucket("v", FieldExtractor("v", "FLOAT"), default_value=-9.0),
        "CategoricalBucket": towns,
        "SimpleCategoricalBucket": bucket.SimpleCategoricalBucket("t", FieldExtractor("t"), ["a", "b"]),
    }


def feed(b, rows):
    """The outputs of the rows, or the error's type where a value is refused."""
    outputs = []
    for row in rows:
        try:
            outputs.append(b.bucketize(row))
        except Exception as e:
            outputs.append(type(e).__name__)
    return outputs


def same(original, other):
    assert type(other) is type(original) and other is not original
    assert other.__dict__ == original.__dict__
    # Both go on alike: outputs and counts.
    assert feed(other, ROWS) == feed(original, ROWS)
    assert other.__dict__ == original.__dict__
    assert other.get_distro() == original.get_distro()


def _round_trip_in_child(buckets):
    return buckets, [feed(b, ROWS) for b in buckets]


@pytest.mark.parametrize("copier", [
    *[pytest.param(lambda b, p=p: pickle.loads(pickle.dumps(b, protocol=p)), id="pickle-%d" % p)
      for p in range(2, pickle.HIGHEST_PROTOCOL + 1)],
    pytest.param(copy.deepcopy, id="deepcopy"),
])
@pytest.mark.parametrize("counted", [False, True], ids=["uncounted", "counted"])
@pytest.mark.parametrize("kind", list(kinds()))
def test_a_copy_keeps_class_attributes_counts_and_encodes_alike(kind, counted, copier):
    original = kinds()[kind]
    if counted:
        feed(original, ROWS)
    same(original, copier(original))


def test_buckets_come_back_from_another_process_counted_as_there():
    buckets = list(kinds().values())
    here = copy.deepcopy(buckets)
    # A forked child imports the module as this process did.
    with concurrent.futures.ProcessPoolExecutor(1, multiprocessing.get_context("fork")) as pool:
        there, outputs = pool.submit(_round_trip_in_child, buckets).result(timeout=60)
    assert outputs == [feed(b, ROWS) for b in here]
    for mine, theirs in zip(here, there):
        same(mine, theirs)
