"""Pre-flight checks: what a spec and its records will really do, before a run.

The engine never fails on a surprising spec or on surprising data: a missing
blocking section compares no pair, a rule on a column the records do not have
scores 0 everywhere, an empty string is a value like any other. `check` makes
those outcomes visible as a list of `Finding` records.

Levels: "error" where the run cannot be meaningful (it would compare no pair,
merge nothing whatever the data, or merge every compared pair), "warning" for
anything that silently changes results or costs, "info" for figures worth
knowing (missing rates, block sizes).
"""

from __future__ import annotations

import logging
import math
import os
import re
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

from . import _native

__all__ = ["Finding", "CheckError", "check", "entities_table", "log_findings"]

Level = Literal["error", "warning", "info"]

_LOG = logging.getLogger("velatro")


@dataclass(frozen=True)
class Finding:
    """One result of `check`.

    Attributes:
        level: "error" (the run cannot be meaningful), "warning" (results or cost
            differ from what the spec suggests) or "info" (figures).
        code: a short stable identifier such as "no_blocking" or "field_absent",
            meant for filtering and tests.
        message: one or more English sentences: what happens and what to do.
        where: the place the finding is about: a spec path such as
            "decision.scoring.method" or "rules[2].field", or a data location
            such as "data.email" or "data[crm].email"; "" for the whole spec.
    """

    level: Level
    code: str
    message: str
    where: str = ""

    def __str__(self) -> str:
        place = f" ({self.where})" if self.where else ""
        return f"{self.level}: {self.code}{place}: {self.message}"


class CheckError(ValueError):
    """Raised by a run when `check` reports an error finding.

    Attributes:
        findings: every finding of the check (errors, warnings and info).
    """

    def __init__(self, findings: Sequence[Finding]) -> None:
        self.findings = list(findings)
        errors = [f for f in self.findings if f.level == "error"]
        lines = "\n".join(f"  - {f}" for f in errors)
        super().__init__(f"the spec cannot run meaningfully on these records:\n{lines}")


# ---------------------------------------------------------------------------
# Reading the spec


def _spec_text(spec: str | os.PathLike[str]) -> str:
    if isinstance(spec, os.PathLike):
        with open(spec, encoding="utf-8") as fh:
            return fh.read()
    if isinstance(spec, str):
        return spec
    raise TypeError(f"spec must be YAML text or a path, not {type(spec).__name__}")


def _text(value: Any) -> str:
    """A scalar as the direct reading takes it: its text as written."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def _number(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value)


def _fmt(x: float) -> str:
    if math.isinf(x):
        return "infinity" if x > 0 else "-infinity"
    text = f"{x:.2f}"
    return "0.00" if text == "-0.00" else text


def _plain(x: float) -> str:
    return str(int(x)) if x == int(x) and abs(x) < 1e15 else repr(x)


def _mapping(value: Any) -> dict[str, Any]:
    return value if isinstance(value, dict) else {}


def _list(value: Any) -> list[Any]:
    return value if isinstance(value, list) else []


_WEIGHTED, _FS, _ML, _CUSTOM = "weighted_sum", "fellegi_sunter", "ml_ensemble", "custom"
_NORMALIZERS = ("name", "email", "phone", "domain", "nickname")
_BIG = 1.7976931348623157e308


@dataclass
class _Rule:
    """One rule of the spec as the engine builds it."""

    path: str
    name: str
    type: str
    field: str | None
    weight: float  # as used by the weighted sum (composites always 1.0)
    children: list[_Rule]
    raw: dict[str, Any]
    generated: bool = False  # added for a Fellegi-Sunter field

    def leaves(self) -> Iterator[_Rule]:
        if self.type == "composite":
            for child in self.children:
                yield from child.leaves()
        else:
            yield self

    def max_score(self, missing: Callable[[str], bool]) -> float:
        """The highest score this rule can give a pair whose fields in `missing`
        are absent: 0 for a leaf on such a field and for ml rules."""
        if self.type == "ml":
            return 0.0
        if self.type == "composite":
            if not self.children:
                return 0.0
            return sum(c.max_score(missing) for c in self.children) / len(self.children)
        return 0.0 if self.field is None or missing(self.field) else 1.0


@dataclass
class _FsField:
    path: str
    name: str
    w_agree: float
    w_disagree: float


@dataclass
class _Scoring:
    method: str  # the method the engine ends up applying to every pair
    configured: str  # the method the spec asks for
    fallback: str | None  # why the engine falls back to weighted sum
    fs_fields: list[_FsField] | None  # set when the Fellegi-Sunter plan exists
    fs_match: float | None = None
    fs_possible: float | None = None


def _rule_field(raw: dict[str, Any]) -> str | None:
    value = raw.get("field", raw.get("fields"))
    if isinstance(value, list):
        value = value[0] if value else None
    return value if isinstance(value, str) else None


def _read_rule(raw: Any, path: str) -> _Rule:
    raw = _mapping(raw)
    kind = _text(raw.get("type", ""))
    children = [
        _read_rule(child, f"{path}.children[{i}]")
        for i, child in enumerate(_list(raw.get("children")))
    ]
    given = _number(raw.get("weight"))
    weight = 1.0 if kind == "composite" or given is None else given
    return _Rule(path, _text(raw.get("name", "")), kind, _rule_field(raw), weight, children, raw)


def _fs_weights(item: dict[str, Any]) -> tuple[float, float]:
    w = _number(item.get("weight"))
    w = 1.0 if w is None else w
    m = _number(item.get("m_probability")) or 0.0
    u = _number(item.get("u_probability")) or 0.0

    def ln(x: float) -> float:
        if x > 0:
            return math.log(x)
        return -math.inf if x == 0 else math.nan

    agree = w * ln(m / u) if u > 0 else w * _BIG
    disagree = w * ln((1 - m) / (1 - u)) if 1 - u > 0 else w * -_BIG
    return agree, disagree


class _Spec:
    """The parts of a spec tree the checks need, with the typed reading's defaults
    and the compiler's resolutions applied."""

    def __init__(self, tree: dict[str, Any]) -> None:
        self.tree = tree
        self.sources = self._read_sources(tree.get("sources"))
        self.rules = [_read_rule(r, f"rules[{i}]") for i, r in enumerate(_list(tree.get("rules")))]
        self.blocking = tree.get("blocking")
        self.keys: list[list[str]] = [
            [_text(f) for f in _list(k)] for k in _list(_mapping(self.blocking).get("keys"))
        ]
        decision = _mapping(tree.get("decision"))
        self.decision = decision
        thresholds = _mapping(decision.get("thresholds"))
        self.match = _number(thresholds.get("match"))
        self.review = _number(thresholds.get("review"))
        scoring = decision.get("scoring")
        self.scoring_raw: dict[str, Any] = (
            {"method": scoring} if isinstance(scoring, str) else _mapping(scoring)
        )
        self.scoring = self._read_scoring(self.scoring_raw)
        self._add_fs_rules()
        self.top_weight = sum(r.weight for r in self.rules)

    @staticmethod
    def _read_sources(value: Any) -> list[tuple[str, str, dict[str, Any]]]:
        if isinstance(value, dict):
            return [(name, f"sources.{name}", _mapping(value[name])) for name in sorted(value)]
        return [
            (_text(_mapping(s).get("name", "")), f"sources[{i}]", _mapping(s))
            for i, s in enumerate(_list(value))
        ]

    def _read_scoring(self, raw: dict[str, Any]) -> _Scoring:
        configured = _text(raw.get("method", _WEIGHTED))
        if raw.get("strategy") == _FS:
            configured = _FS
            if raw.get("fields") is None or raw.get("thresholds") is None:
                missing = " and ".join(k for k in ("fields", "thresholds") if raw.get(k) is None)
                return _Scoring(
                    _WEIGHTED, _FS, f"`strategy: fellegi_sunter` without {missing}", None
                )
            fields = []
            for i, item in enumerate(_list(raw.get("fields"))):
                item = _mapping(item)
                agree, disagree = _fs_weights(item)
                path = f"decision.scoring.fields[{i}]"
                fields.append(_FsField(path, _text(item.get("name", "")), agree, disagree))
            th = _mapping(raw.get("thresholds"))
            return _Scoring(
                _FS, _FS, None, fields, _number(th.get("match")), _number(th.get("possible"))
            )
        if configured == _FS:
            return _Scoring(
                _WEIGHTED, _FS, "`method: fellegi_sunter` without `strategy: fellegi_sunter`", None
            )
        if configured == _ML and raw.get("ml_ensemble") is None:
            return _Scoring(
                _WEIGHTED, _ML, "`method: ml_ensemble` without an `ml_ensemble` section", None
            )
        if configured == _CUSTOM:
            expression = _mapping(raw.get("custom")).get("expression")
            if not isinstance(expression, str) or not expression:
                return _Scoring(
                    _WEIGHTED, _CUSTOM, "`method: custom` without `custom.expression`", None
                )
            error = _expression_error(expression)
            if error:
                return _Scoring(
                    _WEIGHTED, _CUSTOM, f"a custom expression that does not compile ({error})", None
                )
        return _Scoring(configured, configured, None, None)

    def _add_fs_rules(self) -> None:
        raw = self.scoring_raw
        if raw.get("strategy") != _FS or not isinstance(raw.get("fields"), list):
            return
        names = {r.name for r in self.rules}
        for i, item in enumerate(raw["fields"]):
            item = _mapping(item)
            name = _text(item.get("name", ""))
            if name in names:
                continue
            weight = _number(item.get("weight"))
            kind = "exact" if item.get("comparator") == "exact" else "similarity"
            self.rules.append(
                _Rule(
                    f"decision.scoring.fields[{i}]",
                    name,
                    kind,
                    name,
                    1.0 if weight is None else weight,
                    [],
                    item,
                    generated=True,
                )
            )

    def rule_named(self, name: str) -> _Rule | None:
        return next((r for r in self.rules if r.name == name), None)

    def scale(self, missing: Callable[[str], bool] = lambda _: False) -> tuple[float, float] | None:
        """The lowest and highest score a pair can get under the applied method,
        when the fields in `missing` are absent; None when it cannot be bounded."""
        method = self.scoring.method
        if method == _FS and self.scoring.fs_fields is not None:
            lo = hi = 0.0
            for f in self.scoring.fs_fields:
                rule = self.rule_named(f.name)
                top = rule.max_score(missing) if rule else 0.0
                span = f.w_agree - f.w_disagree
                lo += f.w_disagree + min(0.0, span) * top
                hi += f.w_disagree + max(0.0, span) * top
            return lo, hi
        if method in (_ML, _CUSTOM):
            return 0.0, 1.0
        if any(r.weight < 0 for r in self.rules):
            return None
        if self.top_weight <= 0:
            return 0.0, 0.0
        return 0.0, sum(r.weight * r.max_score(missing) for r in self.rules) / self.top_weight

    def thresholds(self) -> tuple[str, float | None, str, float | None]:
        """The merge and review thresholds the applied method compares with."""
        if self.scoring.method == _FS and self.scoring.fs_fields is not None:
            return (
                "decision.scoring.thresholds.match",
                self.scoring.fs_match,
                "decision.scoring.thresholds.possible",
                self.scoring.fs_possible,
            )
        return "decision.thresholds.match", self.match, "decision.thresholds.review", self.review

    def method_text(self) -> str:
        names = {
            _WEIGHTED: "weighted-sum",
            _FS: "Fellegi-Sunter",
            _ML: "ML-ensemble",
            _CUSTOM: "custom-expression",
        }
        return names.get(self.scoring.method, self.scoring.method)


