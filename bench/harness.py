"""What the table and quality benchmarks share: generated data on disk, one
measurement per fresh process pinned to chosen CPUs, medians and tables.

Every measurement runs in its own process, so that no run inherits another's
heap, caches or threads; the process prints its figures as one JSON line last.
Peak memory is the child's VmHWM read at the end of its timed part (before it
scores quality, which loads the truth), and its ru_maxrss from wait4 as a
cross-check.
"""

from __future__ import annotations

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

from reconcile_bench import pairwise_quality, parse_size, size_label  # noqa: E402

__all__ = ["pairwise_quality", "parse_size", "size_label", "peak_rss_kib", "run_child",
           "ensure_tables", "default_peer_python", "median", "format_table",
           "quality_of_groups", "truth_by_key"]

DEFAULT_DATA_DIR = ROOT / "build" / "bench-data"
DEFAULT_PEER_VENV = Path(os.environ.get("VELATRO_PEER_VENV", "/work/venv-peers"))


def peak_rss_kib() -> int:
    """Peak resident set size (VmHWM) of this process in KiB."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def default_peer_python() -> str | None:
    """The interpreter of the peer environment (bench/setup_peers.sh), if any."""
    explicit = os.environ.get("VELATRO_PEER_PYTHON")
    if explicit:
        return explicit
    candidate = DEFAULT_PEER_VENV / "bin" / "python"
    return str(candidate) if candidate.exists() else None


def cpu_list(count: int) -> list[int]:
    return sorted(os.sched_getaffinity(0))[:max(1, count)]


def run_child(argv: list[str], cpus: int, nice: int = 0) -> dict:
    """Run `argv` pinned to the first `cpus` CPUs (with taskset when the
    system has it) and return the JSON figures of its last output line, with
    `maxrss_kib` from the kernel and `cpus`; {"failed": reason} on failure."""
    chosen = cpu_list(cpus)
    command = list(argv)
    taskset = shutil.which("taskset")
    if taskset:
        command = [taskset, "-c", ",".join(map(str, chosen))] + command

    def prepare():
        if not taskset:
            os.sched_setaffinity(0, chosen)
        if nice:
            os.nice(nice)

    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        process = subprocess.Popen(command, stdout=out, stderr=err, text=True,
                                   preexec_fn=prepare)
        # wait4 rather than Popen.wait: it hands over the child's own rusage.
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    if process.returncode != 0:
        lines = stderr.strip().splitlines() or [f"exit status {process.returncode}"]
        return {"failed": lines[-1], "stderr": stderr[-4000:]}
    lines = [line for line in stdout.strip().splitlines() if line.startswith("{")]
    if not lines:
        return {"failed": "no figures printed", "stderr": stderr[-4000:]}
    figures = json.loads(lines[-1])
    figures["cpus"] = len(chosen)
    figures["maxrss_kib"] = usage.ru_maxrss
    return figures


def ensure_tables(records: int, seed: int, profile: str, data_dir: Path,
                  python: str = sys.executable) -> dict:
    """Generated records as source tables and the equivalent entity JSON,
    cached in data_dir; returns their paths."""
    base = data_dir / f"tables_{size_label(records)}_s{seed}_{profile}"
    paths = {"dir": base, "entities": base / "entities.json", "truth_json": base / "truth.json",
             "truth": base / "truth.parquet",
             "tables": {s: base / f"{s}.parquet" for s in ("crm", "webshop", "loyalty")}}
    done = base / "complete"
    if not done.exists():
        base.mkdir(parents=True, exist_ok=True)
        print(f"generating {size_label(records)} {profile} records ...", file=sys.stderr,
              flush=True)
        subprocess.run([python, str(HERE / "generate.py"), "--records", str(records),
                        "--seed", str(seed), "--profile", profile, "--parquet", str(base),
                        "--out", str(paths["entities"]), "--truth", str(paths["truth_json"])],
                       check=True)
        done.write_text("ok\n", encoding="ascii")
    return paths


def truth_by_key(truth_parquet: Path) -> dict:
    """"source/external id" -> person id, from the generator's truth table."""
    import pyarrow.parquet as pq
    table = pq.read_table(truth_parquet, columns=["source_name", "external_id", "person_id"])
    sources = table.column("source_name").to_pylist()
    keys = table.column("external_id").to_pylist()
    people = table.column("person_id").to_pylist()
    return {f"{s}/{k}": p for s, k, p in zip(sources, keys, people)}


def quality_of_groups(keys, groups, truth: dict) -> dict:
    """Pairwise quality of a clustering given as parallel sequences of record
    keys and cluster labels."""
    clusters: dict = {}
    for key, group in zip(keys, groups):
        clusters.setdefault(group, []).append(key)
    return pairwise_quality(clusters.values(), truth)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def format_table(header: tuple, rows: list) -> str:
    lines = [tuple(header)] + [tuple(str(c) for c in row) for row in rows]
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    return "\n".join("  ".join(cell.rjust(w) for cell, w in zip(line, widths))
                     for line in lines)
