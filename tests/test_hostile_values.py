# Hostile input: values whose comparisons, hashing or truth test raise or
# change the bucket mid-call, attributes replaced by objects of the wrong
# type, and subclasses whose protected methods misbehave. Every case must
# end in an exception or the right answer, with no count lost or doubled.
import bisect as std_bisect
import numbers
import types

import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor


class Boom(Exception):
    pass


def explode(b):
    raise Boom("hostile")


class HostileNumber(float):
    """A float that runs hook(bucket) whenever it is compared."""

    def __new__(cls, value, hook, target):
        self = super().__new__(cls, value)
        self.hook, self.target = hook, target
        return self

    def __lt__(self, other):
        self.hook(self.target)
        return float(self) < other

    def __gt__(self, other):
        self.hook(self.target)
        return float(self) > other

    __hash__ = float.__hash__


class ClassHookNumber(HostileNumber):
    """Runs the hook when asked for its class, as isinstance does."""

    @property
    def __class__(self):
        self.hook(self.target)
        return float


class HostileKey(str):
    """A str that runs the hook when hashed or compared."""

    def __new__(cls, value, hook, target):
        self = super().__new__(cls, value)
        self.hook, self.target = hook, target
        return self

    def __hash__(self):
        self.hook(self.target)
        return str.__hash__(self)

    def __eq__(self, other):
        self.hook(self.target)
        return str.__eq__(self, other)

    def __ne__(self, other):
        self.hook(self.target)
        return str.__ne__(self, other)


class HostileBool:
    """Claims to be a bool and runs the hook for that and its truth."""

    def __init__(self, hook, target):
        self.hook, self.target = hook, target

    @property
    def __class__(self):
        self.hook(self.target)
        return bool

    def __bool__(self):
        self.hook(self.target)
        return True


class CountList(list):
    pass


class PlainDict(dict):
    pass


def with_generic_counting(cls):
    class Generic(cls):
        def _create_entry(self, index):
            return super()._create_entry(index)

        def _increment(self, bucket):
            return super()._increment(bucket)

    return Generic


# kind: (constructor, good value factory, index counted, result for the value)
def _range(cls):
    return cls("age", FieldExtractor("age", "FLOAT"), [10.0, 20.0, 30.0])


def _string(cls):
    return cls("color", FieldExtractor("color"), ["red", "green", "blue"])


def _boolean(cls):
    return cls("flag", FieldExtractor("flag", "BOOL"))


def _value(cls):
    return cls("v", FieldExtractor("v", "FLOAT"))


def _categorical(cls):
    return cls("c", FieldExtractor("c"), 0, category_dict={"red": 0, "blue": 1})


def _simple(cls):
    return cls("s", FieldExtractor("s"), ["red", "green"])


KINDS = {
    "Bucket": (_range, lambda h, b: HostileNumber(15.0, h, b), 1),
    "StringBucket": (_string, lambda h, b: HostileKey("green", h, b), 1),
    "BooleanBucket": (_boolean, lambda h, b: HostileBool(h, b), 1),
    "ValueBucket": (_value, lambda h, b: ClassHookNumber(2.5, h, b), 0),
    "CategoricalBucket": (_categorical, lambda h, b: HostileKey("blue", h, b), 3),
    "SimpleCategoricalBucket": (_simple, lambda h, b: HostileKey("green", h, b), None),
}
COUNTING = [k for k in KINDS if k != "SimpleCategoricalBucket"]
ROW_KINDS = ["Bucket", "StringBucket", "BooleanBucket"]


@pytest.fixture(params=["inline", "generic"])
def path(request, monkeypatch):
    if request.param == "generic":
        monkeypatch.setattr(bucket, "bisect", types.SimpleNamespace(bisect=std_bisect.bisect))
        monkeypatch.setattr(bucket, "Number", (numbers.Number,))
    return request.param


@pytest.fixture(params=[False, True], ids=["checked", "fast"])
def fast(request, monkeypatch):
    monkeypatch.setattr(bucket, "FAST_MODE", request.param)
    return request.param


