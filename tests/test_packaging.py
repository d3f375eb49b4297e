"""The wheel as pip and a new user see it: its metadata, its files, and
installs into fresh virtual environments from the package index; and the
committed messages module against the .proto it is made from."""
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
MESSAGES = ROOT / "tarvello" / "custom" / "model_data" / "row_handler_proto"
X86_64 = {"platform_machine": "x86_64", "python_version": "3.11"}


def run(*command, cwd=None):
    # Nothing of the test run's own set-up: a preloaded sanitizer, the in-place build.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("LD_", "ASAN_", "UBSAN_", "PYTHON", "BUCKET_"))}
    result = subprocess.run([str(c) for c in command], cwd=cwd, env=env, capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def wheel():
    # Building the wheel compiles the module: scripts/test.sh does it once.
    path = os.environ.get("BUCKET_WHEEL")
    if not path:
        pytest.skip("no wheel (BUCKET_WHEEL): scripts/test.sh builds one for its first pass")
    return pathlib.Path(path)


@pytest.fixture(scope="module")
def metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        name = next(n for n in archive.namelist() if n.endswith(".dist-info/METADATA"))
        return archive.read(name).decode()


def venv(folder):
    run(sys.executable, "-m", "venv", folder)
    return folder / "bin" / "python"


def test_metadata_names_license_readme_and_extras(metadata):
    headers = [line for line in metadata.splitlines() if ": " in line]
    assert "License: MIT" in headers
    assert "Description-Content-Type: text/markdown" in headers
    assert "# tarvello.custom.model_data.bucket" in metadata
    assert {h.split(": ")[1] for h in headers if h.startswith("Provides-Extra: ")} == \
        {"postgresql", "dask", "sklearn", "test"}


@pytest.mark.parametrize("environment, extra, projects", [
    # The boards run the bucket module alone.
    (dict(X86_64, platform_machine="armv6l"), "", {"protobuf"}),
    (dict(X86_64, python_version="3.7"), "", {"protobuf", "numpy", "tqdm"}),
    (X86_64, "", {"protobuf", "numpy", "pyarrow", "tqdm"}),
    (X86_64, "postgresql", {"psycopg2-binary"}),
    (X86_64, "dask", {"dask"}),
    (dict(X86_64, python_version="3.7"), "dask", set()),
    (X86_64, "sklearn", {"scikit-learn"}),
    (X86_64, "test", {"pytest", "hypothesis", "mypy", "pandas"}),
], ids=["armv6", "3.7", "3.11", "postgresql", "dask", "dask on 3.7", "sklearn", "test"])
def test_metadata_requires_per_platform_and_extra(metadata, environment, extra, projects):
    from packaging.requirements import Requirement

    def required(extra):
        requirements = [Requirement(line.split(": ", 1)[1]) for line in metadata.splitlines()
                        if line.startswith("Requires-Dist: ")]
        return {r.name for r in requirements if not r.marker or r.marker.evaluate(dict(environment, extra=extra))}

    assert required(extra) - (required("") if extra else set()) == projects


def test_wheel_holds_the_proto_beside_its_module(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
    folder = "tarvello/custom/model_data/row_handler_proto/"
    assert {folder + "row_handler.proto", folder + "row_handler_pb2.py"} <= names


def test_pip_brings_the_dependencies_and_the_tool_runs(wheel, tmp_path):
    python = venv(tmp_path / "venv")
    run(python, "-m", "pip", "install", "-q", wheel)
    run(python, "-c", "import numpy, pyarrow, tqdm, google.protobuf")
    run(python, "-m", "pip", "check")
    # Without arguments: the bundled Titanic list into ./titanic, checked.
    run(tmp_path / "venv" / "bin" / "tarvello-prepare", "--quiet", cwd=tmp_path)
    assert any((tmp_path / "titanic").iterdir())


def test_bucket_module_imports_with_protobuf_alone(wheel, metadata, tmp_path):
    python = venv(tmp_path / "venv")
    (protobuf,) = [line.split(": ", 1)[1] for line in metadata.splitlines()
                   if line.startswith("Requires-Dist: protobuf")]
    run(python, "-m", "pip", "install", "-q", "--no-deps", wheel, protobuf)
    # From another folder, so that the source tree cannot be imported instead.
    out = run(python, "-c", "import importlib.util\n"
              "from tarvello.custom.model_data import bucket\n"
              "from tarvello.custom.model_data.extractor import FieldExtractor\n"
              "from tarvello.custom.model_data.row_handler_proto import row_handler_pb2\n"
              "b = bucket.Bucket('age', FieldExtractor('age', 'FLOAT'), [18.0])\n"
              "message = row_handler_pb2.Bucket()\n"
              "b.write_to_proto(message)\n"
              "print(b.bucketize({'age': 42}), list(message.float_buckets),"
              " [n for n in ('numpy', 'pyarrow', 'tqdm') if importlib.util.find_spec(n)])\n", cwd=tmp_path)
    assert out == "[0.0, 1.0, 0.0] [18.0] []\n"


@pytest.mark.skipif(shutil.which("protoc") is None, reason="no protoc here (Debian: protobuf-compiler)")
def test_committed_messages_are_made_from_the_proto(tmp_path):
    from google.protobuf import descriptor_pb2

    from tarvello.custom.model_data.row_handler_proto import row_handler_pb2
    made = tmp_path / "made.pb"
    run("protoc", "--proto_path", MESSAGES, "--descriptor_set_out", made, MESSAGES / "row_handler.proto")
    (expected,) = descriptor_pb2.FileDescriptorSet.FromString(made.read_bytes()).file
    # The compiler fills in the JSON names, which generated modules leave out.
    messages = list(expected.message_type)
    while messages:
        message = messages.pop()
        messages.extend(message.nested_type)
        for field in message.field:
            field.ClearField("json_name")
    committed = descriptor_pb2.FileDescriptorProto.FromString(row_handler_pb2.DESCRIPTOR.serialized_pb)
    assert committed == expected, "row_handler_pb2.py is not made from row_handler.proto: run scripts/messages.sh"