def _expression_error(expression: str) -> str | None:
    """The compile error of a custom expression, from the native core when it
    offers the check; None when it compiles or cannot be checked here."""
    engine = _engine()
    fn = getattr(engine, "expression_error", None) if engine else None
    if fn is None:
        return None
    result = fn(expression)
    return result if isinstance(result, str) and result else None


def _engine() -> Any:
    try:
        from . import _engine as engine
    except ImportError:
        return None
    return engine


# ---------------------------------------------------------------------------
# Spec-only checks


def _validation_findings(text: str) -> tuple[list[Finding], bool]:
    """The schema, semantic and strict findings of the native validators, and
    whether the typed reading (the one a run uses) accepts the spec."""
    schema = _native.validate_schema(text)
    everything = _native.validate_strict(text)
    semantic_end = len(_native.validate(text))
    findings = []
    for i, message in enumerate(everything):
        if i < len(schema):
            findings.append(Finding("warning", "schema", message, _message_where(message)))
        elif i < semantic_end:
            findings.append(Finding("warning", "semantics", message, _message_where(message)))
        else:
            findings.append(Finding("error", "spec_unreadable", message, ""))
    readable = len(everything) == semantic_end
    return findings, readable


def _message_where(message: str) -> str:
    match = re.match(r"^((?:rules|sources)\[\d+\]):", message)
    if match:
        return match.group(1)
    match = re.match(r"^Missing required field: (\w+)", message)
    if match:
        return match.group(1)
    if message.startswith("Threshold error"):
        return "decision.thresholds"
    if message.startswith("Too many blocking keys"):
        return "blocking.keys"
    return ""


def _check_blocking(spec: _Spec) -> Iterator[Finding]:
    if spec.blocking is None:
        yield Finding(
            "error",
            "no_blocking",
            "The spec has no `blocking` section, so the run forms no block and compares no pair: "
            "every record stays its own cluster. Add blocking keys, for example "
            "`blocking: {keys: [[email], [last_name, postcode]]}`.",
            "blocking",
        )
        return
    if not spec.keys:
        yield Finding(
            "error",
            "no_blocking_keys",
            "`blocking.keys` is empty, so the run forms no block and compares no pair: every record "
            "stays its own cluster. Add at least one key, a list of field names such as [email].",
            "blocking.keys",
        )
    strategy = _text(_mapping(spec.blocking).get("strategy", "composite"))
    if strategy in ("single", "ml_predicted"):
        yield Finding(
            "warning",
            "not_used",
            f"`blocking.strategy: {strategy}` behaves exactly like `composite`: each key is built "
            "from its fields' values and no model predicts blocks.",
            "blocking.strategy",
        )
    seen: dict[tuple[str, ...], list[int]] = {}
    for i, key in enumerate(spec.keys):
        seen.setdefault(tuple(key), []).append(i)
        if not key:
            yield Finding(
                "warning",
                "empty_blocking_key",
                f"blocking.keys[{i}] has no field: it gives every record the same empty key, so all "
                "records form one block and every pair is compared (n(n-1)/2 pairs).",
                f"blocking.keys[{i}]",
            )
    for fields, positions in seen.items():
        if len(positions) < 2:
            continue
        k = len(positions)
        where = ", ".join(f"blocking.keys[{i}]" for i in positions)
        yield Finding(
            "warning",
            "repeated_blocking_key",
            f"The blocking key [{', '.join(fields)}] is given {k} times ({where}). Each copy gives every "
            f"record the same key again, so its blocks list each record {k} times and the run "
            f"evaluates about {k * k} times the pairs before dropping the repeats, including pairs "
            "of a record with itself. Keep one copy.",
            f"blocking.keys[{positions[1]}]",
        )


def _check_scoring(spec: _Spec) -> Iterator[Finding]:
    raw, scoring = spec.scoring_raw, spec.scoring
    if scoring.fallback:
        needs = {
            _FS: "Fellegi-Sunter scoring needs `strategy: fellegi_sunter`, `fields` and `thresholds` "
            "under `decision.scoring`",
            _ML: "ML-ensemble scoring needs `ml_ensemble: {coefficients: {rule_name: weight}, bias: 0}`",
            _CUSTOM: "custom scoring needs a valid `custom: {expression: ...}` over rule names",
        }[scoring.configured]
        yield Finding(
            "warning",
            "scoring_fallback",
            f"The spec asks for {scoring.configured} scoring, but with {scoring.fallback} the engine "
            "scores every pair by weighted sum instead (and compares the scores with "
            f"`decision.thresholds`). {needs}.",
            (
                "decision.scoring.strategy"
                if scoring.configured == _FS and "strategy" in raw
                else "decision.scoring.method"
            ),
        )
    unused_parts = {
        "ml_ensemble": _ML,
        "custom": _CUSTOM,
    }
    for key, method in unused_parts.items():
        if raw.get(key) is not None and scoring.configured != method:
            yield Finding(
                "warning",
                "not_used",
                f"`decision.scoring.{key}` is not used: the scoring method is "
                f"{scoring.configured}, not {method}.",
                f"decision.scoring.{key}",
            )
    if raw.get("strategy") != _FS:
        for key in ("fields", "thresholds"):
            if raw.get(key) is not None:
                yield Finding(
                    "warning",
                    "not_used",
                    f"`decision.scoring.{key}` is only read with `strategy: fellegi_sunter`; "
                    "as written it is not used.",
                    f"decision.scoring.{key}",
                )
    yield from _check_fs_fields(spec)
    yield from _check_scored_rules(spec)


