import pytest
from hypothesis import given, strategies as st

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

COLOURS = ["red", "green", None]


def make(categories=COLOURS, extractor=None):
    return bucket.SimpleCategoricalBucket("colour", extractor or FieldExtractor("colour"), categories)


def python_ids(category_map, value):
    """What Python code doing the same lookups returns."""
    ids = set()
    if type(value) == list or type(value) == tuple:
        for entry in value or [None]:
            found = category_map.get(entry)
            ids.add(-1 if found == None else found)  # noqa: E711
    elif type(value) is dict:
        ids.add(-1)
    else:
        found = category_map.get(value)
        ids.add(-1 if found == None else found)  # noqa: E711
    return sorted(ids)


def test_construction():
    b = make(("a", "b", "a", None))
    assert b._category_value_map == {"a": 2, "b": 1, None: 3}
    assert (b._name, b._total_buckets, b._distro, b._total, b._out_buckets) == (
        "colour", 1, [0], 0, [[1.0]])
    assert bucket.SimpleCategoricalBucket.__doc__ == (
        " Bucketer that returns the integer id of a category, or other (-1) if the category"
        " is unknown.\n\n\tNone can be in the list of categories, or handled as an other.\n\t")
    b = bucket.SimpleCategoricalBucket.__new__(bucket.SimpleCategoricalBucket)
    with pytest.raises(TypeError):
        b.__init__("c", FieldExtractor("c"), ["a", ["b"]])
    assert not hasattr(b, "_category_value_map")


@pytest.mark.parametrize("categories, value, ids", [
    (COLOURS, "green", [1]),
    (COLOURS, "blue", [-1]),
    (COLOURS, None, [2]),
    (COLOURS, ["blue", "red", "red", "purple"], [-1, 0]),
    (COLOURS, [], [2]),
    (COLOURS, (), [2]),
    (COLOURS, ("green", "red"), [0, 1]),
    (COLOURS, ("green", "green"), [1]),
    (COLOURS, {"red": 1}, [-1]),
    (["red", "green"], None, [-1]),
    (["red", "green"], [], [-1]),
    (["a", "b", "a"], "a", [2]),
    ([1, 2], 1.0, [0]),
    ([1, 2], True, [0]),
    ([1, 2], [2, 2.0, 1, True, 3], [-1, 0, 1]),
])
def test_lookup(categories, value, ids):
    result = make(categories)._bucketize_value(value)
    assert result == ids and all(type(i) is int for i in result)


@pytest.mark.parametrize("value", [{"a"}, ["a", ["b"]], ("a", {}), type("Tags", (list,), {})(["red"])])
def test_unhashable_value_or_entry_raises_type_error(value):
    with pytest.raises(TypeError, match="unhashable"):
        make()._bucketize_value(value)


def test_each_row_gets_a_new_list_and_nothing_is_counted():
    b = make()
    rows = [b.bucketize({"colour": ["green", "red"]}) for _ in range(3)]
    assert rows == [[0, 1]] * 3 and rows[0] is not rows[1]
    assert (b._distro, b._total) == ([0], 0)


def test_many_distinct_ids_are_all_sorted():
    categories = ["c%d" % i for i in range(100)]
    b = make(categories)
    value = list(reversed(categories)) + ["x"] + categories[::3]
    assert b._bucketize_value(value) == [-1] + list(range(100))


@given(categories=st.lists(st.one_of(st.none(), st.integers(-3, 40), st.text(max_size=2)), max_size=60),
       value=st.one_of(st.none(), st.integers(-3, 40), st.text(max_size=2),
                       st.lists(st.one_of(st.none(), st.integers(-3, 40), st.text(max_size=2)),
                                max_size=60).flatmap(lambda v: st.sampled_from([v, tuple(v)]))))
def test_matches_python_lookups(categories, value):
    b = make(categories)
    assert b._bucketize_value(value) == python_ids(b._category_value_map, value)


