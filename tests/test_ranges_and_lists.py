import bisect as std_bisect
import math
import sys
import types
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2
from tarvello.custom.model_data.extractor import FieldExtractor

ESC = "\x1b[38;5;4m"
OFF = "\x1b[30;m"


def age_bucket(buckets=(10, 20, 30), has_none=True):
    return bucket.Bucket("age", FieldExtractor("age", "FLOAT"), list(buckets), has_none)


def color_bucket(values=("red", "green", "blue"), has_none=True):
    return bucket.StringBucket("color", FieldExtractor("color"), list(values), has_none)


def index_of(row):
    assert row.count(1.0) == 1 and len(row) == row.count(0.0) + 1
    return row.index(1.0)


# --- construction -----------------------------------------------------------

@pytest.mark.parametrize("has_none, total", [(True, 5), (False, 4), (1, 5), (0, 4), ([], 4)])
def test_range_bucket_counts_its_indexes(has_none, total):
    b = age_bucket(has_none=has_none)
    assert b._total_buckets == total
    assert b._distro == [0] * total
    assert b._has_none is has_none
    assert b._len == 3
    assert len(b._out_buckets) == total and all(len(r) == total for r in b._out_buckets)


def test_range_bucket_keeps_the_callers_sequence():
    bounds = [3, 1, 2]
    b = bucket.Bucket("x", FieldExtractor("x"), bounds)
    assert b._buckets is bounds and bounds == [3, 1, 2]


def test_range_bucket_arguments_by_keyword_and_errors():
    b = bucket.Bucket(buckets=[1.0], extractor=FieldExtractor("x"), name="x", has_none=False)
    assert b._total_buckets == 2
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at least 4 positional arguments \(3 given\)$"):
        bucket.Bucket("x", FieldExtractor("x"))
    with pytest.raises(TypeError, match="unexpected keyword argument 'has_null'"):
        bucket.Bucket("x", FieldExtractor("x"), [1], has_null=True)
    with pytest.raises(TypeError):
        bucket.Bucket("x", FieldExtractor("x"), 5)


def test_range_bucket_truth_test_precedes_len():
    seen = []

    class Flag:
        def __bool__(self):
            seen.append("bool")
            return True

    class Bounds(list):
        def __len__(self):
            seen.append("len")
            return list.__len__(self)

    bucket.Bucket("x", FieldExtractor("x"), Bounds([1, 2]), Flag())
    assert seen[:2] == ["bool", "len"]


# --- choosing the index -----------------------------------------------------

@pytest.mark.parametrize("value, index", [
    (5, 0), (10, 1), (19.9, 1), (20, 2), (30, 3), (1e9, 3), (True, 0), (False, 0),
    (-math.inf, 0), (math.inf, 3), (math.nan, 3), (None, 4),
    (Decimal("10"), 1), (Decimal("29.99"), 2), (Fraction(41, 2), 2), (Fraction(-1, 3), 0),
    (10.0, 1), (2 ** 100, 3), (-2 ** 100, 0),
])
def test_range_bucket_chooses_the_range(value, index):
    b = age_bucket()
    row = b._bucketize_value(value)
    assert index_of(row) == index
    assert row is b._out_buckets[index]
    assert b._distro[index] == 1 and b._total == 1


def test_none_is_counted_with_the_lowest_range_without_none_index():
    b = age_bucket(has_none=False)
    assert index_of(b.bucketize({"age": None})) == 0
    assert index_of(b.bucketize({"age": 3})) == 0
    assert b._distro == [2, 0, 0, 0]


def test_none_index_follows_a_replaced_len():
    b = age_bucket()
    b._len = 1
    assert b._bucketize_value(None) is b._out_buckets[2]


@pytest.mark.parametrize("value", ["abc", b"1", [1], object()])
def test_range_bucket_rejects_non_numbers(value):
    b = age_bucket()
    with pytest.raises(bucket.BadAttributeError) as info:
        b._bucketize_value(value)
    assert info.value._key == "age" and info.value._value is value
    assert b._total == 0 and b._distro == [0] * 5


def test_fast_mode_skips_the_type_test(monkeypatch):
    b = age_bucket()
    monkeypatch.setattr(bucket, "FAST_MODE", True)
    with pytest.raises(TypeError, match="'<' not supported"):
        b._bucketize_value("abc")
    assert b._total == 0


