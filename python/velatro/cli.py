"""The `velatro` command line.

    velatro validate SPEC            schema, semantic and strict checks
    velatro check SPEC [DATA...]     what the spec (and records) will really do
    velatro plan SPEC                how the spec would execute
    velatro diff OLD NEW             what changed between two specs
    velatro hash SPEC                the spec's content fingerprint
    velatro compile SPEC             the compiled plan document (JSON)
    velatro reconcile SPEC DATA...   run the spec on records

`python -m velatro` is the same program.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from . import _native
from .checks import Finding, check

EXIT_OK = 0
EXIT_FOUND = 1
EXIT_TROUBLE = 2
EXIT_INTERRUPTED = 130

EXIT_CODES = """exit codes:
  0    success (validate: no finding; check: no error; diff: no change)
  1    the answer is no: validate found findings, check found an error (or, with
       --strict, a warning), diff found changes
  2    the command could not run: bad arguments, a file that cannot be read, a
       spec or records that cannot be read
  130  interrupted (Ctrl-C)"""


class _Trouble(Exception):
    """A problem that ends the command with exit code 2."""


def _read(path: str) -> str:
    try:
        with open(path, encoding="utf-8") as fh:
            return fh.read()
    except OSError as exc:
        raise _Trouble(f"cannot read {path}: {exc.strerror or exc}") from exc


def _print_json(value: Any) -> None:
    json.dump(value, sys.stdout, ensure_ascii=False, indent=2)
    sys.stdout.write("\n")


# ---------------------------------------------------------------------------
# Subcommands: each takes the parsed arguments and returns the exit code.


def _validate(args: argparse.Namespace) -> int:
    text = _read(args.spec)
    try:
        messages = _native.validate_strict(text)
    except ValueError as exc:
        messages = [str(exc)]
    if args.json:
        _print_json(messages)
    elif messages:
        for message in messages:
            print(f"- {message}")
    else:
        print("ok")
    return EXIT_FOUND if messages else EXIT_OK


_LEVELS = ("error", "warning", "info")


def _data_argument(paths: Sequence[str]) -> Any:
    """DATA arguments as the record reader takes them: one path as itself; several
    as a dict from source name (NAME=PATH, or the file's stem) to path."""
    if len(paths) == 1 and "=" not in paths[0]:
        return paths[0]
    sources: dict[str, str] = {}
    for item in paths:
        name, _, path = item.rpartition("=") if "=" in item else ("", "", item)
        name = name or os.path.splitext(os.path.basename(path))[0]
        if name in sources:
            raise _Trouble(f"two DATA files for source '{name}'; name them with NAME=PATH")
        sources[name] = path
    return sources


def _check(args: argparse.Namespace) -> int:
    text = _read(args.spec)
    data = _data_argument(args.data) if args.data else None
    try:
        findings = check(text, data)
    except (OSError, TypeError, ValueError) as exc:
        raise _Trouble(f"cannot read the records: {exc}") from exc
    shown = [f for f in findings if _LEVELS.index(f.level) <= _LEVELS.index(args.level)]
    if args.json:
        _print_json([_finding_dict(f) for f in shown])
    else:
        for finding in shown:
            print(finding)
        counts = {level: sum(f.level == level for f in findings) for level in _LEVELS}
        print(f"{counts['error']} errors, {counts['warning']} warnings, {counts['info']} notes")
    failing = ("error", "warning") if args.strict else ("error",)
    return EXIT_FOUND if any(f.level in failing for f in findings) else EXIT_OK


def _finding_dict(finding: Finding) -> dict[str, str]:
    return {
        "level": finding.level,
        "code": finding.code,
        "message": finding.message,
        "where": finding.where,
    }


def _spec_call(function: Callable[[str], Any], path: str) -> Any:
    try:
        return function(_read(path))
    except ValueError as exc:
        raise _Trouble(f"{path}: {exc}") from exc


def _plan(args: argparse.Namespace) -> int:
    report = _spec_call(_native.plan, args.spec)
    if args.json:
        _print_json(report)
    else:
        print(report["summary"])
    return EXIT_OK


def _diff(args: argparse.Namespace) -> int:
    old, new = _read(args.old), _read(args.new)
    try:
        result = _native.diff(old, new)
    except ValueError as exc:
        raise _Trouble(str(exc)) from exc
    if args.json:
        _print_json(result)
    else:
        print(result["summary"])
        for line in _diff_lines(result):
            print(f"  {line}")
    changed = result["summary"] != "No changes detected."
    return EXIT_FOUND if changed else EXIT_OK


def _diff_lines(result: dict[str, Any]) -> list[str]:
    lines = []
    for kind in ("rules", "sources"):
        lines += [f"+ {kind[:-1]} {name}" for name in result[f"{kind}_added"]]
        lines += [f"- {kind[:-1]} {name}" for name in result[f"{kind}_removed"]]
        lines += [
            f"~ {kind[:-1]} {c['name']}.{c['field']}: {c['old_value']} -> {c['new_value']}"
            for c in result[f"{kind}_modified"]
        ]
    for key in (
        "entity_changes",
        "blocking_changes",
        "survivorship_changes",
        "scoring_changes",
        "decision_changes",
        "metadata_changes",
    ):
        lines += [f"~ {c['path']}: {c['old_value']} -> {c['new_value']}" for c in result[key]]
    return lines


def _hash(args: argparse.Namespace) -> int:
    print(_spec_call(_native.hash, args.spec))
    return EXIT_OK


def _compile(args: argparse.Namespace) -> int:
    _print_json(_spec_call(_native.compile_ir, args.spec))
    return EXIT_OK


def _reconcile(args: argparse.Namespace) -> int:
    text = _read(args.spec)
    if _is_entity_list(args.data):
        return _reconcile_entities(text, args)
    import velatro

    run = getattr(velatro, "reconcile", None)
    if run is None:
        raise _Trouble("reading CSV, Parquet or JSON Lines records needs velatro.reconcile")
    try:
        result = run(text, _data_argument(args.data))
    except (OSError, TypeError, ValueError) as exc:
        raise _Trouble(str(exc)) from exc
    _summarise_resolution(result)
    if args.out:
        _write_resolution(result, args.out, args.format)
    return EXIT_OK


def _is_entity_list(paths: Sequence[str]) -> bool:
    """A single .json file holding a JSON array: the entity list of reconcile_local."""
    if len(paths) != 1 or not paths[0].endswith(".json"):
        return False
    try:
        with open(paths[0], encoding="utf-8") as fh:
            return fh.read(4096).lstrip().startswith("[")
    except OSError as exc:
        raise _Trouble(f"cannot read {paths[0]}: {exc.strerror or exc}") from exc


def _reconcile_entities(text: str, args: argparse.Namespace) -> int:
    try:
        result = _native.reconcile_local(text, _read(args.data[0]))
    except ValueError as exc:
        raise _Trouble(str(exc)) from exc
    _summarise_spec(text)
    _summarise_result(result)
    target = args.json_out
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        target = os.path.join(args.out, "result.json")
    if target:
        with open(target, "w", encoding="utf-8") as fh:
            json.dump(result, fh, ensure_ascii=False, indent=2)
        print(f"full result written to {target}")
    return EXIT_OK


def _summarise_spec(text: str) -> None:
    tree = _native.parse(text)
    entity = tree.get("entity", {}) if isinstance(tree, dict) else {}
    entity = entity if isinstance(entity, dict) else {}
    version = tree.get("identity_version", "?") if isinstance(tree, dict) else "?"
    print(f"spec:        {entity.get('name', '?')} (identity_version {version})")
    print(f"fingerprint: {_native.hash(text)}")
    findings = _native.validate(text)
    print(f"validation:  {'ok' if not findings else f'{len(findings)} finding(s)'}")
    for message in findings:
        print(f"  - {message}")
    print(_native.plan(text)["summary"])


def _summarise_result(result: Mapping[str, Any]) -> None:
    telemetry = result["telemetry"]
    decisions = result["decisions"]
    print(f"records:     {sum(len(c) for c in result['clusters'])}")
    print(f"blocks:      {telemetry['blocking_groups']}")
    print(f"pairs:       {telemetry['pairs_evaluated']}")
    print(f"merges:      {sum(d.get('decision') == 'merge' for d in decisions)}")
    print(f"reviews:     {sum(d.get('decision') == 'review' for d in decisions)}")
    print(f"clusters:    {len(result['clusters'])}")
    multi = [g for g in result["golden_records"] if g.get("member_count", "1") != "1"]
    for golden in (multi or result["golden_records"])[:3]:
        print("golden:      " + json.dumps(golden, ensure_ascii=False, sort_keys=True))


def _summarise_resolution(result: Any) -> None:
    telemetry = result.telemetry
    decisions = result.pairs.column("decision").to_pylist()
    print(f"records:     {result.clusters.num_rows}")
    print(f"blocks:      {telemetry.get('blocking_groups', '?')}")
    print(f"pairs:       {telemetry.get('pairs_evaluated', '?')}")
    print(f"merges:      {decisions.count('merge')}")
    print(f"reviews:     {decisions.count('review')}")
    print(f"clusters:    {result.golden_records.num_rows}")


def _write_resolution(result: Any, out: str, form: str) -> None:
    folder = result.write(out, format=form)
    print(f"results written to {folder}")


# ---------------------------------------------------------------------------
# The parser


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velatro",
        description="Identity resolution driven by one YAML identity spec.",
        epilog=EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=_version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help_text: str, description: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name,
            help=help_text,
            description=description,
            epilog=EXIT_CODES,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        return sub

    sub = command(
        "validate",
        "schema, semantic and strict checks of a spec",
        "Run the schema, semantic and strict checks. Prints 'ok' when the spec has no "
        "finding, which means a run accepts it; otherwise one finding per line.",
    )
    sub.add_argument("spec", metavar="SPEC", help="identity spec (YAML file)")
    sub.add_argument("--json", action="store_true", help="print the findings as a JSON list")
    sub.set_defaults(run=_validate)

    sub = command(
        "check",
        "what a spec, and its records, will really do in a run",
        "Report what the spec will really do: settings that are not used, scoring that "
        "falls back, thresholds no score can reach, blocking that compares no pair; with "
        "DATA also fields the records lack, empty and placeholder values, block sizes and "
        "pair counts.",
    )
    sub.add_argument("spec", metavar="SPEC", help="identity spec (YAML file)")
    sub.add_argument(
        "data",
        metavar="DATA",
        nargs="*",
        help="records: CSV, Parquet or JSON Lines files (NAME=PATH names the source), or "
        "one JSON entity list",
    )
    sub.add_argument(
        "--level",
        choices=_LEVELS,
        default="warning",
        help="lowest level shown (default: warning; info adds rates and block sizes)",
    )
    sub.add_argument("--strict", action="store_true", help="exit 1 on warnings too")
    sub.add_argument("--json", action="store_true", help="print the findings as JSON")
    sub.set_defaults(run=_check)

    sub = command(
        "plan",
        "how a spec would execute",
        "Print the plan report's summary: sources, signals, blocking and thresholds.",
    )
    sub.add_argument("spec", metavar="SPEC", help="identity spec (YAML file)")
    sub.add_argument("--json", action="store_true", help="print the whole report as JSON")
    sub.set_defaults(run=_plan)

    sub = command(
        "diff",
        "what changed between two specs",
        "Compare OLD with NEW: rules and sources added, removed or modified, and changes "
        "in the entity, blocking, survivorship, scoring and decision sections.",
    )
    sub.add_argument("old", metavar="OLD", help="the old spec (YAML file)")
    sub.add_argument("new", metavar="NEW", help="the new spec (YAML file)")
    sub.add_argument("--json", action="store_true", help="print the whole diff as JSON")
    sub.set_defaults(run=_diff)

    sub = command(
        "hash",
        "the spec's content fingerprint",
        "Print 'sha256:' and 64 hexadecimal digits; formatting, key order and comments do "
        "not change it.",
    )
    sub.add_argument("spec", metavar="SPEC", help="identity spec (YAML file)")
    sub.set_defaults(run=_hash)

    sub = command(
        "compile",
        "the compiled plan document as JSON",
        "Print the plan document: versions, entity, sources, rule count, blocking strategy "
        "and thresholds, sealed with its plan_hash.",
    )
    sub.add_argument("spec", metavar="SPEC", help="identity spec (YAML file)")
    sub.set_defaults(run=_compile)

    sub = command(
        "reconcile",
        "run a spec on records",
        "Run the spec on the records and print a summary. DATA is CSV, Parquet or JSON "
        "Lines (several files: one per source, NAME=PATH or named by the file's stem), or "
        "one JSON entity list.",
    )
    sub.add_argument("spec", metavar="SPEC", help="identity spec (YAML file)")
    sub.add_argument("data", metavar="DATA", nargs="+", help="record files")
    sub.add_argument("--out", metavar="DIR", help="write clusters, pairs, golden records here")
    sub.add_argument(
        "--format",
        choices=("parquet", "csv", "json"),
        default="parquet",
        help="file format under --out (json writes JSON Lines; default: parquet)",
    )
    sub.add_argument("--json", dest="json_out", metavar="FILE", help=argparse.SUPPRESS)
    sub.set_defaults(run=_reconcile)
    return parser


def _version() -> str:
    from . import __version__

    return f"velatro {__version__}"


_COMMANDS = ("validate", "check", "plan", "diff", "hash", "compile", "reconcile")


def _legacy_argv(argv: list[str]) -> list[str]:
    """The first command line took `SPEC [ENTITIES] [--json OUT]` without a command:
    a spec alone was summarised, with entities it was also run."""
    if not argv or argv[0] in _COMMANDS or argv[0].startswith("-"):
        return argv
    paths = [a for a in argv if not a.startswith("-")]
    if len(paths) >= 2:
        return ["reconcile", *argv]
    return ["plan", *argv]


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]) and return the exit
    code (see EXIT_CODES)."""
    args = _parser().parse_args(_legacy_argv(list(sys.argv[1:] if argv is None else argv)))
    try:
        code: int = args.run(args)
        return code
    except _Trouble as exc:
        print(f"velatro {args.command}: {exc}", file=sys.stderr)
        return EXIT_TROUBLE
    except KeyboardInterrupt:
        print(f"velatro {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
