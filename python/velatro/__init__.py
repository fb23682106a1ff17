"""velatro: identity resolution driven by one YAML identity spec.

The work is done by the native extension `velatro._native`; the functions here
take the same arguments (a spec may also be a path) and carry documentation.
"""

from . import _native
from ._native import PanicException

from ._functions import (
    compile_ir,
    diff,
    hash,
    parse,
    plan,
    reconcile_local,
    validate,
    validate_schema,
    validate_semantics,
    validate_strict,
)

__all__ = [
    "PanicException",
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
]

__version__ = "0.1.0"

from .checks import CheckError, Finding, check  # noqa: E402

__all__ += ["check", "Finding", "CheckError"]
