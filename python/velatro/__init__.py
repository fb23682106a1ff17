"""velatro: identity resolution driven by one YAML identity spec.

The work is done by the native extension `velatro._native`; its functions are
re-exported here for convenience.
"""

from . import _native
from ._native import PanicException

__all__ = ["PanicException"]
for _name in (
    "validate",
    "validate_strict",
    "validate_schema",
    "validate_semantics",
    "parse",
    "compile_ir",
    "diff",
    "hash",
    "plan",
    "reconcile_local",
):
    if hasattr(_native, _name):
        globals()[_name] = getattr(_native, _name)
        __all__.append(_name)
del _name

__version__ = "0.1.0"

from .checks import CheckError, Finding, check  # noqa: E402

__all__ += ["check", "Finding", "CheckError"]
