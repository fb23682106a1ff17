"""The README's first example runs as a new user would run it."""

import subprocess
import sys

from conftest import EXAMPLES, ROOT


def test_quickstart_resolves_the_bundled_sources():
    out = subprocess.run([sys.executable, str(EXAMPLES / "quickstart.py")], cwd=ROOT,
                         capture_output=True, text=True, check=True).stdout
    assert "spec: ok" in out
    assert "records: 291," in out
    assert "golden records: 177" in out
