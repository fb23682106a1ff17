"""The engine's own profile of a run: stage timings and work counts, only when asked."""

import json

import pyarrow as pa

import velatro
from velatro import _engine
from conftest import EXAMPLES


def example_records(spec):
    rows = []
    for e in json.loads((EXAMPLES / "customers.json").read_text(encoding="utf-8")):
        row = {k: v for k, v in e.items() if k not in ("data", "id")}
        row["record_id"] = e["id"]
        row.update(e["data"])
        rows.append(row)
    names = list(dict.fromkeys(k for r in rows for k in r))
    table = pa.table({n: pa.array([r.get(n) for r in rows], pa.string()) for n in names})
    return velatro.read_records(spec, table)


def test_profile_counts_the_work_and_times_every_stage(customer_yaml):
    records = example_records(customer_yaml)
    out = _engine.reconcile(customer_yaml, records, 0, profile=True)
    profile, telemetry = out["profile"], out["telemetry"]
    assert profile["records"] == records.num_rows
    assert profile["blocks"] == telemetry["blocking_groups"]
    # Records that share several blocks are judged once for all of them.
    assert profile["pairs_judged"] < profile["pair_copies"]
    assert profile["pair_copies"] >= telemetry["pairs_evaluated"]
    assert profile["kept_pairs"] == pa.RecordBatchReader.from_stream(
        _Capsule(out["pairs"])).read_all().num_rows
    seconds = profile["seconds"]
    assert {"block_index", "prepare", "evaluate", "order", "cluster", "golden_records",
            "output"} <= set(seconds)
    assert all(s >= 0 for s in seconds.values())
    assert abs(seconds["total"] - sum(v for k, v in seconds.items() if k != "total")) < 1e-9


def test_no_profile_unless_asked(customer_yaml):
    out = _engine.reconcile(customer_yaml, example_records(customer_yaml))
    assert "profile" not in out


class _Capsule:
    def __init__(self, capsule):
        self.capsule = capsule

    def __arrow_c_stream__(self, requested_schema=None):
        return self.capsule