def make(kind, path):
    cls = getattr(bucket, kind)
    if path == "generic":
        cls = with_generic_counting(cls)
    b = KINDS[kind][0](cls)
    if path == "generic":
        b._distro = CountList(b._distro)
        b._out_buckets = CountList(b._out_buckets)
        for attr in ("_bucket_map", "_category_dict", "_category_value_map"):
            if attr in b.__dict__:
                setattr(b, attr, PlainDict(getattr(b, attr)))
    return b


def expected_result(kind, b):
    if kind == "ValueBucket":
        return [2.5, 0.0]
    if kind == "CategoricalBucket":
        return [1]
    if kind == "SimpleCategoricalBucket":
        return [1]
    return b._out_buckets[KINDS[kind][2]]


def counted_once(kind, b, distro_before):
    """_distro holds distro_before plus one at the kind's index."""
    want = list(distro_before)
    want[KINDS[kind][2]] += 1
    assert list(b._distro) == want
    assert b._total == (0 if kind == "CategoricalBucket" else 1)


def _clear_distro(b):
    del b._distro[:]


def _replace_distro(b):
    if not getattr(b, "_replaced", False):
        b._replaced = True
        b._distro = [0] * len(b._distro)


def _drop_distro(b):
    b.__dict__.pop("_distro", None)


def _bad_total(b):
    b._total = "many"


def _clear_rows(b):
    del b._out_buckets[:]


def _shadow_create_entry(b):
    b.__dict__["_create_entry"] = lambda index: ("shadow", index)


def _clear_container(b):
    for attr in ("_buckets", "_bucket_map", "_category_dict", "_category_value_map"):
        if attr in b.__dict__:
            getattr(b, attr).clear()


ATTACKS = ["raise", "clear_distro", "replace_distro", "drop_distro", "bad_total",
           "clear_rows", "shadow_create_entry", "clear_container"]
HOOKS = {
    "raise": explode, "clear_distro": _clear_distro, "replace_distro": _replace_distro,
    "drop_distro": _drop_distro, "bad_total": _bad_total, "clear_rows": _clear_rows,
    "shadow_create_entry": _shadow_create_entry, "clear_container": _clear_container,
}


@pytest.mark.parametrize("attack", ATTACKS)
@pytest.mark.parametrize("kind", list(KINDS))
def test_value_that_attacks_the_bucket_mid_call(kind, attack, path, fast):
    b = make(kind, path)
    value = KINDS[kind][1](HOOKS[attack], b)
    before = list(b._distro)
    hooked = not (kind == "ValueBucket" and fast)
    counts = kind in COUNTING

    def normal():
        assert b._bucketize_value(value) == expected_result(kind, b)
        if counts:
            counted_once(kind, b, before)

    if not hooked:
        normal()
    elif attack == "raise":
        with pytest.raises(Boom):
            b._bucketize_value(value)
        assert list(b._distro) == before and b._total == 0
    elif attack == "clear_distro" and counts:
        with pytest.raises(IndexError):
            b._bucketize_value(value)
        assert list(b._distro) == [] and b._total == 0
    elif attack == "replace_distro" and counts:
        assert b._bucketize_value(value) == expected_result(kind, b)
        assert type(b._distro) is list
        counted_once(kind, b, [0] * len(before))
    elif attack == "drop_distro" and counts:
        with pytest.raises(AttributeError):
            b._bucketize_value(value)
        assert b._total == 0
    elif attack == "bad_total" and counts:
        if kind == "CategoricalBucket":
            assert b._bucketize_value(value) == [1]
            assert b._distro[3] == 1 and sum(b._distro) == 1
        else:
            with pytest.raises(TypeError):
                b._bucketize_value(value)
            assert list(b._distro) == before
        assert b._total == "many"
    elif attack == "clear_rows" and kind in ROW_KINDS:
        # The count was complete when the row was looked up.
        with pytest.raises(IndexError):
            b._bucketize_value(value)
        counted_once(kind, b, before)
    elif attack == "shadow_create_entry" and kind in ROW_KINDS:
        # A call looks its method up before it works out the argument: a
        # shadow made by the bisection or the truth test counts from the
        # next call on; one made by the type test or the map lookup at once.
        found_first = kind == "Bucket" or (kind == "BooleanBucket" and fast)
        if found_first:
            assert b._bucketize_value(value) is b._out_buckets[KINDS[kind][2]]
            counted_once(kind, b, before)
            before = list(b._distro)
        assert b._bucketize_value(value) == ("shadow", KINDS[kind][2])
        assert list(b._distro) == before and b._total == int(found_first)
    elif attack == "clear_container" and kind == "Bucket":
        with pytest.raises(IndexError):
            b._bucketize_value(value)
        assert list(b._distro) == before and b._total == 0
    elif attack == "clear_container" and kind == "StringBucket":
        assert b._bucketize_value(value) is b._out_buckets[3]
        assert list(b._distro) == [0, 0, 0, 1, 0] and b._total == 1
    elif attack == "clear_container" and kind == "CategoricalBucket":
        assert b._bucketize_value(value) == [-1]
        assert list(b._distro) == [0, 1, 0, 0] and b._total == 0
    elif attack == "clear_container" and kind == "SimpleCategoricalBucket":
        assert b._bucketize_value(value) == [-1]
    else:
        normal()


