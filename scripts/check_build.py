"""Checks, under the interpreter that runs it, that every extension module of
the in-place build in BUCKET_BUILD_DIR is the one imported and was built for
this interpreter, that the messages work with the protobuf implementation
asked for (PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION, when set), and that no
compiled module loaded from outside the build, the standard library and
this interpreter's own packages."""
import importlib
import os
import pathlib
import sys
import sysconfig

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
import conftest  # noqa: E402,F401  (puts the in-place build on the package path)

from google.protobuf.internal import api_implementation  # noqa: E402
from tarvello.custom.model_data.extractor import FieldExtractor  # noqa: E402
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2  # noqa: E402

build = (ROOT / os.environ["BUCKET_BUILD_DIR"]).resolve()
suffix = sysconfig.get_config_var("EXT_SUFFIX")
built = sorted(p for p in (build / "tarvello").rglob("*" + suffix) if p.is_file())
assert built, "%s holds no extension module for this interpreter (%s)" % (build, suffix)
modules = []
for path in built:
    parts = path.relative_to(build).parts
    name = ".".join(parts[:-1] + (parts[-1][:-len(suffix)],))
    module = pathlib.Path(importlib.import_module(name).__file__).resolve()
    assert module == path, "%s imported from %s, not from %s" % (name, module, path)
    modules.append(module)

wanted = os.environ.get("PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION")
assert wanted in (None, api_implementation.Type()), (wanted, api_implementation.Type())
message = row_handler_pb2.Bucket(name="age", bucket_count=3, bucket_type=row_handler_pb2.Bucket.DIRECT,
                                 extractor=FieldExtractor("age", "FLOAT", 2).to_proto(), none_value=0.5)
again = row_handler_pb2.Bucket.FromString(message.SerializeToString())
assert again == message and again.HasField("none_value") and again.extractor.position == 2, again

allowed = {pathlib.Path(sysconfig.get_paths()[k]).resolve() for k in ("stdlib", "platstdlib", "purelib", "platlib")}
for name, loaded in list(sys.modules.items()):
    path = getattr(loaded, "__file__", None) or ""
    if path.endswith(".so"):
        where = pathlib.Path(path).resolve()
        assert where in modules or any(p in where.parents for p in allowed), \
            "%s loaded a compiled module from %s" % (name, where)
print("%s: %s, protobuf %s" % (sys.version.split()[0], ", ".join(m.name for m in modules),
                               api_implementation.Type()))
