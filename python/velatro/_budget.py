"""The cost of a run before it starts: blocks, pairs per blocking key, the largest
blocks, and estimates of time and result memory from a timed sample of the run's own
pairs."""

from __future__ import annotations

import logging
import os
from dataclasses import dataclass, field
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc

from . import _engine

log = logging.getLogger("velatro")

#: Default of ``max_block_size``: records (block entries) one block may hold. A block of
#: 20,000 records is 200 million pairs, minutes of work for one key value.
DEFAULT_MAX_BLOCK_SIZE = 20_000

#: Default of ``max_pairs``: candidate pairs of a whole run (pairs shared by several
#: blocks counted once per block), about ten minutes on two cores with a rich spec.
DEFAULT_MAX_PAIRS = 500_000_000

#: Values longer than this many characters in a field that a similarity rule compares
#: are reported: the rule still gives its exact score, but an edit distance grows with
#: the product of both lengths (a pair of 1 MB values takes tens of seconds).
LONG_VALUE_CHARS = 10_000

#: Memory of one kept pair in the result's pairs table, beside its rule scores: two
#: record ids, sources and keys, decision, confidence, posterior, blocking key,
#: matched-on names and temporal factor, with their offsets and validity bits (the
#: engine's budget check uses the same figure).
PAIR_ROW_BYTES = 240
#: Memory of one rule score in a kept pair's row (a float64 and its validity bit).
SCORE_BYTES = 8


@dataclass(frozen=True)
class RunPlan:
    """What a run of a spec over records will cost, computed before any comparison.

    Attributes:
        records: records read; ``records_blocked``: those with at least one block key.
        blocks: distinct block keys.
        candidate_pairs: pairs inside blocks (a pair shared by k blocks counted k times,
            as the run's telemetry counts them).
        evaluated_pairs: the pairs the run will evaluate: candidate pairs less those that
            temporal validity rules out (exact when ``evaluated_exact``).
        keys: one row per blocking key of the spec: records, blocks, pairs, largest block.
        largest_blocks: the largest blocks: key text, size, pairs, blocking keys.
        estimated_seconds: wall time of the comparisons on ``threads`` threads.
        estimated_result_bytes: memory of the pairs table the run will return.
        long_values: rows (source, external id, field, length) with values above
            LONG_VALUE_CHARS in fields that similarity rules compare.
    """

    records: int
    records_blocked: int
    blocks: int
    candidate_pairs: int
    evaluated_pairs: int
    evaluated_exact: bool
    keys: pa.Table
    largest_blocks: pa.Table
    estimated_seconds: float
    estimated_result_bytes: int
    kept_fraction: float
    threads: int
    long_values: pa.Table = field(repr=False)

    def __str__(self) -> str:
        lines = [
            f"records:          {self.records} ({self.records_blocked} with a block key)",
            f"blocks:           {self.blocks}",
            f"candidate pairs:  {self.candidate_pairs}",
            f"pairs to compare: {self.evaluated_pairs}"
            + ("" if self.evaluated_exact else " (estimated)"),
            f"estimated time:   {self.estimated_seconds:.2f} s on {self.threads} thread(s)",
            f"estimated result: {self.estimated_result_bytes / 1e6:.1f} MB "
            f"({self.kept_fraction:.1%} of pairs kept)",
            "pairs per blocking key:",
        ]
        for k in self.keys.to_pylist():
            lines.append(
                f"  {k['key']:<30} {k['pairs']:>12} pairs  {k['blocks']:>9} blocks  "
                f"largest {k['largest_block']}"
            )
        lines.append("largest blocks:")
        for b in self.largest_blocks.to_pylist()[:5]:
            lines.append(f"  {b['block']!r:<40} {b['size']:>8} records {b['pairs']:>12} pairs")
        for v in self.long_values.to_pylist()[:5]:
            lines.append(
                f"long value: {v['source_name']}/{v['external_id']} field {v['field']} "
                f"({v['length']} characters)"
            )
        return "\n".join(lines)


def processors() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # pragma: no cover - not Linux
        return os.cpu_count() or 1


def similarity_fields(tree: dict[str, Any]) -> list[str]:
    """Fields compared by similarity rules (composite children included)."""
    fields: list[str] = []

    def visit(rule: Any) -> None:
        if not isinstance(rule, dict):
            return
        if rule.get("type") == "similarity":
            for key in ("field", "fields"):
                value = rule.get(key)
                for f in value if isinstance(value, list) else [value]:
                    if isinstance(f, str) and f not in fields:
                        fields.append(f)
        for child in rule.get("rules") or rule.get("children") or []:
            visit(child)

    for rule in tree.get("rules") or []:
        visit(rule)
    return fields


def long_values(records: pa.Table, fields: list[str], limit: int = LONG_VALUE_CHARS) -> pa.Table:
    rows: dict[str, list[Any]] = {"source_name": [], "external_id": [], "field": [], "length": []}
    for f in fields:
        if f not in records.column_names:
            continue
        length = pc.utf8_length(records.column(f))
        at = pc.indices_nonzero(pc.fill_null(pc.greater(length, limit), False))
        for i in at.to_pylist():
            rows["source_name"].append(records.column("source_name")[i].as_py())
            rows["external_id"].append(records.column("external_id")[i].as_py())
            rows["field"].append(f)
            rows["length"].append(length[i].as_py())
    return pa.table(rows, schema=pa.schema([("source_name", pa.string()),
                                             ("external_id", pa.string()),
                                             ("field", pa.string()),
                                             ("length", pa.int64())]))


def census(yaml: str, records: pa.Table, tree: dict[str, Any], threads: int | None) -> RunPlan:
    c = _engine.block_census(yaml, records)
    n_threads = threads or processors()
    seconds = (
        c["evaluated_pairs"] * c["seconds_per_pair"]
        + c["records_blocked"] * c["seconds_per_record"]
    ) / n_threads
    kept = c["evaluated_pairs"] * c["kept_fraction"]
    plan = RunPlan(
        records=c["records"],
        records_blocked=c["records_blocked"],
        blocks=c["blocks"],
        candidate_pairs=c["candidate_pairs"],
        evaluated_pairs=c["evaluated_pairs"],
        evaluated_exact=c["evaluated_exact"],
        keys=pa.Table.from_pylist(c["keys"], schema=pa.schema([
            ("key", pa.string()), ("repeats", pa.int64()), ("records", pa.int64()), ("entries", pa.int64()),
            ("blocks", pa.int64()), ("pairs", pa.int64()), ("largest_block", pa.int64())])),
        largest_blocks=pa.Table.from_pylist(c["largest_blocks"], schema=pa.schema([
            ("block", pa.string()), ("size", pa.int64()), ("pairs", pa.int64()),
            ("keys", pa.list_(pa.string()))])),
        estimated_seconds=seconds,
        estimated_result_bytes=int(kept * (PAIR_ROW_BYTES + SCORE_BYTES * c["rules"])),
        kept_fraction=c["kept_fraction"],
        threads=n_threads,
        long_values=long_values(records, similarity_fields(tree)),
    )
    for v in plan.long_values.to_pylist()[:10]:
        log.warning(
            "record %s/%s: field %r holds %d characters; similarity rules still score it "
            "exactly, but each comparison of it is slow",
            v["source_name"], v["external_id"], v["field"], v["length"],
        )
    return plan


def memory_budget() -> int:
    """Half of the machine's physical memory: what a result may take by default."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 2
    except (ValueError, OSError, AttributeError):  # pragma: no cover
        return 8 << 30
