"""Prepares data for a model with the buckets of
``tarvello.custom.model_data.bucket``: the ``tarvello-prepare`` command
(``python3 -m tarvello.prepare``), and from Python ``fit``, ``load`` and the
``Prepared`` they return (see ``api``); ``tarvello.prepare.sklearn`` holds a
scikit-learn transformer."""
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .api import Prepared, Transformed, fit, load
    from .config import PrepareError

__all__ = ["PrepareError", "Prepared", "Transformed", "fit", "load"]


def __getattr__(name: str) -> Any:
    # Imported when first asked for: a Dask scheduler, which unpickles the
    # tool's tasks, imports this package where the compiled modules that
    # api needs cannot be found.
    if name in __all__:
        from . import api
        return getattr(api, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
