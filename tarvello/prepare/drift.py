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