def test_fast_mode_is_read_by_its_truth_at_each_call(monkeypatch):
    b = age_bucket()
    monkeypatch.setattr(bucket, "FAST_MODE", [1])
    with pytest.raises(TypeError):
        b._bucketize_value("abc")
    monkeypatch.setattr(bucket, "FAST_MODE", "")
    with pytest.raises(bucket.BadAttributeError):
        b._bucketize_value("abc")
    monkeypatch.delattr(bucket, "FAST_MODE")
    with pytest.raises(NameError, match="FAST_MODE"):
        b._bucketize_value(1)


@pytest.mark.parametrize("fast", [False, True])
def test_complex_passes_the_type_test_and_fails_in_comparison(monkeypatch, fast):
    monkeypatch.setattr(bucket, "FAST_MODE", fast)
    b = age_bucket()
    with pytest.raises(TypeError, match="'<' not supported"):
        b._bucketize_value(1j)
    assert b._total == 0


def test_empty_boundaries_give_index_zero_and_a_failing_label():
    b = age_bucket(buckets=(), has_none=False)
    assert b._total_buckets == 1
    assert index_of(b._bucketize_value(42)) == 0
    with pytest.raises(IndexError):
        b.get_bucket_label(0)
    with pytest.raises(IndexError):
        b.get_distro()
    # With the None index, the report asks only for the None label.
    b = age_bucket(buckets=())
    assert b.get_distro() == "( < " + ESC + " 0%" + OFF + " | None: " + ESC + " 0%" + OFF + ")"


# --- the same answers as bisect.bisect --------------------------------------

numbers = st.one_of(
    st.integers(-50, 50),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.fractions(max_denominator=7),
    st.decimals(allow_nan=False, places=2, min_value=-60, max_value=60),
)


@given(st.lists(st.one_of(st.integers(-50, 50), st.floats(-60, 60)), max_size=12), numbers)
def test_index_is_the_standard_right_bisection(bounds, value):
    bounds.sort()
    for seq in (bounds, tuple(bounds)):
        b = bucket.Bucket("x", FieldExtractor("x"), seq, False)
        assert index_of(b._bucketize_value(value)) == std_bisect.bisect(seq, value)


@given(st.lists(st.floats(allow_nan=True), max_size=10), st.floats(allow_nan=True))
def test_unsorted_and_nan_boundaries_bisect_as_the_standard_function(bounds, value):
    b = bucket.Bucket("x", FieldExtractor("x"), bounds, False)
    assert index_of(b._bucketize_value(value)) == std_bisect.bisect(bounds, value)


class Probe:
    """A value that records what it is compared with, and may change the list."""

    def __init__(self, key, log, action=None):
        self.key, self.log, self.action = key, log, action

    def __lt__(self, other):
        self.log.append(other)
        if self.action:
            self.action()
        return self.key < other


def run_both(make_bounds, key, make_action):
    """Runs the bucket and bisect.bisect on equal fresh lists; returns both outcomes."""
    outcomes = []
    for use_bucket in (True, False):
        bounds, log = make_bounds(), []
        value = Probe(key, log, make_action(bounds))
        try:
            if use_bucket:
                b = bucket.Bucket("x", FieldExtractor("x"), bounds, False)
                result = index_of(b._bucketize_value(value))
            else:
                result = std_bisect.bisect(bounds, value)
        except Exception as exc:  # the outcome compared is the exception itself
            result = (type(exc), str(exc))
        outcomes.append((result, log))
    return outcomes


@pytest.mark.parametrize("key", [0, 15, 25, 35, 70])
@pytest.mark.parametrize("action", [
    lambda bounds: None,
    lambda bounds: bounds.pop() if bounds else None,
    lambda bounds: bounds.clear(),
    lambda bounds: bounds.insert(0, -100),
    lambda bounds: bounds.append(1000),
    lambda bounds: bounds.__setitem__(slice(None), [40, 50]),
])
def test_objects_with_their_own_lt_see_the_standard_probes(monkeypatch, key, action):
    monkeypatch.setattr(bucket, "FAST_MODE", True)
    make = lambda: [10, 20, 30, 40, 50, 60]
    ours, theirs = run_both(make, key, lambda bounds: (lambda: action(bounds)))
    assert ours == theirs


