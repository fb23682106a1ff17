"""End-to-end benchmark of `reconcile_local` on synthetic customer records.

For each size (10k and 100k records by default; add 1m with --sizes) it
generates records with `bench/generate.py` (cached in --data-dir), runs
`reconcile_local` on them with the identity spec (default
`examples/customer.yaml`) in a fresh subprocess, and prints per size:

- wall time of the call, split into
  - read: from the call until the entity run starts: reading and compiling the
    spec, building the engine and reading the entity JSON;
  - run: the entity run (blocking, pair evaluation, ordering, clustering), up
    to the first time the module holds the interpreter lock for a while;
  - post: golden records and the conversion of the result to Python objects:
    the module builds each chunk of results without the lock and takes it
    only while it turns the chunk into objects;
- blocks and pairs evaluated (from the result's telemetry), and pairs per
  second of the run phase;
- peak RSS of the subprocess (VmHWM), which includes the entity text held as a
  Python str (its size is printed too), and the growth of RSS from before the
  call to after it, which is roughly what the returned result keeps alive;
- the speed-up of the run phase with 2 worker threads over 1;
- pairwise precision, recall and F1 of the clusters against the generator's
  ground truth (a pair is two records in one cluster; it is true when the
  truth gives both records the same person).

How the phases are told apart. The module releases the interpreter lock for
the whole call once the input is read, and takes it back only in spells while
it creates the result's objects. A watcher thread wakes every millisecond and notes the time whenever it
gets the lock; while the call holds the lock the watcher cannot run at all (and
a long switch interval keeps the calling thread from yielding the lock between
its own statements). Its first note inside the call marks the start of the
run, the last note of that first unbroken stretch of notes the end, each to
within about a millisecond; everything before is "read" and everything after
"post". The watcher sleeps between notes, so it costs the
workers next to nothing. If it
makes no note during the call (a run shorter than its period, or a build that
keeps the lock), the script falls back to a second call with the same records
and a spec with its blocking section removed: that call reads the same
records and evaluates no pair, so the difference between the two calls is
taken as the run, and the split between read and post is not reported.

Each measured subprocess runs under an address-space cap (--memory-limit-gb,
16 by default): a size too big for the machine fails its row, which says how
far the call got, instead of starving everything else on the machine.

Worker threads: the worker pool sizes itself from the CPUs the process may run
on, so each run is pinned to that many CPUs (2 by default; the 1-thread run for
the speed-up is pinned to one).

    python bench/reconcile_bench.py                    # 10k and 100k
    python bench/reconcile_bench.py --sizes 10k,100k,1m
    python bench/reconcile_bench.py --add-block-key last_name,birth_year

With the example spec's blocking nearly every evaluated pair is a match and is
kept as a decision. The extra key of the last line also puts people who share
a surname and a birth year into one block: about 0.85M pairs at 100k records
(growing with the square of the size), four in five of them no-merge, which
weighs the pair evaluation itself rather than the decisions. (A key on
first_name,last_name gives about 3M pairs at 100k, mostly namesakes that the
example spec's thresholds send to review: several GB of kept decisions.)
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DEFAULT_SPEC = ROOT / "examples" / "customer.yaml"


def parse_size(text: str) -> int:
    match = re.fullmatch(r"(\d+)([km]?)", text.strip().lower())
    if not match:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (try 10k, 100k, 1m)")
    return int(match.group(1)) * {"": 1, "k": 1000, "m": 1000000}[match.group(2)]


def size_label(n: int) -> str:
    if n % 1000000 == 0:
        return f"{n // 1000000}m"
    if n % 1000 == 0:
        return f"{n // 1000}k"
    return str(n)


def with_block_keys(spec_text: str, keys: list[str]) -> str:
    """The spec with more blocking keys (each "field,field") put first in the
    `keys` list of its block-style `blocking` section."""
    if not keys:
        return spec_text
    lines = spec_text.splitlines(keepends=True)
    in_blocking = False
    for i, line in enumerate(lines):
        if line[:1] not in (" ", "\t", "#", "\n", "\r", ""):
            in_blocking = line.startswith("blocking:")
        elif in_blocking and line.strip() == "keys:":
            item = next((l for l in lines[i + 1:] if l.strip().startswith("- ")), None)
            indent = item[:len(item) - len(item.lstrip())] if item else " " * 4
            extra = [f"{indent}- [{', '.join(f.strip() for f in key.split(','))}]\n"
                     for key in keys]
            return "".join(lines[:i + 1] + extra + lines[i + 1:])
    raise SystemExit("the spec has no block-style `blocking:` section with `keys:`")


def without_blocking(spec_text: str) -> str:
    """The spec with its top-level `blocking` section cut out, so that the run
    forms no block and evaluates no pair."""
    out = []
    skipping = False
    for line in spec_text.splitlines(keepends=True):
        top_level = line[:1] not in (" ", "\t", "#", "\n", "\r", "")
        if top_level:
            skipping = line.startswith("blocking:")
        if not skipping:
            out.append(line)
    return "".join(out)


def rss_kib(field: str = "VmHWM") -> int:
    """Peak (VmHWM) or current (VmRSS) resident set size of this process in KiB."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def release_free_heap() -> None:
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def pairwise_quality(clusters, truth: dict) -> dict:
    """Pairwise precision, recall and F1 of `clusters` against `truth` (entity
    id -> person id), counted without listing pairs: the pairs two groupings
    share are the pairs inside each (cluster, person) intersection."""
    def pairs(n):
        return n * (n - 1) // 2

    predicted = 0
    shared = 0
    person_sizes: dict = {}
    for person in truth.values():
        person_sizes[person] = person_sizes.get(person, 0) + 1
    for cluster in clusters:
        predicted += pairs(len(cluster))
        counts: dict = {}
        for entity_id in cluster:
            person = truth.get(entity_id)
            counts[person] = counts.get(person, 0) + 1
        shared += sum(pairs(c) for p, c in counts.items() if p is not None)
    actual = sum(pairs(n) for n in person_sizes.values())
    precision = shared / predicted if predicted else 1.0
    recall = shared / actual if actual else 1.0
    f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
    return {"precision": precision, "recall": recall, "f1": f1,
            "true_pairs": actual, "predicted_pairs": predicted}


