"""Running a Dag: options, results, node callables, threads, queries."""

import sys
import threading
import time

import pytest
from hypothesis import given, strategies as st

import quillon
from conftest import run_one, run_threads


def source_graph():
    graph = quillon.Graph()
    graph.add(lambda d: {"x": 1.0}, "Source", None, [("x", "data")])
    graph.add(lambda d: {"y": d["x"] * 2}, "Scale", [("data", "x")], [("y", "out")])
    return graph


class TestExecuteArguments:
    @pytest.mark.parametrize("kwargs, error, text", [
        ({"parallel": 1}, TypeError, "^argument 'parallel': expected bool, got int$"),
        ({"parallel": None}, TypeError, "^argument 'parallel': "),
        ({"cache": "yes"}, TypeError, "^argument 'cache': expected bool, got str$"),
        ({"detailed": 0}, TypeError, "^argument 'detailed': "),
        ({"cache_depth": "Shallow"}, ValueError, "^cache_depth must be one of: none, shallow, transitive$"),
        ({"cache_depth": None}, TypeError, "^argument 'cache_depth': expected str, got NoneType$"),
        ({"cache_namespace": 3}, TypeError, "^argument 'cache_namespace': "),
        ({"cache_backend": {}}, TypeError, "^argument 'cache_backend': expected MemoryCache or DiskCache, got dict$"),
        ({"max_threads": 1.0}, TypeError, "^argument 'max_threads': 'float' object cannot be interpreted"),
        ({"max_threads": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"max_threads": 2**64}, OverflowError, "too big"),
    ])
    def test_rejected_before_anything_runs(self, kwargs, error, text):
        calls = []
        graph = quillon.Graph()
        graph.add(lambda d: calls.append(1) or {}, "n")
        dag = graph.build()
        with pytest.raises(error, match=text):
            dag.execute(**kwargs)
        assert calls == []
        dag.execute()
        assert calls == [1]

    def test_positional_arguments(self):
        dag = source_graph().build()
        result = dag.execute(False, None, True, "shallow", "ns", None, True)
        assert result["context"] == {"data": 1.0, "out": 2.0}

    @pytest.mark.parametrize("max_threads", [None, 0, 1, 2, 100])
    def test_parallel_runs_agree_with_sequential(self, max_threads):
        graph = quillon.Graph()
        graph.add(lambda d: {"x": 1.0}, "s", None, [("x", "x")])
        for i in range(5):
            graph.add(lambda d, i=i: {"y": d["x"] + i}, f"w{i}", [("x", "x")], [("y", f"y{i}")])
        graph.add(lambda d: {"t": sum(d.values())}, "sum", [(f"y{i}", f"y{i}") for i in range(5)], [("t", "t")])
        dag = graph.build()
        expected = dag.execute()
        assert expected["t"] == 15.0
        assert dag.execute(parallel=True, max_threads=max_threads) == expected

    @pytest.mark.parametrize("cached", [False, True])
    def test_a_level_applies_its_nodes_in_level_order(self, cached):
        # Two nodes of one level write "v"; the first one finishes last. The
        # later node's value wins in a parallel run as in a sequential one.
        def slow(d):
            time.sleep(0.05)
            return {"v": "first"}
        graph = quillon.Graph()
        graph.add(slow, "Slow", None, [("v", "v")])
        graph.add(lambda d: {"v": "second"}, "Fast", None, [("v", "v")])
        if cached:
            graph.set_cache_version("Slow", "1")
            graph.set_cache_version("Fast", "1")
        dag = graph.build()
        assert dag.execute(cache=False) == {"v": "second"}
        for max_threads in (None, 2):
            assert dag.execute(parallel=True, max_threads=max_threads, cache=False) == {"v": "second"}
        if cached:
            assert dag.execute(parallel=True)["v"] == "second"  # computed and stored
            assert dag.execute(parallel=True, detailed=True)["cache_stats"]["hits"] == 2
            assert dag.execute(parallel=True)["v"] == "second"  # both served from the cache


