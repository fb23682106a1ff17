"""The synthetic data generator of bench/: determinism, shape and ground truth."""

import importlib.util
import io
import json
import re
import subprocess
import sys

import pytest

from conftest import EXAMPLES, ROOT

GENERATOR = ROOT / "bench" / "generate.py"
UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
DATE_TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d)$")
REQUIRED = {"id", "tenant_id", "external_id", "entity_type", "data", "source_name",
            "last_updated"}
OPTIONAL = {"valid_from", "valid_to"}


@pytest.fixture(scope="module")
def generate():
    spec = importlib.util.spec_from_file_location("bench_generate", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run(generate, records, seed):
    out, truth = io.StringIO(), io.StringIO()
    generate.generate(records, seed, out, truth)
    return out.getvalue(), truth.getvalue()


def test_same_seed_gives_the_same_bytes_and_another_seed_does_not(generate):
    first = run(generate, 700, 11)
    assert run(generate, 700, 11) == first
    assert run(generate, 700, 12)[0] != first[0]


@pytest.mark.parametrize("records", [0, 1, 5, 2000])
def test_records_are_well_formed_and_the_truth_covers_exactly_their_ids(generate, records):
    entities_text, truth_text = run(generate, records, 3)
    entities = json.loads(entities_text)
    truth = json.loads(truth_text)
    assert len(entities) == records
    ids = [e["id"] for e in entities]
    assert len(set(ids)) == records
    assert set(truth) == set(ids)
    for entity in entities:
        assert REQUIRED <= set(entity) <= REQUIRED | OPTIONAL
        assert UUID.match(entity["id"]) and UUID.match(entity["tenant_id"])
        assert entity["entity_type"] == "customer"
        assert entity["source_name"] in ("crm", "webshop", "loyalty")
        assert entity["last_updated"].endswith("Z")
        for key in ("last_updated", *OPTIONAL & set(entity)):
            assert DATE_TIME.match(entity[key]), entity[key]
        assert isinstance(entity["external_id"], str) and entity["external_id"]
        assert entity["data"] and all(
            isinstance(k, str) and isinstance(v, str) for k, v in entity["data"].items())


def test_people_have_several_records_with_variation(generate):
    entities_text, truth_text = run(generate, 3000, 5)
    entities, truth = json.loads(entities_text), json.loads(truth_text)
    by_person = {}
    for entity in entities:
        by_person.setdefault(truth[entity["id"]], []).append(entity)
    sizes = [len(group) for group in by_person.values()]
    # Roughly two records per person, and many people appear more than once.
    assert 1.6 < len(entities) / len(by_person) < 2.6
    assert sum(1 for n in sizes if n > 1) > len(by_person) / 3
    # Records of one person do not all agree: the matcher has work to do.
    differing = sum(
        1 for group in by_person.values() if len(group) > 1
        and len({g["data"].get("first_name") for g in group}) > 1)
    assert differing > 0
    # Closed validity periods are the exception, not the rule.
    closed = sum(1 for e in entities if "valid_to" in e)
    assert closed < len(entities) * 0.05


def test_command_line_writes_both_files(tmp_path):
    out, truth = tmp_path / "e.json", tmp_path / "t.json"
    subprocess.run([sys.executable, str(GENERATOR), "--records", "50", "--seed", "9",
                    "--out", str(out), "--truth", str(truth)], check=True, capture_output=True)
    assert len(json.loads(out.read_text(encoding="utf-8"))) == 50
    assert len(json.loads(truth.read_text(encoding="utf-8"))) == 50


def test_bundled_example_is_reproducible(generate):
    entities, truth = run(generate, generate.EXAMPLE_RECORDS, generate.EXAMPLE_SEED)
    assert (EXAMPLES / "customers.json").read_text(encoding="utf-8") == entities
    assert (EXAMPLES / "customers_truth.json").read_text(encoding="utf-8") == truth
