"""Checks, under the interpreter that runs it, that the in-place build in
BUCKET_BUILD_DIR is the one imported, that it was built for this interpreter,
that the generated messages work with protobuf's pure-Python code, and that
no compiled module from outside the build and the standard library loaded."""
import os
import pathlib
import sys
import sysconfig

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
import conftest  # noqa: E402,F401  (puts the in-place build on the package path)

from google.protobuf.internal import api_implementation  # noqa: E402
from tarvello.custom.model_data import bucket  # noqa: E402
from tarvello.custom.model_data.extractor import FieldExtractor  # noqa: E402
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2  # noqa: E402

build = (pathlib.Path(__file__).resolve().parents[1] / os.environ["BUCKET_BUILD_DIR"]).resolve()
module = pathlib.Path(bucket.__file__).resolve()
suffix = sysconfig.get_config_var("EXT_SUFFIX")
assert build in module.parents, "bucket imported from %s, not from %s" % (module, build)
assert module.name == "bucket" + suffix, "%s is not built for this interpreter (%s)" % (module, suffix)
assert api_implementation.Type() == "python", api_implementation.Type()

message = row_handler_pb2.Bucket(name="age", bucket_count=3, bucket_type=row_handler_pb2.Bucket.DIRECT,
                                 extractor=FieldExtractor("age", "FLOAT", 2).to_proto(), none_value=0.5)
again = row_handler_pb2.Bucket.FromString(message.SerializeToString())
assert again == message and again.HasField("none_value") and again.extractor.position == 2, again

stdlib = [pathlib.Path(sysconfig.get_paths()[k]).resolve() for k in ("stdlib", "platstdlib")]
for name, loaded in list(sys.modules.items()):
    path = getattr(loaded, "__file__", None) or ""
    if path.endswith(".so"):
        where = pathlib.Path(path).resolve()
        assert where == module or any(p in where.parents for p in stdlib), \
            "%s loaded a compiled module from %s" % (name, where)
print("%s: %s, protobuf %s" % (sys.version.split()[0], module.name, api_implementation.Type()))