@pytest.mark.parametrize("kind", list(KINDS))
def test_comparison_that_mutates_a_row_list_being_read(kind, path):
    # SimpleCategoricalBucket reads the list it is given entry by entry; the
    # other kinds see the list as one value.
    b = make(kind, path)
    entries = []

    def shrink(_):
        del entries[1:]

    entries.extend([HostileKey("green", shrink, b), "red", "blue"])
    if kind == "SimpleCategoricalBucket":
        assert b._bucketize_value(entries) == [1]
        return
    with pytest.raises((TypeError, bucket.BadAttributeError)):
        b._bucketize_value({"unhashable": entries} if kind == "ValueBucket" else [entries])
    assert b._total == 0


def test_boundary_whose_comparison_shrinks_the_list(path, fast):
    b = make("Bucket", path)

    class Bound(float):
        def __gt__(self, other):
            del b._buckets[1:]
            return float(self) > other

        __hash__ = float.__hash__

    b._buckets[:] = [Bound(10.0), Bound(20.0), Bound(30.0)]
    # The first probe (index 1) shrinks the list; the next one (index 0) is
    # still there, so the search ends normally over what it read.
    assert b._bucketize_value(5.0) is b._out_buckets[0]
    assert b._buckets == [10.0]
    assert b._bucketize_value(25.0) is b._out_buckets[1]
    assert list(b._distro) == [1, 1, 0, 0, 0] and b._total == 2


def test_boundary_comparison_raising_counts_nothing(path):
    b = make("Bucket", path)
    b._buckets[1] = types.SimpleNamespace()
    with pytest.raises(TypeError):
        b._bucketize_value(15.0)
    assert list(b._distro) == [0] * 5 and b._total == 0


def _tuple_distro(b):
    b._distro = tuple(b._distro)
    return TypeError


def _none_distro(b):
    b._distro = None
    return TypeError


def _str_counts(b):
    class Odd(list):
        def __getitem__(self, index):
            return "x"

    b._distro = Odd(b._distro)
    return TypeError


def _refusing_distro(b):
    class Refusing(list):
        def __setitem__(self, index, value):
            raise Boom("read only")

    b._distro = Refusing(b._distro)
    return Boom


def _lying_length(b):
    class Lying(list):
        def __len__(self):
            return 0

    b._distro = Lying(b._distro)
    return None


def _dict_distro(b):
    b._distro = {i: 0 for i in range(len(b._distro))}
    return None


def _float_counts(b):
    b._distro = [0.0] * len(b._distro)
    return None


DISTROS = [_tuple_distro, _none_distro, _str_counts, _refusing_distro, _lying_length,
           _dict_distro, _float_counts]


@pytest.mark.parametrize("replace", DISTROS, ids=lambda f: f.__name__.strip("_"))
@pytest.mark.parametrize("kind", COUNTING)
def test_distro_of_another_type(kind, replace, path, fast):
    b = make(kind, path)
    good = {"Bucket": 15.0, "StringBucket": "green", "BooleanBucket": True,
            "ValueBucket": 2.5, "CategoricalBucket": "blue"}[kind]
    error = replace(b)
    distro = b._distro
    index = KINDS[kind][2]
    if error is not None:
        with pytest.raises(error):
            b._bucketize_value(good)
        assert b._total == 0
        if isinstance(distro, list):
            assert list.__getitem__(distro, index) == 0
        return
    zero = distro[index]
    b._bucketize_value(good)
    assert distro[index] == 1 and type(distro[index]) is type(zero)
    assert sum(distro.values() if isinstance(distro, dict) else distro) == 1
    assert b._total == (0 if kind == "CategoricalBucket" else 1)


