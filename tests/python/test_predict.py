"""Propagating distributions from Python: Dag.predict_at (per node) and
Dag.predict (particles), dist transfers, argument rules and errors."""

import gc
import inspect
import math
import subprocess
import sys
import threading
import time
import tracemalloc

import pytest

import quillon
from conftest import run_threads

MISSING_SAMPLES = (
    "n_samples is required for nodes without an analytical dist_transfer. Pass n_samples=N to predict_at(), "
    "or add a dist_transfer to every node."
)


def counted(function):
    """Wraps a node function and counts its calls."""

    def wrapper(inputs):
        wrapper.calls += 1
        return function(inputs)

    wrapper.calls = 0
    return wrapper


def scale_graph(function=None, transfer=None, outputs=(("y", "y"),)):
    """x -> Scale -> outputs, Scale computing y = 2x unless told otherwise."""
    function = counted(function or (lambda d: {"y": d["x"] * 2}))
    graph = quillon.Graph()
    graph.add(function, "Scale", [("x", "x")], list(outputs))
    if transfer is not None:
        graph.set_dist_transfer("Scale", transfer)
    return graph.build(), function


def within_six_sigma(values, mean, std):
    n = len(values)
    return abs(sum(values) / n - mean) < 6 * std / math.sqrt(n)


class TestRoutes:
    def test_analytical_route_records_only_what_the_transfer_answers(self):
        seen = []

        def transfer(dists):
            seen.append({k: repr(v) for k, v in dists.items()})
            return {"y": quillon.normal(dists["x"].mean * 2, dists["x"].std * 2), "unnamed": quillon.normal(0, 1)}

        dag, function = scale_graph(lambda d: {"y": d["x"] * 2, "z": 1.0}, transfer, [("y", "y"), ("z", "z")])
        stat = dag.predict_at({"x": quillon.normal(1, 3)}, n_samples=100)
        assert seen == [{"x": "Normal(μ=1, σ=3)"}]  # impl names, one call
        assert repr(stat["y"]) == "Normal(μ=2, σ=6)"
        assert stat.keys() == ["x", "y"]  # no Monte Carlo for z, "unnamed" dropped
        assert function.calls == 0

    @pytest.mark.parametrize(
        "answer",
        [
            None,
            {},
            [("y", quillon.normal(0, 1))],
            {"y": 3, "w": "text"},  # no Distribution among the values
            {1: quillon.normal(0, 1), "y": quillon.normal(0, 1)},  # a key that is not a str voids it all
            {"\ud800": quillon.normal(0, 1)},  # a key that is not valid text
            "raise",
        ],
        ids=["none", "empty", "list", "junk-values", "int-key", "surrogate-key", "raises"],
    )
    def test_no_answer_falls_back_to_sampling(self, answer, capfd):
        def transfer(dists):
            if answer == "raise":
                raise RuntimeError("transfer failed")
            return answer

        dag, function = scale_graph(transfer=transfer)
        stat = dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=50)
        assert function.calls == 50 and len(stat["y"].samples) == 50
        assert capfd.readouterr().err == ""  # transfer failures are silent

    def test_partial_junk_in_an_answer_is_skipped(self):
        dag, function = scale_graph(
            lambda d: {"y": 0.0, "z": 0.0},
            lambda d: {"y": quillon.normal(0, 1), "z": 3},
            [("y", "y"), ("z", "z")],
        )
        stat = dag.predict_at({"x": quillon.normal(0, 1)})  # no count needed: the transfer answers
        assert repr(stat["y"]) == "Normal(μ=0, σ=1)" and stat.get("z") is None and function.calls == 0

    def test_transfer_set_for_a_label_reaches_every_node_with_it_and_the_last_wins(self):
        graph = quillon.Graph()
        graph.add(None, "T", [("a", "x")], [("y", "ya")])
        graph.add(None, "T", [("b", "x")], [("y", "yb")])
        graph.set_dist_transfer("T", lambda d: None)
        graph.set_dist_transfer(transfer_fn=lambda d: {"y": quillon.deterministic(d["x"].mean + 1)}, label="T")
        stat = graph.build().predict_at({"a": quillon.normal(1, 1), "b": quillon.normal(5, 1)})
        assert repr(stat["ya"]) == "Deterministic(2)" and repr(stat["yb"]) == "Deterministic(6)"

    def test_deterministic_route(self):
        dag, function = scale_graph(transfer=lambda d: None)
        stat = dag.predict_at({"x": quillon.deterministic(1.5)})
        assert repr(stat["y"]) == "Deterministic(3)" and function.calls == 1

        graph = quillon.Graph()
        graph.add(lambda d: {"a": 3.5, "t": "text", "v": [1.0, 2.0], "i": 7}, "Source", None,
                  [("a", "a"), ("t", "t"), ("v", "v"), ("i", "i")])
        stat = graph.build().predict_at({})
        assert stat.keys() == ["a", "i"]
        assert repr(stat["a"]) == "Deterministic(3.5)" and repr(stat["i"]) == "Deterministic(7)"

    def test_monte_carlo_route(self):
        dag, function = scale_graph()
        stat = dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=1000)
        y = stat["y"].samples
        assert len(y) == 1000 and function.calls == 1000
        assert within_six_sigma(y, 0.0, 2.0)
        assert abs(stat["y"].std - 2.0) < 6 * 2.0 / math.sqrt(2 * 1000)
        assert repr(stat["x"]) == "Normal(μ=0, σ=1)"  # inputs are reported as given
        assert stat.get("y") is not None and dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=0).get("y") is None

    def test_monte_carlo_keeps_only_numeric_draws(self, capfd):
        state = {"n": 0}

        def flaky(d):
            state["n"] += 1
            k = state["n"] % 5
            if k == 0:
                return {"y": "text"}
            if k == 1:
                return {"y": [1.0, 2.0]}  # vectors are not carried here
            if k == 2:
                return {}
            if k == 3:
                raise ValueError("draw failed")
            return {"y": 7}

        dag, _ = scale_graph(flaky)
        stat = dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=100)
        assert stat["y"].samples == [7.0] * 20
        err = capfd.readouterr().err
        # The first three failures in full, then one line for the rest.
        assert err.count("ValueError: draw failed") == 3
        assert err.count("quillon: node 'Scale' (id 0) failed:\n") == 3
        assert err.endswith("quillon: node 'Scale' (id 0) failed on 20 of 100 draws; the rest were not printed\n")

    def test_missing_count_and_unsampleable_inputs_leave_the_dag_usable(self):
        dag, function = scale_graph()
        with pytest.raises(ValueError) as error:
            dag.predict_at({"x": quillon.normal(0, 1)})
        assert str(error.value) == MISSING_SAMPLES
        with pytest.raises(ValueError) as error:
            dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=None)
        assert str(error.value) == MISSING_SAMPLES
        for call in (lambda: dag.predict_at({"x": quillon.uniform(1, 1)}, n_samples=5),
                     lambda: dag.predict({"x": quillon.uniform(1, 1)}, n_samples=5)):
            with pytest.raises(ValueError, match=r"^Uniform::new called with `low >= high`$"):
                call()
        with pytest.raises(ValueError, match=r"^Uniform::new: range overflow$"):
            dag.predict({"x": quillon.uniform(0, math.inf)})
        assert len(dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=3)["y"].samples) == 3
        assert len(dag.predict({"x": quillon.normal(0, 1)}, n_samples=3)["y"].samples) == 3


