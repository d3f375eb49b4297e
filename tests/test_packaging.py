"""The wheel as pip and a new user see it: its metadata, its files, and an
install into a fresh virtual environment that imports it."""
import os
import pathlib
import subprocess
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
PYTHON = "/usr/bin/python3"

# Building the wheel compiles the module: once per test run is enough, and only
# with the interpreter whose build tools are installed.
pytestmark = pytest.mark.skipif(os.environ.get("BUCKET_PACKAGING_TESTS") != "1",
                                reason="packaging tests run under scripts/test.sh")


def run(*command, cwd=None, check=True):
    env = dict(os.environ, PIP_NO_INDEX="1")
    env.pop("PYTHONPATH", None)
    result = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0 or not check, result.stdout + result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    run(PYTHON, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(out), str(ROOT))
    (ROOT / ".mesonpy-native-file.ini").unlink(missing_ok=True)
    wheels = list(out.glob("tarvello_bucket-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def test_metadata_declares_dependency_license_and_readme(wheel):
    with zipfile.ZipFile(wheel) as archive:
        name = next(n for n in archive.namelist() if n.endswith(".dist-info/METADATA"))
        metadata = archive.read(name).decode()
    headers = [line for line in metadata.splitlines() if ": " in line]
    assert "Requires-Dist: protobuf>=3.20" in headers
    assert "License: MIT" in headers
    assert "Description-Content-Type: text/markdown" in headers
    assert "# tarvello.custom.model_data.bucket" in metadata


def test_wheel_holds_the_proto_beside_its_module(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
    folder = "tarvello/custom/model_data/row_handler_proto/"
    assert {folder + "row_handler.proto", folder + "row_handler_pb2.py"} <= names


def test_wheel_installs_and_imports_in_a_fresh_environment(wheel, tmp_path):
    venv = tmp_path / "venv"
    run(PYTHON, "-m", "venv", "--system-site-packages", str(venv))
    python = str(venv / "bin" / "python")
    run(python, "-m", "pip", "install", "-q", "--no-index", str(wheel))
    # From another folder, so that the source tree cannot be imported instead.
    out = run(python, "-c", "import pathlib\n"
              "from tarvello.custom.model_data import bucket, extractor\n"
              "from tarvello.custom.model_data.row_handler_proto import row_handler_pb2\n"
              "proto = pathlib.Path(row_handler_pb2.__file__).with_name('row_handler.proto')\n"
              "print(bucket.__file__.startswith(%r), 'message Bucket {' in proto.read_text())\n"
              % str(venv), cwd=tmp_path)
    assert out == "True True\n"
    # Debian's own packages may lack some of theirs; ours has all it needs.
    problems = run(python, "-m", "pip", "check", check=False)
    assert "tarvello-bucket" not in problems and "tarvello_bucket" not in problems