def _check_fs_fields(spec: _Spec) -> Iterator[Finding]:
    for i, item in enumerate(_list(spec.scoring_raw.get("fields"))):
        item = _mapping(item)
        name = _text(item.get("name", ""))
        for key in ("m_probability", "u_probability"):
            p = _number(item.get(key))
            if p is None:
                continue
            where = f"decision.scoring.fields[{i}].{key}"
            if p < 0 or p > 1:
                yield Finding(
                    "error",
                    "probability_out_of_range",
                    f"The {key} {_plain(p)} of Fellegi-Sunter field '{name}' is not a probability: its "
                    "weights are undefined (NaN), every score becomes NaN and no pair can merge.",
                    where,
                )
            elif p in (0.0, 1.0):
                yield Finding(
                    "warning",
                    "probability_extreme",
                    f"The {key} {_plain(p)} of Fellegi-Sunter field '{name}' gives an infinite weight: "
                    "one agreement or disagreement on it outweighs everything else. Use a value "
                    "strictly between 0 and 1.",
                    where,
                )
    if spec.scoring.fs_fields is not None:
        generated = [r.name for r in spec.rules if r.generated and r.type == "similarity"]
        if generated:
            yield Finding(
                "info",
                "fs_rules",
                "Fellegi-Sunter fields " + ", ".join(generated) + " become similarity rules with "
                "threshold 0: they count as matched on every pair and appear in matched_on.",
                "decision.scoring.fields",
            )


def _check_scored_rules(spec: _Spec) -> Iterator[Finding]:
    """Rules the applied scoring method never reads still cost an evaluation per pair."""
    method = spec.scoring.method
    if method == _FS and spec.scoring.fs_fields is not None:
        read = {f.name for f in spec.scoring.fs_fields}
        how = "Fellegi-Sunter scoring reads only the fields " + ", ".join(sorted(read))
    elif method == _ML:
        read = set(_mapping(_mapping(spec.scoring_raw.get("ml_ensemble")).get("coefficients")))
        how = "ML-ensemble scoring reads only the rules that have a coefficient"
        unknown = sorted(read - {r.name for r in spec.rules})
        if unknown:
            yield Finding(
                "warning",
                "unknown_rule_name",
                "Coefficients for " + ", ".join(unknown) + " name no rule: they are never used.",
                "decision.scoring.ml_ensemble.coefficients",
            )
    elif method == _CUSTOM:
        expression = _text(_mapping(spec.scoring_raw.get("custom")).get("expression", ""))
        read = _expression_names(expression)
        how = "the custom expression reads only the rules it names"
        unknown = sorted(read - {r.name for r in spec.rules})
        if unknown:
            yield Finding(
                "warning",
                "unknown_rule_name",
                "The custom expression names " + ", ".join(unknown) + ", which is no rule name: "
                "it reads as 0 on every pair. (A name with a hyphen reads as a subtraction.)",
                "decision.scoring.custom.expression",
            )
    else:
        return
    unread = [r.name for r in spec.rules if r.name not in read]
    if unread:
        yield Finding(
            "warning",
            "rule_not_scored",
            f"{how}; the rules {', '.join(unread)} are evaluated on every pair and reported "
            "(matched_on, rule scores) but do not enter the score.",
            "rules",
        )


def _expression_names(expression: str) -> set[str]:
    names = set()
    for match in re.finditer(r"[A-Za-z_][A-Za-z0-9_]*", expression):
        rest = expression[match.end() :].lstrip(" ")
        if match.group() in ("min", "max") and rest.startswith("("):
            continue
        names.add(match.group())
    return names


def _uses_levels(spec: _Spec) -> bool:
    """Fellegi-Sunter with comparison levels (or a prior) scores a pair by its log-odds,
    which has no lower bound: the level tooling checks those thresholds instead."""
    scoring = _mapping(spec.decision.get("scoring"))
    fields = _list(scoring.get("fields"))
    return "prior" in scoring or any(
        isinstance(f, dict) and ("levels" in f or "term_frequency" in f) for f in fields
    )


def _check_thresholds(spec: _Spec) -> Iterator[Finding]:
    if _uses_levels(spec):
        return
    scale = spec.scale()
    if scale is None:
        return
    lo, hi = scale
    if math.isnan(lo) or math.isnan(hi):
        return  # reported with the probabilities
    match_path, match, review_path, review = spec.thresholds()
    method = spec.method_text()
    span = f"{_fmt(lo)} and {_fmt(hi)}"
    ml_rules = [r.name for r in spec.rules for leaf in r.leaves() if leaf.type == "ml"]
    because = ""
    if spec.scoring.method == _WEIGHTED and hi < 1.0 and spec.top_weight > 0:
        because = " (rules of type ml always score 0 but their weight counts)" if ml_rules else ""
    if spec.scoring.method == _WEIGHTED and spec.top_weight <= 0:
        yield Finding(
            "error",
            "no_rule_weight",
            "No rule carries weight, so the weighted-sum score of every pair is 0.",
            "rules",
        )
    if match is not None:
        if match > hi:
            yield Finding(
                "error",
                "threshold_unreachable",
                f"The merge threshold {_plain(match)} is above the highest {method} score a pair can "
                f"reach ({_fmt(hi)}; scores lie between {span}){because}: no pair can ever merge "
                "on its score.",
                match_path,
            )
        elif match <= lo:
            yield Finding(
                "error",
                "threshold_trivial",
                f"The merge threshold {_plain(match)} is at or below the lowest {method} score "
                f"({_fmt(lo)}; scores lie between {span}): every compared pair merges.",
                match_path,
            )
    if review is not None and match is not None and lo < match <= hi and review < match:
        if review > hi:
            yield Finding(
                "warning",
                "threshold_unreachable",
                f"The review threshold {_plain(review)} is above the highest {method} score "
                f"({_fmt(hi)}): no pair is ever sent to review.",
                review_path,
            )
        elif review <= lo:
            yield Finding(
                "warning",
                "threshold_trivial",
                f"The review threshold {_plain(review)} is at or below the lowest {method} score "
                f"({_fmt(lo)}): every compared pair that does not merge is kept for review.",
                review_path,
            )
    if spec.scoring.method == _FS and spec.scoring.fs_fields is not None:
        if review is not None and match is not None and review > match:
            yield Finding(
                "warning",
                "threshold_order",
                f"The possible threshold {_plain(review)} is above the match threshold "
                f"{_plain(match)}: no pair is ever sent to review.",
                review_path,
            )
        for key in ("match", "review"):
            if key in _mapping(spec.decision.get("thresholds")):
                yield Finding(
                    "warning",
                    "not_used",
                    f"`decision.thresholds.{key}` is not used under Fellegi-Sunter scoring: "
                    "`decision.scoring.thresholds.match` and `possible` decide.",
                    f"decision.thresholds.{key}",
                )


def _check_rules(spec: _Spec) -> Iterator[Finding]:
    for rule in spec.rules:
        if rule.generated:
            continue
        for leaf in _walk(rule):
            yield from _check_rule(spec, leaf)


def _walk(rule: _Rule) -> Iterator[_Rule]:
    yield rule
    for child in rule.children:
        yield from _walk(child)


def _ml_effect(spec: _Spec, rule: _Rule) -> str:
    if rule not in spec.rules:
        return f"it lowers the score of {_rule_rule(spec, rule).split('(inside ')[1].rstrip(')')}"
    method = spec.scoring.method
    if method == _WEIGHTED and spec.top_weight > 0:
        scale = spec.scale()
        top = _fmt(scale[1]) if scale else "1"
        return (
            f"under weighted-sum scoring its weight {_plain(rule.weight)} still counts, so no pair "
            f"can score above {top}"
        )
    if method == _FS and spec.scoring.fs_fields is not None:
        if rule.name in {f.name for f in spec.scoring.fs_fields}:
            return "the Fellegi-Sunter field of the same name always gets its disagreement weight"
        return "it does not enter the Fellegi-Sunter score"
    return "whatever reads its score reads 0"


