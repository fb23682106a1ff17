"""velatro.check: each silent case builds its spec (and records) and gets its finding;
the bundled examples get no error and only the warnings they deserve."""

import datetime as dt
import json
import logging
import uuid

import pytest

from conftest import EXAMPLES

pa = pytest.importorskip("pyarrow")
import velatro  # noqa: E402
from velatro import checks  # noqa: E402
from velatro.checks import CheckError, Finding, check  # noqa: E402

BASE = """
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources:
  - {name: crm, system: s, table: t, id: id, attributes: {email: email, name: full_name}}
  - {name: shop, system: s, table: t, id: id, attributes: {email: mail, name: name}}
blocking:
  keys: [[email]]
rules:
  - {name: email_exact, type: exact, field: email, weight: 0.6}
  - {name: name_fuzzy, type: similarity, field: name, algorithm: jaro_winkler, threshold: 0.9, weight: 0.4}
decision:
  thresholds: {match: 0.8, review: 0.5}
"""


def spec_with(**sections):
    """BASE with top-level sections replaced (None removes one)."""
    lines, skip = [], False
    for line in BASE.strip().splitlines():
        top = line.split(":")[0] if line and not line.startswith(" ") else None
        if top is not None:
            skip = top in sections
        if not skip:
            lines.append(line)
    for key, value in sections.items():
        if value is not None:
            lines.append(f"{key}:{value}" if value.startswith("\n") else f"{key}: {value}")
    return "\n".join(lines) + "\n"


def codes(findings, level=None):
    return [f.code for f in findings if level is None or f.level == level]


def only(findings, code):
    found = [f for f in findings if f.code == code]
    assert len(found) == 1, (code, [str(f) for f in findings])
    return found[0]


TENANT = "00000000-0000-0000-0000-000000000001"
DATA_FIELDS = ("email", "name", "full_name", "mail", "phone", "loyalty_id")


def records(rows, valid_to=None):
    """The canonical record table: fixed columns, then one string column per field."""
    now = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
    fields = [f for f in DATA_FIELDS if any(f in r for r in rows)]
    columns = {
        "id": [str(uuid.UUID(int=i + 1)) for i in range(len(rows))],
        "tenant_id": [TENANT] * len(rows),
        "external_id": [str(i) for i in range(len(rows))],
        "entity_type": ["person"] * len(rows),
        "source_name": [r.get("source", "crm") for r in rows],
        "valid_from": pa.array([None] * len(rows), pa.timestamp("us", tz="UTC")),
        "valid_to": pa.array(
            [r.get("valid_to", valid_to) for r in rows], pa.timestamp("us", tz="UTC")
        ),
        "last_updated": pa.array([now] * len(rows), pa.timestamp("us", tz="UTC")),
    }
    for f in fields:
        columns[f] = pa.array([r.get(f) for r in rows], pa.string())
    return pa.table(columns)


PEOPLE = records(
    [
        {"email": "a@x.com", "name": "Ann Lee"},
        {"email": "a@x.com", "name": "Ann Lee", "source": "shop"},
        {"email": "b@x.com", "name": "Bob Ray"},
        {"email": "c@x.com", "name": "Cy Dunn", "source": "shop"},
    ]
)


@pytest.fixture
def key_counts(monkeypatch):
    """Stands in for the native block counts: tests give the blocks as
    (key index, text, records) and the run-level figures follow from them."""
    rows = []

    def fake(spec_text, table):
        keys, merged = {}, {}
        for index, text, n in rows:
            keys.setdefault(index, []).append((text, n))
            merged[text] = merged.get(text, 0) + n
        pairs = lambda n: n * (n - 1) // 2  # noqa: E731
        return {
            "keys": [
                {
                    "key_index": index,
                    "blocks": len(blocks),
                    "pairs": sum(pairs(n) for _, n in blocks),
                    "records": sum(n for _, n in blocks),
                    "largest": sorted(blocks, key=lambda b: (-b[1], b[0]))[:5],
                }
                for index, blocks in sorted(keys.items())
            ],
            "blocks": len(merged),
            "pairs": sum(pairs(n) for n in merged.values()),
            "records_without_key": 0,
            "records_with_repeated_key": 0,
        }

    monkeypatch.setattr(checks, "_block_key_counts", fake)
    return rows


