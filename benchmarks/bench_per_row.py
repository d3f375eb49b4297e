"""Per-call cost of every bucket kind, as multiples of the call floor.

For each kind, `_bucketize_value(value)` and `bucketize(row)` are timed for the
module, for the tests' plain-Python model of it (tests/bucket_model.py) and
for that model compiled with Cython, next to the floor: the builtin `id`
called the same way (a local callable, one argument) in the same loop.
`bucketize(row)` runs with an extractor whose `extract` is
`operator.itemgetter` (a C callable), and with the package's FieldExtractor.
Rows are shaped like the titanic data, from a fixed seed: ages with a fifth
None, ports of embarkation, booleans, class and deck. There are 1,000 of them,
each passed several times a loop, so that they stay in the cache as rows
fresh from a reader would.
Then the growth rows (the cost a larger list adds, in floors) and the memory
blocks that each call keeps once warm.

benchmarks/per_row.sh builds what this needs and runs it. By hand:
    BUCKET_BUILD_DIR=build /usr/bin/python3 benchmarks/bench_per_row.py [--calls N] [--repeat N]
"""
from __future__ import annotations

import argparse
import gc
import importlib.util
import operator
import os
import platform
import random
import sys
import time
from types import ModuleType
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import conftest  # noqa: E402,F401  (puts BUCKET_BUILD_DIR's build on the package path)
import bucket_model as model  # noqa: E402

from tarvello.custom.model_data import bucket  # noqa: E402
from tarvello.custom.model_data.extractor import FieldExtractor  # noqa: E402

AGE_BOUNDS = [5.0, 12.0, 18.0, 25.0, 30.0, 40.0, 50.0, 65.0]
PORTS = ["Southampton", "Cherbourg", "Queenstown"]
CLASSES = {"Third": 0, "First": 1, "Second": 2}
DECKS = ["A", "B", "C", "D", "E", "F", "G"]
POOL = 1_000


class ItemExtractor(FieldExtractor):
    """A FieldExtractor whose `extract` is a C callable, so that bucketize(row)
    adds only the bucket's own work and one subscript."""

    def __init__(self, field_name: str, data_type: str = "STRING") -> None:
        super().__init__(field_name, data_type)
        self.extract = operator.itemgetter(field_name)


class Kind(NamedTuple):
    name: str
    field: str
    data_type: str
    make: Callable[[ModuleType, FieldExtractor], Any]


KINDS = [
    Kind("Bucket", "age", "FLOAT", lambda lib, ex: lib.Bucket("age", ex, AGE_BOUNDS)),
    Kind("StringBucket", "embark_town", "STRING",
         lambda lib, ex: lib.StringBucket("embark_town", ex, PORTS)),
    Kind("BooleanBucket", "alone", "BOOL", lambda lib, ex: lib.BooleanBucket("alone", ex)),
    Kind("ValueBucket", "age", "FLOAT", lambda lib, ex: lib.ValueBucket("age", ex)),
    Kind("CategoricalBucket", "class", "STRING",
         lambda lib, ex: lib.CategoricalBucket("class", ex, 0.01, dict(CLASSES))),
    Kind("SimpleCategoricalBucket", "deck", "STRING",
         lambda lib, ex: lib.SimpleCategoricalBucket("deck", ex, DECKS)),
]

# (label, method, extractor): the calls timed for every kind; the first one
# takes the field's values, the others whole rows.
CALLS = [
    ("_bucketize_value(v)", "_bucketize_value", FieldExtractor),
    ("bucketize(row), itemgetter", "bucketize", ItemExtractor),
    ("bucketize(row), FieldExtractor", "bucketize", FieldExtractor),
]


class Growth(NamedTuple):
    label: str
    make: Callable[[ModuleType, List[Any]], Any]
    small: Tuple[List[Any], List[Any]]  # (values, the bucket's list)
    large: Tuple[List[Any], List[Any]]


