"""Bounded work: the cost of a run is known before it starts, the estimate is the run's
own count, and a run that cannot fit is refused before any pair is compared."""

import json
import logging
import time

import pyarrow as pa
import pytest

import velatro
from conftest import EXAMPLES
from test_tables import entity_rows, generated, table_of

SPEC = """
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: people
    id: key
rules:
  - {name: email_exact, type: exact, field: email, weight: 1.0}
  - {name: name_edit, type: similarity, field: name, algorithm: levenshtein, threshold: 0.8,
     weight: 0.5}
blocking:
  keys: KEYS
decision:
  thresholds: {match: 0.9, review: 0.6}
"""


def spec_with(keys):
    return SPEC.replace("KEYS", keys)


def people(n, email=lambda i: f"p{i % 97}@x.org", name=lambda i: f"name{i % 13}"):
    return pa.table({
        "key": [str(i) for i in range(n)],
        "email": [email(i) for i in range(n)],
        "name": [name(i) for i in range(n)],
    })


@pytest.mark.parametrize("spec, data", [
    ("example", None),
    ("generated", 10_000),
    (spec_with("[[email], [name]]"), people(2000)),
    (spec_with("[[]]"), people(300)),            # one empty key for every record
    (spec_with("[[email], [email]]"), people(300)),  # a repeated key doubles every block
], ids=["example", "generated-10k", "two-keys", "key-without-fields", "repeated-key"])
def test_estimate_is_the_run_count(customer_yaml, spec, data):
    if spec == "example":
        spec, data = customer_yaml, entity_rows(json.loads((EXAMPLES / "customers.json").read_text()))
    elif spec == "generated":
        spec, data = customer_yaml, table_of(entity_rows(json.loads(generated(data))))
    plan = velatro.plan_run(spec, data)
    result = velatro.reconcile(spec, data)
    assert plan.evaluated_exact
    assert plan.evaluated_pairs == result.telemetry["pairs_evaluated"]
    assert plan.blocks == result.telemetry["blocking_groups"]
    assert plan.estimated_seconds >= 0 and plan.estimated_result_bytes >= 0


def test_pairs_per_blocking_key_and_largest_blocks():
    plan = velatro.plan_run(spec_with("[[email], [name]]"), people(2000))
    keys = {k["key"]: k for k in plan.keys.to_pylist()}
    # 97 e-mails over 2000 records, 13 names: every block's pairs counted per key.
    assert keys["email"]["blocks"] == 97
    assert keys["name"]["blocks"] == 13
    assert keys["name"]["pairs"] == sum(n * (n - 1) // 2 for n in
                                        [len(range(r, 2000, 13)) for r in range(13)])
    top = plan.largest_blocks.to_pylist()[0]
    assert top["keys"] == ["name"] and top["size"] == len(range(0, 2000, 13))
    assert "pairs per blocking key" in str(plan)


def refused_quickly(spec, data, **budget):
    start = time.monotonic()
    with pytest.raises(ValueError) as info:
        velatro.reconcile(spec, data, **budget)
    return str(info.value), time.monotonic() - start


def test_a_placeholder_value_block_is_refused_naming_key_and_block():
    data = people(3000, email=lambda i: "unknown@example.com")
    message, _ = refused_quickly(spec_with("[[email]]"), data, max_block_size=1000)
    assert message.startswith("run refused before comparing: block 'unknown@example.com' of "
                              "blocking key 'email' holds 3000 records (4498500 pairs), more "
                              "than max_block_size=1000.")
    assert "raise max_block_size" in message


def test_a_key_repeated_many_times_is_refused_without_the_quadratic_work():
    keys = "[" + ", ".join(["[email]"] * 10_000) + "]"
    message, seconds = refused_quickly(spec_with(keys), people(300))
    assert "more than max_block_size=20000" in message or "more than max_pairs" in message
    assert "'email'" in message
    # Refused from key counts alone: seconds, not the minutes of the comparisons.
    assert seconds < 30


def test_total_pairs_over_budget_name_the_costliest_key():
    message, _ = refused_quickly(spec_with("[[email], [name]]"), people(2000), max_pairs=10_000)
    assert "more than max_pairs=10000; blocking key 'name' alone forms" in message
    assert "raise max_pairs" in message


def test_no_budget_runs_anything():
    result = velatro.reconcile(spec_with("[[email]]"), people(200, email=lambda i: "same@x.org"),
                               max_block_size=None, max_pairs=None)
    assert result.telemetry["pairs_evaluated"] == 200 * 199 // 2


@pytest.mark.parametrize("bad", [0, -1, 1.5, True])
def test_budget_arguments_are_checked(bad):
    with pytest.raises(ValueError, match="max_pairs: expected a positive integer or None"):
        velatro.reconcile(spec_with("[[email]]"), people(3), max_pairs=bad)


def test_empty_blocking_values_never_form_a_block():
    data = people(3000, email=lambda i: "" if i % 2 else "   ")
    plan = velatro.plan_run(spec_with("[[email]]"), data)
    assert plan.records_blocked == 0 and plan.candidate_pairs == 0


def test_long_values_in_similarity_fields_are_reported(caplog):
    long = "x" * (velatro.LONG_VALUE_CHARS + 1)
    data = people(3, name=lambda i: long if i == 1 else "ann")
    plan = velatro.plan_run(spec_with("[[email]]"), data)
    assert plan.long_values.to_pylist() == [
        {"source_name": "people", "external_id": "1", "field": "name",
         "length": velatro.LONG_VALUE_CHARS + 1}]
    with caplog.at_level(logging.WARNING, logger="velatro"):
        velatro.reconcile(spec_with("[[email]]"), data)
    assert "record people/1: field 'name' holds 10001 characters" in caplog.text


def test_a_result_that_cannot_fit_in_memory_is_refused(monkeypatch):
    from velatro import _budget

    # 200 records with one e-mail: every pair merges, so every pair is kept.
    data = people(200, email=lambda i: "same@x.org", name=lambda i: "ann")
    monkeypatch.setattr(_budget, "memory_budget", lambda: 100_000)
    message, _ = refused_quickly(spec_with("[[email]]"), data)
    assert message.startswith("run refused before comparing: its kept pairs would take about")
    assert "(100% of 19900 pairs kept), more than max_result_bytes=100000" in message
