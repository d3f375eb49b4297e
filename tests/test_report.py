"""The HTML report and the drift figures: made from counts of real runs (the
Titanic and diamonds rows encoded with the buckets), then drawn by headless
Chromium, which must show a chart per field and, for new data against
training, both series."""
import contextlib
import csv
import html.parser
import json
import math
import os
import pathlib
import shutil
import struct
import subprocess
import tempfile
import zlib
from collections import Counter

import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.prepare import drift, report

ROOT = pathlib.Path(__file__).resolve().parents[1]
TITANIC = (ROOT / "data" / "titanic.csv", ROOT / "tarvello" / "prepare" / "titanic.json")
DIAMONDS = (ROOT / "data" / "diamonds.csv", ROOT / "examples" / "diamonds.json")
TYPES = {"float": "FLOAT", "int": "INT", "bool": "BOOL", "str": "STRING"}
CONVERT = {"float": float, "int": int, "str": str,
           "bool": lambda text: {"true": True, "false": False, "1": True, "0": False}[text.lower()]}
BROWSER_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync"]
# The report's colours: text, and the bars (CSS classes s0 and t) of new data
# or the only series, and of training.
TEXT_RGB, NEW_RGB, TRAINING_RGB = (0x1b, 0x1b, 0x1b), (0x1f, 0x4e, 0x8c), (0x9d, 0xbb, 0xe0)


def slot_names(spec, b):
    """counts.json's names of the bucket's slots."""
    n, kind = spec["name"], spec["kind"]
    null = ["%s:null" % n]
    if kind == "Bucket":
        bounds = ["-inf"] + [repr(float(v)) for v in spec["buckets"]] + ["inf"]
        return ["%s[%s-%s)" % (n, lo, hi) for lo, hi in zip(bounds, bounds[1:])] + null * spec.get("has_none", True)
    if kind == "StringBucket":
        return ["%s=%s" % (n, v) for v in spec["buckets"]] + ["%s:other" % n] + null * spec.get("has_none", True)
    if kind == "BooleanBucket":
        return ["%s=false" % n, "%s=true" % n] + null * b._has_null
    if kind == "ValueBucket":
        return [n] + null * b._has_null
    if kind == "CategoricalBucket":
        return null + ["%s:other" % n] + ["%s=%s" % (n, v) for v in sorted(b._category_dict, key=b._category_dict.get)]
    return [n]


def counted(source, command="prepare", keep=lambda row: True, learned=None, fields=None):
    """The buckets of a configuration and the counts.json document of a run
    that encoded the CSV's rows chosen by ``keep``. Categories are learned from
    those rows, or given as ``learned`` (an applied run's)."""
    csv_path, config_path = source
    specs = json.loads(config_path.read_text())["fields"][:fields]
    with open(csv_path, newline="") as f:
        rows = [r for r in csv.DictReader(f) if keep(r)]
    buckets, entries, learned = [], [], dict(learned or {})
    for spec in specs:
        args = {k: v for k, v in spec.items() if k not in ("name", "column", "type", "kind")}
        if spec["kind"] == "Bucket":
            args["buckets"] = [float(v) for v in args["buckets"]]
        b = getattr(bucket, spec["kind"])(spec["name"], FieldExtractor(spec["column"], TYPES[spec["type"]]), **args)
        values = [CONVERT[spec["type"]](r[spec["column"]]) if r[spec["column"]] else None for r in rows]
        entry = {"name": spec["name"], "kind": spec["kind"]}
        if spec["kind"] == "CategoricalBucket":
            if spec["name"] not in learned:
                common = Counter(v for v in values if v is not None)
                learned[spec["name"]] = sorted(common.items(), key=lambda item: (-item[1], item[0]))
            with contextlib.redirect_stdout(None):
                b.set_categories([{"name": v, "count": n} for v, n in learned[spec["name"]]])
            if command == "prepare":
                entry.update(min_fraction=spec["min_fraction"], learned=[list(p) for p in learned[spec["name"]][:20]])
        if spec["kind"] != "SimpleCategoricalBucket":
            for v in values:
                b._bucketize_value(v)
        entry.update(slots=slot_names(spec, b), distro=list(b._distro), total=b._total)
        buckets.append(b)
        entries.append(entry)
    run = {"command": command, "input": str(csv_path.relative_to(ROOT)), "rows": len(rows), "skipped": 0,
           "skipped_first": [], "seconds": 0.5, "rows_per_second": len(rows) / 0.5}
    return buckets, {"format": 1, "run": run, "fields": entries}, learned


