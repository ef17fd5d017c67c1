"""Draws the benchmark ratios against the peers (peer ÷ vicinor, log
scale; right of 1x vicinor is faster or smaller) from a results table in
Markdown, as benchmarks/run.sh writes it.

    python benchmarks/plot_ratios.py [TABLE.md] [-o docs/ratios.png]

TABLE.md defaults to benchmarks/results/latest.md, or the table in
docs/performance.md when no run has been made here. Needs matplotlib.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def ratio_rows(markdown: str) -> list[tuple[str, float]]:
    """(label, ratio) of every row of the results table with a measured
    ratio against a peer (budget rows have none)."""
    rows = []
    for line in markdown.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) < 6 or not cells[5].endswith("x"):
            continue
        try:
            ratio = float(cells[5].rstrip("x").replace(",", ""))
        except ValueError:
            continue
        peer = re.sub(r";?\s*\*[^*]*\*", "", cells[3]).strip()
        if peer.startswith(("budget", "floor", "vicinor")):
            continue  # not a peer: a budget, the call floor, or vicinor itself
        rows.append((f"{cells[0]}: {peer}", ratio))
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("table", nargs="?", type=Path)
    parser.add_argument("-o", "--output", type=Path, default=ROOT / "docs" / "ratios.png")
    args = parser.parse_args()
    source = args.table
    if source is None:
        latest = ROOT / "benchmarks" / "results" / "latest.md"
        source = latest if latest.exists() else ROOT / "docs" / "performance.md"
    rows = ratio_rows(source.read_text(encoding="utf-8"))
    if not rows:
        print(f"no ratios against peers in {source}", file=sys.stderr)
        return 1

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [label for label, _ in rows][::-1]
    ratios = [ratio for _, ratio in rows][::-1]
    figure, axes = plt.subplots(figsize=(9, 0.38 * len(rows) + 1.2))
    colours = ["#2b7bba" if ratio >= 1 else "#d95f02" for ratio in ratios]
    axes.barh(labels, ratios, color=colours)
    axes.set_xscale("log")
    axes.axvline(1.0, color="black", linewidth=0.8)
    axes.set_xlabel("peer time or memory ÷ vicinor's (log scale; above 1: vicinor is ahead)")
    for y, ratio in enumerate(ratios):
        axes.text(ratio, y, f" {ratio:.3g}x", va="center", fontsize=8)
    axes.set_title(f"vicinor against its peers ({source.name})", fontsize=10)
    figure.tight_layout()
    args.output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(args.output, dpi=110)
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