def test_clean_spec_and_data_have_no_warning():
    findings = check(BASE, PEOPLE)
    assert codes(findings, "error") == [] and codes(findings, "warning") == []
    assert all(isinstance(f, Finding) for f in findings)


def test_finding_is_frozen_and_printable():
    f = Finding("warning", "x", "msg", "rules[0]")
    with pytest.raises(AttributeError):
        f.level = "error"
    assert str(f) == "warning: x (rules[0]): msg"


def test_exported_from_package():
    assert velatro.check is check and velatro.Finding is Finding


def test_spec_path(tmp_path):
    path = tmp_path / "spec.yaml"
    path.write_text(BASE)
    assert check(path) == check(BASE)


# --- spec only -------------------------------------------------------------


def test_no_blocking_section_is_an_error():
    f = only(check(spec_with(blocking=None)), "no_blocking")
    assert f.level == "error" and f.where == "blocking"
    assert "compares no pair" in f.message


def test_blocking_without_keys_is_an_error():
    f = only(check(spec_with(blocking="{strategy: composite}")), "no_blocking_keys")
    assert f.level == "error" and f.where == "blocking.keys"


def test_repeated_blocking_key_names_the_factor():
    spec = spec_with(blocking="\n  keys: [[email], [name], [email], [email]]")
    f = only(check(spec), "repeated_blocking_key")
    assert f.level == "warning"
    assert "3 times" in f.message and "9 times the pairs" in f.message
    assert "blocking.keys[0], blocking.keys[2], blocking.keys[3]" in f.message


def test_empty_blocking_key_compares_everything():
    f = only(check(spec_with(blocking="{keys: [[]]}")), "empty_blocking_key")
    assert "one block" in f.message


@pytest.mark.parametrize(
    "scoring, reason, where",
    [
        ("fellegi_sunter", "`method: fellegi_sunter` without `strategy", "decision.scoring.method"),
        ("{method: fellegi_sunter}", "without `strategy", "decision.scoring.method"),
        (
            "{strategy: fellegi_sunter, thresholds: {match: 1, possible: 0, non_match: -1}}",
            "without fields",
            "decision.scoring.strategy",
        ),
        ("{method: ml_ensemble}", "without an `ml_ensemble` section", "decision.scoring.method"),
        ("{method: custom}", "without `custom.expression`", "decision.scoring.method"),
        (
            "{method: custom, custom: {expression: ''}}",
            "without `custom.expression`",
            "decision.scoring.method",
        ),
    ],
)
def test_scoring_fallback(scoring, reason, where):
    spec = spec_with(decision=f"\n  scoring: {scoring}\n  thresholds: {{match: 0.8}}")
    f = only(check(spec), "scoring_fallback")
    assert f.level == "warning" and reason in f.message and f.where == where
    assert "weighted sum instead" in f.message


def test_fellegi_sunter_with_its_strategy_does_not_fall_back():
    scoring = """
  scoring:
    strategy: fellegi_sunter
    fields:
      - {name: email, comparator: exact, m_probability: 0.9, u_probability: 0.1}
    thresholds: {match: 1.0, possible: 0.0, non_match: -1.0}
  thresholds: {match: 0.8}"""
    findings = check(spec_with(decision=scoring))
    assert "scoring_fallback" not in codes(findings)
    assert codes(findings, "error") == []
    unused = {f.where for f in findings if f.code == "not_used"}
    assert unused == {"decision.thresholds.match", "decision.scoring.thresholds.non_match"}