class TestResults:
    def test_plain_result_is_the_context(self):
        assert source_graph().build().execute() == {"data": 1.0, "out": 2.0}

    def test_context_lists_values_in_the_order_they_arose(self):
        graph = quillon.Graph()
        # Added first, runs second.
        graph.add(lambda d: {"y": d["x"] + 1}, "Late", [("early", "x")], [("y", "late")])
        graph.add(lambda d: {"x": 1.0}, "Early", None, [("x", "early")])
        dag = graph.build()
        for parallel in (False, True):
            assert list(dag.execute(parallel=parallel)) == ["early", "late"]
        # A run on another backend reports the same context.
        assert dag.execute(cache_backend=quillon.MemoryCache()) == {"early": 1.0, "late": 2.0}

    def test_detailed_result_shape_without_versions(self):
        result = source_graph().build().execute(detailed=True)
        assert list(result) == ["context", "cache_stats", "node_cache", "node_runs"]
        assert result["context"] == {"data": 1.0, "out": 2.0}
        stats = result["cache_stats"]
        assert list(stats) == ["hits", "misses", "stores", "reason_counts"]
        assert stats == {"hits": 0, "misses": 2, "stores": 0, "reason_counts": {"missing_version": 2}}
        assert set(result["node_cache"]) == {0, 1}
        for status in result["node_cache"].values():
            assert list(status) == ["hit", "stored", "reason", "category", "cache_key"]
            assert status == {"hit": False, "stored": False, "reason": "missing_version",
                              "category": "incompatibility", "cache_key": None}

    def test_cache_disabled_reports(self):
        graph = source_graph()
        graph.set_cache_version("Source", "1")
        dag = graph.build()
        for kwargs in ({"cache": False}, {"cache_depth": "none"}):
            result = dag.execute(detailed=True, **kwargs)
            assert result["cache_stats"]["hits"] == 0
            for status in result["node_cache"].values():
                assert status["reason"] == "disabled" and status["category"] == "miss"
                assert status["cache_key"] is None

    def test_second_run_hits(self):
        graph = source_graph()
        graph.set_cache_version("Source", "1")
        graph.set_cache_version("Scale", "1")
        dag = graph.build()
        first = dag.execute(detailed=True)
        assert all(s["reason"] == "not_found" and s["stored"] for s in first["node_cache"].values())
        second = dag.execute(detailed=True)
        assert second["cache_stats"] == {"hits": 2, "misses": 0, "stores": 0, "reason_counts": {}}
        for node_id, status in second["node_cache"].items():
            assert status["hit"] and status["category"] == "hit" and status["reason"] is None
            assert status["cache_key"] == first["node_cache"][node_id]["cache_key"]
            assert len(status["cache_key"]) == 64
        assert second["context"] == first["context"]

