"""The table and quality benchmarks, run on a tiny size so that they keep
working. Splink rows run only where its environment exists
(bench/setup_peers.sh); the figures are not checked, only their shape."""

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT

BENCH = ROOT / "bench"
pytest.importorskip("pyarrow")


def load(name):
    sys.path.insert(0, str(BENCH))
    try:
        spec = importlib.util.spec_from_file_location(name, BENCH / f"{name}.py")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module
    finally:
        sys.path.remove(str(BENCH))


PEER = load("harness").default_peer_python()


def run_script(script, tmp_path, *options):
    out = tmp_path / "figures.json"
    subprocess.run([sys.executable, str(BENCH / script), "--sizes", "300",
                    "--data-dir", str(tmp_path / "data"), "--json", str(out), *options],
                   check=True, capture_output=True, text=True)
    return json.loads(out.read_text(encoding="utf-8"))


def assert_quality(figures):
    for key in ("precision", "recall", "f1"):
        assert 0.0 <= figures[key] <= 1.0


def test_tables_bench_measures_every_run(tmp_path, native):
    # The module under test stands in for the other build of the baseline run.
    native_dir = tmp_path / "native"
    native_dir.mkdir()
    (native_dir / Path(native.__file__).name).symlink_to(native.__file__)
    figures = run_script("tables_bench.py", tmp_path, "--repeats", "1",
                         "--baseline-native", str(native_dir))
    summary = figures["summary"]["300"]
    assert set(summary) == {"reconcile", "reconcile-1cpu", "local", "local-baseline", "splink",
                            "splink-all"}
    assert summary["local"]["median_s"] > 0 and summary["local"]["rss_mb"] > 0
    assert_quality(summary["local"])
    assert summary["local"]["clusters"] == summary["local-baseline"]["clusters"]
    for run in ("reconcile", "reconcile-1cpu"):
        assert "median_s" in summary[run] or "no reconcile()" in summary[run]["status"]
    for run in ("splink", "splink-all"):
        if PEER is None:
            assert "setup_peers" in summary[run]["status"]
        else:
            assert_quality(summary[run])
            assert summary[run]["pairs"] > 0


def test_quality_bench_scores_both_profiles(tmp_path):
    figures = run_script("quality_bench.py", tmp_path)["results"]
    assert set(figures) == {"default/300", "noisy/300"}
    for runs in figures.values():
        assert_quality(runs["velatro-blind"])
        trained = runs["velatro-trained"]
        assert "f1" in trained or "no train()" in trained.get("skipped", "")
        for run in ("splink-fixed", "splink-trained"):
            if PEER is None:
                assert "setup_peers" in runs[run]["skipped"]
            else:
                assert_quality(runs[run])
                assert 0.0 < runs[run]["candidate_recall"] <= 1.0
