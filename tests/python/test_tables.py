"""velatro.reconcile on tables: the same answers as reconcile_local, from every input kind,
with the source mapping, missing values and errors a user meets."""

import importlib.util
import io
import json
import math

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import velatro
from conftest import EXAMPLES, ROOT

CUSTOMERS = EXAMPLES / "customers.json"


def entity_rows(entities):
    """Entity records as flat rows: the record id kept, data fields as columns."""
    rows = []
    for e in entities:
        row = {k: v for k, v in e.items() if k not in ("data", "id")}
        row["record_id"] = e["id"]
        row.update(e["data"])
        rows.append(row)
    return rows


def table_of(rows):
    """A pyarrow table with every column any row has (missing cells null)."""
    names = list(dict.fromkeys(k for r in rows for k in r))
    return pa.table({n: pa.array([r.get(n) for r in rows], pa.string()) for n in names})


def generated(n, seed=7):
    path = ROOT / "bench" / "generate.py"
    spec = importlib.util.spec_from_file_location("generate", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    out, truth = io.StringIO(), io.StringIO()
    module.generate(n, seed, out, truth)
    return out.getvalue()


def same_float(x, y):
    if x is None or y is None:
        return x is None and y is None
    return x == y or (math.isnan(x) and math.isnan(y)) or (x != x and y is None)


def assert_same_answers(result, local):
    """Clusters, decisions (every field, scores bit for bit) and golden records."""
    clusters = {}
    for row in result.clusters.to_pylist():
        clusters.setdefault(row["cluster_id"], []).append(row["record_id"])
    assert [clusters[k] for k in sorted(clusters)] == local["clusters"]

    pairs = result.pairs.to_pylist()
    assert len(pairs) == len(local["decisions"])
    for row, d in zip(pairs, local["decisions"]):
        assert (row["a_id"], row["b_id"]) == (d["entity_a_id"], d["entity_b_id"])
        assert row["decision"] == d["decision"]
        assert row["blocking_key"] == d["blocking_key"]
        assert row["matched_on"] == d["matched_on"]
        assert same_float(row["confidence"], d["confidence"])
        assert same_float(row["posterior_probability"], d.get("posterior_probability"))
        assert same_float(row["temporal_adjustment"], d["temporal_adjustment"])
        for r in d["rule_results"]:
            assert row["score:" + r["rule_name"]] == r["score"], r["rule_name"]

    golden = result.golden_records.to_pylist()
    assert len(golden) == len(local["golden_records"])
    for row, g in zip(golden, local["golden_records"]):
        table_form = {k: v for k, v in row.items() if v is not None}
        table_form["member_count"] = str(table_form["member_count"])
        assert table_form == g
    assert result.telemetry == local["telemetry"]


@pytest.mark.parametrize("size", [0, 10_000, 100_000])
def test_same_answers_as_reconcile_local(customer_yaml, size):
    text = CUSTOMERS.read_text() if size == 0 else generated(size)
    local = velatro.reconcile_local(customer_yaml, text)
    result = velatro.reconcile(customer_yaml, table_of(entity_rows(json.loads(text))))
    assert_same_answers(result, local)


def test_four_rule_spec_and_thread_count_give_the_same_answers():
    spec = (ROOT / "bench" / "four_rules.yaml").read_text()
    text = generated(3000, seed=11)
    table = table_of(entity_rows(json.loads(text)))
    local = velatro.reconcile_local(spec, text)
    assert_same_answers(velatro.reconcile(spec, table, threads=1), local)
    assert_same_answers(velatro.reconcile(spec, table, threads=2), local)


@pytest.fixture(scope="module")
def example_rows():
    return entity_rows(json.loads(CUSTOMERS.read_text()))


@pytest.fixture(scope="module")
def example_result(customer_yaml, example_rows):
    return velatro.reconcile(customer_yaml, example_rows)


def fingerprint(result):
    """What a run decided, independent of how the records came in."""
    return (
        sorted(map(tuple, (r.values() for r in result.clusters.select(
            ["source_name", "external_id", "velatro_id"]).to_pylist()))),
        result.pairs.drop_columns(["a_id", "b_id"]).num_rows,
        result.telemetry,
    )


def input_kinds(rows, tmp_path):
    import pandas as pd
    import polars as pl

    table = table_of(rows)
    pq.write_table(table, tmp_path / "r.parquet")
    with open(tmp_path / "r.jsonl", "w") as f:
        for r in rows:
            f.write(json.dumps(r) + "\n")
    table.to_pandas().to_csv(tmp_path / "r.csv", index=False)

    class Stream:  # any object with the PyCapsule stream protocol
        def __arrow_c_stream__(self, requested_schema=None):
            return table.__arrow_c_stream__(requested_schema)

    return {
        "list of dicts": rows,
        "pyarrow table": table,
        "record batch reader": pa.RecordBatchReader.from_batches(table.schema, table.to_batches(50)),
        "pandas": pd.DataFrame(rows),
        "polars": pl.DataFrame(rows),
        "arrow stream object": Stream(),
        "parquet path": tmp_path / "r.parquet",
        "csv path": str(tmp_path / "r.csv"),
        "jsonl path": tmp_path / "r.jsonl",
    }


def test_every_input_kind_gives_the_same_resolution(customer_yaml, example_rows, example_result,
                                                    tmp_path):
    expected = fingerprint(example_result)
    for kind, data in input_kinds(example_rows, tmp_path).items():
        assert fingerprint(velatro.reconcile(customer_yaml, data)) == expected, kind


def test_spec_from_a_path(example_rows, example_result):
    result = velatro.reconcile(EXAMPLES / "customer.yaml", example_rows)
    assert fingerprint(result) == fingerprint(example_result)


def by_source_in_source_columns(rows, customer_yaml):
    """The example's records as each source would export them: the source's own column
    names and key column, no record ids."""
    sources = {s["name"]: s for s in velatro.parse(customer_yaml)["sources"]}
    tables = {}
    for name, s in sources.items():
        rename = {attr: col for attr, col in s["attributes"].items()}
        key = s.get("primary_key") or s.get("id") or "id"
        out = []
        for r in rows:
            if r["source_name"] != name:
                continue
            row = {key: r["external_id"], "last_updated": r["last_updated"]}
            for field, value in r.items():
                if field in ("record_id", "external_id", "last_updated", "source_name",
                             "tenant_id", "entity_type"):
                    continue
                row[rename.get(field, field)] = value
            out.append(row)
        tables[name] = out
    return tables


def test_dict_of_sources_maps_columns_and_derives_stable_ids(customer_yaml, example_rows):
    import pandas as pd

    tables = by_source_in_source_columns(example_rows, customer_yaml)
    # Versions of one key need ids of their own: keep one row per key here.
    for name, rows in tables.items():
        key = next(iter(rows[0]))
        tables[name] = list({r[key]: r for r in rows}.values())
    data = {name: pd.DataFrame(rows) for name, rows in tables.items()}
    first = velatro.reconcile(customer_yaml, data)
    again = velatro.reconcile(customer_yaml, data)
    assert first.clusters.equals(again.clusters)
    assert first.golden_records.equals(again.golden_records)

    row = first.clusters.to_pylist()[0]
    assert row["record_id"] == velatro.record_id(row["source_name"], row["external_id"])
    # Attributes are renamed to the canonical names the rules use.
    assert "street_address" not in first.golden_records.column_names
    assert "address" in first.golden_records.column_names
    assert first.pairs.num_rows > 0



def test_source_column_splits_a_single_table(customer_yaml, example_rows, example_result):
    rows = [{("source" if k == "source_name" else k): v for k, v in r.items()}
            for r in example_rows]
    assert fingerprint(velatro.reconcile(customer_yaml, rows)) == fingerprint(example_result)


MISSING_SPEC = """
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: people
    id: key
    attributes: {email: mail, name: name}
rules:
  - {name: email_exact, type: exact, field: email, weight: 1.0}
  - {name: name_fuzzy, type: similarity, field: name, algorithm: jaro_winkler, threshold: 0.8,
     weight: 0.5}
blocking:
  keys: [[email]]
decision:
  thresholds: {match: 0.9, review: 0.6}
"""


def test_missing_values_are_absent_not_text(tmp_path):
    import numpy as np
    import pandas as pd

    df = pd.DataFrame({
        "key": ["1", "2", "3", "4", "5", "6"],
        "mail": ["a@x.org", "a@x.org", None, np.nan, "", "   "],
        "name": ["Ann", "Ann", "Bob", "Bob", "Bob", "Bob"],
    })
    result = velatro.reconcile(MISSING_SPEC, df)
    # Only the two real e-mails meet: None, NaN, "" and blank never form a block.
    assert result.pairs.num_rows == 1
    assert result.telemetry["blocking_groups"] == 1
    golden_mail = result.golden_records.column("email").to_pylist()
    assert "" not in golden_mail and "nan" not in golden_mail and "   " not in golden_mail


@pytest.mark.parametrize("values, texts", [
    (pa.array([1, 2, None], pa.int64()), ["1", "2", None]),
    (pa.array([1990.0, None, float("nan")]), ["1990", None, None]),
    (pa.array([0.1, 1e20, 2.5e-7]), ["0.1", "100000000000000000000", "0.00000025"]),
    (pa.array([True, False, None]), ["true", "false", None]),
    (pa.array([0, 19000, None], pa.date32()), ["1970-01-01", "2022-01-08", None]),
])
def test_non_text_values_get_one_canonical_text(values, texts):
    table = pa.table({"key": ["1", "2", "3"], "name": values})
    records = velatro.read_records(MISSING_SPEC.replace("email: mail, ", ""), table)
    assert records.column("name").to_pylist() == texts


def test_pandas_integer_column_with_missing_values_keeps_integer_text():
    import pandas as pd

    df = pd.DataFrame({"key": ["1", "2"], "name": [1990, None]})  # float64 with NaN
    records = velatro.read_records(MISSING_SPEC.replace("email: mail, ", ""), df)
    assert records.column("name").to_pylist() == ["1990", None]


@pytest.mark.parametrize("value, expected", [
    ("2024-03-01T10:00:00Z", "2024-03-01 10:00:00+00:00"),
    ("2024-03-01T10:00:00+02:00", "2024-03-01 08:00:00+00:00"),
    ("2024-03-01 10:00:00", "2024-03-01 10:00:00+00:00"),  # naive reads as UTC
    ("2024-03-01", "2024-03-01 00:00:00+00:00"),
])
def test_last_updated_text_reads_as_utc(value, expected):
    table = pa.table({"key": ["1"], "last_updated": [value], "mail": ["a"], "name": ["A"]})
    records = velatro.read_records(MISSING_SPEC, table)
    assert str(records.column("last_updated")[0].as_py()) == expected


@pytest.mark.parametrize("data, message", [
    ({"people": [{"key": "1", "name": "Ann"}]},
     "source 'people': column 'mail' (mapped to attribute 'email') is not in the data"),
    ({"people": [{"mail": "a", "name": "Ann"}]},
     "source 'people': the key column 'key' is not in the data"),
    ({"people": [{"key": "1", "mail": "a", "name": "A"}, {"key": "1", "mail": "b", "name": "B"}]},
     "source 'people': key '1' appears in more than one row (rows 0, 1)"),
    ({"people": [{"key": "1", "mail": "a", "name": "A", "last_updated": "2024-01-01T00:00:00Z"},
                 {"key": "2", "mail": "b", "name": "B", "last_updated": "yesterday"}]},
     "source 'people', column 'last_updated': row 1: cannot read 'yesterday' as a timestamp"),
    ({"people": [{"key": "1", "mail": "a", "name": "A"}, {"key": None, "mail": "b", "name": "B"}]},
     "source 'people', column 'key', row 1: the record key is missing"),
    ({"people": [{"key": "1", "mail": "a", "name": "A", "record_id": "not-a-uuid"}]},
     "column 'id', row 0: invalid UUID `not-a-uuid`"),
])
def test_data_errors_name_source_column_and_row(data, message):
    with pytest.raises(ValueError) as info:
        velatro.reconcile(MISSING_SPEC, data)
    assert message in str(info.value)


def test_bad_spec_is_reported_before_the_data(customer_yaml):
    with pytest.raises(ValueError, match="^Invalid spec YAML: "):
        velatro.reconcile("rules: 3", object())
    with pytest.raises(TypeError, match="expected a DataFrame"):
        velatro.reconcile(customer_yaml, object())
    with pytest.raises(ValueError, match="cannot tell which source"):
        velatro.reconcile(customer_yaml, [{"external_id": "1"}])


def test_explain_gives_the_full_decision_on_demand(example_result):
    kept = example_result.pairs.to_pylist()[0]
    d = example_result.explain(kept["a_id"], kept["b_id"])
    assert d["blocking_key"] == kept["blocking_key"]
    assert d["confidence"] == kept["confidence"]
    assert all(r["explanation"] for r in d["rule_results"])
    # By source and key, and for a pair the run did not keep.
    rows = example_result.clusters.to_pylist()
    far = example_result.explain((rows[0]["source_name"], rows[0]["external_id"]),
                                 (rows[-1]["source_name"], rows[-1]["external_id"]))
    assert far["decision"] == "no_merge" and far["blocking_key"] is None
    with pytest.raises(KeyError):
        example_result.explain("00000000-0000-0000-0000-000000000000", kept["b_id"])


@pytest.mark.parametrize("fmt, suffix", [("parquet", ".parquet"), ("csv", ".csv"),
                                         ("json", ".jsonl")])
def test_write_and_dataframes(example_result, tmp_path, fmt, suffix):
    out = example_result.write(tmp_path / fmt, format=fmt)
    for name in ("clusters", "pairs", "golden_records"):
        assert (out / (name + suffix)).stat().st_size > 0
    assert json.loads((out / "telemetry.json").read_text()) == example_result.telemetry
    if fmt == "parquet":
        assert pq.read_table(out / "pairs.parquet").equals(example_result.pairs)
        frames = example_result.to_pandas()
        assert len(frames["clusters"]) == 300
        assert example_result.to_polars()["golden_records"].height == 175
