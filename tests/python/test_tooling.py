"""The spec tooling functions: validate, validate_schema, validate_semantics,
compile_ir, plan and diff, as seen from Python."""

import pytest

from conftest import EXAMPLES

ROOT_OK = "api_version: velatro/v1\nidentity_version: '1'\nentity: {name: c}\n"


def sorted_everywhere(value):
    if isinstance(value, dict):
        keys = list(value)
        return keys == sorted(keys, key=lambda k: k.encode()) and all(
            sorted_everywhere(v) for v in value.values()
        )
    if isinstance(value, list):
        return all(sorted_everywhere(v) for v in value)
    return True


@pytest.fixture(scope="module")
def customer_v2_yaml():
    return (EXAMPLES / "customer_v2.yaml").read_text(encoding="utf-8")


# --- validation ----------------------------------------------------------------


def test_validate_joins_schema_then_semantic_messages(native):
    text = (
        "entity: {}\n"
        "sources: [{name: crm, system: s, table: t, id: i, attributes: {email: e}}]\n"
        "rules: [{name: r, type: exact, field: mail, weight: 1.5}, {name: r, type: exact}]\n"
        "decision: {thresholds: {match: 0.5, review: 0.6}}\n"
    )
    schema = [
        "Missing required field: api_version",
        "Missing required field: identity_version",
        "entity.name is required",
        "rules[0]: weight 1.5 must be between 0 and 1",
    ]
    semantic = [
        "Rule 'r' references unknown field 'mail'. Did you mean 'email'?",
        "Duplicate rule name: 'r'",
        "Threshold error: 'match' should be >= 'review'",
    ]
    assert native.validate_schema(text) == schema
    assert native.validate_semantics(text) == semantic
    assert native.validate(yaml_str=text) == schema + semantic


def test_examples_validate_clean(native, customer_yaml, customer_v2_yaml):
    for text in (customer_yaml, customer_v2_yaml):
        assert native.validate(text) == []


@pytest.mark.parametrize("name", ["validate", "validate_schema", "validate_semantics", "compile_ir"])
def test_unreadable_yaml_raises_the_reader_message(native, name):
    with pytest.raises(ValueError) as reader:
        native.parse("a: [1, 2")
    with pytest.raises(ValueError) as caught:
        getattr(native, name)("a: [1, 2")
    assert caught.value.args == reader.value.args


def test_non_object_roots_only_miss_the_required_fields(native):
    for text in ("[1, 2]", "text", "~"):
        assert native.validate(text) == [
            "Missing required field: api_version",
            "Missing required field: identity_version",
            "Missing required field: entity",
        ]


# --- compile_ir ------------------------------------------------------------------


def test_compile_ir_document(native, customer_yaml):
    doc = native.compile_ir(customer_yaml)
    assert list(doc) == [
        "api_version", "blocking_strategy", "entity", "identity_version",
        "plan_hash", "rule_count", "sources", "thresholds",
    ]
    assert doc["rule_count"] == 11
    assert doc["sources"][2] == {"name": "loyalty", "system": "loyalty_programme", "table": "members"}
    assert doc["thresholds"] == {"match": 0.85, "reject": 0.3, "review": 0.65}
    assert len(doc["plan_hash"]) == 71 and doc["plan_hash"].startswith("sha256:")
    # Its hash covers only the seven facts, so it differs from the whole-spec hash.
    assert doc["plan_hash"] != native.hash(customer_yaml)
    empty = native.compile_ir("{}")
    assert empty["rule_count"] is None and empty["sources"] is None
    assert native.compile_ir("rules: []")["rule_count"] == 0


# --- plan --------------------------------------------------------------------------


def test_plan_report_shape_and_sorted_keys(native, customer_yaml):
    report = native.plan(customer_yaml)
    assert sorted_everywhere(report)
    assert list(report) == [
        "blocking_analysis", "entity", "execution_stages", "identity_version",
        "match_strategies", "plan_hash", "risk_flags", "sources", "summary",
        "survivorship_summary",
    ]
    assert report["plan_hash"] == native.hash(customer_yaml)
    assert [s["stage"] for s in report["execution_stages"]] == list(range(1, 9))
    assert report["sources"][0] == {"field_count": 10, "name": "crm", "system": "salesforce_crm"}
    first = report["match_strategies"][0]
    assert first == {
        "algorithm": None, "evaluation_order": 3, "field": "email", "match_type": "exact",
        "rule_name": "email_exact", "threshold": None, "weight": 1.0,
    }
    assert type(first["weight"]) is float
    lines = report["summary"].split("\n")
    assert len(lines) == 9
    assert all(line[16] != " " and line[:16].strip() for line in lines)
    assert lines[0] == "  Identity:     customer (2024.06.1)"
    assert lines[4] == "  Thresholds:   merge >= 0.85, review >= 0.65"
    assert lines[8] == f"  Plan hash:    {report['plan_hash'][:15]}..."


def test_plan_two_decimals_round_the_exact_binary_value(native):
    report = native.plan(
        "rules:\n"
        "  - {name: a, type: fuzzy, threshold: 0.125, weight: 0.905}\n"
        "  - {name: b, type: fuzzy, threshold: 0.7, weight: 1}\n"
    )
    messages = [f["message"] for f in report["risk_flags"] if f["code"] in
                ("LOW_THRESHOLD", "HIGH_WEIGHT_FUZZY")]
    assert messages == [
        "Rule 'a' has threshold 0.12 — risk of over-merging",
        "Rule 'b' has threshold 0.70 — risk of over-merging",
        # 0.905 is stored just above the half, so it rounds up.
        "Fuzzy rule 'a' has weight 0.91 — high trust in approximate matching",
        "Fuzzy rule 'b' has weight 1.00 — high trust in approximate matching",
    ]


