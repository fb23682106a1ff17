"""Self-contained HTML charts (inline SVG, no scripts, no network) of a Fellegi-Sunter
model: match weights per field and level, the score histogram, and one pair's waterfall.

Each function takes the plain dictionaries that :func:`velatro.train` and
:class:`velatro.Resolution` return and gives the HTML text; ``path`` writes it too.
"""

from __future__ import annotations

import html
import math
import os
from pathlib import Path
from typing import Any, Iterable, Sequence

_POSITIVE = "#2b8a3e"
_NEGATIVE = "#c92a2a"
_NEUTRAL = "#868e96"
_DECISION_COLOURS = {"merge": "#2b8a3e", "review": "#f08c00", "no_merge": "#adb5bd"}

_ROW = 22  # pixels per bar row
_LABEL_WIDTH = 260
_PLOT_WIDTH = 520


def _page(title: str, svg: str, notes: Iterable[str] = ()) -> str:
    items = "".join(f"<li>{html.escape(n)}</li>" for n in notes)
    return (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<title>{html.escape(title)}</title>"
        "<style>body{font-family:system-ui,sans-serif;margin:24px;color:#212529}"
        "text{font-size:12px}h1{font-size:18px}</style></head><body>"
        f"<h1>{html.escape(title)}</h1>{svg}"
        f"{'<ul>' + items + '</ul>' if items else ''}</body></html>\n"
    )


def _write(text: str, path: str | os.PathLike[str] | None) -> str:
    if path is not None:
        Path(path).write_text(text, encoding="utf-8")
    return text


def _svg(width: float, height: float, body: str, label: str) -> str:
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width:.0f}" height="{height:.0f}" '
        f'viewBox="0 0 {width:.0f} {height:.0f}" role="img" aria-label="{html.escape(label)}">'
        f"{body}</svg>"
    )


def _num(value: float | None, digits: int = 2) -> str:
    return "–" if value is None else f"{value:.{digits}f}"


class _Scale:
    """Maps values in [lo, hi] (0 always included) onto [x0, x0 + width]."""

    def __init__(self, values: Sequence[float], x0: float, width: float) -> None:
        finite = [v for v in values if v is not None and math.isfinite(v)]
        self.lo = min([0.0, *finite])
        self.hi = max([0.0, *finite])
        if self.hi == self.lo:
            self.hi = self.lo + 1.0
        self.x0, self.width = x0, width

    def __call__(self, v: float) -> float:
        v = min(max(v, self.lo), self.hi)
        return self.x0 + (v - self.lo) / (self.hi - self.lo) * self.width


def _bar_rows(rows: Sequence[tuple[str, float | None]], title: str) -> str:
    """Horizontal bars from 0: positive green, negative red, one labelled row each."""
    scale = _Scale([v for _, v in rows if v is not None], _LABEL_WIDTH, _PLOT_WIDTH)
    zero = scale(0.0)
    parts = []
    for i, (label, value) in enumerate(rows):
        y = 10 + i * _ROW
        parts.append(
            f'<text x="{_LABEL_WIDTH - 8}" y="{y + 14}" text-anchor="end">{html.escape(label)}</text>'
        )
        if value is None or not math.isfinite(value):
            parts.append(f'<text x="{zero + 4}" y="{y + 14}" fill="{_NEUTRAL}">n/a</text>')
            continue
        x = scale(value)
        colour = _POSITIVE if value >= 0 else _NEGATIVE
        parts.append(
            f'<rect class="bar" x="{min(x, zero):.1f}" y="{y + 2}" width="{abs(x - zero):.1f}" '
            f'height="{_ROW - 6}" fill="{colour}"><title>{html.escape(label)}: '
            f"{value:.3f}</title></rect>"
        )
        anchor, tx = ("start", max(x, zero) + 4) if value >= 0 else ("end", min(x, zero) - 4)
        parts.append(f'<text x="{tx:.1f}" y="{y + 14}" text-anchor="{anchor}">{value:.2f}</text>')
    height = 20 + len(rows) * _ROW
    parts.append(
        f'<line x1="{zero:.1f}" y1="4" x2="{zero:.1f}" y2="{height - 4}" stroke="#495057"/>'
    )
    return _svg(_LABEL_WIDTH + _PLOT_WIDTH + 80, height, "".join(parts), title)


