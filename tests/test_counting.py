import traceback

import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor

BaseBucket = bucket.BaseBucket


class Extractor:
    """Returns row["age"], or raises the given error; records each row."""

    _field_name = "age"

    def __init__(self, error=None):
        self.rows = []
        self.error = error

    def extract(self, row):
        self.rows.append(row)
        if self.error is not None:
            raise self.error
        return row["age"]


class Indexed(BaseBucket):
    """A kind whose value is its own index."""

    def _bucketize_value(self, value):
        return self._create_entry(value)


# --- construction ----------------------------------------------------------

def test_construction_lays_out_counts_and_rows():
    e = Extractor()
    b = BaseBucket("age", e, 3)
    assert (b._name, b._extractor, b._total_buckets) == ("age", e, 3)
    assert b._distro == [0, 0, 0] and b._total == 0
    assert b._out_buckets == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert all(type(x) is int for x in b._distro) and type(b._total) is int
    assert all(type(x) is float for row in b._out_buckets for x in row)
    assert len({id(row) for row in b._out_buckets}) == 3


@pytest.mark.parametrize("count", [0, -2])
def test_construction_with_no_indexes(count):
    b = BaseBucket("age", None, count)
    assert (b._distro, b._out_buckets, b._total_buckets) == ([], [], count)


def test_count_that_is_no_int_leaves_a_half_built_instance():
    b = BaseBucket.__new__(BaseBucket)
    with pytest.raises(TypeError):
        b.__init__("age", "e", 3.0)
    assert vars(b) == {"_name": "age", "_extractor": "e", "_total_buckets": 3.0}


def test_construction_stores_arguments_unconverted():
    b = BaseBucket(["not", "a", "str"], 5, True)
    assert b._name == ["not", "a", "str"] and b._total_buckets is True
    assert b._distro == [0] and b._out_buckets == [[1.0]]


# --- counting --------------------------------------------------------------

def test_create_entry_counts_and_hands_out_the_stored_row():
    b = BaseBucket("age", None, 3)
    first = b._create_entry(1)
    assert b._create_entry(1) is first is b._out_buckets[1]
    assert (b._distro, b._total) == ([0, 2, 0], 2)
    first[0] = 9.0
    assert b._create_entry(1) == [9.0, 1.0, 0.0]


@pytest.mark.parametrize("index, distro", [(-1, [0, 0, 1]), (-3, [1, 0, 0]), (True, [0, 1, 0])])
def test_increment_indexes_as_lists_do(index, distro):
    b = BaseBucket("age", None, 3)
    assert b._increment(index) is None
    assert (b._distro, b._total) == (distro, 1)


@pytest.mark.parametrize("method", ["_increment", "_create_entry"])
@pytest.mark.parametrize("index, error", [
    (3, IndexError), (-4, IndexError), (1.0, TypeError), ("1", TypeError),
    (None, TypeError),
])
def test_failed_count_changes_no_count(method, index, error):
    b = BaseBucket("age", None, 3)
    b._increment(0)
    with pytest.raises(error):
        getattr(b, method)(index)
    assert (b._distro, b._total) == ([1, 0, 0], 1)


def test_total_that_cannot_be_raised_changes_no_count():
    b = BaseBucket("age", None, 2)
    b._total = None
    with pytest.raises(TypeError):
        b._increment(0)
    assert b._distro == [0, 0] and b._total is None


def test_counting_reads_the_attributes_afresh():
    b = BaseBucket("age", None, 2)
    b._distro = {"x": 5}
    b._total = 10
    b._out_buckets = {"x": "row"}
    assert b._create_entry("x") == "row"
    assert (b._distro, b._total) == ({"x": 6}, 11)


def test_create_entry_calls_the_instances_increment():
    seen = []

    class Own(BaseBucket):
        def _increment(self, bucket):
            seen.append(bucket)
            return "ignored"

    b = Own("age", None, 2)
    assert b._create_entry(1) == [0.0, 1.0]
    assert seen == [1] and b._total == 0


def test_failed_row_lookup_keeps_the_count():
    b = BaseBucket("age", None, 2)
    b._out_buckets = []
    with pytest.raises(IndexError):
        b._create_entry(1)
    assert (b._distro, b._total) == ([0, 1], 1)


class CountedTotal(int):
    """An int total that records each addition made to it."""

    additions = []

    def __add__(self, other):
        CountedTotal.additions.append(other)
        return CountedTotal(int(self) + other)


class OwnList(list):
    pass


def test_kind_count_adds_to_the_total_once():
    b = bucket.Bucket("age", FieldExtractor("age"), [10, 20, 30])
    b._distro = OwnList(b._distro)
    b._total = CountedTotal(0)
    CountedTotal.additions.clear()
    assert b._bucketize_value(5) is b._out_buckets[0]
    assert CountedTotal.additions == [1]
    assert (list(b._distro), b._total) == ([1, 0, 0, 0, 0], 1)


# --- dropping the last index -----------------------------------------------

def test_remove_bucket_drops_the_last_index_only():
    b = BaseBucket("age", None, 3)
    rows = b._out_buckets
    assert b._remove_bucket() is None
    assert (b._distro, b._total_buckets) == ([0, 0], 2)
    assert b._out_buckets is rows and len(rows) == 3 and all(len(r) == 3 for r in rows)
    assert b._create_entry(0) == [1.0, 0.0, 0.0]


