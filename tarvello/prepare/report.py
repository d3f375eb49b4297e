"""A run's report.html: one self-contained file (inline CSS and SVG, no
script, no reference to anything outside it) that shows each field's counts
as a person would look at them. It is made from counts.json and the buckets'
texts, never from the rows, so its size does not grow with them."""
from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any, Callable, List, Mapping, Optional, Sequence, Tuple

from ..custom.model_data import bucket
from . import drift
from .svg import Series, bar_chart, cut, element, escape, legend, percent

Entry = Mapping[str, Any]

# Bounds that keep a field's part of the file under 30 KB whatever the data
# holds: the bars drawn, and the length of every text taken from it.
FIELD_BYTES = 29 * 1024
MOST_BARS = 60
TEXT_CHARS = 800
VALUE_CHARS = 60
SKIPPED_SHOWN = 5


@dataclass(frozen=True)
class Said:
    """What a bucket's text method returned, or what it raised instead."""
    text: str
    failed: bool = False


def say(method: Callable[[], object]) -> Said:
    try:
        return Said(str(method()))
    except Exception as e:
        return Said("%s: %s" % (type(e).__name__, e), True)


@dataclass(frozen=True)
class FieldReport:
    """One field: its counts.json entry, its bucket's texts and, for new data
    against training, its drift."""
    entry: Entry
    short_label: Said
    text: Said
    distro: Said
    drift: Optional[drift.FieldDrift] = None


@dataclass(frozen=True)
class Report:
    """``run``: the run object of counts.json. ``training``: the training
    folder that an applied run is drawn against, as the report names it."""
    run: Mapping[str, Any]
    fields: Sequence[FieldReport]
    training: Optional[str] = None
    threshold: float = drift.THRESHOLD


def field_reports(buckets: Sequence[bucket.BaseBucket], counts: Mapping[str, Any],
                  training: Optional[Mapping[str, Any]] = None) -> List[FieldReport]:
    """The fields of the counts.json document ``counts``, one bucket each in
    the same order. The counts are put back on the buckets (``_distro``,
    ``_total``) before their texts are taken. With ``training`` (the training
    run's counts.json), each field's drift against it. ValueError when the
    buckets, the counts and training's fields do not match."""
    entries = counts["fields"]
    if len(entries) != len(buckets):
        raise ValueError("%d buckets for %d counted fields" % (len(buckets), len(entries)))
    trained = {e["name"]: e for e in training["fields"]} if training is not None else None
    made = []
    for b, entry in zip(buckets, entries):
        if b._name != entry["name"]:
            raise ValueError("the bucket %r stands where the counts have field %r" % (b._name, entry["name"]))
        if len(entry["slots"]) != len(entry["distro"]):
            raise ValueError("field %r: %d slot names for %d counts"
                             % (entry["name"], len(entry["slots"]), len(entry["distro"])))
        b._distro = list(entry["distro"])
        b._total = entry["total"]
        moved = None
        if trained is not None:
            if entry["name"] not in trained:
                raise ValueError("field %r: not in the training counts" % entry["name"])
            moved = drift.compare(trained[entry["name"]], entry)
        made.append(FieldReport(entry, say(b.get_short_label), say(lambda: str(b)), say(b.get_distro), moved))
    return made


def page(buckets: Sequence[bucket.BaseBucket], counts: Mapping[str, Any],
         training: Optional[Mapping[str, Any]] = None, training_shown: Optional[str] = None,
         threshold: float = drift.THRESHOLD) -> str:
    """The report of a run's counts.json document ``counts`` and its buckets;
    with ``training`` (named ``training_shown``), against it."""
    return render(Report(counts["run"], field_reports(buckets, counts, training), training_shown, threshold))


def render(report: Report) -> str:
    """The report's HTML; for new data against training, the fields by PSI, largest first."""
    fields = list(report.fields)
    if any(f.drift is not None for f in fields):
        fields.sort(key=lambda f: drift.largest_first(f.drift))
    title = _title(report)
    contents, sections = [], []
    for number, f in enumerate(fields, 1):
        ident = "field-%d" % number
        contents.append(_entry(f, ident, report.threshold))
        sections.append(_field(f, ident, report.threshold))
    return "".join([
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width,initial-scale=1">',
        element("title", {}, escape(title)), element("style", {}, _CSS), "</head>\n<body>",
        element("header", {}, element("h1", {}, escape(title))),
        element("nav", {"aria-labelledby": "contents"},
                '<h2 id="contents">Fields</h2>' + element("ol", {}, "".join(contents))),
        "\n<main>", _run(report), "".join(sections), "</main>\n</body></html>\n"])


