"""The Python package's speed targets, as medians of interleaved runs:
c.step(100000) against chain20-batch's step rate, the cost of one c.step(1)
call beyond its step, and an ensemble on two threads against one.

Usage: python_targets.py CHAIN20_BATCH [REPEATS] (with the package on PYTHONPATH)."""
import re
import statistics
import subprocess
import sys
import time

import chain20

BATCH = sys.argv[1]
REPEATS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
LONG = 100000


def batch_rate():
    run = subprocess.run([BATCH, "--steps", str(LONG), "--every", str(LONG), "--out", "/dev/null"],
                         stderr=subprocess.PIPE, text=True, check=True)
    return float(re.search(r"steps per second: (\d+)", run.stderr).group(1))


def seconds(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def single_calls(chain, calls):
    step = chain.step
    for _ in range(calls):
        step(1)


def ensemble(threads):
    return seconds(lambda: chain20.ensemble(members=64, steps=20000, perturb=1e-3, threads=threads))


samples = {name: [] for name in ("batch", "python", "single", "one thread", "two threads")}
for _ in range(REPEATS):
    samples["batch"].append(batch_rate())
    chain = chain20.Chain()
    samples["python"].append(LONG / seconds(lambda: chain.step(LONG)))
    samples["single"].append(seconds(lambda: single_calls(chain, LONG)) / LONG)
    samples["one thread"].append(ensemble(1))
    samples["two threads"].append(ensemble(2))
median = {name: statistics.median(values) for name, values in samples.items()}
overhead = median["single"] - 1 / median["python"]
print(f"c.step({LONG}): {median['python']:,.0f} steps/s against chain20-batch's {median['batch']:,.0f}: "
      f"{median['python'] / median['batch']:.2f}x (target >= 0.95x)")
print(f"c.step(1): {median['single'] * 1e6:.2f} us a call, {overhead * 1e6:.2f} us beyond its step (target <= 1 us)")
print(f"ensemble of 64 x 20000 steps: {median['one thread']:.3f} s on one thread, {median['two threads']:.3f} s on two: "
      f"{median['one thread'] / median['two threads']:.2f}x (target >= 1.8x)")
print(f"medians of {REPEATS} interleaved runs")