def _check_rule(spec: _Spec, rule: _Rule) -> Iterator[Finding]:
    raw = rule.raw
    if rule.type == "ml":
        yield Finding(
            "warning",
            "ml_rule",
            f"Rule '{rule.name}' (type ml) is not backed by any model: on every pair it scores 0 "
            f"and does not match; {_ml_effect(spec, rule)}. Its model, features and threshold are "
            "not used.",
            rule.path,
        )
    algorithm = raw.get("algorithm")
    normalizer = raw.get("normalizer")
    if rule.type == "exact":
        normalizer = _mapping(raw.get("options")).get("normalizer")
    if normalizer is not None:
        dropped = rule.type == "range" or algorithm in (
            "soundex",
            "metaphone",
            "cosine",
            "haversine",
        )
        where = (
            f"{rule.path}.options.normalizer" if rule.type == "exact" else f"{rule.path}.normalizer"
        )
        if dropped:
            kind = "range" if rule.type == "range" else f"{algorithm} similarity"
            yield Finding(
                "warning",
                "not_used",
                f"Rule '{rule.name}': {kind} rules do not apply a normalizer; the raw values are "
                "compared.",
                where,
            )
        elif normalizer not in _NORMALIZERS:
            yield Finding(
                "warning",
                "unknown_normalizer",
                f"Rule '{rule.name}': '{_text(normalizer)}' is not a normalizer ("
                + ", ".join(_NORMALIZERS)
                + "); values are only trimmed and lower-cased.",
                where,
            )
    if rule.type == "similarity":
        for key in ("locale", "options"):
            if raw.get(key) is not None:
                yield Finding(
                    "warning",
                    "not_used",
                    f"Rule '{rule.name}': `{key}` is read but not used by the comparison.",
                    f"{rule.path}.{key}",
                )
        threshold = _number(raw.get("threshold"))
        if threshold is not None and threshold <= 0:
            yield Finding(
                "warning",
                "threshold_trivial",
                f"Rule '{rule.name}' has threshold {_plain(threshold)}: it counts as matched on every "
                "pair, even where a value is missing.",
                f"{rule.path}.threshold",
            )
    fields_value = raw.get("fields")
    if isinstance(fields_value, list) and len(fields_value) > 1:
        yield Finding(
            "warning",
            "not_used",
            f"Rule '{rule.name}' lists {len(fields_value)} fields; only the first, "
            f"'{_text(fields_value[0])}', is compared. Write one rule per field.",
            f"{rule.path}.fields",
        )


# Settings that are read and kept but that no step of a run looks at. Each entry:
# a function giving the paths present in the tree, the level, and what a user
# should know instead.
_Carried = tuple[Callable[[_Spec], Iterable[str]], Level, str]


def _present(*path: str) -> Callable[[_Spec], Iterable[str]]:
    def find(spec: _Spec) -> Iterable[str]:
        node: Any = spec.tree
        for key in path:
            node = _mapping(node).get(key)
        return [".".join(path)] if node is not None else []

    return find


def _in_sources(key: str) -> Callable[[_Spec], Iterable[str]]:
    return lambda spec: [f"{p}.{key}" for _, p, s in spec.sources if s.get(key) is not None]


def _in_list(
    section: str, key: str, keep: Callable[[Any], bool] = lambda v: True
) -> Callable[[_Spec], Iterable[str]]:
    def find(spec: _Spec) -> Iterable[str]:
        items = _list(spec.tree.get(section))
        return [
            f"{section}[{i}].{key}"
            for i, item in enumerate(items)
            if _mapping(item).get(key) is not None and keep(_mapping(item).get(key))
        ]

    return find


# fmt: off
_CARRIED: list[_Carried] = [
    (_present("decision", "scoring", "training"), "warning",
     "no training runs: the m and u probabilities are used exactly as written."),
    (_present("decision", "scoring", "normalization"), "warning", "scores are not normalised."),
    (_present("decision", "scoring", "thresholds", "non_match"), "warning",
     "only the match and possible thresholds decide; pairs below possible are simply not kept."),
    (_present("decision", "thresholds", "reject"), "warning",
     "pairs below the review threshold are simply not kept; nothing is rejected explicitly."),
    (_present("decision", "conflict_strategy"), "warning",
     "decisions are ordered by confidence and the tie-breakers; no conflict strategy is applied."),
    (_present("decision", "review_queue"), "warning",
     "nothing is sent anywhere: review decisions are only returned with the results."),
    (_present("decision", "audit"), "warning", "no comparison, decision or conflict log is written."),
    (_present("blocking", "fallback"), "warning",
     "records that share no blocking key are never compared, and no sample of extra pairs is drawn."),
    (_in_list("reference_identifiers", "conditions"), "warning",
     "the conditions are not applied: any two compared records with equal, non-empty values merge."),
    (_in_list("reference_identifiers", "match_weight", lambda v: v != 1 and v != 1.0), "warning",
     "a reference identifier match always merges with confidence 1.0."),
    (_present("relations"), "warning", "related entities are not read and no match is propagated."),
    (_present("governance", "require_freshness"), "warning", "freshness is not checked."),
    (_present("governance", "require_schema"), "warning", "source schemas are not checked."),
    (_present("governance", "required_tags"), "warning", "source tags are not checked."),
    (_present("governance", "require_shadow_on_threshold_change"), "warning",
     "no shadow run is required or made."),
    (_present("entity", "hierarchy"), "warning", "parents are not linked and no field is inherited."),
    (_present("entity", "compliance"), "info", "no field is masked and no retention is applied."),
    (_in_sources("freshness"), "warning", "the age of records is not checked."),
    (_in_sources("sampling"), "warning", "every record of the source is used; nothing is sampled."),
    (_in_sources("schema"), "info", "field types and nullability are not checked."),
]
# fmt: on


def _check_carried(spec: _Spec) -> Iterator[Finding]:
    for find, level, what in _CARRIED:
        for path in find(spec):
            yield Finding(level, "not_used", f"`{path}` has no effect on the run: {what}", path)
    yield from _check_exclusions(spec)
    yield from _check_survivorship(spec)
    yield from _check_temporal(spec)


_EXCLUSION_OPERATORS = ("eq", "==", "ne", "!=", "contains", "is_empty")


def _check_exclusions(spec: _Spec) -> Iterator[Finding]:
    for i, item in enumerate(_list(spec.tree.get("exclusions"))):
        item, path = _mapping(item), f"exclusions[{i}]"
        kind = item.get("type")
        if kind == "explicit_pair":
            left, right = _text(item.get("left_id_field")), _text(item.get("right_id_field"))
            yield Finding(
                "warning",
                "literal_ids",
                f"This explicit_pair exclusion compares the records' external_id with the literal "
                f"texts '{left}' and '{right}'; they are not field names. Only a pair whose external "
                f"ids are exactly '{left}' and '{right}' is kept apart. Its `source` is not used.",
                path,
            )
        elif kind == "field_value":
            operator, value = _text(item.get("operator")), item.get("value")
            if operator not in _EXCLUSION_OPERATORS:
                yield Finding(
                    "warning",
                    "never_applies",
                    f"Exclusion operator '{operator}' is not one of {', '.join(_EXCLUSION_OPERATORS)}: "
                    "this exclusion never applies.",
                    f"{path}.operator",
                )
            elif operator != "is_empty" and not isinstance(value, str):
                yield Finding(
                    "warning",
                    "never_applies",
                    f"Exclusion operator '{operator}' only compares with a text value; with "
                    f"{value!r} this exclusion never applies. Quote the value, or write one "
                    "exclusion per value.",
                    f"{path}.value",
                )


def _check_survivorship(spec: _Spec) -> Iterator[Finding]:
    section = _mapping(spec.tree.get("survivorship"))
    if section.get("default") == "custom":
        yield Finding(
            "warning",
            "not_used",
            "Survivorship strategy `custom` picks the most recent value, like `most_recent`.",
            "survivorship.default",
        )
    for i, item in enumerate(_list(section.get("overrides"))):
        item, path = _mapping(item), f"survivorship.overrides[{i}]"
        strategy = item.get("strategy")
        if strategy == "custom":
            yield Finding(
                "warning",
                "not_used",
                "Survivorship strategy `custom` picks the most recent value, like `most_recent`.",
                f"{path}.strategy",
            )
        if _list(item.get("priority")) and strategy != "source_priority":
            yield Finding(
                "warning",
                "not_used",
                f"`priority` is only read by the source_priority strategy, not by {strategy}.",
                f"{path}.priority",
            )
        if item.get("function") is not None and strategy != "aggregate":
            yield Finding(
                "warning",
                "not_used",
                f"`function` is only read by the aggregate strategy, not by {strategy}.",
                f"{path}.function",
            )
    if "rules" in section:
        yield Finding(
            "warning",
            "not_used",
            "`survivorship.rules` is not read by the run; write per-field strategies under "
            "`survivorship.overrides` (field, strategy, priority, function).",
            "survivorship.rules",
        )


