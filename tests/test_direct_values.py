import sys
import types
from decimal import Decimal
from fractions import Fraction

import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2
from tarvello.custom.model_data.extractor import FieldExtractor


class Described:
    """An extractor whose field name and description are F and D."""

    _field_name = "F"

    def description(self):
        return "D"

    def to_proto(self):
        return row_handler_pb2.Extractor(field_name="F")

    def extract(self, row):
        return row


def value_bucket(**kwargs):
    return bucket.ValueBucket("age", Described(), **kwargs)


# --- construction -----------------------------------------------------------

@pytest.mark.parametrize("kwargs, has_null, default, total", [
    ({}, True, None, 2),
    ({"has_null": False}, False, None, 1),
    ({"default_value": 0}, False, 0, 1),
    ({"has_null": True, "default_value": 0}, False, 0, 1),
    ({"default_value": 0.0}, False, 0.0, 1),
    ({"default_value": False}, False, False, 1),
    ({"has_null": 1}, 1, None, 2),
    ({"has_null": ""}, "", None, 1),
])
def test_construction(kwargs, has_null, default, total):
    b = value_bucket(**kwargs)
    assert b._has_null == has_null and type(b._has_null) is type(has_null)
    assert b._default_value is default
    assert b._total_buckets == total
    assert b._distro == [0] * total and b._total == 0


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at least 3 positional arguments \(2 given\)$"):
        bucket.ValueBucket("age")
    with pytest.raises(TypeError, match="unexpected keyword argument 'has_none'"):
        bucket.ValueBucket("age", Described(), has_none=True)
    with pytest.raises(TypeError, match=r"takes at most 5 positional arguments \(6 given\)"):
        bucket.ValueBucket("age", Described(), True, None, 1)


# --- bucketing --------------------------------------------------------------

@pytest.mark.parametrize("value", [5, 2.5, True, Decimal("1.5"), Fraction(1, 3), 1j, -0.0])
def test_values_with_the_null_bucket(value):
    b = value_bucket()
    out = b._bucketize_value(value)
    assert out == [value, 0.0] and out[0] is value and type(out[1]) is float
    assert b._distro == [1, 0] and b._total == 1
    assert b._bucketize_value(value) is not out


def test_none_with_the_null_bucket_gives_the_stored_row():
    b = value_bucket()
    first = b.bucketize(None)
    assert first == [0.0, 1.0] and first is b._out_buckets[1]
    assert b.bucketize(None) is first
    assert b._distro == [0, 2] and b._total == 2


@pytest.mark.parametrize("kwargs, none_out", [
    ({"default_value": 0}, [0]),
    ({"default_value": 1.5}, [1.5]),
    ({"has_null": False}, [None]),
])
def test_values_without_the_null_bucket(kwargs, none_out):
    b = value_bucket(**kwargs)
    assert b._bucketize_value(None) == none_out
    assert b._bucketize_value(7) == [7]
    assert b._distro == [2] and b._total == 2


def test_none_without_default_skips_the_type_test(monkeypatch):
    monkeypatch.setattr(bucket, "Number", None)
    assert value_bucket(has_null=False)._bucketize_value(None) == [None]


@pytest.mark.parametrize("kwargs, value", [
    ({}, "abc"),
    ({"has_null": False}, b"1"),
    ({"default_value": "x"}, None),
    ({}, [1]),
])
def test_non_numbers_are_refused(kwargs, value):
    b = value_bucket(**kwargs)
    with pytest.raises(bucket.BadAttributeError) as info:
        b.bucketize(value)
    shown = value if value is not None else "x"
    assert info.value._key == "age" and info.value._value == shown
    assert b._total == 0 and b._distro == [0] * b._total_buckets


def test_fast_mode_accepts_any_value(monkeypatch):
    monkeypatch.setattr(bucket, "FAST_MODE", True)
    assert value_bucket()._bucketize_value("abc") == ["abc", 0.0]
    assert value_bucket(default_value="x")._bucketize_value(None) == ["x"]


def test_replaced_number_decides_the_type_test(monkeypatch):
    monkeypatch.setattr(bucket, "Number", str)
    b = value_bucket()
    assert b._bucketize_value("abc") == ["abc", 0.0]
    with pytest.raises(bucket.BadAttributeError):
        b._bucketize_value(5)


def test_counting_goes_through_the_instance_methods():
    seen = []

    class Traced(bucket.ValueBucket):
        def _increment(self, index):
            seen.append(("inc", index))

        def _create_entry(self, index):
            seen.append(("entry", index))
            return "row"

    b = Traced("age", Described())
    assert b._bucketize_value(3) == [3, 0.0]
    assert b._bucketize_value(None) == "row"
    assert seen == [("inc", 0), ("entry", 1)]


def test_flag_is_read_afresh():
    b = value_bucket()
    b._has_null = False
    b._default_value = 9
    assert b._bucketize_value(None) == [9]
    assert b._bucketize_value(1) == [1]


def test_per_row_path_keeps_only_the_returned_list():
    b = value_bucket()
    values = [float(i) for i in range(300)] + [None] * 30
    kept = [b._bucketize_value(v) for v in values]
    del kept
    before = sys.getallocatedblocks()
    for _ in range(20):
        for v in values:
            b._bucketize_value(v)
    assert sys.getallocatedblocks() - before < 20


# --- dropping the null bucket -----------------------------------------------

