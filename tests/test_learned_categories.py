import contextlib
import sqlite3
from decimal import Decimal

import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

COMMON = [
    {"name": "red", "count": 50},
    {"name": "blue", "count": 30},
    {"name": "green", "count": 15},
    {"name": "teal", "count": 5},
]


def make(min_fraction=0.1, data_type="STRING", **options):
    return bucket.CategoricalBucket(
        "color", FieldExtractor("color_id", data_type), min_fraction, **options
    )


def learned(values=COMMON, min_fraction=0.1, **options):
    b = make(min_fraction, **options)
    b.set_categories(values)
    return b


def counted(category_dict, distro, none_value=None):
    b = make(category_dict=category_dict, none_value=none_value)
    b._distro = distro
    return b


def written(b):
    proto = row_handler_pb2.Bucket()
    b.write_to_proto(proto)
    return proto


def test_class_docstring_and_description():
    assert bucket.CategoricalBucket.__doc__ == (
        "\n\tTurns distinct valued inputs into categories.  Values are determined by "
        "\n\tselecting most common values from DB.  Nulls are their own category as "
        "are unknown values\n\tmin_fraction- determines the minimum % of data with "
        "a given value for that value to be\n\tincluded as a distinct category.\n\t"
    )
    b = make()
    assert str(b) == "color: extractor=color_id"
    b.set_categories(COMMON)
    assert str(b) == "color: extractor=color_id"


@pytest.mark.parametrize(
    "category_dict, distro",
    [(None, [0]), ({}, [0]), ({"a": 0, "b": 1}, [0, 0, 0, 0])],
)
def test_construction_lays_out_a_given_map(category_dict, distro):
    b = make(0.2, category_dict=category_dict, none_value=3)
    assert b._distro == distro
    assert b._category_dict is category_dict
    assert (b._min_fraction, b._none_value, b._total_buckets) == (0.2, 3, 1)


@pytest.mark.parametrize(
    "values, min_fraction, categories, line",
    [
        (COMMON, 0.1, {"red": 0, "blue": 1, "green": 2},
         "['red', 'blue', 'green', 'teal']"),
        # A share equal to the threshold does not qualify.
        (COMMON, 0.15, {"red": 0, "blue": 1}, "['red', 'blue', 'green', 'teal']"),
        # Indexes follow the input order, the printed list the counts.
        ([{"name": "b", "count": 10}, {"name": "a", "count": 90}], 0,
         {"b": 0, "a": 1}, "['a', 'b']"),
        ([{"name": "x", "count": 1}, {"name": "y", "count": 1},
          {"name": "z", "count": 1}], 0.5, {}, "['x', 'y']"),
        ([], 0.1, {}, "[]"),
    ],
)
def test_set_categories_learns_and_prints(values, min_fraction, categories,
                                          line, capsys):
    b = make(min_fraction)
    b.bucketize({"color_id": None})
    assert b.set_categories(values) is None
    assert b._category_dict == categories
    assert b._distro == [0] * (len(categories) + 2)
    assert capsys.readouterr().out == "categories for color: %s\n" % line


def test_printed_list_stops_at_ten_most_common(capsys):
    values = [{"name": "v%d" % i, "count": i + 1} for i in range(12)]
    b = learned(values, 0)
    assert b._category_dict == {"v%d" % i: i for i in range(12)}
    shown = ["v%d" % i for i in range(11, 1, -1)]
    assert capsys.readouterr().out == "categories for color: %s\n" % shown


def test_set_categories_from_a_database_query(capsys):
    with contextlib.closing(sqlite3.connect(":memory:")) as db:
        db.row_factory = sqlite3.Row
        db.execute("CREATE TABLE paint (color TEXT)")
        db.executemany("INSERT INTO paint VALUES (?)",
                       [("red",)] * 6 + [("blue",)] * 3 + [("teal",)])
        rows = db.execute(
            "SELECT color AS name, COUNT(*) AS count FROM paint "
            "GROUP BY color ORDER BY count DESC").fetchall()
    b = learned(rows, 0.2)
    assert b._category_dict == {"red": 0, "blue": 1}
    assert capsys.readouterr().out == \
        "categories for color: ['red', 'blue', 'teal']\n"
    rows_in = [{"color_id": c} for c in ("blue", "teal", None, "red")]
    assert [b.bucketize(r) for r in rows_in] == [[1], [-1], [None], [0]]
    assert b._distro == [1, 1, 1, 1]


@pytest.mark.parametrize(
    "values, error",
    [
        ([{"name": "a", "count": 0}, {"name": "b", "count": 0}],
         ZeroDivisionError),
        ([{"name": "a", "count": 3}, {"name": "b", "count": -3}],
         ZeroDivisionError),
        ([{"name": "a", "count": 3}, {"count": 1}], KeyError),
        ([{"name": "a"}], KeyError),
    ],
)
def test_failed_set_categories_leaves_the_bucket(values, error, capsys):
    b = learned()
    b.bucketize({"color_id": "blue"})
    capsys.readouterr()
    before = (b._category_dict, list(b._distro))
    with pytest.raises(error):
        b.set_categories(values)
    assert (b._category_dict, b._distro) == before
    assert capsys.readouterr().out == ""