def test_remove_bucket_repeatedly_while_nothing_counted():
    b = BaseBucket("age", None, 2)
    for _ in range(3):
        b._remove_bucket()
    assert (b._distro, b._total_buckets) == ([], -1)


@pytest.mark.parametrize("count, total, shown", [(1, 1, "1"), (0, 7, "7"), (0, 2.9, "2")])
def test_remove_bucket_refused_after_counting(count, total, shown):
    b = BaseBucket("age", None, 3)
    if count:
        b._create_entry(2)
    else:
        b._total = total
    distro = list(b._distro)
    with pytest.raises(Exception) as info:
        b._remove_bucket()
    assert type(info.value) is Exception
    assert info.value.args == ("Cannot remove bucket after adding values: " + shown,)
    assert (b._distro, b._total_buckets, b._total) == (distro, 3, total)


# --- bucketing a row -------------------------------------------------------

def test_bucketize_hands_the_value_over_and_returns_the_result():
    value, result = object(), object()
    seen = []
    b = BaseBucket("age", Extractor(), 1)
    b._bucketize_value = lambda v: seen.append(v) or result
    row = {"age": value}
    assert b.bucketize(row) is result
    assert seen == [value] and seen[0] is value
    assert b._extractor.rows == [row]


def test_bucketize_through_a_kind_returns_the_stored_row():
    b = Indexed("age", FieldExtractor("age"), 3)
    row = b.bucketize({"age": 2})
    assert row is b._out_buckets[2] is b.bucketize({"age": 2})
    assert (b._distro, b._total) == ([0, 0, 2], 2)


def test_bucketize_reads_the_extractor_afresh():
    b = Indexed("age", FieldExtractor("age"), 3)
    b.bucketize({"age": 0})
    b._extractor = FieldExtractor("other")
    b.bucketize({"age": 0, "other": 1})
    assert b._distro == [1, 1, 0]


def test_plain_base_bucket_has_no_bucketize_value(capsys):
    e = Extractor()
    with pytest.raises(AttributeError, match="_bucketize_value"):
        BaseBucket("age", e, 2).bucketize({"age": 1})
    assert e.rows == [] and capsys.readouterr().out == ""


class MissingField(KeyError):
    pass


@pytest.mark.parametrize("error", [KeyError("age"), MissingField("age")])
def test_key_error_from_the_extractor_is_reported_and_raised_again(capsys, error):
    b = Indexed("age", Extractor(error), 2)
    with pytest.raises(KeyError) as info:
        b.bucketize({"name": "x"})
    assert info.value is error
    assert capsys.readouterr().out == "KeyError in age: {'name': 'x'}\n"
    assert (b._distro, b._total) == ([0, 0], 0)


def test_reraised_key_error_keeps_its_traceback(capsys):
    b = Indexed("age", FieldExtractor("age"), 2)
    with pytest.raises(KeyError) as info:
        b.bucketize({"name": "x"})
    frames = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert "extract" in frames
    assert info.value.args == ("age",)
    assert capsys.readouterr().out == "KeyError in age: {'name': 'x'}\n"


def test_key_error_from_bucketize_value_keeps_what_was_counted(capsys):
    class Failing(BaseBucket):
        def _bucketize_value(self, value):
            self._create_entry(0)
            raise KeyError(value)

    b = Failing("ratio", Extractor(), 2)
    with pytest.raises(KeyError):
        b.bucketize({"age": 1})
    assert capsys.readouterr().out == "KeyError in ratio: {'age': 1}\n"
    assert (b._distro, b._total) == ([1, 0], 1)


def test_key_error_from_the_bucketize_value_lookup_is_reported(capsys):
    class Lookup(BaseBucket):
        @property
        def _bucketize_value(self):
            raise KeyError("lookup")

    e = Extractor()
    with pytest.raises(KeyError, match="lookup"):
        Lookup("age", e, 1).bucketize(5)
    assert e.rows == [] and capsys.readouterr().out == "KeyError in age: 5\n"


class Row:
    def __str__(self):
        return "the row"


def test_report_uses_the_rows_str_and_the_current_name(capsys):
    b = Indexed("age", Extractor(KeyError("x")), 1)
    b._name = 42
    with pytest.raises(KeyError):
        b.bucketize(Row())
    assert capsys.readouterr().out == "KeyError in 42: the row\n"


@pytest.mark.parametrize("error", [ValueError("bad"), bucket.BadAttributeError("age", "x"),
                                   LookupError("near"), KeyboardInterrupt()])
def test_other_errors_pass_without_a_line(capsys, error):
    b = Indexed("age", Extractor(error), 1)
    with pytest.raises(type(error)) as info:
        b.bucketize({"age": 0})
    assert info.value is error
    assert capsys.readouterr().out == ""


class BadStr:
    def __str__(self):
        raise ValueError("no text")


def test_failure_while_reporting_is_raised_in_the_key_errors_context(capsys):
    original = KeyError("age")
    b = Indexed("age", Extractor(original), 1)
    with pytest.raises(ValueError, match="no text") as info:
        b.bucketize(BadStr())
    assert info.value.__context__ is original
    assert capsys.readouterr().out == ""


def test_failing_print_is_raised_in_the_key_errors_context(monkeypatch):
    original = KeyError("age")

    def broken(*args):
        raise OSError("closed")

    monkeypatch.setattr(bucket, "print", broken, raising=False)
    b = Indexed("age", Extractor(original), 1)
    with pytest.raises(OSError) as info:
        b.bucketize({})
    assert info.value.__context__ is original