def _title(report: Report) -> str:
    run = report.run
    title = "%s run: %s" % (str(run.get("command", "?")).capitalize(), cut(str(run.get("input", "?")), VALUE_CHARS))
    if report.training is not None:
        title += " against %s" % cut(report.training, VALUE_CHARS)
    return title


def _run(report: Report) -> str:
    run = report.run
    rows: List[Tuple[str, str]] = [
        ("Command", str(run.get("command", "?"))), ("Input", cut(str(run.get("input", "?")), 200)),
        ("Rows", _number(run.get("rows"))), ("Skipped rows", _number(run.get("skipped"))),
        ("Seconds", _number(run.get("seconds"), "{:,.2f}")),
        ("Rows per second", _number(run.get("rows_per_second"), "{:,.0f}"))]
    if report.training is not None:
        rows += [("Training folder", cut(report.training, 200)), ("PSI threshold", "%g" % report.threshold)]
    table = "".join("<tr><th>%s</th><td>%s</td></tr>" % (name, escape(value)) for name, value in rows)
    skipped = list(run.get("skipped_first") or [])[:SKIPPED_SHOWN]
    first = ""
    if skipped:
        first = ("<h3>First skipped rows</h3><table><tr><th>Where</th><th>What</th><th>Reason</th></tr>%s</table>"
                 % "".join("<tr><td>%s</td><td>%s</td><td>%s</td></tr>" % tuple(
                     escape(cut(str(s.get(k, "")), 120)) for k in ("line", "field", "reason")) for s in skipped))
    return element("section", {"id": "run"}, "<h2>Run</h2>" + element("table", {}, table) + first)


def _number(value: Any, form: str = "{:,}") -> str:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return "?"
    return form.format(value)


def _entry(f: FieldReport, ident: str, threshold: float) -> str:
    name = escape(cut(str(f.entry["name"]), VALUE_CHARS))
    return "<li>%s%s</li>" % (element("a", {"href": "#" + ident}, name), _psi(f.drift, threshold))


def _psi(moved: Optional[drift.FieldDrift], threshold: float) -> str:
    if moved is None:
        return ""
    if moved.psi is None:
        return ' <span class="psi">no PSI</span>'
    if moved.psi > threshold:
        return ' <strong class="psi over">PSI %.3f (over)</strong>' % moved.psi
    return ' <span class="psi">PSI %.3f</span>' % moved.psi


def _field(f: FieldReport, ident: str, threshold: float) -> str:
    # The bars are what grows with the data: fewer are drawn until the
    # field's part of the file is within its share.
    bars = MOST_BARS
    while True:
        made = _field_with(f, ident, threshold, bars)
        if len(made.encode()) <= FIELD_BYTES or bars == 0:
            return made
        bars //= 2


def _field_with(f: FieldReport, ident: str, threshold: float, bars: int) -> str:
    entry, moved = f.entry, f.drift
    over = moved is not None and moved.psi is not None and moved.psi > threshold
    heading = "%s <small>%s</small>%s" % (escape(cut(str(entry["name"]), VALUE_CHARS)),
                                          escape(str(entry.get("kind", ""))), _psi(moved, threshold))
    texts = "".join("<dt>%s</dt>%s" % (what, _said(said, coloured=what == "Distribution"))
                    for what, said in (("Short label", f.short_label), ("Bucket", f.text),
                                       ("Distribution", f.distro)))
    body = [element("h2", {}, heading),
            element("div", {}, element("dl", {"class": "texts"}, texts) + _missing(entry, moved) + _learned(entry)),
            element("div", {}, _chart(entry, moved, ident, bars))]
    return "\n" + element("section", {"id": ident, "class": "field over" if over else "field"}, "".join(body))


def _said(said: Said, coloured: bool) -> str:
    text = cut(said.text, TEXT_CHARS)
    if said.failed:
        return '<dd class="failed">raised <code>%s</code></dd>' % escape(text)
    return "<dd><code>%s</code></dd>" % (terminal_html(text) if coloured else escape(text))


