"""Saved buckets applied to new data: the command against the buckets rebuilt
from their messages and called value by value, the folders it refuses, the
drift it prints, a folder of this release kept as it was written, and the
Python API and the scikit-learn estimator against the command."""
import contextlib
import csv
import io
import json
import math
import os
import pickle
import re
import runpy
import shutil
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy", reason="the tool needs numpy")
pa = pytest.importorskip("pyarrow", minversion="14", reason="the tool needs pyarrow 14 or later")

from tarvello.custom.model_data import bucket  # noqa: E402
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2  # noqa: E402
from tarvello.prepare import config, fit  # noqa: E402
from test_prepare import CONVERT, DIAMONDS, DIAMONDS_CONFIG, ROOT, TITANIC, run, saved  # noqa: E402
from test_prepare_hostile import command  # noqa: E402

FIXTURE = ROOT / "tests" / "fixtures" / "titanic-40"
TITANIC_CONFIG = ROOT / "tarvello" / "prepare" / "titanic.json"


def split(csv_path, rows, folder):
    """train.csv, the CSV's first ``rows`` rows, and new.csv, the others."""
    header, *lines = csv_path.read_text().splitlines(keepends=True)
    (folder / "train.csv").write_text(header + "".join(lines[:rows]))
    (folder / "new.csv").write_text(header + "".join(lines[rows:]))


def by_value(csv_path, folder):
    """The matrix and the ids that the folder's buckets, rebuilt from their
    messages, give for the CSV's values one by one; and the buckets."""
    fields = config.load(str(folder / "config.json"))
    messages = row_handler_pb2.BucketList.FromString((folder / "buckets.pb").read_bytes())
    with contextlib.redirect_stdout(io.StringIO()):
        buckets = [f.make_bucket() if f.kind == "SimpleCategoricalBucket" else bucket.read_from_proto(m)
                   for f, m in zip(fields, messages.buckets)]
    with open(csv_path, newline="") as f:
        rows = list(csv.DictReader(f))
    matrix, ids = [], {f.name: [] for f in fields if f.slots() is None}
    for row in rows:
        out = []
        for f, b in zip(fields, buckets):
            cell = row[f.column]
            encoded = b._bucketize_value(CONVERT[f.type](cell) if cell else None)
            if f.name in ids:
                ids[f.name].append(encoded)
            else:
                out.extend(encoded)
        matrix.append(out)
    return np.array(matrix, np.float64), ids, buckets


def without_fractions(messages):
    """The messages but for the categorical kind's shares of each slot, which
    it writes from its counts."""
    for message in messages.buckets:
        message.ClearField("bucket_fraction")
    return messages


def ids_of(named, name):
    values, offsets = named[name + ".values"], named[name + ".offsets"]
    return [values[a:b].tolist() for a, b in zip(offsets, offsets[1:])]


@pytest.mark.parametrize("csv_path, config_path, rows", [(TITANIC, TITANIC_CONFIG, 600),
                                                        (DIAMONDS, DIAMONDS_CONFIG, 40000)],
                         ids=["titanic", "diamonds"])
def test_applied_rows_are_the_saved_buckets_called_value_by_value(csv_path, config_path, rows, tmp_path, capsys):
    split(csv_path, rows, tmp_path)
    assert run(tmp_path / "train.csv", "--config", config_path, "-o", tmp_path / "train", "-q") == 0
    # The output folder goes beside the new data, named after it.
    assert run("apply", tmp_path / "new.csv", "--from", tmp_path / "train") == 0
    assert "new.csv against %s:" % (tmp_path / "train") in capsys.readouterr().out
    matrix, ids, buckets = by_value(tmp_path / "new.csv", tmp_path / "train")
    (named, messages), (trained, training_messages) = saved(tmp_path / "new"), saved(tmp_path / "train")
    assert np.array_equal(named["matrix"], matrix, equal_nan=True)
    assert named["columns"].tolist() == trained["columns"].tolist()
    assert {name: ids_of(named, name) for name in ids} == ids
    # What was learned is training's; the counts are the new data's.
    assert without_fractions(messages) == without_fractions(training_messages)
    assert run(tmp_path / "new.csv", "-o", tmp_path / "new", "--check-only", "-q") == 0
    counted = json.loads((tmp_path / "new" / "counts.json").read_text())
    assert [e["distro"] for e in counted["fields"]] == [b._distro for b in buckets]
    assert counted["run"]["from"] == os.path.join("..", "train")