class TestNodeCallables:
    def test_non_string_keys_are_skipped(self):
        assert run_one(lambda d: {1: 2.0, "v": 3}) == {"v": 3.0}
        assert run_one(lambda d: {"\ud800": 1.0, "v": 1.0}) == {"v": 1.0}

    def test_one_callable_serves_nodes_with_different_names(self):
        def total(inputs):
            return {"sum": sum(inputs.values()), "names": ",".join(sorted(inputs))}

        graph = quillon.Graph()
        graph.add(lambda d: {"x": 1.0, "y": 2.0}, "src", None, [("x", "x"), ("y", "y")])
        graph.add(total, "one", [("x", "a")], [("sum", "s1"), ("names", "n1")])
        graph.add(total, "two", [("x", "b"), ("y", "c")], [("sum", "s2"), ("names", "n2")])
        graph.add(total, "three", [("s1", "a"), ("s2", "z")], [("sum", "s3")])
        dag = graph.build()
        for parallel in (False, True):
            result = dag.execute(parallel=parallel)
            assert result["n1"] == "a" and result["n2"] == "b,c"
            assert (result["s1"], result["s2"], result["s3"]) == (1.0, 3.0, 4.0)

    def test_outputs_the_node_does_not_map_are_never_converted(self):
        touched = []

        class Watched:
            def __len__(self):
                touched.append("len")
                return 1

            def __getitem__(self, index):
                touched.append("item")
                if index:
                    raise IndexError(index)
                return 1.0

        assert run_one(lambda d: {"v": 1.0, "unmapped": Watched()}) == {"v": 1.0}
        assert touched == []

    def test_surrogate_names_are_refused_at_add(self):
        with pytest.raises(UnicodeEncodeError):
            quillon.Graph().add(None, None, [("\ud800", "x")])

    def test_non_dict_result(self, capsys):
        assert run_one(lambda d: [1]) == {}
        assert run_one(lambda d: None) == {}
        header = "quillon: node 'source' (id 0) failed:\n"
        assert capsys.readouterr().err == (header + "Error: Python function did not return a dict\n") * 2

    def test_raising_callable_prints_traceback(self, capsys):
        def broken(inputs):
            raise KeyError("missing thing")

        result = run_one(broken)
        err = capsys.readouterr().err
        assert result == {}
        assert err.startswith("quillon: node 'source' (id 0) failed:\nTraceback (most recent call last):")
        assert "in broken" in err and err.endswith("KeyError: 'missing thing'\n")
        assert not hasattr(sys, "last_value") or not isinstance(sys.last_value, KeyError)

    def test_callable_needing_two_arguments(self, capsys):
        assert run_one(lambda inputs, params: {"v": 1.0}) == {}
        assert "TypeError" in capsys.readouterr().err

    def test_system_exit_in_a_node_stops_the_run_and_reaches_the_caller(self, capsys):
        def leave(inputs):
            sys.exit(3)

        for parallel in (False, True):
            graph = quillon.Graph()
            graph.add(leave, "exit")
            graph.add(lambda d: {"v": 1.0}, "other", None, [("v", "v")])
            with pytest.raises(SystemExit) as raised:
                graph.build().execute(parallel=parallel)
            assert raised.value.code == 3
            assert capsys.readouterr().err == ""

    def test_downstream_of_a_failed_node_runs_without_the_input(self, capsys):
        seen = []
        graph = quillon.Graph()
        graph.add(lambda d: 1 / 0, "fail", None, [("x", "x")])
        graph.add(lambda d: seen.append(dict(d)) or {"y": 1.0}, "after", [("x", "x")], [("y", "y")])
        assert graph.build().execute() == {"y": 1.0}
        assert seen == [{}]
        assert "ZeroDivisionError" in capsys.readouterr().err

    def test_mutating_the_input_dict_affects_nobody_else(self):
        seen = []

        def vandal(inputs):
            inputs["x"] = "changed"
            inputs.clear()
            return {}

        graph = quillon.Graph()
        graph.add(lambda d: {"x": 1.0}, "src", None, [("x", "x")])
        graph.add(vandal, "vandal", [("x", "x")], None)
        graph.add(lambda d: seen.append(d["x"]) or {}, "reader", [("x", "x")], None)
        assert graph.build().execute() == {"x": 1.0}
        assert seen == [1.0]

    def test_each_call_gets_one_fresh_dict_of_its_inputs(self):
        seen = []
        graph = quillon.Graph()
        graph.add(lambda d: {"a": 1.0, "b": "t"}, "src", None, [("a", "a"), ("b", "b")])
        graph.add(lambda *args, **kwargs: seen.append((args, kwargs)) or {}, "r", {"a": "p", "b": "q"}, None)
        dag = graph.build()
        dag.execute()
        dag.execute()
        (args1, kw1), (args2, kw2) = seen
        assert args1 == ({"p": 1.0, "q": "t"},) and kw1 == {} and kw2 == {}
        assert args1[0] is not args2[0]


