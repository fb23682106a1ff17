"""The spec tools of the package: documented entry points over the native core.

Each takes the spec as YAML text, or as a path (os.PathLike) to a YAML file, and
returns plain Python values. They behave exactly as the functions of
`velatro._native` of the same names, which they call.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

from . import _engine, _native
from ._run_hooks import Progress, close_progress, emit_engine_log, progress_callback

if TYPE_CHECKING:
    from ._native import ReconcileResult

Spec = str | os.PathLike[str]


def _text(spec: Spec) -> str:
    if isinstance(spec, os.PathLike):
        with open(spec, encoding="utf-8") as fh:
            return fh.read()
    return spec


def validate(yaml_str: Spec) -> list[str]:
    """Check a spec: the schema check's messages, then the semantic check's.

    Returns an empty list for a spec without findings. A spec with no findings can
    still be refused by a run; `validate_strict` also tries the run's reading.

    Raises:
        ValueError: the YAML text cannot be read (the reader's message, with line
            and column).
    """
    return _native.validate(_text(yaml_str))


def validate_strict(yaml_str: Spec) -> list[str]:
    """`validate`, plus at most one coded message (VLT-E100, VLT-E102 or VLT-E104)
    when the run's typed reading of the spec fails. An empty list means a run
    accepts the spec.

    Raises:
        ValueError: the YAML text cannot be read.
    """
    return _native.validate_strict(_text(yaml_str))


def validate_schema(yaml_str: Spec) -> list[str]:
    """The schema check alone: required top-level keys, the api_version format,
    rule names, types, weights and thresholds, source keys, and the limits of 50
    rules, 10 sources and 5 blocking keys.

    Raises:
        ValueError: the YAML text cannot be read.
    """
    return _native.validate_schema(_text(yaml_str))


def validate_semantics(yaml_str: Spec) -> list[str]:
    """The semantic check alone: rule fields that no source attribute declares,
    repeated rule or source names, and the order of the decision thresholds.

    Raises:
        ValueError: the YAML text cannot be read.
    """
    return _native.validate_semantics(_text(yaml_str))


def parse(yaml_str: Spec) -> Any:
    """The spec as plain Python data (dicts with sorted keys, lists, str, int,
    float, bool, None).

    Raises:
        ValueError: the YAML text cannot be read.
    """
    return _native.parse(_text(yaml_str))


def compile_ir(yaml_str: Spec) -> dict[str, Any]:
    """The plan document: api_version, identity_version, entity, sources (name,
    system, table), rule_count, blocking_strategy and thresholds, sealed with a
    "sha256:" plan_hash over those keys.

    Raises:
        ValueError: the YAML text cannot be read.
    """
    return _native.compile_ir(_text(yaml_str))


def diff(yaml_a: Spec, yaml_b: Spec) -> dict[str, Any]:
    """What changed from spec `yaml_a` (old) to spec `yaml_b` (new): rules and
    sources added, removed and modified, section changes, threshold and scoring
    changes, Fellegi-Sunter probability moves, and a one-line "summary".

    Raises:
        ValueError: either text cannot be read (the old one is read first).
    """
    return _native.diff(_text(yaml_a), _text(yaml_b))


def hash(yaml_str: Spec) -> str:  # noqa: A001 - the spec tool's established name
    """The spec's content fingerprint: "sha256:" and 64 hexadecimal digits.
    Formatting, key order and comments do not change it; the kind of a value does
    (1 and 1.0 differ).

    Raises:
        ValueError: the YAML text cannot be read.
    """
    return _native.hash(_text(yaml_str))


def plan(yaml_str: Spec) -> dict[str, Any]:
    """The plan report: sources, the eight execution stages, match strategies,
    survivorship, blocking analysis, risk flags and a text "summary".

    Raises:
        ValueError: "Failed to parse YAML for plan generation" for unreadable YAML.
    """
    return _native.plan(_text(yaml_str))


def reconcile_local(
    yaml_str: Spec,
    entities_json: str,
    *,
    threads: int | None = None,
    progress: Progress = None,
) -> ReconcileResult:
    """Run the spec on an entity list given as JSON text (an array of objects with
    id, tenant_id, external_id, entity_type, data, source_name, last_updated and
    optional valid_from and valid_to).

    Returns a dict with "clusters" (lists of record ids), "decisions" (the kept
    merge and review pairs), "golden_records" (one per cluster, with velatro_id
    and member_count) and "telemetry", exactly as `velatro._native.reconcile_local`.

    threads: worker threads (default: every processor); results do not depend on it.
    progress: a callable given a dict of blocks_done, blocks_total, pairs_done and
    pairs_total a few times a second; None shows a tqdm bar when tqdm is installed
    and stderr is a terminal; False shows nothing. The engine's log events (such as
    a scoring fallback) reach the `velatro` logger once per run, with a count.

    Raises:
        ValueError: "Invalid spec YAML: ..." or "Invalid entities JSON: ...".
        KeyboardInterrupt: Ctrl-C; the run stops and frees what it built.
    """
    if threads is not None and (not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads: expected a positive integer, got {threads!r}")
    callback = progress_callback(progress)
    try:
        result, events = _engine.reconcile_entities(
            _text(yaml_str), entities_json, threads or 0, callback
        )
    finally:
        close_progress(callback)
    emit_engine_log(events)
    return result  # type: ignore[no-any-return]
