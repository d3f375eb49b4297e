# With BUCKET_BUILD_DIR set to a meson build folder, the tests import the
# in-place build: the compiled modules are added to the source package.
# Unset, they import the installed package.
import importlib.util
import os
import pathlib
import sys

import pytest

_root = pathlib.Path(__file__).resolve().parents[1]
_build = os.environ.get("BUCKET_BUILD_DIR")
if _build:
    _out = (_root / _build).resolve() / "tarvello" / "custom" / "model_data"
    assert list(_out.glob("bucket.*")), "no compiled bucket module in %s: run scripts/build.sh" % _out
    sys.path.insert(0, str(_root))
    import tarvello.custom.model_data
    tarvello.custom.model_data.__path__.append(str(_out))
else:
    # python -m pytest from the repository root finds the source package first,
    # which has no compiled module: say so rather than fail on every import.
    _found = importlib.util.find_spec("tarvello")
    if _found is not None and _found.origin and pathlib.Path(_found.origin).resolve().parent.parent == _root:
        raise pytest.UsageError(
            "the source tree's tarvello shadows the installed package: set BUCKET_BUILD_DIR=build, "
            "or run the tests from another folder")

