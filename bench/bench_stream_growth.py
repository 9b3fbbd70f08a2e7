"""How kestrel.Stream's cost grows with the length of the stream and with the
open partial matches it holds. Each timed case runs in a fresh child process
(peak RSS from `wait4`), killed after --cap seconds and printed as stopped
(the larger sizes of its series are then skipped); figures are medians of
--rounds interleaved rounds.

1. The windowless log: one partition, 1,000 users, each user's login soon
   followed by its purchase, and one login at the very start by a user who
   never purchases, so one start stays open all the way. Pushed in batches
   of 100k into `Stream(WINDOWLESS, explain=E)` (E=True takes near_misses()
   after each push); only push, near_misses and flush are timed. Per size and
   mode: seconds, ns/event, peak RSS, `stats().buffered` before the flush;
   the growth exponent and RSS ratio between sizes (goals: <= 1.1, <= 1.3).
   For the smallest size, one `match` (+ `explain`) call over the whole log
   in its own child, which also checks it against the stream's results, and
   the stream/batch time ratio.
2. `Stream("a -> zzz", explain=E)` holding K open starts (K events of
   type "a" in one push): ns per event of 10 more pushes of 1,000 "a"s, per
   K, and max/min across K (goal: flat within 2x), for E False and True,
   with peak RSS.
3. W1 (datasets.session_table, sorted by time, each partition in order) as
   a stream in batches of 100k against one call over the whole table, all in
   one child, its rounds interleaved: (a) push with explain=False against `match`, (b) push and
   near_misses() with explain=True against `match` + `explain`; ratios
   (goals: <= 1.2) and equal counts checked. The calls run with the default
   threads and with threads=1, since a stream pushes on one thread.
4. `kestrel match` over the windowless log as JSON Lines (written once into
   --data), output to /dev/null: seconds and peak RSS per size, the time
   ratio over the line ratio (goal: 1, linear) and the RSS ratio (<= 1.3).

A child's peak RSS counts the memory its parent had when it was started, so
this parent stays lean: numpy, pyarrow and kestrel load only in the children,
which also write the JSON Lines files and run item 3.

Flags: --sizes (events of 1, "1000000,10000000"), --lines (lines of 4,
"1000000,10000000"), both multiples of 100,000; --rounds (3); --cap (120 s);
--data (/tmp/kestrel-bench-stream); --only (items, "1,2,3,4").
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from sweep import growth_exponent

BATCH = 100_000
USERS = 1_000
BLOCK = 10  # logins by BLOCK users in a row, then their purchases
WINDOWLESS = "login[user as $u] -> purchase[user == $u]"
NAMES = [f"user-{u:04d}" for u in range(USERS)] + ["user-never"]
OPEN_STARTS = (10_000, 100_000, 1_000_000)
TAIL_PUSHES, TAIL_BATCH = 10, 1_000
BASE_TS = 1_700_000_000


def windowless_batch(k):
    """Rows k*BATCH to (k+1)*BATCH of the windowless log: blocks of BLOCK
    logins by consecutive users (cycling over USERS) in a shuffled order,
    then the same users' purchases in another; row 0 is the never-completing
    login."""
    import numpy as np
    import pyarrow as pa

    rng = np.random.default_rng(k)
    blocks = BATCH // (2 * BLOCK)
    first_block = k * blocks
    order = np.tile(np.arange(BLOCK), (blocks, 1))
    members = np.hstack([rng.permuted(order, axis=1), rng.permuted(order, axis=1)])
    users = ((first_block + np.arange(blocks))[:, None] * BLOCK + members).ravel() % USERS
    if k == 0:
        users[0] = USERS
    kinds = np.tile(np.repeat(np.array(["login", "purchase"]), BLOCK), blocks)
    return pa.record_batch(
        {
            "partition": pa.array(np.full(BATCH, "all")),
            "ts": pa.array(BASE_TS + k * BATCH + np.arange(BATCH)),
            "typ": pa.array(kinds),
            "user": pa.array(np.array(NAMES)[users]),
        }
    )


def stream_run(pattern, batches, explain, keep=False):
    """Pushes the batches (taking near misses after each when explaining),
    timing only the stream's calls: seconds, stats().buffered before the
    flush, the matches' sorted indices (their count unless `keep`), the
    near-miss count."""
    import kestrel

    stream = kestrel.Stream(pattern, explain=explain)
    seconds, found, misses = 0.0, [], 0

    def take(matches):
        if keep:
            found.extend(tuple(m.indices) for m in matches)
        else:
            found.append(len(matches))

    for batch in batches:
        start = time.perf_counter()
        matches = stream.push(batch)
        if explain:
            misses += len(stream.near_misses())
        seconds += time.perf_counter() - start
        take(matches)
    buffered = stream.stats().buffered
    start = time.perf_counter()
    end = stream.flush()
    seconds += time.perf_counter() - start
    take(end.matches)
    return seconds, buffered, sorted(found) if keep else sum(found), misses + len(end.near_misses)


def batch_run(pattern, table, explain, threads=None):
    """One match (+ explain) call over the whole table: seconds, the
    matches, the near-miss count."""
    import kestrel

    start = time.perf_counter()
    matches = kestrel.match(pattern, table, threads=threads)
    misses = len(kestrel.explain(pattern, table, threads=threads)) if explain else 0
    return time.perf_counter() - start, matches, misses


def child_windowless_stream(events, explain):
    batches = (windowless_batch(k) for k in range(events // BATCH))
    seconds, buffered, matches, misses = stream_run(WINDOWLESS, batches, explain)
    return {"seconds": seconds, "buffered": buffered, "matches": matches, "misses": misses}


def child_windowless_batch(events, explain):
    import pyarrow as pa

    table = pa.Table.from_batches([windowless_batch(k) for k in range(events // BATCH)])
    seconds, matches, misses = batch_run(WINDOWLESS, table, explain)
    indices = sorted(tuple(m.indices) for m in matches)
    del matches
    _, _, streamed, stream_misses = stream_run(WINDOWLESS, table.to_batches(), explain, keep=True)
    return {"seconds": seconds, "equal": indices == streamed and misses == stream_misses}


def a_batch(first, count):
    import numpy as np
    import pyarrow as pa

    return pa.record_batch(
        {
            "partition": pa.array(np.full(count, "all")),
            "ts": pa.array(BASE_TS + np.arange(first, first + count)),
            "typ": pa.array(np.full(count, "a")),
        }
    )


def child_open_starts(open_starts, explain):
    import kestrel

    stream = kestrel.Stream("a -> zzz", explain=explain)
    stream.push(a_batch(0, open_starts))
    seconds = 0.0
    for push in range(TAIL_PUSHES):
        batch = a_batch(open_starts + push * TAIL_BATCH, TAIL_BATCH)
        start = time.perf_counter()
        stream.push(batch)
        seconds += time.perf_counter() - start
    return {"seconds": seconds, "ns": seconds / (TAIL_PUSHES * TAIL_BATCH) * 1e9}


def child_session_stream(rounds):
    """Item 3's interleaved rounds: the times of each case, and the counts."""
    from datasets import SESSION_PATTERN, session_table

    table = session_table().sort_by("ts")
    batches = table.to_batches(max_chunksize=BATCH)
    times = {f"{kind} {label}": [] for kind in ("stream", "batch", "batch1") for label in "ab"}
    counts = {}
    for _ in range(rounds):
        for explain, label in ((False, "a"), (True, "b")):
            seconds, _, matches, misses = stream_run(SESSION_PATTERN, batches, explain)
            times["stream " + label].append(seconds)
            counts["stream " + label] = (matches, misses)
            for kind, threads in (("batch", None), ("batch1", 1)):
                seconds, found, misses = batch_run(SESSION_PATTERN, table, explain, threads)
                times[f"{kind} {label}"].append(seconds)
                counts[f"{kind} {label}"] = (len(found), misses)
    return {"events": table.num_rows, "times": times, "counts": counts}


