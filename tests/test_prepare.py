"""The preparation tool end to end: its arrays and messages against bucketize
called row by row, the check, the databases it learns from, bad input, and
the rule that a failed run leaves no file that looks finished."""
import contextlib
import copy
import csv
import io
import json
import os
import pathlib
import pwd
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
from collections import Counter

import pytest

np = pytest.importorskip("numpy", reason="the tool needs numpy")
pytest.importorskip("pyarrow", minversion="14", reason="the tool needs pyarrow 14 or later")

from tarvello.custom.model_data import bucket  # noqa: E402
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2  # noqa: E402
from tarvello.prepare import cli, config, npz, output, parallel, reading  # noqa: E402
from tarvello.prepare import saved as folders  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
TITANIC = ROOT / "data" / "titanic.csv"
DIAMONDS = ROOT / "data" / "diamonds.csv"
DIAMONDS_CONFIG = ROOT / "examples" / "diamonds.json"
PGBIN = pathlib.Path("/usr/lib/postgresql/15/bin")

CONVERT = {"float": float, "int": int, "str": str,
           "bool": lambda text: {"true": True, "false": False, "1": True, "0": False}[text.lower()]}


def reference(csv_path, fields):
    """The encoding written out row by row, with categories counted by Counter.
    Rows are lists of the CSV's columns, which the extractors read by position."""
    with open(csv_path, newline="") as f:
        reader = csv.reader(f)
        header = next(reader)
        types = {header.index(fd.column): fd.type for fd in fields}
        rows = [[(CONVERT[types[i]](c) if c else None) if i in types else c for i, c in enumerate(r)]
                for r in reader]
    buckets = []
    for fd in fields:
        position = header.index(fd.column)
        b = fd.make_bucket(position)
        if fd.kind == "CategoricalBucket":
            counts = Counter(r[position] for r in rows if r[position] is not None)
            b.set_categories([{"name": v, "count": n}
                              for v, n in sorted(counts.items(), key=lambda item: (-item[1], item[0]))])
        buckets.append(b)
    matrix, ragged = [], {}
    for r in rows:
        out = []
        for fd, b in zip(fields, buckets):
            if fd.kind == "SimpleCategoricalBucket":
                ragged.setdefault(fd.name, []).append(b.bucketize(r))
            else:
                out.extend(b.bucketize(r))
        matrix.append(out)
    return np.array(matrix, dtype=np.float64), ragged, output.messages(buckets)


def run(*args):
    """The command in this process; its exit status."""
    return cli.main([str(a) for a in args])


def saved(folder):
    """The arrays and the messages of an output folder."""
    with np.load(pathlib.Path(folder) / "rows.npz", allow_pickle=False) as z:
        named = {k: z[k] for k in z.files}
    messages = row_handler_pb2.BucketList()
    messages.ParseFromString((pathlib.Path(folder) / "buckets.pb").read_bytes())
    return named, messages


@pytest.fixture
def out(tmp_path):
    return tmp_path / "out"


@pytest.mark.parametrize("csv_path, config_path", [(TITANIC, None), (DIAMONDS, DIAMONDS_CONFIG)],
                         ids=["titanic", "diamonds"])
def test_arrays_and_messages_are_those_of_bucketize_row_by_row(csv_path, config_path, out, capsys):
    args = [csv_path, "-o", out, "--check"] + (["--config", config_path] if config_path else [])
    assert run(*args) == 0
    printed = capsys.readouterr().out
    assert "check passed: " in printed and "rows/s" in printed
    fields = config.load(str(config_path or cli.DEFAULT_CONFIG))
    matrix, ragged, messages = reference(csv_path, fields)
    named, saved_messages = saved(out)
    assert np.array_equal(named["matrix"], matrix, equal_nan=True)
    assert len(named["columns"]) == matrix.shape[1] and len(named["skipped"]) == 0
    for name, ids in ragged.items():
        values, offsets = named[name + ".values"], named[name + ".offsets"]
        assert len(offsets) == len(ids) + 1
        assert [values[a:b].tolist() for a, b in zip(offsets, offsets[1:])] == ids
    # The counts are in the categorical messages' fractions.
    assert saved_messages == messages
    for fd, message in zip(fields, saved_messages.buckets):
        if fd.kind != "SimpleCategoricalBucket":
            assert type(bucket.read_from_proto(message)).__name__ == fd.kind
    assert json.loads((out / "config.json").read_text()) == config.to_document(fields)