class Loud:
    """An id with its own == and ordering (above every other id), logging
    each comparison asked of it."""

    log = []

    def __init__(self, key, none_like=False):
        self.key, self.none_like = key, none_like

    def __eq__(self, other):
        Loud.log.append(("eq", self.key))
        return self.none_like if other is None else isinstance(other, Loud) and self.key == other.key

    def __hash__(self):
        return hash(self.key)

    def __lt__(self, other):
        Loud.log.append(("lt", self.key))
        return isinstance(other, Loud) and self.key < other.key

    def __gt__(self, other):
        Loud.log.append(("gt", self.key))
        return not isinstance(other, Loud) or self.key > other.key


@pytest.mark.parametrize("ids, value", [
    ({"a": 7, "b": 2.5, "c": 2}, ["a", "b", "c", "d"]),
    ({"a": 2 ** 70, "b": -2 ** 70, "c": 3}, ["c", "a", "b", "a"]),
    ({"a": 1, "b": True, "c": 1.0}, ["b", "a", "c"]),
    ({"a": 1, "b": Loud("x"), "c": Loud("x")}, ["a", "b", "c", "a"]),
    ({"a": 1, "b": Loud("y", none_like=True)}, ["b", "a"]),
    ({"a": Loud("z", none_like=True)}, "a"),
])
def test_ids_of_a_replaced_map_follow_python_set_and_sort(ids, value):
    b = make()
    b._category_value_map = ids
    Loud.log = []
    result = b._bucketize_value(value)
    log, Loud.log = Loud.log, []
    expected = python_ids(ids, value)
    assert [(type(i), i) for i in result] == [(type(i), i) for i in expected]
    assert log == Loud.log


def test_unhashable_id_raises_as_a_set_would():
    b = make()
    b._category_value_map = {"a": [1]}
    for value in ("a", ["b", "a"]):
        with pytest.raises(TypeError, match="unhashable"):
            b._bucketize_value(value)


def test_map_is_read_and_asked_afresh_for_each_entry():
    calls = []

    class Mapping:
        def get(self, key):
            calls.append(key)
            if key == "swap":
                b._category_value_map = {"x": 5}
            return {"a": 1}.get(key)

    b = make()
    b._category_value_map = Mapping()
    assert b._bucketize_value(["a", "swap", "x", "b"]) == [-1, 1, 5]
    assert calls == ["a", "swap"]


def test_list_changed_during_lookup_is_iterated_as_python_does():
    class Growing:
        def __init__(self, target):
            self.target = target

        def __hash__(self):
            self.target.append("green")
            self.target.append("red")
            return 1

    value = ["blue"]
    value.append(Growing(value))
    assert make()._bucketize_value(value) == [-1, 0, 1]
    assert len(value) == 4


def test_list_and_tuple_tests_use_type_equality():
    class Meta(type):
        def __eq__(cls, other):
            return other is list

        __hash__ = type.__hash__

    class Listy(metaclass=Meta):
        def __len__(self):
            return 2

        def __iter__(self):
            return iter(["red", "grey"])

    assert make()._bucketize_value(Listy()) == [-1, 0]
    assert make()._bucketize_value(type("Tupled", (tuple,), {})(("red",))) == [-1]


def test_write_to_proto_writes_only_the_common_fields():
    message = row_handler_pb2.Bucket()
    make().write_to_proto(message)
    assert message == row_handler_pb2.Bucket(name="colour", bucket_count=1,
                                             extractor=FieldExtractor("colour").to_proto())


@pytest.mark.parametrize("categories, text", [
    (COLOURS, "(colour:STRING, 3 categories)"),
    (["a", "b", "a"], "(colour:STRING, 2 categories)"),
    ([], "(colour:STRING, 0 categories)"),
])
def test_distro_names_the_field_and_counts_categories(categories, text):
    b = make(categories)
    b._bucketize_value("a")
    assert b.get_distro() == text
