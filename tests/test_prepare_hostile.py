"""The preparation tool run as a hostile or careless user runs it, each case
a process of its own with a timeout: its exit status, its one line on
standard error, and the output folder afterwards (the earlier output whole,
or the new one complete, and nothing hidden left beside it). Then runs of
several processes killed from outside."""
import contextlib
import json
import os
import pathlib
import resource
import shutil
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

np = pytest.importorskip("numpy", reason="the tool needs numpy")
pytest.importorskip("pyarrow", minversion="14", reason="the tool needs pyarrow 14 or later")

from test_prepare import DIAMONDS, DIAMONDS_CONFIG, ROOT, TITANIC  # noqa: E402

TITANIC_CONFIG = ROOT / "tarvello" / "prepare" / "titanic.json"

# The command, in another process; with BUCKET_BUILD_DIR, on the in-place build as conftest arranges it.
_BOOT = """
import os, sys
if os.environ.get("BUCKET_BUILD_DIR"):
    root = %r
    sys.path.insert(0, root)
    import tarvello.custom.model_data as m, tarvello.custom.model_data.row_handler_proto as p
    out = os.path.join(root, os.environ["BUCKET_BUILD_DIR"], "tarvello", "custom", "model_data")
    m.__path__.append(out)
    p.__path__.append(os.path.join(out, "row_handler_proto"))
from tarvello.prepare import cli
sys.exit(cli.main(sys.argv[1:]))
""" % str(ROOT)


def command(*args):
    return [sys.executable, "-c", _BOOT] + [str(a) for a in args]


@pytest.fixture(scope="module")
def earlier(tmp_path_factory):
    """An output folder of an earlier run, to be copied beside each case."""
    folder = tmp_path_factory.mktemp("earlier") / "out"
    subprocess.run(command(TITANIC, "-o", folder, "-q"), check=True, timeout=120, stdout=subprocess.DEVNULL)
    return folder


def _fields(*fields):
    return json.dumps({"fields": list(fields)})


AGE = {"name": "age", "column": "age", "type": "float", "kind": "Bucket", "buckets": [18, 30]}
CLASS = {"name": "class", "column": "class", "type": "str", "kind": "CategoricalBucket", "min_fraction": 0.05}
TITANIC_TEXT = TITANIC.read_bytes()


def _lines(*replaced):
    """titanic.csv with lines replaced: (line number, bytes)."""
    lines = TITANIC_TEXT.split(b"\n")
    for number, text in replaced:
        lines[number - 1] = text
    return b"\n".join(lines)


