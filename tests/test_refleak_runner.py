"""The reference-leak runner (scripts/refleak.py) itself: it must flag a test
that keeps references or memory blocks, and pass one that does not.

Needs a --with-pydebug interpreter, so it runs under `make test-refleak` and
is skipped elsewhere.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("needs an interpreter built --with-pydebug (make test-refleak)", allow_module_level=True)

SCRIPTS = Path(__file__).resolve().parent.parent / "scripts"

CASES = {
    "refs": ("KEPT = []\ndef test_x():\n    KEPT.append(object())\n", True),
    "map_entry": ("import _quorvel\nM = _quorvel.ConcurrentMap()\nN = [0]\n"
                  "def test_x():\n    N[0] += 1\n    M.set(N[0], [N[0]])\n", True),
    "clean": ("import _quorvel\ndef test_x():\n    m = _quorvel.ConcurrentMap()\n"
              "    m.set('a', [1])\n    assert m.pop_val('a') == (True, [1])\n", False),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_runner_flags_only_growing_counts(name: str) -> None:
    # A plain temporary folder: pytest's tmp_path registers an exit handler
    # per session, which the runner's repetitions would count as a leak.
    with tempfile.TemporaryDirectory() as tmp:
        run_case(Path(tmp), name)


def run_case(tmp_path: Path, name: str) -> None:
    source, leaks = CASES[name]
    (tmp_path / f"test_{name}.py").write_text(source)
    env = dict(os.environ, PYTHONPATH=str(SCRIPTS))
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "refleak",
         "--refleak=2:3", "--rootdir", str(tmp_path), str(tmp_path)],
        capture_output=True, text=True, timeout=600, env=env, cwd=tmp_path)
    out = proc.stdout + proc.stderr
    assert ("LEAK  " in out) is leaks, out
    assert (proc.returncode != 0) is leaks, out
