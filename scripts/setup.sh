#!/usr/bin/env bash
# Sets up a fresh machine: system libraries (only those missing), the Python build
# tools, then builds and installs velatro with its test extras.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential pkg-config libyaml-dev libicu-dev libssl-dev libtbb-dev
          libsimdjson-dev libgtest-dev libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    echo "installing system packages: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore "scikit-build-core>=0.10" "cmake>=3.24" ninja pytest mypy
# No build isolation: the build tools are installed above, and the cached build
# folder keeps rebuilds incremental.
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation ".[test]"
