"""The HTML report and the drift figures, from the tool's own runs (the
Titanic and diamonds rows prepared, Titanic's women applied to its men),
drawn by headless Chromium."""
import contextlib
import csv
import io
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import zlib
from collections import Counter

import pytest

if hasattr(sys, "gettotalrefcount"):
    pytest.skip("Debian's numpy is built for the release interpreter, not this debug one",
                allow_module_level=True)
pytest.importorskip("numpy", reason="the tool needs numpy")
pytest.importorskip("pyarrow", minversion="14", reason="the tool needs pyarrow 14 or later")

from tarvello.custom.model_data import bucket  # noqa: E402
from tarvello.custom.model_data.extractor import FieldExtractor  # noqa: E402
from tarvello.prepare import cli, drift, report, saved  # noqa: E402
from tarvello.prepare.svg import escape  # noqa: E402
from test_prepare import DIAMONDS, DIAMONDS_CONFIG, TITANIC  # noqa: E402

BROWSER_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync"]
# The bars' colours: new data (or the only series), and training.
NEW_RGB, TRAINING_RGB = (0x1f, 0x4e, 0x8c), (0x9d, 0xbb, 0xe0)


def tool(*args):
    """The command, quiet, in this process."""
    with contextlib.redirect_stdout(io.StringIO()):
        assert cli.main([str(a) for a in args]) == 0


def rows_where(source, keep, path):
    """The CSV file's rows for which ``keep`` (of the row as a dict) holds, into ``path``."""
    with open(source, newline="") as f, open(path, "w", newline="") as out:
        reader = csv.DictReader(f)
        writer = csv.DictWriter(out, reader.fieldnames)
        writer.writeheader()
        writer.writerows(row for row in reader if keep(row))
    return path


def tool_runs(folder):
    """The output folders of Titanic and diamonds prepared, and of Titanic's
    women applied to the buckets of its men (applied, training in men)."""
    tool(TITANIC, "-o", folder / "titanic", "-q")
    tool(DIAMONDS, "--config", DIAMONDS_CONFIG, "-o", folder / "diamonds", "-q")
    tool(rows_where(TITANIC, lambda r: r["sex"] == "male", folder / "men.csv"), "-o", folder / "men", "-q")
    tool("apply", rows_where(TITANIC, lambda r: r["sex"] == "female", folder / "women.csv"), "--from",
         folder / "men", "-o", folder / "applied", "-q")
    return {name: folder / name for name in ("titanic", "diamonds", "men", "applied")}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    return tool_runs(tmp_path_factory.mktemp("runs"))


def loaded(folder):
    """An output folder's buckets, rebuilt from their messages, and its counts."""
    found = saved.load(str(folder))
    return found.buckets(), found.counts


def sections(page):
    """Per field section, in order: its name, the charts, bar classes and labels."""
    found = {}
    for part in page.split('<section id="field-')[1:]:
        found[re.search(r"<h2>([^ <]*)", part).group(1)] = (
            part.count("<svg"), Counter(re.findall(r'<rect class="(\w+)"', part)),
            re.findall(r'<text x="0" y="\d+">([^<]*)</text>', part))
    return found


@pytest.mark.parametrize("train, new, expected", [
    ([0.5, 0.5], [0.5, 0.5], 0.0),
    ([0.5, 0.5], [0.7, 0.3], 0.2 * math.log(0.7 / 0.5) - 0.2 * math.log(0.3 / 0.5)),
    # an empty slot is floored, not infinite
    ([1.0, 0.0], [0.5, 0.5], -0.5 * math.log(0.5) + (0.5 - 0.0001) * math.log(0.5 / 0.0001)),
])
def test_psi(train, new, expected):
    assert drift.psi(train, new) == pytest.approx(expected) == drift.psi(new, train)


def test_fields_compared():
    train = {"name": "c", "slots": ["c:null", "c:other", "c=a", "c=b"], "distro": [10, 0, 60, 30]}
    new = dict(train, distro=[0, 20, 40, 40])
    empty = {"name": "v", "slots": ["v"], "distro": [0]}
    moved, nothing = drift.compare_runs({"fields": [empty, train]}, {"fields": [empty, new]})
    assert moved.psi == pytest.approx(drift.psi([0.1, 0, 0.6, 0.3], [0, 0.2, 0.4, 0.4]))
    assert (moved.none, moved.unknown, moved.to_json()["new"]) == ((0.1, 0.0), (0.0, 0.2), [0, 0.2, 0.4, 0.4])
    assert nothing.psi is None and nothing.none == (None, None)
    with pytest.raises(ValueError, match="'c': the slots differ"):
        drift.compare(train, dict(new, slots=["c:null", "c:other", "c=b", "c=a"]))
    with pytest.raises(ValueError, match="'c': not in the training"):
        drift.compare_runs({"fields": [empty]}, {"fields": [new]})