@pytest.mark.parametrize(
    "decision, code, level, where",
    [
        (
            "{thresholds: {match: 1.5}}",
            "threshold_unreachable",
            "error",
            "decision.thresholds.match",
        ),
        ("{thresholds: {match: 0}}", "threshold_trivial", "error", "decision.thresholds.match"),
        (
            "{thresholds: {match: -2, review: -3}}",
            "threshold_trivial",
            "error",
            "decision.thresholds.match",
        ),
        (
            "{thresholds: {match: 0.9, review: 0}}",
            "threshold_trivial",
            "warning",
            "decision.thresholds.review",
        ),
        (
            "{scoring: {method: ml_ensemble, ml_ensemble: {coefficients: {email_exact: 2}}}, "
            "thresholds: {match: 1.2}}",
            "threshold_unreachable",
            "error",
            "decision.thresholds.match",
        ),
    ],
)
def test_thresholds_outside_the_scale(decision, code, level, where):
    findings = [f for f in check(spec_with(decision=decision)) if f.code == code]
    assert [(f.level, f.where) for f in findings] == [(level, where)]


def test_fellegi_sunter_threshold_above_the_highest_total_weight():
    scoring = """
  scoring:
    strategy: fellegi_sunter
    fields:
      - {name: email, comparator: exact, m_probability: 0.9, u_probability: 0.1}
    thresholds: {match: 8.0, possible: 2.0, non_match: -4.0}
  thresholds: {match: 0.8}"""
    f = only(check(spec_with(decision=scoring)), "threshold_unreachable")
    assert f.level == "error" and f.where == "decision.scoring.thresholds.match"
    assert "(2.20;" in f.message  # ln 9


def test_ml_rule_caps_the_weighted_sum_and_the_threshold_becomes_unreachable():
    rules = """
  - {name: email_exact, type: exact, field: email, weight: 0.5}
  - {name: model, type: ml, model: m1, features: [email], threshold: 0.5, weight: 0.5}"""
    findings = check(spec_with(rules=rules))
    ml = only(findings, "ml_rule")
    assert ml.where == "rules[1]" and "can score above 0.50" in ml.message
    unreachable = only(findings, "threshold_unreachable")
    assert "always score 0" in unreachable.message


@pytest.mark.parametrize(
    "path, section",
    [
        (
            "decision.scoring.training",
            'decision="\\n  scoring: {strategy: fellegi_sunter, fields: [{name: email, comparator: exact, '
            "m_probability: 0.9, u_probability: 0.1}], thresholds: {match: 1, possible: 0, non_match: -1}, "
            'training: {method: em}}\\n  thresholds: {match: 0.8}"',
        ),
        (
            "decision.review_queue",
            'decision="{thresholds: {match: 0.8}, review_queue: {enabled: true}}"',
        ),
        ("decision.thresholds.reject", 'decision="{thresholds: {match: 0.8, reject: 0.1}}"'),
        ("blocking.fallback", 'blocking="{keys: [[email]], fallback: {enabled: true}}"'),
        (
            "relations",
            'relations="[{name: r, from_entity: a, to_entity: b, join_key: k, '
            'cardinality: one_to_one}]"',
        ),
        (
            "reference_identifiers[0].conditions",
            'reference_identifiers="[{name: n, type: external, field: email, conditions: '
            '[{field: email, operator: not_empty}]}]"',
        ),
        ("governance.required_tags", 'governance="{required_tags: [pii]}"'),
    ],
)
def test_carried_only_settings_warn(path, section):
    spec = eval(f"spec_with({section})")
    found = [f for f in check(spec) if f.code == "not_used" and f.where == path]
    assert len(found) == 1 and found[0].level == "warning", [str(f) for f in check(spec)]


def test_explicit_pair_ids_are_literal_texts():
    spec = spec_with(
        exclusions="[{type: explicit_pair, source: crm, left_id_field: contact_id, right_id_field: other}]"
    )
    f = only(check(spec), "literal_ids")
    assert "'contact_id' and 'other'" in f.message


@pytest.mark.parametrize(
    "exclusion, where",
    [
        ("{type: field_value, field: email, operator: equals, value: x}", "exclusions[0].operator"),
        ("{type: field_value, field: email, operator: eq, value: [a, b]}", "exclusions[0].value"),
    ],
)
def test_exclusion_that_never_applies(exclusion, where):
    assert only(check(spec_with(exclusions=f"[{exclusion}]")), "never_applies").where == where


