# Paths the module takes differently by interpreter version: method lookup
# against the instance dict (inline values and managed dicts from 3.11 on),
# calls through the method objects (vectorcall from 3.8 on, tp_call on 3.7)
# and re-raising a fetched exception (a single exception object from 3.12 on).
import traceback

import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor


class Doubling(bucket.BaseBucket):
    def _bucketize_value(self, value):
        return ("class", self, value * 2)


class Slotted(Doubling):
    __slots__ = ("first", "second")


class DictSubclass(dict):
    pass


def plain():
    return Doubling("n", FieldExtractor("n", "INT"), 2)


def dict_read_first():
    b = plain()
    b.__dict__
    return b


def slotted():
    return Slotted("n", FieldExtractor("n", "INT"), 2)


def dict_replaced():
    b = plain()
    b.__dict__ = DictSubclass(b.__dict__)
    return b


layouts = pytest.mark.parametrize("make", [plain, dict_read_first, slotted, dict_replaced])


@layouts
def test_class_method_is_called_with_the_instance(make):
    b = make()
    assert b.bucketize({"n": 3}) == ("class", b, 6)


@layouts
def test_instance_attribute_shadows_the_class_method(make):
    b = make()
    b._bucketize_value = lambda value: ("instance", value)
    assert b.bucketize({"n": 3}) == ("instance", 3)
    del b._bucketize_value
    assert b.bucketize({"n": 3}) == ("class", b, 6)


def test_getattribute_override_is_honoured():
    class Redirected(Doubling):
        def __getattribute__(self, name):
            if name == "_bucketize_value":
                return lambda value: ("redirected", value)
            return object.__getattribute__(self, name)

    b = Redirected("n", FieldExtractor("n", "INT"), 2)
    assert b.bucketize({"n": 3}) == ("redirected", 3)


@pytest.mark.parametrize("call", [
    lambda b: b.bucketize({"n": 4}),
    lambda b: b.bucketize(row={"n": 4}),
    lambda b: bucket.BaseBucket.bucketize(b, {"n": 4}),
    lambda b: bucket.BaseBucket.bucketize.__get__(b)({"n": 4}),
    lambda b: getattr(b, "bucketize")(*[{"n": 4}]),
])
def test_every_call_form_binds_alike(call):
    b = plain()
    assert call(b) == ("class", b, 8)


def test_call_with_bad_arguments_raises_type_error():
    b = plain()
    with pytest.raises(TypeError):
        b.bucketize()
    with pytest.raises(TypeError):
        b.bucketize({"n": 1}, {"n": 2})
    with pytest.raises(TypeError):
        b.bucketize({"n": 1}, row={"n": 2})


def test_key_error_is_reported_and_raised_again_with_its_traceback(capsys):
    b = plain()
    with pytest.raises(KeyError) as info:
        b.bucketize({"m": 1})
    assert info.value.args == ("n",)
    frames = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "extract" in frames
    assert capsys.readouterr().out == "KeyError in n: {'m': 1}\n"


def test_failure_while_reporting_is_raised_in_the_context_of_the_key_error(monkeypatch):
    def failing_print(*args):
        raise RuntimeError("no output")

    monkeypatch.setattr(bucket, "print", failing_print, raising=False)
    with pytest.raises(RuntimeError) as info:
        plain().bucketize({"m": 1})
    assert isinstance(info.value.__context__, KeyError)
    assert info.value.__context__.__traceback__ is not None
