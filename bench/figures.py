"""The table every benchmark fills, and the rounds it is filled in.

A Figure is one row: in every round ours and the baseline run back to back, in alternating order
(ordered()), and the round's ratio is ours / baseline. The row gives the median of each side, the
median ratio and its spread, the target (a bound on the median ratio, and optionally on the
median of ours itself) and whether it is met. print_table() prints the rows and their notes.
Nothing is measured here.
"""

import statistics
import sys


class Figure:
    """One row of the table. `target` bounds the median ratio ours / baseline; `limit`, when
    given, also bounds the median of ours itself (in the figure's unit). Either may be None."""

    def __init__(self, name, unit, target, note="", limit=None):
        self.name = name
        self.unit = unit
        self.target = target
        self.limit = limit
        self.note = note
        self.ours = []
        self.base = []
        self.ratios = []
        self.failure = None

    def add(self, ours, base):
        self.ours.append(ours)
        self.base.append(base)
        if base:
            self.ratios.append(ours / base)
        else:
            self.ratios.append(1.0 if ours == 0 else float("inf"))

    def target_text(self):
        parts = []
        if self.target is not None:
            parts.append(f"≤ {self.target:g}×")
        if self.limit is not None:
            parts.append(f"≤ {fmt(self.limit, self.unit)}")
        return " and ".join(parts)

    def row(self):
        if self.failure and not self.ratios:
            return [self.name, "—", "—", "—", self.target_text(), "not measured (see below)"]
        med = statistics.median(self.ratios)
        ours = statistics.median(self.ours)
        spread = f"{min(self.ratios):.2f}–{max(self.ratios):.2f}"
        met = (self.target is None or med <= self.target) and (self.limit is None or ours <= self.limit)
        verdict = "met" if met else "missed"
        if self.failure:
            verdict = "not valid (see below)"
        return [
            self.name,
            fmt(ours, self.unit),
            fmt(statistics.median(self.base), self.unit),
            f"{med:.2f}× ({spread}, n={len(self.ratios)})",
            self.target_text(),
            verdict,
        ]

    def record(self):
        return {"figure": self.name, "unit": self.unit, "target": self.target, "limit": self.limit,
                "ours": self.ours, "baseline": self.base, "ratios": self.ratios, "note": self.note,
                "failure": self.failure}

    @classmethod
    def from_record(cls, record):
        fig = cls(record["figure"], record["unit"], record["target"], record["note"], record.get("limit"))
        fig.ours, fig.base, fig.ratios = record["ours"], record["baseline"], record["ratios"]
        fig.failure = record["failure"]
        return fig


def fmt(value, unit):
    if unit == "ns":
        return f"{value:.1f} ns" if value < 1000 else f"{value / 1000:.2f} µs"
    if unit == "s":
        return f"{value * 1000:.0f} ms" if value < 10 else f"{value:.1f} s"
    if unit == "KiB":
        return f"{value / 1024:.1f} MiB"
    if unit == "%":
        return f"{value:.2f} % of a core"
    if unit == "count":
        return f"{value:g}"
    return f"{value:g} {unit}"


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def ordered(round_index, ours, base):
    """Runs the two measurements of one round, ours first in even rounds."""
    if round_index % 2 == 0:
        a = ours()
        b = base()
    else:
        b = base()
        a = ours()
    return a, b


def p95(values):
    return statistics.quantiles(values, n=20, method="inclusive")[18]


def print_table(figures):
    header = ["figure", "ours (median)", "baseline (median)", "ratio (median, min–max)", "target", "result"]
    rows = [fig.row() for fig in figures]
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"

    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    print()
    for fig in figures:
        notes = [n for n in (fig.note, fig.failure and f"NOT VALID: {fig.failure}") if n]
        if notes:
            print(f"- {fig.name}: " + "; ".join(notes))
