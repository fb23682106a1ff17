"""`velatro.train`: learn a spec's Fellegi-Sunter probabilities from the records."""

from __future__ import annotations

import os
from typing import Any

import pyarrow as pa

from . import _engine, _native, charts
from ._records import as_table, load_spec, read_records, record_id

_MATCH_DECISIONS = {"merge": True, "match": True, "no_merge": False, "split": False,
                    "nomerge": False, "non_match": False}


class TrainedModel:
    """The outcome of :func:`train`.

    Attributes:
        spec_yaml: the original spec text with the learned model written into its
            ``decision.scoring`` section (every field with its levels, m and u, the
            ``prior`` and, unless ``set_thresholds=False``, the thresholds). Ready for
            :func:`velatro.reconcile` and for :func:`velatro.diff` against the original.
        report: how training went: ``method``, ``fields`` (per level ``m_probability``,
            ``u_probability``, ``match_weight``), ``prior``, ``iterations``, ``passes``
            (per blocking pass: its pairs, ``lambda``, ``iterations``, ``converged`` and
            the convergence ``trace``), ``random_pairs``, ``candidate_pairs``, the
            ``score_distribution`` of the candidate pairs under the model and the
            ``suggested_threshold`` with its expected precision and recall.
    """

    def __init__(self, original_yaml: str, spec_yaml: str, report: dict[str, Any]) -> None:
        self._original = original_yaml
        self.spec_yaml = spec_yaml
        self.report = report

    def __repr__(self) -> str:
        r = self.report
        return (
            f"<TrainedModel: {len(r['fields'])} fields, prior {r['prior']:.3g}, "
            f"{r['iterations']} iterations, method {r['method']}>"
        )

    @property
    def suggested_threshold(self) -> dict[str, Any] | None:
        """The threshold with the best expected F1, with its precision and recall."""
        return self.report["suggested_threshold"]  # type: ignore[no-any-return]

    def diff(self) -> dict[str, Any]:
        """:func:`velatro.diff` of the original spec against the learned one."""
        return _native.diff(self._original, self.spec_yaml)  # type: ignore[no-any-return]

    def levels_text(self) -> str:
        """The learned m, u and match weight of every level, as aligned text."""
        lines = [f"{'field: level':<44} {'m':>10} {'u':>10} {'weight':>8}"]
        for field in self.report["fields"]:
            for level in field["levels"]:
                lines.append(
                    f"{field['name'] + ': ' + level['name']:<44} {level['m_probability']:>10.4g} "
                    f"{level['u_probability']:>10.4g} {level['match_weight']:>8.2f}"
                )
        return "\n".join(lines)

    def match_weights_chart(self, path: str | os.PathLike[str] | None = None) -> str:
        """HTML chart of the match weight of every field and level (written to path)."""
        return charts.match_weights_html(self.report, path)

    def score_histogram_chart(self, path: str | os.PathLike[str] | None = None) -> str:
        """HTML histogram of the candidate pairs' scores under the learned model."""
        return charts.histogram_html(self.report["score_distribution"], path)


def _truth(value: Any, row: int) -> bool:
    """A label's match flag: a boolean, or its text (tables of labels may hold text)."""
    if isinstance(value, bool):
        return value
    text = str(value).strip().lower()
    if text in ("true", "1", "yes"):
        return True
    if text in ("false", "0", "no"):
        return False
    raise ValueError(f"labels: row {row}: match {value!r} is not true or false")