class LockWatcher:
    """Notes the times at which this thread could take the interpreter lock."""

    def __init__(self, period: float = 0.001):
        self.period = period
        self.ticks: list[float] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, daemon=True)

    def _loop(self):
        clock = time.perf_counter
        note = self.ticks.append
        while not self._stop.is_set():
            note(clock())
            time.sleep(self.period)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def inside(self, start: float, end: float) -> list[float]:
        return [t for t in self.ticks if start < t < end]


# Notes further apart than this end the stretch that counts as the run. Busy workers can
# keep the watcher off the CPU for a few milliseconds, so the gap must be wider than
# that; a finishing spell that follows the run more closely is counted into it.
RUN_GAP_S = 0.05


def child(args) -> int:
    """Measure one call in this process and print the figures as one JSON line."""
    module = importlib.import_module(args.module)
    reconcile_local = module.reconcile_local
    spec_text = with_block_keys(Path(args.spec).read_text(encoding="utf-8"), args.add_block_key)
    entities_text = Path(args.entities).read_text(encoding="utf-8")
    # The str object need not match the file: CPython stores one, two or four
    # bytes per character, by the widest character in the text.
    figures = {"input_mb": len(entities_text.encode("utf-8")) / 1e6,
               "input_str_mb": sys.getsizeof(entities_text) / 1e6}

    # The spec alone: what reading and compiling it costs on no records.
    started = time.perf_counter()
    reconcile_local(spec_text, "[]")
    figures["spec_s"] = time.perf_counter() - started

    # A long switch interval keeps this thread from handing the lock to the
    # watcher between its own statements, so that the watcher's notes fall only
    # where the call itself lets go of the lock.
    interval = sys.getswitchinterval()
    release_free_heap()
    figures["rss_before_kib"] = rss_kib("VmRSS")
    with LockWatcher() as watcher:
        time.sleep(0.005)  # let the watcher start before the call
        sys.setswitchinterval(60.0)
        failure = None
        started = time.perf_counter()
        try:
            result = reconcile_local(spec_text, entities_text)
        except (Exception, MemoryError) as error:  # the row reports how far it got
            failure = f"{type(error).__name__}: {error}".rstrip(": ")
        ended = time.perf_counter()
        sys.setswitchinterval(interval)
    figures["rss_kib"] = rss_kib()
    if failure is not None:
        ticks = watcher.inside(started, ended)
        figures["failed"] = failure
        figures["failed_after_s"] = ended - started
        if ticks:
            figures["read_s"] = ticks[0] - started
            figures["run_s"] = ticks[-1] - ticks[0]
        print(json.dumps(figures))
        return 0
    # What the result itself keeps alive, as opposed to the call's transient peak:
    # hand the heap the call freed back to the system first, or it would count.
    release_free_heap()
    figures["result_kib"] = rss_kib("VmRSS") - figures["rss_before_kib"]
    figures["total_s"] = ended - started
    ticks = watcher.inside(started, ended)
    if ticks:
        # The run is the first unbroken stretch of notes: the module lets go of the
        # lock again later, in short spells while it finishes the result.
        run_end = ticks[0]
        for tick in ticks[1:]:
            if tick - run_end > RUN_GAP_S:
                break
            run_end = tick
        figures["read_s"] = ticks[0] - started
        figures["run_s"] = run_end - ticks[0]
        figures["post_s"] = ended - run_end
        figures["split"] = "lock"
    else:
        del result  # keep the second call's peak from stacking on the first
        no_pairs = without_blocking(spec_text)
        started = time.perf_counter()
        baseline = reconcile_local(no_pairs, entities_text)
        figures["baseline_s"] = time.perf_counter() - started
        del baseline
        figures["run_s"] = max(0.0, figures["total_s"] - figures["baseline_s"])
        figures["split"] = "baseline"
        result = reconcile_local(spec_text, entities_text) if args.quality else None

    if result is not None:
        telemetry = result["telemetry"]
        figures["blocks"] = telemetry["blocking_groups"]
        figures["pairs"] = telemetry["pairs_evaluated"]
        figures["decisions"] = telemetry["decisions_by_type"]
        figures["clusters"] = len(result["clusters"])
        if args.quality:
            truth = json.loads(Path(args.truth).read_text(encoding="utf-8"))
            figures.update(pairwise_quality(result["clusters"], truth))
    print(json.dumps(figures))
    return 0


