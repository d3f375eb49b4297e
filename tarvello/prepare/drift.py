"""Drift between a training run's counts and a later run's, field by field:
the share of each output slot, the population stability index (PSI) over the
slots, and the shares of None and Unknown values. The inputs are the fields'
entries of ``counts.json`` (``name``, ``slots``, ``distro``)."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

Entry = Mapping[str, Any]

# Shares are floored here, so that a slot empty on one side gives a large
# term rather than an infinite one.
FLOOR = 0.0001

# The usual reading of the index: under 0.1 stable, up to 0.25 a moderate
# shift, above it a distribution that has moved.
THRESHOLD = 0.25

NONE_SLOT, UNKNOWN_SLOT = ":null", ":other"


def shares(distro: Sequence[int]) -> Optional[List[float]]:
    """Each slot's count over the field's sum; None for a field that counted nothing."""
    total = sum(distro)
    if total <= 0:
        return None
    return [count / total for count in distro]


def psi(train: Sequence[float], new: Sequence[float]) -> float:
    """Sum over the slots of (q - p) * ln(q / p), p the training share and q
    the new one, each floored at FLOOR."""
    if len(train) != len(new):
        raise ValueError("%d training shares against %d new ones" % (len(train), len(new)))
    total = 0.0
    for p, q in zip(train, new):
        p, q = max(p, FLOOR), max(q, FLOOR)
        total += (q - p) * math.log(q / p)
    return total


def slot_share(entry: Entry, suffix: str) -> Optional[float]:
    """The share of the field's slot named after it with ``suffix`` (NONE_SLOT,
    UNKNOWN_SLOT); None where it has no such slot or counted nothing."""
    slots: List[str] = list(entry["slots"])
    slot = entry["name"] + suffix
    counted = shares(entry["distro"])
    if counted is None or slot not in slots:
        return None
    return counted[slots.index(slot)]


@dataclass(frozen=True)
class FieldDrift:
    """One field at training and in new data. The shares are None for a side
    that counted nothing, and the index then too."""
    name: str
    slots: List[str]
    train: Optional[List[float]]
    new: Optional[List[float]]
    psi: Optional[float]
    none: Sequence[Optional[float]]
    unknown: Sequence[Optional[float]]

    def to_json(self) -> Dict[str, Any]:
        return {"name": self.name, "psi": self.psi, "slots": self.slots, "train": self.train,
                "new": self.new, "none": list(self.none), "unknown": list(self.unknown)}


def compare(train: Entry, new: Entry) -> FieldDrift:
    """The drift of one field; its slots must be training's."""
    if list(train["slots"]) != list(new["slots"]):
        raise ValueError("field %r: the slots differ from training's" % new["name"])
    p, q = shares(train["distro"]), shares(new["distro"])
    return FieldDrift(
        new["name"], list(new["slots"]), p, q, None if p is None or q is None else psi(p, q),
        (slot_share(train, NONE_SLOT), slot_share(new, NONE_SLOT)),
        (slot_share(train, UNKNOWN_SLOT), slot_share(new, UNKNOWN_SLOT)))


def compare_runs(train: Mapping[str, Any], new: Mapping[str, Any]) -> List[FieldDrift]:
    """Every field of the ``new`` counts.json document against the field of
    the same name in ``train``'s, largest PSI first; fields without an index
    last, in their order."""
    trained = {entry["name"]: entry for entry in train["fields"]}
    drifts = []
    for entry in new["fields"]:
        if entry["name"] not in trained:
            raise ValueError("field %r: not in the training counts" % entry["name"])
        drifts.append(compare(trained[entry["name"]], entry))
    return sorted(drifts, key=largest_first)


def largest_first(moved: Optional[FieldDrift]) -> Tuple[bool, float]:
    """The sort key that puts the largest PSI first and fields without one last."""
    if moved is None or moved.psi is None:
        return True, 0.0
    return False, -moved.psi


# The text table: the slots shown per field (the largest), and its widths,
# which keep a line within 100 columns.
SLOTS_SHOWN = 12
_SLOT_WIDTH, _NAME_WIDTH = 64, 40


def _share(value: Optional[float]) -> str:
    return "-" if value is None else "%.1f%%" % (value * 100)


def _cut(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[:limit - 3] + "..."


def text_table(drifts: Sequence[FieldDrift], threshold: float) -> List[str]:
    """The drift as lines of text: per field, its PSI (marked when over
    ``threshold``), the share of each slot at training and in the new data
    (the largest SLOTS_SHOWN of them), and the None and Unknown shares."""
    row = "  %-" + str(_SLOT_WIDTH) + "s %9s %9s"
    lines = [row % ("slot", "training", "new")]
    for moved in drifts:
        if moved.psi is None:
            sides = [side for side, shares in (("at training", moved.train), ("in the new data", moved.new))
                     if shares is None]
            lines.append("%s: PSI - (nothing counted %s)" % (_cut(moved.name, _NAME_WIDTH), " nor ".join(sides)))
            continue
        lines.append("%s: PSI %.4f%s" % (_cut(moved.name, _NAME_WIDTH), moved.psi,
                                         " (over %g)" % threshold if moved.psi > threshold else ""))
        assert moved.train is not None and moved.new is not None
        train, new = moved.train, moved.new
        shown = list(range(len(moved.slots)))
        if len(shown) > SLOTS_SHOWN:
            shown = sorted(sorted(shown, key=lambda i: -max(train[i], new[i]))[:SLOTS_SHOWN])
        for i in shown:
            lines.append(row % (_cut(moved.slots[i], _SLOT_WIDTH), _share(train[i]), _share(new[i])))
        rest = sorted(set(range(len(moved.slots))) - set(shown))
        if rest:
            lines.append("  ... %d more slots: training %s, new %s" % (
                len(rest), _share(sum(train[i] for i in rest)), _share(sum(new[i] for i in rest))))
        missing = ["%s %s -> %s" % (what, _share(pair[0]), _share(pair[1]))
                   for what, pair in (("None", moved.none), ("Unknown", moved.unknown)) if pair[0] is not None]
        if missing:
            lines.append("  " + ", ".join(missing))
    return lines
