"""Block key texts as users see them: the blocking_key of decisions and the number of
blocks in telemetry, for plan-driven keys and LSH keys."""

import json
import uuid

import pytest

native = pytest.importorskip("velatro._native")
if not hasattr(native, "reconcile_local"):
    pytest.skip("reconcile_local not registered", allow_module_level=True)

TENANT = "00000000-0000-0000-0000-000000000001"


def spec(blocking):
    return f"""
api_version: velatro/v1
identity_version: "1"
entity: {{name: person}}
sources: {{crm: {{adapter: csv}}}}
blocking:
{blocking}
rules:
  - {{name: full, type: exact, field: full_name, weight: 1.0}}
decision:
  thresholds: {{match: 0.9, review: 0.5}}
"""


def run(blocking, datas):
    records = [
        {
            "id": str(uuid.UUID(int=i + 1)),
            "tenant_id": TENANT,
            "external_id": f"ext-{i}",
            "entity_type": "person",
            "data": data,
            "source_name": "crm",
            "last_updated": "2024-01-01T10:00:00Z",
        }
        for i, data in enumerate(datas)
    ]
    return native.reconcile_local(spec(blocking), json.dumps(records))


def test_initials_of_two_fields():
    # "initial" in a field name picks first_initial, applied to every field of the key.
    record = {"full_name": "Ann Smith", "last_initial": "Smith", "zip_initial": "90210"}
    result = run("  keys: [[last_initial, zip_initial]]", [record, dict(record)])
    assert [d["blocking_key"] for d in result["decisions"]] == ["S|9"]
    assert result["telemetry"]["blocking_groups"] == 1


def test_normalized_name_key():
    # "name" picks normalize_name; the zip goes through it as well.
    records = [
        {"full_name": "Ann Smith", "last_name": "  SMITH ", "zip": "90210"},
        {"full_name": "Ann Smith", "last_name": "smith", "zip": "90210"},
        {"full_name": "Ann Smith", "last_name": "smith"},  # no zip: no key, no pair
    ]
    result = run("  keys: [[last_name, zip]]", records)
    assert [d["blocking_key"] for d in result["decisions"]] == ["smith|90210"]
    assert result["telemetry"]["pairs_evaluated"] == 1


def test_lsh_keys():
    # The plan key never forms (no record has "ssn"), so the pair can only come from
    # LSH: 20 shared bands, the decision reported under the smallest key.
    record = {"full_name": "John Smith"}
    blocking = "  strategy: lsh\n  keys: [[full_name, ssn]]"
    result = run(blocking, [record, dict(record)])
    assert result["telemetry"]["blocking_groups"] == 20
    assert [d["blocking_key"] for d in result["decisions"]] == ["lsh:0:13685671859616347498"]
    # Different text, different bands: no pair at all.
    result = run(blocking, [record, {"full_name": "Jon Smith"}])
    assert result["decisions"] == []
    assert result["telemetry"]["blocking_groups"] == 40
