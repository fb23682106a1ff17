"""The helpers of the reconcile benchmark script, and one tiny run of it."""

import importlib.util
import subprocess
import sys

import pytest

from conftest import ROOT

SCRIPT = ROOT / "bench" / "reconcile_bench.py"


@pytest.fixture(scope="module")
def bench():
    spec = importlib.util.spec_from_file_location("reconcile_bench", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("clusters, expected", [
    # Truth: a, b, c are one person, d another, e a third.
    ([["a", "b", "c"], ["d"], ["e"]], (1.0, 1.0)),
    ([["a", "b"], ["c"], ["d"], ["e"]], (1.0, 1 / 3)),
    ([["a", "b", "c", "d"], ["e"]], (3 / 6, 1.0)),
    ([["a"], ["b"], ["c"], ["d"], ["e"]], (1.0, 0.0)),
    ([["a", "d"], ["b", "e"], ["c"]], (0.0, 0.0)),
])
def test_pairwise_quality_counts_pairs_inside_clusters(bench, clusters, expected):
    truth = {"a": "p1", "b": "p1", "c": "p1", "d": "p2", "e": "p3"}
    quality = bench.pairwise_quality(clusters, truth)
    assert (quality["precision"], quality["recall"]) == pytest.approx(expected)
    assert quality["true_pairs"] == 3


def test_without_blocking_drops_only_the_blocking_section(bench, native, customer_yaml):
    if not hasattr(native, "parse"):
        pytest.skip("parse is not registered")
    before = native.parse(customer_yaml)
    after = native.parse(bench.without_blocking(customer_yaml))
    assert "blocking" in before and "blocking" not in after
    before.pop("blocking")
    assert after == before


def test_with_block_keys_puts_the_extra_keys_first(bench, native, customer_yaml):
    if not hasattr(native, "parse"):
        pytest.skip("parse is not registered")
    before = native.parse(customer_yaml)
    after = native.parse(bench.with_block_keys(customer_yaml, ["first_name, last_name", "city"]))
    assert after["blocking"]["keys"] == [["first_name", "last_name"], ["city"],
                                         *before["blocking"]["keys"]]
    after["blocking"]["keys"] = before["blocking"]["keys"]
    assert after == before


@pytest.mark.parametrize("text, records", [("10k", 10000), ("1m", 1000000), ("300", 300)])
def test_sizes_read_with_their_suffix(bench, text, records):
    assert bench.parse_size(text) == records
    assert bench.size_label(records) == text


def test_a_tiny_run_prints_its_figures(native, tmp_path):
    if not hasattr(native, "reconcile_local"):
        pytest.skip("reconcile_local is not registered")
    done = subprocess.run(
        [sys.executable, str(SCRIPT), "--sizes", "300", "--no-speedup", "--memory-limit-gb", "0",
         "--data-dir", str(tmp_path)], check=True, capture_output=True, text=True)
    rows = [line.split() for line in done.stdout.splitlines()]
    row = next(r for r in rows if r and r[0] == "300")
    precision, recall, f1 = map(float, row[-3:])
    assert 0.0 <= f1 <= 1.0 and 0.0 <= precision <= 1.0 and 0.0 <= recall <= 1.0
