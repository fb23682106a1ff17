"""A run's hooks: Ctrl-C stops it within a second, progress reaches a callback or a
tqdm bar, and the engine's log events reach Python's logging once per run."""

import json
import logging
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import EXAMPLES

pa = pytest.importorskip("pyarrow")
import velatro  # noqa: E402

SPEC = """
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources: [{name: crm, system: crm, table: t, id: id, attributes: {email: email, city: city}}]
blocking: {keys: [[city]]}
rules: [{name: email, type: exact, field: email}]
decision: {thresholds: {match: 1.0}}
"""
CUSTOMER = (EXAMPLES / "customer.yaml").read_text()
ENTITIES = (EXAMPLES / "customers.json").read_text()


def people(n, city="Leeds"):
    columns = {
        "id": [str(i) for i in range(n)],
        "email": [f"{i % 7}@x.org" for i in range(n)],
        "city": [city] * n,
    }
    return {"crm": pa.table(columns)}


def test_reconcile_local_is_the_native_result():
    assert velatro.reconcile_local(CUSTOMER, ENTITIES) == velatro._native.reconcile_local(
        CUSTOMER, ENTITIES
    )


@pytest.mark.parametrize("entry", ["reconcile", "reconcile_local"])
def test_progress_reaches_a_callback(entry):
    seen = []
    if entry == "reconcile":
        velatro.reconcile(SPEC, people(300), progress=seen.append)
    else:
        velatro.reconcile_local(CUSTOMER, ENTITIES, progress=seen.append)
    last = seen[-1]
    assert last["pairs_done"] == last["pairs_total"] > 0
    assert last["blocks_done"] == last["blocks_total"] > 0
    done = [s["pairs_done"] for s in seen]
    assert done == sorted(done)


def test_a_failing_progress_callback_stops_the_run():
    def fail(state):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        velatro.reconcile(SPEC, people(50), progress=fail)
    assert velatro.reconcile(SPEC, people(50), progress=False).clusters.num_rows == 50


def test_tqdm_bar_when_asked(capsys):
    pytest.importorskip("tqdm")
    velatro.reconcile(SPEC, people(200), progress=True)
    err = capsys.readouterr().err
    assert "velatro" in err and "19.9k/19.9k" in err


def test_no_bar_when_stderr_is_not_a_terminal(capsys):
    velatro.reconcile(SPEC, people(200))
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("entry", ["reconcile", "reconcile_local"])
def test_fallback_warning_reaches_logging_once_with_a_count(entry, caplog):
    spec = CUSTOMER.replace("    strategy: fellegi_sunter\n", "")
    with caplog.at_level(logging.WARNING, logger="velatro"):
        if entry == "reconcile":
            table = velatro.checks.entities_table(ENTITIES)
            velatro.reconcile(spec, table, checks=False)
        else:
            velatro.reconcile_local(spec, ENTITIES)
    fallback = [r for r in caplog.records if "falling back to weighted sum" in r.getMessage()]
    assert len(fallback) == 1
    record = fallback[0]
    assert record.name == "velatro" and record.levelno == logging.WARNING
    assert record.velatro_count > 100
    assert record.getMessage() == (
        "Fellegi-Sunter scoring selected but no config provided, falling back to weighted sum"
        f" ({record.velatro_count} times in this run)"
    )


def test_native_module_installs_no_sink(caplog):
    spec = CUSTOMER.replace("    strategy: fellegi_sunter\n", "")
    with caplog.at_level(logging.DEBUG):
        velatro._native.reconcile_local(spec, ENTITIES)
    assert caplog.records == []


# A run of 10,001 records in one block: 50,005,000 pairs, far more than a second of
# work on this machine. The child reports when pairs are being compared; the parent
# sends SIGINT then and times the KeyboardInterrupt.
CHILD = textwrap.dedent("""
    import json, sys, time
    import velatro
    spec = sys.stdin.read()
    n = 10_001
    entry = sys.argv[1]
    import pyarrow as pa
    rows = {"crm": pa.table({"id": [str(i) for i in range(n)], "email": [f"{i}@x.org" for i in range(n)],
                    "city": ["Leeds"] * n})}
    if entry == "reconcile_local":
        data = json.dumps([
            {"id": f"00000000-0000-0000-0000-{i:012d}", "tenant_id": "00000000-0000-0000-0000-000000000000",
             "external_id": str(i), "entity_type": "person", "source_name": "crm",
             "last_updated": "2024-01-01T00:00:00Z", "data": {"email": f"{i}@x.org", "city": "Leeds"}}
            for i in range(n)])
    started = False

    def progress(state):
        global started
        if state["pairs_done"] and not started:
            started = True
            print("started", state["pairs_total"], flush=True)

    try:
        if entry == "reconcile":
            velatro.reconcile(spec, rows, progress=progress, checks=False)
        else:
            velatro.reconcile_local(spec, data, progress=progress)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    small = {"crm": pa.table({"id": ["a", "b"], "email": ["x", "x"], "city": ["L", "L"]})}
    print("usable", velatro.reconcile(spec, small).pairs.num_rows, flush=True)
    """)


@pytest.mark.parametrize("entry", ["reconcile", "reconcile_local"])
def test_ctrl_c_interrupts_a_50m_pair_run_within_a_second(entry):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, entry],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        child.stdin.write(SPEC)
        child.stdin.close()
        line = child.stdout.readline()
        assert line.split() == ["started", "50005000"], line + child.stderr.read()
        sent = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        line = child.stdout.readline()
        elapsed = time.monotonic() - sent
        assert line.strip() == "interrupted", line + child.stderr.read()
        assert elapsed < 1.0, f"KeyboardInterrupt took {elapsed:.2f} s"
        assert child.stdout.readline().split() == ["usable", "1"]
        assert child.wait(timeout=60) == 0
    finally:
        if child.poll() is None:
            child.kill()
