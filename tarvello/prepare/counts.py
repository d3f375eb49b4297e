"""counts.json: what each field's bucket counted in a run, slot by slot (the
messages carry no counts), and the run's own figures. The report and the
drift figures are made from it, never from the rows."""
from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Sequence

from ..custom.model_data import bucket
from .categories import Categories
from .config import Field
from .reading import Left

FORMAT = 1
# The most common values a categorical field's entry lists, kept or not.
LEARNED_SHOWN = 20


def slots(field: Field, counted: bucket.BaseBucket) -> List[str]:
    """A name for each of the bucket's counts (``_distro``): the matrix
    columns' names, but for the categorical kind, which counts None, other
    values and each category, and the simple categorical kind, which counts
    nothing in its one slot."""
    if isinstance(counted, bucket.CategoricalBucket):
        index = counted._category_dict or {}
        return ["%s:null" % field.name, "%s:other" % field.name] + [
            "%s=%s" % (field.name, value) for value in sorted(index, key=index.__getitem__)]
    return field.slots() or [field.name]


def entries(fields: Sequence[Field], buckets: Sequence[bucket.BaseBucket],
            learned: Optional[Mapping[str, Categories]] = None) -> List[Dict[str, Any]]:
    """The fields' entries; with ``learned`` (a prepare run's), each
    categorical field's min_fraction and most common values."""
    made = []
    for f, b in zip(fields, buckets):
        entry: Dict[str, Any] = {"name": f.name, "kind": f.kind, "slots": slots(f, b), "distro": list(b._distro),
                                 "total": b._total}
        if learned is not None and f.learns:
            entry["min_fraction"] = f.args["min_fraction"]
            entry["learned"] = [[value, count] for value, count in learned[f.name][:LEARNED_SHOWN]]
        made.append(entry)
    return made


def run(command: str, shown: str, rows: int, skipped: int, left: Sequence[Left], seconds: float,
        **more: Any) -> Dict[str, Any]:
    """The run object: its command, input, rows written and left out (the
    first ones with their reasons), and time."""
    return dict(command=command, input=shown, rows=rows, skipped=skipped,
                skipped_first=[{"row": r.row, "line": r.place, "field": r.field, "reason": r.reason} for r in left],
                seconds=seconds, rows_per_second=rows / seconds, **more)


def document(run: Dict[str, Any], fields: List[Dict[str, Any]]) -> Dict[str, Any]:
    return {"format": FORMAT, "run": run, "fields": fields}