def child_write_jsonl(path, lines):
    """The windowless log's first `lines` rows as JSON Lines."""
    partial = path + ".partial"
    with open(partial, "w") as out:
        for k in range(lines // BATCH):
            columns = windowless_batch(k).to_pydict()
            out.writelines(
                f'{{"partition":"all","ts":{ts},"typ":"{typ}","user":"{user}"}}\n'
                for ts, typ, user in zip(columns["ts"], columns["typ"], columns["user"])
            )
    os.replace(partial, path)
    return {}


CHILDREN = {
    "windowless-stream": child_windowless_stream,
    "windowless-batch": child_windowless_batch,
    "open-starts": child_open_starts,
    "session-stream": child_session_stream,
    "write-jsonl": child_write_jsonl,
}


def child_argv(case, *params):
    return [sys.executable, __file__, "--child", json.dumps([case, *params])]


def run_child(argv, cap, stdout=None):
    """Runs argv in a fresh process, killed after `cap` seconds: (wall
    seconds, peak RSS MB, what it printed), or None when it was stopped."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=stdout or out, stderr=err)
        stopped = threading.Event()

        def stop():
            stopped.set()
            child.kill()

        timer = threading.Timer(cap, stop)
        timer.start()
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
        timer.cancel()
        child.returncode = os.waitstatus_to_exitcode(status)
        if stopped.is_set():
            return None
        if child.returncode != 0:
            err.seek(0)
            raise SystemExit(f"{' '.join(argv)} failed:\n{err.read().decode()}")
        out.seek(0)
        return seconds, usage.ru_maxrss / 1024, out.read().decode()


class Series:
    """Runs of one case over growing sizes: once a size was stopped, neither
    it nor any larger size runs again."""

    def __init__(self, cap):
        self.cap = cap
        self.runs = {}
        self.stopped = None

    def run(self, size, argv, stdout=None):
        if self.stopped is not None and size >= self.stopped:
            return
        result = run_child(argv, self.cap, stdout)
        if result is None:
            self.stopped = size
            return
        seconds, peak, printed = result
        figures = {"wall": seconds, "rss": peak, **(json.loads(printed) if printed else {})}
        self.runs.setdefault(size, []).append(figures)

    def run_case(self, case, size, *params):
        self.run(size, child_argv(case, size, *params))

    def median(self, size, key):
        return statistics.median(run[key] for run in self.runs[size])

    def missing(self, size):
        """Why `size` has no figures, or None when it has."""
        if size in self.runs:
            return None
        if size == self.stopped:
            return f"stopped after {self.cap:g} s"
        return "skipped: a smaller size was stopped"

    def done(self):
        return sorted(self.runs)


def print_growth(series, key, goals):
    """Exponent and RSS ratio between consecutive sizes that finished."""
    done = series.done()
    for n1, n2 in zip(done, done[1:]):
        t1, t2 = series.median(n1, key), series.median(n2, key)
        exponent = growth_exponent(n1, t1, n2, t2)
        rss = series.median(n2, "rss") / series.median(n1, "rss")
        print(
            f"    {n1:,} -> {n2:,}: growth exponent {exponent:.2f} (goal <= {goals[0]}), "
            f"time ratio / size ratio {(t2 / t1) / (n2 / n1):.2f}, RSS ratio {rss:.2f} "
            f"(goal <= {goals[1]})"
        )


def windowless(args):
    print(f"1. windowless stream: {WINDOWLESS}; 1 partition, {USERS:,} users, one start open")
    modes = (False, True)
    streams = {explain: Series(args.cap) for explain in modes}
    batches = {explain: Series(args.cap) for explain in modes}
    small = args.sizes[0]
    for _ in range(args.rounds):
        for size in args.sizes:
            for explain in modes:
                streams[explain].run_case("windowless-stream", size, explain)
        for explain in modes:
            batches[explain].run_case("windowless-batch", small, explain)
    for explain in modes:
        series = streams[explain]
        print(f"  explain={explain}:")
        for size in args.sizes:
            line = f"    {size:>11,} events: "
            reason = series.missing(size)
            if reason:
                print(line + reason)
                continue
            seconds = series.median(size, "seconds")
            print(
                line + f"{seconds:8.2f} s {seconds / size * 1e9:8.0f} ns/event "
                f"peak RSS {series.median(size, 'rss'):7.1f} MB "
                f"buffered {series.runs[size][-1]['buffered']:,} "
                f"(matches {series.runs[size][-1]['matches']:,}, "
                f"near misses {series.runs[size][-1]['misses']:,})"
            )
        print_growth(series, "seconds", (1.1, 1.3))
        reason = batches[explain].missing(small) or series.missing(small)
        call = "match + explain" if explain else "match"
        if reason:
            print(f"    one {call} call over {small:,}: {reason}")
            continue
        batch = batches[explain].median(small, "seconds")
        equal = all(run["equal"] for run in batches[explain].runs[small])
        print(
            f"    one {call} call over {small:,}: {batch:.2f} s; stream/batch "
            f"{series.median(small, 'seconds') / batch:.2f}x; "
            + ("checked equal" if equal else "RESULTS DIFFER")
        )


def open_starts(args):
    print('2. Stream("a -> zzz", explain=E) holding K open starts, 10 pushes of 1,000')
    modes = {explain: Series(args.cap) for explain in (False, True)}
    for _ in range(args.rounds):
        for count in OPEN_STARTS:
            for explain, series in modes.items():
                series.run_case("open-starts", count, explain)
    for explain, series in modes.items():
        print(f"  explain={explain}:")
        for count in OPEN_STARTS:
            reason = series.missing(count)
            if not reason:
                ns, rss = series.median(count, "ns"), series.median(count, "rss")
                reason = f"{ns:10.0f} ns/event, peak RSS {rss:7.1f} MB"
            print(f"    K = {count:>9,}: {reason}")
        costs = [series.median(count, "ns") for count in series.done()]
        if len(costs) > 1:
            print(f"    max/min across K: {max(costs) / min(costs):.2f}x (goal <= 2x)")


def session_stream(args):
    print(f"3. W1 as a stream in batches of {BATCH:,}, events in time order, in one child")
    cap = args.cap * args.rounds
    result = run_child(child_argv("session-stream", args.rounds), cap)
    if result is None:
        print(f"    stopped after {cap:g} s")
        return
    figures = json.loads(result[2])
    times, counts = figures["times"], figures["counts"]
    print(f"    {figures['events']:,} events")
    for label, call in (("a", "match"), ("b", "match + explain")):
        stream, batch, single = (
            statistics.median(times[f"{kind} {label}"]) for kind in ("stream", "batch", "batch1")
        )

        def ratio(kind):
            pairs = zip(times["stream " + label], times[f"{kind} {label}"])
            return statistics.median(s / b for s, b in pairs)

        same = counts["stream " + label] == counts["batch " + label] == counts["batch1 " + label]
        print(
            f"    ({label}) stream {stream:.2f} s, {call} {batch:.2f} s: {ratio('batch'):.2f}x "
            f"(goal <= 1.2); with threads=1 {single:.2f} s: {ratio('batch1'):.2f}x; "
            f"matches/near misses {counts['stream ' + label]} "
            + ("equal" if same else f"!= {counts['batch ' + label]}")
        )


def command(args):
    print(f"4. kestrel match over the windowless log as JSON Lines ({args.data})")
    os.makedirs(args.data, exist_ok=True)
    paths = {lines: os.path.join(args.data, f"windowless-{lines}.jsonl") for lines in args.lines}
    for lines, path in paths.items():
        if not os.path.exists(path):
            subprocess.run(
                child_argv("write-jsonl", path, lines), check=True, stdout=subprocess.DEVNULL
            )
    series = Series(args.cap)
    with open(os.devnull, "wb") as sink:
        for _ in range(args.rounds):
            for lines, path in paths.items():
                argv = [sys.executable, "-m", "kestrel", "match", "--pattern", WINDOWLESS, path]
                series.run(lines, argv, stdout=sink)
    for lines in args.lines:
        line = f"    {lines:>11,} lines: "
        reason = series.missing(lines)
        if reason:
            print(line + reason)
            continue
        print(
            line + f"{series.median(lines, 'wall'):8.2f} s "
            f"peak RSS {series.median(lines, 'rss'):7.1f} MB"
        )
    print_growth(series, "wall", (1.0, 1.3))


def sizes(text):
    values = sorted(int(part) for part in text.split(","))
    if any(value <= 0 or value % BATCH for value in values):
        raise argparse.ArgumentTypeError(f"sizes must be positive multiples of {BATCH:,}")
    return values


ITEMS = {"1": windowless, "2": open_starts, "3": session_stream, "4": command}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=sizes, default=[1_000_000, 10_000_000])
    parser.add_argument("--lines", type=sizes, default=[1_000_000, 10_000_000])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cap", type=float, default=120.0, help="seconds per child")
    parser.add_argument("--data", default="/tmp/kestrel-bench-stream")
    parser.add_argument("--only", default=",".join(ITEMS))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        case, *params = json.loads(args.child)
        print(json.dumps(CHILDREN[case](*params)))
        return
    items = args.only.split(",")
    if args.rounds <= 0 or not set(items) <= set(ITEMS):
        parser.error("--rounds must be positive and --only a comma list of 1, 2, 3, 4")
    print("load average at start: %.2f %.2f %.2f" % os.getloadavg())
    print(f"medians of {args.rounds} interleaved rounds, fresh child per timed case")
    for item in items:
        ITEMS[item](args)
    print("load average at end: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
