"""velatro: identity resolution driven by one YAML identity spec.

`reconcile` runs a spec over tables (DataFrames, Arrow, CSV/Parquet/JSON Lines files)
and returns Arrow tables; `check` tells what a spec and its records will really do.
The spec tools (`validate`, `hash`, `plan`, `diff`, ...) and `reconcile_local` on
entity JSON are documented entry points over the native extension `velatro._native`
(a spec may also be given as a path).
"""

from . import _native
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
from ._native import PanicException
from ._records import (
    DEFAULT_LAST_UPDATED,
    DEFAULT_TENANT_ID,
    RECORD_ID_NAMESPACE,
    read_records,
    record_id,
)
from ._budget import DEFAULT_MAX_BLOCK_SIZE, DEFAULT_MAX_PAIRS, LONG_VALUE_CHARS, RunPlan
from ._resolution import Resolution, plan_run, reconcile

__all__ = [
    "PanicException",
    "Resolution",
    "reconcile",
    "plan_run",
    "RunPlan",
    "DEFAULT_MAX_PAIRS",
    "DEFAULT_MAX_BLOCK_SIZE",
    "LONG_VALUE_CHARS",
    "read_records",
    "record_id",
    "RECORD_ID_NAMESPACE",
    "DEFAULT_TENANT_ID",
    "DEFAULT_LAST_UPDATED",
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