def test_plan_texts_carry_em_dash_and_superscript_two(native):
    report = native.plan("{}")
    flag = report["risk_flags"][0]
    assert flag["code"] == "NO_BLOCKING" and flag["severity"] == "critical"
    assert flag["message"].encode("utf-8") == (
        b"No blocking keys defined \xe2\x80\x94 all pairs will be compared (O(n\xc2\xb2))"
    )
    assert report["blocking_analysis"]["warnings"] == [
        "No blocking keys defined \u2014 O(n\u00b2) pairwise comparisons"
    ]
    assert [f["code"] for f in report["risk_flags"]] == [
        "NO_BLOCKING", "NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL",
    ]
    assert report["summary"].split("\n")[7] == "  Risk flags:   1 critical, 0 high, 2 medium"


def test_plan_keeps_unknown_for_a_numeric_version(native):
    assert native.plan("identity_version: 3")["identity_version"] == "unknown"


def test_plan_unreadable_yaml_has_a_fixed_message(native):
    for text in ("a: [1,", "{", "a: *missing"):
        with pytest.raises(ValueError) as caught:
            native.plan(text)
        assert caught.value.args == ("Failed to parse YAML for plan generation",)


# --- diff --------------------------------------------------------------------------


DIFF_KEYS = [
    "blocking_changed", "blocking_changes", "decision_changes", "entity_changed",
    "entity_changes", "metadata_changed", "metadata_changes", "rules_added",
    "rules_modified", "rules_removed", "scoring_changed", "scoring_changes",
    "sources_added", "sources_modified", "sources_removed", "summary",
    "survivorship_changed", "survivorship_changes", "thresholds_changed", "version_changed",
]


def test_diff_of_identical_specs_has_no_fs_changes_key(native, customer_yaml):
    result = native.diff(customer_yaml, customer_yaml)
    assert list(result) == DIFF_KEYS
    assert result["summary"] == "No changes detected."


def test_diff_of_the_customer_versions(native, customer_yaml, customer_v2_yaml):
    result = native.diff(yaml_a=customer_yaml, yaml_b=customer_v2_yaml)
    assert sorted_everywhere(result)
    assert result["summary"] == (
        "version: 2024.06.1 -> 2024.07.0; sources: +0 -0 ~1; 1 blocking change(s); "
        "rules: +1 -0 ~2; thresholds changed; 2 scoring change(s); 4 Fellegi-Sunter change(s)"
    )
    assert result["rules_added"] == ["postcode_exact"]
    assert result["rules_modified"] == [
        {"field": "weight", "name": "first_name_fuzzy", "new_value": "0.65", "old_value": "0.6"},
        {"field": "threshold", "name": "address_tokens", "new_value": "0.8", "old_value": "0.75"},
    ]
    assert result["sources_modified"] == [
        {"field": "table", "name": "loyalty", "new_value": "loyalty_members", "old_value": "members"}
    ]
    assert result["blocking_changes"] == [
        {"new_value": "0.02", "old_value": "0.01", "path": "blocking.fallback.sample_rate"}
    ]
    fs = result["fs_changes"]
    assert list(fs) == [
        "fields_added", "fields_removed", "m_probability_changes", "max_composite_delta",
        "threshold_changes", "u_probability_changes", "weight_changes",
    ]
    assert fs["max_composite_delta"] == 0.0
    assert fs["m_probability_changes"] == [
        {"field": "last_name", "impact": "increases match likelihood",
         "new_value": 0.92, "old_value": 0.9}
    ]
    assert fs["u_probability_changes"] == [
        {"field": "email", "impact": "decreases match likelihood",
         "new_value": 0.002, "old_value": 0.001}
    ]
    assert fs["weight_changes"] == [
        {"new_value": "0.9000", "old_value": "0.8000", "path": "scoring.fields.first_name.weight"}
    ]
    assert fs["threshold_changes"] == [
        {"new_value": "7.5000", "old_value": "8.0000", "path": "scoring.thresholds.match"}
    ]
    # The reverse direction mirrors it.
    back = native.diff(customer_v2_yaml, customer_yaml)
    assert back["rules_removed"] == ["postcode_exact"]
    assert back["fs_changes"]["m_probability_changes"][0]["impact"] == "decreases match likelihood"


@pytest.mark.parametrize(
    "a, b, summary",
    [
        ("identity_version: '1'", "identity_version: '2'", "version: 1 -> 2"),
        ("identity_version: 1", "identity_version: 2", "version: 1 -> 2"),
        ("{}", "identity_version: v2", "version: unknown -> v2"),
        ("rules: [{name: r1, weight: 1}]", "rules: [{name: r1, weight: 1.0}]", "rules: +0 -0 ~1"),
        ("{}", "decision: {thresholds: {match: 1}}", "thresholds changed; 1 other decision change(s)"),
        ("api_version: a\ngovernance: 1", "api_version: b\nrelations: []", "No changes detected."),
    ],
)
def test_diff_summaries(native, a, b, summary):
    assert native.diff(a, b)["summary"] == summary


def test_diff_reports_the_first_unreadable_side(native):
    with pytest.raises(ValueError) as reader_a:
        native.parse("a: [")
    with pytest.raises(ValueError) as caught:
        native.diff("a: [", "b: {")
    assert caught.value.args == reader_a.value.args
    with pytest.raises(ValueError):
        native.diff("a: 1", "b: {")
    with pytest.raises(TypeError, match="yaml_a"):
        native.diff(yaml_b="a: 1")
