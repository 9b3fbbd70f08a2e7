"""The `kestrel match` command on W1-like events in time order: 10,000
partitions (four users each, the events of engine_bench.cpp), 30 events per
partition for 300k lines and 300 for 3M, written as JSON Lines and CSV.

Prints the command's peak RSS on each file, each run in a fresh child
process (`wait4`), and the 3M/300k ratio for JSON Lines (goal: within 1.5x:
memory does not grow with the input). With --old-python, an interpreter
whose kestrel is an earlier command line, prints both commands' throughput
(events/s) on the 300k files, medians of interleaved rounds, and their ratio;
the earlier command reads everything into Python rows first, so it is not
run on 3M lines.

Flags: --small, --large (events per partition: 30, 300), --rounds (3),
--data (folder for the generated files), --old-python.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import pyarrow as pa
import pyarrow.csv as pacsv
from datasets import SESSION_PATTERN, session_table

PARTITIONS = 10_000


def events_file(folder, per_partition, fmt):
    """The W1 events, sorted by time (stably, so each partition keeps its
    order), in `fmt`; written once and reused."""
    path = os.path.join(folder, f"w1-{PARTITIONS * per_partition}.{fmt}")
    if os.path.exists(path):
        return path
    table = session_table(PARTITIONS, per_partition).sort_by("ts")
    partial = path + ".partial"
    if fmt == "csv":
        pacsv.write_csv(table, partial)
    else:
        with open(partial, "w") as out:
            for batch in table.to_batches(100_000):
                out.writelines(json.dumps(row) + "\n" for row in batch.to_pylist())
    os.replace(partial, path)
    return path


def run_cli(python, path):
    """Seconds and peak RSS (MB) of one `kestrel match` in a fresh process."""
    command = [python, "-m", "kestrel", "match", "--pattern", SESSION_PATTERN, path]
    start = time.perf_counter()
    with open(os.devnull, "wb") as sink:
        child = subprocess.Popen(command, stdout=sink, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        stderr = child.stderr.read().decode()
        child.stderr.close()
    if child.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed: {stderr}")
    return seconds, usage.ru_maxrss / 1024


def count_lines(path):
    with open(path, "rb") as file:
        return sum(1 for _ in file)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", type=int, default=30)
    parser.add_argument("--large", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--data", default=os.path.join("..", "build", "bench-cli-data"))
    parser.add_argument("--old-python", default=None)
    args = parser.parse_args()
    os.makedirs(args.data, exist_ok=True)
    print(f"pyarrow {pa.__version__}; W1 events, {PARTITIONS:,} partitions, in time order")

    print("peak RSS of kestrel match (fresh process per run):")
    peaks = {}
    for fmt in ("jsonl", "csv"):
        for per_partition in (args.small, args.large):
            path = events_file(args.data, per_partition, fmt)
            peak = max(run_cli(sys.executable, path)[1] for _ in range(args.rounds))
            peaks[fmt, per_partition] = peak
            print(f"  {os.path.basename(path):>16}: {peak:7.1f} MB")
        ratio = peaks[fmt, args.large] / peaks[fmt, args.small]
        print(
            f"  {fmt} {args.large // args.small}x the lines: {ratio:.2f}x the peak (goal <= 1.5x)"
        )

    if args.old_python is None:
        print("throughput against the earlier command: skipped: no --old-python given")
        return
    print(
        f"throughput on {PARTITIONS * args.small:,} events, medians of {args.rounds} "
        "interleaved rounds:"
    )
    for fmt in ("jsonl", "csv"):
        path = events_file(args.data, args.small, fmt)
        events = count_lines(path) - (fmt == "csv")
        times = {"new": [], "old": []}
        for _ in range(args.rounds):
            times["new"].append(run_cli(sys.executable, path)[0])
            times["old"].append(run_cli(args.old_python, path)[0])
        new, old = (statistics.median(times[which]) for which in ("new", "old"))
        print(
            f"  {fmt:>5}: new {events / new:>10,.0f} events/s ({new:.2f} s), "
            f"old {events / old:>10,.0f} events/s ({old:.2f} s): {old / new:.1f}x faster"
        )


if __name__ == "__main__":
    main()
