"""The "node_runs" part of execute's detailed report: time and failure per node."""

import time

import pytest

import quillon


def graph_with_failures():
    graph = quillon.Graph()
    graph.add(lambda d: {"x": 1.0}, "source", None, [("x", "x")])
    graph.add(lambda d: 1 / 0, "divide", [("x", "x")], [("q", "q")])
    graph.add(lambda d: [d["x"]], "listing", [("x", "x")], [("l", "l")])
    graph.add(lambda d: (time.sleep(0.05), {"s": d["x"]})[1], "sleepy", [("x", "x")], [("s", "s")])
    graph.add(lambda d: {"u": 1.0}, None, [("x", "x")], [("u", "u")])
    return graph


def check_report(result, slept=True):
    runs = result["node_runs"]
    assert list(result) == ["context", "cache_stats", "node_cache", "node_runs"]
    assert sorted(runs) == [0, 1, 2, 3, 4]
    for entry in runs.values():
        assert list(entry) == ["label", "seconds", "failed", "error"]
        assert isinstance(entry["seconds"], float) and entry["seconds"] >= 0.0
    assert runs[0] == {"label": "source", "seconds": runs[0]["seconds"], "failed": False, "error": None}
    assert runs[1]["failed"] is True and runs[1]["error"] == "ZeroDivisionError: division by zero"
    assert runs[2]["failed"] is True and runs[2]["error"] == "Python function did not return a dict (it returned list)"
    assert runs[3]["failed"] is False and (runs[3]["seconds"] >= 0.04) == slept
    assert runs[4]["label"] is None and runs[4]["failed"] is False


class TestNodeRuns:
    @pytest.mark.parametrize("cache", [False, True])
    @pytest.mark.parametrize("parallel", [False, True])
    def test_failures_and_times(self, parallel, cache, capsys):
        result = graph_with_failures().build().execute(parallel=parallel, cache=cache, detailed=True)
        check_report(result)
        err = capsys.readouterr().err
        assert "quillon: node 'divide' (id 1) failed:" in err  # stderr still tells

    def test_versioned_nodes_fail_and_hit(self, capsys):
        graph = graph_with_failures()
        for label in ("source", "divide", "listing", "sleepy"):
            graph.set_cache_version(label, "1")
        dag = graph.build()
        check_report(dag.execute(detailed=True))
        again = dag.execute(detailed=True)
        check_report(again, slept=False)  # a hit does not sleep
        assert again["node_cache"][3]["hit"] is True

    def test_only_the_first_line_of_a_message(self, capsys):
        def fails(d):
            raise ValueError("first line\nsecond line")

        graph = quillon.Graph()
        graph.add(fails, "f", None, [("v", "v")])
        runs = graph.build().execute(detailed=True)["node_runs"]
        assert runs[0]["error"] == "ValueError: first line"

    def test_error_text_is_not_stale(self, capsys):
        # A failure in a run that does not collect node runs leaves nothing
        # for a later run to misreport.
        graph = quillon.Graph()
        graph.add(lambda d: {}[d["missing"]] if "go" in d else {"v": 1.0}, "f", [("go", "go")], [("v", "v")])
        dag = graph.build()
        dag.execute(inputs={"go": 1, "missing": 2})
        runs = dag.execute(detailed=True)["node_runs"]
        assert runs[0] == {"label": "f", "seconds": runs[0]["seconds"], "failed": False, "error": None}

    def test_not_detailed_has_no_report(self):
        assert graph_with_failures().build().execute(cache=False) is not None