def _reordered(folder):
    with open(folder / "new.csv", newline="") as f:
        rows = list(csv.reader(f))
    with open(folder / "new.csv", "w", newline="") as f:
        csv.writer(f).writerows(row[::-1] for row in rows)


def _without_age(folder):
    with open(folder / "new.csv", newline="") as f:
        rows = list(csv.reader(f))
    with open(folder / "new.csv", "w", newline="") as f:
        csv.writer(f).writerows(row[:3] + row[4:] for row in rows)


def _byte_changed(folder):
    with open(folder / "train" / "rows.npz", "r+b") as f:
        f.seek(5000)
        byte = f.read(1)
        f.seek(5000)
        f.write(bytes([byte[0] ^ 1]))


def _newer_format(folder):
    manifest = json.loads((folder / "train" / "manifest.json").read_text())
    (folder / "train" / "manifest.json").write_text(json.dumps(dict(manifest, format=2)))


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """Titanic's first 600 rows prepared, and the others to apply to them."""
    folder = tmp_path_factory.mktemp("trained")
    split(TITANIC, 600, folder)
    assert run(folder / "train.csv", "-o", folder / "train", "-q") == 0
    return folder


@pytest.mark.parametrize("how, change, status, expected", [
    ("apply", _reordered, 0, ""),
    ("apply", _without_age, 2, "new.csv: field 'age': no column 'age' in the header"),
    ("apply", _byte_changed, 2, "train/rows.npz: its SHA-256 differs from manifest.json's"),
    ("apply", _newer_format, 2, "train/manifest.json: format 2, which this release does not read (it reads 1)"),
    ("check-only", lambda t: (t / "train" / "notes.txt").write_text("mine"), 2,
     "train: holds 'notes.txt', which manifest.json does not list"),
    ("report", lambda t: (t / "train" / "counts.json").unlink(), 2,
     "train: counts.json is missing, which manifest.json lists"),
], ids=["reordered columns", "missing column", "a changed byte", "newer manifest", "a file added", "a file lost"])
def test_columns_are_found_by_name_and_a_folder_unlike_its_manifest_is_refused(how, change, status, expected,
                                                                                trained, tmp_path, capsys):
    shutil.copytree(trained, tmp_path, dirs_exist_ok=True)
    change(tmp_path)
    train, new = tmp_path / "train", tmp_path / "new.csv"
    args = {"apply": ["apply", new, "--from", train, "-q"], "check-only": [tmp_path / "train.csv", "-o", train,
                                                                          "--check-only"], "report": ["report", train]}
    assert run(*args[how]) == status
    err = capsys.readouterr().err
    assert expected in err and err.count("\n") == (status != 0)
    if status == 0:
        assert np.array_equal(saved(tmp_path / "new")[0]["matrix"], by_value(new, train)[0], equal_nan=True)