def ensure_data(records: int, seed: int, data_dir: Path) -> tuple[Path, Path]:
    entities = data_dir / f"entities_{size_label(records)}_s{seed}.json"
    truth = data_dir / f"truth_{size_label(records)}_s{seed}.json"
    if not (entities.exists() and truth.exists()):
        data_dir.mkdir(parents=True, exist_ok=True)
        print(f"generating {size_label(records)} records ...", file=sys.stderr, flush=True)
        subprocess.run([sys.executable, str(HERE / "generate.py"), "--records", str(records),
                        "--seed", str(seed), "--out", str(entities), "--truth", str(truth)],
                       check=True)
    return entities, truth


def measure(args, entities: Path, truth: Path, threads: int, quality: bool) -> dict:
    """Figures of one call in a fresh subprocess; {"failed": reason} when it fails."""
    cpus = sorted(os.sched_getaffinity(0))[:max(1, threads)]
    command = [sys.executable, str(Path(__file__).resolve()), "--child",
               "--module", args.module, "--spec", str(args.spec),
               "--entities", str(entities), "--truth", str(truth)]
    if quality:
        command.append("--quality")
    for key in args.add_block_key:
        command += ["--add-block-key", key]
    limit = int(args.memory_limit_gb * 2**30)

    def prepare_child():
        # The worker pool takes its size from the CPUs the process may use.
        os.sched_setaffinity(0, cpus)
        # An address-space cap turns a run too big for this machine into a
        # failed row instead of a machine-wide out-of-memory kill.
        if limit > 0:
            import resource
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    done = subprocess.run(command, capture_output=True, text=True, preexec_fn=prepare_child)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        lines = done.stderr.strip().splitlines() or [f"exit status {done.returncode}"]
        return {"failed": lines[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def seconds(value) -> str:
    return "-" if value is None else f"{value:.3f}"


def report(rows: list) -> str:
    header = ("size", "input MB", "total s", "read s", "run s", "post s", "blocks", "pairs",
              "pairs/s", "peak RSS MB", "result MB", "2t/1t", "precision", "recall", "F1")
    lines = [header]
    failures = []
    for label, f, speedup in rows:
        if "failed" in f:
            where = "".join(f", {name} {f[key]:.1f} s" for name, key in (
                ("read", "read_s"), ("run", "run_s"), ("total", "failed_after_s"))
                if key in f)
            if "rss_kib" in f:
                where += f", peak RSS {f['rss_kib'] / 1024:.0f} MB"
            failures.append(f"{label}: failed: {f['failed']}{where}")
            continue
        rate = f["pairs"] / f["run_s"] if f.get("run_s") else None
        lines.append((
            label, f"{f['input_mb']:.1f}", seconds(f["total_s"]), seconds(f.get("read_s")),
            seconds(f["run_s"]), seconds(f.get("post_s")), str(f["blocks"]), str(f["pairs"]),
            "-" if rate is None else f"{rate:,.0f}", f"{f['rss_kib'] / 1024:.0f}",
            f"{f['result_kib'] / 1024:.0f}",
            "n/a" if speedup is None else f"{speedup:.2f}x", f"{f['precision']:.4f}",
            f"{f['recall']:.4f}", f"{f['f1']:.4f}"))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    return "\n".join(["  ".join(cell.rjust(w) for cell, w in zip(line, widths))
                      for line in lines] + failures)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10k,100k",
                        help="comma-separated record counts, e.g. 10k,100k,1m")
    parser.add_argument("--seed", type=int, default=1, help="seed of the generated data")
    parser.add_argument("--spec", type=Path, default=DEFAULT_SPEC, help="identity spec YAML")
    parser.add_argument("--add-block-key", action="append", default=[], metavar="FIELDS",
                        help="extra blocking key, e.g. last_name,birth_year, which "
                             "loads the run with non-matching pairs (repeatable)")
    parser.add_argument("--data-dir", type=Path, default=ROOT / "build" / "bench-data",
                        help="where generated records are cached")
    parser.add_argument("--threads", type=int, default=2,
                        help="worker threads of the main measurement")
    parser.add_argument("--no-speedup", action="store_true",
                        help="skip the 1-thread run")
    parser.add_argument("--memory-limit-gb", type=float, default=16.0,
                        help="address-space cap of each measured run (0: none)")
    parser.add_argument("--module", default="velatro._native",
                        help="module that provides reconcile_local")
    parser.add_argument("--json", action="store_true", help="print the raw figures as JSON too")
    # The per-size measurement runs in a subprocess of this script.
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--entities", help=argparse.SUPPRESS)
    parser.add_argument("--truth", help=argparse.SUPPRESS)
    parser.add_argument("--quality", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        return child(args)

    sizes = [parse_size(s) for s in args.sizes.split(",") if s.strip()]
    if not hasattr(importlib.import_module(args.module), "reconcile_local"):
        raise SystemExit(f"{args.module} has no reconcile_local: build and install it first")
    speedup_possible = not args.no_speedup
    rows = []
    raw = {}
    for records in sizes:
        label = size_label(records)
        entities, truth = ensure_data(records, args.seed, args.data_dir)
        print(f"running {label} ...", file=sys.stderr, flush=True)
        figures = measure(args, entities, truth, args.threads, quality=True)
        speedup = None
        if speedup_possible and "failed" not in figures:
            single = measure(args, entities, truth, 1, quality=False)
            figures["run_1_thread_s"] = single.get("run_s")
            if figures["run_s"] > 0 and "run_s" in single:
                speedup = single["run_s"] / figures["run_s"]
        rows.append((label, figures, speedup))
        raw[label] = figures
    extra = "".join(f" + [{key}]" for key in args.add_block_key)
    print(f"spec: {args.spec}{extra}   seed: {args.seed}   threads: {args.threads}")
    print(report(rows))
    if args.json:
        print(json.dumps(raw, indent=2, sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
