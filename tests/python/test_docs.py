"""The user guide's code runs: every ```python block of a page, in order, in one
namespace per page; every ```sh block whose lines are `velatro ...` commands, with
the exit code the block states (`# exit N` after the command; 0 otherwise).
Also: every public function and class of the package has a docstring."""

import inspect
import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

from conftest import ROOT

import velatro

DOCS = ROOT / "docs"
PAGES = sorted(DOCS.glob("*.md"))
FENCE = re.compile(r"^```(\w+)[^\n]*\n(.*?)^```", re.S | re.M)
# Names of the package that a block may need; a page whose blocks use one that this
# build lacks is skipped rather than failed.
OPTIONAL = ("reconcile", "read_records", "Resolution")


def blocks(page, language):
    return [code for lang, code in FENCE.findall(page.read_text()) if lang == language]


def test_the_guide_exists():
    names = {p.name for p in PAGES}
    assert {"index.md", "getting-started.md", "spec-format.md", "records.md", "results.md"} <= names
    assert {
        "blocking.md",
        "scoring.md",
        "survivorship.md",
        "checks.md",
        "cli.md",
        "running.md",
    } <= names


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_python_blocks_run(page, tmp_path, monkeypatch):
    code = blocks(page, "python")
    if not code:
        pytest.skip("no python block")
    text = "".join(code)
    lacking = [
        n for n in OPTIONAL if re.search(rf"velatro\.{n}\b", text) and not hasattr(velatro, n)
    ]
    if lacking:
        pytest.skip(f"this build has no velatro.{lacking[0]}")
    monkeypatch.chdir(ROOT)
    monkeypatch.setenv("VELATRO_DOCS_TMP", str(tmp_path))
    namespace = {"__name__": f"docs_{page.stem}"}
    for i, block in enumerate(code):
        try:
            exec(compile(block, f"{page.name}[python block {i}]", "exec"), namespace)
        except Exception as exc:  # pragma: no cover - the message is the report
            raise AssertionError(f"{page.name}, python block {i} failed:\n{block}") from exc


def commands(page):
    for block in blocks(page, "sh"):
        for line in block.splitlines():
            line = line.strip()
            if not line.startswith("velatro "):
                continue
            command, _, comment = line.partition("#")
            expected = re.search(r"exit (\d+)", comment)
            yield command.strip(), int(expected.group(1)) if expected else 0


SH = [(page, command, code) for page in PAGES for command, code in commands(page)]


@pytest.mark.parametrize("page, command, code", SH, ids=[f"{p.name}: {c}" for p, c, _ in SH])
def test_sh_commands_run(page, command, code, tmp_path):
    argv = shlex.split(command)
    if (
        argv[1] == "reconcile"
        and not any(a.endswith(".json") for a in argv)
        and not hasattr(velatro, "reconcile")
    ):
        pytest.skip("this build has no velatro.reconcile")
    argv = [sys.executable, "-m", "velatro", *argv[1:]]
    env = dict(os.environ, VELATRO_DOCS_TMP=str(tmp_path))
    argv = [a.replace("$VELATRO_DOCS_TMP", str(tmp_path)) for a in argv]
    done = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, env=env, check=False)
    assert done.returncode == code, done.stdout + done.stderr


def public_objects():
    import velatro.checks
    import velatro.cli

    seen = {}
    for module in (velatro, velatro.checks, velatro.cli):
        names = getattr(module, "__all__", None) or [
            n for n in vars(module) if not n.startswith("_")
        ]
        for name in names:
            obj = getattr(module, name)
            if (inspect.isfunction(obj) or inspect.isclass(obj)) and obj.__module__.startswith(
                "velatro"
            ):
                seen[f"{obj.__module__}.{obj.__qualname__}"] = obj
    return sorted(seen.items())


@pytest.mark.parametrize(
    "name, obj", public_objects(), ids=lambda x: x if isinstance(x, str) else ""
)
def test_public_functions_and_classes_are_documented(name, obj):
    assert obj.__doc__ and obj.__doc__.strip(), f"{name} has no docstring"
