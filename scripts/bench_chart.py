#!/usr/bin/env python3
"""Draws the ratios of docs/benchmarks.md as a horizontal bar chart (SVG).

Every Markdown table row with a column whose name begins "ratio" or "relative"
becomes one bar, grouped by benchmark script and coloured by target.  Bars
are drawn on a logarithmic scale around 1 (the baseline); the goal column,
where there is one, is written beside the bar.
    bench_chart.py docs/benchmarks.md docs/benchmarks.svg
"""
import math
import re
import sys
from xml.sax.saxutils import escape

COLOURS = {"native": "#3b7dd8", "windows": "#d8823b"}


def cells(line):
    return [c.strip() for c in line.strip().strip("|").split("|")]


def parse(text):
    """Returns [(target, script, label, ratio, goal)] in report order."""
    bars, target, script, header, fenced = [], "", "", None, None
    for line in text.splitlines():
        if line.startswith("```"):
            fenced = None if fenced is not None else []
            continue
        if fenced is not None:
            # A plain-text table: a header line naming "ratio", then rows of
            # "label  values...  1.23x goal".
            if not fenced and "ratio" in line.lower():
                fenced.append(line)
            elif fenced:
                m = re.match(r"(.*?)\s{2,}.*?\s(\d+(?:\.\d+)?)x(?:\s+(.*))?$", line)
                if m and float(m.group(2)) > 0:
                    bars.append((target, script, m.group(1).strip(), float(m.group(2)), m.group(3) or ""))
            continue
        if line.startswith("## "):
            target = "windows" if "windows" in line.lower() else "native"
        elif line.startswith("### ") and line[4:].startswith("bench/"):
            script = line[4:].strip()
        elif line.startswith("|"):
            row = cells(line)
            if header is None:
                header = [h.lower() for h in row]
                continue
            if all(re.fullmatch(r":?-+:?", c) for c in row):
                continue
            col = next((i for i, h in enumerate(header) if h.startswith(("ratio", "relative"))), None)
            if col is None or col >= len(row):
                continue
            m = re.match(r"[-+]?\d+(\.\d+)?", row[col])
            if not m or float(m.group(0)) <= 0:
                continue
            goal_col = next((i for i, h in enumerate(header) if h == "goal"), None)
            goal = row[goal_col] if goal_col is not None and goal_col < len(row) else ""
            bars.append((target, script, row[0], float(m.group(0)), goal))
        else:
            header = None
    return bars


def draw(bars):
    row_h, left, width, right = 22, 420, 360, 200
    lo = min([0.1] + [b[3] for b in bars])
    hi = max([10.0] + [b[3] for b in bars])
    lo, hi = 10 ** math.floor(math.log10(lo)), 10 ** math.ceil(math.log10(hi))

    def x(v):
        return left + width * (math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo))

    out, y, group = [], 40, None
    for target, script, label, ratio, goal in bars:
        if (script, target) != group:
            group = (script, target)
            y += 8
            out.append(f'<text x="8" y="{y + 14}" font-weight="bold">{escape(script)} ({target})</text>')
            y += row_h
        out.append(f'<text x="{left - 8}" y="{y + 15}" text-anchor="end">{escape(label[:60])}</text>')
        x0, x1 = sorted((x(1.0), x(ratio)))
        out.append(f'<rect x="{x0:.1f}" y="{y + 4}" width="{max(x1 - x0, 1):.1f}" height="{row_h - 8}" '
                   f'fill="{COLOURS[target]}"/>')
        out.append(f'<text x="{left + width + 8}" y="{y + 15}">{ratio:g} {escape(goal)}</text>')
        y += row_h
    height = y + 30
    axis = [f'<line x1="{x(1.0):.1f}" y1="30" x2="{x(1.0):.1f}" y2="{y}" stroke="#000"/>']
    v = lo
    while v <= hi * 1.0001:
        axis.append(f'<line x1="{x(v):.1f}" y1="30" x2="{x(v):.1f}" y2="{y}" stroke="#ddd"/>')
        axis.append(f'<text x="{x(v):.1f}" y="{y + 18}" text-anchor="middle">{v:g}</text>')
        v *= 10
    head = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{left + width + right}" height="{height}" '
            f'font-family="sans-serif" font-size="12">'
            f'<rect width="100%" height="100%" fill="#fff"/>'
            f'<text x="8" y="20" font-size="14" font-weight="bold">Benchmark ratios against their '
            f'baselines (log scale; 1 = baseline)</text>')
    return "\n".join([head] + axis + out + ["</svg>"]) + "\n"


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        bars = parse(f.read())
    if not bars:
        sys.exit("no ratio columns found in " + source)
    with open(target, "w", encoding="utf-8") as f:
        f.write(draw(bars))


if __name__ == "__main__":
    main()