def _missing(entry: Entry, moved: Optional[drift.FieldDrift]) -> str:
    parts = []
    for what, suffix, pair in (("None", drift.NONE_SLOT, moved.none if moved else None),
                               ("Unknown", drift.UNKNOWN_SLOT, moved.unknown if moved else None)):
        if pair is None:
            share = drift.slot_share(entry, suffix)
            if share is not None:
                parts.append("%s %s" % (what, percent(share)))
        elif pair[1] is not None:
            parts.append("%s %s (training %s)" % (what, percent(pair[1]),
                                                  "none counted" if pair[0] is None else percent(pair[0])))
    return element("p", {"class": "missing"}, " \u00b7 ".join(parts)) if parts else ""


def _chart(entry: Entry, moved: Optional[drift.FieldDrift], ident: str, bars: int) -> str:
    slots = [str(s) for s in entry["slots"]]
    if moved is None:
        counted = drift.shares(entry["distro"])
        series = [Series("", counted, "s0")] if counted is not None else []
    else:
        series = [Series(name, shares, css) for name, shares, css in
                  (("training", moved.train, "t"), ("new", moved.new, "s0")) if shares is not None]
    if not series:
        return '<p class="note">Nothing counted: no chart.</p>'
    note = ""
    drawn = list(range(len(slots)))
    if len(slots) > bars:
        size = [max(s.shares[i] for s in series) for i in drawn]
        drawn = sorted(sorted(drawn, key=lambda i: -size[i])[:bars])
        chosen = set(drawn)
        left = [i for i in range(len(slots)) if i not in chosen]
        note = element("p", {"class": "note"}, "%d of %d slots drawn, the largest; the other %d hold %s." % (
            len(drawn), len(slots), len(left),
            ", ".join(("%s %s" % (s.name, percent(sum(s.shares[i] for i in left)))).strip() for s in series)))
    if not drawn:
        return note
    title = "%s: share of each slot" % cut(str(entry["name"]), VALUE_CHARS)
    shown = [Series(s.name, [s.shares[i] for i in drawn], s.css) for s in series]
    return legend(shown) + bar_chart(ident + "-chart", title, [slots[i] for i in drawn], shown) + note


def _learned(entry: Entry) -> str:
    """The most common values as the run learned them, and where the cut by
    min_fraction fell. The categories kept are the first ones: they were
    chosen by share, and the list is sorted by count."""
    learned = entry.get("learned")
    if not learned:
        return ""
    kept = len(entry["slots"]) - 2
    distro = entry["distro"]
    present = sum(distro) - distro[0]
    fraction = escape("%g" % entry.get("min_fraction", 0))
    rows = []
    for rank, (value, count) in enumerate(learned, 1):
        if rank == kept + 1:
            rows.append('<tr class="cut"><td colspan="4">cut at min_fraction %s: the values below were '
                        "not kept</td></tr>" % fraction)
        share = percent(count / present) if present > 0 else ""
        rows.append('<tr><td class="n">%d</td><td>%s</td><td class="n">%s</td><td class="n">%s</td></tr>'
                    % (rank, escape(cut(str(value), VALUE_CHARS)), "{:,}".format(count), share))
    caption = "Learned categories: %d kept (min_fraction %s)" % (kept, fraction)
    if kept > len(learned):
        caption += ", the %d most common shown" % len(learned)
    return element("table", {"class": "learned"}, element("caption", {}, caption)
                   + "<tr><th>#</th><th>Value</th><th>Count</th><th>Share without None</th></tr>" + "".join(rows))


# Terminal colours: the 16 basic ones, the 6x6x6 cube and the greys of the
# 256-colour palette.
_BASIC = ("#000000", "#800000", "#008000", "#808000", "#000080", "#800080", "#008080", "#c0c0c0",
          "#808080", "#ff0000", "#00ff00", "#ffff00", "#0000ff", "#ff00ff", "#00ffff", "#ffffff")
_CUBE = (0, 95, 135, 175, 215, 255)
_SGR = re.compile(r"\x1b\[([0-9;]*)m")
_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f]")


