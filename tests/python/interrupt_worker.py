"""A long run for test_interrupts.py to stop with SIGINT.

Usage: interrupt_worker.py MODE. Prints "ready" once the run is under way,
and one line "call START END" per node call that ended (monotonic seconds),
all flushed at once. The run never ends on its own within the test's
patience; KeyboardInterrupt is not caught, so the process ends through it.

Modes:
- sequential, parallel: 100 nodes that each sleep 0.2 s (parallel: one level,
  two at a time); the signal arrives while calls sleep.
- waiting: the main thread's run waits for a result that a run on another
  thread is computing (and takes 30 s over); the signal arrives meanwhile.
- predict, predict_at: a node whose callable is a builtin (dict), which runs
  no Python code at all, so that only the engine's own signal check can see
  the signal; the run takes far longer than the test waits.
"""

import os
import sys
import threading
import time

import quillon


def say(line):
    """One line to stdout in a single write: lines from worker threads never
    run into each other."""
    os.write(1, (line + "\n").encode())


def sleeper(index):
    def call(inputs):
        start = time.monotonic()
        if index == 0:
            say("ready")
        time.sleep(0.2)
        say(f"call {start} {time.monotonic()}")
        return {"v": float(index)}

    return call


def main(mode):
    graph = quillon.Graph()
    if mode == "waiting":
        computing = threading.Event()

        def slow(inputs):
            computing.set()
            time.sleep(30)
            return {"v": 1.0}

        graph.add(slow, "slow", None, [("v", "v")])
        graph.set_cache_version("slow", "1")
        dag = graph.build()
        threading.Thread(target=dag.execute, daemon=True).start()
        computing.wait()
        say("ready")
        dag.execute()
    elif mode in ("sequential", "parallel"):
        for i in range(100):
            graph.add(sleeper(i), f"sleep{i}", None, [("v", f"v{i}")])
        dag = graph.build()
        if mode == "sequential":
            dag.execute(cache=False)
        else:
            dag.execute(parallel=True, max_threads=2, cache=False)
    else:
        graph.add(dict, "copy", [("x", "x")], [("x", "y")])
        dag = graph.build()
        say("ready")
        if mode == "predict":
            dag.predict({"x": quillon.normal(0.0, 1.0)}, n_samples=10_000_000)
        else:
            dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=10_000_000)
    say("finished")


if __name__ == "__main__":
    main(sys.argv[1])