def fresh(text: Optional[str]) -> Optional[str]:
    """An equal string of its own, as a CSV reader hands out."""
    return None if text is None else text.encode().decode()


def cycled(items: Sequence[Any], count: int) -> List[Any]:
    return [items[i % len(items)] for i in range(count)]


def titanic_rows(count: int, rng: random.Random) -> List[Dict[str, Any]]:
    """Rows with the titanic data's shares: 20% of ages missing, three ports
    (a few empty), 60% alone, the class and deck mix (77% of decks missing)."""
    rows = []
    for _ in range(POOL):
        rows.append({
            "age": None if rng.random() < 0.2 else round(rng.uniform(0.4, 80.0), 1),
            "embark_town": fresh(rng.choices(PORTS + [""], [644, 168, 77, 2])[0]),
            "alone": None if rng.random() < 0.02 else rng.random() < 0.6,
            "class": fresh(rng.choices(["Third", "First", "Second"], [491, 216, 184])[0]),
            "deck": fresh(rng.choices([None] + DECKS, [688, 15, 47, 59, 33, 32, 13, 4])[0]),
            "fare": round(rng.uniform(4.0, 120.0), 4),
        })
    return cycled(rows, count)


def growth_cases(rng: random.Random, count: int) -> List[Growth]:
    ages = cycled([round(rng.uniform(0.4, 80.0), 1) for _ in range(POOL)], count)
    towns = ["Town %04d" % i for i in range(1024)]
    tickets = ["T%06d" % i for i in range(100_000)]

    def draw(names: Sequence[str], distinct: int = POOL) -> List[Optional[str]]:
        return cycled([fresh(rng.choice(names)) for _ in range(distinct)], count)

    return [
        Growth("Bucket: 1,024 boundaries vs 4",
               lambda lib, bounds: lib.Bucket("age", FieldExtractor("age", "FLOAT"), bounds),
               (ages, [12.0, 18.0, 30.0, 65.0]), (ages, [80.0 * (i + 1) / 1025 for i in range(1024)])),
        Growth("StringBucket: 1,024 values vs 4",
               lambda lib, names: lib.StringBucket("town", FieldExtractor("town"), names),
               (draw(towns[:4]), towns[:4]), (draw(towns), towns)),
        # Values spread over all 100,000 categories, and as many values of
        # their own for the small bucket, so that only the map and the counts
        # differ between the two.
        Growth("CategoricalBucket: 100,000 categories vs 4",
               lambda lib, names: lib.CategoricalBucket(
                   "ticket", FieldExtractor("ticket"), 0.0, {name: i for i, name in enumerate(names)}),
               (draw(tickets[:4], count), tickets[:4]), (draw(tickets, count), tickets)),
    ]


LOOP = "def loop(call, args):\n    for arg in args:\n        call(arg)\n"


def new_loop() -> Callable[[Callable[[Any], Any], Sequence[Any]], None]:
    # Each timed callable gets a code object of its own, so that the
    # interpreter specialises its call site for that callable alone.
    space: Dict[str, Any] = {}
    exec(compile(LOOP, "<loop>", "exec"), space)
    return space["loop"]


class Timed:
    """One callable over one list of arguments; keeps the best time."""

    def __init__(self, call: Callable[[Any], Any], args: Sequence[Any]) -> None:
        self.call = call
        self.args = args
        self.loop = new_loop()
        self.best = float("inf")

    def run(self) -> None:
        start = time.perf_counter_ns()
        self.loop(self.call, self.args)
        self.best = min(self.best, time.perf_counter_ns() - start)

    @property
    def ns(self) -> float:
        return self.best / len(self.args)


def measure(timed: Sequence[Timed], repeat: int) -> None:
    """Runs every loop once to warm it, then repeat rounds of all of them, so
    that a slow spell of the machine spreads over every figure."""
    gc.collect()
    gc.disable()
    try:
        for t in timed:
            t.loop(t.call, t.args)
        for _ in range(repeat):
            for t in timed:
                t.run()
    finally:
        gc.enable()