def fields_of(page):
    """The fields' part of a report, but for the addresses in the simple
    categorical kind's text (the default one, of the object)."""
    return re.sub(r" at 0x[0-9a-f]+", "", page[page.index('<section id="field-1"'):])


@pytest.mark.parametrize("name", ["diamonds", "applied"])
def test_the_report_made_again_from_the_folder_is_the_run_own(name, runs, tmp_path):
    for copied in ("men", name):
        shutil.copytree(runs[copied], tmp_path / copied)
    folder = tmp_path / name
    page = (folder / "report.html").read_text()
    tool("report", folder)
    again = (folder / "report.html").read_text()
    assert fields_of(again) == fields_of(page)
    assert saved.load(str(folder)).manifest["files"]["report.html"]["size"] == len(again.encode())
    if name == "applied":
        # found beside it, from where it lies now
        assert "<tr><th>Training folder</th><td>%s</td></tr>" % escape(str(tmp_path / "men")) in again
        return
    assert '<span style="color:#000080">' in page and "\x1b" not in page
    # clarity keeps 7 values: the eighth, I1, is under min_fraction 0.02
    clarity = page.split("<h2>clarity ")[1].split("</section>")[0]
    assert "7 kept" in clarity and re.search(r'class="cut">[^/]*</td></tr><tr><td class="n">8</td><td>I1<', clarity)
    buckets, counts = loaded(folder)
    with pytest.raises(ValueError, match="'carat' stands where the counts have field 'cut'"):
        report.field_reports(buckets[:1], dict(counts, fields=counts["fields"][1:2]))


def test_what_the_module_raises_is_shown(runs):
    buckets, counts = loaded(runs["titanic"])
    for entry in counts["fields"]:
        entry.update(distro=[0] * len(entry["distro"]), total=0)
    buckets.append(bucket.BaseBucket("plain", FieldExtractor("plain"), 2))  # no labels for its distribution
    counts["fields"].append({"name": "plain", "slots": ["a", "b"], "distro": [0, 0], "total": 0})
    fields = report.field_reports(buckets, counts)
    assert [f.distro.failed for f in fields] == [False] * 13 + [True]
    page = report.render(report.Report(counts["run"], fields))
    assert page.count("Nothing counted: no chart.") == 14
    assert "raised <code>AttributeError: &#x27;BaseBucket&#x27; object has no attribute" in page


@pytest.mark.parametrize("hostile", ["https://example.org/x", "a//b", "<script>alert(1)</script>", "HTTP:" + "/" * 9])
def test_no_reference_leaves_the_file(hostile, runs):
    buckets, counts = loaded(runs["titanic"])
    counts["run"].update(input=hostile, skipped_first=[{"line": 3, "field": hostile, "reason": hostile}])
    klass = counts["fields"][9]
    klass["learned"][0], klass["slots"][2] = (hostile, 1), "class=" + hostile
    page = report.render(report.Report(counts["run"], report.field_reports(buckets, counts), training=hostile))
    assert not re.search(r"(?i)https?:|//|<script|src=|url\(", page)
    assert set(re.findall(r'href="([^"]*)"', page)) == {"#field-%d" % i for i in range(1, 14)}


def test_size_stays_bounded_whatever_the_data():
    # a thousand ranges, and 400 categories of long values
    wide = bucket.Bucket("wide", FieldExtractor("wide"), [float(v) for v in range(1000)])
    for v in range(1500):
        wide._bucketize_value(v * 0.7)
    values = [{"name": "/" * 300 + str(i), "count": 1000 - i} for i in range(400)]
    many = bucket.CategoricalBucket("many", FieldExtractor("many"), 0)
    with contextlib.redirect_stdout(None):
        many.set_categories(values)
    for v in values:
        many._bucketize_value(v["name"])
    entries = [{"name": "wide", "slots": [str(i) for i in range(1002)], "distro": wide._distro, "total": 1500},
               {"name": "many", "slots": ["many:null", "many:other"] + [v["name"] for v in values],
                "distro": many._distro, "total": 0, "min_fraction": 0, "learned": [[v["name"], 1] for v in values[:20]]}]
    counts = {"run": {"command": "prepare", "input": "x.csv"}, "fields": entries}
    page = report.render(report.Report(counts["run"], report.field_reports([wide, many], counts)))
    assert len(page.encode()) <= 2 * 30 * 1024 + 20 * 1024
    assert "of 1002 slots drawn, the largest" in page