def match_weights_html(report: dict[str, Any], path: str | os.PathLike[str] | None = None) -> str:
    """Match weight (log2 m/u) of every level of every field in a training report."""
    rows: list[tuple[str, float | None]] = []
    for field in report["fields"]:
        for level in field["levels"]:
            rows.append((f"{field['name']}: {level['name']}", level["match_weight"]))
    notes = [
        f"prior (two random records match): {report['prior']:.3g}",
        "match weight = log2(m / u); a missing value weighs 0",
    ]
    return _write(_page("Match weights by field and level", _bar_rows(rows, "match weights"), notes), path)


def waterfall_html(waterfall: dict[str, Any], path: str | os.PathLike[str] | None = None) -> str:
    """One pair's score built up step by step: prior, each field's weight, total."""
    steps: list[tuple[str, float]] = [("prior", waterfall["prior"])]
    for f in waterfall["fields"]:
        level = f["level"] if f["level"] is not None else "null (missing)"
        label = f"{f['field']}: {level}"
        if f.get("tf_adjustment"):
            label += f" (tf {f['tf_adjustment']:+.2f})"
        steps.append((label, f["match_weight"] or 0.0))
    running, ends = 0.0, []
    for _, w in steps:
        ends.append((running, running + w))
        running += w
    total = waterfall["total"]
    scale = _Scale([v for pair in ends for v in pair] + [total], _LABEL_WIDTH, _PLOT_WIDTH)
    parts = []
    for i, ((label, w), (start, end)) in enumerate(zip(steps, ends)):
        y = 10 + i * _ROW
        x0, x1 = sorted((scale(start), scale(end)))
        colour = _POSITIVE if w > 0 else _NEGATIVE if w < 0 else _NEUTRAL
        parts.append(
            f'<text x="{_LABEL_WIDTH - 8}" y="{y + 14}" text-anchor="end">{html.escape(label)}</text>'
            f'<rect class="bar" x="{x0:.1f}" y="{y + 2}" width="{max(x1 - x0, 1):.1f}" '
            f'height="{_ROW - 6}" fill="{colour}"><title>{w:+.3f}</title></rect>'
            f'<text x="{x1 + 4:.1f}" y="{y + 14}">{w:+.2f}</text>'
        )
    y = 10 + len(steps) * _ROW
    parts.append(
        f'<text x="{_LABEL_WIDTH - 8}" y="{y + 14}" text-anchor="end" font-weight="bold">total</text>'
        f'<rect class="bar" x="{min(scale(0), scale(total)):.1f}" y="{y + 2}" '
        f'width="{abs(scale(total) - scale(0)):.1f}" height="{_ROW - 6}" fill="#1c7ed6"/>'
        f'<text x="{max(scale(0), scale(total)) + 4:.1f}" y="{y + 14}">{total:.2f}</text>'
    )
    height = 20 + (len(steps) + 1) * _ROW
    zero = scale(0.0)
    parts.append(f'<line x1="{zero:.1f}" y1="4" x2="{zero:.1f}" y2="{height - 4}" stroke="#495057"/>')
    svg = _svg(_LABEL_WIDTH + _PLOT_WIDTH + 80, height, "".join(parts), "match weight waterfall")
    notes = [f"posterior match probability: {waterfall['posterior_probability']:.6g}"]
    return _write(_page("Match weight waterfall", svg, notes), path)