def test_boundary_changes_after_construction_are_seen():
    bounds = [10, 20, 30]
    b = bucket.Bucket("x", FieldExtractor("x"), bounds)
    bounds.append(40)
    # The search covers the current list; the None index keeps the old length.
    assert index_of(b._bucketize_value(45)) == 4
    assert index_of(b._bucketize_value(None)) == 4
    assert b.get_bucket_label(3) == ">30.0"
    del bounds[:]
    assert index_of(b._bucketize_value(45)) == 0
    with pytest.raises(IndexError):
        b.get_bucket_label(0)


def test_failed_comparison_counts_nothing(monkeypatch):
    class Bad:
        def __lt__(self, other):
            raise ZeroDivisionError("no order")

    monkeypatch.setattr(bucket, "FAST_MODE", True)
    b = age_bucket()
    with pytest.raises(ZeroDivisionError, match="no order"):
        b._bucketize_value(Bad())
    assert b._total == 0


# --- late binding: the shortcuts give way to replaced globals ----------------

def test_replaced_bisect_module_is_called(monkeypatch):
    calls = []

    def fake(seq, value):
        calls.append((seq, value))
        return 2

    monkeypatch.setattr(bucket, "bisect", types.SimpleNamespace(bisect=fake))
    b = age_bucket()
    assert index_of(b._bucketize_value(5)) == 2
    assert calls == [(b._buckets, 5)]


def test_replaced_bisect_function_is_called(monkeypatch):
    calls = []
    monkeypatch.setattr(std_bisect, "bisect",
                        lambda seq, value: calls.append(value) or 0)
    b = age_bucket()
    assert index_of(b._bucketize_value(25.0)) == 0
    assert calls == [25.0]


def test_missing_bisect_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(bucket, "bisect")
    with pytest.raises(NameError, match="'bisect'"):
        age_bucket()._bucketize_value(5)


def test_bisect_result_is_counted_as_returned(monkeypatch):
    monkeypatch.setattr(bucket, "bisect", types.SimpleNamespace(bisect=lambda s, v: -1))
    b = age_bucket()
    assert b._bucketize_value(5) is b._out_buckets[-1]
    assert b._distro == [0, 0, 0, 0, 1]


def test_sequence_other_than_list_or_tuple_goes_through_bisect():
    b = bucket.Bucket("x", FieldExtractor("x"), range(0, 100, 10))
    assert index_of(b._bucketize_value(35)) == 4
    b = bucket.Bucket("x", FieldExtractor("x"), {1: 0})
    with pytest.raises(TypeError):
        std_bisect.bisect({1: 0}, 5)
    with pytest.raises(TypeError):
        b._bucketize_value(5)


def test_replaced_number_decides_the_type_test(monkeypatch):
    class OnlyFloats(type):
        def __instancecheck__(cls, obj):
            return isinstance(obj, float)

    monkeypatch.setattr(bucket, "Number", OnlyFloats("N", (), {}))
    b = age_bucket()
    with pytest.raises(bucket.BadAttributeError):
        b._bucketize_value(5)
    assert index_of(b._bucketize_value(5.0)) == 0
    monkeypatch.setattr(bucket, "Number", str)
    with pytest.raises(bucket.BadAttributeError):
        b._bucketize_value(5)
    with pytest.raises(TypeError, match="'<' not supported"):
        b._bucketize_value("5")


def test_counting_goes_through_the_instance_methods():
    seen = []

    class Traced(bucket.Bucket):
        def _increment(self, bucket_index):
            seen.append(("inc", bucket_index, type(bucket_index)))
            super()._increment(bucket_index)

    b = Traced("age", FieldExtractor("age"), [10, 20, 30])
    assert index_of(b._bucketize_value(25)) == 2
    assert index_of(b._bucketize_value(None)) == 4
    assert seen == [("inc", 2, int), ("inc", 4, int)]

    b = age_bucket()
    b._create_entry = lambda i: ("entry", i)
    assert b._bucketize_value(15) == ("entry", 1)
    assert b._bucketize_value(None) == ("entry", 4)


