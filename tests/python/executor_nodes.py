"""Node functions for test_executor.py, importable by executor workers.

Process-pool and Dask workers receive node callables by reference, so the
functions live in a module of their own that workers import from the tests
folder (on their PYTHONPATH or sys.path), without pytest or the tests.

Run as a script (executor_nodes.py MODE ARG...), it is the child process of
the tests that must not take the test process down with them:
- lost DIR: a run on a process pool in which one node kills its own worker;
  prints the detailed report as JSON.
- interrupt DIR WORKERS: a run of slow nodes on a pool of two processes
  (WORKERS "processes") or one thread ("threads"); prints "ready" once
  the pool is up, "interrupted T" when KeyboardInterrupt reaches the caller
  (monotonic seconds) and "shut down" once the pool has finished what it
  still ran. The workers print "started I" as calls begin.
"""

import json
import os
import sys
import time

# --- Nodes of the random graphs --------------------------------------------


def combine(inputs):
    """A value depending on every input it is given (and on which are absent)."""
    total = 0.0
    for name in sorted(inputs):
        value = inputs[name]
        if isinstance(value, (int, float)):
            total = total * 1.5 + value
        elif isinstance(value, str):
            total += len(value)
        elif isinstance(value, list):
            total += sum(value)
    return {"o1": round(total + len(inputs), 9), "o2": "+".join(sorted(inputs)) or "-"}


def listing(inputs):
    """A list output and a float."""
    values = [inputs[name] for name in sorted(inputs) if isinstance(inputs[name], float)]
    return {"o1": float(len(values)), "o2": values + [0.25]}


def partial(inputs):
    """Produces only one of its two outputs."""
    return {"o1": float(len(inputs)) + 0.5}


def fails(inputs):
    raise ValueError(f"refused {len(inputs)} inputs")


def fails_when_big(inputs):
    """Fails depending on the values it is given."""
    total = sum(value for value in inputs.values() if isinstance(value, float))
    if total > 4.0:
        raise ArithmeticError(f"too big: {total}")
    return {"o1": total * 2.0, "o2": total - 1.0}


def not_a_dict(inputs):
    return [1.0]


def seen(inputs):
    """Reports which inputs it was given."""
    return {"o1": "+".join(sorted(inputs)) or "-", "o2": float(len(inputs))}


# --- Nodes of the single-purpose tests -------------------------------------


def raises_on_worker(inputs):
    raise LookupError("no such entry on the worker")


def source(inputs):
    return {"x": 2.0}


def double(inputs):
    return {"y": inputs["x"] * 2.0}


def where(inputs):
    """Which process made the call."""
    return {"pid": os.getpid()}


def touch(inputs):
    """Creates the file `inputs["path"]`."""
    with open(inputs["path"], "w"):
        pass
    return {"touched": 1.0}


def record_call(inputs):
    """Appends one line to DIR/LABEL and returns after a short while."""
    with open(os.path.join(inputs["dir"], inputs["label"]), "a") as f:
        f.write(f"{os.getpid()}\n")
    time.sleep(0.05)
    return {"v": float(len(inputs["label"]))}


def kill_worker(inputs):
    """Ends its own worker process at once."""
    os._exit(3)


def kill_worker_once(inputs):
    """Ends its worker the first time (a marker file remembers), then answers."""
    marker = inputs["marker"]
    if not os.path.exists(marker):
        with open(marker, "w"):
            pass
        os._exit(3)
    return {"y": inputs["x"] + 1.0}


def slow(inputs):
    """Notes its start in DIR, says so on stdout and sleeps."""
    index = inputs["index"]
    with open(os.path.join(inputs["dir"], f"started{index}"), "w"):
        pass
    os.write(1, f"started {index}\n".encode())
    time.sleep(1.2)
    return {"v": float(index)}


def after(inputs):
    with open(os.path.join(inputs["dir"], "after"), "w"):
        pass
    return {}


# Unpickled-copies counter of Counted callables, per tag, in this process.
unpickled = {}


def _revive(tag, ballast):
    unpickled[tag] = unpickled.get(tag, 0) + 1
    return Counted(tag, ballast)


class Counted:
    """A node callable that counts, in each process, how many times a copy of
    it was unpickled there, and reports the count with its process id. Its
    pickled form carries `ballast` (bytes) along."""

    def __init__(self, tag, ballast=b""):
        self.tag = tag
        self.ballast = ballast

    def __reduce__(self):
        return (_revive, (self.tag, self.ballast))

    def __call__(self, inputs):
        return {"pid": os.getpid(), "count": unpickled.get(self.tag, 0)}


class Unpicklable:
    """A node callable that refuses to be pickled."""

    def __reduce__(self):
        raise TypeError("this callable stays where it is")

    def __call__(self, inputs):
        return {"v": 1.0}


# --- Child processes -------------------------------------------------------


def _jsonable(report):
    return json.loads(json.dumps(report, default=repr, sort_keys=True), object_hook=dict)


def lost(directory):
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    import quillon

    graph = quillon.Graph()
    graph.add(source, "source", None, [("x", "x")])
    graph.add(kill_worker, "killer", [("x", "x")], [("y", "y")])
    graph.add(double, "double", [("x", "x")], [("y", "y2")])
    graph.add(seen, "reader", [("y", "y")], [("o1", "seen")])
    dag = graph.build()
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        report = dag.execute(detailed=True, executor=pool)
    print(json.dumps(_jsonable(report)), flush=True)


SLOW_NODES = 10


def interrupt(directory, workers):
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

    import quillon

    graph = quillon.Graph()
    for index in range(SLOW_NODES):
        graph.add(slow, f"slow{index}", [("dir", "dir"), (f"i{index}", "index")], [("v", f"v{index}")])
    graph.add(after, "after", [("dir", "dir"), ("v0", "v0"), ("v1", "v1")], None)
    dag = graph.build()
    inputs = {"dir": directory, **{f"i{index}": index for index in range(SLOW_NODES)}}
    if workers == "processes":
        pool = ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))
        # Workers up before the run, so that the signal finds calls under way.
        list(pool.map(abs, [1, 2]))
    else:
        pool = ThreadPoolExecutor(1)
    os.write(1, b"ready\n")
    try:
        dag.execute(cache=False, inputs=inputs, executor=pool)
    except KeyboardInterrupt:
        os.write(1, f"interrupted {time.monotonic()}\n".encode())
    else:
        os.write(1, b"finished\n")
    pool.shutdown(wait=True)
    os.write(1, b"shut down\n")


if __name__ == "__main__":
    import executor_nodes  # by module name, so that workers import the same functions

    getattr(executor_nodes, sys.argv[1])(*sys.argv[2:])
