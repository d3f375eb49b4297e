import builtins
import bisect
import inspect
import numbers
import os
import pydoc
import subprocess
import sys
import textwrap

import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data import extractor as extractor_module
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

MODULE = "tarvello.custom.model_data.bucket"

BOUND_NAMES = [
    "Number", "bisect", "row_handler_pb2", "extractor", "ANSI_ESCAPE",
    "NORMAL_COLOR", "FAST_MODE", "BadAttributeError", "BaseBucket",
    "BooleanBucket", "ValueBucket", "CategoricalBucket",
    "SimpleCategoricalBucket", "Bucket", "StringBucket",
    "create_category_dict", "read_from_proto", "__test__",
]

BASE_METHODS = ["__init__", "write_to_proto", "_remove_bucket", "_increment",
                "_create_entry", "get_distro", "get_short_label", "bucketize"]

SIGNATURES = {
    ("BaseBucket", "__init__"): "(self, name, extractor, total_buckets)",
    ("BaseBucket", "write_to_proto"): "(self, proto)",
    ("BaseBucket", "_remove_bucket"): "(self, /)",
    ("BaseBucket", "_increment"): "(self, bucket)",
    ("BaseBucket", "_create_entry"): "(self, index)",
    ("BaseBucket", "get_distro"): "(self, /)",
    ("BaseBucket", "get_short_label"): "(self, /)",
    ("BaseBucket", "bucketize"): "(self, row)",
    ("BadAttributeError", "__init__"): "(self, key, value)",
    ("BadAttributeError", "__str__"): "(self, /)",
}

CONSTRUCTORS = {
    "BaseBucket": "(name, extractor, total_buckets)",
    "BooleanBucket": "(name, extractor, has_null=True)",
    "ValueBucket": "(name, extractor, has_null=True, default_value=None)",
    "CategoricalBucket":
        "(name, extractor, min_fraction, category_dict=None, none_value=None)",
    "SimpleCategoricalBucket": "(name, extractor, categories)",
    "Bucket": "(name, extractor, buckets, has_none=True)",
    "StringBucket": "(name, extractor, buckets, has_none=True)",
}