def test_per_row_path_allocates_nothing_that_stays():
    b = age_bucket(buckets=[18.0, 30.0, 65.0])
    values = [float(v % 90) for v in range(500)] + [None, 3, True] * 50
    for v in values:
        b._bucketize_value(v)
    before = sys.getallocatedblocks()
    for _ in range(20):
        for v in values:
            b._bucketize_value(v)
    assert sys.getallocatedblocks() - before < 20


# --- labels, texts and the message ------------------------------------------

@pytest.mark.parametrize("bounds, labels", [
    ([10, 20, 30], ["10.0", "20.0", "30.0", ">30.0", "None", "None"]),
    ([0.5, 2.0], [" 0.5", " 2.0", "> 2.0", "None"]),
    ([5, 2.25, 123.45], [" 5.0", " 2.2", "123.5", ">123.5", "None"]),
])
def test_range_labels(bounds, labels):
    b = age_bucket(buckets=bounds)
    assert [b.get_bucket_label(i) for i in range(len(labels))] == labels


def test_range_distribution_text():
    b = age_bucket()
    for v in (1, 12, 12, 50, None):
        b._bucketize_value(v)
    assert b.get_distro() == (
        "(" + ESC + "20%" + OFF + " 10.0  " + ESC + "40%" + OFF + " 20.0  "
        + ESC + " 0%" + OFF + " 30.0   < " + ESC + "20%" + OFF
        + " | None: " + ESC + "20%" + OFF + ")")


@pytest.mark.parametrize("bounds, text", [
    ([18.0, 30.0, 65.0], "age: 5 ([18.0, 30.0, 65.0]) extractor: age"),
    ((1, 2), "age: 4 ((1, 2)) extractor: age"),
])
def test_range_text(bounds, text):
    b = bucket.Bucket("age", FieldExtractor("age"), bounds)
    assert str(b) == text
    assert index_of(b._bucketize_value(1.5)) == std_bisect.bisect(bounds, 1.5)


def test_range_text_needs_field_name():
    b = bucket.Bucket("age", object(), [1])
    with pytest.raises(AttributeError, match="_field_name"):
        str(b)


@pytest.mark.parametrize("has_none", [True, False])
def test_range_message(has_none):
    b = age_bucket(has_none=has_none)
    proto = row_handler_pb2.Bucket()
    assert b.write_to_proto(proto) is None
    assert proto.name == "age" and proto.bucket_count == (5 if has_none else 4)
    assert proto.extractor == FieldExtractor("age", "FLOAT").to_proto()
    assert proto.bucket_type == row_handler_pb2.Bucket.BUCKET
    assert proto.has_null is has_none
    assert list(proto.float_buckets) == [10.0, 20.0, 30.0]
    assert list(proto.int_buckets) == [] and list(proto.string_buckets) == []
    assert not proto.HasField("none_value")


def test_range_message_reads_kind_from_module_global(monkeypatch):
    fake = types.SimpleNamespace(Bucket=types.SimpleNamespace(BUCKET=row_handler_pb2.Bucket.CATEGORY))
    monkeypatch.setattr(bucket, "row_handler_pb2", fake)
    proto = row_handler_pb2.Bucket()
    age_bucket().write_to_proto(proto=proto)
    assert proto.bucket_type == row_handler_pb2.Bucket.CATEGORY


def test_range_message_rejects_non_numbers_after_common_fields():
    b = bucket.Bucket("age", FieldExtractor("age"), ["a"])
    proto = row_handler_pb2.Bucket()
    with pytest.raises(TypeError):
        b.write_to_proto(proto)
    assert proto.name == "age" and proto.bucket_type == row_handler_pb2.Bucket.BUCKET


# --- StringBucket -----------------------------------------------------------

def test_string_bucket_is_a_range_bucket():
    assert issubclass(bucket.StringBucket, bucket.Bucket)
    assert bucket.StringBucket.__str__ is bucket.Bucket.__str__
    assert "get_distro" not in vars(bucket.StringBucket)


@pytest.mark.parametrize("value, index", [
    ("red", 0), ("green", 1), ("blue", 2), ("purple", 3), (None, 3), ("", 3), (1, 3),
])
def test_string_bucket_chooses_the_listed_value(value, index):
    b = color_bucket()
    assert b._total_buckets == 5
    row = b.bucketize({"color": value})
    assert index_of(row) == index and row is b._out_buckets[index]
    assert b._distro[4] == 0