def waterfall_text(waterfall: dict[str, Any]) -> str:
    """The waterfall as aligned text lines."""
    lines = [f"{'prior':<40} {waterfall['prior']:+9.3f}"]
    for f in waterfall["fields"]:
        level = f["level"] if f["level"] is not None else "null (missing)"
        tf = f" (tf {f['tf_adjustment']:+.3f})" if f.get("tf_adjustment") else ""
        lines.append(f"{f['field'] + ': ' + level:<40} {f['match_weight'] or 0.0:+9.3f}{tf}")
    lines.append(f"{'total':<40} {waterfall['total']:+9.3f}")
    lines.append(f"{'posterior probability':<40} {waterfall['posterior_probability']:9.6f}")
    return "\n".join(lines)


def histogram_html(
    distribution: dict[str, Any],
    path: str | os.PathLike[str] | None = None,
    *,
    threshold: float | None = None,
) -> str:
    """Pairs per score bin, stacked by decision, on a log scale, with the threshold."""
    bins = distribution["bins"]
    if threshold is None and distribution.get("suggested_threshold"):
        threshold = distribution["suggested_threshold"]["threshold"]
    width, height, left, bottom = 760.0, 300.0, 50.0, 40.0
    plot_w, plot_h = width - left - 20, height - bottom - 20
    most = max((b["merge"] + b["review"] + b["no_merge"] for b in bins), default=1)
    top = math.log10(most + 1) or 1.0
    n = max(len(bins), 1)
    bar_w = plot_w / n
    parts = []
    for i, b in enumerate(bins):
        x = left + i * bar_w
        base = 0
        for decision in ("no_merge", "review", "merge"):
            count = b[decision]
            if not count:
                continue
            y0 = math.log10(base + 1) / top * plot_h
            y1 = math.log10(base + count + 1) / top * plot_h
            parts.append(
                f'<rect class="bar" x="{x:.1f}" y="{20 + plot_h - y1:.1f}" '
                f'width="{max(bar_w - 1, 1):.1f}" height="{max(y1 - y0, 0.5):.1f}" '
                f'fill="{_DECISION_COLOURS[decision]}"><title>[{_num(b["lower"])}, '
                f'{_num(b["upper"])}): {count} {decision}</title></rect>'
            )
            base += count
    lows = [b["lower"] for b in bins]

    def x_of(score: float) -> float:
        for i, lo in enumerate(lows):
            if lo is not None and score < lo:
                return left + i * bar_w
        return left + n * bar_w

    for i in range(0, n, max(n // 8, 1)):
        lo = bins[i]["lower"]
        if lo is not None:
            parts.append(
                f'<text x="{left + i * bar_w:.1f}" y="{height - 20}" text-anchor="middle">'
                f"{lo:g}</text>"
            )
    if threshold is not None:
        tx = x_of(threshold)
        parts.append(
            f'<line class="threshold" x1="{tx:.1f}" y1="10" x2="{tx:.1f}" y2="{20 + plot_h}" '
            f'stroke="#1c7ed6" stroke-dasharray="4 3" stroke-width="2"/>'
            f'<text x="{tx + 4:.1f}" y="18" fill="#1c7ed6">threshold {threshold:g}</text>'
        )
    parts.append(
        f'<line x1="{left}" y1="{20 + plot_h}" x2="{left + plot_w}" y2="{20 + plot_h}" stroke="#495057"/>'
        f'<text x="{left}" y="{height - 4}">score ({distribution["scale"].replace("_", " ")}); '
        "bar height: pairs, log scale</text>"
    )
    notes: list[str] = []
    suggestion = distribution.get("suggested_threshold")
    if suggestion:
        notes.append(
            f"suggested threshold {suggestion['threshold']:g}: expected precision "
            f"{suggestion['precision']:.3f}, recall {suggestion['recall']:.3f} "
            f"(among evaluated pairs)"
        )
    notes.append("green: merge, orange: review, grey: no merge")
    svg = _svg(width, height, "".join(parts), "score histogram")
    return _write(_page("Scores of all evaluated pairs", svg, notes), path)