@pytest.mark.parametrize("total, after", [(2.0, 3.0), (2 ** 100, 2 ** 100 + 1), (True, 2)])
@pytest.mark.parametrize("kind", ROW_KINDS + ["ValueBucket"])
def test_total_of_another_number_type_keeps_counting(kind, total, after, path):
    b = make(kind, path)
    b._total = total
    good = {"Bucket": 15.0, "StringBucket": "green", "BooleanBucket": True, "ValueBucket": 2.5}[kind]
    b._bucketize_value(good)
    assert b._total == after and type(b._total) is type(after)
    assert sum(b._distro) == 1


@pytest.mark.parametrize("total", ["many", None, [1]])
@pytest.mark.parametrize("kind", ROW_KINDS + ["ValueBucket"])
def test_total_that_cannot_be_raised_counts_nothing(kind, total, path):
    b = make(kind, path)
    b._total = total
    good = {"Bucket": 15.0, "StringBucket": "green", "BooleanBucket": True, "ValueBucket": 2.5}[kind]
    with pytest.raises(TypeError):
        b._bucketize_value(good)
    assert sum(b._distro) == 0 and b._total == total


@pytest.mark.parametrize("rows, check", [
    (lambda b: tuple(b._out_buckets), lambda b, r: r == [0.0, 1.0, 0.0, 0.0, 0.0]),
    (lambda b: "abcde", lambda b, r: r == "b"),
    (lambda b: {1: "one"}, lambda b, r: r == "one"),
])
def test_rows_of_another_type_are_indexed_as_python_would(rows, check, path):
    b = make("Bucket", path)
    b._out_buckets = rows(b)
    assert check(b, b._bucketize_value(15.0))
    assert b._distro[1] == 1 and b._total == 1


@pytest.mark.parametrize("kind", ROW_KINDS)
def test_rows_that_cannot_be_indexed_fail_after_the_count(kind, path):
    b = make(kind, path)
    b._out_buckets = None
    good = {"Bucket": 15.0, "StringBucket": "green", "BooleanBucket": True}[kind]
    with pytest.raises(TypeError):
        b._bucketize_value(good)
    assert sum(b._distro) == 1 and b._total == 1


@pytest.mark.parametrize("kind, attr, value, error", [
    ("Bucket", "_buckets", None, TypeError),
    ("Bucket", "_buckets", "abc", TypeError),
    ("Bucket", "_buckets", 5, TypeError),
    ("StringBucket", "_bucket_map", None, TypeError),
    ("StringBucket", "_bucket_map", ["green"], TypeError),
    ("CategoricalBucket", "_category_dict", None, TypeError),
    ("CategoricalBucket", "_category_dict", ["blue"], TypeError),
    ("CategoricalBucket", "_category_dict", {"blue": "one"}, TypeError),
    ("CategoricalBucket", "_category_dict", {"blue": 1.0}, TypeError),
    ("CategoricalBucket", "_category_dict", {"blue": 2 ** 80}, IndexError),
    ("CategoricalBucket", "_category_dict", {"blue": 10}, IndexError),
    ("SimpleCategoricalBucket", "_category_value_map", None, AttributeError),
    ("SimpleCategoricalBucket", "_category_value_map", {"green": []}, TypeError),
])
def test_kind_attribute_of_the_wrong_type(kind, attr, value, error, path):
    b = make(kind, path)
    setattr(b, attr, value)
    good = {"Bucket": 15.0, "StringBucket": "green", "CategoricalBucket": "blue",
            "SimpleCategoricalBucket": "green"}[kind]
    with pytest.raises(error):
        b._bucketize_value(good)
    assert sum(b._distro) == 0 and b._total == 0


