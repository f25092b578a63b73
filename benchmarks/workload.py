"""The inputs of the benchmarks: parameter sets, analysis rows, an image, texts, zip entries.

Everything is made from fixed seeds, so every process (each pyperf worker, the tests)
builds the same data. Rows, texts and zip entries are made once per process and shared
by the extension, the rendition and the floors; none of them changes what it is given.
"""

import random
from functools import lru_cache
from io import BytesIO

from nembra.views import SVGResult

MB = 1024 * 1024
KB = 1024

DOWNLOAD_NAME = "Quarterly report (final) 2024.csv"
ZIP_NAME = "measurements 2024.zip"


def make_params(rng, i):
    """A parameter set as an editor fills it in: tabs, sections, fields."""
    return {
        "geometry": {
            "dimensions": {
                "length": round(rng.uniform(1, 50), 2),
                "width": round(rng.uniform(1, 20), 2),
                "height": rng.randint(1, 12),
            },
            "material": {"grade": rng.choice(["S235", "S355", "C30/37"]), "density": 7850},
        },
        "loads": {"permanent": {"g_k": round(rng.uniform(0, 10), 3), "label": f"design {i}"}},
    }


def make_value(rng, column):
    """Column 0-6: floats with varied digits; 7-8: ints; 9: a short string."""
    if column < 7:
        magnitude = 10 ** rng.randint(-1, 5)
        return round(rng.uniform(-0.2, 1.0) * magnitude, rng.randint(1, 6))
    if column < 9:
        return rng.randint(0, 100_000)
    return rng.choice(["ok", "fail", "n/a", "B-3", "warn"])


ANALYSIS_KEYS = [f"result_{j}" for j in range(1, 11)]
HEADERS = {key: f"Result {j}" for j, key in enumerate(ANALYSIS_KEYS, 1)}
INPUT_COLUMNS = ["length", "width", "height"]


@lru_cache(maxsize=None)
def make_rows_data(n, seed=1):
    rng = random.Random(seed)
    return [
        (make_params(rng, i), {key: make_value(rng, c) for c, key in enumerate(ANALYSIS_KEYS)})
        for i in range(n)
    ]


def make_svg():
    bars = "".join(
        f'<rect x="{10 * i}" y="{100 - 3 * i}" width="8" height="{3 * i}" fill="#36c"/>'
        for i in range(30)
    )
    return SVGResult(f'<svg xmlns="http://www.w3.org/2000/svg" width="300" height="100">{bars}</svg>')


def make_text_block(size, seed=2):
    """ASCII text shaped like a CSV export, ``size`` characters long."""
    rng = random.Random(seed)
    lines, total = [], 0
    while total < size:
        line = (
            f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T{rng.randint(0, 23):02d}:00,"
            f"sensor_{rng.randint(0, 999):03d},{rng.uniform(-50, 150):.4f},"
            f"{rng.randint(0, 65535)},{rng.choice(['OK', 'WARN', 'FAIL'])}\n"
        )
        lines.append(line)
        total += len(line)
    return "".join(lines)[:size]


@lru_cache(maxsize=None)
def make_text(size):
    block = make_text_block(min(size, MB))
    return (block * (size // len(block) + 1))[:size]


@lru_cache(maxsize=None)
def make_zip_entries(count=100, size=100 * KB):
    block = make_text_block(MB, seed=3).encode("ascii")
    step = (len(block) - size) // count
    return {
        f"measurements {i:03d}.csv": BytesIO(block[i * step : i * step + size])
        for i in range(count)
    }