def made_report(source, **kw):
    buckets, counts, _ = counted(source, **kw)
    return report.render(report.Report(counts["run"], report.field_reports(buckets, counts))), counts


def applied(source=TITANIC, keep_train=lambda r: r["sex"] == "male", keep_new=lambda r: r["sex"] == "female"):
    """A run on new rows against a training run on others, with its report."""
    _, train, learned = counted(source, keep=keep_train)
    buckets, new, _ = counted(source, command="apply", keep=keep_new, learned=learned)
    fields = report.field_reports(buckets, new, training=train)
    return report.render(report.Report(new["run"], fields, training="out/titanic")), fields, train, new


# --- drift -------------------------------------------------------------------

@pytest.mark.parametrize("train, new, expected", [
    ([0.5, 0.5], [0.5, 0.5], 0.0),
    ([0.5, 0.5], [0.7, 0.3], 0.2 * math.log(0.7 / 0.5) - 0.2 * math.log(0.3 / 0.5)),
    # an empty slot is floored, not infinite
    ([1.0, 0.0], [0.5, 0.5], -0.5 * math.log(0.5) + (0.5 - 0.0001) * math.log(0.5 / 0.0001)),
    ([0.25] * 4, [0.25] * 4, 0.0),
])
def test_psi(train, new, expected):
    assert drift.psi(train, new) == pytest.approx(expected)
    assert drift.psi(new, train) == pytest.approx(expected)


def test_shares_and_the_fields_compared():
    assert drift.shares([1, 3, 0]) == [0.25, 0.75, 0.0]
    assert drift.shares([0, 0]) is None
    train = {"name": "c", "slots": ["c:null", "c:other", "c=a", "c=b"], "distro": [10, 0, 60, 30]}
    new = {"name": "c", "slots": train["slots"], "distro": [0, 20, 40, 40]}
    empty = {"name": "v", "slots": ["v"], "distro": [0]}
    moved, nothing = drift.compare_runs({"fields": [empty, train]}, {"fields": [empty, new]})
    assert moved.psi == pytest.approx(drift.psi([0.1, 0, 0.6, 0.3], [0, 0.2, 0.4, 0.4]))
    assert (moved.none, moved.unknown) == ((0.1, 0.0), (0.0, 0.2))
    assert nothing.psi is None and nothing.none == (None, None)
    assert json.loads(json.dumps(moved.to_json()))["new"] == [0, 0.2, 0.4, 0.4]
    with pytest.raises(ValueError, match="'c': the slots differ"):
        drift.compare(train, dict(new, slots=["c:null", "c:other", "c=b", "c=a"]))
    with pytest.raises(ValueError, match="'c': not in the training"):
        drift.compare_runs({"fields": [empty]}, {"fields": [new]})


# --- the file ----------------------------------------------------------------

def test_a_field_per_section_with_its_texts():
    page, counts = made_report(TITANIC)
    sections = page.split('<section id="field-')[1:]
    assert len(sections) == len(counts["fields"])
    age = next(s for s in sections if "<h2>age " in s)
    assert '<span style="color:#000080">' in age
    assert "\x1b" not in page
    klass = next(s for s in sections if "<h2>class " in s)
    # Third, First and Second were kept, every value was learned: no cut.
    assert klass.count("<tr><td class=\"n\">") == 3 and 'class="cut"' not in klass
    deck = next(s for s in sections if "<h2>deck " in s)
    assert "Learned categories: 7 kept" in deck