@pytest.mark.parametrize("length, error", [
    ("3", TypeError), (None, TypeError), (3.0, TypeError), (2 ** 70, IndexError),
    (-10, IndexError), (10, IndexError),
])
@pytest.mark.parametrize("kind, value", [("Bucket", None), ("StringBucket", "purple")])
def test_length_of_the_wrong_type(kind, value, length, error, path):
    b = make(kind, path)
    b._len = length
    with pytest.raises(error):
        b._bucketize_value(value)
    assert sum(b._distro) == 0 and b._total == 0


@pytest.mark.parametrize("length, index", [(-1, 0), (-3, 3), (True, 2)])
def test_length_that_python_would_accept_counts_where_it_would(length, index, path):
    b = make("Bucket", path)
    b._len = length
    assert b._bucketize_value(None) is b._out_buckets[index]
    assert b._distro[index] == 1 and b._total == 1


@pytest.mark.parametrize("index, slot", [(-1, 1), (-2, 0), (True, 3)])
def test_category_index_python_would_accept(index, slot, path):
    b = make("CategoricalBucket", path)
    b._category_dict = {"blue": index}
    assert b._bucketize_value("blue") == [index]
    assert b._distro[slot] == 1 and sum(b._distro) == 1


class Mapping:
    def __init__(self, data):
        self.data = data

    def __contains__(self, key):
        return key in self.data

    def __getitem__(self, key):
        return self.data[key]

    def get(self, key):
        return self.data.get(key)


def test_string_map_as_a_mapping_and_one_that_lies(path):
    b = make("StringBucket", path)
    b._bucket_map = Mapping({"green": 0})
    assert b._bucketize_value("green") is b._out_buckets[0]

    class Lying(dict):
        def __contains__(self, key):
            return True

    b._bucket_map = Lying()
    with pytest.raises(KeyError):
        b._bucketize_value("green")
    assert list(b._distro) == [1, 0, 0, 0, 0] and b._total == 1


@pytest.mark.parametrize("found, result, error", [
    ("x", ["x"], None),
    (5.5, [5.5], None),
    (2 ** 80, [2 ** 80], None),
    (HostileKey("x", explode, None), None, Boom),
])
def test_simple_map_get_returning_odd_ids(found, result, error):
    b = make("SimpleCategoricalBucket", "inline")
    b._category_value_map = Mapping({"green": found})
    if error:
        with pytest.raises(error):
            b._bucketize_value("green")
        return
    assert b._bucketize_value("green") == result


def test_simple_ids_that_cannot_be_sorted_together():
    b = make("SimpleCategoricalBucket", "inline")
    b._category_value_map = {"a": "x", "b": 1}
    with pytest.raises(TypeError):
        b._bucketize_value(["a", "b"])


def test_simple_many_distinct_ids_and_mixed_int_kinds():
    b = bucket.SimpleCategoricalBucket("s", FieldExtractor("s"), [str(i) for i in range(50)])
    values = [str(i) for i in reversed(range(50))] + ["nope"]
    assert b._bucketize_value(values) == [-1] + list(range(50))
    b._category_value_map = {"a": 2 ** 70, "b": True, "c": 1, "d": -(2 ** 70)}
    assert b._bucketize_value(["a", "b", "c", "d"]) == [-(2 ** 70), True, 2 ** 70]


def test_simple_id_compared_with_none_by_its_own_eq():
    class LikeNone:
        def __eq__(self, other):
            return other is None

        __hash__ = object.__hash__

    b = make("SimpleCategoricalBucket", "inline")
    b._category_value_map = {"green": LikeNone()}
    assert b._bucketize_value("green") == [-1]


@pytest.mark.parametrize("kind", ["BooleanBucket", "ValueBucket"])
def test_null_flag_whose_truth_test_attacks(kind, path):
    b = make(kind, path)

    class Flag:
        def __bool__(self):
            del b._distro[:]
            return True

    b._has_null = Flag()
    with pytest.raises(IndexError):
        b._bucketize_value(None)
    assert b._distro == [] and b._total == 0
    b._has_null = HostileBool(explode, b)
    with pytest.raises(Boom):
        b._bucketize_value(None)