def run_python(code):
    """Runs code in a fresh interpreter that imports from the same places,
    the in-place build's package paths included (also as the str _prelude,
    for code that starts another interpreter)."""
    import tarvello.custom.model_data as package
    import tarvello.custom.model_data.row_handler_proto as messages
    prelude = ("import tarvello.custom.model_data as _package, "
               "tarvello.custom.model_data.row_handler_proto as _messages\n"
               "_package.__path__[:] = %r\n_messages.__path__[:] = %r\n"
               % (list(package.__path__), list(messages.__path__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    prelude += "_prelude = %r\n" % prelude
    # Under emulation the interpreter runs through a wrapper of its own.
    python = os.environ.get("BUCKET_TEST_PYTHON", sys.executable)
    result = subprocess.run([python, "-c", prelude + textwrap.dedent(code)],
                            env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


class Extractor:
    _field_name = "age"

    def extract(self, row):
        return row["age"]


# --- the namespace ---------------------------------------------------------

def test_namespace_holds_the_names_in_binding_order():
    out = run_python("""
        from tarvello.custom.model_data import bucket
        print(" ".join(vars(bucket)))
    """)
    names = out.split()
    first = names.index("Number")
    assert all(n.startswith("__") and n.endswith("__") for n in names[:first])
    assert "__doc__" in names[:first]
    assert names[first:] == BOUND_NAMES


def test_imports_are_bound_as_the_modules_themselves():
    assert bucket.Number is numbers.Number
    assert bucket.bisect is bisect
    assert bucket.row_handler_pb2 is row_handler_pb2
    assert bucket.extractor is extractor_module
    assert type(bucket.__test__) is dict and bucket.__test__ == {}
    assert bucket.__doc__ is None


def test_constants():
    assert bucket.FAST_MODE is False
    assert bucket.ANSI_ESCAPE == "\x1b[" and len(bucket.ANSI_ESCAPE) == 2
    assert bucket.NORMAL_COLOR == "\x1b[30;m" and len(bucket.NORMAL_COLOR) == 6


def test_imports_try_the_package_first():
    out = run_python("""
        import sys, types
        fake_numbers = types.ModuleType("tarvello.custom.model_data.numbers")
        fake_numbers.Number = object
        fake_bisect = types.ModuleType("tarvello.custom.model_data.bisect")
        sys.modules[fake_numbers.__name__] = fake_numbers
        sys.modules[fake_bisect.__name__] = fake_bisect
        from tarvello.custom.model_data import bucket
        print(bucket.Number is object, bucket.bisect is fake_bisect)
    """)
    assert out.split() == ["True", "True"]


@pytest.mark.parametrize("module, replacement, expected", [
    ("numbers", "types.ModuleType('numbers')", "ImportError"),
    ("tarvello.custom.model_data.extractor", "None", "ModuleNotFoundError"),
])
def test_failed_import_step_fails_the_import_and_may_be_retried(
        module, replacement, expected):
    out = run_python("""
        import sys, types
        import %(module)s as original
        sys.modules["%(module)s"] = %(replacement)s
        try:
            from tarvello.custom.model_data import bucket
        except ImportError as e:
            print(type(e).__name__)
        sys.modules["%(module)s"] = original
        from tarvello.custom.model_data import bucket
        print(bucket.BaseBucket("a", None, 1)._distro)
    """ % {"module": module, "replacement": replacement})
    assert out == expected + "\n[0]\n"


# --- the class tree --------------------------------------------------------

@pytest.mark.parametrize("name, base", [
    ("BaseBucket", object), ("BooleanBucket", "BaseBucket"),
    ("ValueBucket", "BaseBucket"), ("CategoricalBucket", "BaseBucket"),
    ("SimpleCategoricalBucket", "BaseBucket"), ("Bucket", "BaseBucket"),
    ("StringBucket", "Bucket"), ("BadAttributeError", Exception),
])
def test_class_tree(name, base):
    cls = getattr(bucket, name)
    if isinstance(base, str):
        base = getattr(bucket, base)
    assert cls.__bases__ == (base,)
    assert type(cls) is type
    assert cls.__module__ == MODULE
    assert cls.__qualname__ == name == cls.__name__
    assert issubclass(cls, BaseException) == (name == "BadAttributeError")
    assert not issubclass(cls, KeyError)


@pytest.mark.parametrize("name", ["BadAttributeError", "BaseBucket",
                                  "BooleanBucket", "ValueBucket", "Bucket",
                                  "StringBucket"])
def test_docstring_none(name):
    assert getattr(bucket, name).__doc__ is None


@pytest.mark.parametrize("cls, methods", [
    ("BaseBucket", BASE_METHODS),
    ("BadAttributeError", ["__init__", "__str__"]),
])
def test_class_body_holds_the_methods_in_order_and_nothing_else(cls, methods):
    own = [k for k in vars(getattr(bucket, cls))
           if k not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == methods


@pytest.mark.parametrize("name", sorted(CONSTRUCTORS))
def test_constructor_signature(name):
    assert str(inspect.signature(getattr(bucket, name))) == CONSTRUCTORS[name]


def test_instances_have_an_attribute_dict():
    b = bucket.BaseBucket("age", Extractor(), 2)
    assert list(vars(b)) == ["_name", "_extractor", "_total_buckets",
                             "_distro", "_total", "_out_buckets"]
    b.extra = 1
    assert vars(b)["extra"] == 1
    e = bucket.BadAttributeError("age", 5)
    assert vars(e) == {"_key": "age", "_value": 5}


def test_methods_overridable_in_a_subclass():
    seen = []

    class Counting(bucket.BaseBucket):
        def __init__(self, name):
            super().__init__(name, Extractor(), 2)

        def _increment(self, bucket):
            seen.append(bucket)

        def _bucketize_value(self, value):
            return self._create_entry(value)

    b = Counting("age")
    assert b.bucketize({"age": 1}) == [0.0, 1.0]
    assert seen == [1] and b._total == 0

    class Loud(bucket.BadAttributeError):
        def __str__(self):
            return "loud " + bucket.BadAttributeError.__str__(self)

    assert str(Loud("a", 1)) == "loud Attribute 'a' with value 1 is of wrong type(<class 'int'>)"


# --- globals looked up at each call ----------------------------------------

class Labelled(bucket.BaseBucket):
    def get_bucket_label(self, index):
        return "abc"[index]


def test_colour_constants_read_at_each_call(monkeypatch):
    b = Labelled("age", Extractor(), 3)
    monkeypatch.setattr(bucket, "ANSI_ESCAPE", "<")
    assert bucket.NORMAL_COLOR == "\x1b[30;m"
    assert b.get_distro() == (
        "(<38;5;4m 0%\x1b[30;m a      < <38;5;4m 0%\x1b[30;m | c: <38;5;4m 0%\x1b[30;m)")
    monkeypatch.setattr(bucket, "NORMAL_COLOR", ">")
    assert b.get_distro() == "(<38;5;4m 0%> a      < <38;5;4m 0%> | c: <38;5;4m 0%>)"


def test_removed_global_raises_name_error():
    out = run_python("""
        from tarvello.custom.model_data import bucket
        class Labelled(bucket.BaseBucket):
            def get_bucket_label(self, index):
                return "x"
        del bucket.NORMAL_COLOR
        try:
            Labelled("age", None, 3).get_distro()
        except NameError as e:
            print(e)
    """)
    assert out == "name 'NORMAL_COLOR' is not defined\n"


class Missing:
    _field_name = "age"

    def extract(self, row):
        raise KeyError("age")


def test_print_looked_up_in_builtins_and_module(monkeypatch):
    lines = []
    monkeypatch.setattr(builtins, "print", lambda *a: lines.append(("builtin",) + a))
    b = bucket.BaseBucket("age", Missing(), 1)
    b._bucketize_value = lambda value: value
    with pytest.raises(KeyError):
        b.bucketize(7)
    monkeypatch.setattr(bucket, "print", lambda *a: lines.append(("module",) + a),
                        raising=False)
    with pytest.raises(KeyError):
        b.bucketize(8)
    assert lines == [("builtin", "KeyError in age: 7"), ("module", "KeyError in age: 8")]


def test_fast_mode_and_bad_attribute_error_read_at_each_call(monkeypatch):
    b = bucket.Bucket("age", FieldExtractor("age"), [10, 20, 30])
    with pytest.raises(bucket.BadAttributeError):
        b._bucketize_value("abc")

    class Other(Exception):
        def __init__(self, key, value):
            super().__init__(key, value)

    monkeypatch.setattr(bucket, "BadAttributeError", Other)
    with pytest.raises(Other) as info:
        b._bucketize_value("abc")
    assert info.value.args == ("age", "abc")
    monkeypatch.setattr(bucket, "FAST_MODE", True)
    with pytest.raises(TypeError):
        b._bucketize_value("abc")
    assert b._total == 0


# --- initialisation --------------------------------------------------------

def test_exec_for_another_module_object_is_refused():
    out = run_python("""
        import importlib.util
        from tarvello.custom.model_data import bucket
        module = importlib.util.module_from_spec(bucket.__spec__)
        try:
            bucket.__spec__.loader.exec_module(module)
        except RuntimeError as e:
            print(e)
        print(bucket.BaseBucket("a", None, 2)._distro)
    """)
    assert out == ("Module 'bucket' has already been imported. "
                   "Re-initialisation is not supported.\n[0, 0]\n")


def test_exec_again_for_the_same_module_object_does_nothing():
    out = run_python("""
        import _imp
        from tarvello.custom.model_data import bucket
        base = bucket.BaseBucket
        bucket.FAST_MODE = True
        bucket.ANSI_ESCAPE = "x"
        names = list(vars(bucket))
        _imp.exec_dynamic(bucket)
        print(bucket.FAST_MODE, bucket.ANSI_ESCAPE, bucket.BaseBucket is base,
              list(vars(bucket)) == names)
    """)
    assert out.split() == ["True", "x", "True", "True"]


def test_second_interpreter_is_refused():
    out = run_python("""
        import os
        try:
            import _testcapi
            run = _testcapi.run_in_subinterp
        except (ImportError, AttributeError):
            import _xxsubinterpreters as interpreters
            def run(code):
                interp = interpreters.create()
                try:
                    interpreters.run_string(interp, code)
                finally:
                    interpreters.destroy(interp)
        from tarvello.custom.model_data import bucket
        r, w = os.pipe()
        run(_prelude + "import os\\n"
            "try:\\n"
            "    from tarvello.custom.model_data import bucket\\n"
            "    text = 'imported'\\n"
            "except ImportError as e:\\n"
            "    text = str(e)\\n"
            "os.write(%d, text.encode())\\n" % w)
        os.close(w)
        print(os.read(r, 1000).decode())
        print(bucket.BaseBucket("a", None, 1)._distro)
    """)
    assert out == ("Interpreter change detected - this module can only be "
                   "loaded into one interpreter per process.\n[0]\n")


# --- method objects --------------------------------------------------------

@pytest.mark.parametrize("owner, name", sorted(SIGNATURES))
def test_method_object_attributes(owner, name):
    method = vars(getattr(bucket, owner))[name]
    assert method.__name__ == name
    assert method.__qualname__ == owner + "." + name
    assert method.__module__ == MODULE
    assert method.__doc__ is None
    assert method.__text_signature__ == SIGNATURES[owner, name]
    assert str(inspect.signature(method)) == SIGNATURES[owner, name]


@pytest.mark.parametrize("name, text", [
    ("create_category_dict", "(values, /)"),
    ("read_from_proto", "(bucket_proto, /)"),
])
def test_module_function_signature(name, text):
    function = getattr(bucket, name)
    assert function.__qualname__ == name
    assert str(inspect.signature(function)) == text


def test_help_shows_the_parameters():
    text = pydoc.render_doc(bucket.BaseBucket, renderer=pydoc.plaintext)
    for line in ["BaseBucket(name, extractor, total_buckets)",
                 "__init__(self, name, extractor, total_buckets)",
                 "bucketize(self, row)", "get_distro(self, /)",
                 "write_to_proto(self, proto)"]:
        assert line in text


def test_binding_as_a_function_binds():
    method = vars(bucket.BaseBucket)["_increment"]
    b = bucket.BaseBucket("age", Extractor(), 2)
    bound = b._increment
    assert bound.__self__ is b and bound.__func__ is method
    assert str(inspect.signature(bound)) == "(bucket)"
    assert method.__get__(b, bucket.BaseBucket).__self__ is b
    assert bucket.BaseBucket._increment is method
    assert method.__get__(None, bucket.BaseBucket) is method
    bound(1)
    assert b._distro == [0, 1]


def test_method_copied_into_another_class_works_there():
    class Plain:
        _increment = bucket.BaseBucket._increment
        _create_entry = bucket.BaseBucket._create_entry
        get_short_label = bucket.BaseBucket.get_short_label

    p = Plain()
    p._name, p._total_buckets, p._total = "age", 3, 0
    p._distro, p._out_buckets = [0, 0, 0], ["r0", "r1", "r2"]
    assert p._create_entry(2) == "r2"
    assert (p._distro, p._total) == ([0, 0, 1], 1)
    assert p.get_short_label() == "|       age|"


def test_instance_attribute_shadows_a_method():
    calls = []
    b = bucket.BaseBucket("age", Extractor(), 3)
    b._increment = lambda bucket: calls.append(bucket)
    assert b._create_entry(1) is b._out_buckets[1]
    assert calls == [1] and b._total == 0 and b._distro == [0, 0, 0]
    b.get_distro = lambda: "shadowed"
    assert b.get_distro() == "shadowed"


METHOD_TYPE = type(bucket.read_from_proto)
FUNCTIONS = [(name, value) for name, value in vars(bucket).items() if type(value) is METHOD_TYPE] + [
    (cls.__name__ + "." + name, method)
    for cls in vars(bucket).values() if isinstance(cls, type) and cls.__module__ == MODULE
    for name, method in vars(cls).items() if type(method) is METHOD_TYPE]


def test_the_table_holds_the_functions_of_every_class():
    owners = {name.rpartition(".")[0] for name, _ in FUNCTIONS}
    assert owners == set(CONSTRUCTORS) | {"BadAttributeError", ""}


@pytest.mark.parametrize("name, function", FUNCTIONS, ids=[name for name, _ in FUNCTIONS])
def test_functions_pickle_copy_and_weakref_as_python_functions_do(name, function):
    import copy
    import functools
    import pickle
    import weakref
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function, protocol
    partial = pickle.loads(pickle.dumps(functools.partial(function, 1)))
    assert partial.func is function and partial.args == (1,)
    assert copy.copy(function) is function and copy.deepcopy(function) is function
    ref = weakref.ref(function)
    assert ref() is function and weakref.getweakrefcount(function) >= 1


def test_bound_methods_pickle_with_their_instance():
    import pickle
    b = bucket.Bucket("age", FieldExtractor("age"), [10.0])
    again = pickle.loads(pickle.dumps(b.bucketize))
    assert again.__func__ is bucket.BaseBucket.bucketize and again({"age": 20}) == [0.0, 1.0, 0.0]
