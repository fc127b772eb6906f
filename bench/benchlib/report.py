"""Tables and summaries shared by the benchmark scripts."""
import json
import math
import statistics


def median(values):
    present = [v for v in values if v is not None]
    return statistics.median(present) if present else None


def worst(values):
    present = [v for v in values if v is not None]
    return max(present) if present else None


def median_with_bounds(values, z=1.96):
    """The median of values and the ranks around it that hold the true median
    with about 95 % confidence (z), from the binomial law: no assumption on
    the values' spread. None when there are none."""
    ordered = sorted(values)
    n = len(ordered)
    if n == 0:
        return None
    half = z * math.sqrt(n) / 2
    low = max(0, math.floor(n / 2 - half))
    high = min(n - 1, math.ceil(n / 2 + half) - 1)
    return statistics.median(ordered), ordered[low], ordered[high]


def fmt(value, digits=2):
    if value is None:
        return "n/a"
    if isinstance(value, int):
        return f"{value:,}"
    return f"{value:.{digits}f}"


def table(header, rows):
    """A Markdown table with columns padded to line up in a terminal."""
    cells = [header] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]

    def line(row):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(row, widths)) + " |"

    rule = "|" + "|".join("-" * (w + 2) for w in widths) + "|"
    return "\n".join([line(cells[0]), rule] + [line(r) for r in cells[1:]])


def verdict(met):
    if met is None:
        return "n/a"
    return "met" if met else "MISSED"


def target(text, met):
    """One of Orvane's targets: what it asks, and met, missed or None."""
    return {"text": text, "met": met}


def print_targets(targets):
    for t in targets.values():
        print(f"orvane: {t['text']}: {verdict(t['met'])}")


def save(path, result):
    if path:
        with open(path, "w") as f:
            json.dump(result, f, indent=2)