@pytest.mark.parametrize("kind, value, attrs", [
    ("Bucket", 15.0, ["_distro", "_total", "_buckets", "_out_buckets"]),
    ("Bucket", None, ["_has_none", "_len"]),
    ("Bucket", "abc", ["_name"]),
    ("StringBucket", "green", ["_distro", "_total", "_bucket_map"]),
    ("StringBucket", "purple", ["_len"]),
    ("BooleanBucket", None, ["_distro", "_total", "_has_null"]),
    ("ValueBucket", None, ["_distro", "_total", "_has_null"]),
    ("ValueBucket", 2.5, ["_has_null"]),
    ("CategoricalBucket", None, ["_distro", "_none_value"]),
    ("CategoricalBucket", "blue", ["_category_dict", "_extractor"]),
    ("SimpleCategoricalBucket", "green", ["_category_value_map"]),
])
def test_deleted_attributes_raise_attribute_error(kind, value, attrs, path):
    for attr in attrs:
        b = make(kind, path)
        delattr(b, attr)
        with pytest.raises(AttributeError):
            b._bucketize_value(value)
        # The row is read, a present value's row made, and the None index
        # read, after the count.
        counted = 1 if attr in ("_out_buckets", "_none_value") or value == 2.5 else 0
        assert sum(getattr(b, "_distro", [])) == counted
        assert getattr(b, "_total", 0) == (0 if kind == "CategoricalBucket" else counted)


class HostileIndex:
    def __init__(self, index, hook, target):
        self.index, self.hook, self.target = index, hook, target

    def __index__(self):
        self.hook(self.target)
        return self.index


@pytest.mark.parametrize("hook, error, counted", [
    (explode, Boom, 0), (_clear_distro, IndexError, 0), (_clear_rows, IndexError, 1),
])
def test_index_whose_conversion_attacks(hook, error, counted, path):
    b = make("Bucket", path)
    with pytest.raises(error):
        b._create_entry(HostileIndex(1, hook, b))
    assert sum(b._distro) == counted and b._total == counted


def test_total_buckets_whose_index_changes():
    calls = []

    class Growing:
        def __index__(self):
            calls.append(1)
            return len(calls) + 1

    b = bucket.BaseBucket("n", FieldExtractor("n"), Growing())
    assert len(b._distro) == 2 and len(b._out_buckets) == 3
    with pytest.raises(Boom):
        bucket.BaseBucket("n", FieldExtractor("n"), HostileIndex(2, explode, None))


@pytest.mark.parametrize("count, text", [("3", None), (None, None), (3.0, "age: 3 ([10.0, 20.0, 30.0]) extractor: age")])
def test_reports_with_a_count_of_the_wrong_type(count, text):
    b = make("Bucket", "inline")
    b._total_buckets = count
    with pytest.raises(TypeError):
        b.get_distro()
    if text is None:
        with pytest.raises(TypeError):
            str(b)
    else:
        assert str(b) == text


def test_label_that_shortens_the_distribution_mid_report(path):
    b = make("Bucket", path)
    b._bucketize_value(15.0)

    class Labelled(type(b)):
        def get_bucket_label(self, index):
            del self._distro[:]
            return "x"

    b.__class__ = Labelled
    with pytest.raises(IndexError):
        b.get_distro()


def test_label_whose_text_raises(path):
    class Unprintable:
        def __str__(self):
            raise Boom("label")

    b = make("StringBucket", path)
    b._buckets[0] = Unprintable()
    with pytest.raises(Boom):
        b.get_distro()


def test_row_whose_text_raises_while_a_key_error_is_reported(capsys, path):
    b = make("Bucket", path)

    class Row(dict):
        def __str__(self):
            raise Boom("row")

    with pytest.raises(Boom) as caught:
        b.bucketize(Row())
    assert isinstance(caught.value.__context__, KeyError)
    assert capsys.readouterr().out == ""


def test_row_whose_text_mutates_the_bucket(capsys, path):
    b = make("Bucket", path)

    class Row(dict):
        def __str__(self):
            b._name = None
            b._distro = None
            return "row"

    with pytest.raises(KeyError):
        b.bucketize(Row())
    assert capsys.readouterr().out == "KeyError in age: row\n"


# Subclasses whose protected methods misbehave.

def subclass(kind, **methods):
    return KINDS[kind][0](type("Hostile" + kind, (getattr(bucket, kind),), methods))


GOOD = {"Bucket": 15.0, "StringBucket": "green", "BooleanBucket": True, "ValueBucket": None}