def _label_positions(labels: Any, records: pa.Table) -> list[tuple[int, int, bool]]:
    """(row, row, is match) for each labelled pair, the rows of ``records``."""
    table = as_table(labels, "labels")
    names = table.column_names
    ids = records.column("id").to_pylist()
    sources = records.column("source_name").to_pylist()
    keys = records.column("external_id").to_pylist()
    row_of: dict[Any, int] = {}
    for i, (rid, source, key) in enumerate(zip(ids, sources, keys)):
        row_of[rid or record_id(source, key)] = i
        row_of[(source, key)] = i
    if "a_id" in names and "b_id" in names:
        refs = list(zip(table.column("a_id").to_pylist(), table.column("b_id").to_pylist()))
    elif {"a_source", "a_external_id", "b_source", "b_external_id"} <= set(names):
        col = {n: table.column(n).to_pylist() for n in names}
        refs = [
            ((sa, ka), (sb, kb))
            for sa, ka, sb, kb in zip(
                col["a_source"], col["a_external_id"], col["b_source"], col["b_external_id"]
            )
        ]
    else:
        raise ValueError(
            "labels: expected columns a_id and b_id (record ids), or a_source, "
            f"a_external_id, b_source and b_external_id; got {', '.join(names)}"
        )
    if "match" in names:
        verdicts = [_truth(v, i) for i, v in enumerate(table.column("match").to_pylist())]
    elif "decision" in names:
        verdicts = []
        for i, d in enumerate(table.column("decision").to_pylist()):
            if str(d).lower() not in _MATCH_DECISIONS:
                raise ValueError(f"labels: row {i}: decision {d!r} is not merge or no_merge")
            verdicts.append(_MATCH_DECISIONS[str(d).lower()])
    else:
        raise ValueError("labels: expected a boolean 'match' column or a 'decision' column")
    out = []
    for i, ((a, b), match) in enumerate(zip(refs, verdicts)):
        if a not in row_of or b not in row_of:
            missing = a if a not in row_of else b
            raise ValueError(f"labels: row {i}: record {missing!r} is not among the records")
        out.append((row_of[a], row_of[b], match))
    return out


def train(
    spec: str | os.PathLike[str],
    data: Any,
    *,
    labels: Any = None,
    em_blocking: list[list[str]] | None = None,
    max_random_pairs: int | None = None,
    max_iterations: int | None = None,
    convergence_threshold: float | None = None,
    seed: int = 0,
    threads: int | None = None,
    set_thresholds: bool = True,
    tenant_id: str | None = None,
    last_updated: Any = None,
) -> TrainedModel:
    """Learns the m and u probabilities of the spec's Fellegi-Sunter fields from ``data``.

    u comes from ``max_random_pairs`` random record pairs (seeded: the same seed gives
    the same model, whatever ``threads``); m from expectation-maximisation over the
    candidate pairs of each blocking key in turn, leaving out the fields that key blocks
    on (or from ``labels``). Fields without ``levels`` get the default levels of their
    comparator (for Jaro-Winkler: exact, >= 0.92, >= 0.8, else). The prior is the
    expected number of matches among the candidate pairs over all record pairs.

    Args:
        spec: YAML text of an identity spec with Fellegi-Sunter scoring, or a path.
        data: the records, in any form :func:`velatro.reconcile` accepts.
        labels: pairs a person judged, instead of EM: a table with ``a_id``/``b_id``
            (record ids) or ``a_source``/``a_external_id``/``b_source``/``b_external_id``,
            and a boolean ``match`` or a ``decision`` ("merge" / "no_merge") column.
        em_blocking: blocking keys (lists of field names) for the EM passes instead of
            the spec's own, for example to learn the m of a field the spec blocks on.
        max_random_pairs, max_iterations, convergence_threshold: override the spec's
            ``training`` section (defaults 1000000, 25, 0.001).
        seed: seed of the random pairs.
        threads: worker threads (default: every processor).
        set_thresholds: write the suggested thresholds into the learned spec.
        tenant_id, last_updated: as for :func:`velatro.reconcile`.

    Raises:
        ValueError: the spec has no Fellegi-Sunter fields or no blocking keys, a label
            names an unknown record, or the data cannot be read.
    """
    if threads is not None and (not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads: expected a positive integer, got {threads!r}")
    yaml = load_spec(spec)
    _engine.check_spec(yaml)
    records = read_records(yaml, data, tenant_id=tenant_id, last_updated=last_updated)
    options: dict[str, Any] = {"seed": seed, "threads": threads or 0, "set_thresholds": set_thresholds}
    if max_random_pairs is not None:
        options["max_random_pairs"] = max_random_pairs
    if max_iterations is not None:
        options["max_iterations"] = max_iterations
    if convergence_threshold is not None:
        options["convergence_threshold"] = convergence_threshold
    if em_blocking is not None:
        options["em_blocking"] = [list(key) for key in em_blocking]
    if labels is not None:
        options["labels"] = _label_positions(labels, records)
    out = _engine.train(yaml, records, **options)
    return TrainedModel(yaml, out["spec_yaml"], out["report"])