def test_the_run_without_arguments_prepares_titanic_and_checks_it(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert run() == 0
    printed = capsys.readouterr().out
    assert "check passed: 13 buckets rebuilt, 891 rows" in printed
    assert "\x1b[" not in printed  # not a terminal
    assert "|                       age| age: 7 ([12.0, 18.0, 30.0, 45.0, 65.0])" in printed
    assert {p.name for p in (tmp_path / "titanic").iterdir()} == output.OWN


def resign(folder):
    """The folder's manifest written anew over its files as they are: a
    change that the check, not the manifest, is to find."""
    manifest = json.loads((folder / "manifest.json").read_text())
    folders.seal(str(folder), dict(manifest, files={}))


def _alter_matrix(folder):
    named, _ = saved(folder)
    named["matrix"][300, 5] += 1
    np.savez(folder / "rows.npz", **named)
    resign(folder)
    return "line 302, field 'age': slot age[30.0-45.0) is"


def _alter_ids(folder):
    named, _ = saved(folder)
    named["who.values"][0] = 2
    np.savez(folder / "rows.npz", **named)
    resign(folder)
    return "line 2, field 'who': who.values are [2], the rebuilt bucket gives [0]"


def _alter_message(folder):
    _, messages = saved(folder)
    messages.buckets[9].bucket_fraction[0] += 0.5
    (folder / "buckets.pb").write_bytes(messages.SerializeToString())
    resign(folder)
    return "field 'class' saves another message"


@pytest.mark.parametrize("alter", [_alter_matrix, _alter_ids, _alter_message])
def test_check_fails_naming_field_and_row_when_the_output_was_altered(alter, out, capsys):
    assert run(TITANIC, "-o", out, "-q") == 0
    assert run(TITANIC, "-o", out, "--check-only", "-q") == 0
    expected = alter(out)
    capsys.readouterr()
    assert run(TITANIC, "-o", out, "--check-only", "-q") == 1
    err = capsys.readouterr().err
    assert expected in err and err.startswith("tarvello-prepare: check failed: ")


@contextlib.contextmanager
def temporary_postgres():
    """A PostgreSQL server of its own in a temporary folder, run as the
    postgres user when this is root; yields its address."""
    root = os.geteuid() == 0
    as_pg = dict(user="postgres", group="postgres", extra_groups=[]) if root else {}
    # The sanitizer run's preloaded runtime is for the interpreter only.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_", "ASAN_", "UBSAN_", "PYTHON"))}
    base = tempfile.mkdtemp(prefix="pg.")
    if root:
        pw = pwd.getpwnam("postgres")
        os.chown(base, pw.pw_uid, pw.pw_gid)
    data, sock, log = (os.path.join(base, n) for n in ("data", "sock", "log"))
    quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, **as_pg)
    try:
        subprocess.run([PGBIN / "initdb", "-D", data, "-U", "postgres", "--auth=trust", "--no-sync",
                        "-E", "UTF8", "--locale=C"], **quiet)
        subprocess.run(["mkdir", sock], **quiet)
        subprocess.run([PGBIN / "pg_ctl", "-D", data, "-l", log, "-w", "-t", "60",
                        "-o", "-k %s -c listen_addresses='' -c fsync=off" % sock, "start"], **quiet)
        yield "postgresql:///postgres?host=%s&user=postgres" % sock
    finally:
        if os.path.exists(os.path.join(data, "postmaster.pid")):
            subprocess.run([PGBIN / "pg_ctl", "-D", data, "-m", "fast", "-w", "stop"],
                           stdout=subprocess.DEVNULL, env=env, **as_pg)
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(scope="module")
def postgres():
    psycopg2 = pytest.importorskip("psycopg2", reason="PostgreSQL needs psycopg2 (Debian: python3-psycopg2)")
    if not (PGBIN / "initdb").exists():
        pytest.skip("no PostgreSQL server here (Debian: postgresql)")
    try:
        server = temporary_postgres()
        url = server.__enter__()
    except (OSError, KeyError, subprocess.CalledProcessError) as e:
        detail = getattr(e, "stderr", b"") or b""
        pytest.skip("the PostgreSQL server cannot run here: %s %s" % (e, detail.decode(errors="replace")))
    try:
        with contextlib.closing(psycopg2.connect(url)) as connection, connection, connection.cursor() as cursor:
            cursor.execute("CREATE TABLE titanic (survived int, pclass int, sex text, age float8, sibsp int,"
                           " parch int, fare float8, embarked text, class text, who text, adult_male bool,"
                           " deck text, embark_town text, alive text, alone bool)")
            with open(TITANIC) as f:
                cursor.copy_expert("COPY titanic FROM STDIN WITH (FORMAT csv, HEADER true)", f)
        yield url
    finally:
        server.__exit__(None, None, None)


