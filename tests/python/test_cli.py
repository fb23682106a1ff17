"""The velatro command line: every subcommand, its output and its exit code."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import EXAMPLES

from velatro import cli

SPEC = str(EXAMPLES / "customer.yaml")
SPEC_V2 = str(EXAMPLES / "customer_v2.yaml")
ENTITIES = str(EXAMPLES / "customers.json")


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def bad_spec(tmp_path):
    path = tmp_path / "bad.yaml"
    path.write_text("api_version: velatro/v1\nidentity_version: '1'\nentity: {name: p}\n")
    return str(path)


def test_validate_ok_and_findings(capsys, bad_spec):
    assert run(capsys, "validate", SPEC)[:2] == (0, "ok\n")
    code, out, _ = run(capsys, "validate", bad_spec)
    assert code == 1 and "VLT-E102: Missing required field 'sources'" in out
    code, out, _ = run(capsys, "validate", "--json", bad_spec)
    assert code == 1 and json.loads(out)[0].startswith("VLT-E102")


def test_validate_unreadable_yaml_is_a_finding(capsys, tmp_path):
    path = tmp_path / "broken.yaml"
    path.write_text("a: [1\n")
    code, out, _ = run(capsys, "validate", str(path))
    assert code == 1 and out.startswith("- ")


def test_check_spec_and_entities(capsys):
    code, out, _ = run(capsys, "check", SPEC, ENTITIES)
    assert code == 0 and out.splitlines()[-1].startswith("0 errors, ")
    assert "records_never_compared" in out and "field_rates" not in out
    code, out, _ = run(capsys, "check", "--level", "info", "--json", SPEC, ENTITIES)
    codes = {f["code"] for f in json.loads(out)}
    assert {"field_rates", "not_used"} <= codes
    assert run(capsys, "check", "--strict", SPEC)[0] == 1


def test_check_error_exits_1(capsys, tmp_path):
    spec = (EXAMPLES / "customer.yaml").read_text().replace("blocking:\n", "blocking_off:\n")
    path = tmp_path / "s.yaml"
    path.write_text(spec)
    code, out, _ = run(capsys, "check", str(path))
    assert code == 1 and "error: no_blocking" in out


def test_plan_hash_compile(capsys):
    import velatro

    text = pathlib.Path(SPEC).read_text()
    code, out, _ = run(capsys, "plan", SPEC)
    assert code == 0 and out == velatro.plan(text)["summary"] + "\n"
    assert json.loads(run(capsys, "plan", "--json", SPEC)[1]) == velatro.plan(text)
    assert run(capsys, "hash", SPEC)[1] == velatro.hash(text) + "\n"
    assert json.loads(run(capsys, "compile", SPEC)[1]) == velatro.compile_ir(text)


def test_diff_exit_code_says_whether_specs_differ(capsys):
    code, out, _ = run(capsys, "diff", SPEC, SPEC_V2)
    assert code == 1 and out.startswith("version: 2024.06.1 -> 2024.07.0")
    assert "  + rule postcode_exact\n" in out
    assert run(capsys, "diff", SPEC, SPEC)[:2] == (0, "No changes detected.\n")


def test_reconcile_entity_list_keeps_the_first_command(capsys, tmp_path):
    code, out, _ = run(capsys, "reconcile", SPEC, ENTITIES, "--out", str(tmp_path))
    assert code == 0 and "records:     300\n" in out and "clusters:    " in out
    result = json.loads((tmp_path / "result.json").read_text())
    assert set(result) == {"clusters", "decisions", "golden_records", "telemetry"}


def test_legacy_command_line_without_a_command(capsys, tmp_path):
    out_file = tmp_path / "r.json"
    code, out, _ = run(capsys, SPEC, ENTITIES, "--json", str(out_file))
    assert code == 0 and "records:     300" in out and out_file.exists()
    code, out, _ = run(capsys, SPEC)
    assert code == 0 and "Identity:     customer" in out


@pytest.mark.parametrize(
    "argv",
    [
        ("hash", "/no/such/spec.yaml"),
        ("reconcile", SPEC, "/no/such/data.json"),
        ("diff", SPEC, "/no/such/spec.yaml"),
    ],
)
def test_unreadable_files_exit_2(capsys, argv):
    code, _, err = run(capsys, *argv)
    assert code == 2 and "cannot read /no/such/" in err


def test_unreadable_yaml_exits_2_outside_validate(capsys, tmp_path):
    path = tmp_path / "broken.yaml"
    path.write_text("a: [1\n")
    code, _, err = run(capsys, "hash", str(path))
    assert code == 2 and err.startswith(f"velatro hash: {path}: ")


def test_data_arguments_name_sources():
    assert cli._data_argument(["a.csv"]) == "a.csv"
    assert cli._data_argument(["crm=x/a.csv", "b/shop.parquet"]) == {
        "crm": "x/a.csv",
        "shop": "b/shop.parquet",
    }
    with pytest.raises(cli._Trouble, match="two DATA files for source 'a'"):
        cli._data_argument(["a.csv", "x/a.csv"])


@pytest.mark.parametrize("command", [*cli._COMMANDS, None])
def test_every_command_has_help(command):
    argv = ["--help"] if command is None else [command, "--help"]
    with pytest.raises(SystemExit) as info:
        cli.main(argv)
    assert info.value.code == 0


def test_bad_arguments_exit_2(capsys):
    with pytest.raises(SystemExit) as info:
        cli.main(["diff", SPEC])
    assert info.value.code == 2


def _script():
    found = shutil.which("velatro", path=os.path.dirname(sys.executable))
    if found is None:
        pytest.skip("the velatro script is not installed beside this interpreter")
    return found


@pytest.mark.parametrize("prefix", ["script", "module"])
def test_installed_entry_points(prefix):
    argv = [_script()] if prefix == "script" else [sys.executable, "-m", "velatro"]
    done = subprocess.run([*argv, "--help"], capture_output=True, text=True, check=False)
    assert done.returncode == 0 and "exit codes:" in done.stdout
    done = subprocess.run([*argv, "hash", SPEC], capture_output=True, text=True, check=False)
    assert done.returncode == 0 and done.stdout.startswith("sha256:")


@pytest.mark.parametrize(
    "form, suffix", [("parquet", "parquet"), ("csv", "csv"), ("json", "jsonl")]
)
def test_reconcile_csv_sources(capsys, tmp_path, form, suffix):
    sources = EXAMPLES / "sources"
    argv = ["reconcile", SPEC, f"crm={sources / 'crm.csv'}", str(sources / "webshop.csv")]
    argv += [str(sources / "loyalty.csv"), "--out", str(tmp_path), "--format", form]
    code, out, _ = run(capsys, *argv)
    assert code == 0 and "records:     291\n" in out
    names = sorted(p.name for p in tmp_path.iterdir())
    assert names == sorted(
        [f"clusters.{suffix}", f"golden_records.{suffix}", f"pairs.{suffix}", "telemetry.json"]
    )


def test_check_csv_sources(capsys):
    sources = EXAMPLES / "sources"
    argv = ["check", "--level", "info", "--json", SPEC]
    argv += [str(sources / f"{name}.csv") for name in ("crm", "webshop", "loyalty")]
    code, out, _ = run(capsys, *argv)
    found = {f["code"] for f in json.loads(out)}
    assert code == 0 and {"blocking_cost", "pairs_total", "field_rates"} <= found


def test_ctrl_c_exits_130(capsys, monkeypatch):
    def interrupted(args):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "_hash", interrupted)
    code, _, err = run(capsys, "hash", SPEC)
    assert code == 130 and err == "velatro hash: interrupted\n"