def kept_blocks(call: Callable[[Any], Any], args: Sequence[Any]) -> int:
    """Memory blocks still held after a warm pass over args, outputs dropped."""
    loop = new_loop()
    loop(call, args)
    gc.collect()
    gc.disable()
    try:
        before = sys.getallocatedblocks()
        loop(call, args)
        return sys.getallocatedblocks() - before
    finally:
        gc.enable()


def load_compiled(path: str) -> ModuleType:
    # Loaded beside the plain model: its init function bears the model's name.
    spec = importlib.util.spec_from_file_location("bucket_model", path)
    assert spec is not None and spec.loader is not None, path
    compiled = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(compiled)
    return compiled


def same_as_module(kind: Kind, lib: ModuleType, rows: Sequence[Dict[str, Any]]) -> bool:
    """Whether lib's bucket gives the module's outputs and counts on rows."""
    made = [kind.make(impl, ItemExtractor(kind.field, kind.data_type)) for impl in (bucket, lib)]
    outputs = [[b.bucketize(row) for row in rows] for b in made]
    return outputs[0] == outputs[1] and made[0]._distro == made[1]._distro


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


Libs = List[Optional[ModuleType]]  # module, model, compiled model (None: not built)
KindTimes = List[Tuple[Kind, List[Tuple[str, Timed, List[Optional[Timed]]]]]]


def kind_runs(libs: Libs, rows: List[Dict[str, Any]]) -> KindTimes:
    """Per kind and call: the floor over the same arguments, and one run per library."""
    floor_rows = Timed(id, rows)
    table: KindTimes = []
    for kind in KINDS:
        values = [row[kind.field] for row in rows]
        floor_values = Timed(id, values)
        lines = []
        for number, (label, method, extractor) in enumerate(CALLS):
            args, floor = (values, floor_values) if number == 0 else (rows, floor_rows)
            runs = [None if lib is None
                    else Timed(getattr(kind.make(lib, extractor(kind.field, kind.data_type)), method), args)
                    for lib in libs]
            lines.append((label, floor, runs))
        table.append((kind, lines))
    return table


def ns_of(run: Optional[Timed]) -> Optional[float]:
    return None if run is None else run.ns


def ns(value: Optional[float]) -> str:
    return "-" if value is None else "%.1f" % value


def ratio(top: Optional[float], bottom: Optional[float]) -> str:
    return "-" if top is None or bottom is None else "%.2fx" % (top / bottom)


def print_table(header: str, columns: Sequence[str], row_format: str, rows: List[Sequence[Any]]) -> None:
    print()
    print(header)
    title = row_format % tuple(columns)
    print(title)
    print("-" * len(title))
    for row in rows:
        print((row_format % tuple(row)).rstrip())


