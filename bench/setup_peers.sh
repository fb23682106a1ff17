#!/usr/bin/env bash
# Sets up the environment of the peer tools the benchmarks compare against
# (Splink on DuckDB). It is a separate virtualenv on purpose: the peers are
# measured beside velatro, never installed into its environment or made a
# dependency of the package.
#
#   bash bench/setup_peers.sh [VENV]       # default /work/venv-peers
#
# The benchmark scripts take the interpreter of this environment with
# --peer-python (default VENV/bin/python when it exists).
set -euo pipefail
venv="${1:-${VELATRO_PEER_VENV:-/work/venv-peers}}"
if [ ! -x "$venv/bin/python" ]; then
    python3 -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q splink duckdb pyarrow
"$venv/bin/python" - <<'PY'
import duckdb, pyarrow, splink
from importlib.metadata import version
print("peer environment:", ", ".join(f"{p} {version(p)}" for p in ("splink", "duckdb", "pyarrow")))
PY
