"""progress= of execute, predict and predict_at."""

import subprocess
import sys
import textwrap
import time

import pytest

import quillon


def chain(length, pause=0.0):
    graph = quillon.Graph()
    graph.add(lambda d: {"v0": 0.0}, "start", None, [("v0", "v0")])

    def step(d):
        if pause:
            time.sleep(pause)
        return {"out": d["in"] + 1.0}

    for i in range(1, length):
        graph.add(step, f"s{i}", [(f"v{i - 1}", "in")], [("out", f"v{i}")])
    return graph.build()


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, done, total):
        self.calls.append((time.monotonic(), done, total))

    def pairs(self):
        return [(done, total) for _, done, total in self.calls]

    def check(self, total):
        pairs = self.pairs()
        assert pairs and pairs[-1] == (total, total)
        dones = [done for done, _ in pairs]
        assert dones == sorted(dones) and len(set(dones)) == len(dones)
        assert {t for _, t in pairs} == {total}


class TestCallable:
    @pytest.mark.parametrize("parallel", [False, True])
    def test_execute_counts_nodes(self, parallel):
        dag = chain(20, pause=0.02)
        seen = Recorder()
        assert dag.execute(parallel=parallel, progress=seen)["v19"] == 19.0
        seen.check(20)
        assert len(seen.calls) >= 2  # 0.4 s of work shows something before the end

    def test_parallel_level_reports_while_it_runs(self):
        graph = quillon.Graph()
        for i in range(4):
            graph.add(lambda d: (time.sleep(0.1 + 0.1 * d["i"]), {})[1], f"n{i}", [("i", "i")], None)
        dag = graph.build()
        seen = Recorder()
        dag.execute(parallel=True, progress=seen, inputs={"i": 1})
        seen.check(4)

    def test_updates_are_throttled(self):
        dag = chain(60, pause=0.01)
        seen = Recorder()
        start = time.monotonic()
        dag.execute(progress=seen)
        elapsed = time.monotonic() - start
        seen.check(60)
        times = [t for t, _, _ in seen.calls[:-1]]
        assert all(b - a >= 0.09 for a, b in zip(times, times[1:]))
        assert len(seen.calls) <= elapsed / 0.1 + 1

    def test_a_fast_run_reports_only_its_end(self):
        seen = Recorder()
        chain(50).execute(progress=seen)
        assert seen.pairs() == [(50, 50)]

    def test_predict_at_counts_nodes(self):
        seen = Recorder()
        result = chain(5).predict_at({"v0": quillon.normal(0.0, 1.0)}, n_samples=200, progress=seen)
        assert result["v4"] is not None
        seen.check(5)

    def test_predict_at_with_target_still_ends_at_total(self):
        seen = Recorder()
        chain(5).predict_at({"v0": quillon.normal(0.0, 1.0)}, n_samples=50, at_node="s2", progress=seen)
        seen.check(5)

    def test_predict_counts_particle_steps(self):
        seen = Recorder()
        chain(4, pause=0.0005).predict({"v0": quillon.normal(0.0, 1.0)}, n_samples=300, progress=seen)
        seen.check(4 * 300)
        assert len(seen.calls) >= 2

    def test_raising_callable_stops_the_run(self):
        calls = []

        def node(d):
            calls.append(1)
            return {"v": 1.0}

        graph = quillon.Graph()
        graph.add(node, "n", None, [("v", "v")])

        def refuse(done, total):
            raise LookupError("no progress wanted")

        with pytest.raises(LookupError, match="no progress wanted"):
            graph.build().execute(progress=refuse)
        assert calls == [1]  # the end is reported after the node ran

    @pytest.mark.parametrize("bad", [1, "yes", 0.5])
    def test_bad_progress_argument(self, bad):
        dag = chain(2)
        for call in (lambda: dag.execute(progress=bad),
                     lambda: dag.predict({"v0": quillon.normal(0, 1)}, 10, progress=bad),
                     lambda: dag.predict_at({"v0": quillon.normal(0, 1)}, 10, progress=bad)):
            with pytest.raises(TypeError, match="^argument 'progress': expected bool or a callable"):
                call()

    def test_false_and_none_show_nothing(self, capsys):
        dag = chain(3)
        assert dag.execute(progress=False) == dag.execute(progress=None) == dag.execute()
        assert capsys.readouterr().err == ""


class TestShown:
    def test_tqdm_bar(self, capsys):
        pytest.importorskip("tqdm")
        chain(30, pause=0.01).execute(progress=True)
        err = capsys.readouterr().err
        assert "quillon" in err and "30/30" in err and "nodes" in err

    def test_stderr_counter_without_tqdm(self):
        script = textwrap.dedent(
            """
            import sys, time
            sys.modules["tqdm"] = None  # import tqdm now fails
            import quillon
            g = quillon.Graph()
            g.add(lambda d: {"v": 0.0}, "a", None, [("v", "v")])
            for i in range(12):
                g.add(lambda d: (time.sleep(0.02), {"w": d["v"]})[1], f"b{i}", [("v", "v")], [("w", f"w{i}")])
            dag = g.build()
            dag.execute(progress=True)
            dag.predict({"v": quillon.normal(0, 1)}, 10, progress=True)
            """
        )
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
        err = done.stderr.decode()  # \r kept as written
        assert done.returncode == 0, err
        lines = err.split("\n")
        assert lines[0].endswith("\rquillon: 13/13 nodes") and lines[0].startswith("\rquillon: ")
        assert lines[1].endswith("\rquillon: 130/130 particle steps") and lines[2] == ""
