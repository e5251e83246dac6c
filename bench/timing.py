"""Timing shared by the benchmark scripts."""

import statistics
import time


def median_seconds(fn, repeats):
    """Median wall time of `repeats` calls of fn()."""
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def fastest_alternating(fns, repeats, clock=time.perf_counter):
    """Fastest of `repeats` runs of each of fns, by `clock`. The runs
    alternate, so load from other processes on a shared machine falls on
    all of them alike, and the fastest run is the least disturbed one."""
    best = [float("inf")] * len(fns)
    for _ in range(repeats):
        for i, fn in enumerate(fns):
            start = clock()
            fn()
            best[i] = min(best[i], clock() - start)
    return best
