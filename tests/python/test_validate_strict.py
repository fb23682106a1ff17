"""validate_strict: the validate findings followed by at most one coded message for
the first problem of the typed reading."""

import copy
import json
import random

import pytest

HEAD = (
    "api_version: velatro/v1\n"
    "identity_version: '1'\n"
    "entity:\n"
    "  name: customer\n"
    "sources: []\n"
)
DECISION = "decision:\n  thresholds:\n    match: 0.8\n"
EM = "\u2014"


def coded(messages):
    return [m for m in messages if m.startswith("VLT-E")]


def test_valid_spec_returns_the_validate_list(native, customer_yaml):
    assert native.validate_strict(customer_yaml) == []
    warned = HEAD + DECISION + "rules:\n  - {name: r, type: exact, field: e, weight: 2}\n"
    assert native.validate_strict(warned) == native.validate(warned)
    assert native.validate_strict(warned) == ["rules[0]: weight 2 must be between 0 and 1"]


@pytest.mark.parametrize(
    "yaml, expected",
    [
        pytest.param(
            "api_version: velatro/v1\nidentity_version: '1'\nsources: []\n" + DECISION,
            "VLT-E102: Missing required field 'entity' (line 1). Add 'entity: <value>' to your spec.",
            id="missing-entity",
        ),
        pytest.param(
            "api_version: velatro/v1\nidentity_version: '1'\nsources: []\n\nentity:\n"
            "  description: no name\n" + DECISION,
            "VLT-E102: Missing required field 'name' (line 6). Add 'name: <value>' to your spec.",
            id="entity-without-name",
        ),
        pytest.param(
            HEAD + "decision:\n  thresholds:\n    match: high\n",
            "VLT-E104: Type error (line 8) " + EM + " decision.thresholds.match: invalid type: "
            'string "high", expected f64 at line 8 column 12',
            id="threshold-as-word",
        ),
        pytest.param(
            HEAD + DECISION + "  conflict_strategy: loudest\n",
            "VLT-E100: decision.conflict_strategy: unknown variant `loudest`, expected one of "
            "`prefer_high_confidence`, `prefer_recent`, `manual_review` at line 9 column 22",
            id="unknown-conflict-strategy",
        ),
        pytest.param(
            "api_version: velatro/v1\nidentity_version: '1'\nentity: {name: c}\nsources:\n"
            "  - name: crm\n    system: s\n    table: t\n    id: i\n    attributes: {age: 42}\n"
            + DECISION,
            "VLT-E100: sources: data did not match any variant of untagged enum SourcesFormat "
            "at line 5 column 3",
            id="source-attribute-number",
        ),
        pytest.param(
            HEAD + "rules:\n  - {name: r, type: similarity, field: e, algorithm: cosine}\n" + DECISION,
            "VLT-E102: Missing required field 'threshold' (line 7). Add 'threshold: <value>' to "
            "your spec.",
            id="rule-missing-threshold",
        ),
        pytest.param(
            HEAD + "rules:\n  - {name: r, type: exact, fields: []}\n" + DECISION,
            "VLT-E100: rules[0]: fields array cannot be empty at line 7 column 5",
            id="empty-fields",
        ),
        pytest.param(
            HEAD + DECISION + "  scoring: {method: fellegi_sunter, fields: [{name: email}]}\n",
            "VLT-E100: decision.scoring: data did not match any variant of untagged enum "
            "ScoringFormat at line 9 column 12",
            id="scoring-reason-hidden",
        ),
        pytest.param(
            HEAD + "\n\n" + DECISION.replace("match: 0.8", "match: 1") + "  review_queue: {sla_hours: -3}\n",
            "VLT-E100: decision.review_queue.sla_hours: invalid value: integer `-3`, expected u32 "
            "at line 11 column 29",
            id="negative-hours",
        ),
        # A user's value quoted in the message must not pass for a missing field...
        pytest.param(
            HEAD + "decision:\n  thresholds:\n    match: \"missing field `x`\"\n",
            "VLT-E104: Type error (line 8) " + EM + " decision.thresholds.match: invalid type: "
            'string "missing field `x`", expected f64 at line 8 column 12',
            id="value-looks-like-missing-field",
        ),
        # ...nor for a type error.
        pytest.param(
            HEAD + DECISION + "  conflict_strategy: 'invalid type: none'\n",
            "VLT-E100: decision.conflict_strategy: unknown variant `invalid type: none`, expected "
            "one of `prefer_high_confidence`, `prefer_recent`, `manual_review` at line 9 column 22",
            id="value-looks-like-type-error",
        ),
    ],
)
def test_coded_message_is_appended_last(native, yaml, expected):
    result = native.validate_strict(yaml)
    assert result == native.validate(yaml) + [expected]