@pytest.mark.parametrize(
    "rules, message, where",
    [
        (
            "[{name: r, type: similarity, field: email, algorithm: soundex, threshold: 1, "
            "normalizer: email}]",
            "do not apply a normalizer",
            "rules[0].normalizer",
        ),
        (
            "[{name: r, type: exact, field: email, options: {normalizer: zip}}]",
            "not a normalizer",
            "rules[0].options.normalizer",
        ),
        (
            "[{name: r, type: similarity, fields: [email, name], algorithm: levenshtein, threshold: 0.8}]",
            "only the first, 'email'",
            "rules[0].fields",
        ),
        (
            "[{name: r, type: similarity, field: email, algorithm: levenshtein, threshold: 0}]",
            "matched on every pair",
            "rules[0].threshold",
        ),
    ],
)
def test_rule_settings_that_do_nothing(rules, message, where):
    found = [f for f in check(spec_with(rules=rules)) if f.where == where]
    assert len(found) == 1 and message in found[0].message, [
        str(f) for f in check(spec_with(rules=rules))
    ]


@pytest.mark.parametrize(
    "section, where, suggestion",
    [
        (
            'decision="{thresholds: {match: 0.8, reveiw: 0.5}}"',
            "decision.thresholds.reveiw",
            "review",
        ),
        ('blocking="{keys: [[email]], stratgy: lsh}"', "blocking.stratgy", "strategy"),
        ('survivorship="{defualt: most_complete}"', "survivorship.defualt", "default"),
        (
            'rules="[{name: r, type: exact, field: email, optoins: {normalize: true}}]"',
            "rules[0].optoins",
            "options",
        ),
    ],
)
def test_misspelled_optional_key(section, where, suggestion):
    f = only(check(eval(f"spec_with({section})")), "unknown_key")
    assert f.level == "warning" and f.where == where and f"did you mean `{suggestion}`" in f.message


def test_key_of_another_rule_type_is_ignored():
    spec = spec_with(
        rules="[{name: r, type: exact, field: email, normalizer: email, threshold: 0.9}]"
    )
    found = {f.where: f.message for f in check(spec) if f.code == "unknown_key"}
    assert "write it under `options`" in found["rules[0].normalizer"]
    assert "not read for rules of type exact" in found["rules[0].threshold"]


def test_unknown_key_far_from_any_is_info():
    f = only(check(spec_with(entity="{name: person, colour: blue}")), "unknown_key")
    assert f.level == "info" and f.where == "entity.colour"


def test_fellegi_sunter_probability_outside_zero_one():
    scoring = """
  scoring:
    strategy: fellegi_sunter
    fields:
      - {name: email, comparator: exact, m_probability: 1.2, u_probability: 0.1}
      - {name: name, comparator: jaro_winkler, m_probability: 0.9, u_probability: 0}
    thresholds: {match: 1.0, possible: 0.0, non_match: -1.0}
  thresholds: {match: 0.8}"""
    findings = check(spec_with(decision=scoring))
    assert only(findings, "probability_out_of_range").level == "error"
    assert only(findings, "probability_extreme").where == "decision.scoring.fields[1].u_probability"


def test_custom_expression_naming_no_rule():
    decision = "{scoring: {method: custom, custom: {expression: 'max(email_exact, nam_fuzzy)'}}, thresholds: {match: 0.8}}"
    findings = check(spec_with(decision=decision))
    assert "nam_fuzzy" in only(findings, "unknown_rule_name").message
    assert "name_fuzzy" in only(findings, "rule_not_scored").message


def test_validator_messages_are_findings():
    spec = spec_with(rules="[{name: r, type: exact, field: email, weight: 2}]")
    f = only(check(spec), "schema")
    assert f.level == "warning" and f.where == "rules[0]" and "weight 2" in f.message


def test_spec_the_run_cannot_read_is_an_error():
    findings = check(spec_with(decision="{tresholds: {match: 0.8}}"))
    f = only(findings, "spec_unreadable")
    assert f.level == "error" and f.message.startswith("VLT-E102")
    assert "did you mean `thresholds`" in only(findings, "unknown_key").message


def test_unreadable_yaml_is_an_error():
    assert codes(check("a: [1"), "error") == ["spec_unreadable"]


# --- with records ------------------------------------------------------------