def test_what_the_module_raises_is_shown():
    buckets, counts, _ = counted(TITANIC, keep=lambda r: False)
    # The base class has no labels for its distribution text.
    buckets.append(bucket.BaseBucket("plain", FieldExtractor("plain"), 2))
    counts["fields"].append({"name": "plain", "kind": "BaseBucket", "slots": ["a", "b"], "distro": [0, 0],
                             "total": 0})
    fields = report.field_reports(buckets, counts)
    assert fields[-1].distro == report.Said(
        "AttributeError: 'BaseBucket' object has no attribute 'get_bucket_label'", True)
    assert not any(f.distro.failed for f in fields[:-1])
    page = report.render(report.Report(counts["run"], fields))
    assert page.count("Nothing counted: no chart.") == len(fields)
    assert "raised <code>AttributeError: &#x27;BaseBucket&#x27; object has no attribute" in page


def test_counts_are_put_back_on_the_buckets():
    buckets, counts, _ = counted(TITANIC)
    rebuilt = [bucket.read_from_proto(_message(b)) if type(b) in REBUILT else b for b in buckets]
    fields = report.field_reports(rebuilt, counts)
    assert [f.distro for f in fields] == [report.say(b.get_distro) for b in buckets]
    assert [b._distro for b in rebuilt] == [e["distro"] for e in counts["fields"]]
    with pytest.raises(ValueError, match="'survived' stands where the counts have field 'age'"):
        report.field_reports(rebuilt[:1], dict(counts, fields=counts["fields"][1:2]))


REBUILT = (bucket.Bucket, bucket.StringBucket, bucket.ValueBucket, bucket.CategoricalBucket)


def _message(b):
    from tarvello.custom.model_data.row_handler_proto import row_handler_pb2
    message = row_handler_pb2.Bucket()
    b.write_to_proto(message)
    return message


@pytest.mark.parametrize("hostile", [
    "https://example.org/x", "a//b", "<script>alert(1)</script>", "HTTP:" + "/" * 40,
])
def test_no_reference_leaves_the_file(hostile):
    buckets, counts, _ = counted(TITANIC)
    counts["run"]["input"] = hostile
    counts["run"]["skipped_first"] = [{"line": 3, "field": hostile, "reason": hostile}]
    klass = next(e for e in counts["fields"] if e["name"] == "class")
    klass["learned"][0][0] = hostile
    klass["slots"][2] = "class=" + hostile
    page = report.render(report.Report(counts["run"], report.field_reports(buckets, counts), training=hostile))
    lowered = page.lower()
    assert "http:" not in lowered and "https:" not in lowered and "//" not in page
    assert "<script" not in lowered and "src=" not in lowered and "url(" not in lowered
    assert [h for h in _attributes(page, "href") if not h.startswith("#")] == []


def _attributes(page, name):
    found = []

    class Collect(html.parser.HTMLParser):
        def handle_starttag(self, tag, attrs):
            found.extend(v for k, v in attrs if k == name)

    Collect().feed(page)
    return found


def test_size_stays_bounded_whatever_the_data():
    # Fields far wider than any chart: a thousand ranges, and categories of long values.
    spec = {"name": "wide", "kind": "Bucket", "buckets": list(range(1000))}
    wide = bucket.Bucket("wide", FieldExtractor("wide", "FLOAT"), [float(v) for v in range(1000)])
    for v in range(1500):
        wide._bucketize_value(v * 0.7)
    values = [{"name": "/" * 300 + str(i), "count": 1000 - i} for i in range(400)]
    many = bucket.CategoricalBucket("many", FieldExtractor("many", "STRING"), 0)
    with contextlib.redirect_stdout(None):
        many.set_categories(values)
    for v in values:
        for _ in range(v["count"] % 7 + 1):
            many._bucketize_value(v["name"])
    entries = [dict(spec, slots=slot_names(spec, wide), distro=list(wide._distro), total=wide._total),
               {"name": "many", "kind": "CategoricalBucket", "slots": slot_names({"name": "many", "kind":
                "CategoricalBucket"}, many), "distro": list(many._distro), "total": 0, "min_fraction": 0,
                "learned": [[v["name"], v["count"]] for v in values[:20]]}]
    counts = {"run": {"command": "prepare", "input": "x.csv"}, "fields": entries}
    page = report.render(report.Report(counts["run"], report.field_reports([wide, many], counts)))
    assert len(page.encode()) <= 2 * 30 * 1024 + 20 * 1024
    assert "of 1002 slots drawn, the largest" in page