# Each case: what it writes (the input, the configuration), the arguments
# after them, the exit status, the line on standard error, and whether the
# output folder is then the new one.
CASES = {
    "missing input": (None, None, [], 2, "missing.csv: cannot read: No such file or directory", False),
    "endless line (/dev/zero)": ("/dev/zero", None, [], 2, "zero, line 1: the header is longer than 8388608 bytes",
                                 False),
    "row longer than the limit": (TITANIC_TEXT + b"1," * (5 << 20) + b"\n", None, [], 2,
                                  "line 893: a row longer than 8388608 bytes", False),
    "not UTF-8": (_lines((7, b"0,3,male,\xff,1,0,7.25,S,Third,man,True,,Southampton,no,False")), None, [], 2,
                  "in.csv, line 7, field 'age': not UTF-8 text", False),
    "quote left open at the end": (TITANIC_TEXT + b'1,3,"male\n', None, [], 2,
                                   "in.csv, line 893: a quoted cell is not closed at the end of the file", False),
    "short row": (_lines((5, b"0,3,male")), None, [], 2, "in.csv, line 5: 3 cells where the header has 15", False),
    "int beyond 2**63 in a categorical field": (
        b"n,c\n1,x\n99999999999999999999,y\n",
        _fields({"name": "n", "column": "n", "type": "int", "kind": "CategoricalBucket", "min_fraction": 0}), [], 2,
        "in.csv, line 3, field 'n': '99999999999999999999' is beyond the 64-bit ints", False),
    "400-digit number in an int cell": (
        b"n\n1\n" + b"9" * 400 + b"\n", _fields({"name": "n", "column": "n", "type": "int", "kind": "ValueBucket"}),
        [], 2, "in.csv, line 3, field 'n': '%s'... is beyond the 64-bit ints" % ("9" * 37), False),
    "nan(...) that float() refuses": (_lines((9, b"0,3,male,nan(1),1,0,7.25,S,Third,man,True,,Southampton,no,False")),
                                      _fields(AGE), [], 2, "in.csv, line 9, field 'age': 'nan(1)' is not a float",
                                      False),
    "header only with a categorical field": (TITANIC_TEXT.split(b"\n")[0] + b"\n", None, [], 2,
                                             "field 'class' learns no category: column 'class' holds no value", False),
    "no category reaches min_fraction": (None, _fields(dict(CLASS, min_fraction=0.6)), [], 2,
                                         "no value of column 'class' is more than min_fraction 0.6", False),
    "NaN boundary": (None, '{"fields": [{"name": "age", "column": "age", "type": "float", "kind": "Bucket", '
                           '"buckets": [NaN]}]}', [], 2, "not JSON this tool reads: NaN", False),
    "default beyond the floats": (None, _fields({"name": "age", "column": "age", "type": "float", "kind": "ValueBucket",
                                                 "default_value": 1e300}).replace("1e+300", "1e400"), [], 2,
                                  "field 'age': \"default_value\" must be finite, not Infinity", False),
    "400-digit boundary": (None, _fields(dict(AGE, buckets=[10 ** 400])), [], 2,
                           "field 'age': \"buckets\" must be finite", False),
    "type that is a list": (None, _fields(dict(AGE, type=["float"])), [], 2, "field 'age': unknown type [\"float\"]",
                            False),
    "lone surrogate in a name": (None, _fields(dict(AGE, name="age\ud800")), [], 2,
                                 "field 1: \"name\" holds a lone surrogate", False),
    "NUL in a column name": (None, _fields(dict(AGE, column="a\0ge")), [], 2, "\"column\" holds a NUL character",
                             False),
    "nested too deep": (None, '{"fields": %s}' % ("[" * 100000 + "]" * 100000), [], 2, "nested deeper than 16 levels",
                        False),
    "string list over floats": (None, _fields(dict(AGE, kind="StringBucket", buckets=[1.5])), [], 2,
                                "StringBucket cannot work with float values", False),
    "range over text": (None, _fields(dict(AGE, column="who", type="str")), ["--skip-bad-rows"], 2,
                        "Bucket cannot work with str values", False),
    "20,000 boundaries": (None, _fields(dict(AGE, buckets=list(range(20000)))), [], 2,
                          "field 'age': 20002 slots, more than the 1024 a field may have", False),
    "--sqlite names the input": (None, None, ["--sqlite", "{input}"], 2, "that is the input", False),
    "--sqlite names the configuration": (None, _fields(AGE, CLASS), ["--sqlite", "{config}"], 2,
                                         "that is the configuration", False),
    "--sqlite over a file of another kind": (None, None, ["--sqlite", "{other}"], 2,
                                             "exists and is not a database this tool wrote", False),
    "--db table without the column": (None, None, ["--db", "{db}"], 2,
                                      "field 'class': table 'in' has no column 'class'", False),
    "corrupt rows.npz": (None, None, ["--check-only", "{truncate}"], 2, "rows.npz: 1000 bytes, manifest.json says",
                         False),
    "output folder of other files": (None, None, ["-o", "{foreign}"], 2, "which this tool did not write", False),
    "disk full": (None, None, ["{fsize}"], 2, "cannot write: File too large", False),
    "standard output closed": (None, None, ["{closed}"], 2, "standard output is closed", False),
    "standard output full": (None, None, ["{full}"], 2, "standard output: cannot write: No space left on device",
                             True),
    "standard output's reader gone": (None, None, ["{gone}"], 141, "standard output was closed before the end",
                                      True),
    "FIFO with a check": (None, None, ["{fifo}", "--check"], 0, "", True),
    "parquet": (None, None, ["{parquet}"], 0, "", True),
    "parquet column of another type": (None, _fields(dict(AGE, column="sex")), ["{parquet}"], 2,
                                       "column 'sex' holds string, which a float field cannot read", False),
    "apply --from a folder that is not there": (None, None, ["{apply}", "{no folder}"], 2,
                                                "nothing: not a folder", False),
    "apply --from a folder of a corrupt manifest": (None, None, ["{apply}", "{corrupt manifest}"], 2,
                                                    "train/manifest.json: not JSON", False),
    "apply to data without a field's column": (b"sex,age\nmale,3\n", None, ["{apply}"], 2,
                                               "in.csv: field 'survived': no column 'survived' in the header",
                                               False),
    "report of a folder that is not one": (None, None, ["{report}"], 2,
                                           "mine: no manifest.json: not an output folder of this tool", False),
}

