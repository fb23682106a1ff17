"""`velatro.reconcile`: a spec run on tables, with the result as Arrow tables."""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc

from . import _budget, _engine, _native
from ._budget import DEFAULT_MAX_BLOCK_SIZE, DEFAULT_MAX_PAIRS, RunPlan
from ._records import load_spec, read_records
from ._run_hooks import Progress, close_progress, emit_engine_log, progress_callback


class _Stream:
    """Hands one Arrow stream capsule to pyarrow through the PyCapsule protocol."""

    def __init__(self, capsule: Any) -> None:
        self._capsule = capsule

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        capsule, self._capsule = self._capsule, None
        if capsule is None:
            raise ValueError("the Arrow stream was already consumed")
        return capsule


def _table(capsule: Any) -> pa.Table:
    return pa.RecordBatchReader.from_stream(_Stream(capsule)).read_all()


class Resolution:
    """The outcome of a run of a spec over records.

    Attributes:
        clusters: one row per record: ``source_name``, ``external_id``, ``record_id``,
            ``cluster_id`` (the position of its cluster) and the cluster's ``velatro_id``.
        pairs: one row per kept pair decision (merge or review): both records' ids,
            sources and keys, ``decision``, ``confidence``, ``posterior_probability``,
            ``blocking_key``, ``matched_on``, ``temporal_adjustment`` and one
            ``score:<rule>`` column per rule.
        golden_records: one row per cluster, in cluster order: ``velatro_id``,
            ``member_count`` and one column per field.
        telemetry: the run's counts: blocks, pairs evaluated, decisions by type and
            per-rule statistics.
        score_distribution: the scores of every pair the rules scored, merged or not,
            in bins (``bins``: ``lower``, ``upper``, ``merge``, ``review``, ``no_merge``,
            ``expected_matches``), with the ``suggested_threshold`` and its expected
            precision and recall when the spec scores by comparison levels.
    """

    def __init__(
        self,
        spec_yaml: str,
        records: pa.Table,
        clusters: pa.Table,
        pairs: pa.Table,
        golden_records: pa.Table,
        telemetry: dict[str, Any],
        score_distribution: dict[str, Any] | None = None,
    ) -> None:
        self._spec_yaml = spec_yaml
        self.score_distribution = score_distribution
        self._records = records
        self.clusters = clusters
        self.pairs = pairs
        self.golden_records = golden_records
        self.telemetry = telemetry

    @property
    def records(self) -> pa.Table:
        """The canonical record table the run read."""
        return self._records

    def __repr__(self) -> str:
        return (
            f"<Resolution: {self.clusters.num_rows} records, "
            f"{self.golden_records.num_rows} clusters, {self.pairs.num_rows} kept pairs>"
        )

    def explain(self, a: str | tuple[str, str], b: str | tuple[str, str]) -> dict[str, Any] | None:
        """The full decision of the pair (a, b), with every rule's explanation.

        ``a`` and ``b`` are record ids, or ``(source_name, external_id)`` tuples. The
        pair need not have been kept: a pair decided "no_merge", or one that blocking
        never formed, is judged the same way. Returns None when temporal validity keeps
        the two records from being compared. Raises KeyError for an unknown record.
        """
        rows = [self._row_of(a), self._row_of(b)]
        two = self._records.take(pa.array(rows, pa.int64()))
        decision = _engine.explain(self._spec_yaml, two)
        if decision is None:
            return None
        decision["blocking_key"] = self._blocking_key(decision)
        return decision  # type: ignore[no-any-return]

    def waterfall(self, a: str | tuple[str, str], b: str | tuple[str, str]) -> dict[str, Any]:
        """How the pair's score is made up under comparison levels: the prior, each
        field's level, weight and term-frequency adjustment, the total and its match
        probability. Raises ValueError when the spec does not score by levels."""
        return _engine.waterfall(  # type: ignore[no-any-return]
            self._spec_yaml, self._records, self._row_of(a), self._row_of(b)
        )

    def waterfall_text(self, a: str | tuple[str, str], b: str | tuple[str, str]) -> str:
        """The waterfall of the pair as text lines."""
        from .charts import waterfall_text

        return waterfall_text(self.waterfall(a, b))

    def waterfall_chart(
        self, a: str | tuple[str, str], b: str | tuple[str, str], path: Any = None
    ) -> str:
        """The waterfall of the pair as a self-contained HTML chart (written to path)."""
        from .charts import waterfall_html

        return waterfall_html(self.waterfall(a, b), path)

    def score_histogram_chart(self, path: Any = None) -> str:
        """The score distribution as a self-contained HTML chart (written to path)."""
        from .charts import histogram_html

        if self.score_distribution is None:
            raise ValueError("the run scored no pair")
        return histogram_html(self.score_distribution, path)

    def _row_of(self, ref: str | tuple[str, str]) -> int:
        c = self.clusters
        if isinstance(ref, tuple):
            source, key = ref
            hit = pc.and_(
                pc.equal(c.column("source_name"), source), pc.equal(c.column("external_id"), key)
            )
        else:
            hit = pc.equal(c.column("record_id"), str(ref))
        idx = pc.indices_nonzero(hit)
        if len(idx) == 0:
            raise KeyError(ref)
        row = c.slice(idx[0].as_py(), 1)
        source = row.column("source_name")[0].as_py()
        key = row.column("external_id")[0].as_py()
        r = self._records
        at = pc.indices_nonzero(
            pc.and_(pc.equal(r.column("source_name"), source), pc.equal(r.column("external_id"), key))
        )
        return int(at[0].as_py())

    def _blocking_key(self, decision: dict[str, Any]) -> str | None:
        p = self.pairs
        a, b = decision["entity_a_id"], decision["entity_b_id"]
        hit = pc.or_(
            pc.and_(pc.equal(p.column("a_id"), a), pc.equal(p.column("b_id"), b)),
            pc.and_(pc.equal(p.column("a_id"), b), pc.equal(p.column("b_id"), a)),
        )
        idx = pc.indices_nonzero(hit)
        return None if len(idx) == 0 else p.column("blocking_key")[idx[0].as_py()].as_py()

    def to_pandas(self) -> dict[str, Any]:
        """The three tables as pandas DataFrames (needs pandas)."""
        return {name: t.to_pandas() for name, t in self._tables().items()}

    def to_polars(self) -> dict[str, Any]:
        """The three tables as polars DataFrames (needs polars)."""
        import polars as pl

        return {name: pl.from_arrow(t) for name, t in self._tables().items()}

    def write(self, directory: str | os.PathLike[str], format: str = "parquet") -> Path:
        """Writes clusters, pairs and golden_records as Parquet (or "csv", "json" lines)
        files into ``directory``, with the telemetry as telemetry.json; returns the path."""
        out = Path(directory)
        out.mkdir(parents=True, exist_ok=True)
        writers = {"parquet": _write_parquet, "csv": _write_csv, "json": _write_jsonl}
        if format not in writers:
            raise ValueError(f"format: expected one of {', '.join(writers)}, got {format!r}")
        for name, table in self._tables().items():
            writers[format](table, out / name)
        (out / "telemetry.json").write_text(json.dumps(self.telemetry, indent=2) + "\n")
        return out

    def _tables(self) -> dict[str, pa.Table]:
        return {
            "clusters": self.clusters,
            "pairs": self.pairs,
            "golden_records": self.golden_records,
        }