@pytest.mark.parametrize("learn_from", ["sqlite-file", "sqlite-db", "postgresql"])
def test_every_database_learns_the_same_categories(learn_from, tmp_path, request, capsys):
    assert run(TITANIC, "-o", tmp_path / "memory", "-q") == 0
    kept = tmp_path / "kept.db"
    if learn_from == "sqlite-file":
        args = ["--sqlite", kept]
    elif learn_from == "sqlite-db":
        assert run(TITANIC, "-o", tmp_path / "first", "-q", "--sqlite", kept) == 0
        args = ["--db", "sqlite:%s" % kept]
    else:
        args = ["--db", request.getfixturevalue("postgres")]
    assert run(TITANIC, "-o", tmp_path / "other", "-q", *args) == 0
    memory, other = saved(tmp_path / "memory"), saved(tmp_path / "other")
    assert memory[1] == other[1]
    assert memory[0].keys() == other[0].keys()
    assert all(np.array_equal(a, other[0][k], equal_nan=a.dtype.kind == "f") for k, a in memory[0].items())
    if learn_from == "sqlite-file":
        with contextlib.closing(sqlite3.connect(kept)) as connection:
            assert connection.execute("SELECT count(*), count(deck) FROM titanic").fetchone() == (891, 203)


def _titanic_with(tmp_path, line, text):
    lines = TITANIC.read_text().splitlines()
    lines[line - 1] = text
    path = tmp_path / "titanic.csv"
    path.write_text("\n".join(lines) + "\n")
    return path


def _config(tmp_path, *fields):
    path = tmp_path / "fields.json"
    path.write_text(json.dumps({"fields": list(fields)}))
    return path


AGE = {"name": "age", "column": "age", "type": "float", "kind": "Bucket", "buckets": [18, 30]}
RANGE_OF_TEXT = {"name": "who", "column": "who", "type": "str", "kind": "Bucket", "buckets": [1]}
BAD_AGE = "0,3,male,old,1,0,7.25,S,Third,man,True,,Southampton,no,False"
# Ages found once in titanic.csv, and their lines.
ONCE = {66.0: 35, 14.5: 113, 23.5: 298, 53.0: 573, 74.0: 853}


@pytest.fixture
def refusing(monkeypatch):
    """Makes the range kind refuse some values, as a bucket refuses a value of
    the wrong type (which the configuration's checks now keep out)."""
    def refuse(*values):
        original = bucket.Bucket._bucketize_value

        def checked(self, value):
            if value in values:
                raise bucket.BadAttributeError(self._name, value)
            return original(self, value)
        monkeypatch.setattr(bucket.Bucket, "_bucketize_value", checked)
    return refuse


