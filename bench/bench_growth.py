"""W5 through Python: kestrel.match in both modes and kestrel.explain from a
pyarrow table of one partition, N events, N/10 users, no window (the events
of growth_bench.cpp), with the growth exponent log(t2/t1)/log(N2/N1) against
the previous size. Each figure is the whole call, conversion of the table
included; the table is built beforehand."""

import argparse

from datasets import GROWTH_PATTERN, growth_table
from sweep import Sweep

import kestrel

SERIES = {
    "match first-successor": lambda table: kestrel.match(GROWTH_PATTERN, table),
    "match exhaustive": lambda table: kestrel.match(GROWTH_PATTERN, table, exhaustive=True),
    "explain": lambda table: kestrel.explain(GROWTH_PATTERN, table),
}


def sizes(text):
    values = [int(part) for part in text.split(",")]
    if any(value <= 0 for value in values):
        raise argparse.ArgumentTypeError("sizes must be positive")
    return values


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=sizes, default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--cap", type=float, default=20.0, help="seconds; see sweep.py")
    args = parser.parse_args()

    print(
        f"W5 from a pyarrow table: one partition of N events, N/10 users, no window\n"
        f"{GROWTH_PATTERN}"
    )
    print(
        f"{'series':<22} {'events':>9}  {'seconds':>10} {'M ev/s':>10} {'found':>9} "
        f"{'exponent':>9}  (median of up to 3 runs)"
    )
    sweeps = {label: Sweep(args.cap) for label in SERIES}
    for size in args.sizes:
        reasons = {label: sweep.skip_reason(size) for label, sweep in sweeps.items()}
        table = None if all(reasons.values()) else growth_table(size)
        for label, call in SERIES.items():
            sweep = sweeps[label]
            line = f"{label:<22} {size:>9}  "
            if reasons[label]:
                print(line + reasons[label], flush=True)
                continue
            seconds, found = sweep.measure(lambda: call(table))
            if seconds is None:
                print(line + f"stopped after {sweep.limit:.0f} s", flush=True)
                continue
            sweep.record(size, seconds)
            exponent = sweep.last_exponent()
            line += f"{seconds:10.3f} {size / seconds / 1e6:10.2f} {len(found):9}"
            if exponent is not None:
                line += f" {exponent:9.2f}"
            print(line, flush=True)


if __name__ == "__main__":
    main()