class TestTargets:
    @staticmethod
    def dag():
        """A (x -> a) on the main line, a branch copy of B (x -> b), a variant
        step V (v0, v1) and a last node Z; every node records its call."""
        order = []

        def node(name, output):
            return lambda d: order.append(name) or {output: 1.0}

        graph = quillon.Graph()
        graph.add(node("A", "a"), "A", [("x", "x")], [("a", "a")])
        sub = quillon.Graph()
        sub.add(node("B", "b"), "B", [("x", "x")], [("b", "b")])
        graph.branch(sub)
        graph.variants([node("V0", "v"), node("V1", "v")], "V", [("a", "a")], [("v", "v")])
        graph.add(node("Z", "z"), "Z", [("v", "v")], [("z", "z")])
        return graph.build(), order

    def run(self, **target):
        dag, order = self.dag()
        stat = dag.predict_at({"x": quillon.deterministic(0)}, **target)
        return order, stat

    def test_stop_targets_and_precedence(self):
        full, _ = self.run()
        # A, the branch copy and the merged B, V0, V1, and Z once per variant.
        assert sorted(full) == ["A", "B", "B", "V0", "V1", "Z", "Z"] and full[-2:] == ["Z", "Z"]
        assert self.run(at_node="A")[0] == ["A"]
        assert self.run(at_node="A", at_branch=1, at_variant=1)[0] == ["A"]
        order, stat = self.run(at_branch=1, at_variant=0)
        assert order[-1] == "B" and "V0" not in order and list(stat.for_branch(1)) == ["b"]
        assert self.run(at_variant=1)[0][-1] == "V1" and "Z" not in self.run(at_variant=1)[0]
        with pytest.warns(quillon.GraphWarning, match="at_node 'nobody' matches no node label"):
            assert self.run(at_node="nobody")[0] == full
        assert self.run(at_node=None, at_branch=None, at_variant=None)[0] == full

    def test_label_carried_by_two_nodes_stops_after_the_later(self):
        graph = quillon.Graph()
        calls = []
        for name in ("first", "middle", "last", "after"):
            label = "S" if name in ("first", "last") else name
            graph.add(lambda d, name=name: calls.append(name) or {}, label)
        graph.build().predict_at({}, at_node="S")
        assert calls == ["first", "middle", "last"]


