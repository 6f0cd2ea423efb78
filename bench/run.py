"""Runs every Python benchmark in this folder, one after the other."""

from __future__ import annotations

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

for path in sorted(HERE.glob("bench_*.py")):
    importlib.import_module(path.stem).main()
