"""GraphWarning: graphs that build and run but silently do less than asked."""

import warnings

import pytest

import quillon


def double(d):
    return {"out": d["in"] * 2}


def chain_graph():
    graph = quillon.Graph()
    graph.add(lambda d: {"x": 1.0}, "Source", None, [("x", "data")])
    graph.add(lambda d: {"y": d["x"] * 2}, "Scale", [("data", "x")], [("y", "out")])
    return graph


def cycle_graph():
    """Source, then A and B reading each other's output, then C reading B."""
    graph = quillon.Graph()
    graph.add(lambda d: {"x": 1.0}, "Source", None, [("x", "data")])
    graph.add(double, "A", [("b", "in")], [("out", "a")])
    graph.add(double, "B", [("a", "in")], [("out", "b")])
    graph.add(double, None, [("b", "in")], [("out", "c")])
    return graph


def graph_warnings(record):
    return [w for w in record if issubclass(w.category, quillon.GraphWarning)]


class TestCategory:
    def test_is_a_user_warning_of_the_module(self):
        assert issubclass(quillon.GraphWarning, UserWarning)
        assert quillon.GraphWarning.__module__ == "quillon"
        assert quillon.GraphWarning.__name__ == "GraphWarning"
        assert quillon.__all__.index("GraphWarning") > quillon.__all__.index("empirical")


class TestUnplacedNodes:
    def test_two_node_cycle_is_reported_by_label_and_id(self):
        graph = quillon.Graph()
        graph.add(double, "A", [("b", "in")], [("out", "a")])
        graph.add(double, "B", [("a", "in")], [("out", "b")])
        with pytest.warns(quillon.GraphWarning) as record:
            dag = graph.build()
        assert len(graph_warnings(record)) == 1
        message = str(graph_warnings(record)[0].message)
        assert "cycle" in message
        assert message.endswith("'A' (id 0), 'B' (id 1)")
        assert dag.execute() == {}

    def test_nodes_behind_a_cycle_are_named_too_and_the_rest_runs(self):
        with pytest.warns(quillon.GraphWarning) as record:
            dag = cycle_graph().build()
        (warning,) = graph_warnings(record)
        message = str(warning.message)
        assert message.startswith("Graph.build: 3 nodes are left out")
        assert message.endswith("'A' (id 1), 'B' (id 2), unlabelled node (id 3)")
        assert "Source" not in message
        assert warning.filename == __file__
        assert dag.execute() == {"data": 1.0}

    def test_warns_once_per_build_with_or_without_a_cache(self):
        for build in (lambda g: g.build(), lambda g: g.build(quillon.MemoryCache())):
            with warnings.catch_warnings(record=True) as record:
                warnings.simplefilter("always")
                build(cycle_graph())
            assert len(graph_warnings(record)) == 1

    def test_error_filter_makes_the_build_raise(self):
        graph = cycle_graph()
        with warnings.catch_warnings():
            warnings.simplefilter("error", quillon.GraphWarning)
            with pytest.raises(quillon.GraphWarning, match="left out of the execution order"):
                graph.build()
        with pytest.raises(ValueError, match="already been built"):
            graph.build()