def test_records_keyed_by_the_source_column_names():
    table = records([{"full_name": "Ann Lee", "mail": "a@x.com"}] * 3)
    findings = check(BASE, table)
    by_where = {f.where: f for f in findings if f.code == "field_absent"}
    email = by_where["rules[0].field"]
    assert "No record has the field 'email'" in email.message
    assert "source 'shop' maps to 'email'" in email.message and "rename 'mail'" in email.message
    assert "can score at most 0.40" in email.message
    assert "source 'crm' maps to 'name'" in by_where["rules[1].field"].message
    assert only(findings, "no_pairs").level == "error"


def test_rule_field_that_one_source_never_has():
    table = records(
        [
            {"email": "a@x.com", "name": "Ann Lee"},
            {"email": "a@x.com", "source": "shop"},
            {"email": "b@x.com", "name": "Bob Ray"},
            {"email": "c@x.com", "source": "shop"},
        ]
    )
    f = only(check(BASE, table), "field_absent_in_source")
    assert f.where == "rules[1].field" and "source 'shop' (2)" in f.message
    assert "at most 0.60 (instead of 1.00), below the merge threshold 0.8" in f.message


def test_rule_field_missing_in_a_source_under_fellegi_sunter():
    decision = """
  scoring:
    strategy: fellegi_sunter
    fields:
      - {name: email, comparator: exact, m_probability: 0.9, u_probability: 0.1}
      - {name: name, comparator: jaro_winkler, m_probability: 0.9, u_probability: 0.1}
    thresholds: {match: 3.0, possible: 1.0, non_match: -4.0}
  thresholds: {match: 0.8}"""
    table = records([{"email": "a@x.com", "name": "A"}, {"email": "a@x.com", "source": "shop"}])
    found = [
        f
        for f in check(spec_with(decision=decision, rules=None), table)
        if f.code == "field_absent_in_source"
    ]
    assert [f.where for f in found] == ["decision.scoring.fields[1]"]
    assert (
        "Under Fellegi-Sunter scoring those pairs can score at most 0.00 (instead of 4.39)"
        in found[0].message
    )
    assert "can never merge" in found[0].message and "nor go to review" in found[0].message


def test_empty_strings_are_values_that_match_each_other():
    rows = [{"email": "", "name": f"P{i}"} for i in range(5)] + [{"email": "z@x.com", "name": "Z"}]
    findings = check(BASE, records(rows))
    f = only(findings, "empty_values")
    assert f.where == "data.email" and "5 records" in f.message
    rates = {x.where: x.message for x in findings if x.code == "field_rates"}
    assert rates["data.email"] == "Field 'email': 0.0% missing, 83.3% empty."


def test_missing_rates_per_field():
    table = records(
        [{"email": "a@x.com", "name": "A"}, {"email": "b@x.com"}, {"name": "C"}, {"name": None}]
    )
    rates = {f.where: f.message for f in check(BASE, table) if f.code == "field_rates"}
    assert rates == {
        "data.email": "Field 'email': 50.0% missing, 0.0% empty.",
        "data.name": "Field 'name': 50.0% missing, 0.0% empty.",
    }


def test_placeholder_values_in_a_reference_identifier():
    spec = spec_with(reference_identifiers="[{name: loyalty, type: internal, field: loyalty_id}]")
    rows = [{"email": f"{i}@x.com", "loyalty_id": "0000000"} for i in range(3)] + [
        {"email": "q@x.com", "loyalty_id": "123"}
    ]
    f = only(check(spec, records(rows)), "placeholder_values")
    assert (
        "'0000000' (3 records)" in f.message
        and "merge through the reference identifier" in f.message
    )


def test_placeholder_covered_by_an_exclusion_is_not_reported():
    spec = spec_with(exclusions="[{type: field_value, field: email, operator: eq, value: 'n/a'}]")
    rows = [{"email": "n/a"}, {"email": "n/a"}, {"email": "a@x.com"}]
    assert "placeholder_values" not in codes(check(spec, records(rows)))
    assert "placeholder_values" in codes(check(BASE, records(rows)))