class TestArguments:
    def test_inputs_rules(self):
        dag, _ = scale_graph()
        cases = [
            (lambda: dag.predict_at([("x", quillon.normal(0, 1))]), TypeError, "^argument 'inputs': expected dict, got list$"),
            (lambda: dag.predict(None), TypeError, "^argument 'inputs': expected dict, got NoneType$"),
            (lambda: dag.predict_at({1: quillon.normal(0, 1)}), TypeError, "^argument 'inputs': expected str, got int$"),
            (lambda: dag.predict({"x": 1.0}), ValueError, r"^Value for key 'x' must be a Distribution$"),
            (
                lambda: dag.predict_at({"x": 1.0}),
                ValueError,
                r"^Value for key 'x' must be a Distribution \(use quillon.normal\(\), quillon.gamma\(\), etc.\)$",
            ),
            # The first offending entry decides.
            (lambda: dag.predict({"ok": quillon.normal(0, 1), "b": None, 3: 1}), ValueError, "^Value for key 'b'"),
            (lambda: dag.predict_at({"ok": quillon.normal(0, 1), 3: 1, "b": None}), TypeError, "^argument 'inputs'"),
            (lambda: dag.predict_at(), TypeError, r"missing 1 required positional argument: 'inputs'"),
        ]
        for call, error, message in cases:
            with pytest.raises(error, match=message):
                call()

    def test_counts_and_targets_convert_before_entries_are_read(self):
        dag, _ = scale_graph()
        bad = {"x": 1.0}  # would raise ValueError if examined
        cases = [
            ({"n_samples": -1}, OverflowError, "can't convert negative int to unsigned"),
            ({"n_samples": 1.5}, TypeError, "^argument 'n_samples': 'float' object cannot be interpreted"),
            ({"at_node": 3}, TypeError, "^argument 'at_node': expected str, got int$"),
            ({"at_branch": -1}, OverflowError, "can't convert negative int to unsigned"),
            ({"at_variant": "0"}, TypeError, "^argument 'at_variant': 'str' object cannot be interpreted"),
        ]
        for kwargs, error, message in cases:
            with pytest.raises(error, match=message):
                dag.predict_at(bad, **kwargs)
        with pytest.raises(TypeError, match="^argument 'n_samples': 'NoneType' object cannot be interpreted"):
            dag.predict(bad, n_samples=None)
        with pytest.raises(OverflowError):
            dag.predict(bad, -5)

    def test_default_particle_count(self):
        dag, function = scale_graph()
        assert len(dag.predict({"x": quillon.normal(0, 1)}).particles) == 1000 and function.calls == 1000

    def test_set_dist_transfer_rules(self):
        graph = quillon.Graph()
        with pytest.raises(TypeError, match="^argument 'label': expected str, got NoneType$"):
            graph.set_dist_transfer(None, lambda d: None)
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'transfer_fn'"):
            graph.set_dist_transfer("A")
        graph.add(lambda d: {"y": d["x"]}, "A", [("x", "x")], [("y", "y")])
        assert graph.set_dist_transfer("A", "not callable") is None  # never answers: sampled instead
        dag = graph.build()
        assert len(dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=4)["y"].samples) == 4
        with pytest.raises(ValueError, match="^Graph has already been built or consumed$"):
            graph.set_dist_transfer("A", lambda d: None)

    def test_docstrings_and_signatures(self):
        assert str(inspect.signature(quillon.Dag.predict)) == "(self, /, inputs, n_samples=Ellipsis)"
        assert str(inspect.signature(quillon.Dag.predict_at)) == (
            "(self, /, inputs, n_samples=Ellipsis, at_node=Ellipsis, at_branch=Ellipsis, at_variant=Ellipsis)"
        )
        assert str(inspect.signature(quillon.Graph.set_dist_transfer)) == "(self, /, label, transfer_fn)"
        assert quillon.Dag.predict.__doc__.startswith(
            "Particle-based forward pass — preserves exact joint distribution structure.\n\n"
            "Runs `n_samples` full end-to-end trajectories through the graph so that\n"
        )
        # The specified text comes first; the keyword-only seed is documented after it.
        for method in (quillon.Dag.predict, quillon.Dag.predict_at):
            assert "\n\nKeyword-only:\n    seed (int | None): " in method.__doc__
        assert '    joint.plot_joint("x", "out")       # 2-D joint PDF\n\nKeyword-only:' in quillon.Dag.predict.__doc__
        assert quillon.Dag.predict_at.__doc__.startswith(
            "Forward-propagate distributions through the graph.\n\nArgs:\n"
            "    inputs (dict[str, Distribution]): Initial distributions keyed by broadcast variable name.\n"
        )
        assert (
            '    # Stop at variant 0\n    stat = dag.predict_at({"x": quillon.normal(0.0, 1.0)}, at_variant=0)\n\n'
            "Keyword-only:" in quillon.Dag.predict_at.__doc__
        )
        assert "If more than one is supplied, ``at_node`` takes precedence, then ``at_branch``,\nthen" in (
            quillon.Dag.predict_at.__doc__
        )
        assert quillon.Graph.set_dist_transfer.__doc__.startswith(
            "Attach an analytical distribution transfer to all nodes with the given label.\n\n"
            "The `transfer_fn` must be a Python callable with signature:\n"
            "  `transfer_fn(input_dists: dict[str, Distribution]) -> dict[str, Distribution] | None`\n"
        )
        assert quillon.Graph.set_dist_transfer.__doc__.endswith('    graph.set_dist_transfer("Scale", scale_dist)')
        dag_methods = [name for name in vars(quillon.Dag) if not name.startswith("__")]
        assert dag_methods[-2:] == ["predict_at", "predict"]
        graph_methods = [name for name in vars(quillon.Graph) if not name.startswith("__")]
        # Methods added later follow it.
        assert graph_methods[graph_methods.index("set_dist_transfer") + 1:] == [
            "set_content_keys", "set_cache_version_from_code", "set_vectorized"]