def test_schema_messages_come_before_the_coded_one(native):
    yaml = "api_version: velatro/v1\nidentity_version: '1'\nsources: []\n" + DECISION
    assert native.validate_strict(yaml) == [
        "Missing required field: entity",
        "VLT-E102: Missing required field 'entity' (line 1). Add 'entity: <value>' to your spec.",
    ]


def test_only_the_first_problem_is_coded(native):
    yaml = HEAD + "decision:\n  thresholds: {match: x}\n  conflict_strategy: nope\n"
    assert coded(native.validate_strict(yaml)) == [
        "VLT-E104: Type error (line 7) " + EM + " decision.thresholds.match: invalid type: "
        'string "x", expected f64 at line 7 column 23'
    ]


def test_unknown_keys_add_nothing(native):
    yaml = HEAD + DECISION + "temporal: {as_of: now}\nentity_colour: red\n"
    assert native.validate_strict(yaml) == []


@pytest.mark.parametrize("yaml", ["a: [1, 2\n", "key: value\n  bad: indent\n", "", "# only\n"])
def test_unreadable_yaml_raises(native, yaml):
    with pytest.raises(ValueError):
        native.validate_strict(yaml)


# ---- mutations of the customer example -------------------------------------------

BAD_NAMES = ["bogus", "Exact", "most recent", "", "jaro-winkler", "prefer_high"]
REPLACEMENTS = [None, True, 0, -1, 300, 4294967296, 1.5, "text", "0.5", [], ["x"], {}, {"k": 1}]


def paths(node, prefix=()):
    """Every (container path, key) inside the tree."""
    if isinstance(node, dict):
        for key, value in node.items():
            yield prefix, key
            yield from paths(value, prefix + (key,))
    elif isinstance(node, list):
        for index, value in enumerate(node):
            yield prefix, index
            yield from paths(value, prefix + (index,))


def at(tree, path):
    for step in path:
        tree = tree[step]
    return tree


def mutate(rng, tree):
    tree = copy.deepcopy(tree)
    for _ in range(rng.randint(1, 3)):
        container_path, key = rng.choice(list(paths(tree)))
        container = at(tree, container_path)
        action = rng.random()
        if action < 0.35:
            del container[key]  # deleted key or element
        elif action < 0.7:
            container[key] = copy.deepcopy(rng.choice(REPLACEMENTS))  # swapped kind
        elif isinstance(container[key], str):
            container[key] = rng.choice(BAD_NAMES)  # wrong enumeration name
        else:
            container[key] = [container[key]] if rng.random() < 0.5 else {"v": container[key]}
    return tree


def line_mutation(rng, text):
    lines = text.splitlines(keepends=True)
    for _ in range(rng.randint(1, 3)):
        i = rng.randrange(len(lines))
        if rng.random() < 0.5:
            del lines[i]
        else:
            lines[i] = lines[i].replace(":", ": ~ #", 1)
    return "".join(lines)


def check_shape(native, yaml):
    try:
        result = native.validate_strict(yaml)
    except ValueError:
        with pytest.raises(ValueError):
            native.validate(yaml)
        return None
    assert isinstance(result, list) and all(isinstance(m, str) for m in result)
    codes = coded(result)
    assert len(codes) <= 1
    if codes:
        assert result[-1] == codes[0]
        assert codes[0][:9] in ("VLT-E100:", "VLT-E102:", "VLT-E104:")
    assert result[: len(result) - len(codes)] == native.validate(yaml)
    return codes


def test_mutated_examples_give_at_most_one_coded_message(native, customer_yaml):
    rng = random.Random(20240611)
    tree = native.parse(customer_yaml)
    seen = set()
    for _ in range(400):
        codes = check_shape(native, json.dumps(mutate(rng, tree)))
        if codes:
            seen.add(codes[0][:8])
    for _ in range(200):
        codes = check_shape(native, line_mutation(rng, customer_yaml))
        if codes:
            seen.add(codes[0][:8])
    # The mutations reach every kind of coded message.
    assert seen == {"VLT-E100", "VLT-E102", "VLT-E104"}


def test_random_documents_never_crash(native):
    rng = random.Random(7)
    atoms = ["~", "1", "-2", "1.5", "x", "'q'", "true", "[]", "{}", "[a, 1]", "{type: exact}"]
    keys = ["api_version", "identity_version", "entity", "name", "sources", "rules", "type",
            "decision", "thresholds", "match", "scoring", "fields", "field", "exclusions",
            "blocking", "keys", "survivorship", "overrides", "strategy", "children"]

    def node(depth):
        if depth > 3 or rng.random() < 0.4:
            return rng.choice(atoms)
        if rng.random() < 0.5:
            return "[" + ", ".join(node(depth + 1) for _ in range(rng.randint(0, 3))) + "]"
        entries = (f"{rng.choice(keys)}: {node(depth + 1)}" for _ in range(rng.randint(0, 4)))
        return "{" + ", ".join(entries) + "}"

    for _ in range(300):
        check_shape(native, node(0))
