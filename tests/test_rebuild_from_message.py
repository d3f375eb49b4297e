import types

import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

Message = row_handler_pb2.Bucket
COUNTS = ("_distro", "_total")


def message(bucket_type, name="age", **fields):
    return Message(name=name, bucket_type=bucket_type,
                   extractor=FieldExtractor("age", "FLOAT", 2).to_proto(),
                   **fields)


def range_bucket():
    return bucket.Bucket("age", FieldExtractor("age", "FLOAT"), [18.0, 30.0, 65.0])


def string_bucket():
    return bucket.StringBucket("color", FieldExtractor("color"),
                               ["red", "green"], False)


def value_bucket():
    return bucket.ValueBucket("weight", FieldExtractor("weight", "FLOAT"), True, 2.5)


def null_value_bucket():
    return bucket.ValueBucket("weight", FieldExtractor("weight", "FLOAT", 1))


def boolean_bucket():
    return bucket.BooleanBucket("member", FieldExtractor("member", "BOOL"))


def boolean_bucket_without_null():
    b = bucket.BooleanBucket("member", FieldExtractor("member", "BOOL"))
    b.set_null_fraction(0.0)
    return b


def categorical_bucket():
    b = bucket.CategoricalBucket("color", FieldExtractor("color"), 0.1,
                                 none_value=4)
    b.set_categories([{"name": "red", "count": 6}, {"name": "blue", "count": 3},
                      {"name": "teal", "count": 1}])
    return b


def int_categorical_bucket():
    return bucket.CategoricalBucket("code", FieldExtractor("code", "INT"), 0,
                                    {7: 1, 3: 0, 11: 2}, -1)


def float_categorical_bucket():
    return bucket.CategoricalBucket("rate", FieldExtractor("rate", "FLOAT"), 0,
                                    {0.5: 0, 1.25: 1})


KINDS = [
    (range_bucket, [5, 18, 40, 99.5, None]),
    (string_bucket, ["green", "red", "blue", None]),
    (value_bucket, [1.5, None, 0]),
    (null_value_bucket, [1.5, None]),
    (boolean_bucket, [True, False, None]),
    (categorical_bucket, ["blue", "red", "teal", None]),
    (int_categorical_bucket, [3, 7, 11, 12, None]),
    (float_categorical_bucket, [0.5, 1.25, 2.0, None]),
]


def rows(b, values):
    name = b._extractor._field_name
    position = b._extractor._position
    if position is None:
        return [{name: v} for v in values]
    return [[None] * position + [v] for v in values]


def configuration(b):
    # The factory rebuilds a categorical bucket with min_fraction 0: the
    # threshold only serves the learning, which is done.
    return {k: v for k, v in vars(b).items()
            if k not in COUNTS and k != "_min_fraction"}


@pytest.mark.parametrize("make, values", KINDS, ids=[k[0].__name__ for k in KINDS])
def test_written_bucket_is_rebuilt_with_fresh_counts(make, values, capsys):
    original = make()
    outputs = [original.bucketize(r) for r in rows(original, values)]
    proto = Message()
    original.write_to_proto(proto)
    capsys.readouterr()
    rebuilt = bucket.read_from_proto(proto)
    assert type(rebuilt) is type(original)
    assert configuration(rebuilt) == configuration(original)
    assert str(rebuilt) == str(original)
    assert capsys.readouterr().out == "bucket: %s\n" % rebuilt
    assert rebuilt._total == 0
    assert rebuilt._distro == [0] * len(original._distro)
    again = Message()
    rebuilt.write_to_proto(again)
    assert [rebuilt.bucketize(r) for r in rows(rebuilt, values)] == outputs
    assert list(again.bucket_fraction) == [0.0] * len(proto.bucket_fraction)
    again.ClearField("bucket_fraction")
    proto.ClearField("bucket_fraction")
    assert again == proto


def test_dropped_null_bucket_stays_dropped(capsys):
    original = boolean_bucket_without_null()
    proto = Message()
    original.write_to_proto(proto)
    rebuilt = bucket.read_from_proto(proto)
    assert (rebuilt._has_null, rebuilt._total_buckets) == (False, 2)
    assert str(rebuilt) == str(original)
    # The original keeps the rows it was built with, one slot longer.
    for value in (True, False, None):
        row = rebuilt.bucketize({"member": value})
        assert row == original.bucketize({"member": value})[:2]
    assert rebuilt._distro == [2, 1]


def test_categorical_none_index_comes_back_as_an_int(capsys):
    rebuilt = bucket.read_from_proto(
        message(Message.CATEGORY, string_buckets=["a"], none_value=4))
    assert type(rebuilt._none_value) is int and rebuilt._none_value == 4
    assert rebuilt._bucketize_value(None) == [4]
    assert repr(rebuilt._bucketize_value(None)) == "[4]"


