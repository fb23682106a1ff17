"""Command line: `python -m velatro SPEC [ENTITIES] [--json OUT]`.

With only a spec it checks and fingerprints it; with an entity file it also runs
reconciliation and prints a short summary.
"""

import argparse
import json
import sys

from . import _native


def _summarise_spec(spec_text: str) -> None:
    tree = _native.parse(spec_text)
    entity = tree.get("entity", {}) if isinstance(tree, dict) else {}
    print(f"spec:        {entity.get('name', '?')} (identity_version {tree.get('identity_version', '?')})")
    print(f"fingerprint: {_native.hash(spec_text)}")
    if hasattr(_native, "validate"):
        findings = _native.validate(spec_text)
        print(f"validation:  {'ok' if not findings else f'{len(findings)} finding(s)'}")
        for message in findings:
            print(f"  - {message}")
    if hasattr(_native, "plan"):
        report = _native.plan(spec_text)
        summary = report.get("summary") if isinstance(report, dict) else None
        if summary:
            print(summary)


def _reconcile(spec_text: str, entities_text: str, out_path: str | None) -> None:
    result = _native.reconcile_local(spec_text, entities_text)
    telemetry = result["telemetry"]
    merges = sum(1 for d in result["decisions"] if d.get("decision") == "merge")
    reviews = sum(1 for d in result["decisions"] if d.get("decision") == "review")
    records = sum(len(c) for c in result["clusters"])
    print(f"records:     {records}")
    print(f"blocks:      {telemetry['blocking_groups']}")
    print(f"pairs:       {telemetry['pairs_evaluated']}")
    print(f"merges:      {merges}")
    print(f"reviews:     {reviews}")
    print(f"clusters:    {len(result['clusters'])}")
    multi = [g for g in result["golden_records"] if g.get("member_count", "1") != "1"]
    for golden in (multi or result["golden_records"])[:3]:
        print("golden:      " + json.dumps(golden, ensure_ascii=False, sort_keys=True))
    if out_path:
        with open(out_path, "w", encoding="utf-8") as fh:
            json.dump(result, fh, ensure_ascii=False, indent=2)
        print(f"full result written to {out_path}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velatro", description=__doc__)
    parser.add_argument("command", nargs="?", default=None, help="optional: 'reconcile'")
    parser.add_argument("paths", nargs="*", help="SPEC [ENTITIES]")
    parser.add_argument("--json", dest="out", help="write the full result as JSON to this file")
    args = parser.parse_args(argv)
    paths = list(args.paths)
    if args.command and args.command != "reconcile":
        paths.insert(0, args.command)
    if not paths:
        parser.error("a spec file is required")
    try:
        with open(paths[0], encoding="utf-8") as fh:
            spec_text = fh.read()
        _summarise_spec(spec_text)
        if len(paths) > 1:
            if not hasattr(_native, "reconcile_local"):
                print("reconciliation is not available in this build", file=sys.stderr)
                return 2
            with open(paths[1], encoding="utf-8") as fh:
                _reconcile(spec_text, fh.read(), args.out)
    except (OSError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