def _palette(n: int) -> str:
    if n < 16:
        return _BASIC[n]
    if n < 232:
        n -= 16
        return "#%02x%02x%02x" % (_CUBE[n // 36], _CUBE[n // 6 % 6], _CUBE[n % 6])
    grey = 8 + 10 * (n - 232)
    return "#%02x%02x%02x" % (grey, grey, grey)


def _colour_after(parameters: str, colour: Optional[str]) -> Optional[str]:
    codes = [int(c) if c else 0 for c in parameters.split(";")]
    i = 0
    while i < len(codes):
        code = codes[i]
        if code in (0, 39):
            colour = None
        elif 30 <= code <= 37:
            colour = _BASIC[code - 30]
        elif 90 <= code <= 97:
            colour = _BASIC[code - 82]
        elif code == 38 and codes[i + 1:i + 2] == [5] and i + 2 < len(codes):
            if codes[i + 2] < 256:
                colour = _palette(codes[i + 2])
            i += 2
        i += 1
    return colour


def terminal_html(text: str) -> str:
    """``text`` with its terminal colour escapes (SGR) as coloured spans;
    other control characters are dropped."""
    out = []
    colour: Optional[str] = None
    start = 0
    for m in _SGR.finditer(text):
        out.append(_coloured(text[start:m.start()], colour))
        colour = _colour_after(m.group(1), colour)
        start = m.end()
    out.append(_coloured(text[start:], colour))
    return "".join(out)


def _coloured(text: str, colour: Optional[str]) -> str:
    piece = escape(_CONTROL.sub("", text))
    return '<span style="color:%s">%s</span>' % (colour, piece) if colour and piece else piece


_CSS = (
    "body{margin:0 auto;max-width:80rem;padding:0 1rem 2rem;color:#1b1b1b;background:#fff;"
    "font:15px/1.45 system-ui,-apple-system,'Segoe UI',Roboto,sans-serif}"
    "h1{font-size:1.5rem;margin:1rem 0 .5rem}h2{font-size:1.2rem;margin:0 0 .4rem}h3{font-size:1rem}"
    "small{color:#555;font-size:.85rem;font-weight:normal}"
    "code{font:13px/1.4 ui-monospace,Menlo,Consolas,monospace;white-space:pre-wrap;overflow-wrap:anywhere}"
    "table{border-collapse:collapse;margin:.4rem 0}caption{text-align:left;font-weight:bold}"
    "th,td{text-align:left;padding:.1rem .8rem .1rem 0;vertical-align:top;overflow-wrap:anywhere}"
    ".n{text-align:right}tr.cut td{border-top:2px dashed #a3261e;color:#a3261e;font-size:.85rem}"
    "nav ol{columns:13rem;padding-left:1.8rem;margin:.3rem 0 1rem}"
    "section{border-top:1px solid #bbb;padding:.8rem 0}"
    "section.over{border-left:.4rem solid #a3261e;padding-left:.7rem}"
    ".psi{font-size:.85rem;color:#333;font-weight:normal}.psi.over{color:#a3261e;font-weight:bold}"
    "dl.texts{display:grid;grid-template-columns:max-content minmax(0,1fr);gap:.15rem .8rem;margin:.3rem 0}"
    "dt{color:#555}dd{margin:0}.failed{color:#8a1c1c}.note,.missing{margin:.3rem 0;font-size:.9rem}"
    ".chart{display:block;max-width:46rem;margin:.4rem 0}.chart text{font-size:12px;fill:#1b1b1b}"
    ".chart .v{fill:#444}.s0{fill:#1f4e8c;background:#1f4e8c}.t{fill:#9dbbe0;background:#9dbbe0}"
    ".legend span{margin-right:1rem}.legend i{display:inline-block;width:.8rem;height:.8rem;"
    "margin-right:.3rem;vertical-align:-.1rem}"
    "@media (min-width:64rem){section.field{display:grid;grid-template-columns:minmax(0,5fr) minmax(0,6fr);"
    "column-gap:2rem}section.field h2{grid-column:1/-1}}"
    "@media (max-width:30rem){dl.texts{grid-template-columns:minmax(0,1fr)}dt{margin-top:.3rem}}"
    "@media print{body{max-width:none}section{break-inside:avoid}"
    "*{-webkit-print-color-adjust:exact;print-color-adjust:exact}}")