@pytest.mark.parametrize("make, expected", [
    (lambda t: [t / "missing.csv"], "missing.csv: cannot read: No such file or directory"),
    (lambda t: [_titanic_with(t, 2, "0,3,male")], "titanic.csv, line 2: 3 cells where the header has 15"),
    (lambda t: [TITANIC, "--config", _config(t, dict(AGE, column="years"))],
     "titanic.csv: field 'age': no column 'years' in the header"),
    (lambda t: [_titanic_with(t, 7, BAD_AGE), "--config", _config(t, AGE)],
     "titanic.csv, line 7, field 'age': 'old' is not a float"),
    (lambda t: [TITANIC, "--config", _config(t, RANGE_OF_TEXT)],
     "fields.json: field 'who': Bucket cannot work with str values (it takes float, int, bool)"),
    (lambda t: [TITANIC, "--config", _config(t, dict(AGE, kind="AgeBucket"))],
     "fields.json: field 'age': unknown kind \"AgeBucket\" (one of Bucket, StringBucket"),
    (lambda t: [TITANIC, "--config", _config(t, dict(AGE, has_null=True))],
     "fields.json: field 'age': unknown key \"has_null\" for Bucket (it takes buckets, has_none)"),
    (lambda t: [TITANIC, "--config", _config(t, {"name": "age", "column": "age", "type": "float", "kind": "Bucket"})],
     "fields.json: field 'age': Bucket needs \"buckets\""),
    (lambda t: [TITANIC, "--config", _config(t, dict(AGE, type="double"))],
     "fields.json: field 'age': unknown type \"double\" (one of float, int, bool, str)"),
    (lambda t: [TITANIC, "--config", _config(t, dict(AGE, buckets=[30, 18]))],
     "fields.json: field 'age': \"buckets\" must be in increasing order"),
    (lambda t: [TITANIC, "--config", _write(t / "bad.json", '{"fields": [\n}')], "bad.json, line 2: not JSON"),
    (lambda t: [TITANIC, "-o", _folder_with(t, b"\xff\xff\xff"), "--check-only"],
     "buckets.pb: not a saved list of buckets"),
    (lambda t: [TITANIC, "--db", "mysql://localhost/x"], "--db mysql://localhost/x: not an sqlite: or postgresql://"),
], ids=["unreadable file", "short row", "missing column", "cell of another type",
        "kind and type that cannot work", "unknown kind", "unknown key", "missing argument", "unknown type",
        "unsorted boundaries", "config not JSON", "corrupt messages", "unknown database"])
def test_bad_input_is_one_line_naming_file_line_and_field(make, expected, tmp_path, capsys):
    assert run(*make(tmp_path)) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Traceback" not in err
    assert err.startswith("tarvello-prepare: error: ") and expected in err, err


def _write(path, text):
    path.write_text(text)
    return path


def _folder_with(tmp_path, messages):
    folder = tmp_path / "out"
    assert cli.main([str(TITANIC), "-o", str(folder), "-q"]) == 0
    (folder / "buckets.pb").write_bytes(messages)
    resign(folder)
    return folder


@pytest.mark.parametrize("line, text", [(7, BAD_AGE), (ONCE[66.0], None)],
                         ids=["cell of another type", "value the bucket refuses"])
def test_skip_bad_rows_leaves_them_out_of_arrays_and_counts(line, text, tmp_path, capsys, refusing):
    csv_path = _titanic_with(tmp_path, line, text) if text else TITANIC
    fields = [AGE, {"name": "class", "column": "class", "type": "str", "kind": "CategoricalBucket",
                    "min_fraction": 0.0}]
    if text is None:
        refusing(66.0)
    config_path = _config(tmp_path, *fields)
    assert run(csv_path, "--config", config_path, "-o", tmp_path / "out", "--skip-bad-rows", "--check") == 0
    printed = capsys.readouterr().out
    assert "skipped 1 bad rows" in printed and "check passed: 2 buckets rebuilt, 890 rows" in printed
    named, messages = saved(tmp_path / "out")
    assert named["skipped"].tolist() == [line - 2] and named["matrix"].shape[0] == 890
    reason = "'old' is not a float" if text else "BadAttributeError: "
    [first] = json.loads((tmp_path / "out" / "counts.json").read_text())["run"]["skipped_first"]
    assert (first["row"], first["line"], first["field"]) == (line - 2, "line %d" % line, "field 'age'")
    assert first["reason"].startswith(reason)
    # The counts hold no skipped row: the shares are those of the 890 others.
    with open(csv_path, newline="") as f:
        kept = [r for i, r in enumerate(csv.DictReader(f)) if i != line - 2]
    top = Counter(r["class"] for r in kept).most_common(1)[0][1]
    assert messages.buckets[1].bucket_fraction[0] == pytest.approx(top / 890)


