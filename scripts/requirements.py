"""Prints the requirements that pyproject.toml declares, one a line, for
pip install: the package's dependencies, those of the extras named, and
with --build the build system's. --only NAME,... keeps those projects
alone; --lowest NAME prints NAME pinned at its lower bound instead.
Markers are kept: pip evaluates them for the interpreter it installs for.
Needs Python 3.11 or later (tomllib)."""
import argparse
import pathlib
import re
import sys
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[1]


def name(requirement: str) -> str:
    return re.match(r"[A-Za-z0-9._-]+", requirement).group(0).lower().replace("_", "-")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", action="store_true")
    parser.add_argument("--extra", action="append", default=[])
    parser.add_argument("--only")
    parser.add_argument("--lowest")
    args = parser.parse_args()
    with open(ROOT / "pyproject.toml", "rb") as f:
        pyproject = tomllib.load(f)
    project = pyproject["project"]
    requirements = list(project["dependencies"])
    for extra in args.extra:
        requirements += project["optional-dependencies"][extra]
    if args.build:
        requirements += pyproject["build-system"]["requires"]
    if args.lowest:
        found = [r for r in requirements if name(r) == args.lowest]
        bound = re.search(r">=\s*([0-9][0-9.]*)", found[0]) if found else None
        if bound is None:
            print("requirements.py: no lower bound of %s" % args.lowest, file=sys.stderr)
            return 1
        print("%s==%s" % (args.lowest, bound.group(1)))
        return 0
    if args.only:
        wanted = set(args.only.split(","))
        requirements = [r for r in requirements if name(r) in wanted]
    print("\n".join(requirements))
    return 0


if __name__ == "__main__":
    sys.exit(main())
