"""Runs stop when asked: KeyboardInterrupt and other exceptions that are not
an Exception, raised in a node, a dist transfer or a signal handler, end the
run at once and reach the caller; ordinary failures name their node."""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import quillon

WORKER = os.path.join(os.path.dirname(__file__), "interrupt_worker.py")


class Stop(BaseException):
    """A BaseException of the user's own, neither Exception nor a builtin."""


def chain(*functions, cached=False):
    """A graph of nodes a -> b -> c ... over one variable, labelled n0, n1, ..."""
    graph = quillon.Graph()
    for i, function in enumerate(functions):
        graph.add(function, f"n{i}", None if i == 0 else [(f"v{i - 1}", "v")], [("v", f"v{i}")])
        if cached:
            graph.set_cache_version(f"n{i}", "1")
    return graph


class TestStoppingExceptions:
    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit, Stop])
    @pytest.mark.parametrize("parallel", [False, True])
    def test_stops_the_run_and_reaches_the_caller(self, error, parallel, capsys):
        calls = []

        def stop(inputs):
            calls.append("stop")
            raise error()

        graph = chain(lambda d: calls.append("first") or {"v": 1.0}, stop, lambda d: calls.append("after") or {"v": 3.0})
        with pytest.raises(error):
            graph.build().execute(parallel=parallel)
        assert calls == ["first", "stop"]
        assert capsys.readouterr().err == ""  # raised, not printed

    def test_the_caller_receives_the_very_exception_with_its_traceback(self):
        raised = KeyboardInterrupt("from the node")

        def stop(inputs):
            raise raised

        with pytest.raises(KeyboardInterrupt) as caught:
            chain(stop).build().execute()
        assert caught.value is raised
        frames = []
        tb = caught.value.__traceback__
        while tb is not None:
            frames.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        assert "stop" in frames

    def test_completed_nodes_stay_cached_and_the_interrupted_one_is_not_stored(self):
        state = {"stop": True, "calls": []}

        def second(inputs):
            state["calls"].append("second")
            if state["stop"]:
                raise KeyboardInterrupt
            return {"v": inputs["v"] + 1}

        dag = chain(lambda d: state["calls"].append("first") or {"v": 1.0}, second, cached=True).build()
        with pytest.raises(KeyboardInterrupt):
            dag.execute()
        state["stop"] = False
        result = dag.execute(detailed=True)
        assert result["context"] == {"v0": 1.0, "v1": 2.0}
        statuses = result["node_cache"]
        assert statuses[0]["hit"] is True
        assert statuses[1]["hit"] is False and statuses[1]["stored"] is True
        assert state["calls"] == ["first", "second", "second"]

    def test_a_parallel_level_lets_running_calls_finish_and_starts_no_new_one(self):
        started, finished = [], []
        running, gate = threading.Event(), threading.Event()

        def slow(inputs):
            started.append("slow")
            running.set()
            gate.wait(10)
            finished.append("slow")
            return {"s": 1.0}

        def stop(inputs):
            # Raised while the other call of the chunk is under way.
            running.wait(10)
            started.append("stop")
            gate.set()
            raise KeyboardInterrupt

        graph = quillon.Graph()
        graph.add(slow, "slow", None, [("s", "s")])
        graph.add(stop, "stop", None, [("t", "t")])
        for i in range(6):  # later chunks of the same level, and a level behind
            graph.add(lambda d, i=i: started.append(i) or {"u": 1.0}, f"late{i}", None, [("u", f"u{i}")])
        graph.add(lambda d: started.append("next") or {}, "next", [("s", "s")], None)
        with pytest.raises(KeyboardInterrupt):
            graph.build().execute(parallel=True, max_threads=2)
        assert sorted(started, key=str) == ["slow", "stop"]
        assert finished == ["slow"]

    def test_claims_of_an_interrupted_run_are_released_for_waiting_runs(self):
        backend = quillon.MemoryCache()
        entered, release = threading.Event(), threading.Event()
        calls = []

        def node(inputs):
            calls.append(threading.current_thread().name)
            if threading.current_thread().name == "first":
                entered.set()
                release.wait(10)
                raise KeyboardInterrupt
            return {"v": 2.0}

        graph = quillon.Graph()
        graph.add(node, "node", None, [("v", "v")])
        graph.set_cache_version("node", "1")
        dag = graph.build()
        outcome = {}

        def first():
            try:
                dag.execute(cache_backend=backend)
            except KeyboardInterrupt:
                outcome["first"] = "interrupted"

        def second():
            entered.wait(10)
            outcome["second"] = dag.execute(cache_backend=backend)

        threads = [threading.Thread(target=first, name="first"), threading.Thread(target=second, name="second")]
        for t in threads:
            t.start()
        entered.wait(10)
        time.sleep(0.1)  # the second run is now waiting for the first one's claim
        release.set()
        for t in threads:
            t.join(20)
        assert not any(t.is_alive() for t in threads)
        assert outcome == {"first": "interrupted", "second": {"v": 2.0}}
        assert calls == ["first", "second"]

    def test_predictions_and_transfers_stop_too(self):
        def scale(inputs):
            return {"y": inputs["x"] * 2}

        def stop(inputs):
            raise KeyboardInterrupt

        graph = quillon.Graph()
        graph.add(stop, "stop", [("x", "x")], [("y", "y")])
        dag = graph.build()
        with pytest.raises(KeyboardInterrupt):
            dag.predict({"x": quillon.normal(0, 1)}, n_samples=10)
        with pytest.raises(KeyboardInterrupt):
            dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=10)

        graph = quillon.Graph()
        graph.add(scale, "scale", [("x", "x")], [("y", "y")])
        graph.set_dist_transfer("scale", stop)
        with pytest.raises(KeyboardInterrupt):
            graph.build().predict_at({"x": quillon.normal(0, 1)}, n_samples=10)

    def test_ordinary_exceptions_in_transfers_still_fall_back_to_sampling(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"] * 2}, "scale", [("x", "x")], [("y", "y")])
        graph.set_dist_transfer("scale", lambda d: 1 / 0)
        stat = graph.build().predict_at({"x": quillon.normal(1, 0.1)}, n_samples=200)
        assert abs(stat["y"].mean - 2.0) < 0.1


def run_and_interrupt(mode):
    """Starts the worker in `mode`, sends SIGINT a little after it is under
    way, and returns (seconds from the last call's end, or from the signal
    when no call was running, to the exit; the worker's output lines; the
    time the signal was sent; its stderr; its return code)."""
    child = subprocess.Popen(
        [sys.executable, WORKER, mode], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
        exited = time.monotonic()
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    lines = out.splitlines()
    ends = [float(line.split()[2]) for line in lines if line.startswith("call ")]
    last = max([sent] + ends)
    return exited - last, lines, sent, err, child.returncode


@pytest.mark.parametrize("mode", ["sequential", "parallel", "waiting", "predict", "predict_at"])
def test_sigint_stops_a_run_within_half_a_second_of_the_current_call(mode):
    latency, lines, sent, err, code = run_and_interrupt(mode)
    assert "finished" not in lines
    assert code == -signal.SIGINT, err
    assert err.rstrip().endswith("KeyboardInterrupt"), err
    assert latency < 0.5, latency
    # No call starts once the signal is seen (the engine looks every few ms).
    starts = [float(line.split()[1]) for line in lines if line.startswith("call ")]
    assert all(start < sent + 0.05 for start in starts), (starts, sent)
    print(f"{mode}: exited {latency * 1000:.0f} ms after the current call ended")


class TestFailuresNameTheirNode:
    def test_a_shared_function_names_each_node_it_fails_for(self, capsys):
        def fail(inputs):
            raise ValueError("bad")

        graph = quillon.Graph()
        graph.add(fail, "Fit", None, [("v", "a")])
        graph.add(fail, None, None, [("v", "b")])
        graph.add(lambda d: [], "Junk", None, [("v", "c")])
        graph.build().execute()
        err = capsys.readouterr().err
        headers = [line for line in err.splitlines() if line.startswith("quillon:")]
        assert headers == [
            "quillon: node 'Fit' (id 0) failed:",
            "quillon: node <unlabelled> (id 1) failed:",
            "quillon: node 'Junk' (id 2) failed:",
        ]
        # Each header directly precedes the failure's own lines.
        assert "quillon: node 'Fit' (id 0) failed:\nTraceback (most recent call last):\n" in err
        assert "quillon: node 'Junk' (id 2) failed:\nError: Python function did not return a dict\n" in err

    def test_parallel_failures_keep_header_and_traceback_together(self, capsys):
        graph = quillon.Graph()
        for i in range(8):
            graph.add(lambda d, i=i: (_ for _ in ()).throw(ValueError(f"failure {i}")), f"f{i}", None, [("v", f"v{i}")])
        graph.build().execute(parallel=True)
        err = capsys.readouterr().err
        blocks = err.split("quillon: node ")[1:]
        assert len(blocks) == 8
        for block in blocks:
            label = block.split("'")[1]
            assert block.rstrip().endswith(f"ValueError: failure {label[1:]}")

    def test_monte_carlo_prints_three_failures_per_node_and_sums_up_the_rest(self, capfd):
        import math

        graph = quillon.Graph()
        graph.add(lambda d: {"r": math.sqrt(d["x"])}, "Sqrt", [("x", "x")], [("r", "r")])
        graph.add(lambda d: {"q": 1 / 0 if d.get("r", 0.0) > 2.9 else 0.0}, "Rare", [("r", "r")], [("q", "q")])
        dag = graph.build()
        for run in (lambda: dag.predict({"x": quillon.normal(0.0, 1.0)}, n_samples=4000),
                    lambda: dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=4000)):
            stat = run()
            err = capfd.readouterr().err
            assert err.count("quillon: node 'Sqrt' (id 0) failed:\n") == 3
            assert err.count("ValueError: math domain error") == 3
            summary = [line for line in err.splitlines() if " draws; " in line]
            failed = 4000 - len(stat["r"].samples)
            assert 1500 < failed < 2500
            assert summary == [f"quillon: node 'Sqrt' (id 0) failed on {failed:,} of 4,000 draws; the rest were not printed"]
            # Rare fails at most a few times: printed in full, no summary.
            assert err.count("quillon: node 'Rare' (id 1) failed:\n") <= 3