def _write_parquet(table: pa.Table, stem: Path) -> None:
    import pyarrow.parquet as pq

    pq.write_table(table, stem.with_suffix(".parquet"))


def _write_csv(table: pa.Table, stem: Path) -> None:
    import pyarrow.csv as pcsv

    # CSV has no lists: matched_on is written as its names joined by "|".
    for i, field in enumerate(table.schema):
        if pa.types.is_list(field.type):
            names = table.column(i).cast(pa.list_(pa.string()))
            table = table.set_column(i, field.name, pc.binary_join(names, "|"))
    pcsv.write_csv(table, stem.with_suffix(".csv"))


def _write_jsonl(table: pa.Table, stem: Path) -> None:
    with open(stem.with_suffix(".jsonl"), "w", encoding="utf-8") as f:
        for batch in table.to_batches():
            for row in batch.to_pylist():
                f.write(json.dumps(row, ensure_ascii=False, allow_nan=False, default=str) + "\n")


def reconcile(
    spec: str | os.PathLike[str],
    data: Any,
    *,
    threads: int | None = None,
    tenant_id: str | None = None,
    last_updated: Any = None,
    max_pairs: int | None = DEFAULT_MAX_PAIRS,
    max_block_size: int | None = DEFAULT_MAX_BLOCK_SIZE,
    profile: bool = False,
    checks: bool = True,
    progress: Progress = None,
) -> Resolution:
    """Runs ``spec`` over ``data`` and returns the clusters, kept pairs and golden records.

    Args:
        spec: YAML text of an identity spec, or a path to it.
        data: a pandas or polars DataFrame, a pyarrow Table or RecordBatchReader, any
            object with ``__arrow_c_stream__``, a list of dicts, a path to a CSV,
            Parquet or JSON Lines file, or a dict ``{source_name: any of those}``.
            Columns are renamed to canonical attributes with each source's
            ``attributes`` mapping; see :func:`velatro.read_records`.
        threads: worker threads (default: every processor). Results do not depend on it.
        tenant_id: tenant of records whose table has no ``tenant_id`` column.
        last_updated: ``last_updated`` of records whose table has no such column.
        max_pairs: the most candidate pairs the run may form (None: no limit).
        max_block_size: the most records one block may hold (None: no limit).
        profile: add the engine's stage timings and counts as ``telemetry["profile"]``.
        checks: first run :func:`velatro.check` on the spec and the records, log
            every finding on the ``velatro`` logger, and refuse to run when one is an
            error (default True).
        progress: a callable given a dict of ``blocks_done``, ``blocks_total``,
            ``pairs_done`` and ``pairs_total`` a few times a second; None shows a tqdm
            bar when tqdm is installed and stderr is a terminal; False shows nothing.

    The engine's log events (a scoring fallback, an expression that fails) reach the
    ``velatro`` logger once per run, with a count.

    Both budgets are checked from the block keys before any pair is compared; so is the
    memory the result would take (at most half the machine's memory). Use
    :func:`velatro.plan_run` to see the cost without running.

    Raises:
        KeyboardInterrupt: Ctrl-C; the run stops within a second and frees what it built.
        CheckError: with ``checks``, a finding of level "error" (see ``.findings``).
        ValueError: an unreadable spec ("Invalid spec YAML: ..."), a data problem naming
            the source, column and row, or a run over budget naming the blocking key and
            the block.
        TypeError: an argument of the wrong type.
    """
    n_threads = _threads(threads)
    budget = (_limit(max_pairs, "max_pairs"), _limit(max_block_size, "max_block_size"))
    yaml = load_spec(spec)
    # A broken spec is reported in the engine's own words before any data is read.
    _engine.check_spec(yaml)
    records = read_records(yaml, data, tenant_id=tenant_id, last_updated=last_updated)
    if checks:
        from .checks import preflight

        preflight(yaml, records)
    tree = _native.parse(yaml)
    long = _budget.long_values(records, _budget.similarity_fields(tree))
    for v in long.to_pylist()[:10]:
        _budget.log.warning(
            "record %s/%s: field %r holds %d characters; similarity rules still score it "
            "exactly, but each comparison of it is slow",
            v["source_name"], v["external_id"], v["field"], v["length"],
        )
    callback = progress_callback(progress)
    try:
        out = _engine.reconcile(
            yaml,
            records,
            n_threads,
            profile,
            *budget,
            _budget.memory_budget(),
            progress=callback,
        )
    finally:
        close_progress(callback)
    emit_engine_log(out["log"])
    telemetry = out["telemetry"]
    if profile:
        telemetry["profile"] = out["profile"]
    return Resolution(
        yaml,
        records,
        _table(out["clusters"]),
        _table(out["pairs"]),
        _table(out["golden_records"]),
        telemetry,
        out["score_distribution"],
    )


def plan_run(
    spec: str | os.PathLike[str],
    data: Any,
    *,
    threads: int | None = None,
    tenant_id: str | None = None,
    last_updated: Any = None,
) -> RunPlan:
    """The cost of ``reconcile(spec, data)`` without running it: blocks, pairs per
    blocking key, the largest blocks, and estimates of time and result memory from a
    timed sample of the run's own pairs (a few thousand). Takes the arguments of
    :func:`reconcile`."""
    yaml = load_spec(spec)
    _engine.check_spec(yaml)
    records = read_records(yaml, data, tenant_id=tenant_id, last_updated=last_updated)
    return _budget.census(yaml, records, _native.parse(yaml), _threads(threads))


def _threads(threads: int | None) -> int:
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads: expected a positive integer, got {threads!r}")
    return threads


def _limit(value: int | None, name: str) -> int:
    if value is None:
        return 0
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name}: expected a positive integer or None, got {value!r}")
    return value