class TestCacheKeyInputs:
    def test_unknown_name_is_reported_with_its_label(self):
        graph = chain_graph()
        graph.set_cache_key_inputs("Scale", ["x", "data"])  # "data" is the broadcast name, not the impl name
        with pytest.warns(quillon.GraphWarning) as record:
            graph.build()
        (warning,) = graph_warnings(record)
        assert str(warning.message).endswith("label 'Scale': 'data'")

    def test_names_are_checked_against_every_node_of_the_label(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"x": 1.0, "z": 2.0}, "Source", None, [("x", "x"), ("z", "z")])
        graph.add(lambda d: {"y": d["a"]}, "Read", [("x", "a")], [("y", "y")])
        graph.add(lambda d: {"w": d["b"]}, "Read", [("z", "b")], [("w", "w")])
        graph.set_cache_key_inputs("Read", ["a", "b"])
        with warnings.catch_warnings():
            warnings.simplefilter("error", quillon.GraphWarning)
            graph.build()

    def test_unknown_names_and_labels_in_one_warning(self):
        graph = chain_graph()
        graph.set_cache_key_inputs("Scale", ["x", "zz", "zz", "q"])
        graph.set_cache_key_inputs("Sacle", ["x"])
        graph.set_cache_key_inputs("Source", [])
        with pytest.warns(quillon.GraphWarning) as record:
            graph.build()
        (warning,) = graph_warnings(record)
        assert str(warning.message).endswith(
            "label 'Sacle' (no node has this label): 'x'; label 'Scale': 'zz', 'q'"
        )

    def test_branch_nodes_count_and_subgraph_settings_are_not_checked(self):
        graph = chain_graph()
        sub = quillon.Graph()
        sub.add(lambda d: {"y": d["v"] + 1}, "Inner", [("out", "v")], [("y", "z")])
        sub.set_cache_key_inputs("Inner", ["nothing"])  # does not carry into the parent
        graph.branch(sub)
        graph.set_cache_key_inputs("Inner", ["v"])
        with warnings.catch_warnings():
            warnings.simplefilter("error", quillon.GraphWarning)
            graph.build()

    def test_cache_still_works_and_error_filter_raises(self):
        graph = chain_graph()
        graph.set_cache_key_inputs("Scale", ["X"])
        with warnings.catch_warnings():
            warnings.simplefilter("error", quillon.GraphWarning)
            with pytest.raises(quillon.GraphWarning, match="'X'"):
                graph.build()
        graph = chain_graph()
        graph.set_cache_key_inputs("Scale", ["X"])
        with pytest.warns(quillon.GraphWarning):
            dag = graph.build()
        assert dag.execute(cache=True) == {"data": 1.0, "out": 2.0}


class TestPredictAtTargets:
    @pytest.fixture
    def dag(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"] * 2}, "Scale", [("x", "x")], [("y", "y")])
        sub = quillon.Graph()
        sub.add(lambda d: {"z": d["y"] + 1}, "Shift", [("y", "y")], [("z", "z")])
        graph.branch(sub)
        graph.variants([lambda d: {"v": d["y"]}, lambda d: {"v": -d["y"]}], "Sweep", [("y", "y")], [("v", "v")])
        with warnings.catch_warnings():
            warnings.simplefilter("error", quillon.GraphWarning)
            return graph.build()

    INPUTS = {"x": quillon.deterministic(1.0)}

    @pytest.mark.parametrize("target, text", [
        ({"at_node": "Scael"}, "at_node 'Scael' matches no node label"),
        ({"at_branch": 7}, "at_branch 7 matches no branch id"),
        ({"at_variant": 2}, "at_variant 2 matches no variant index"),
        ({"at_node": "nope", "at_branch": 1}, "at_node 'nope'"),
    ])
    def test_unmatched_target_warns_and_propagates_everything(self, dag, target, text):
        with pytest.warns(quillon.GraphWarning) as record:
            stat = dag.predict_at(self.INPUTS, n_samples=10, **target)
        (warning,) = graph_warnings(record)
        assert str(warning.message).startswith("Dag.predict_at: " + text)
        assert warning.filename == __file__
        assert stat["y"].mean == 2.0

    @pytest.mark.parametrize("target", [
        {}, {"at_node": "Scale"}, {"at_node": "Sweep (v1)"}, {"at_branch": 1}, {"at_variant": 0},
        {"at_node": "Scale", "at_branch": 99}, {"at_branch": 1, "at_variant": 99},
    ])
    def test_matching_targets_are_silent(self, dag, target):
        with warnings.catch_warnings():
            warnings.simplefilter("error", quillon.GraphWarning)
            dag.predict_at(self.INPUTS, n_samples=10, **target)

    def test_error_filter_raises_before_anything_runs(self):
        calls = []
        graph = quillon.Graph()
        graph.add(lambda d: calls.append(1) or {"y": d["x"]}, "Scale", [("x", "x")], [("y", "y")])
        dag = graph.build()
        with warnings.catch_warnings():
            warnings.simplefilter("error", quillon.GraphWarning)
            with pytest.raises(quillon.GraphWarning, match="at_node 'Other'"):
                dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=5, at_node="Other")
        assert calls == []
        dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=5, at_node="Scale")
        assert calls


def test_ordinary_graphs_build_without_graph_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error", quillon.GraphWarning)
        graph = chain_graph()
        graph.set_cache_key_inputs("Scale", ["x"])
        graph.set_cache_version("Scale", "v1")
        graph.set_cacheable("Source", False)
        sub = quillon.Graph()
        sub.add(lambda d: {"z": d["y"] + 1}, "Shift", [("out", "y")], [("z", "z")])
        graph.branch(sub)
        dag = graph.build(quillon.MemoryCache())
        assert dag.execute(cache=True)["data"] == 1.0
        quillon.Graph().build()
