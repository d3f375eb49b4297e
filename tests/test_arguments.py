import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor

BaseBucket = bucket.BaseBucket
E = FieldExtractor("age")


def fresh():
    return BaseBucket("age", E, 3)


def takes(name, bound, count, given):
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, bound, count, "" if count == 1 else "s", given)


def raises_text(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


INIT_ERRORS = [
    # too few, too many
    (lambda: BaseBucket(), takes("__init__", "exactly", 4, 1)),
    (lambda: BaseBucket("age"), takes("__init__", "exactly", 4, 2)),
    (lambda: BaseBucket("age", E), takes("__init__", "exactly", 4, 3)),
    (lambda: BaseBucket("age", E, 3, 4), takes("__init__", "exactly", 4, 5)),
    (lambda: BaseBucket(*["age", E, 3, 4, 5]), takes("__init__", "exactly", 4, 6)),
    (lambda: BaseBucket.__init__(), takes("__init__", "exactly", 4, 0)),
    (lambda: BaseBucket.__init__(fresh(), "age"), takes("__init__", "exactly", 4, 2)),
    (lambda: fresh().__init__("age", E, 3, 4), takes("__init__", "exactly", 4, 5)),
    # a required parameter missing: the count before the first missing one
    (lambda: BaseBucket(name="age", extractor=E), takes("__init__", "exactly", 4, 3)),
    (lambda: BaseBucket(extractor=E, total_buckets=3), takes("__init__", "exactly", 4, 1)),
    (lambda: BaseBucket("age", total_buckets=3), takes("__init__", "exactly", 4, 2)),
    (lambda: BaseBucket(**{"total_buckets": 3}), takes("__init__", "exactly", 4, 1)),
    # unknown and duplicate keywords
    (lambda: BaseBucket("age", E, 3, bogus=1),
     "__init__() got an unexpected keyword argument 'bogus'"),
    (lambda: BaseBucket(name="age", extractor=E, total_bucket=3),
     "__init__() got an unexpected keyword argument 'total_bucket'"),
    (lambda: BaseBucket("age", E, 3, **{"name": "x"}),
     "__init__() got multiple values for keyword argument 'name'"),
    (lambda: BaseBucket.__init__(fresh(), "age", E, 3, self=1),
     "__init__() got multiple values for keyword argument 'self'"),
    (lambda: BaseBucket("age", E, extractor=E, total_buckets=3),
     "__init__() got multiple values for keyword argument 'extractor'"),
]


@pytest.mark.parametrize("call, text", INIT_ERRORS)
def test_constructor_argument_errors(call, text):
    raises_text(call, text)


class StrKey(str):
    def __eq__(self, other):
        raise AssertionError("compared through __eq__")

    __hash__ = str.__hash__


@pytest.mark.parametrize("call", [
    lambda: BaseBucket("age", E, 3),
    lambda: BaseBucket(name="age", extractor=E, total_buckets=3),
    lambda: BaseBucket(total_buckets=3, name="age", extractor=E),
    lambda: BaseBucket("age", **{"extractor": E, "total_buckets": 3}),
    lambda: BaseBucket(*("age", E), total_buckets=3),
    lambda: BaseBucket(**{StrKey("name"): "age", "extractor": E, "total_buckets": 3}),
])
def test_constructor_binds_by_position_and_keyword(call):
    b = call()
    assert (b._name, b._extractor, b._total_buckets) == ("age", E, 3)


def test_non_str_keyword():
    with pytest.raises(TypeError) as info:
        BaseBucket("age", E, 3, **{1: 2})
    # The interpreter may refuse the key before the call reaches the method.
    assert str(info.value) in ("keywords must be strings",
                               "__init__() keywords must be strings")


def test_keyword_self_binds_through_the_class():
    b = fresh()
    BaseBucket._increment(self=b, bucket=2)
    BaseBucket.__init__(self=b, name="x", extractor=E, total_buckets=1)
    assert (b._name, b._distro) == ("x", [0])


TWO_PARAMETER = [("_increment", "bucket"), ("_create_entry", "index"),
                 ("bucketize", "row"), ("write_to_proto", "proto")]


@pytest.mark.parametrize("name, param", TWO_PARAMETER)
def test_two_parameter_method_errors(name, param):
    b = fresh()
    method = getattr(b, name)
    raises_text(lambda: method(), takes(name, "exactly", 2, 1))
    raises_text(lambda: method(1, 2), takes(name, "exactly", 2, 3))
    raises_text(lambda: getattr(BaseBucket, name)(b, 1, 2), takes(name, "exactly", 2, 3))
    raises_text(lambda: getattr(BaseBucket, name)(), takes(name, "exactly", 2, 0))
    raises_text(lambda: method(other=1),
                "%s() got an unexpected keyword argument 'other'" % name)
    raises_text(lambda: method(1, **{param: 1}),
                "%s() got multiple values for keyword argument '%s'" % (name, param))


def test_wrong_keyword_name_of_the_counting_methods():
    b = fresh()
    raises_text(lambda: b._increment(index=1),
                "_increment() got an unexpected keyword argument 'index'")
    raises_text(lambda: b._create_entry(bucket=1),
                "_create_entry() got an unexpected keyword argument 'bucket'")
    assert b._create_entry(index=1) is b._out_buckets[1]
    b._increment(bucket=0)
    assert b._distro == [1, 1, 0]


ONE_ARGUMENT = [
    (BaseBucket, "get_distro"),
    (BaseBucket, "get_short_label"),
    (BaseBucket, "_remove_bucket"),
    (bucket.BadAttributeError, "__str__"),
]


@pytest.mark.parametrize("cls, name", ONE_ARGUMENT)
def test_one_argument_methods(cls, name):
    obj = fresh() if cls is BaseBucket else cls("age", 5)
    function = getattr(cls, name)
    exactly = "%s() takes exactly one argument (%%d given)" % name
    raises_text(lambda: function(), exactly % 0)
    raises_text(lambda: function(obj, 1), exactly % 2)
    raises_text(lambda: getattr(obj, name)(1), exactly % 2)
    raises_text(lambda: function(obj, 1, 2), exactly % 3)
    no_keywords = "%s() takes no keyword arguments" % name
    raises_text(lambda: function(self=obj), no_keywords)
    raises_text(lambda: getattr(obj, name)(x=1), no_keywords)
    raises_text(lambda: function(obj, **{"x": 1}), no_keywords)


def test_one_argument_methods_accept_an_empty_keyword_dict():
    assert fresh().get_short_label(**{}) == "|       age|"


@pytest.mark.parametrize("call, text", [
    (lambda: bucket.BadAttributeError(), takes("__init__", "exactly", 3, 1)),
    (lambda: bucket.BadAttributeError("age"), takes("__init__", "exactly", 3, 2)),
    (lambda: bucket.BadAttributeError("age", 1, 2), takes("__init__", "exactly", 3, 4)),
    (lambda: bucket.BadAttributeError(value=1), takes("__init__", "exactly", 3, 1)),
    (lambda: bucket.BadAttributeError("age", 1, key="x"),
     "__init__() got multiple values for keyword argument 'key'"),
    (lambda: bucket.BadAttributeError("age", val=1),
     "__init__() got an unexpected keyword argument 'val'"),
])
def test_bad_attribute_error_argument_errors(call, text):
    raises_text(call, text)


def test_bad_attribute_error_by_position():
    e = bucket.BadAttributeError("age", 5)
    assert e.args == ("age", 5)
    assert (e._key, e._value) == ("age", 5)
    assert str(e) == "Attribute 'age' with value 5 is of wrong type(<class 'int'>)"


def test_bad_attribute_error_by_keyword():
    e = bucket.BadAttributeError(value="abc", key="age")
    assert e.args == ()
    assert str(e) == "Attribute 'age' with value abc is of wrong type(<class 'str'>)"


def test_bad_attribute_error_text_reads_the_attributes_afresh():
    e = bucket.BadAttributeError("age", 5)
    e._key, e._value = ("k",), (1, 2)
    assert str(e) == "Attribute '('k',)' with value (1, 2) is of wrong type(<class 'tuple'>)"
    del e._value
    with pytest.raises(AttributeError):
        str(e)


KINDS_WITH_DEFAULTS = [
    ("ValueBucket", ("v",), takes("__init__", "at least", 3, 2)),
    ("ValueBucket", ("v", E, True, None, 1), takes("__init__", "at most", 5, 6)),
    ("BooleanBucket", (), takes("__init__", "at least", 3, 1)),
    ("BooleanBucket", ("b", E, True, 1), takes("__init__", "at most", 4, 5)),
    ("Bucket", ("r", E), takes("__init__", "at least", 4, 3)),
    ("CategoricalBucket", ("c", E, 0.1, None, None, 1),
     takes("__init__", "at most", 6, 7)),
    ("SimpleCategoricalBucket", ("s", E), takes("__init__", "exactly", 4, 3)),
]


@pytest.mark.parametrize("kind, args, text", KINDS_WITH_DEFAULTS)
def test_kind_constructor_counts(kind, args, text):
    cls = getattr(bucket, kind)
    raises_text(lambda: cls(*args), text)


def test_missing_required_with_defaults_present():
    raises_text(lambda: bucket.ValueBucket(extractor=E, has_null=False),
                takes("__init__", "at least", 3, 1))
    raises_text(lambda: bucket.ValueBucket("v", E, has_nul=False),
                "__init__() got an unexpected keyword argument 'has_nul'")
