"""Generated and mutated identity specs through the six tooling functions: every
call returns its result type or raises ValueError, nothing else, whatever shape the
sections take."""

import random

import pytest

SCALARS = [
    "~", "true", "false", "0", "1", "2", "-1", "0.5", "1.0", "-0.0", "0.125", "1e308",
    "-1e308", "1e999", ".nan", ".inf", "-.inf", "18446744073709551615",
    "-9223372036854775808", "''", "'0.5'", "none", "exact", "fellegi_sunter", "phone",
    "email", "velatro/v1", "Velatro/v1", "'{}'", "'é\u2014²'", "'a\\b'",
]
KEYS = {
    "root": ["api_version", "identity_version", "entity", "sources", "rules", "matching",
             "blocking", "decision", "survivorship", "metadata", "temporal", "governance"],
    "entity": ["name", "attributes", "tags"],
    "source": ["name", "system", "table", "id", "attributes"],
    "rule": ["name", "rule", "type", "field", "algorithm", "threshold", "weight"],
    "blocking": ["strategy", "keys"],
    "key": ["field", "name", "transform", "transformation"],
    "decision": ["thresholds", "scoring", "audit", "review_queue"],
    "thresholds": ["match", "review", "reject", "possible", "non_match"],
    "scoring": ["strategy", "fields", "thresholds"],
    "fs_field": ["name", "m_probability", "u_probability", "weight"],
    "survivorship": ["rules", "default"],
    "surv_rule": ["field", "strategy", "source_priority"],
}
# The shape each key usually holds; generation strays from it on purpose.
CHILD = {
    "entity": "entity", "sources": ["source"], "rules": ["rule"], "matching": ["rule"],
    "blocking": "blocking", "keys": ["key"], "decision": "decision", "thresholds": "thresholds",
    "scoring": "scoring", "fields": ["fs_field"], "survivorship": "survivorship",
    "source_priority": [None], "attributes": "thresholds",
}


def scalar(rng):
    return rng.choice(SCALARS)


def value(rng, shape, depth):
    if depth > 4 or rng.random() < 0.12:
        return scalar(rng)
    if rng.random() < 0.1:
        shape = rng.choice([None, "rule", ["key"], "thresholds"])
    if isinstance(shape, list):
        n = rng.choice([0, 1, 2, 3, 6, 12]) if rng.random() < 0.95 else rng.randint(40, 60)
        return "[" + ", ".join(value(rng, shape[0], depth + 1) for _ in range(n)) + "]"
    if shape is None:
        return scalar(rng)
    return mapping(rng, shape, depth)


def mapping(rng, shape, depth):
    keys = KEYS[shape]
    chosen = rng.sample(keys, rng.randint(0, len(keys)))
    if rng.random() < 0.1:
        chosen.append(rng.choice(keys))  # a repeated key: the last one wins
    parts = [f"{k}: {value(rng, CHILD.get(k), depth + 1)}" for k in chosen]
    return "{" + ", ".join(parts) + "}"


def spec(rng):
    return mapping(rng, "root", 0)


def mutate(rng, text):
    chars = list(text)
    for _ in range(rng.randint(1, 3)):
        pos = rng.randrange(len(chars) + 1)
        if rng.random() < 0.5 and chars:
            del chars[min(pos, len(chars) - 1)]
        else:
            chars.insert(pos, rng.choice("{}[],: '\n-x0"))
    return "".join(chars)


def call(fn, *texts):
    try:
        return fn(*texts)
    except ValueError:
        return None


RESULT_TYPES = {
    "validate": list, "validate_schema": list, "validate_semantics": list,
    "compile_ir": dict, "plan": dict,
}


@pytest.mark.parametrize("seed", range(5))
def test_generated_specs_return_or_raise_value_error(native, seed):
    rng = random.Random(seed)
    previous = spec(rng)
    for i in range(800):
        text = spec(rng)
        if i % 3 == 0:
            text = mutate(rng, text)
        results = {}
        for name, kind in RESULT_TYPES.items():
            result = call(getattr(native, name), text)
            assert result is None or isinstance(result, kind), (name, text)
            results[name] = result
        diff = call(native.diff, previous, text)
        assert diff is None or isinstance(diff, dict)
        if results["validate"] is not None:
            # The combined check is exactly the two checks in sequence.
            assert results["validate"] == (
                native.validate_schema(text) + native.validate_semantics(text)
            )
            assert all(isinstance(m, str) for m in results["validate"])
            assert results["plan"]["plan_hash"] == native.hash(text)
            assert len(results["plan"]["summary"].split("\n")) == 9
            assert native.diff(text, text)["summary"] == "No changes detected."
        else:
            assert results["plan"] is None and results["compile_ir"] is None
        previous = text


def test_wrong_kinds_and_huge_sections(native):
    huge_rules = "rules: [" + ", ".join(
        "{name: r%d, weight: %d}" % (i, i % 3) for i in range(20000)
    ) + "]"
    huge_sources = "sources: [" + ", ".join(
        "{name: s%d, attributes: {a%d: x}}" % (i, i) for i in range(5000)
    ) + "]"
    texts = [
        huge_rules,
        huge_sources + "\nrules: [{field: zz}, {field: a1}]",
        "rules: " + "[" * 60 + "]" * 60,
        "decision: {scoring: {strategy: fellegi_sunter, fields: [{name: e, m_probability: 1e308}]}}"
        "\nrules: [{name: e}]",
        "decision: {scoring: {strategy: fellegi_sunter, thresholds: {match: -1e308},"
        " fields: [{name: e, m_probability: -1e308}]}}",
        "blocking: {keys: " + "[" * 40 + "]" * 40 + "}",
        "entity: " + "{a: " * 50 + "1" + "}" * 50,
    ]
    for a in texts:
        for name in RESULT_TYPES:
            assert isinstance(getattr(native, name)(a), RESULT_TYPES[name])
        for b in texts[:3]:
            assert isinstance(native.diff(a, b), dict)
    assert native.validate(huge_rules)[0] == "Missing required field: api_version"
    # Three root messages, the count, a missing type per rule, every third weight of 2.
    assert len(native.validate_schema(huge_rules)) == 3 + 1 + 20000 + 6666
