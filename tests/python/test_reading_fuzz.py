"""Random and mutated YAML through every function that reads a spec: each call
returns or raises ValueError, never anything else and never a crash."""

import random

import pytest

SEEDS = [
    "a: 1\nb: [1, 2, {c: d}]\n",
    "x: &a {k: [1, 2]}\ny: *a\n",
    "- 1\n- 'two'\n- \"three\\n\"\n- |\n  block\n",
    "k: !!int 3\n",
    "{a: [b, {c: [d, e]}], f: .inf}",
]
ALPHABET = list(":-[]{},&*!|>'\"#?%@`\t\n ") + ["a", "0", "0x", ".inf", "é", "\x00", "~", "\\"]


def mutations(rng, base, n):
    for _ in range(n):
        text = list(base)
        for _ in range(rng.randint(1, 6)):
            op = rng.random()
            pos = rng.randint(0, len(text))
            if op < 0.4:
                text.insert(pos, rng.choice(ALPHABET))
            elif op < 0.7 and text:
                del text[min(pos, len(text) - 1)]
            else:
                text[pos:pos] = list(rng.choice(SEEDS))
        yield "".join(text)


def readers(native):
    names = ["validate", "validate_strict", "validate_schema", "validate_semantics",
             "parse", "compile_ir", "hash", "plan"]
    return [getattr(native, n) for n in names if hasattr(native, n)]


@pytest.mark.parametrize("seed", range(4))
def test_random_yaml_returns_or_raises_value_error(native, seed):
    rng = random.Random(seed)
    fns = readers(native)
    for base in SEEDS:
        for text in mutations(rng, base, 150):
            for fn in fns:
                try:
                    fn(text)
                except ValueError:
                    pass


def test_pathological_inputs(native):
    bomb = "a0: &a0 [x, x, x, x, x, x, x, x, x]\n" + "".join(
        f"a{i}: &a{i} [" + ", ".join([f"*a{i-1}"] * 9) + "]\n" for i in range(1, 10)
    )
    cases = [
        "[" * 10000 + "]" * 10000,
        "{a: " * 5000 + "1" + "}" * 5000,
        bomb,
        "a: " + "x" * 5_000_000,
        "a: \x00b",
        "\ufeffa: 1",
    ]
    for fn in readers(native):
        for text in cases:
            try:
                fn(text)
            except ValueError:
                pass