class TestParticles:
    def test_alignment_and_correlation(self):
        transfer_calls = []
        dag, function = scale_graph(
            lambda d: {"y": d["x"] ** 2, "w": 3 * d["x"] + 1},
            lambda d: transfer_calls.append(d) or {"y": quillon.normal(0, 1)},
            [("y", "y"), ("w", "w")],
        )
        stat = dag.predict({"x": quillon.normal(0, 1)}, n_samples=1000)
        assert transfer_calls == [] and function.calls == 1000  # transfers are never consulted here
        particles = stat.particles
        assert all(p["y"] == p["x"] ** 2 and p["w"] == 3 * p["x"] + 1 for p in particles)
        assert stat["x"].samples == [p["x"] for p in particles]
        assert stat["y"].samples == [p["y"] for p in particles]
        assert within_six_sigma(stat["y"].samples, 1.0, math.sqrt(2.0))

        xs, ws = stat["x"].samples, stat["w"].samples
        mx, mw = sum(xs) / len(xs), sum(ws) / len(ws)
        cov = sum((a - mx) * (b - mw) for a, b in zip(xs, ws))
        corr = cov / math.sqrt(sum((a - mx) ** 2 for a in xs) * sum((b - mw) ** 2 for b in ws))
        assert corr == pytest.approx(1.0, abs=1e-12)

    def test_output_missing_on_some_particles_stays_with_its_own_particles(self):
        """Values are recorded on the particles that produced them, never
        shifted onto the first particles."""
        dag, _ = scale_graph(lambda d: {"y": d["x"]} if d["x"] > 0 else {})
        stat = dag.predict({"x": quillon.normal(0, 1)}, n_samples=400)
        with_y = [p for p in stat.particles if "y" in p]
        assert 0 < len(with_y) < 400
        assert all(p["y"] == p["x"] > 0 for p in with_y)
        assert all(p["x"] <= 0 for p in stat.particles if "y" not in p)
        assert stat["y"].samples == [p["y"] for p in with_y]

    def test_branch_copy_writes_only_its_qualified_key(self):
        """A main-line node reading the plain name never sees the branch
        copy's value. The subgraph is present twice: merged into the main
        line (it runs first) and as the branch copy (it runs next). Its node
        answers only on the branch copy's 50 calls, so the plain y stays the
        main line's x + 100."""
        state = {"calls": 0}

        def branch_node(d):
            state["calls"] += 1
            return {"y": -1.0} if state["calls"] > 50 else {}

        seen = []
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"] + 100}, "Main", [("x", "x")], [("y", "y")])
        sub = quillon.Graph()
        sub.add(branch_node, "Copy", [("x", "x")], [("y", "y")])
        graph.branch(sub)
        graph.add(lambda d: seen.append(d["y"]) or {"z": d["y"]}, "Read", [("y", "y")], [("z", "z")])
        stat = graph.build().predict({"x": quillon.normal(0, 1)}, n_samples=50)
        assert stat.for_branch(1)["y"].samples == [-1.0] * 50  # the calls that answered were the copy's
        for p in stat.particles:
            assert p["__branch_1__y"] == -1.0
            assert p["y"] == p["z"] == p["x"] + 100
        assert seen == [p["x"] + 100 for p in stat.particles]
        assert stat.keys() == ["x", "y", "z"]

    def test_vectors_travel_as_length_and_elements(self):
        received = []
        graph = quillon.Graph()
        graph.add(lambda d: {"v": [d["x"], 2 * d["x"], 7]}, "Vec", [("x", "x")], [("v", "v")])
        graph.add(lambda d: received.append(d["v"]) or {"s": sum(d["v"])}, "Sum", [("v", "v")], [("s", "s")])
        stat = graph.build().predict({"x": quillon.normal(0, 1)}, n_samples=20)
        for p, v in zip(stat.particles, received):
            assert p["__veclen__v"] == 3.0
            assert [p["v[0]"], p["v[1]"], p["v[2]"]] == v == [p["x"], 2 * p["x"], 7.0]
            assert p["s"] == sum(v)
        assert stat["v"].samples == stat["v[0]"].samples
        assert set(stat.keys()) == {"x", "v", "__veclen__v", "v[0]", "v[1]", "v[2]", "s"}

    def test_vector_length_beyond_memory_fails_in_order(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"n": len(d["v"])}, "Len", [("v", "v"), ("v[0]", "first")], [("n", "n")])
        dag = graph.build()
        stat = dag.predict({"__veclen__v": quillon.deterministic(3), "v[0]": quillon.normal(0, 1)}, n_samples=2)
        assert stat["n"].samples == [3.0, 3.0]  # missing elements read as NaN
        with pytest.raises(ValueError, match="^vector length 18446744073709551615 of 'v' is too large$"):
            dag.predict({"__veclen__v": quillon.deterministic(1e30), "v[0]": quillon.normal(0, 1)}, n_samples=2)

    def test_a_later_writer_on_some_particles_keeps_the_others_values(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": 1.0}, "All", [("x", "x")], [("y", "y")])
        graph.add(lambda d: {"y": 2.0} if d["x"] > 0 else {}, "Some", [("x", "x"), ("y", "y")], [("y", "y")])
        stat = graph.build().predict({"x": quillon.normal(0, 1)}, n_samples=200)
        assert [p["y"] for p in stat.particles] == [2.0 if p["x"] > 0 else 1.0 for p in stat.particles]
        assert stat["y"].samples == [2.0] * sum(p["x"] > 0 for p in stat.particles)
        assert all(set(p) == {"x", "y"} for p in stat.particles)

    def test_long_vector_outputs_stay_compact(self):
        # 17,600 elements on 3,000 particles: 52.8 million values, kept as
        # columns of doubles rather than one map entry each.
        # The child's own peak: a fresh process can inherit the peak of the
        # process it was forked from, so the peak is reset first where Linux
        # allows it and read from /proc.
        code = (
            "import quillon\n"
            "try:\n"
            "    open('/proc/self/clear_refs', 'w').write('5')\n"
            "except OSError:\n"
            "    pass\n"
            "graph = quillon.Graph()\n"
            "graph.add(lambda d: {'v': [d['x'] + j for j in range(17600)]}, 'Vec', [('x', 'x')], [('v', 'v')])\n"
            "stat = graph.build().predict({'x': quillon.normal(0.0, 1.0)}, n_samples=3000)\n"
            "assert stat['v[17599]'].samples[:3] == [x + 17599 for x in stat['x'].samples[:3]]\n"
            "status = open('/proc/self/status').read()\n"
            "print(int(status.split('VmHWM:')[1].split()[0]))\n"
        )
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        peak_kib = int(done.stdout.split()[-1])
        assert peak_kib < 1024 * 1024, f"peak {peak_kib // 1024} MiB"

    def test_sources_and_zero_particles(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"c": 2}, "Const", None, [("c", "c")])
        graph.add(lambda d: {"y": d["x"] + d["c"]}, "Add", [("x", "x"), ("c", "c")], [("y", "y")])
        dag = graph.build()
        stat = dag.predict({"x": quillon.normal(0, 1)}, n_samples=5)
        assert stat["c"].samples == [2.0] * 5
        assert all(p["y"] == p["x"] + 2 for p in stat.particles)
        empty = dag.predict({"x": quillon.normal(0, 1)}, n_samples=0)
        assert empty.particles == [] and empty["x"].samples == [] and empty["c"].samples == []
        assert empty.get("y") is None