def _disk_full(monkeypatch):
    def fail(*args, **kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(npz.Writer, "close", fail)
    return "No space left on device"


def _new_folder_not_renamed(monkeypatch):
    rename = os.rename

    def fail(source, target):
        if ".new-" in str(source):
            raise OSError(18, "Invalid cross-device link")
        rename(source, target)

    monkeypatch.setattr(os, "rename", fail)
    return "cannot replace the folder: Invalid cross-device link"


@pytest.mark.parametrize("fail", [_disk_full, _new_folder_not_renamed])
def test_a_failed_run_leaves_no_file_that_looks_finished(fail, out, monkeypatch, capsys):
    assert run(TITANIC, "-o", out, "-q") == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    expected = fail(monkeypatch)
    fields = _config(out.parent, AGE)
    assert run(TITANIC, "-o", out, "--config", fields, "-q") == 2
    assert expected in capsys.readouterr().err
    # The earlier run's files are whole and untouched (the folder renamed
    # aside is put back), and nothing hidden is left.
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before
    assert run(TITANIC, "-o", out.parent / "new", "--config", fields, "-q") == 2
    assert not (out.parent / "new").exists()
    assert [p.name for p in out.parent.iterdir() if p.name.startswith(".")] == []


@pytest.mark.parametrize("color, coloured", [("always", True), ("never", False), ("auto", False)])
def test_colour_codes_only_on_request_or_a_terminal(color, coloured, out, capsys):
    assert run(TITANIC, "-o", out, "--color", color) == 0
    assert ("\x1b[38;5;4m" in capsys.readouterr().out) is coloured


def test_quiet_prints_the_closing_line_alone(out, capsys):
    assert run(TITANIC, "-o", out, "--quiet", "--check") == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 2 and "891 rows in" in lines[0] and lines[1].startswith("check passed")


def test_bundled_configuration_uses_every_kind():
    assert {f.kind for f in config.load(cli.DEFAULT_CONFIG)} == set(config.KINDS)
    assert set(config.KINDS) == {n for n in dir(bucket) if n.endswith("Bucket") and n != "BaseBucket"}


@pytest.fixture(scope="module")
def one_process(tmp_path_factory):
    """Each data set prepared by one process, to hold the others to."""
    made = {}
    for name, csv_path, config_path in [("titanic", TITANIC, cli.DEFAULT_CONFIG),
                                        ("diamonds", DIAMONDS, DIAMONDS_CONFIG)]:
        folder = tmp_path_factory.mktemp(name)
        printed = summaries(csv_path, "--config", config_path, "-o", folder)
        made[name] = (csv_path, config_path, saved(folder) + (printed,))
    return made


def summaries(*args):
    """What a run prints, but for the closing line's time and the addresses in object texts."""
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        assert run(*args) == 0
    return [re.sub(r" at 0x[0-9a-f]+", "", line) for line in printed.getvalue().splitlines() if " rows/s" not in line]


def assert_same(one, other):
    if len(one) > 2 and len(other) > 2:
        # The distributions shown are the counts: _distro and _total.
        assert one[2] == other[2]
    assert one[1] == other[1]
    assert one[0].keys() == other[0].keys()
    for key, array in one[0].items():
        assert np.array_equal(array, other[0][key], equal_nan=array.dtype.kind == "f"), key


# Dask 2022.12 on Python 3.11 warns of tornado's deprecated event loop calls.
DASK_WARNINGS = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@DASK_WARNINGS
@pytest.mark.parametrize("how", [["--workers", "2"], ["--workers", "3"], ["--dask", "local", "--workers", "2"]],
                         ids=["2 processes", "3 processes", "LocalCluster"])
@pytest.mark.parametrize("name", ["titanic", "diamonds"])
def test_parts_merge_into_the_one_process_result(name, how, one_process, tmp_path):
    if "--dask" in how:
        pytest.importorskip("distributed", reason="Dask needs python3-distributed")
    csv_path, config_path, one = one_process[name]
    printed = summaries(csv_path, "--config", config_path, "-o", tmp_path, *how)
    assert_same(one, saved(tmp_path) + (printed,))


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory):
    """A Dask scheduler and a worker of two processes, started as commands."""
    pytest.importorskip("distributed", reason="Dask needs python3-distributed")
    from dask.distributed import Client
    folder = tmp_path_factory.mktemp("dask")
    env = dict(os.environ)
    if env.get("BUCKET_BUILD_DIR"):
        # The source tree; the tool adds the in-place build to the workers' packages.
        env["PYTHONPATH"] = os.pathsep.join([str(ROOT)] + env.get("PYTHONPATH", "").split(os.pathsep))
    scheduler_file = folder / "scheduler.json"
    started = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                 "--port", "0", "--no-dashboard", "--scheduler-file", scheduler_file],
                                cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        started.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file",
                                         scheduler_file, "--nworkers", "2", "--nthreads", "1", "--no-dashboard",
                                         "--host", "127.0.0.1", "--local-directory", folder],
                                        cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        with Client(scheduler_file=str(scheduler_file), timeout="30s") as client:
            client.wait_for_workers(2, timeout=60)
            address = client.scheduler.address
        yield address
    finally:
        for process in reversed(started):
            process.terminate()
            process.wait(30)


