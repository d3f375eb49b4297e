# With BUCKET_BUILD_DIR set to a meson build folder, the tests import the
# in-place build: the compiled module and the generated messages are added to
# the source packages. Unset, they import the installed package.
import os
import pathlib
import sys

_build = os.environ.get("BUCKET_BUILD_DIR")
if _build:
    _root = pathlib.Path(__file__).resolve().parents[1]
    _out = (_root / _build).resolve() / "tarvello" / "custom" / "model_data"
    assert list(_out.glob("bucket.*")), "no compiled bucket module in %s: run scripts/build.sh" % _out
    sys.path.insert(0, str(_root))
    import tarvello.custom.model_data
    import tarvello.custom.model_data.row_handler_proto
    tarvello.custom.model_data.__path__.append(str(_out))
    tarvello.custom.model_data.row_handler_proto.__path__.append(str(_out / "row_handler_proto"))
