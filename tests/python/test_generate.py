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


def people_of(entities, truth):
    by_person = {}
    for entity in entities:
        by_person.setdefault(truth[entity["id"]], []).append(entity)
    return by_person


def noise(entities, truth) -> dict:
    """How hard a profile's records are: addresses per person, fields left
    out, and how many people share the commonest full name."""
    by_person = people_of(entities, truth)
    names = {}
    for pid, group in by_person.items():
        for entity in group:
            data = entity["data"]
            if "first_name" in data and "last_name" in data:
                name = (data["first_name"].strip().lower(), data["last_name"].strip().lower())
                names.setdefault(name, set()).add(pid)
    emails = [len({e["data"]["email"].strip().lower() for e in g if "email" in e["data"]})
              for g in by_person.values() if len(g) > 2]
    return {"emails_per_person": sum(emails) / len(emails),
            "fields": sum(len(e["data"]) for e in entities) / len(entities),
            "namesakes": max(len(p) for p in names.values())}


def test_the_noisy_profile_is_reproducible_and_noisier(generate):
    def run_profile(name, seed):
        out, truth = io.StringIO(), io.StringIO()
        generate.generate(3000, seed, out, truth, profile=generate.PROFILES[name])
        return out.getvalue(), truth.getvalue()

    noisy = run_profile("noisy", 4)
    assert run_profile("noisy", 4) == noisy
    default = noise(*map(json.loads, run(generate, 3000, 4)))
    harder = noise(*map(json.loads, noisy))
    assert harder["emails_per_person"] > default["emails_per_person"] * 1.2
    assert harder["fields"] < default["fields"] * 0.97
    assert harder["namesakes"] > default["namesakes"] * 1.6


@pytest.fixture(scope="module")
def tables(generate, tmp_path_factory):
    """400 records written both ways, and the same records as plain JSON."""
    pq = pytest.importorskip("pyarrow.parquet")
    directory = tmp_path_factory.mktemp("tables")
    out, truth = io.StringIO(), io.StringIO()
    generate.generate(400, 8, out, truth, tables=generate.SourceTables(directory))
    read = {name: pq.read_table(directory / f"{name}.parquet").to_pylist()
            for name in ("crm", "webshop", "loyalty", "truth")}
    plain = json.loads(run(generate, 400, 8)[0])
    return read, json.loads(out.getvalue()), json.loads(truth.getvalue()), plain


def test_source_tables_use_the_spec_columns_and_hold_the_json_records(generate, tables,
                                                                     native, customer_yaml):
    read, entities, truth, _ = tables
    sources = {s["name"]: s for s in native.parse(customer_yaml)["sources"]}
    by_key = {(e["source_name"], e["external_id"]): e for e in entities}
    assert sum(len(read[s]) for s in sources) == len(entities)
    for name, rows in read.items():
        if name == "truth":
            continue
        spec = sources[name]
        extra = set(generate.SOURCE_COLUMNS[name].values()) - set(spec["attributes"].values())
        assert set(rows[0]) == ({spec["id"], *spec["attributes"].values(), *extra}
                                | {"last_updated", "valid_from", "valid_to"})
        columns = {column: field for field, column in spec["attributes"].items()}
        keys = [row[spec["id"]] for row in rows]
        assert len(set(keys)) == len(keys)
        for row in rows:
            entity = by_key[(name, row[spec["id"]])]
            data = {columns.get(c, c): v for c, v in row.items()
                    if v is not None and c not in ("last_updated", "valid_from", "valid_to")
                    and (c != spec["id"] or c in columns)}
            as_text = {k: v.isoformat() if hasattr(v, "isoformat") else str(v)
                       for k, v in data.items()}
            assert as_text == entity["data"]
            stamp = row["last_updated"].strftime("%Y-%m-%dT%H:%M:%SZ")
            assert stamp == entity["last_updated"]
            assert (row["valid_to"] is None) == ("valid_to" not in entity)
    assert {(t["source_name"], t["external_id"]): t["person_id"] for t in read["truth"]} \
        == {key: truth[e["id"]] for key, e in by_key.items()}


def test_source_tables_change_only_loyalty_numbers_and_time_zones(tables):
    _, entities, _, plain = tables
    assert [e["id"] for e in entities] == [e["id"] for e in plain]
    changed_numbers = 0
    for table_entity, entity in zip(entities, plain):
        if entity["source_name"] == "loyalty":
            changed_numbers += table_entity["external_id"] != entity["external_id"]
            for record in (table_entity, entity):
                record.pop("external_id")
                record["data"].pop("loyalty_id", None)
        for key in ("valid_from", "valid_to", "last_updated"):
            if key in entity:
                assert table_entity[key].endswith("Z")
                table_entity[key] = entity[key] = key
        assert table_entity == entity
    assert changed_numbers > 0  # people with a second membership


def test_velatro_reads_the_tables_as_the_records_of_the_json(generate, tmp_path, customer_yaml):
    velatro = pytest.importorskip("velatro")
    if not hasattr(velatro, "read_records"):
        pytest.skip("this velatro reads no tables")
    out, truth = io.StringIO(), io.StringIO()
    tables = generate.SourceTables(tmp_path)
    generate.generate(600, 21, out, truth, profile=generate.PROFILES["noisy"], tables=tables)
    entities = {(e["source_name"], e["external_id"]): e for e in json.loads(out.getvalue())}
    records = velatro.read_records(customer_yaml, tables.paths()).to_pylist()
    assert len(records) == len(entities)
    for record in records:
        entity = entities[(record["source_name"], record["external_id"])]
        fields = {k: v for k, v in record.items() if k not in (
            "id", "tenant_id", "external_id", "entity_type", "source_name", "last_updated",
            "valid_from", "valid_to") and v is not None}
        assert fields == entity["data"]
        for key in ("last_updated", "valid_from", "valid_to"):
            stamp = record[key] and record[key].strftime("%Y-%m-%dT%H:%M:%SZ")
            assert stamp == entity.get(key)