def _check_temporal(spec: _Spec) -> Iterator[Finding]:
    temporal = [
        (name, path, _mapping(s.get("temporal")))
        for name, path, s in spec.sources
        if s.get("temporal") is not None
    ]
    if not temporal:
        return
    name, path, first = temporal[0]
    strategy = _text(first.get("strategy", "latest_only"))
    if len(spec.sources) > 1 or len(temporal) > 1:
        yield Finding(
            "warning",
            "temporal_scope",
            f"The temporal strategy of source '{name}' ({strategy}) applies to every pair, whatever "
            "the sources of its records"
            + (
                "; the strategies of "
                + ", ".join(f"'{n}'" for n, _, _ in temporal[1:])
                + " are not used"
                if len(temporal) > 1
                else ""
            )
            + ".",
            f"{path}.temporal.strategy",
        )
    if "temporal" in spec.tree:
        yield Finding(
            "info",
            "not_used",
            "The top-level `temporal` key is not read by the run; temporal settings belong to each "
            "source (`sources[i].temporal`).",
            "temporal",
        )


# Known keys of every record of the spec, for spotting misspellings. Rules and
# exclusions depend on their `type`.
# fmt: off
_KEYS: dict[str, tuple[str, ...]] = {
    "": ("api_version", "identity_version", "metadata", "entity", "sources",
         "reference_identifiers", "blocking", "rules", "survivorship", "exclusions",
         "relations", "decision", "governance"),
    "metadata": ("name", "description", "owner", "tags"),
    "entity": ("name", "description", "compliance", "hierarchy"),
    "entity.compliance": ("frameworks", "pii_fields", "audit_required", "retention_days"),
    "entity.hierarchy": ("parent_field", "depth", "inheritance"),
    "source": ("name", "adapter", "location", "primary_key", "schema", "sampling", "tags",
               "system", "table", "id", "attributes", "temporal", "freshness"),
    "source.schema.*": ("type", "pii", "nullable"),
    "source.sampling": ("strategy", "rate"),
    "source.temporal": ("valid_from", "valid_to", "strategy"),
    "source.freshness": ("max_age", "max_age_hours", "warn_after", "warn_after_hours"),
    "reference_identifier": ("name", "type", "authority", "field", "match_weight", "conditions"),
    "reference_identifier.condition": ("field", "operator", "value"),
    "blocking": ("strategy", "keys", "fallback"),
    "blocking.fallback": ("enabled", "sample_rate"),
    "rule.exact": ("type", "name", "field", "fields", "weight", "options"),
    "rule.similarity": ("type", "name", "field", "fields", "algorithm", "threshold", "weight",
                        "locale", "options", "normalizer"),
    "rule.range": ("type", "name", "field", "fields", "tolerance", "weight", "normalizer"),
    "rule.composite": ("type", "name", "operator", "children"),
    "rule.ml": ("type", "name", "model", "features", "threshold", "weight"),
    "rule.exact.options": ("case_insensitive", "normalize", "normalizer"),
    "rule.similarity.options": ("transliterate", "ignore_titles", "ignore_suffixes"),
    "decision": ("scoring", "thresholds", "conflict_strategy", "review_queue", "audit",
                 "tie_breaking"),
    "decision.thresholds": ("match", "review", "reject"),
    "decision.review_queue": ("enabled", "webhook", "sla_hours"),
    "decision.audit": ("log_all_comparisons", "log_decisions", "log_conflicts"),
    "decision.scoring": ("method", "normalization", "ml_ensemble", "custom", "strategy",
                         "fields", "thresholds", "training"),
    "decision.scoring.ml_ensemble": ("coefficients", "bias"),
    "decision.scoring.custom": ("expression",),
    "decision.scoring.field": ("name", "comparator", "weight", "m_probability",
                               "u_probability", "normalizer"),
    "decision.scoring.thresholds": ("match", "possible", "non_match"),
    "decision.scoring.training": ("method", "max_iterations", "convergence_threshold",
                                  "estimate_u", "max_random_pairs"),
    "survivorship": ("default", "overrides"),
    "survivorship.override": ("field", "strategy", "priority", "function"),
    "exclusion.field_value": ("type", "field", "operator", "value"),
    "exclusion.explicit_pair": ("type", "source", "left_id_field", "right_id_field"),
    "exclusion.cross_tenant": ("type", "enabled"),
    "relation": ("name", "from_entity", "to_entity", "join_key", "cardinality",
                 "propagate_match"),
    "governance": ("require_freshness", "require_schema", "required_tags", "log_probabilities",
                   "require_shadow_on_threshold_change"),
}
# fmt: on
# Keys the spec tooling (plan, diff) reads although a run does not.
_TOOLING_KEYS = {("", "temporal"), ("survivorship", "rules"), ("", "matching")}
_RULE_KEYS = sorted(
    {
        k
        for name, keys in _KEYS.items()
        if name.startswith("rule.") and name.count(".") == 1
        for k in keys
    }
)


def _records(tree: dict[str, Any]) -> Iterator[tuple[str, str, dict[str, Any]]]:
    """Every mapping of the spec with its kind (a key of _KEYS) and its path."""

    def sub(kind: str, path: str, node: Any) -> Iterator[tuple[str, str, dict[str, Any]]]:
        if isinstance(node, dict):
            yield kind, path, node

    yield "", "", tree
    for key in ("metadata", "entity", "blocking", "decision", "survivorship", "governance"):
        yield from sub(key, key, tree.get(key))
    entity = _mapping(tree.get("entity"))
    for key in ("compliance", "hierarchy"):
        yield from sub(f"entity.{key}", f"entity.{key}", entity.get(key))
    for _, path, source in _Spec._read_sources(tree.get("sources")):
        yield "source", path, source
        for key in ("sampling", "temporal", "freshness"):
            yield from sub(f"source.{key}", f"{path}.{key}", source.get(key))
        for name, schema in _mapping(source.get("schema")).items():
            yield from sub("source.schema.*", f"{path}.schema.{name}", schema)
    for i, item in enumerate(_list(tree.get("reference_identifiers"))):
        yield from sub("reference_identifier", f"reference_identifiers[{i}]", item)
        for j, cond in enumerate(_list(_mapping(item).get("conditions"))):
            yield from sub(
                "reference_identifier.condition",
                f"reference_identifiers[{i}].conditions[{j}]",
                cond,
            )
    yield from sub(
        "blocking.fallback", "blocking.fallback", _mapping(tree.get("blocking")).get("fallback")
    )
    yield from _rule_records(tree.get("rules"), "rules")
    decision = _mapping(tree.get("decision"))
    for key in ("thresholds", "review_queue", "audit"):
        yield from sub(f"decision.{key}", f"decision.{key}", decision.get(key))
    scoring = decision.get("scoring")
    if isinstance(scoring, dict):
        yield "decision.scoring", "decision.scoring", scoring
        for key in ("ml_ensemble", "custom", "thresholds", "training"):
            yield from sub(f"decision.scoring.{key}", f"decision.scoring.{key}", scoring.get(key))
        for i, item in enumerate(_list(scoring.get("fields"))):
            yield from sub("decision.scoring.field", f"decision.scoring.fields[{i}]", item)
    for i, item in enumerate(_list(_mapping(tree.get("survivorship")).get("overrides"))):
        yield from sub("survivorship.override", f"survivorship.overrides[{i}]", item)
    for i, item in enumerate(_list(tree.get("exclusions"))):
        kind = _mapping(item).get("type")
        if isinstance(kind, str) and f"exclusion.{kind}" in _KEYS:
            yield from sub(f"exclusion.{kind}", f"exclusions[{i}]", item)
    for i, item in enumerate(_list(tree.get("relations"))):
        yield from sub("relation", f"relations[{i}]", item)


def _rule_records(rules: Any, path: str) -> Iterator[tuple[str, str, dict[str, Any]]]:
    for i, item in enumerate(_list(rules)):
        item, where = _mapping(item), f"{path}[{i}]"
        kind = item.get("type")
        if not isinstance(kind, str) or f"rule.{kind}" not in _KEYS:
            continue
        yield f"rule.{kind}", where, item
        options = item.get("options")
        if isinstance(options, dict) and f"rule.{kind}.options" in _KEYS:
            yield f"rule.{kind}.options", f"{where}.options", options
        if kind == "composite":
            yield from _rule_records(item.get("children"), f"{where}.children")


def _distance(a: str, b: str) -> int:
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (ca != cb)))
        previous = current
    return previous[-1]


