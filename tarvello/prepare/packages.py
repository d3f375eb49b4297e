"""The package's import paths, which the tool ships to its Dask workers: a
worker on this machine then imports the package as the tool did (an
in-place build included); a worker elsewhere needs it installed. Imports
nothing of the package, so that it runs before the bucket module can load."""
import importlib
from typing import Dict, List

PACKAGES = ("tarvello", "tarvello.custom", "tarvello.custom.model_data",
            "tarvello.custom.model_data.row_handler_proto", "tarvello.prepare")


def paths() -> Dict[str, List[str]]:
    return {name: list(importlib.import_module(name).__path__) for name in PACKAGES}


def extend(shipped: Dict[str, List[str]]) -> None:
    """Adds the shipped folders to this process's packages."""
    for name, folders in shipped.items():
        package = importlib.import_module(name)
        for folder in folders:
            if folder not in package.__path__:
                package.__path__.append(folder)