@DASK_WARNINGS
def test_a_running_cluster_addressed_by_url_gives_the_one_process_result(scheduler, one_process, tmp_path):
    csv_path, config_path, one = one_process["titanic"]
    printed = summaries(csv_path, "--config", config_path, "-o", tmp_path, "--dask", scheduler)
    assert_same(one, saved(tmp_path) + (printed,))


def test_rows_skipped_in_parts_are_those_one_process_skips(tmp_path, refusing):
    refusing(14.5, 23.5, 53.0, 74.0)
    csv_path = _titanic_with(tmp_path, 700, BAD_AGE)
    fields = _config(tmp_path, AGE, {"name": "class", "column": "class", "type": "str",
                                     "kind": "CategoricalBucket", "min_fraction": 0.0})
    results = []
    for how in [[], ["--workers", "2"], ["--workers", "3"]]:
        folder = tmp_path / ("out%d" % len(results))
        assert run(csv_path, "--config", fields, "-o", folder, "-q", "--skip-bad-rows", *how) == 0
        counted = json.loads((folder / "counts.json").read_text())
        results.append(saved(folder) + ((counted["fields"], counted["run"]["skipped_first"]),))
    assert results[0][0]["skipped"].tolist() == [111, 296, 571, 698, 851]
    assert [(r["row"], r["line"]) for r in results[0][2][1]] == [(111, "line 113"), (296, "line 298"),
                                                                 (571, "line 573"), (698, "line 700"),
                                                                 (851, "line 853")]
    for other in results[1:]:
        assert_same(results[0], other)


def _killed_in_second_part(source, fields, layout, part, *args):
    if part.index == 1:
        os.kill(os.getpid(), signal.SIGKILL)
    return _encode(source, fields, layout, part, *args)


_encode = parallel.encode_part