def _nearest(key: str, known: Iterable[str]) -> str | None:
    best, best_distance = None, 3
    for candidate in known:
        d = _distance(key.lower(), candidate)
        limit = 1 if len(candidate) <= 4 else 2
        if d <= limit and d < best_distance:
            best, best_distance = candidate, d
    return best


def _check_keys(tree: dict[str, Any]) -> Iterator[Finding]:
    for kind, path, node in _records(tree):
        known = _KEYS[kind]
        for key in node:
            if (
                key in known
                or (kind.split(".")[0], key) in _TOOLING_KEYS
                or (kind, key) in _TOOLING_KEYS
            ):
                continue
            where = f"{path}.{key}" if path else key
            section = f"`{path}`" if path else "the top level"
            suggestion = _nearest(key, known)
            if suggestion:
                yield Finding(
                    "warning",
                    "unknown_key",
                    f"Unknown key `{key}` in {section} is ignored; did you mean `{suggestion}`?",
                    where,
                )
            elif kind.startswith("rule.") and key in _RULE_KEYS:
                rule_type = kind.split(".")[1]
                hint = (
                    " (write it under `options`)"
                    if rule_type == "exact" and key == "normalizer"
                    else ""
                )
                yield Finding(
                    "warning",
                    "unknown_key",
                    f"`{key}` is not read for rules of type {rule_type}; it is ignored{hint}.",
                    where,
                )
            elif kind == "rule.composite" and key == "weight":
                yield Finding(
                    "warning",
                    "unknown_key",
                    "A composite rule always weighs 1.0; `weight` is ignored.",
                    where,
                )
            else:
                yield Finding(
                    "info", "unknown_key", f"Unknown key `{key}` in {section} is ignored.", where
                )


_SPEC_CHECKS: tuple[Callable[[_Spec], Iterable[Finding]], ...] = (
    _check_blocking,
    _check_scoring,
    _check_thresholds,
    _check_rules,
    _check_carried,
)


def _spec_findings(text: str) -> tuple[list[Finding], _Spec | None]:
    try:
        tree = _native.parse(text)
    except ValueError as exc:
        return [Finding("error", "spec_unreadable", str(exc), "")], None
    findings, readable = _validation_findings(text)
    tree = tree if isinstance(tree, dict) else {}
    findings.extend(_check_keys(tree))
    if not readable:
        return findings, None
    spec = _Spec(tree)
    for run_check in _SPEC_CHECKS:
        findings.extend(run_check(spec))
    return findings, spec


# ---------------------------------------------------------------------------
# Data-aware checks on the canonical record table

_FIXED_COLUMNS = (
    "id",
    "tenant_id",
    "external_id",
    "entity_type",
    "source_name",
    "valid_from",
    "valid_to",
    "last_updated",
)
_PLACEHOLDERS = frozenset(
    {"null", "none", "n/a", "na", "nan", "nil", "-", "--", "?", "unknown", "tbd"}
)


@dataclass
class _FieldStats:
    present: int  # records with a value (empty included)
    empty: int  # present but empty or only whitespace
    placeholder: dict[str, int]  # placeholder value -> records (only values shared by 2+)
    by_source: dict[str, int]  # source -> records with a value


@dataclass
class _Data:
    records: int
    sources: dict[str, int]  # source -> record count
    fields: dict[str, _FieldStats]
    table: Any = field(repr=False)

    def has(self, name: str) -> bool:
        stats = self.fields.get(name)
        return stats is not None and stats.present > 0


def _is_placeholder(value: str) -> bool:
    text = value.strip().lower()
    return text in _PLACEHOLDERS or (len(text) >= 3 and len(set(text)) == 1)


def _read_data(table: Any, used: set[str]) -> _Data:
    import pyarrow as pa
    import pyarrow.compute as pc

    n = table.num_rows
    sources_col = table.column("source_name")
    source_counts = (
        {row["values"]: row["counts"] for row in pc.value_counts(sources_col).to_pylist()}
        if n
        else {}
    )
    fields = {}
    for name in table.column_names:
        if name in _FIXED_COLUMNS:
            continue
        column = table.column(name)
        if not pa.types.is_string(column.type) and not pa.types.is_large_string(column.type):
            column = pc.cast(column, pa.string())
        valid = pc.is_valid(column)
        present = pc.sum(valid).as_py() or 0
        empty = pc.sum(pc.equal(pc.utf8_trim_whitespace(column), "")).as_py() or 0
        by_source: dict[str, int] = {}
        if present:
            grouped = (
                pa.table({"s": sources_col, "v": valid}).group_by("s").aggregate([("v", "sum")])
            )
            by_source = dict(
                zip(grouped.column("s").to_pylist(), grouped.column("v_sum").to_pylist())
            )
        placeholder = {}
        if present and name in used:  # counting values is the costly part
            counts = pc.value_counts(column.drop_null())
            shared = counts.filter(pc.greater_equal(counts.field("counts"), 2))
            for value, count in zip(
                shared.field("values").to_pylist(), shared.field("counts").to_pylist()
            ):
                if value.strip() and _is_placeholder(value):
                    placeholder[value] = count
        fields[name] = _FieldStats(present, empty, placeholder, by_source)
    return _Data(n, source_counts, fields, table)


@dataclass
class _Use:
    """A place where the spec reads a record field."""

    field: str
    kind: str  # rule, blocking, reference identifier, exclusion, survivorship, ...
    path: str
    rule: _Rule | None = None


def _uses(spec: _Spec) -> list[_Use]:
    uses = []
    for rule in spec.rules:
        for leaf in rule.leaves():
            if leaf.field is not None and leaf.type != "ml":
                where = leaf.path if leaf.generated else f"{leaf.path}.field"
                uses.append(_Use(leaf.field, "rule", where, leaf))
    for i, key in enumerate(spec.keys):
        for f in key:
            uses.append(_Use(f, "blocking", f"blocking.keys[{i}]"))
    for i, item in enumerate(_list(spec.tree.get("reference_identifiers"))):
        value = _mapping(item).get("field")
        if value is not None:
            uses.append(
                _Use(_text(value), "reference identifier", f"reference_identifiers[{i}].field")
            )
    for i, item in enumerate(_list(spec.tree.get("exclusions"))):
        item = _mapping(item)
        if item.get("type") == "field_value" and isinstance(item.get("field"), str):
            uses.append(_Use(item["field"], "exclusion", f"exclusions[{i}].field"))
    overrides = _list(_mapping(spec.tree.get("survivorship")).get("overrides"))
    for i, item in enumerate(overrides):
        value = _mapping(item).get("field")
        if value is not None:
            uses.append(_Use(_text(value), "survivorship", f"survivorship.overrides[{i}].field"))
    return uses


def _rule_rule(spec: _Spec, leaf: _Rule) -> str:
    top = next((r for r in spec.rules if any(x is leaf for x in _walk(r))), leaf)
    if top is leaf:
        return f"rule '{leaf.name}'"
    return f"rule '{leaf.name}' (inside composite '{top.name}')"


def _score_effect(spec: _Spec, missing: Callable[[str], bool], pairs: str) -> tuple[str, bool]:
    """What a run's scores do when the fields in `missing` are absent from `pairs`,
    and whether that can change a decision."""
    scale = spec.scale(missing)
    _, match, _, review = spec.thresholds()
    if scale is None:
        return "", True
    method = spec.method_text()
    if spec.scoring.method == _CUSTOM:
        return f" The custom expression reads 0 for it on {pairs}.", True
    if spec.scoring.method == _ML:
        return f" The ML ensemble reads 0 for it on {pairs}.", True
    full = spec.scale()
    assert full is not None
    if abs(scale[1] - full[1]) < 1e-12:
        return f" It does not change the {method} score.", False
    text = f" Under {method} scoring {pairs} can score at most {_fmt(scale[1])} (instead of {_fmt(full[1])})"
    if match is not None and scale[1] < match:
        text += f", below the merge threshold {_plain(match)}: they can never merge on their score"
        if review is not None and scale[1] < review:
            text += " nor go to review"
    return text + ".", True


def _check_fields(spec: _Spec, data: _Data) -> Iterator[Finding]:
    if data.records == 0:
        return
    columns = [c for c in data.table.column_names if c not in _FIXED_COLUMNS]
    reported: set[tuple[str, str]] = set()
    for use in _uses(spec):
        if (use.field, use.path) in reported:
            continue
        reported.add((use.field, use.path))
        if not data.has(use.field):
            yield _absent_field(spec, data, use, columns)
            continue
        stats = data.fields[use.field]
        if len(data.sources) < 2:
            continue
        for source, count in sorted(data.sources.items()):
            if stats.by_source.get(source, 0) == 0:
                yield _absent_in_source(
                    spec, use, source, count, _declares(spec, source, use.field)
                )


