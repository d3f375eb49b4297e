"""A small writer of static SVG for the report's bar charts: elements as
text, escaped, and horizontal bars whose lengths are percentages of the
chart's width, so that one chart fits a phone and a wide screen."""
from __future__ import annotations

import html
import re
from typing import List, Mapping, NamedTuple, Sequence

_SCHEME = re.compile(r"(?i)(https?):")

# Row layout, in pixels: the slot's name on a line of its own, then one bar
# per series under it.
LABEL, BAR, GAP, ROW_GAP = 15, 10, 2, 9
# The largest share's bar takes this part of the width; its value follows it.
LONGEST = 80.0
LABEL_CHARS = 60
NAMED_CHARS = 200


def escape(text: str) -> str:
    """Text for HTML or SVG. Slashes and the colon after a scheme name are
    written as references too, so that no value from the data (a path, an
    address) reads as a link to anything outside the file."""
    return _SCHEME.sub(r"\1&#58;", html.escape(text).replace("/", "&#47;"))


def element(tag: str, attributes: Mapping[str, object], content: str = "") -> str:
    """``<tag ...>content</tag>``; ``content`` is markup, already escaped."""
    written = "".join(' %s="%s"' % (name, escape(str(value))) for name, value in attributes.items())
    return "<%s%s>%s</%s>" % (tag, written, content, tag)


def percent(share: float) -> str:
    if 0 < share < 0.0005:
        return "under 0.1%"
    return "%.1f%%" % (share * 100)


def cut(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[:limit - 1] + "\u2026"


class Series(NamedTuple):
    name: str
    shares: Sequence[float]
    css: str


def bar_chart(chart_id: str, title: str, labels: Sequence[str], series: Sequence[Series]) -> str:
    """Bars of every series per label, each series in its CSS class. Each
    slot is a list item named by its label and values for screen readers."""
    top = max([max(s.shares, default=0.0) for s in series] + [0.0]) or 1.0
    row = LABEL + len(series) * (BAR + GAP) + ROW_GAP
    items: List[str] = []
    for i, label in enumerate(labels):
        y = i * row
        shown = cut(label, LABEL_CHARS)
        values = ", ".join(("%s %s" % (s.name, percent(s.shares[i]))).strip() for s in series)
        parts = [element("text", {"x": 0, "y": y + LABEL - 4}, escape(shown))]
        for k, s in enumerate(series):
            bar_y = y + LABEL + k * (BAR + GAP)
            width = s.shares[i] / top * LONGEST
            parts.append(element("rect", {"class": s.css, "y": bar_y, "width": "%.2f%%" % width,
                                          "height": BAR}))
            parts.append(element("text", {"class": "v", "x": "%.2f%%" % width, "dx": 4, "y": bar_y + BAR - 1},
                                 percent(s.shares[i])))
        items.append(element("g", {"role": "listitem", "aria-label": "%s: %s" % (cut(label, NAMED_CHARS), values)},
                             "".join(parts)))
    return element("svg", {"class": "chart", "width": "100%", "height": len(labels) * row - ROW_GAP,
                           "aria-labelledby": chart_id},
                   element("title", {"id": chart_id}, escape(title))
                   + element("g", {"role": "list"}, "".join(items)))


def legend(series: Sequence[Series]) -> str:
    """A key to the series' colours, for more than one series."""
    if len(series) < 2:
        return ""
    return element("p", {"class": "legend"}, "".join(
        '<span><i class="%s"></i>%s</span>' % (s.css, escape(s.name)) for s in series))
