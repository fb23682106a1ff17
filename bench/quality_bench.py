"""Quality of the clusters: velatro, blind and trained, against Splink trained
its usual way, on the same generated customers with known truth.

For each generator profile (default, noisy) and size (10k and 100k by default)
it generates customers as source tables (`generate.py --parquet`, cached in
--data-dir) and runs, each in a fresh process on 2 CPUs:

- velatro blind:    examples/customer.yaml as written, m/u set by hand;
                    `velatro.reconcile` on the tables (or `reconcile_local` on
                    the equivalent entity JSON where this velatro has no
                    `reconcile`; the row says which);
- velatro trained:  `velatro.train` on the same tables, then `reconcile` with
                    the learned spec; skipped with a note while this velatro
                    has no `train`;
- splink fixed:     Splink with the m/u the spec sets (as in tables_bench.py),
                    clustered at velatro's match threshold: the same hand-set
                    evidence scored Splink's way;
- splink trained:   Splink's usual recipe (bench/peer_splink.py): the prior
                    from deterministic rules, u by random sampling (--u-pairs,
                    seeded), m by expectation-maximisation in two sessions;
                    clustered at match probability --splink-threshold.

Every row: training time, the time of the run (velatro: the call; Splink:
predict plus clustering), the pairs returned (velatro: the merge and review
decisions; Splink: every compared pair), and pairwise precision, recall
and F1 of the clusters against the generator's truth (a pair is two records in
one cluster). Below the table: the share of the true pairs that the blocking
compares at all, the recall no scoring can exceed (short of links through a
third record). --json writes every figure.

    python bench/quality_bench.py                          # both profiles, 10k and 100k
    python bench/quality_bench.py --sizes 10k --profiles noisy
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

import harness

DEFAULT_SPEC = harness.ROOT / "examples" / "customer.yaml"
RUNS = ("velatro-blind", "velatro-trained", "splink-fixed", "splink-trained")
# Attribute names under which a trained model may hand over its learned spec.
LEARNED_SPEC_ATTRIBUTES = ("spec_yaml", "yaml", "spec", "learned_spec", "spec_text")


def _tables(data: dict) -> dict:
    return {name: Path(path) for name, path in data["tables"].items()}


def _velatro_clusters_quality(result, truth_parquet: str) -> dict:
    clusters = result.clusters
    truth = harness.truth_by_key(Path(truth_parquet))
    keys = [f"{s}/{k}" for s, k in zip(clusters.column("source_name").to_pylist(),
                                       clusters.column("external_id").to_pylist())]
    figures = harness.quality_of_groups(keys, clusters.column("cluster_id").to_pylist(), truth)
    figures["pairs"] = result.pairs.num_rows
    return figures


def child_velatro_blind(args, data: dict) -> dict:
    import velatro
    if hasattr(velatro, "reconcile"):
        started = time.perf_counter()
        result = velatro.reconcile(Path(args.spec), _tables(data))
        seconds = time.perf_counter() - started
        return {"run_s": seconds, "via": "reconcile",
                **_velatro_clusters_quality(result, data["truth"])}
    spec_text = Path(args.spec).read_text(encoding="utf-8")
    entities = Path(data["entities"]).read_text(encoding="utf-8")
    started = time.perf_counter()
    result = velatro.reconcile_local(spec_text, entities)
    seconds = time.perf_counter() - started
    truth = json.loads(Path(data["truth_json"]).read_text(encoding="utf-8"))
    return {"run_s": seconds, "via": "reconcile_local", "pairs": len(result["decisions"]),
            **harness.pairwise_quality(result["clusters"], truth)}


def learned_spec(model) -> str | None:
    for name in LEARNED_SPEC_ATTRIBUTES:
        value = getattr(model, name, None)
        if isinstance(value, str) and value.strip():
            return value
    return None


def child_velatro_trained(args, data: dict) -> dict:
    import velatro
    if not hasattr(velatro, "train"):
        return {"skipped": "this velatro has no train()"}
    if not hasattr(velatro, "reconcile"):
        return {"skipped": "this velatro has train() but no reconcile()"}
    started = time.perf_counter()
    model = velatro.train(Path(args.spec), _tables(data))
    train_s = time.perf_counter() - started
    spec = learned_spec(model)
    if spec is None:
        return {"failed": f"the trained model has none of {', '.join(LEARNED_SPEC_ATTRIBUTES)}"}
    started = time.perf_counter()
    result = velatro.reconcile(spec, _tables(data))
    seconds = time.perf_counter() - started
    return {"train_s": train_s, "run_s": seconds, "via": "train + reconcile",
            **_velatro_clusters_quality(result, data["truth"])}


def _splink(args, data: dict, trained: bool) -> dict:
    import peer_splink
    con = peer_splink.connect(len(harness.cpu_list(99)))
    peer_splink.prepare(con, data["tables"])
    model = peer_splink.linker(con, fixed=not trained)
    figures = {}
    if trained:
        started = time.perf_counter()
        figures.update(peer_splink.train(model, seed=args.seed, max_pairs=args.u_pairs))
        figures["train_s"] = time.perf_counter() - started
        threshold = {"threshold_probability": args.splink_threshold}
        figures["via"] = f"EM, p >= {args.splink_threshold}"
    else:
        threshold = {"threshold_weight": peer_splink.match_weight_threshold()}
        figures["via"] = "spec's m/u"
    predictions, clusters, times = peer_splink.predict_and_cluster(model, **threshold)
    figures["run_s"] = times["predict_s"] + times["cluster_s"]
    figures["pairs"] = peer_splink.count_rows(con, predictions)
    figures["candidate_recall"] = peer_splink.candidate_recall(con, predictions, data["truth"])
    table = peer_splink.cluster_table(con, clusters)
    truth = harness.truth_by_key(Path(data["truth"]))
    keys = [f"{s}/{k}" for s, k in zip(table.column("source_name").to_pylist(),
                                       table.column("external_id").to_pylist())]
    figures.update(harness.quality_of_groups(keys, table.column("cluster_id").to_pylist(), truth))
    return figures


CHILDREN = {
    "velatro-blind": child_velatro_blind,
    "velatro-trained": child_velatro_trained,
    "splink-fixed": lambda args, data: _splink(args, data, trained=False),
    "splink-trained": lambda args, data: _splink(args, data, trained=True),
}


def child_command(args, run: str, data_file: Path) -> list[str] | None:
    python = args.peer_python if run.startswith("splink") else sys.executable
    if python is None:
        return None
    return [python, str(Path(__file__).resolve()), "--child", run, "--data", str(data_file),
            "--spec", str(args.spec), "--seed", str(args.seed), "--u-pairs", str(args.u_pairs),
            "--splink-threshold", str(args.splink_threshold)]


def measure(args, profile: str, records: int) -> dict:
    paths = harness.ensure_tables(records, args.seed, profile, args.data_dir)
    data_file = paths["dir"] / "paths.json"
    data_file.write_text(json.dumps({
        "entities": str(paths["entities"]), "truth_json": str(paths["truth_json"]),
        "truth": str(paths["truth"]),
        "tables": {s: str(p) for s, p in paths["tables"].items()}}), encoding="utf-8")
    results = {}
    for run in args.runs:
        command = child_command(args, run, data_file)
        if command is None:
            results[run] = {"skipped": "no peer environment (bench/setup_peers.sh)"}
            continue
        print(f"{profile} {harness.size_label(records)} {run} ...", file=sys.stderr, flush=True)
        figures = harness.run_child(command, 2, nice=args.nice)
        if "failed" in figures:
            sys.stderr.write(figures.pop("stderr", ""))
        results[run] = figures
    return results


def report(results: dict) -> str:
    header = ("profile", "size", "run", "how", "train s", "run s", "pairs", "precision",
              "recall", "F1")
    ceilings = {}
    rows, notes = [], []
    for (profile, label), runs in results.items():
        for run, f in runs.items():
            if "f1" not in f:
                notes.append(f"{profile} {label} {run}: {f.get('skipped') or f.get('failed')}")
                continue
            rows.append((profile, label, run, f.get("via", "-"),
                         f"{f['train_s']:.2f}" if "train_s" in f else "-", f"{f['run_s']:.2f}",
                         f.get("pairs", "-"), f"{f['precision']:.4f}", f"{f['recall']:.4f}",
                         f"{f['f1']:.4f}"))
            if "candidate_recall" in f:
                ceilings[(profile, label)] = f["candidate_recall"]
    notes += [f"{profile} {label}: the blocking compares {share:.1%} of the true pairs"
              for (profile, label), share in ceilings.items()]
    return harness.format_table(header, rows) + ("\n" + "\n".join(notes) if notes else "")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10k,100k", help="comma-separated record counts")
    parser.add_argument("--profiles", default="default,noisy", help="generator profiles")
    parser.add_argument("--seed", type=int, default=1,
                        help="seed of the generated data and of Splink's u sampling")
    parser.add_argument("--spec", type=Path, default=DEFAULT_SPEC, help="identity spec YAML")
    parser.add_argument("--runs", default=",".join(RUNS),
                        help=f"comma-separated runs out of {','.join(RUNS)}")
    parser.add_argument("--u-pairs", type=float, default=1e6,
                        help="record pairs Splink samples to estimate u")
    parser.add_argument("--splink-threshold", type=float, default=0.95,
                        help="match probability at which trained Splink clusters")
    parser.add_argument("--peer-python", default=harness.default_peer_python(),
                        help="interpreter of the Splink environment (bench/setup_peers.sh)")
    parser.add_argument("--data-dir", type=Path, default=harness.DEFAULT_DATA_DIR,
                        help="where generated records are cached")
    parser.add_argument("--nice", type=int, default=0, help="niceness added to each run")
    parser.add_argument("--json", type=Path, help="write every figure to this file")
    parser.add_argument("--child", choices=sorted(CHILDREN), help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        data = json.loads(Path(args.data).read_text(encoding="utf-8"))
        print(json.dumps(CHILDREN[args.child](args, data)))
        return 0

    args.runs = [r.strip() for r in args.runs.split(",") if r.strip()]
    unknown = sorted(set(args.runs) - set(RUNS))
    if unknown:
        parser.error(f"unknown runs: {', '.join(unknown)}")
    sizes = [harness.parse_size(s) for s in args.sizes.split(",") if s.strip()]
    profiles = [p.strip() for p in args.profiles.split(",") if p.strip()]
    results = {}
    for profile in profiles:
        for records in sizes:
            results[(profile, harness.size_label(records))] = measure(args, profile, records)
    print(f"spec: {args.spec}   seed: {args.seed}   Splink u pairs: {args.u_pairs:g}")
    print(report(results))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(
            {"spec": str(args.spec), "seed": args.seed,
             "results": {f"{p}/{s}": runs for (p, s), runs in results.items()}},
            indent=2, sort_keys=True), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