def test_drift_of_a_hand_made_shift(tmp_path, capsys):
    (tmp_path / "train.csv").write_text("c,n,w\n" + "a,1,x\n" * 60 + "b,2,x\n" * 30 + ",3,x\n" * 10)
    (tmp_path / "new.csv").write_text("w,c,n\n" + "x,a,1\n" * 40 + "x,b,2\n" * 40 + "x,z,1\n" * 20)
    fields = tmp_path / "fields.json"
    fields.write_text(json.dumps({"fields": [
        {"name": "n", "column": "n", "type": "int", "kind": "Bucket", "buckets": list(range(10, 201, 10))},
        {"name": "w", "column": "w", "type": "str", "kind": "SimpleCategoricalBucket", "categories": ["x"]},
        {"name": "c", "column": "c", "type": "str", "kind": "CategoricalBucket", "min_fraction": 0}]}))
    assert run(tmp_path / "train.csv", "--config", fields, "-o", tmp_path / "train", "-q") == 0
    capsys.readouterr()
    assert run("apply", tmp_path / "new.csv", "--from", tmp_path / "train", "--json", "--max-psi", "0.5") == 1
    out, err = capsys.readouterr()
    # c's slots: null (None), other (Unknown), a, b; shares floored at 0.0001
    train, new = [0.1, 0.0001, 0.6, 0.3], [0.0001, 0.2, 0.4, 0.4]
    psi = sum((q - p) * math.log(q / p) for p, q in zip(train, new))
    drifted = json.loads(out)["fields"]
    assert [(d["name"], d["psi"]) for d in drifted] == [("c", pytest.approx(psi)), ("n", 0.0), ("w", None)]
    assert drifted[0]["train"] == pytest.approx([0.1, 0, 0.6, 0.3]) and drifted[0]["new"] == [0, 0.2, 0.4, 0.4]
    assert (drifted[0]["none"], drifted[0]["unknown"]) == ([0.1, 0.0], [0.0, 0.2])
    assert err == "tarvello-prepare: PSI over 0.5: c %.4f\n" % psi
    assert run("apply", tmp_path / "new.csv", "--from", tmp_path / "train", "-o", tmp_path / "text") == 0
    text = capsys.readouterr().out
    # n's 22 slots: the 12 largest, and what the others hold
    assert "\n  ... 10 more slots: training 0.0%, new 0.0%\n" in text
    assert max(len(line) for line in text.split(" against ", 1)[1].splitlines()[1:-1]) <= 100
    assert "\nc: PSI %.4f (over 0.25)\n" % psi in text and "\n  None 10.0% -> 0.0%, Unknown 0.0% -> 20.0%\n" in text
    assert "\nw: PSI - (nothing counted at training nor in the new data)\n" in text
    assert '<section id="field-1" class="field over"><h2>c ' in (tmp_path / "text" / "report.html").read_text()


def test_a_folder_of_this_release_stays_readable(tmp_path):
    first = tmp_path / "titanic-40.csv"
    first.write_text("".join(TITANIC.read_text().splitlines(keepends=True)[:41]))
    assert run(first, "-o", FIXTURE, "--check-only", "-q") == 0
    assert run("apply", TITANIC, "--from", FIXTURE, "-o", tmp_path / "all", "-q") == 0
    matrix, ids, _ = by_value(TITANIC, FIXTURE)
    named = saved(tmp_path / "all")[0]
    assert np.array_equal(named["matrix"], matrix, equal_nan=True) and ids_of(named, "who") == ids["who"]


def test_fit_on_data_in_memory_gives_the_command_output(tmp_path):
    pd = pytest.importorskip("pandas")
    assert run(TITANIC, "-o", tmp_path / "command", "-q") == 0
    frame = pd.read_csv(TITANIC, dtype={"survived": bool})
    # A None beside pandas' NaN: both are missing values.
    frame.loc[frame["deck"].isna() & (frame.index % 2 == 0), "deck"] = None
    prepared = fit(frame, TITANIC_CONFIG)
    named, messages = saved(tmp_path / "command")
    counted = json.loads((tmp_path / "command" / "counts.json").read_text())["fields"]

    class Stream:
        def __arrow_c_stream__(self, requested_schema=None):
            return pa.Table.from_pandas(frame).__arrow_c_stream__(requested_schema)

    for source in (frame, pa.Table.from_pandas(frame), Stream()):
        done = prepared.transform(source)
        assert np.array_equal(done.matrix, named["matrix"], equal_nan=True)
        assert done.columns == named["columns"].tolist() and len(done.skipped) == 0
        assert [a.tolist() for a in done.ragged["who"]] == [named["who.values"].tolist(), named["who.offsets"].tolist()]
        assert done.counts == [{k: e[k] for k in ("name", "kind", "slots", "distro", "total")} for e in counted]
    prepared.save(tmp_path / "saved")
    assert pickle.loads(pickle.dumps(prepared)).transform(TITANIC).counts == done.counts
    again, again_messages = saved(tmp_path / "saved")
    assert again_messages == messages
    assert all(np.array_equal(a, again[k], equal_nan=a.dtype.kind == "f") for k, a in named.items())
    with pytest.raises(ValueError, match="the DataFrame: column 'survived' holds int64, which a bool field"):
        fit(pd.read_csv(TITANIC), TITANIC_CONFIG)