# What a run writes that holds its time: its counts, its report and their hashes.
TIMED = {"counts.json", "report.html", "manifest.json"}


@pytest.mark.parametrize("case", list(CASES))
def test_hostile_input_is_one_line_and_leaves_a_whole_output(case, earlier, tmp_path):
    data, fields, extra, status, line, replaced = CASES[case]
    source = tmp_path / "in.csv"
    if data is None:
        shutil.copy(TITANIC, source)
    elif isinstance(data, str):
        source = pathlib.Path(data)
    else:
        source.write_bytes(data)
    if case == "missing input":
        source = tmp_path / "missing.csv"
    config = tmp_path / "fields.json"
    if fields is None:
        shutil.copy(TITANIC_CONFIG, config)
    else:
        config.write_bytes(fields.encode("utf-8", "surrogatepass"))
    out = tmp_path / "out"
    shutil.copytree(earlier, out)
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    folder = out.stat().st_ino
    args, run, opened = _arguments(extra, source, config, out, tmp_path)
    try:
        done = subprocess.run(command(*args), timeout=120, stdin=subprocess.DEVNULL, **run)
    finally:
        for thing in opened:
            thing.wait(10) if hasattr(thing, "wait") else os.close(thing)
    err = done.stderr.decode()
    assert done.returncode == status, err
    assert err.count("\n") == (1 if line else 0) and line in err and "Traceback" not in err, err
    # Every new output here holds what the earlier run wrote: the same input.
    assert (out.stat().st_ino != folder) is replaced
    after = {p.name: p.read_bytes() for p in out.iterdir()}
    assert after.keys() == before.keys()
    if replaced:
        after.update({name: before[name] for name in TIMED})
    if case != "corrupt rows.npz":
        assert after == before
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []
    if case.startswith("--sqlite names"):
        assert (tmp_path / "in.csv").read_bytes() == TITANIC_TEXT and config.stat().st_size


