"""Tables in, tables out: velatro against Splink on the same generated customers.

For each size (100k and 1M by default) it generates customers as Parquet, one
table per source with the source's own column names (`generate.py --parquet`,
cached in --data-dir), and measures, each run in a fresh process, the runs
interleaved (every run once, then every run again, --repeats times):

- reconcile:       `velatro.reconcile(spec, {source: parquet path})` up to the
                   Arrow clusters, pairs and golden records, on 2 CPUs;
- reconcile-1cpu:  the same pinned to one CPU (taskset -c 0), for the thread
                   speed-up;
- local:           `velatro._native.reconcile_local(spec text, entity JSON)` on
                   the equivalent entity JSON that the generator writes beside
                   the tables (the JSON text is read before the clock starts);
- local-baseline:  the same with another build's `_native` module
                   (--baseline-native DIR holding its .so), to compare a change
                   with the state before it in one run;
- splink:          Splink (DuckDB, its threads set to the CPUs) with the same
                   blocking and comparable comparisons, m/u fixed, no training
                   (bench/peer_splink.py says how the model mirrors the spec):
                   the spec's four Fellegi-Sunter fields and two reference
                   identifiers. Timed: predict plus clustering; loading and
                   cleaning the tables ("prep") is reported beside it;
- splink-all:      the same model plus a weight-0 comparison for each other
                   rule of the spec that DuckDB can measure, so that Splink
                   computes about as many similarities per pair as velatro.

Each row gives the median and range of the timed part, the median peak RSS
(VmHWM of the process at the end of its timed part: interpreter, input and
result included), the pairs and clusters, and pairwise precision, recall and
F1 of the clusters against the generator's truth (from the first repeat).
"pairs" is what each tool returns: velatro keeps the merge and review
decisions (and skips pairs whose records are not valid at the same time, as
the spec's temporal strategy says), Splink scores every compared pair. Below
the table: the ratios the targets are stated in. --json writes every figure.

Splink runs in its own environment (bench/setup_peers.sh; --peer-python);
without it the splink run is skipped. Heavy: use `nice`, and run one at a time.

    python bench/tables_bench.py                           # 100k and 1m, 3 repeats
    python bench/tables_bench.py --sizes 100k --runs local,splink
    python bench/tables_bench.py --baseline-native /path/to/old/build
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

import harness

DEFAULT_SPEC = harness.ROOT / "examples" / "customer.yaml"
RUNS = ("reconcile", "reconcile-1cpu", "local", "local-baseline", "splink", "splink-all")
# Which child measures each run, and on how many CPUs.
RUN_KIND = {"reconcile": ("reconcile", 2), "reconcile-1cpu": ("reconcile", 1),
            "local": ("local", 2), "local-baseline": ("local", 2), "splink": ("splink", 2),
            "splink-all": ("splink-all", 2)}


# --- children: one measurement each, in a fresh process ----------------------

def child_reconcile(args) -> dict:
    import velatro
    if not hasattr(velatro, "reconcile"):
        return {"skipped": "this velatro has no reconcile()"}
    data = json.loads(Path(args.data).read_text(encoding="utf-8"))
    sources = {name: Path(path) for name, path in data["tables"].items()}
    started = time.perf_counter()
    result = velatro.reconcile(Path(args.spec), sources)
    clusters, pairs, golden = result.clusters, result.pairs, result.golden_records
    seconds = time.perf_counter() - started
    figures = {"seconds": seconds, "rss_kib": harness.peak_rss_kib(),
               "pairs": pairs.num_rows, "records": clusters.num_rows,
               "clusters": golden.num_rows}
    if args.quality:
        truth = harness.truth_by_key(Path(data["truth"]))
        keys = [f"{s}/{k}" for s, k in zip(clusters.column("source_name").to_pylist(),
                                           clusters.column("external_id").to_pylist())]
        figures.update(harness.quality_of_groups(
            keys, clusters.column("cluster_id").to_pylist(), truth))
    return figures


def child_local(args) -> dict:
    if args.native_dir:
        sys.path.insert(0, args.native_dir)
        import _native as native
    else:
        from velatro import _native as native
    data = json.loads(Path(args.data).read_text(encoding="utf-8"))
    spec_text = Path(args.spec).read_text(encoding="utf-8")
    entities = Path(data["entities"]).read_text(encoding="utf-8")
    started = time.perf_counter()
    result = native.reconcile_local(spec_text, entities)
    seconds = time.perf_counter() - started
    telemetry = result["telemetry"]
    figures = {"seconds": seconds, "rss_kib": harness.peak_rss_kib(),
               "pairs": len(result["decisions"]), "pairs_evaluated": telemetry["pairs_evaluated"],
               "clusters": len(result["clusters"])}
    if args.quality:
        del entities
        truth = json.loads(Path(data["truth_json"]).read_text(encoding="utf-8"))
        figures.update(harness.pairwise_quality(result["clusters"], truth))
    return figures


def child_splink(args, all_rules: bool = False) -> dict:
    import peer_splink
    data = json.loads(Path(args.data).read_text(encoding="utf-8"))
    threads = len(harness.cpu_list(99))
    con = peer_splink.connect(threads)
    started = time.perf_counter()
    peer_splink.prepare(con, data["tables"])
    model = peer_splink.linker(con, fixed=True, all_rules=all_rules)
    prep = time.perf_counter() - started
    predictions, clusters, times = peer_splink.predict_and_cluster(
        model, threshold_weight=peer_splink.match_weight_threshold())
    figures = {"seconds": times["predict_s"] + times["cluster_s"],
               "rss_kib": harness.peak_rss_kib(), "prep_s": prep, **times,
               "threads": threads, "pairs": peer_splink.count_rows(con, predictions)}
    started = time.perf_counter()
    table = peer_splink.cluster_table(con, clusters)
    figures["fetch_s"] = time.perf_counter() - started
    groups = table.column("cluster_id").to_pylist()
    figures["clusters"] = len(set(groups))
    if args.quality:
        truth = harness.truth_by_key(Path(data["truth"]))
        keys = [f"{s}/{k}" for s, k in zip(table.column("source_name").to_pylist(),
                                           table.column("external_id").to_pylist())]
        figures.update(harness.quality_of_groups(keys, groups, truth))
    return figures


CHILDREN = {"reconcile": child_reconcile, "local": child_local, "splink": child_splink,
            "splink-all": lambda args: child_splink(args, all_rules=True)}


# --- the parent: data, interleaved runs, report ------------------------------

def child_command(args, run: str, data_file: Path, quality: bool) -> list[str] | None:
    kind, _ = RUN_KIND[run]
    python = args.peer_python if kind.startswith("splink") else sys.executable
    if python is None:
        return None
    command = [python, str(Path(__file__).resolve()), "--child", kind, "--data", str(data_file),
               "--spec", str(args.spec)]
    if run == "local-baseline":
        command += ["--native-dir", str(args.baseline_native)]
    if quality:
        command.append("--quality")
    return command


def measure_size(args, records: int) -> dict:
    paths = harness.ensure_tables(records, args.seed, args.profile, args.data_dir)
    data_file = paths["dir"] / "paths.json"
    data_file.write_text(json.dumps({
        "entities": str(paths["entities"]), "truth_json": str(paths["truth_json"]),
        "truth": str(paths["truth"]),
        "tables": {s: str(p) for s, p in paths["tables"].items()}}), encoding="utf-8")
    results: dict = {run: [] for run in args.runs}
    for repeat in range(args.repeats):
        for run in args.runs:
            command = child_command(args, run, data_file, quality=repeat == 0)
            if command is None:
                results[run].append({"skipped": "no peer environment (bench/setup_peers.sh)"})
                continue
            print(f"{harness.size_label(records)} {run} #{repeat + 1} ...", file=sys.stderr,
                  flush=True)
            figures = harness.run_child(command, RUN_KIND[run][1], nice=args.nice)
            if "failed" in figures:
                sys.stderr.write(figures.pop("stderr", ""))
            results[run].append(figures)
    return results


def summarise(figures: list[dict]) -> dict:
    done = [f for f in figures if "seconds" in f]
    if not done:
        reasons = {f.get("failed") or f.get("skipped") for f in figures}
        return {"status": "; ".join(sorted(r for r in reasons if r))}
    first = done[0]
    summary = {"median_s": harness.median([f["seconds"] for f in done]),
               "min_s": min(f["seconds"] for f in done), "max_s": max(f["seconds"] for f in done),
               "rss_mb": harness.median([f["rss_kib"] / 1024 for f in done]),
               "runs": len(done)}
    for key in ("pairs", "clusters", "precision", "recall", "f1", "threads"):
        if key in first:
            summary[key] = first[key]
    if "prep_s" in first:
        summary["prep_s"] = harness.median([f["prep_s"] for f in done])
    if len(done) < len(figures):
        summary["status"] = f"{len(figures) - len(done)} of {len(figures)} runs failed"
    return summary


def ratios(summaries: dict) -> list[str]:
    def time_of(run):
        return summaries.get(run, {}).get("median_s")

    lines = []
    for label, slow, fast in (("Splink / reconcile", "splink", "reconcile"),
                              ("Splink all rules / reconcile", "splink-all", "reconcile"),
                              ("Splink / reconcile_local", "splink", "local"),
                              ("reconcile_local / reconcile", "local", "reconcile"),
                              ("baseline local / local", "local-baseline", "local"),
                              ("reconcile 1 CPU / 2 CPUs", "reconcile-1cpu", "reconcile")):
        if time_of(slow) and time_of(fast):
            lines.append(f"  {label}: {time_of(slow) / time_of(fast):.2f}x")
    return lines


def report(all_summaries: dict) -> str:
    header = ("size", "run", "median s", "range s", "prep s", "peak RSS MB", "pairs",
              "clusters", "precision", "recall", "F1")
    rows, notes = [], []
    for label, summaries in all_summaries.items():
        for run, s in summaries.items():
            if "median_s" not in s:
                notes.append(f"{label} {run}: {s.get('status')}")
                continue
            rows.append((label, run, f"{s['median_s']:.2f}", f"{s['min_s']:.2f}-{s['max_s']:.2f}",
                         f"{s['prep_s']:.2f}" if "prep_s" in s else "-",
                         f"{s['rss_mb']:.0f}", s.get("pairs", "-"), s.get("clusters", "-"),
                         *(f"{s[k]:.4f}" if k in s else "-" for k in ("precision", "recall", "f1"))))
            if s.get("status"):
                notes.append(f"{label} {run}: {s['status']}")
        lines = ratios(summaries)
        if lines:
            notes.append(f"{label} ratios of median times:")
            notes += lines
    return harness.format_table(header, rows) + ("\n" + "\n".join(notes) if notes else "")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="100k,1m", help="comma-separated record counts")
    parser.add_argument("--seed", type=int, default=1, help="seed of the generated data")
    parser.add_argument("--profile", default="default", help="generator profile")
    parser.add_argument("--spec", type=Path, default=DEFAULT_SPEC, help="identity spec YAML")
    parser.add_argument("--runs", default=None,
                        help=f"comma-separated runs out of {','.join(RUNS)} (default: all "
                             "but local-baseline, which needs --baseline-native)")
    parser.add_argument("--repeats", type=int, default=3, help="measurements per run")
    parser.add_argument("--baseline-native", type=Path,
                        help="directory holding another build's _native module")
    parser.add_argument("--peer-python", default=harness.default_peer_python(),
                        help="interpreter of the Splink environment (bench/setup_peers.sh)")
    parser.add_argument("--data-dir", type=Path, default=harness.DEFAULT_DATA_DIR,
                        help="where generated records are cached")
    parser.add_argument("--nice", type=int, default=0, help="niceness added to each run")
    parser.add_argument("--json", type=Path, help="write every figure to this file")
    parser.add_argument("--child", choices=sorted(CHILDREN), help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    parser.add_argument("--native-dir", help=argparse.SUPPRESS)
    parser.add_argument("--quality", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        print(json.dumps(CHILDREN[args.child](args)))
        return 0

    if args.runs is None:
        args.runs = [r for r in RUNS if r != "local-baseline" or args.baseline_native]
    else:
        args.runs = [r.strip() for r in args.runs.split(",") if r.strip()]
        unknown = sorted(set(args.runs) - set(RUNS))
        if unknown:
            parser.error(f"unknown runs: {', '.join(unknown)}")
    if "local-baseline" in args.runs and not args.baseline_native:
        parser.error("local-baseline needs --baseline-native")
    sizes = [harness.parse_size(s) for s in args.sizes.split(",") if s.strip()]
    raw, summaries = {}, {}
    for records in sizes:
        label = harness.size_label(records)
        raw[label] = measure_size(args, records)
        summaries[label] = {run: summarise(figures) for run, figures in raw[label].items()}
    print(f"spec: {args.spec}   profile: {args.profile}   seed: {args.seed}   "
          f"repeats: {args.repeats}")
    print(report(summaries))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"spec": str(args.spec), "seed": args.seed,
                                         "profile": args.profile, "summary": summaries,
                                         "runs": raw}, indent=2, sort_keys=True),
                             encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
