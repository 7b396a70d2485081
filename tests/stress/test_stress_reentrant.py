"""Node functions that start another run on the same cache and namespace.

The outer DAG and the inner DAG are built from one definition, so the inner
run reaches the very keys the outer run has claimed while its node function
is still computing. The inner run must compute such a key itself instead of
waiting for a claim that can only end after the inner run has returned,
whether either run is sequential or parallel, and also when two threads
each hold a claim that the other's inner run reaches.
"""

import itertools
import threading
import time

import quillon
from stress_support import SECONDS, Workers, deadline, frequent_switches, report

JOIN_TIMEOUT = 30.0 + SECONDS
EXPECTED = {"x": 3.0, "X": 6.0, "Y": 9.0, "z": 15.0}


def build(cache, reenter=None):
    """src -> (X, Y) -> join, every node versioned. With `reenter`, X and Y
    answer by running reenter["dag"] and reading their own output from it."""

    def step(name, factor):
        def run(inputs):
            if reenter is None:
                return {"out": inputs["x"] * factor}
            if reenter.get("barrier") is not None:
                # Both claims are held before either inner run starts.
                reenter["barrier"].wait(timeout=10)
            inner = reenter["dag"].execute(parallel=reenter["parallel"], max_threads=reenter.get("threads"))
            return {"out": inner[name]}
        return run

    graph = quillon.Graph(cache_backend=cache)
    graph.add(lambda d: {"x": 3.0}, "src", None, [("x", "x")])
    graph.add(step("X", 2.0), "X", [("x", "x")], [("out", "X")])
    graph.add(step("Y", 3.0), "Y", [("x", "x")], [("out", "Y")])
    graph.add(lambda d: {"z": d["X"] + d["Y"]}, "join", [("X", "X"), ("Y", "Y")], [("z", "z")])
    for label in ("src", "X", "Y", "join"):
        graph.set_cache_version(label, "1")
    return graph.build()


def run_bounded(function, name):
    workers = Workers()
    workers.start(function, name=name)
    workers.join(JOIN_TIMEOUT)


def test_reentrant_runs_finish_in_every_mode(capsys):
    cache = quillon.MemoryCache()
    reenter = {"dag": build(cache)}
    outer = build(cache, reenter)
    modes = list(itertools.product([False, True], [False, True], [None, 1]))
    rounds = 0
    end = deadline()
    with frequent_switches():
        while rounds < len(modes) or time.monotonic() < end:
            outer_parallel, inner_parallel, threads = modes[rounds % len(modes)]
            reenter.update(parallel=inner_parallel, threads=threads)
            cache.clear()  # the outer run computes, so the inner one meets its claims
            results = []
            run_bounded(lambda: results.append(outer.execute(parallel=outer_parallel, detailed=True)),
                        f"outer parallel={outer_parallel}, inner parallel={inner_parallel}, max_threads={threads}")
            assert results[0]["context"] == EXPECTED, (outer_parallel, inner_parallel, threads)
            rounds += 1
    assert capsys.readouterr().err == ""  # no node failed
    report("re-entrant runs", rounds=rounds, seconds=SECONDS)


def test_two_threads_whose_inner_runs_cross_claims(capsys):
    """T1's worker claims X and T2's worker claims Y (or one thread holds
    both); then each inner run reaches both keys. Waiting for the other
    thread's claim would close a cycle: each outer node waits for its inner
    run, which waits for the other outer node."""
    cache = quillon.MemoryCache()
    reenter = {"dag": build(cache), "parallel": True}
    outers = [build(cache, reenter), build(cache, reenter)]
    rounds = 0
    end = deadline()
    with frequent_switches():
        while rounds < 4 or time.monotonic() < end:
            cache.clear()
            reenter["barrier"] = threading.Barrier(2)
            start = threading.Barrier(2)
            results = [None, None]

            def top(i):
                start.wait(timeout=10)
                results[i] = outers[i].execute(parallel=True)

            workers = Workers()
            for i in range(2):
                workers.start(top, i, name=f"top-{i}")
            workers.join(JOIN_TIMEOUT)
            assert results == [EXPECTED, EXPECTED]
            rounds += 1
    assert capsys.readouterr().err == ""
    report("crossing re-entrant runs", threads=2, rounds=rounds, seconds=SECONDS)