def test_repeated_name_keeps_its_first_index():
    values = [{"name": "a", "count": 40}, {"name": "b", "count": 30},
              {"name": "a", "count": 20}, {"name": "c", "count": 10}]
    b = learned(values, 0.05)
    assert b._category_dict == {"a": 0, "b": 1, "c": 2}
    assert len(b._distro) == 5
    assert [b.bucketize({"color_id": v}) for v in "abc"] == [[0], [1], [2]]
    assert b._distro == [0, 0, 1, 1, 1]


def test_values_are_indexed_and_counted_in_their_slots():
    b = learned(none_value=7)
    rows = ["blue", "teal", None, "red", "blue", 5]
    with pytest.raises(bucket.BadAttributeError):
        b.bucketize({"color_id": rows.pop()})
    assert [b.bucketize({"color_id": v}) for v in rows] == \
        [[1], [-1], [7], [0], [1]]
    assert b._distro == [1, 1, 1, 2, 0]
    assert b._total == 0


class CountingExtractor:
    _field_name = "color_id"

    def __init__(self, data_type):
        self.data_type = data_type
        self.calls = 0

    def data_type_string(self):
        self.calls += 1
        return self.data_type


@pytest.mark.parametrize(
    "data_type, value, accepted, calls",
    [
        ("STRING", 5, False, 1),
        ("STRING", "red", True, 2),
        ("FLOAT", "3", False, 2),
        ("FLOAT", True, True, 2),
        ("FLOAT", Decimal("1.5"), True, 2),
        ("BOOL", [1], None, 2),
        ("STRING", None, True, 0),
    ],
)
def test_type_check_asks_the_extractor_each_time(data_type, value, accepted,
                                                 calls):
    extractor = CountingExtractor(data_type)
    b = bucket.CategoricalBucket("color", extractor, 0, {"red": 0})
    if accepted is None:
        with pytest.raises(TypeError):
            b._bucketize_value(value)
    elif accepted:
        b._bucketize_value(value)
    else:
        with pytest.raises(bucket.BadAttributeError) as raised:
            b._bucketize_value(value)
        assert (raised.value._key, raised.value._value) == ("color", value)
    assert extractor.calls == calls
    assert sum(b._distro) == (1 if accepted else 0)


def test_fast_mode_skips_the_type_check(monkeypatch):
    monkeypatch.setattr(bucket, "FAST_MODE", True)
    extractor = CountingExtractor("STRING")
    b = bucket.CategoricalBucket("color", extractor, 0, {"red": 0})
    assert b._bucketize_value(5) == [-1]
    assert extractor.calls == 0
    assert b._distro == [0, 1, 0]


@pytest.mark.parametrize(
    "category_dict, value, error",
    [(None, "red", TypeError), ({}, "red", IndexError),
     ({"red": 0}, ["red"], TypeError)],
)
def test_values_that_cannot_be_placed_count_nothing(category_dict, value, error,
                                                     monkeypatch):
    monkeypatch.setattr(bucket, "FAST_MODE", True)
    b = make(category_dict=category_dict)
    with pytest.raises(error):
        b._bucketize_value(value)
    assert sum(b._distro) == 0
    assert b._bucketize_value(None) == [None]
    assert b._distro[0] == 1


def test_index_and_slot_follow_a_replaced_map_and_distribution():
    b = make(category_dict={"red": -1, "blue": 0, "teal": 1.0})
    b._distro = [0, 0, 0.5, 0]
    assert b._bucketize_value("red") == [-1]
    assert b._bucketize_value("blue") == [0]
    assert b._distro == [0, 1, 1.5, 0]
    with pytest.raises(TypeError):
        b._bucketize_value("teal")
    assert b._distro == [0, 1, 1.5, 0]


def test_message_of_counted_bucket():
    proto = written(counted({"red": 0, "blue": 1}, [1, 1, 6, 2]))
    assert proto.name == "color" and proto.bucket_count == 1
    assert proto.bucket_type == row_handler_pb2.Bucket.CATEGORY
    assert proto.extractor == FieldExtractor("color_id").to_proto()
    assert list(proto.string_buckets) == ["red", "blue"]
    assert list(proto.bucket_fraction) == [0.6, 0.2, 0.1, 0.1]
    assert not proto.HasField("none_value")
    assert not proto.int_buckets and not proto.float_buckets
    assert not proto.has_null


def test_message_sorts_values_by_index_into_their_fields():
    proto = written(counted({2.5: 2, "a": 0, 2: 1}, [0, 0, 1, 3, 6], 4))
    assert list(proto.string_buckets) == ["a"]
    assert list(proto.int_buckets) == [2]
    assert list(proto.float_buckets) == [2.5]
    assert list(proto.bucket_fraction) == [0.1, 0.3, 0.6, 0.0, 0.0]
    assert proto.none_value == 4


def test_bucket_with_nothing_counted_is_written_whole():
    b = learned(none_value=3)
    proto = written(b)
    assert list(proto.string_buckets) == ["red", "blue", "green"]
    assert list(proto.bucket_fraction) == [0.0] * 5
    assert proto.none_value == 3
    assert b.get_distro() == "([])"


@pytest.mark.parametrize(
    "distro, text",
    [
        ([0, 1, 5, 4], "([10.0, 50.0, 40.0])"),
        ([0, 5, 991, 4], "([99.1])"),
        ([9, 10, 981, 0], "([1.0, 98.1])"),
        ([0, 0, 0], "([])"),
    ],
)
def test_distribution_shows_shares_above_the_floor(distro, text):
    b = counted({"a": 0}, distro)
    assert b.get_distro() == text
    assert b._distro == distro
