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
