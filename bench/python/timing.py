"""Timing shared by the benchmark scripts: each figure is the best of several
repeats, and the variants of one case run in turns, so that a change in the
machine's load hits them alike."""

import time


def calibrate(fn, seconds):
    """Calls per repeat so that one repeat lasts about |seconds|."""
    fn()
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    return max(1, int(seconds / max(once, 1e-9)))


def best_seconds(variants, repeats, seconds_per_repeat):
    """Best seconds per call of each (name, fn) variant, timed in turns."""
    plans = [(name, fn, calibrate(fn, seconds_per_repeat)) for name, fn in variants]
    best = {name: float("inf") for name, _, _ in plans}
    for _ in range(repeats):
        for name, fn, number in plans:
            start = time.perf_counter()
            for _ in range(number):
                fn()
            best[name] = min(best[name], (time.perf_counter() - start) / number)
    return best