class TestThreadsAndReferences:
    def test_gil_is_released_during_the_engine_run(self):
        """Another thread advances between two Python nodes separated by a
        long stretch of engine-only sampling (nodes without a callable).
        Involuntary switches are off, so only an explicit release lets it run."""
        started, stop = threading.Event(), threading.Event()
        counter = [0]

        def spin():
            started.set()
            while not stop.is_set():
                counter[0] += 1
                time.sleep(0)

        marks = []
        graph = quillon.Graph()
        graph.add(lambda d: marks.append(counter[0]) or {}, "first")
        for i in range(20):
            graph.add(None, f"quiet{i}", [("x", "x")], None)
        graph.add(lambda d: marks.append(counter[0]) or {}, "last")
        dag = graph.build()

        for run in (lambda: dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=20_000),
                    lambda: dag.predict({"x": quillon.normal(0, 1)}, n_samples=20_000)):
            marks.clear()
            interval = sys.getswitchinterval()
            sys.setswitchinterval(1000.0)
            stop.clear()
            spinner = threading.Thread(target=spin)
            try:
                spinner.start()
                assert started.wait(10)
                run()
            finally:
                stop.set()
                spinner.join(timeout=10)
                sys.setswitchinterval(interval)
            assert marks[1] > marks[0]

    def test_concurrent_and_reentrant_runs_share_the_dag(self):
        dag, _ = scale_graph()
        errors, sizes = [], []

        def worker(_):
            try:
                for _ in range(20):
                    sizes.append(len(dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=50)["y"].samples))
                    sizes.append(len(dag.predict({"x": quillon.normal(0, 1)}, n_samples=50).particles))
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        run_threads(worker, 3)
        assert errors == [] and sizes == [50] * 120

        graph = quillon.Graph()
        graph.add(lambda d: {"r": dag.predict_at({"x": quillon.deterministic(d["x"])})["y"].mean}, "Outer",
                  [("x", "x")], [("r", "r")])
        assert graph.build().predict({"x": quillon.deterministic(4)}, n_samples=2)["r"].samples == [8.0, 8.0]

    def test_transfers_leave_no_references_behind(self):
        answer = quillon.normal(1, 2)
        kept = []

        def transfer(dists):
            kept.append(dists["x"]) if len(kept) < 3 else None
            return {"y": answer, "z": dists["x"]}

        dag, _ = scale_graph(transfer=transfer, outputs=[("y", "y"), ("z", "z")])
        inputs = {"x": quillon.normal(0, 1)}
        dag.predict_at(inputs)  # warm-up
        gc.collect()
        before = [sys.getrefcount(o) for o in (answer, transfer, inputs["x"])]
        tracemalloc.start()
        try:
            snapshot = tracemalloc.take_snapshot()
            for _ in range(3000):
                stat = dag.predict_at(inputs)
            del stat
            gc.collect()
            grown = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(snapshot, "filename"))
        finally:
            tracemalloc.stop()
        assert [sys.getrefcount(o) for o in (answer, transfer, inputs["x"])] == before
        assert grown < 64 * 1024
        # Distributions a transfer keeps stay valid after the run.
        assert [repr(d) for d in kept] == ["Normal(μ=0, σ=1)"] * 3
        del dag
        gc.collect()
        assert sys.getrefcount(transfer) < before[1]