@pytest.mark.parametrize("kind", ["Bucket", "StringBucket", "BooleanBucket", "ValueBucket"])
def test_create_entry_that_raises_or_returns_odd_objects(kind, fast):
    b = subclass(kind, _create_entry=lambda self, index: explode(self))
    with pytest.raises(Boom):
        b._bucketize_value(GOOD[kind])
    assert sum(b._distro) == 0 and b._total == 0
    odd = object()
    b = subclass(kind, _create_entry=lambda self, index: odd)
    assert b._bucketize_value(GOOD[kind]) is odd


INCREMENTERS = {
    "raises": (lambda self, i: explode(self), Boom, 0),
    "returns_odd": (lambda self, i: (bucket.BaseBucket._increment(self, i), "odd")[1], None, 1),
    "clears_rows": (lambda self, i: (bucket.BaseBucket._increment(self, i),
                                     self._out_buckets.clear()), IndexError, 1),
    "replaces_distro": (lambda self, i: setattr(self, "_distro", [0] * 5), None, 0),
}


@pytest.mark.parametrize("name", list(INCREMENTERS))
@pytest.mark.parametrize("kind", ["Bucket", "StringBucket", "BooleanBucket", "ValueBucket"])
def test_increment_override(kind, name, fast):
    method, error, counted = INCREMENTERS[name]
    b = subclass(kind, _increment=method)
    value = 2.5 if kind == "ValueBucket" else GOOD[kind]
    if error is IndexError and kind == "ValueBucket":
        # Only its null index is a stored row.
        assert b._bucketize_value(value) == [2.5, 0.0]
    elif error:
        with pytest.raises(error):
            b._bucketize_value(value)
    else:
        result = b._bucketize_value(value)
        assert result == ([2.5, 0.0] if kind == "ValueBucket" else b._out_buckets[KINDS[kind][2]])
    assert sum(b._distro) == counted and b._total == counted


@pytest.mark.parametrize("kind", ["Bucket", "StringBucket", "BooleanBucket", "ValueBucket"])
def test_instance_shadowing_the_counting_methods(kind):
    b = KINDS[kind][0](getattr(bucket, kind))
    other = KINDS[kind][0](getattr(bucket, kind))
    value = 2.5 if kind == "ValueBucket" else GOOD[kind]
    b._increment = 5
    with pytest.raises(TypeError):
        b._bucketize_value(value)
    assert sum(b._distro) == 0 and b._total == 0
    b._increment = other._increment
    b._bucketize_value(value)
    assert sum(b._distro) == 0 and sum(other._distro) == 1 and other._total == 1


@pytest.mark.parametrize("kind", COUNTING)
def test_setattr_that_refuses_the_total_loses_no_count(kind, path):
    class Refusing(getattr(bucket, kind)):
        def __setattr__(self, name, value):
            if name == "_total" and getattr(self, "_locked", False):
                raise Boom("locked")
            object.__setattr__(self, name, value)

    b = KINDS[kind][0](Refusing)
    if path == "generic":
        b._distro = CountList(b._distro)
    b._locked = True
    value = {"Bucket": 15.0, "StringBucket": "green", "BooleanBucket": True,
             "ValueBucket": 2.5, "CategoricalBucket": "blue"}[kind]
    if kind == "CategoricalBucket":
        assert b._bucketize_value(value) == [1]
        assert sum(b._distro) == 1
        return
    with pytest.raises(Boom):
        b._bucketize_value(value)
    assert sum(b._distro) == 0 and b._total == 0


@pytest.mark.parametrize("kind", COUNTING)
def test_getattribute_that_refuses_the_distribution(kind):
    class Hiding(getattr(bucket, kind)):
        def __getattribute__(self, name):
            if name == "_distro" and object.__getattribute__(self, "__dict__").get("_hide"):
                raise Boom("hidden")
            return object.__getattribute__(self, name)

    b = KINDS[kind][0](Hiding)
    b._hide = True
    value = {"Bucket": 15.0, "StringBucket": "green", "BooleanBucket": True,
             "ValueBucket": 2.5, "CategoricalBucket": "blue"}[kind]
    with pytest.raises(Boom):
        b._bucketize_value(value)
    assert b._total == 0
    b._hide = False
    assert sum(b._distro) == 0