def test_string_bucket_ignores_fast_mode_and_number(monkeypatch):
    monkeypatch.setattr(bucket, "Number", None)
    monkeypatch.delattr(bucket, "FAST_MODE")
    assert index_of(color_bucket()._bucketize_value(object())) == 3


@pytest.mark.parametrize("values, value, index", [
    (["a", "b", "a"], "a", 2),
    ([None, "x"], None, 0),
    ([1, 2], 1.0, 0),
    ([1, 2], True, 0),
    ([(1, "a"), 2], (1, "a"), 0),
])
def test_string_bucket_keys(values, value, index):
    b = color_bucket(values)
    assert index_of(b._bucketize_value(value)) == index


def test_duplicates_keep_their_labels_and_are_written():
    b = color_bucket(["a", "b", "a"])
    assert b._bucket_map == {"a": 2, "b": 1}
    assert [b.get_bucket_label(i) for i in range(5)] == ["a", "b", "a", "Unknown", "None"]
    proto = row_handler_pb2.Bucket()
    b.write_to_proto(proto)
    assert list(proto.string_buckets) == ["a", "b", "a"]


@pytest.mark.parametrize("has_none, labels", [
    (True, ["red", "green", "blue", "Unknown", "None"]),
    (False, ["red", "green", "blue", "Unknown"]),
])
def test_string_labels(has_none, labels):
    b = color_bucket(has_none=has_none)
    assert b._total_buckets == len(labels)
    assert [b.get_bucket_label(i) for i in range(len(labels))] == labels


def test_label_is_the_listed_object_itself():
    listed = ("t",)
    b = color_bucket([listed])
    assert b.get_bucket_label(0) is listed


def test_string_distribution_text_uses_the_values():
    b = color_bucket(has_none=False)
    for v in ("red", "red", "blue", "x"):
        b._bucketize_value(v)
    assert b.get_distro() == (
        "(" + ESC + "50%" + OFF + " red   " + ESC + " 0%" + OFF + " green "
        + " < " + ESC + "25%" + OFF + " | Unknown: " + ESC + "25%" + OFF + ")")


def test_string_text():
    assert str(color_bucket()) == "color: 5 (['red', 'green', 'blue']) extractor: color"


@pytest.mark.parametrize("value", [[1], {}, {1}])
def test_unhashable_value_counts_nothing(value):
    b = color_bucket()
    with pytest.raises(TypeError, match="unhashable"):
        b._bucketize_value(value)
    assert b._total == 0


def test_unhashable_listed_value_fails_construction():
    with pytest.raises(TypeError, match="unhashable"):
        color_bucket([["red"]])


@pytest.mark.parametrize("has_none", [True, False])
def test_string_message(has_none):
    b = color_bucket(has_none=has_none)
    proto = row_handler_pb2.Bucket()
    assert b.write_to_proto(proto) is None
    assert proto.bucket_type == row_handler_pb2.Bucket.STRING
    assert proto.has_null is has_none
    assert proto.bucket_count == (5 if has_none else 4)
    assert list(proto.string_buckets) == ["red", "green", "blue"]
    assert list(proto.float_buckets) == []


def test_replaced_bucket_map_is_used_as_a_mapping():
    class Mapping:
        def __init__(self):
            self.log = []

        def __contains__(self, key):
            self.log.append(("in", key))
            return key == "x"

        def __getitem__(self, key):
            self.log.append(("get", key))
            return 1

    b = color_bucket()
    b._bucket_map = Mapping()
    assert index_of(b._bucketize_value("x")) == 1
    assert index_of(b._bucketize_value("y")) == 3
    assert b._bucket_map.log == [("in", "x"), ("get", "x"), ("in", "y")]


def test_mapped_index_is_counted_as_given():
    b = color_bucket()
    b._bucket_map["neg"] = -1
    b._bucket_map["big"] = 2 ** 70
    assert b._bucketize_value("neg") is b._out_buckets[-1]
    with pytest.raises(IndexError):
        b._bucketize_value("big")


def test_string_subclass_construction_goes_through_the_mro():
    order = []

    class Traced(bucket.StringBucket):
        def __init__(self, *args):
            order.append("traced")
            super().__init__(*args)

    b = Traced("c", FieldExtractor("c"), ["a"], False)
    assert order == ["traced"] and b._bucket_map == {"a": 0} and b._total_buckets == 2
