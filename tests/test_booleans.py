import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

FALSE_ROW, TRUE_ROW, NULL_ROW = [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]


class Described:
    def __init__(self, text):
        self.text = text

    def description(self):
        return self.text


def make(has_null=True, extractor=None):
    if extractor is None:
        extractor = FieldExtractor("flag", "BOOL")
    return bucket.BooleanBucket("flag", extractor, has_null)


def state(b):
    return (b._has_null, b._total_buckets, b._distro, b._total, b._out_buckets)


def written(b):
    message = row_handler_pb2.Bucket()
    b.write_to_proto(message)
    return message


@pytest.mark.parametrize("has_null, count", [(True, 3), (False, 2), (1, 3), ("", 2)])
def test_construction_lays_out_buckets_by_the_flag_truth(has_null, count):
    b = make(has_null)
    assert b._has_null is has_null
    assert (b._total_buckets, b._distro, b._total) == (count, [0] * count, 0)
    assert bucket.BooleanBucket(extractor=None, name="f")._has_null is True


@pytest.mark.parametrize("has_null, value, row, distro", [
    (True, True, TRUE_ROW, [0, 1, 0]),
    (True, False, FALSE_ROW, [1, 0, 0]),
    (True, None, NULL_ROW, [0, 0, 1]),
    (False, None, [1.0, 0.0], [1, 0]),
])
def test_values_go_to_their_bucket_and_get_the_stored_row(has_null, value, row, distro):
    b = make(has_null)
    first = b.bucketize({"flag": value})
    assert first == row and b._distro == distro and b._total == 1
    assert b._bucketize_value(value) is first and b._total == 2


@pytest.mark.parametrize("value", [1, 0, 1.0, "x", "", [True]])
def test_non_bool_values_are_refused_and_not_counted(value):
    b = make()
    with pytest.raises(bucket.BadAttributeError) as info:
        b.bucketize({"flag": value})
    assert (info.value._key, info.value._value) == ("flag", value)
    assert b._distro == [0, 0, 0] and b._total == 0


@pytest.mark.parametrize("value, index", [
    (1, 1), ("yes", 1), ([0], 1), (0, 0), (0.0, 0), ("", 0), ([], 0),
])
def test_fast_mode_sorts_any_value_by_truth(monkeypatch, value, index):
    monkeypatch.setattr(bucket, "FAST_MODE", True)
    b = make()
    assert b._bucketize_value(value) is b._out_buckets[index]
    assert b._distro[index] == 1 and b._total == 1


def test_type_test_is_isinstance_and_reads_globals_at_each_call(monkeypatch):
    class ClaimsBool:
        __class__ = bool

        def __bool__(self):
            return True

    b = make()
    assert b._bucketize_value(ClaimsBool()) is b._out_buckets[1]

    class Refused(Exception):
        def __init__(self, key, value):
            self.pair = (key, value)

    monkeypatch.setattr(bucket, "BadAttributeError", Refused)
    with pytest.raises(Refused) as info:
        b._bucketize_value(2)
    assert info.value.pair == ("flag", 2)
    monkeypatch.delattr(bucket, "FAST_MODE")
    with pytest.raises(NameError):
        b._bucketize_value(True)


@pytest.mark.parametrize("fraction, dropped", [(0.02, False), (0.5, False), (0.019, True), (0, True)])
def test_set_null_fraction_drops_the_null_bucket_below_two_percent(fraction, dropped):
    b = make()
    assert b.set_null_fraction(fraction) is None
    if dropped:
        assert (b._has_null, b._total_buckets, b._distro) == (False, 2, [0, 0])
        assert b._bucketize_value(None) == FALSE_ROW
        assert b._bucketize_value(True) == TRUE_ROW
    else:
        assert (b._has_null, b._total_buckets, b._distro) == (True, 3, [0, 0, 0])


def test_set_null_fraction_without_null_bucket_ignores_the_fraction():
    b = make(False)
    b.set_null_fraction(object())
    assert state(b) == (False, 2, [0, 0], 0, [[1.0, 0.0], [0.0, 1.0]])
    with pytest.raises(TypeError):
        make().set_null_fraction("0.01")


def test_refused_drop_leaves_the_bucket_as_it_was():
    b = make(has_null=1)
    for value in (True, None, False):
        b._bucketize_value(value)
    before = (state(b), str(b), b.get_distro(), written(b))
    with pytest.raises(Exception) as info:
        b.set_null_fraction(0.01)
    assert type(info.value) is Exception
    assert str(info.value) == "Cannot remove bucket after adding values: 3"
    assert b._has_null == 1 and type(b._has_null) is int
    assert (state(b), str(b), b.get_distro(), written(b)) == before
    assert b._bucketize_value(None) == NULL_ROW


@pytest.mark.parametrize("has_null, values, text, distro", [
    (True, [], "flag: 3 has_null", "(D, 0% null)"),
    (True, [False] * 3 + [True, None], "flag: 3 has_null", "(D, 20% null)"),
    (True, [False, True, None], "flag: 3 has_null", "(D, 33% null)"),
    (True, [None], "flag: 3 has_null", "(D, 100% null)"),
    (True, "drop", "flag: 2 no_null", "(D)"),
    (False, [True, None], "flag: 2 no_null", "(D)"),
])
def test_texts(has_null, values, text, distro):
    b = make(has_null, Described("D"))
    if values == "drop":
        b.set_null_fraction(0.001)
    else:
        for value in values:
            b._bucketize_value(value)
    assert (str(b), b.get_distro()) == (text, distro)
    with pytest.raises(TypeError):
        make(has_null, Described(5)).get_distro()


@pytest.mark.parametrize("drop, count, has_null", [(False, 3, True), (True, 2, False)])
def test_write_to_proto(drop, count, has_null):
    b = make()
    if drop:
        b.set_null_fraction(0.0)
    assert written(b) == row_handler_pb2.Bucket(
        name="flag", bucket_count=count, extractor=FieldExtractor("flag", "BOOL").to_proto(),
        bucket_type=row_handler_pb2.Bucket.BOOLEAN, has_null=has_null)
