"""Runs every Python benchmark in this folder, one after the other, then
writes bench/report.md (every table, and the native benchmarks' output when
given with --native FILE) and, where matplotlib is installed, bench/scaling.png
(throughput against thread count for each primitive and its peers).

A wrong result in any benchmark (BenchmarkError) ends the run with an error
and writes no report.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import io
import os
import pathlib
import platform
import re
import sys
import time
from typing import TextIO

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import DIRECTION, REPORT, THREADS, Table  # noqa: E402


class Tee(io.StringIO):
    """Keeps a copy of what it is given and passes it on to the terminal."""

    def __init__(self, out: TextIO) -> None:
        super().__init__()
        self.out = out

    def write(self, s: str) -> int:
        self.out.write(s)
        return super().write(s)

    def flush(self) -> None:
        self.out.flush()


def run_modules() -> None:
    for path in sorted(HERE.glob("bench_*.py")):
        REPORT.module = path.stem
        before = len(REPORT.sections)
        tee = Tee(sys.stdout)
        with contextlib.redirect_stdout(tee):
            importlib.import_module(path.stem).main()
        if len(REPORT.sections) == before:
            # A module that prints its own tables: its output goes in as it is.
            REPORT.sections.append((path.stem, tee.getvalue().strip("\n")))


def plot(path: pathlib.Path) -> str:
    """Draws one panel per primitive; returns what to say about the plot."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib does not install for this interpreter: no plot."
    primitives = list(REPORT.series)
    if not primitives:
        return "No benchmark measured throughput against threads: no plot."
    cols = 2 if len(primitives) > 1 else 1
    rows = (len(primitives) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(6.5 * cols, 4.2 * rows), squeeze=False)
    for ax, primitive in zip(axes.flat, primitives):
        for peer, points in REPORT.series[primitive].items():
            xs = [t for t in THREADS if t in points]
            own = peer.startswith(primitive.split(",")[0].split()[0])  # this module's, drawn bold
            ax.plot(xs, [points[t] / 1e6 for t in xs], marker="o", label=peer, linewidth=2.5 if own else 1.2)
        ax.set_title(primitive)
        ax.set_xscale("log", base=2)
        ax.set_xticks(list(THREADS), [str(t) for t in THREADS])
        ax.set_xlabel("threads")
        ax.set_ylabel("million operations per second")
        ax.set_ylim(bottom=0)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=7)
    for ax in list(axes.flat)[len(primitives):]:
        ax.axis("off")
    fig.suptitle(f"Throughput against threads ({os.cpu_count()} hardware threads; higher is better)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return f"![throughput against threads]({path.name})"


def write_report(native: str | None) -> None:
    lines = [
        "# Benchmark report",
        "",
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; Python {platform.python_version()} "
        f"({sys.implementation.name}, free-threaded); {os.cpu_count()} hardware threads. "
        "Figures from one run on a machine that may be busy: compare rows within a table, "
        "measured side by side, rather than across runs.",
        "",
        f"Every Python table reports a {DIRECTION}; its header says against what.",
        "",
        plot(HERE / "scaling.png"),
        "",
    ]
    module = None
    for name, item in REPORT.sections:
        if name != module:
            lines += [f"## {name.removeprefix('bench_')}", ""]
            module = name
        lines += [item.markdown() if isinstance(item, Table) else f"```\n{item}\n```", ""]
    if native is not None:
        lines += ["## native", "", "The native benchmarks (bench/native/), as they printed their tables.", "",
                  f"```\n{native.strip()}\n```", ""]
    (HERE / "report.md").write_text("\n".join(lines))
    print(f"\nwrote {HERE / 'report.md'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--native", type=pathlib.Path, help="output of the native benchmarks, for the report")
    args = parser.parse_args()
    native = None
    if args.native and args.native.exists():
        # Without the build's progress lines ("[3/17] Building ...").
        native = "\n".join(line for line in args.native.read_text().splitlines()
                           if not re.match(r"\[\d+/\d+\] ", line))
    run_modules()
    write_report(native)


if __name__ == "__main__":
    main()