@pytest.fixture
def at_root(tmp_path, monkeypatch):
    """A folder to run the examples in, as from the repository's root."""
    (tmp_path / "data").symlink_to(ROOT / "data")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_the_readme_shows_and_runs_the_examples(at_root, capsys):
    readme = (ROOT / "README.md").read_text()
    for name in ("fit_apply.py", "sklearn_pipeline.py"):
        assert (ROOT / "examples" / name).read_text().split('"""', 2)[2].lstrip() in readme, name
    workflow = next(b for b in re.findall(r"```sh\n(.*?)```", readme, re.S) if "tarvello-prepare apply" in b)
    tool = 'tarvello-prepare() { "$PYTHON" -c "$BOOT" "$@"; }\n'
    python, _, boot = command()
    done = subprocess.run(["bash", "-ec", tool + workflow], env=dict(os.environ, PYTHON=python, BOOT=boot),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    assert done.returncode == 0 and done.stderr == b"", done.stderr.decode()
    assert b"new.csv against out/train:" in done.stdout and (at_root / "out" / "new" / "report.html").exists()
    runpy.run_path(str(ROOT / "examples" / "fit_apply.py"))
    assert "(291, 11)" in capsys.readouterr().out
    imported = subprocess.run([python, "-c", boot.split("from tarvello.prepare import cli")[0] + (
        "import tarvello.custom.model_data.bucket\nprint(sorted({'numpy', 'pyarrow'} & set(sys.modules)))\n"
        "import tarvello.prepare\nprint(sorted({'pandas', 'sklearn'} & set(sys.modules)))")],
        stdout=subprocess.PIPE, check=True, timeout=60)
    assert imported.stdout == b"[]\n[]\n"


def test_the_estimator_in_a_pipeline_clones_and_pickles(at_root):
    pytest.importorskip("sklearn", reason="the estimator needs scikit-learn (the extra sklearn)")
    from sklearn.base import clone
    from sklearn.compose import ColumnTransformer
    from tarvello.prepare.sklearn import BucketEncoder
    made = runpy.run_path(str(ROOT / "examples" / "sklearn_pipeline.py"))
    model, passengers, survived = made["model"], made["passengers"], made["survived"]
    expected = model.predict_proba(passengers[600:])
    assert np.array_equal(pickle.loads(made["saved"]).predict_proba(passengers[600:]), expected)
    again = clone(model)
    assert not hasattr(again[0], "prepared_")
    assert np.array_equal(again.fit(passengers[:600], survived[:600]).predict_proba(passengers[600:]), expected)
    columns = ColumnTransformer([("b", BucketEncoder(made["fields"]), ["age", "sex", "class", "embark_town"])])
    frame = columns.set_output(transform="pandas").fit_transform(passengers)
    assert list(frame.columns) == ["b__" + name for name in model[0].get_feature_names_out()]
    assert frame.index.equals(passengers.index)
    with pytest.raises(ValueError, match="field 'who' is a SimpleCategoricalBucket"):
        BucketEncoder(made["fields"] + [{"name": "who", "column": "who", "type": "str",
                                         "kind": "SimpleCategoricalBucket", "categories": ["man"]}]).fit(passengers)
