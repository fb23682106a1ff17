"""parse and hash: YAML reading, conversion to Python objects, fingerprints."""

import pytest


def test_parse_sorts_keys_and_keeps_kinds(native):
    tree = native.parse("entity: {name: c}\napi_version: v1\nxs: [010, 10, 0x1F, yes, True, .inf, .nan]")
    assert list(tree) == ["api_version", "entity", "xs"]
    assert tree["xs"] == ["010", 10, 31, "yes", True, None, None]


@pytest.mark.parametrize(
    "text, value, kind",
    [
        ("9223372036854775807", 9223372036854775807, int),
        ("9223372036854775808", 9.223372036854776e18, float),
        ("18446744073709551615", 1.8446744073709552e19, float),
        ("-9223372036854775808", -9223372036854775808, int),
        ("1.0", 1.0, float),
    ],
)
def test_integer_ranges(native, text, value, kind):
    got = native.parse(f"v: {text}")["v"]
    assert got == value and type(got) is kind


def test_nested_dicts_sorted_by_utf8_bytes(native):
    tree = native.parse("{é: 1, z: 2, A: {b: 1, a: 2}}")
    assert list(tree) == ["A", "z", "é"]
    assert list(tree["A"]) == ["a", "b"]


def test_hash_ignores_layout_but_not_types(native):
    a = native.hash("a: 1\nb: [x, y]   # comment\n")
    b = native.hash("{b: ['x', \"y\"],\n   a: 1}")
    assert a == b and a.startswith("sha256:") and len(a) == 71
    assert native.hash("a: 1.0\nb: [x, y]") != a
    assert native.hash("a: '010'") != native.hash("a: 10")
    # Pinned: the digest of the compact text {"a":1}.
    assert native.hash("a: 1") == (
        "sha256:015abd7f5cc57a2dd94b7590f04ad8084273905ee33ec5cebeae62276a97f862"
    )


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "EOF while parsing a value"),
        ("a: 1\n---\nb: 2", "deserializing from YAML containing more than one document is not supported"),
        ("a: *x", "unknown anchor at line 1 column 4"),
        ("a: b: c", "mapping values are not allowed in this context at line 1 column 5"),
    ],
)
def test_unreadable_yaml_raises_value_error(native, text, message):
    for fn in (native.parse, native.hash):
        with pytest.raises(ValueError) as info:
            fn(text)
        assert str(info.value) == message


def test_parse_customer_example(native, customer_yaml):
    tree = native.parse(customer_yaml)
    assert tree["entity"]["name"] == "customer"
    assert native.hash(customer_yaml) == native.hash(customer_yaml)