@pytest.mark.parametrize("text, shown", [
    ("\x1b[38;5;4m 7%\x1b[30;m 12.0", '<span style="color:#000080"> 7%</span> 12.0'),
    ("\x1b[31mred\x1b[0m \x1b[38;5;196mhot\x1b[39m", '<span style="color:#800000">red</span> '
                                                     '<span style="color:#ff0000">hot</span>'),
    ("\x1b[38;5;244mgrey\x1b[m<&>", '<span style="color:#808080">grey</span>&lt;&amp;&gt;'),
    ("bell\x07 and \x1b[5;1m blink", "bell and  blink"),
])
def test_terminal_colours_become_html(text, shown):
    assert report.terminal_html(text) == shown


# --- in a browser ------------------------------------------------------------

def browser_environment():
    # A sanitizer's runtime preloaded for the module must not reach the browser.
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "PYTHONMALLOC") and not k.endswith("SAN_OPTIONS")}


def chromium(page, size="1000,1400"):
    """Headless Chromium on the file ``page`` with a new empty profile: its
    DOM after loading and its screenshot (PNG bytes)."""
    browser = shutil.which("chromium")
    if browser is None:
        pytest.skip("no chromium on PATH (Debian's package chromium)")
    with tempfile.TemporaryDirectory() as folder:
        shot = os.path.join(folder, "shot.png")
        try:
            done = subprocess.run(
                [browser] + BROWSER_FLAGS + ["--user-data-dir=" + os.path.join(folder, "profile"),
                                             "--window-size=" + size, "--screenshot=" + shot, "--dump-dom",
                                             page.as_uri()],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120, env=browser_environment())
        except (OSError, subprocess.TimeoutExpired) as e:
            pytest.skip("chromium did not run: %s" % e)
        if done.returncode != 0 or not os.path.exists(shot):
            pytest.skip("chromium cannot start here (exit %d): %s"
                        % (done.returncode, done.stderr.decode(errors="replace").strip()[-300:]))
        with open(shot, "rb") as f:
            return done.stdout.decode(), f.read()


@pytest.fixture(scope="module")
def rendered(tmp_path_factory):
    """name: (counts.json document, DOM, screenshot)."""
    folder = tmp_path_factory.mktemp("reports")
    cases = {"titanic": made_report(TITANIC), "diamonds": made_report(DIAMONDS)}
    page, _, _, new = applied()
    cases["applied"] = (page, new)
    done = {}
    for name, (page, counts) in cases.items():
        path = folder / (name + ".html")
        path.write_text(page, encoding="utf-8")
        done[name] = (counts,) + chromium(path)
    return done


