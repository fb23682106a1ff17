"""A user's script over the public API; CI type-checks it with mypy --strict, so a
public function without types, or with wrong ones, fails the build."""

from __future__ import annotations

import pathlib
import sys

import velatro
from velatro import CheckError, Finding

ROOT = pathlib.Path(__file__).resolve().parents[2]
SPEC = ROOT / "examples" / "customer.yaml"


def spec_tools(text: str) -> str:
    findings: list[str] = velatro.validate(text) + velatro.validate_strict(SPEC)
    findings += velatro.validate_schema(text) + velatro.validate_semantics(text)
    tree = velatro.parse(text)
    name = str(tree["entity"]["name"])
    fingerprint: str = velatro.hash(text)
    summary: str = velatro.plan(text)["summary"]
    changed: str = velatro.diff(text, SPEC)["summary"]
    plan_hash: str = velatro.compile_ir(text)["plan_hash"]
    return "\n".join([name, fingerprint, summary, changed, plan_hash, *findings])


def run_entities(text: str) -> int:
    entities = (ROOT / "examples" / "customers.json").read_text()
    result = velatro.reconcile_local(text, entities)
    clusters: list[list[str]] = result["clusters"]
    golden: list[dict[str, str]] = result["golden_records"]
    return len(clusters) + len(golden)


def checks(text: str) -> list[Finding]:
    findings = velatro.check(text, ROOT / "examples" / "customers.json")
    errors = [f for f in findings if f.level == "error"]
    for finding in errors:
        print(finding.code, finding.where, finding.message, file=sys.stderr)
    try:
        velatro.check(SPEC)
    except CheckError as exc:
        return exc.findings
    return findings


SMALL = """
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources: [{name: crm, system: crm, table: t, id: contact_id, attributes: {email: mail}}]
blocking: {keys: [[email]]}
rules: [{name: email, type: exact, field: email}]
decision: {thresholds: {match: 1.0}}
"""


def run_tables(text: str = SMALL) -> velatro.Resolution:
    rows = [{"contact_id": "c1", "mail": "a@x.org"}, {"contact_id": "c2", "mail": "a@x.org"}]
    records = velatro.read_records(text, {"crm": rows})
    assert records.num_rows == 2
    result = velatro.reconcile(text, {"crm": rows}, threads=1, checks=True)
    golden = result.golden_records
    print(golden.num_rows, result.clusters.num_rows, result.pairs.num_rows)
    telemetry: dict[str, object] = result.telemetry
    print(sorted(telemetry))
    return result


def command_line() -> int:
    from velatro.cli import main

    return main(["hash", str(SPEC)])


if __name__ == "__main__":
    text = SPEC.read_text()
    print(spec_tools(text)[:40], run_entities(text), len(checks(text)), command_line())
    print(run_tables())