@pytest.mark.parametrize("kind", ["BooleanBucket", "ValueBucket"])
def test_remove_bucket_override(kind):
    b = subclass(kind, _remove_bucket=lambda self: explode(self))
    with pytest.raises(Boom):
        b.set_null_fraction(0.0)
    # A refused removal leaves the bucket as it was.
    assert b._has_null is True and len(b._distro) == b._total_buckets
    b = subclass(kind, _remove_bucket=lambda self: None)
    b.set_null_fraction(0.0)
    assert b._has_null is False and len(b._distro) == b._total_buckets


def test_bucketize_value_override_in_instance_and_class():
    b = subclass("Bucket", _bucketize_value=lambda self, value: ("class", value))
    assert b.bucketize({"age": 3}) == ("class", 3)
    b._bucketize_value = lambda value: explode(b)
    with pytest.raises(Boom):
        b.bucketize({"age": 3})
    b._bucketize_value = lambda value: (_ for _ in ()).throw(KeyError("inner"))
    with pytest.raises(KeyError):
        b.bucketize({"age": 3})


class Reversed(list):
    """A list subclass whose reads disagree with its storage."""

    def __getitem__(self, index):
        return list.__getitem__(self, len(self) - 1 - index)

    def __len__(self):
        return 2


@pytest.mark.parametrize("boundaries", [Reversed([30.0, 20.0, 10.0]), (10.0, 20.0, 30.0)])
@pytest.mark.parametrize("value", [5.0, 15.0, 20.0, 25.0, 35.0])
def test_boundaries_read_as_the_standard_bisection_reads_them(boundaries, value, path):
    b = make("Bucket", path)
    b._buckets = boundaries
    index = std_bisect.bisect(boundaries, value)
    assert b._bucketize_value(value) is b._out_buckets[index]
    assert b._distro[index] == 1 and b._total == 1


def test_boundary_in_a_tuple_whose_comparison_raises(path):
    b = make("Bucket", path)
    b._buckets = (10.0, HostileNumber(20.0, explode, None), 30.0)
    with pytest.raises(Boom):
        b._bucketize_value(15.0)
    assert sum(b._distro) == 0 and b._total == 0


class ListLike(type):
    def __eq__(cls, other):
        if getattr(cls, "boom", False):
            raise Boom("type compared")
        return other is list or type.__eq__(cls, other)

    __hash__ = type.__hash__


def test_simple_value_whose_type_compares_equal_to_list():
    class Pretender(metaclass=ListLike):
        def __len__(self):
            return 2

        def __iter__(self):
            return iter(["red", "purple"])

    b = make("SimpleCategoricalBucket", "inline")
    assert b._bucketize_value(Pretender()) == [-1, 0]
    Pretender.boom = True
    with pytest.raises(Boom):
        b._bucketize_value(Pretender())


@pytest.mark.parametrize("kind", ["StringBucket", "SimpleCategoricalBucket"])
def test_listed_value_whose_hash_attacks_the_list_at_construction(kind):
    values = []

    def shrink(_):
        del values[1:]

    values.extend([HostileKey("red", shrink, None), "green", "blue"])
    with pytest.raises(IndexError):
        getattr(bucket, kind)("c", FieldExtractor("c"), values)
    values[:] = ["red", HostileKey("green", explode, None)]
    with pytest.raises(Boom):
        getattr(bucket, kind)("c", FieldExtractor("c"), values)


@pytest.mark.parametrize("kind", ROW_KINDS + ["ValueBucket"])
def test_refused_total_whose_count_cannot_go_back(kind, path):
    class Refusing(getattr(bucket, kind)):
        def __setattr__(self, name, value):
            if name == "_total" and getattr(self, "_locked", False):
                del self._distro[:]
                raise Boom("locked")
            object.__setattr__(self, name, value)

    b = KINDS[kind][0](Refusing)
    if path == "generic":
        b._distro = CountList(b._distro)
    b._locked = True
    value = {"Bucket": 15.0, "StringBucket": "green", "BooleanBucket": True, "ValueBucket": 2.5}[kind]
    with pytest.raises(IndexError) as caught:
        b._bucketize_value(value)
    assert isinstance(caught.value.__context__, Boom)
    assert list(b._distro) == [] and b._total == 0