@pytest.mark.parametrize("text, shown", [
    ("\x1b[38;5;4m 7%\x1b[30;m 12.0", '<span style="color:#000080"> 7%</span> 12.0'),
    ("\x1b[31mred\x1b[0m \x1b[38;5;196mhot\x1b[39m", '<span style="color:#800000">red</span> '
                                                     '<span style="color:#ff0000">hot</span>'),
    ("\x1b[38;5;244mgrey\x1b[m<&>\x07", '<span style="color:#808080">grey</span>&lt;&amp;&gt;'),
])
def test_terminal_colours_become_html(text, shown):
    assert report.terminal_html(text) == shown


def test_applied_report_sorts_by_psi_and_marks_the_drifted(runs):
    page = (runs["applied"] / "report.html").read_text()
    psi = {moved.name: moved.psi for moved in drift.compare_runs(loaded(runs["men"])[1], loaded(runs["applied"])[1])}
    shown = [psi[name] for name in sections(page)]
    # who, a simple categorical field, counts nothing and comes last
    assert shown[:-1] == sorted(shown[:-1], reverse=True) and shown[-1] is None
    over = {name for name, value in psi.items() if value is not None and value > drift.THRESHOLD}
    assert {"sex", "adult_male"} <= over and "fare" not in over
    assert page.count('class="field over"') == len(over)


def browser_environment():
    # a sanitizer's runtime preloaded for the module must not reach the browser
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "PYTHONMALLOC") and not k.endswith("SAN_OPTIONS")}


@pytest.fixture(scope="module")
def rendered(tmp_path_factory, runs):
    """Per report: its counts, Chromium's DOM after loading it and its screenshot."""
    browser = shutil.which("chromium")
    if browser is None:
        pytest.skip("no chromium on PATH (Debian's package chromium)")
    done = {}
    for name in ("titanic", "diamonds", "applied"):
        folder = tmp_path_factory.mktemp(name)
        shutil.copy(runs[name] / "report.html", folder)
        counts = json.loads((runs[name] / "counts.json").read_text())
        try:
            run = subprocess.run([browser] + BROWSER_FLAGS + [
                "--user-data-dir=%s" % (folder / "profile"), "--window-size=1000,1400",
                "--screenshot=%s" % (folder / "shot.png"), "--dump-dom", (folder / "report.html").as_uri()],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120, env=browser_environment())
        except (OSError, subprocess.TimeoutExpired) as e:
            pytest.skip("chromium did not run: %s" % e)
        if run.returncode != 0 or not (folder / "shot.png").exists():
            pytest.skip("chromium cannot start here (exit %d): %s" % (run.returncode, run.stderr[-300:].decode()))
        done[name] = counts, run.stdout.decode(), colours((folder / "shot.png").read_bytes())
    return done


def colours(png):
    """How many pixels of each colour an 8-bit RGB or RGBA PNG holds, over its size."""
    chunks, pos = {}, 8
    while pos < len(png):
        size, kind = struct.unpack(">I4s", png[pos:pos + 8])
        chunks[kind] = chunks.get(kind, b"") + png[pos + 8:pos + 8 + size]
        pos += 12 + size
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and depth == 8 and colour in (2, 6)
    raw, step = zlib.decompress(chunks[b"IDAT"]), 3 if colour == 2 else 4
    stride, seen = width * step, Counter()
    above = bytes(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 2:  # undo the row's filter: up, or sub, average and Paeth
            line = bytearray(map(lambda a, b: (a + b) & 255, line, above))
        for i in range(stride) if kind not in (0, 2) else ():
            left, up = line[i - step] if i >= step else 0, above[i]
            corner = above[i - step] if i >= step else 0
            pa, pb, pc = abs(up - corner), abs(left - corner), abs(left + up - 2 * corner)
            paeth = left if pa <= pb and pa <= pc else up if pb <= pc else corner
            line[i] = (line[i] + (left, up, (left + up) // 2, paeth)[kind - 1]) & 255
        seen.update(zip(line[0::step], line[1::step], line[2::step]))
        above = line
    return {rgb: n / (width * height) for rgb, n in seen.items()}


@pytest.mark.parametrize("name", ["titanic", "diamonds"])
def test_chromium_draws_a_chart_per_field(rendered, name):
    counts, dom, seen = rendered[name]
    drawn = sections(dom)
    assert list(drawn) == [e["name"] for e in counts["fields"]]
    for e in counts["fields"]:
        assert drawn[e["name"]] == ((1, {"s0": len(e["slots"])}, e["slots"]) if sum(e["distro"]) else (0, {}, []))
    assert seen[(255, 255, 255)] < 0.97 and seen[NEW_RGB] > 0.01


def test_chromium_shows_training_and_new_side_by_side(rendered):
    counts, dom, seen = rendered["applied"]
    drawn = sections(dom)
    for e in counts["fields"]:
        assert drawn[e["name"]][1] == ({"s0": len(e["slots"]), "t": len(e["slots"])} if sum(e["distro"]) else {})
    assert seen[NEW_RGB] > 0.005 and seen[TRAINING_RGB] > 0.005