def _arguments(extra, source, config, out, tmp_path):
    """The command line and the way it runs, for a case's placeholders."""
    run: dict = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    args = [source, "--config", config, "-o", out, "--quiet"]
    rest = []
    opened: list = []
    for word in extra:
        if word == "{other}":
            word = tmp_path / "other.db"
            word.write_text("not a database\n")
        elif word == "{db}":
            # Closed, not only committed: 3.13 warns of a connection left open.
            with contextlib.closing(sqlite3.connect(tmp_path / "lacking.db")) as connection, connection:
                connection.execute('CREATE TABLE "in" (klass TEXT)')
            word = "sqlite:%s" % (tmp_path / "lacking.db")
        elif word == "{truncate}":
            (out / "rows.npz").write_bytes((out / "rows.npz").read_bytes()[:1000])
            continue
        elif word in ("{foreign}", "{report}"):
            word = tmp_path / "mine"
            word.mkdir()
            (word / "notes.txt").write_text("mine\n")
            if extra[0] == "{report}":
                args = ["report", word]
                continue
        elif word == "{apply}":
            shutil.copytree(out, tmp_path / "train")
            args = ["apply", source, "--from", tmp_path / "train", "-o", out, "--quiet"]
            continue
        elif word == "{no folder}":
            args[3] = tmp_path / "nothing"
            continue
        elif word == "{corrupt manifest}":
            (args[3] / "manifest.json").write_text('{"format": 1, "files": {')
            continue
        elif word == "{fsize}":
            def limited():
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000))
            run["preexec_fn"] = limited
            continue
        elif word == "{closed}":
            run["stdout"] = None
            run["preexec_fn"] = lambda: os.close(1)
            continue
        elif word in ("{full}", "{gone}"):
            # Summaries to print, into /dev/full or a pipe nobody reads.
            if word == "{full}":
                run["stdout"] = os.open("/dev/full", os.O_WRONLY)
            else:
                read, run["stdout"] = os.pipe()
                os.close(read)
            opened.append(run["stdout"])
            args[-1:] = []
            continue
        elif word == "{fifo}":
            fifo = tmp_path / "in.fifo"
            os.mkfifo(fifo)
            opened.append(subprocess.Popen(["sh", "-c", 'cat "$0" > "$1"', source, fifo]))
            args[0] = fifo
            continue
        elif word == "{parquet}":
            import pyarrow.csv
            import pyarrow.parquet
            table = pyarrow.csv.read_csv(source, convert_options=pyarrow.csv.ConvertOptions(
                column_types={"survived": "bool"}, strings_can_be_null=True))
            args[0] = tmp_path / "in.parquet"
            pyarrow.parquet.write_table(table, args[0], row_group_size=300)
            continue
        else:
            word = word.format(input=source, config=config)
        rest.append(word)
    return args + rest, run, opened


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """diamonds repeated to 539,400 rows: a run of several processes that
    lasts long enough to be killed midway."""
    path = tmp_path_factory.mktemp("big") / "big.csv"
    header, body = DIAMONDS.read_bytes().split(b"\n", 1)
    path.write_bytes(header + b"\n" + body * 10)
    return path


def _children(pid):
    found = []
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/children" % (pid, task)) as f:
            found.extend(int(c) for c in f.read().split())
    return found


def _running(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("kill, status, line", [
    ("the parent, SIGKILL", -9, ""),
    ("the parent, SIGTERM", 143, "stopped by SIGTERM"),
    ("a worker, SIGKILL", 2, "ended without an answer, exit code -9"),
])
def test_a_killed_run_of_several_processes_leaves_no_process_and_no_file(kill, status, line, big, earlier, tmp_path):
    out = tmp_path / "out"
    shutil.copytree(earlier, out)
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    run = subprocess.Popen(command(big, "--config", DIAMONDS_CONFIG, "-o", out, "-q", "--workers", "2"),
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 60
        while len(_children(run.pid)) < 2:
            assert run.poll() is None and time.monotonic() < deadline, "the workers did not start"
            time.sleep(0.01)
        workers = _children(run.pid)
        time.sleep(0.05)
        os.kill(workers[1] if kill.startswith("a worker") else run.pid,
                signal.SIGTERM if kill.endswith("SIGTERM") else signal.SIGKILL)
        err = run.communicate(timeout=60)[1].decode()
    finally:
        if run.poll() is None:
            run.kill()
            run.wait()
    assert run.returncode == status and line in err and err.count("\n") == (1 if line else 0), err
    deadline = time.monotonic() + 10
    while any(_running(w) for w in workers):
        assert time.monotonic() < deadline, "a worker outlived the run"
        time.sleep(0.05)
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before
    hidden = [p.name for p in tmp_path.iterdir() if p.name.startswith(".")]
    if status == -9:
        # The run's hidden folder, which a later run into the same folder removes.
        assert len(hidden) == 1
        subprocess.run(command(TITANIC, "-o", out, "-q"), check=True, timeout=120, stdout=subprocess.DEVNULL)
        hidden = [p.name for p in tmp_path.iterdir() if p.name.startswith(".")]
    assert hidden == []
