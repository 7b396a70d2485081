"""Values given to one execute call through inputs=."""

import pytest

import quillon


def scaled_graph(calls=None):
    """x -> y = a * x + b, with a and b read from the run's inputs; a
    version token makes the node cacheable."""

    def linear(d):
        if calls is not None:
            calls.append((d["a"], d["b"], d["x"]))
        return {"y": d["a"] * d["x"] + d["b"]}

    graph = quillon.Graph()
    graph.add(lambda d: {"x": 2.0}, "source", None, [("x", "x")])
    graph.add(linear, "linear", [("x", "x"), ("a", "a"), ("b", "b")], [("y", "y")])
    graph.set_cache_version("source", "1")
    graph.set_cache_version("linear", "1")
    return graph


def reasons(result):
    return {node: "hit" if status["hit"] else status["reason"] for node, status in result["node_cache"].items()}


class TestReading:
    def test_nodes_read_inputs_and_the_context_holds_them(self):
        dag = scaled_graph().build()
        out = dag.execute(inputs={"a": 3.0, "b": 1, "unused": "text"})
        assert out["y"] == 7.0
        assert out["a"] == 3.0 and out["b"] == 1 and out["unused"] == "text"
        assert out["x"] == 2.0

    def test_values_convert_as_node_outputs_do(self):
        seen = {}

        def look(d):
            seen.update(d)
            return {}

        graph = quillon.Graph()
        graph.add(look, "look", [("v", "v"), ("t", "t"), ("i", "i")], None)
        marker = object()
        out = graph.build().execute(inputs={"v": (1, 2.5), "t": "s", "i": marker})
        assert seen == {"v": [1.0, 2.5], "t": "s", "i": marker}
        assert out["i"] is marker and out["v"] == [1.0, 2.5]

    def test_a_writer_overwrites_an_input(self):
        dag = scaled_graph().build()
        out = dag.execute(inputs={"a": 1.0, "b": 0.0, "x": 100.0})
        assert out["x"] == 2.0 and out["y"] == 2.0

    def test_missing_inputs_leave_the_node_failing_as_before(self, capsys):
        dag = scaled_graph().build()
        assert "y" not in dag.execute(inputs={"a": 1.0})
        assert "KeyError" in capsys.readouterr().err

    @pytest.mark.parametrize("parallel", [False, True])
    def test_one_dag_serves_many_parameter_sets(self, parallel):
        dag = scaled_graph().build()
        sweep = [dag.execute(parallel=parallel, inputs={"a": a, "b": 0.5})["y"] for a in (0.0, 1.0, 2.0)]
        assert sweep == [0.5, 2.5, 4.5]
        assert dag.execute(parallel=parallel)["x"] == 2.0  # no inputs: nothing left behind

    def test_inputs_none_is_no_inputs(self):
        dag = scaled_graph().build()
        assert dag.execute(inputs=None) == dag.execute()


class TestCache:
    @pytest.mark.parametrize("parallel", [False, True])
    def test_changed_input_is_a_miss_and_equal_inputs_hit(self, parallel):
        calls = []
        dag = scaled_graph(calls).build()
        first = dag.execute(parallel=parallel, detailed=True, inputs={"a": 1.0, "b": 0.0})
        assert reasons(first)[1] == "not_found"
        again = dag.execute(parallel=parallel, detailed=True, inputs={"b": 0.0, "a": 1.0})
        assert reasons(again) == {0: "hit", 1: "hit"} and again["context"]["y"] == 2.0
        changed = dag.execute(parallel=parallel, detailed=True, inputs={"a": 5.0, "b": 0.0})
        assert reasons(changed) == {0: "hit", 1: "input_changed"}
        assert changed["context"]["y"] == 10.0
        assert len(calls) == 2
        keys = {again["node_cache"][1]["cache_key"], changed["node_cache"][1]["cache_key"]}
        assert len(keys) == 2

    def test_inputs_no_node_reads_do_not_touch_keys(self):
        dag = scaled_graph().build()
        dag.execute(inputs={"a": 1.0, "b": 0.0})
        result = dag.execute(detailed=True, inputs={"a": 1.0, "b": 0.0, "other": 9.0})
        assert reasons(result) == {0: "hit", 1: "hit"}


class TestErrors:
    @pytest.mark.parametrize(
        "bad, message",
        [
            ([("a", 1.0)], "^argument 'inputs': expected dict or None, got list$"),
            ({1: 1.0}, "^argument 'inputs': expected str keys, got int$"),
            ({"a": 1.0, ("b",): 2.0}, "^argument 'inputs': expected str keys, got tuple$"),
        ],
    )
    def test_bad_inputs_raise_before_anything_runs(self, bad, message):
        calls = []
        dag = scaled_graph(calls).build()
        with pytest.raises(TypeError, match=message):
            dag.execute(inputs=bad)
        assert calls == []

    def test_inputs_is_keyword_only(self):
        dag = scaled_graph().build()
        with pytest.raises(TypeError):
            dag.execute(False, None, True, "transitive", None, None, False, {"a": 1.0})