@pytest.mark.parametrize("fail, expected", [
    ("bad row", "titanic.csv, line 700, field 'age': 'old' is not a float"),
    ("refused value", "titanic.csv, line 573, field 'age': BadAttributeError"),
    ("killed", "worker 2 (from line 446) ended without an answer, exit code -9"),
])
def test_a_failing_worker_fails_the_run_and_leaves_no_output(fail, expected, tmp_path, monkeypatch, capsys,
                                                            refusing):
    fields = [AGE]
    csv_path = TITANIC
    if fail == "bad row":
        csv_path = _titanic_with(tmp_path, 700, BAD_AGE)
    elif fail == "refused value":
        refusing(53.0)
    else:
        monkeypatch.setattr(parallel, "encode_part", _killed_in_second_part)
    assert run(csv_path, "--config", _config(tmp_path, *fields), "-o", tmp_path / "out", "--workers", "2") == 2
    assert expected in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


def test_parts_sent_by_the_client_read_as_parts_read_from_the_file():
    fields = config.load(DIAMONDS_CONFIG)
    with reading.Input(str(DIAMONDS)) as source:
        layout = parallel.Layout(fields, source.read_header())
        parts = source.cut(3)
        sent = [parallel._part_bytes(source, p) for p in parts]
    assert [p.first_row for p in parts] == [0, parts[0].rows, parts[0].rows + parts[1].rows]
    assert sum(p.rows for p in parts) == 53940 and all(p.rows for p in parts)
    size = DIAMONDS.stat().st_size
    for part, data in zip(parts, sent):
        read = parallel.dask_count(str(DIAMONDS), size, None, fields, layout, part, False)
        given = parallel.dask_count(str(DIAMONDS), size, data, fields, layout, part, False)
        assert read == given and read[0]
        buckets = [f.make_bucket(p) for f, p in zip(fields, layout.positions)]
        for b, (f, counts) in zip(buckets, ((f, read[1].get(f.column)) for f in fields)):
            if f.learns:
                b.set_categories([{"name": v, "count": n} for v, n in counts.items()])
        read = parallel.dask_encode(str(DIAMONDS), size, None, fields, layout, part, copy.deepcopy(buckets), False)
        given = parallel.dask_encode(str(DIAMONDS), size, data, fields, layout, part, buckets, False)
        assert read[1].rows == given[1].rows == part.rows and read[1].counts == given[1].counts
        assert np.array_equal(np.concatenate(read[1].arrays["matrix"]), np.concatenate(given[1].arrays["matrix"]))


def _notes(kind, i):
    """A row of a notes file: quoted cells spanning lines, a stray quote in
    an unquoted cell, or rows ended by a lone carriage return."""
    age = str(i % 90 or "")
    if kind == "quoted newlines":
        return '"%s",%s\r\n' % ("line one\nline two, \"\"quoted\"\"\n" * (i % 3), age)
    if kind == "stray quote":
        return 'note %d"%s,%s\n' % (i % 7, "x" * (i % 2), age)
    return "note %d,%s\r" % (i % 5, age)


@pytest.mark.parametrize("kind", ["quoted newlines", "stray quote", "carriage returns"])
def test_parts_cut_at_the_rows_of_one_process_which_are_those_of_the_csv_module(kind, tmp_path):
    csv_path = tmp_path / "notes.csv"
    # Bytes: Path.write_text takes no newline= before Python 3.10.
    csv_path.write_bytes(("note,age\n" + "".join(_notes(kind, i) for i in range(3000))).encode())
    fields = _config(tmp_path, AGE, {"name": "note", "column": "note", "type": "str",
                                     "kind": "CategoricalBucket", "min_fraction": 0.0})
    results = []
    for how in [[], ["--workers", "2"], ["--workers", "3"]]:
        folder = tmp_path / ("out%d" % len(results))
        assert run(csv_path, "--config", fields, "-o", folder, "-q", *how) == 0
        results.append(saved(folder))
    matrix, _, messages = reference(csv_path, config.load(str(fields)))
    assert matrix.shape == (3000, 5) and results[0][1] == messages
    assert np.array_equal(results[0][0]["matrix"], matrix, equal_nan=True)
    for other in results[1:]:
        assert_same(results[0], other)