@pytest.mark.parametrize(
    "bucket_type, none_value, expected",
    [
        (Message.CATEGORY, -1.0, -1),
        (Message.CATEGORY, 2.5, 2.5),
        (Message.CATEGORY, float("inf"), float("inf")),
        (Message.DIRECT, 4.0, 4.0),
        (Message.DIRECT, 0.0, 0.0),
        (Message.DIRECT, None, None),
        (Message.CATEGORY, None, None),
    ],
)
def test_none_value_is_passed_by_presence(bucket_type, none_value, expected,
                                          monkeypatch, capsys):
    seen = {}

    def record(*args, **kwargs):
        seen["args"], seen["kwargs"] = args, kwargs
        return types.SimpleNamespace()

    cls_name = "CategoricalBucket" if bucket_type == Message.CATEGORY else "ValueBucket"
    monkeypatch.setattr(bucket, cls_name, record)
    fields = {} if none_value is None else {"none_value": none_value}
    bucket.read_from_proto(message(bucket_type, string_buckets=["a"],
                                   has_null=True, **fields))
    if bucket_type == Message.CATEGORY:
        assert seen["args"][2:] == (0,)
        passed = seen["kwargs"]["none_value"]
        assert seen["kwargs"]["category_dict"] == {"a": 0}
    else:
        assert seen["args"][2] is True and seen["kwargs"] == {}
        passed = seen["args"][3]
    assert type(passed) is type(expected) and passed == expected


@pytest.mark.parametrize(
    "fields, expected",
    [
        ({"string_buckets": ["a", "b"], "int_buckets": [7]}, {"a": 0, "b": 1}),
        ({"int_buckets": [5, 7, 5], "float_buckets": [1.5]}, {5: 2, 7: 1}),
        ({"float_buckets": [0.5, 2.0]}, {0.5: 0, 2.0: 1}),
    ],
)
def test_categories_come_from_the_first_filled_field(fields, expected, capsys):
    rebuilt = bucket.read_from_proto(message(Message.CATEGORY, **fields))
    assert rebuilt._category_dict == expected
    assert [type(k) for k in rebuilt._category_dict] == \
        [type(k) for k in expected]
    assert rebuilt._min_fraction == 0


def test_listed_kinds_get_lists_of_their_own(capsys):
    proto = message(Message.BUCKET, float_buckets=[18, 30, 65], int_buckets=[1],
                    has_null=True)
    proto.extractor.ClearField("position")
    rebuilt = bucket.read_from_proto(proto)
    assert capsys.readouterr().out == \
        "bucket: age: 5 ([18.0, 30.0, 65.0]) extractor: age\n"
    assert rebuilt._buckets == [18.0, 30.0, 65.0]
    proto.float_buckets.append(99)
    assert type(rebuilt._buckets) is list and len(rebuilt._buckets) == 3
    strings = bucket.read_from_proto(
        message(Message.STRING, string_buckets=["x", "y"], has_null=False))
    assert type(strings) is bucket.StringBucket
    assert strings._total_buckets == 3 and type(strings._buckets) is list


def test_boolean_message_is_rebuilt(capsys):
    rebuilt = bucket.read_from_proto(message(Message.BOOLEAN, has_null=False))
    assert type(rebuilt) is bucket.BooleanBucket
    assert rebuilt._has_null is False and rebuilt._total_buckets == 2
    assert rebuilt._extractor == FieldExtractor("age", "FLOAT", 2)
    assert capsys.readouterr().out == "bucket: %s\n" % rebuilt


@pytest.mark.parametrize(
    "proto, text",
    [
        (message(Message.BUCKET_TYPE_UNSPECIFIED), "Bucket age of unknown type"),
        (message(Message.CATEGORY, has_null=True, none_value=1),
         "Category bucket age has no buckets"),
    ],
)
def test_refused_messages_print_nothing(proto, text, capsys):
    with pytest.raises(Exception) as raised:
        bucket.read_from_proto(proto)
    assert type(raised.value) is Exception
    assert str(raised.value) == text
    assert capsys.readouterr().out == ""


def test_simple_categorical_message_is_refused(capsys):
    proto = Message()
    bucket.SimpleCategoricalBucket("kind", FieldExtractor("kind"),
                                   ["a"]).write_to_proto(proto)
    with pytest.raises(Exception, match="^Bucket kind of unknown type$"):
        bucket.read_from_proto(proto)


def test_globals_are_read_at_the_call(monkeypatch, capsys):
    class Odd:
        pass

    made = []

    def rebuild_extractor(sub_message):
        made.append(sub_message.field_name)
        return Odd()

    monkeypatch.setattr(bucket, "extractor",
                        types.SimpleNamespace(read_from_proto=rebuild_extractor))
    monkeypatch.setattr(bucket, "create_category_dict",
                        lambda values: {v: 0 for v in values})
    with pytest.raises(AttributeError):
        bucket.read_from_proto(message(Message.CATEGORY, string_buckets=["a"]))
    assert made == ["age"]
    assert capsys.readouterr().out == ""

    def no_line(text):
        raise AssertionError(text)

    Odd._field_name = "odd"
    monkeypatch.setattr(bucket, "print", no_line, raising=False)
    with pytest.raises(AssertionError, match="^bucket: age: extractor=odd$"):
        bucket.read_from_proto(message(Message.CATEGORY, string_buckets=["a", "b"]))


@pytest.mark.parametrize(
    "values, expected",
    [([], {}), (iter("abca"), {"a": 3, "b": 1, "c": 2}),
     ((1, 1.0, True, 2), {1: 2, 2: 3})],
)
def test_create_category_dict(values, expected):
    result = bucket.create_category_dict(values)
    assert result == expected and type(result) is dict


@pytest.mark.parametrize(
    "call",
    [
        lambda: bucket.create_category_dict([[1]]),
        lambda: bucket.create_category_dict(values=[]),
        lambda: bucket.create_category_dict(),
        lambda: bucket.read_from_proto(bucket_proto=Message()),
        lambda: bucket.read_from_proto(Message(), Message()),
    ],
)
def test_bad_calls_raise_type_error(call):
    with pytest.raises(TypeError):
        call()