@pytest.mark.parametrize("fraction, dropped", [
    (0.019, True), (0, True), (-1, True), (Fraction(1, 100), True),
    # 1/50 lies below the double nearest 0.02, so the exact comparison drops it.
    (Fraction(1, 50), True), (0.02, False), (0.5, False), (float("nan"), False),
])
def test_set_null_fraction_on_a_fresh_bucket(fraction, dropped):
    b = value_bucket()
    assert b.set_null_fraction(fraction) is None
    if dropped:
        assert (b._has_null, b._total_buckets, b._distro) == (False, 1, [0])
        assert b._bucketize_value(None) == [None]
    else:
        assert (b._has_null, b._total_buckets, b._distro) == (True, 2, [0, 0])


@pytest.mark.parametrize("kwargs", [{"default_value": 3}, {"has_null": False}])
def test_set_null_fraction_without_null_bucket_looks_at_nothing(kwargs):
    b = value_bucket(**kwargs)
    assert b.set_null_fraction("not a number") is None
    assert b._total_buckets == 1


def test_set_null_fraction_refused_after_counting_leaves_the_bucket_as_it_was():
    b = value_bucket()
    b._bucketize_value(4)
    b._bucketize_value(None)
    with pytest.raises(Exception) as info:
        b.set_null_fraction(0.0)
    assert type(info.value) is Exception
    assert str(info.value) == "Cannot remove bucket after adding values: 2"
    assert (b._has_null, b._total_buckets, b._distro, b._total) == (True, 2, [1, 1], 2)
    assert b._bucketize_value(None) is b._out_buckets[1]
    assert b._bucketize_value(5) == [5, 0.0]
    assert str(b) == "age: 2 has_null extractor: F"


def test_set_null_fraction_uncomparable_fraction():
    with pytest.raises(TypeError):
        value_bucket().set_null_fraction("0.01")


def test_set_null_fraction_calls_the_instance_remove():
    b = value_bucket()
    b._remove_bucket = lambda: None
    b.set_null_fraction(0.0)
    assert b._has_null is False and b._total_buckets == 2


# --- texts ------------------------------------------------------------------

def test_texts_of_the_default_bucket():
    b = value_bucket()
    assert str(b) == "age: 2 has_null extractor: F"
    assert b.get_distro() == "(D, 0% null)"
    for v in (1, 2, 3, None):
        b._bucketize_value(v)
    assert b.get_distro() == "(D, 25% null)"
    b = value_bucket()
    for v in (1, 2, None):
        b._bucketize_value(v)
    assert b.get_distro() == "(D, 33% null)"
    b._bucketize_value(None)
    b._bucketize_value(None)
    b._bucketize_value(None)
    assert b.get_distro() == "(D, 66% null)"


def test_only_nulls_give_a_full_share():
    b = value_bucket()
    b._bucketize_value(None)
    assert b.get_distro() == "(D, 100% null)"


@pytest.mark.parametrize("make, text", [
    (lambda: value_bucket(default_value=0), "age: 1 def=0 extractor: F"),
    (lambda: value_bucket(has_null=False), "age: 1 def=None extractor: F"),
    (lambda: value_bucket(default_value=(1, 2)), "age: 1 def=(1, 2) extractor: F"),
])
def test_texts_without_the_null_bucket(make, text):
    b = make()
    assert str(b) == text
    assert b.get_distro() == "(D)"


def test_texts_after_the_null_bucket_was_dropped():
    b = value_bucket()
    b.set_null_fraction(0.001)
    assert str(b) == "age: 1 def=None extractor: F"
    assert b.get_distro() == "(D)"


def test_distro_uses_the_description_of_the_extractor():
    b = bucket.ValueBucket("age", FieldExtractor("age", "FLOAT"))
    assert b.get_distro() == "(age:FLOAT, 0% null)"
    assert str(b) == "age: 2 has_null extractor: age"


def test_text_failures_pass_through():
    class NoText:
        def description(self):
            return 5

    b = bucket.ValueBucket("age", NoText())
    with pytest.raises(TypeError):
        b.get_distro()
    with pytest.raises(AttributeError, match="_field_name"):
        str(b)


# --- the message ------------------------------------------------------------

def test_message_with_a_default():
    proto = row_handler_pb2.Bucket()
    assert value_bucket(default_value=0).write_to_proto(proto) is None
    assert proto.name == "age" and proto.bucket_count == 1
    assert proto.bucket_type == row_handler_pb2.Bucket.DIRECT
    assert proto.has_null is False
    assert proto.HasField("none_value") and proto.none_value == 0
    assert proto.extractor.field_name == "F"
    assert not (proto.float_buckets or proto.int_buckets or proto.string_buckets
                or proto.bucket_fraction)


def test_message_with_the_null_bucket():
    proto = row_handler_pb2.Bucket()
    value_bucket().write_to_proto(proto=proto)
    assert proto.bucket_count == 2 and proto.has_null is True
    assert proto.bucket_type == row_handler_pb2.Bucket.DIRECT
    assert not proto.HasField("none_value")


def test_message_rejects_a_default_it_cannot_hold():
    proto = row_handler_pb2.Bucket()
    with pytest.raises(TypeError):
        value_bucket(default_value="x").write_to_proto(proto)
    assert proto.bucket_type == row_handler_pb2.Bucket.DIRECT and proto.has_null is False
    assert not proto.HasField("none_value")


def test_message_reads_kind_from_module_global(monkeypatch):
    fake = types.SimpleNamespace(Bucket=types.SimpleNamespace(DIRECT=row_handler_pb2.Bucket.BOOLEAN))
    monkeypatch.setattr(bucket, "row_handler_pb2", fake)
    proto = row_handler_pb2.Bucket()
    value_bucket().write_to_proto(proto)
    assert proto.bucket_type == row_handler_pb2.Bucket.BOOLEAN