def test_is_empty_exclusion_on_an_absent_field_excludes_everyone():
    spec = spec_with(
        exclusions="[{type: field_value, field: phone, operator: is_empty, value: null}]"
    )
    found = [f for f in check(spec, PEOPLE) if f.where == "exclusions[0].field"]
    assert [f.level for f in found] == ["error"] and "no record is blocked" in found[0].message


def test_records_whose_validity_ended_are_never_compared():
    past = dt.datetime(2000, 1, 1, tzinfo=dt.timezone.utc)
    table = records([{"email": "a@x.com", "valid_to": past}, {"email": "a@x.com"}])
    f = only(check(BASE, table), "records_never_compared")
    assert f.message.startswith("1 records have valid_to in the past")


def test_undeclared_source():
    table = records([{"email": "a@x.com", "source": "erp"}, {"email": "a@x.com"}])
    assert "'erp'" in only(check(BASE, table), "unknown_source").message


def test_block_counts_give_cost_and_largest_blocks(key_counts):
    key_counts += [(0, "a@x.com", 2), (0, "", 40), (0, "b@x.com", 3)]
    findings = check(BASE, PEOPLE)
    cost = only(findings, "blocking_cost")
    assert cost.message == (
        "Blocking key [email]: 3 blocks, 784 pairs; the largest block, '', holds 40 records (780 pairs)."
    )
    assert only(findings, "large_block").where == "blocking.keys[0]"
    assert "make 784 pair comparisons in 3 blocks" in only(findings, "pairs_total").message


def test_blocks_of_different_keys_with_the_same_text_merge(key_counts):
    spec = spec_with(blocking="{keys: [[email], [name]]}")
    key_counts += [(0, "x", 2), (1, "x", 2)]
    assert "make 6 pair comparisons in 1 blocks" in only(check(spec, PEOPLE), "pairs_total").message


def test_no_pair_between_distinct_values_warns(key_counts):
    # Every record has a key but no two share one: they may simply all be distinct.
    key_counts += [(0, "a", 1), (0, "b", 1)]
    assert only(check(BASE, PEOPLE), "no_pairs").level == "warning"


def test_expensive_run_warns(key_counts, monkeypatch):
    monkeypatch.setattr(checks, "_EXPENSIVE_PAIRS", 5)
    key_counts += [(0, "a", 4)]
    assert "make 6 pair comparisons" in only(check(BASE, PEOPLE), "expensive_run").message


# The native counts themselves: the blocks a run forms, before it compares a pair.
native_counts = pytest.mark.skipif(
    checks._engine() is None or not hasattr(checks._engine(), "block_key_counts"),
    reason="the engine module has no block_key_counts",
)


@native_counts
def test_native_counts_are_the_runs_blocks():
    table = example_table()
    spec = (EXAMPLES / "customer.yaml").read_text().replace("point_in_time", "bi_temporal")
    counts = checks._block_key_counts(spec, table)
    telemetry = velatro.reconcile(spec, table, checks=False).telemetry
    assert counts["blocks"] == telemetry["blocking_groups"]
    assert counts["pairs"] == telemetry["pairs_evaluated"]
    assert [k["key_index"] for k in counts["keys"]] == [0, 1, 2, 3]
    email = counts["keys"][1]
    assert email["largest"][0] == ("amandasmith501@gmail.com", 5)


@native_counts
def test_native_counts_find_empty_blocks_and_self_pairs():
    rows = [{"email": "", "name": f"P{i}"} for i in range(6)] + [
        {"email": f"{i}@x.com", "name": "Q"} for i in range(6)
    ]
    findings = check(BASE, records(rows))
    large = only(findings, "large_block")
    assert "'', holds 6 records and produces 15 of its 15 pairs" in large.message
    repeated = spec_with(blocking="{keys: [[email], [email]]}")
    f = only(check(repeated, records(rows)), "self_pairs")
    assert f.message.startswith("12 records get the same key text twice")


@native_counts
def test_native_counts_records_without_key_and_no_pairs():
    table = records([{"name": "A"}, {"name": "B"}, {"email": "a@x.com"}])
    findings = check(BASE, table)
    assert only(findings, "records_without_key").message.startswith("2 records (66.7%)")
    assert only(findings, "no_pairs").level == "warning"


