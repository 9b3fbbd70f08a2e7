"""Medians, growth exponents and the capped sweep of bench_support.hpp, for
the Python benchmarks: a size is skipped once the previous one took more
than `cap` seconds, or when the growth seen so far (at least linear) predicts
more than two caps; a call that passes five caps is stopped by SIGALRM,
which the engine notices like Ctrl-C."""

import math
import signal
import statistics
import time


class Overtime(Exception):
    pass


def growth_exponent(n1, t1, n2, t2):
    return math.log(t2 / t1) / math.log(n2 / n1)


class Sweep:
    def __init__(self, cap):
        self.cap = cap
        self.limit = 5 * cap
        self.sizes = []
        self.seconds = []
        self.stopped = False

    def skip_reason(self, size):
        if self.stopped:
            return "skipped: a smaller size was stopped"
        if not self.sizes:
            return None
        last = self.seconds[-1]
        if last > self.cap:
            return f"skipped: previous size took {last:.1f} s"
        exponent = max(1.0, self.last_exponent() or 1.0)
        predicted = last * (size / self.sizes[-1]) ** exponent
        if predicted > 2 * self.cap:
            return (
                f"skipped: previous size took {last:.1f} s,"
                f" this one would take about {predicted:.0f} s"
            )
        return None

    def record(self, size, seconds):
        self.sizes.append(size)
        self.seconds.append(seconds)

    def last_exponent(self):
        if len(self.sizes) < 2:
            return None
        return growth_exponent(self.sizes[-2], self.seconds[-2], self.sizes[-1], self.seconds[-1])

    def measure(self, call, runs=3):
        """The median time of up to `runs` calls (one once a call takes over a
        second) and the last call's result; None for the time when the limit
        stopped a call."""
        seconds, result = [], None
        for _ in range(runs):
            try:
                elapsed, result = self._timed(call)
            except Overtime:
                self.stopped = True
                return None, None
            seconds.append(elapsed)
            if elapsed > 1.0:
                break
        return statistics.median(seconds), result

    def _timed(self, call):
        def overtime(signum, frame):
            raise Overtime

        previous = signal.signal(signal.SIGALRM, overtime)
        signal.setitimer(signal.ITIMER_REAL, self.limit)
        try:
            start = time.perf_counter()
            result = call()
            return time.perf_counter() - start, result
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