class TestThreads:
    def test_gil_is_released_during_execute(self):
        """Another Python thread advances between two nodes that are separated
        by a long stretch of engine-only work. Involuntary thread switches are
        switched off, so only an explicit release of the lock lets it run."""
        started, stop = threading.Event(), threading.Event()
        counter = [0]

        def spin():
            started.set()
            while not stop.is_set():
                counter[0] += 1
                time.sleep(0)  # lets the lock go voluntarily

        marks = [None, None]

        def first(inputs):
            marks[0] = counter[0]
            return {"v0": 0.0}

        def last(inputs):
            marks[1] = counter[0]
            return {}

        graph = quillon.Graph()
        graph.add(first, "first", None, [("v0", "v0")])
        # Nodes without a callable never enter Python: a stretch of engine
        # work.
        length = 50_000
        for i in range(1, length):
            graph.add(None, None, [(f"v{i - 1}", "x")], [("y", f"v{i}")])
        graph.add(last, "last", [(f"v{length - 1}", "x")], None)
        dag = graph.build()

        interval = sys.getswitchinterval()
        sys.setswitchinterval(1000.0)
        spinner = threading.Thread(target=spin)
        try:
            spinner.start()
            assert started.wait(10)
            # A busy machine may not schedule the spinner within one short
            # stretch; with the lock held it could never run in any.
            for _ in range(100):
                dag.execute()
                if marks[1] > marks[0]:
                    break
        finally:
            stop.set()
            spinner.join(timeout=10)
            sys.setswitchinterval(interval)
        assert marks[1] > marks[0]

    def test_concurrent_executes_on_one_dag(self):
        dag = source_graph().build()
        results, errors = [], []

        def worker(_):
            try:
                for _ in range(50):
                    results.append(dag.execute(parallel=True))
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        run_threads(worker, 4)
        assert errors == [] and len(results) == 200
        assert all(r == {"data": 1.0, "out": 2.0} for r in results)

    def test_node_may_run_the_dag_again(self):
        inner = source_graph().build()
        graph = quillon.Graph()
        graph.add(lambda d: {"r": inner.execute()["out"]}, "outer", None, [("r", "r")])
        assert graph.build().execute(parallel=True) == {"r": 2.0}


class TestQueries:
    def test_mermaid(self):
        assert source_graph().build().to_mermaid() == (
            'graph TD\n    0["Source"]\n    1["Scale"]\n    0 -->|data → x| 1\n')
        graph = quillon.Graph()
        graph.add()
        assert graph.build().to_mermaid() == 'graph TD\n    0["Node 0"]\n'

    def test_mermaid_delimiters_in_names_become_entities(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"o": 1.0}, 'say "a|b"', None, [("o", "a|b")])
        graph.add(lambda d: {}, "use", [("a|b", "in|put")])
        assert graph.build().to_mermaid() == (
            'graph TD\n    0["say #quot;a#124;b#quot;"]\n    1["use"]\n    0 -->|a#124;b → in#124;put| 1\n')

    @given(
        label=st.text(alphabet='ab |"#;\n[]→', max_size=8),
        broadcast=st.text(alphabet='ab |"#;<>/', min_size=1, max_size=8),
        impl=st.text(alphabet='ab |"#;\n', max_size=8),
    )
    def test_mermaid_labels_end_at_their_own_delimiters(self, label, broadcast, impl):
        graph = quillon.Graph()
        graph.add(lambda d: {"o": 1.0}, label, None, [("o", broadcast)])
        graph.add(lambda d: {}, "T", [(broadcast, impl)])
        text = graph.build().to_mermaid()
        head, _, rest = text.partition('graph TD\n    0["')
        assert head == ""
        shown, _, rest = rest.partition('"')  # a node label runs to the next quote
        assert rest.startswith(']\n    1["T"]\n    0 -->|')
        edge, _, rest = rest[len(']\n    1["T"]\n    0 -->|'):].partition("|")  # an edge label to the next bar
        assert rest == " 1\n"
        assert "|" not in shown and '"' not in edge

        def decode(t):
            return t.replace("#quot;", '"').replace("#124;", "|")

        assert decode(shown) == label
        assert decode(edge) == f"{broadcast} → {impl}"
        if not any(c in label + broadcast + impl for c in '"|'):
            assert shown == label and edge == f"{broadcast} → {impl}"

    def test_labels_branches_variants(self):
        graph = quillon.Graph()
        for label in ("b", "a", "b", None, "B"):
            graph.add(None, label)
        dag = graph.build()
        assert dag.node_labels() == ["B", "a", "b"]
        assert dag.branch_ids() == [] and dag.variant_indices() == []
        assert dag.node_count() == 5
