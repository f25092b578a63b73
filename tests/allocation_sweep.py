"""Import nembra.result with one failing allocation, for every allocation of the import.

Run as a script with the interpreter whose build to sweep:

    python tests/allocation_sweep.py [--first N] [--last N] [--stride N] [--jobs N] [--module NAME]

Each point runs in a child process with a fixed hash seed: the dependencies are imported
first, then `_testcapi.set_nomemory(n, n + 1)` makes the n-th allocation fail and the
module (`nembra.result`, or with `--module pyresult` the pure-Python rendition in
benchmarks/, for comparison) is imported. A point ends in success, in MemoryError, in another exception, or in a crash
(the child dies by a signal); the sweep stops once the import makes fewer than n
allocations. Prints the counts and the points of every outcome but the first two.
"""

import argparse
import collections
import concurrent.futures
import json
import os
import subprocess
import sys

BENCHMARKS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "benchmarks")

CHILD = """
import sys
import _testcapi
import re, warnings, io, typing, zipfile, munch
import nembra.api_v1, nembra.core, nembra.parametrization, nembra.views
import importlib
point, module = int(sys.argv[1]), sys.argv[2]
_testcapi.set_nomemory(point, point + 1)
try:
    importlib.import_module(module)
except MemoryError:
    _testcapi.remove_mem_hooks()
    print("MemoryError")
except BaseException as error:
    _testcapi.remove_mem_hooks()
    print("other", type(error).__name__, error)
else:
    _testcapi.remove_mem_hooks()
    print("success")
"""


def run_point(point, module="nembra.result"):
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=BENCHMARKS)
    process = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", CHILD, str(point), module],
        capture_output=True, text=True, timeout=120, env=env,
    )
    if process.returncode < 0:
        where = [line for line in process.stderr.splitlines() if line.strip().startswith("File")]
        return point, "crash", f"signal {-process.returncode}: {where[:3]}"
    lines = process.stdout.split("\n")
    outcome = lines[0].split(" ", 1) if lines and lines[0] else ["no output", process.stderr[-300:]]
    return point, outcome[0], outcome[1] if len(outcome) > 1 else ""


def sweep(points, jobs, module="nembra.result"):
    """Outcome of each point, in order."""
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        return list(pool.map(run_point, points, [module] * len(points)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--first", type=int, default=1)
    parser.add_argument("--last", type=int, default=None, help="default: until the import succeeds 50 times in a row")
    parser.add_argument("--stride", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--module", default="nembra.result")
    args = parser.parse_args()
    results = []
    point = args.first
    successes_in_a_row = 0
    while (args.last is None and successes_in_a_row < 50) or (args.last is not None and point <= args.last):
        batch = list(range(point, point + 50 * args.stride, args.stride))
        if args.last is not None:
            batch = [p for p in batch if p <= args.last]
        for result in sweep(batch, args.jobs, args.module):
            results.append(result)
            successes_in_a_row = successes_in_a_row + 1 if result[1] == "success" else 0
        point = batch[-1] + args.stride
    counts = collections.Counter(outcome for _, outcome, _ in results)
    unusual = [r for r in results if r[1] not in ("success", "MemoryError")]
    print(json.dumps({"python": sys.version.split()[0], "module": args.module, "points": len(results), "counts": counts,
                      "unusual": unusual[:40]}, indent=1))
    return 1 if unusual else 0


if __name__ == "__main__":
    sys.exit(main())