@native_counts
def test_native_counts_no_record_with_a_key_is_an_error():
    table = records([{"name": "A"}, {"name": "B"}])
    assert only(check(BASE, table), "no_pairs").level == "error"


# --- reconcile's pre-flight --------------------------------------------------


def test_preflight_logs_and_raises_on_errors(caplog):
    with caplog.at_level(logging.INFO, logger="velatro"):
        with pytest.raises(CheckError) as info:
            checks.preflight(spec_with(blocking=None), PEOPLE)
    assert "no_blocking" in str(info.value)
    assert any(
        r.levelno == logging.ERROR and "no_blocking" in r.getMessage() for r in caplog.records
    )
    assert isinstance(info.value, ValueError)


# --- the bundled examples ----------------------------------------------------

# What the examples deserve: settings they use that the run never looks at.
EXAMPLE_WARNINGS = {
    "literal_ids",
    "ml_rule",
    "not_used",
    "rule_not_scored",
    "temporal_scope",
}


def example_table():
    return checks.entities_table((EXAMPLES / "customers.json").read_text())


def test_entities_table_shape():
    table = example_table()
    assert table.column_names[:8] == list(checks._FIXED_COLUMNS)
    assert (
        table.num_rows == 300
        and str(table.schema.field("last_updated").type) == "timestamp[us, tz=UTC]"
    )
    assert table.column("email").null_count < 300


@pytest.mark.parametrize("name", ["customer.yaml", "customer_v2.yaml"])
def test_examples_get_only_the_warnings_they_deserve(name):
    findings = check(EXAMPLES / name)
    assert codes(findings, "error") == []
    assert set(codes(findings, "warning")) <= EXAMPLE_WARNINGS, [str(f) for f in findings]


@pytest.mark.parametrize("name", ["customer.yaml", "customer_v2.yaml"])
def test_examples_on_generated_data(name):
    findings = check(EXAMPLES / name, EXAMPLES / "customers.json")
    assert codes(findings, "error") == []
    data_warnings = {f.code: f for f in findings if f.level == "warning"}.keys() - EXAMPLE_WARNINGS
    # The generated records carry loyalty number 0000000 on several people, which
    # the reference identifier merges (its not_in condition is not applied), and a
    # few records whose validity has ended, which point_in_time drops from every pair.
    assert data_warnings <= {"placeholder_values", "records_never_compared"}, [
        str(f) for f in findings if f.code in data_warnings
    ]


def test_reconcile_checks_first(caplog):
    people = [
        {"id": "1", "email": "a@x.com", "name": "Ann"},
        {"id": "2", "email": "a@x.com", "name": "Ann"},
    ]
    spec = BASE.replace(
        "  - {name: shop, system: s, table: t, id: id, attributes: {email: mail, name: name}}\n", ""
    )
    with caplog.at_level(logging.WARNING, logger="velatro"):
        with pytest.raises(CheckError) as info:
            velatro.reconcile(spec.replace("  keys: [[email]]", "  keys: []"), people)
    assert [f.code for f in info.value.findings if f.level == "error"] == ["no_blocking_keys"]
    assert any("no_blocking_keys" in r.getMessage() for r in caplog.records)
    result = velatro.reconcile(
        spec.replace("  keys: [[email]]", "  keys: []"), people, checks=False
    )
    assert result.pairs.num_rows == 0
    assert velatro.reconcile(spec, people).pairs.num_rows == 1


def test_repeated_findings_are_logged_as_one_record(caplog):
    findings = [Finding("warning", "not_used", f"m{i}", f"p{i}") for i in range(5)]
    findings.append(Finding("error", "no_pairs", "none", "blocking"))
    with caplog.at_level(logging.INFO, logger="velatro"):
        checks.log_findings(findings)
    assert [r.levelno for r in caplog.records] == [logging.WARNING, logging.ERROR]
    assert "not_used (5 findings: p0, p1, p2, p3, p4)" in caplog.records[0].getMessage()
    assert caplog.records[0].velatro_findings == findings[:5]