def print_kinds(table: KindTimes, libs: Libs, rows: List[Dict[str, Any]]) -> None:
    lines: List[Sequence[Any]] = []
    for kind, calls in table:
        same = "/".join("-" if lib is None else "yes" if same_as_module(kind, lib, rows[:2000]) else "NO"
                        for lib in libs[1:])
        lines.append(("%s (%s, %s)" % (kind.name, kind.field, kind.data_type),) + ("",) * 10)
        value_ns = ns_of(calls[0][2][0])
        for number, (label, floor, runs) in enumerate(calls):
            module_ns, model_ns, compiled_ns = (ns_of(run) for run in runs)
            over = "-" if number == 0 or module_ns is None or value_ns is None \
                else "%+.1f" % ((module_ns - value_ns) / floor.ns)
            lines.append((
                "  " + label, ns(floor.ns), ns(module_ns), ns(model_ns), ns(compiled_ns),
                ratio(module_ns, floor.ns), ratio(model_ns, floor.ns), ratio(model_ns, module_ns),
                ratio(compiled_ns, module_ns), over, same if number == 0 else ""))
    print_table(
        "ns per call and their ratios; +floors: the module's bucketize(row) above its"
        " _bucketize_value(v);\nsame: the model and the compiled model give the module's outputs and counts",
        ("kind / call", "floor", "module", "model", "cython", "mod/floor", "model/floor", "model/mod",
         "cython/mod", "+floors", "same"),
        "%-34s %6s %7s %7s %7s  %9s %11s %9s %10s %7s %7s", lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=40_000, help="calls a loop (40,000)")
    parser.add_argument("--repeat", type=int, default=7, help="loops of each, the best kept (7)")
    parser.add_argument("--seed", type=int, default=14, help="seed of the rows and values (14)")
    parser.add_argument("--compiled-model", help="tests/bucket_model.py compiled with Cython")
    parser.add_argument("--compiled-model-missing", help="why there is no compiled model")
    options = parser.parse_args()
    started = time.perf_counter()

    rng = random.Random(options.seed)
    rows = titanic_rows(options.calls, rng)
    compiled = load_compiled(options.compiled_model) if options.compiled_model else None
    libs: Libs = [bucket, model, compiled]

    print("per-row benchmark: CPython %s (%s), %s"
          % (platform.python_version(), sys.executable, platform.platform()))
    print("machine: %s, %d cores" % (cpu_name(), os.cpu_count() or 0))
    print("module: %s" % os.path.relpath(bucket.__file__))
    print("compiled model: %s" % (os.path.relpath(options.compiled_model) if compiled is not None
                                  else "n/a (%s)" % (options.compiled_model_missing or "not given")))
    print("%d calls a loop, best of %d, gc off while timed; floor: id(v) called the same way"
          % (options.calls, options.repeat))

    table = kind_runs(libs, rows)
    growth_floor = Timed(id, [row["fare"] for row in rows])
    growth = [(case, [[None if lib is None else Timed(case.make(lib, size)._bucketize_value, args)
                       for lib in libs] for args, size in (case.small, case.large)])
              for case in growth_cases(rng, options.calls)]
    timed = [growth_floor]
    for _, calls in table:
        for _, floor, runs in calls:
            timed.append(floor)
            timed.extend(run for run in runs if run is not None)
    for _, pair in growth:
        timed.extend(run for runs in pair for run in runs if run is not None)
    # The floor of the rows is shared by every kind: time it once.
    measure(list({id(t): t for t in timed}.values()), options.repeat)

    print_kinds(table, libs, rows)

    lines: List[Sequence[Any]] = []
    for case, (small_runs, large_runs) in growth:
        cells = ["-" if small is None or large is None
                 else "%+.1f (%.0f->%.0f)" % ((large.ns - small.ns) / growth_floor.ns, small.ns, large.ns)
                 for small, large in zip(small_runs, large_runs)]
        lines.append([case.label] + cells)
    print_table("growth: cost a larger list adds to _bucketize_value(v), in floors of %.1f ns"
                " (ns small -> large)" % growth_floor.ns,
                ("case", "module", "model", "cython"), "%-46s %18s %18s %18s", lines)

    lines = []
    for kind in KINDS:
        values = [row[kind.field] for row in rows]
        for number, (label, method, extractor) in enumerate(CALLS[:2]):
            args = values if number == 0 else rows
            cells = ["-" if lib is None else "%.3f" % (
                kept_blocks(getattr(kind.make(lib, extractor(kind.field, kind.data_type)), method), args)
                / len(args)) for lib in libs]
            lines.append(["%s %s" % (kind.name, label)] + cells)
    print_table("memory blocks kept per call once warm, outputs dropped (sys.getallocatedblocks)",
                ("kind / call", "module", "model", "cython"), "%-52s %10s %10s %10s", lines)

    print()
    print("ran in %.1f s" % (time.perf_counter() - started))


if __name__ == "__main__":
    main()