def _absent_field(spec: _Spec, data: _Data, use: _Use, columns: list[str]) -> Finding:
    hint = _column_hint(spec, use.field, columns)
    level: Level = "warning"
    if use.kind == "rule":
        assert use.rule is not None
        text, matters = _score_effect(spec, lambda f: f == use.field, "all pairs")
        effect = f"{_rule_rule(spec, use.rule)} scores 0 on every pair.{text}"
        level = "warning" if matters else "info"
    elif use.kind == "blocking":
        effect = f"the blocking key at {use.path} gives no record a key."
    elif use.kind == "reference identifier":
        effect = "this reference identifier never decides a pair."
    elif use.kind == "exclusion":
        exclusion = _mapping(
            _list(spec.tree.get("exclusions"))[int(use.path.split("[")[1].split("]")[0])]
        )
        if exclusion.get("operator") == "is_empty":
            effect = (
                "this is_empty exclusion holds for every record: no record is blocked or compared."
            )
            level = "error"
        else:
            effect = "this exclusion never applies."
    else:
        effect = "the golden records never have it."
    return Finding(
        level, "field_absent", f"No record has the field '{use.field}', so {effect}{hint}", use.path
    )


def _column_hint(spec: _Spec, name: str, columns: list[str]) -> str:
    for source, _, raw in spec.sources:
        column = _mapping(raw.get("attributes")).get(name)
        if isinstance(column, str) and column in columns:
            return (
                f" The records have '{column}', which source '{source}' maps to '{name}' under "
                f"`attributes`: record fields must use the spec's names (rename '{column}' to '{name}')."
            )
    folded = [c for c in columns if c.lower() == name.lower()]
    near = folded[0] if folded else _nearest(name, columns)
    return f" Did you mean the field '{near}'?" if near else ""


def _declares(spec: _Spec, source: str, name: str) -> bool:
    """Whether the spec leads one to expect the field in the source's records: the
    source lists it under `attributes`, or lists no attributes at all."""
    for declared, _, raw in spec.sources:
        if declared == source:
            attributes = _mapping(raw.get("attributes"))
            return not attributes or name in attributes
    return True


def _absent_in_source(spec: _Spec, use: _Use, source: str, count: int, expected: bool) -> Finding:
    message = f"The records of source '{source}' ({count}) never have the field '{use.field}'"
    if not expected:
        message = message.replace(")", ", whose attributes do not list it)", 1)
    level: Level = "warning" if expected else "info"
    if use.kind == "rule":
        assert use.rule is not None
        text, matters = _score_effect(spec, lambda f: f == use.field, "those pairs")
        message += (
            f", so {_rule_rule(spec, use.rule)} scores 0 on every pair with one of them.{text}"
        )
        level = "warning" if matters else "info"
    elif use.kind == "blocking":
        message += f", so they get no key from the blocking key at {use.path}."
    elif use.kind == "reference identifier":
        message += ", so this reference identifier never decides a pair with one of them."
    else:
        message += "; golden records take it from the other sources' records."
        level = "info"
    return Finding(level, "field_absent_in_source", message, use.path)


def _check_rates(spec: _Spec, data: _Data) -> Iterator[Finding]:
    if data.records == 0:
        return
    used = {
        u.field: u for u in _uses(spec) if u.kind in ("rule", "blocking", "reference identifier")
    }
    excluded = _excluded_values(spec)
    for name, stats in data.fields.items():
        missing = data.records - stats.present
        yield Finding(
            "info",
            "field_rates",
            f"Field '{name}': {_percent(missing, data.records)} missing, "
            f"{_percent(stats.empty, data.records)} empty.",
            f"data.{name}",
        )
        use = used.get(name)
        if use is None:
            continue
        if stats.empty >= 2:
            yield Finding(
                "warning",
                "empty_values",
                f"{stats.empty} records have an empty '{name}'. An empty text is a value: empty "
                "values match each other in exact and similarity rules and share one block, "
                f"which pairs all {stats.empty} of them. Leave missing values out (null) instead.",
                f"data.{name}",
            )
        shared = {v: c for v, c in stats.placeholder.items() if (name, v) not in excluded}
        if shared:
            listed = ", ".join(
                f"'{v}' ({c} records)" for v, c in sorted(shared.items(), key=lambda x: -x[1])
            )
            consequence = (
                "records sharing it merge through the reference identifier"
                if use.kind == "reference identifier"
                else "records sharing it match each other and share one block"
            )
            yield Finding(
                "warning",
                "placeholder_values",
                f"Field '{name}' holds placeholder values shared by several records: {listed}; "
                f"{consequence}. Leave them out (null), or add a field_value exclusion.",
                f"data.{name}",
            )


def _excluded_values(spec: _Spec) -> set[tuple[str, str]]:
    out = set()
    for item in _list(spec.tree.get("exclusions")):
        item = _mapping(item)
        if item.get("type") == "field_value" and item.get("operator") in ("eq", "=="):
            value = item.get("value")
            if isinstance(value, str):
                out.add((_text(item.get("field")), value))
    return out


def _percent(part: int, whole: int) -> str:
    value = 100.0 * part / whole if whole else 0.0
    return f"{value:.1f}%"


def _check_sources(spec: _Spec, data: _Data) -> Iterator[Finding]:
    declared = {name for name, _, _ in spec.sources}
    for source, count in sorted(data.sources.items()):
        if declared and source not in declared:
            yield Finding(
                "warning",
                "unknown_source",
                f"{count} records come from source '{source}', which the spec does not declare.",
                "sources",
            )
    for name, path, _ in spec.sources:
        if data.records and name not in data.sources:
            yield Finding("info", "source_without_records", f"Source '{name}' has no record.", path)


def _check_validity(spec: _Spec, data: _Data) -> Iterator[Finding]:
    """Records that the temporal strategy drops from every pair, without a word."""
    import datetime as dt

    import pyarrow as pa
    import pyarrow.compute as pc

    if data.records == 0:
        return
    strategy = "latest_only"
    for _, _, raw in spec.sources:
        if raw.get("temporal") is not None:
            strategy = _text(_mapping(raw["temporal"]).get("strategy", "latest_only"))
            break
    if strategy == "bi_temporal":
        return
    now = pa.scalar(dt.datetime.now(dt.timezone.utc), pa.timestamp("us", tz="UTC"))
    table = data.table
    ended = pc.less(table.column("valid_to"), now)
    dropped = ended
    if strategy == "point_in_time":
        dropped = pc.or_kleene(ended, pc.greater(table.column("valid_from"), now))
    count = pc.sum(pc.fill_null(dropped, False)).as_py() or 0
    if count:
        reason = (
            "valid_to in the past"
            if strategy == "latest_only"
            else "a validity period that excludes now"
        )
        yield Finding(
            "warning",
            "records_never_compared",
            f"{count} records have {reason}: under the temporal strategy {strategy} every pair "
            "with one of them is skipped, so they stay in clusters of their own.",
            "data.valid_to",
        )


# Block sizes come from the native engine, so that they are exactly the blocks a run
# forms. The result is a dict: "keys" (per blocking key: key_index, its position in
# blocking.keys or -1 for the locality-sensitive keys; blocks; pairs; records, those
# that get a text from it; largest, the largest (text, records) blocks), "blocks" and
# "pairs" of the whole run, "records_without_key" and "records_with_repeated_key".
def _block_key_counts(spec_text: str, table: Any) -> dict[str, Any] | None:
    engine = _engine()
    fn = getattr(engine, "block_key_counts", None) if engine else None
    if fn is None:
        return None
    result: dict[str, Any] = fn(spec_text, table, 5)
    return result


@dataclass
class _Block:
    key: str
    records: int

    @property
    def pairs(self) -> int:
        return self.records * (self.records - 1) // 2