def colours(png):
    """How many pixels of each RGB colour an 8-bit RGB or RGBA PNG holds, and its size."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    pos, data = 8, []
    while pos < len(png):
        size, kind = struct.unpack(">I4s", png[pos:pos + 8])
        chunk = png[pos + 8:pos + 8 + size]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", chunk[:10])
            assert depth == 8 and colour in (2, 6)
        elif kind == b"IDAT":
            data.append(chunk)
        pos += 12 + size
    raw = zlib.decompress(b"".join(data))
    step = 3 if colour == 2 else 4
    stride = width * step
    above, seen = bytes(stride), Counter()
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        # Undo the row's filter: none, sub, up, average or Paeth.
        if kind == 1:
            for i in range(step, stride):
                line[i] = (line[i] + line[i - step]) & 255
        elif kind == 2:
            line = bytearray(map(lambda a, b: (a + b) & 255, line, above))
        elif kind == 3:
            for i in range(stride):
                line[i] = (line[i] + ((line[i - step] if i >= step else 0) + above[i]) // 2) & 255
        elif kind == 4:
            for i in range(stride):
                if i < step:
                    line[i] = (line[i] + above[i]) & 255
                    continue
                left, up, corner = line[i - step], above[i], above[i - step]
                pa, pb, pc = abs(up - corner), abs(left - corner), abs(left + up - 2 * corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        seen.update(zip(line[0::step], line[1::step], line[2::step]))
        above = line
    return seen, width * height


class Dom(html.parser.HTMLParser):
    """Per field section: its charts, the bars' classes and the charts' text labels."""

    def __init__(self):
        super().__init__()
        self.sections, self.current, self.text = {}, None, None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "section" and "field" in a.get("class", ""):
            self.current = self.sections[a["id"]] = {"charts": 0, "bars": Counter(), "labels": [], "h2": ""}
        elif self.current is not None:
            if tag == "svg":
                self.current["charts"] += 1
            elif tag == "rect":
                self.current["bars"][a["class"]] += 1
            elif tag in ("text", "h2"):
                self.text = (tag, a.get("class"))

    def handle_data(self, data):
        if self.text == ("text", None):
            self.current["labels"].append(data)
        elif self.text and self.text[0] == "h2":
            self.current["h2"] += data

    def handle_endtag(self, tag):
        if tag in ("text", "h2"):
            self.text = None


def sections(dom):
    parsed = Dom()
    parsed.feed(dom)
    return {s["h2"].split()[0]: s for s in parsed.sections.values()}


@pytest.mark.parametrize("name", ["titanic", "diamonds"])
def test_chromium_draws_a_chart_per_field(rendered, name):
    counts, dom, shot = rendered[name]
    drawn = sections(dom)
    assert list(drawn) == [e["name"] for e in counts["fields"]]
    for entry in counts["fields"]:
        got = drawn[entry["name"]]
        if sum(entry["distro"]):
            assert got["charts"] == 1 and got["bars"] == {"s0": len(entry["slots"])}
            assert got["labels"] == entry["slots"]
        else:
            assert got["charts"] == 0
    seen, size = colours(shot)
    assert seen[(255, 255, 255)] < 0.97 * size and seen[TEXT_RGB] > 0.001 * size
    assert seen[NEW_RGB] > 0.01 * size


def test_chromium_shows_training_and_new_side_by_side(rendered):
    counts, dom, shot = rendered["applied"]
    drawn = sections(dom)
    for entry in counts["fields"]:
        if sum(entry["distro"]):
            assert drawn[entry["name"]]["bars"] == {"s0": len(entry["slots"]), "t": len(entry["slots"])}
    seen, size = colours(shot)
    assert seen[NEW_RGB] > 0.005 * size and seen[TRAINING_RGB] > 0.005 * size


def test_applied_report_sorts_by_psi_and_marks_the_drifted():
    page, fields, _, _ = applied()
    psi = {f.entry["name"]: f.drift.psi for f in fields}
    shown = [psi[name] for name in sections(page)]
    # who, a simple categorical field, counts nothing and so comes last.
    assert shown[:-1] == sorted(shown[:-1], reverse=True) and shown[-1] is None
    over = [f.entry["name"] for f in fields if f.drift.psi is not None and f.drift.psi > drift.THRESHOLD]
    # Women against men: sex, adult_male and who move, fare barely.
    assert {"sex", "adult_male"} <= set(over) and "fare" not in over
    assert page.count('class="field over"') == len(over)