def _check_blocks(spec: _Spec, text: str, data: _Data) -> Iterator[Finding]:
    counts = _block_key_counts(text, data.table)
    if counts is None or data.records == 0:
        return
    for key in counts["keys"]:
        yield from _key_findings(spec, key)
    all_pairs = data.records * (data.records - 1) // 2
    run_pairs = counts["pairs"]
    if counts["records_with_repeated_key"]:
        yield Finding(
            "warning",
            "self_pairs",
            f"{counts['records_with_repeated_key']} records get the same key text twice, so the "
            "run pairs each of them with itself (a pair whose two ids are equal) and lists it "
            "twice in its blocks.",
            "blocking.keys",
        )
    if counts["records_without_key"]:
        yield Finding(
            "info",
            "records_without_key",
            f"{counts['records_without_key']} records "
            f"({_percent(counts['records_without_key'], data.records)}) get no blocking key: "
            "they are never compared and stay in clusters of their own.",
            "blocking.keys",
        )
    if data.records >= 2 and run_pairs == 0:
        if not spec.keys:
            return  # reported from the spec alone
        # Records that get keys but share none may simply be all distinct: that warns.
        # Records that get no key at all cannot be resolved: that is an error.
        no_keys = counts["records_without_key"] == data.records
        yield Finding(
            "error" if no_keys else "warning",
            "no_pairs",
            "No two records share a blocking key, so the run compares no pair and every record "
            "stays its own cluster. Check that the records have the blocking fields.",
            "blocking.keys",
        )
    elif data.records >= 2:
        yield Finding(
            "info",
            "pairs_total",
            f"The run will make {run_pairs} pair comparisons in {counts['blocks']} blocks "
            f"(all pairs of the {data.records} records: {all_pairs}).",
            "blocking",
        )
        if run_pairs > _EXPENSIVE_PAIRS:
            yield Finding(
                "warning",
                "expensive_run",
                f"The run will make {run_pairs} pair comparisons; expect it to take long and "
                "to use much memory. Tighten the blocking keys.",
                "blocking",
            )


def _key_findings(spec: _Spec, key: dict[str, Any]) -> Iterator[Finding]:
    index = key["key_index"]
    where = f"blocking.keys[{index}]" if index >= 0 else "blocking.strategy"
    label = f"[{', '.join(spec.keys[index])}]" if 0 <= index < len(spec.keys) else "lsh"
    if not key["largest"]:
        return
    text, size = key["largest"][0]
    largest = _Block(text, size)
    pairs = key["pairs"]
    yield Finding(
        "info",
        "blocking_cost",
        f"Blocking key {label}: {key['blocks']} blocks, {pairs} pairs; the largest block, "
        f"'{largest.key}', holds {largest.records} records ({largest.pairs} pairs).",
        where,
    )
    if largest.records >= 3 and largest.pairs * 2 > max(pairs, 1) and key["blocks"] > 1:
        yield Finding(
            "warning",
            "large_block",
            f"One block of key {label}, '{largest.key}', holds {largest.records} records and "
            f"produces {largest.pairs} of its {pairs} pairs: a shared value (empty, placeholder "
            "or very common) is pulling unrelated records together.",
            where,
        )


_EXPENSIVE_PAIRS = 100_000_000


def _blocking_never_keys(spec: _Spec, data: _Data) -> Iterator[Finding]:
    """Without native key counts: no key can form when every blocking key needs a
    field that no record has."""
    if data.records < 2 or not spec.keys:
        return
    if _mapping(spec.blocking).get("strategy") == "lsh":
        if any(data.has(f) for key in spec.keys for f in key):
            return
    if all(any(not data.has(f) for f in key) for key in spec.keys):
        yield Finding(
            "error",
            "no_pairs",
            "Every blocking key needs a field that no record has, so no record gets a key and the "
            "run compares no pair: every record stays its own cluster.",
            "blocking.keys",
        )


def _data_findings(spec: _Spec, text: str, table: Any) -> list[Finding]:
    data = _read_data(table, {u.field for u in _uses(spec)})
    findings = list(_check_sources(spec, data))
    findings.extend(_check_fields(spec, data))
    findings.extend(_check_rates(spec, data))
    findings.extend(_check_validity(spec, data))
    blocks = list(_check_blocks(spec, text, data))
    findings.extend(blocks if blocks else _blocking_never_keys(spec, data))
    return findings


def _record_table(text: str, data: Any) -> Any:
    import sys

    import pyarrow as pa

    if isinstance(data, pa.Table) and all(c in data.column_names for c in _FIXED_COLUMNS):
        return data
    if isinstance(data, list) and data and isinstance(data[0], dict) and "data" in data[0]:
        return entities_table(data)
    if isinstance(data, (str, os.PathLike)) and os.fspath(data).endswith(".json"):
        with open(data, encoding="utf-8") as fh:
            return entities_table(fh.read())
    read_records = getattr(sys.modules[__package__], "read_records", None)
    if read_records is None:
        raise TypeError(
            "data must be a record table (pyarrow.Table with the record columns), an entity "
            "list or a path to an entity list (.json)"
        )
    return read_records(text, data)


def entities_table(entities: str | Sequence[Mapping[str, Any]]) -> Any:
    """The canonical record table of an entity list in the JSON form that
    `reconcile_local` reads (a JSON array text, or the parsed list of objects).

    Each entity's `data` map becomes columns, one nullable string column per field;
    `valid_from`, `valid_to` and `last_updated` become UTC timestamps.

    Raises:
        ValueError: text that is not a JSON array of entity objects.
    """
    import datetime as dt
    import json

    import pyarrow as pa

    items = json.loads(entities) if isinstance(entities, str) else list(entities)
    if not isinstance(items, list) or not all(isinstance(e, dict) for e in items):
        raise ValueError("entities must be a JSON array of objects")
    ts = pa.timestamp("us", tz="UTC")

    def when(text: Any) -> Any:
        if text is None:
            return None
        value = dt.datetime.fromisoformat(str(text).replace("Z", "+00:00").replace("z", "+00:00"))
        return value.astimezone(dt.timezone.utc)

    def column(key: str) -> list[Any]:
        return [e.get(key) for e in items]

    try:
        columns: dict[str, Any] = {k: column(k) for k in _FIXED_COLUMNS[:5]}
        for key in ("valid_from", "valid_to", "last_updated"):
            columns[key] = pa.array([when(v) for v in column(key)], ts)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"entities: {exc}") from exc
    names: dict[str, None] = {}
    for e in items:
        names.update(dict.fromkeys(_mapping(e.get("data"))))
    for name in names:
        columns[name] = pa.array([_mapping(e.get("data")).get(name) for e in items], pa.string())
    return pa.table(columns)


_ORDER = {"error": 0, "warning": 1, "info": 2}


def check(spec: str | os.PathLike[str], data: Any = None) -> list[Finding]:
    """Check what a spec, and optionally its records, will really do in a run.

    Args:
        spec: the identity spec as YAML text, or a path (os.PathLike) to a YAML file.
        data: optional records in any form `velatro.reconcile` accepts (a DataFrame,
            a pyarrow Table, a path, a dict of sources...), or the canonical record
            table of `velatro.read_records`. Without data only the spec is checked.

    Returns:
        The findings, errors first, then warnings, then info; each group in the
        order of the spec. An empty list means nothing worth saying was found.

    Raises:
        TypeError: spec or data of an unsupported kind.
        OSError: a spec path that cannot be read.
        ValueError: data that cannot be read as records.
    """
    text = _spec_text(spec)
    findings, view = _spec_findings(text)
    if view is not None and data is not None:
        findings.extend(_data_findings(view, text, _record_table(text, data)))
    return sorted(findings, key=lambda f: _ORDER[f.level])


def log_findings(findings: Iterable[Finding], logger: logging.Logger = _LOG) -> None:
    """Log findings on the `velatro` logger: errors as ERROR, warnings as WARNING,
    info as INFO. Findings of one level and code that occur more than three times
    are logged as one record listing where they apply; each record carries the
    findings it stands for in its `velatro_findings` attribute."""
    levels = {"error": logging.ERROR, "warning": logging.WARNING, "info": logging.INFO}
    groups: dict[tuple[str, str], list[Finding]] = {}
    for finding in findings:
        groups.setdefault((finding.level, finding.code), []).append(finding)
    for (level, code), group in groups.items():
        if not logger.isEnabledFor(levels[level]):
            continue
        if len(group) <= 3:
            for finding in group:
                logger.log(levels[level], "%s", finding, extra={"velatro_findings": [finding]})
            continue
        places = ", ".join(f.where or "(spec)" for f in group)
        logger.log(
            levels[level],
            "%s: %s (%d findings: %s); velatro.check() lists them",
            level,
            code,
            len(group),
            places,
            extra={"velatro_findings": group},
        )


def preflight(spec_text: str, table: Any) -> list[Finding]:
    """The check a run makes before the engine starts: logs every finding and
    raises CheckError when one is an error."""
    findings = check(spec_text, table)
    log_findings(findings)
    if any(f.level == "error" for f in findings):
        raise CheckError(findings)
    return findings
