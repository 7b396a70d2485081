"""Building graphs: add, variants, branch, build and the graph's states."""

import pytest

import quillon

CONSUMED = "Graph has already been built or consumed"


def const(**values):
    return lambda inputs: dict(values)


class TestAdd:
    def test_returns_none_so_calls_do_not_chain(self):
        graph = quillon.Graph()
        assert graph.add(const(b=1.0), "A", [("x", "a")], [("b", "y")]) is None
        with pytest.raises(AttributeError):
            graph.add().add()

    def test_dict_and_list_mappings_are_equivalent(self):
        dags = []
        for inputs, outputs in [({"data": "x"}, {"y": "out"}), ([("data", "x")], [("y", "out")])]:
            graph = quillon.Graph()
            graph.add(const(x=2.0), "src", None, {"x": "data"})
            graph.add(lambda d: {"y": d["x"] * 3}, "mul", inputs, outputs)
            dags.append(graph.build())
        assert dags[0].execute() == dags[1].execute() == {"data": 2.0, "out": 6.0}
        assert dags[0].to_mermaid() == dags[1].to_mermaid()

    def test_node_without_function_produces_nothing(self):
        graph = quillon.Graph()
        graph.add()
        graph.add(None, "noop", None, [("y", "y")])
        dag = graph.build()
        assert dag.node_count() == 2 and dag.execute() == {}

    @pytest.mark.parametrize("mapping, error, text", [
        ((("x", "a"),), ValueError, "^inputs/outputs must be a dict or list of tuples$"),
        ("x", ValueError, "^inputs/outputs must be a dict or list of tuples$"),
        ([("x", "a", "b")], ValueError, "^expected tuple of length 2, but got tuple of length 3$"),
        ([("x",)], ValueError, "^expected tuple of length 2, but got tuple of length 1$"),
        ([["x", "a"]], TypeError, "^argument '(inputs|outputs)': "),
        ([("x", 1)], TypeError, "^argument '(inputs|outputs)': "),
        ({"x": 1}, TypeError, "^argument '(inputs|outputs)': "),
        ({2: "a"}, TypeError, "^argument '(inputs|outputs)': "),
        ([("x", "a"), "b"], TypeError, "^argument '(inputs|outputs)': "),
    ])
    @pytest.mark.parametrize("where", ["inputs", "outputs"])
    def test_malformed_mappings_add_nothing(self, mapping, error, text, where):
        graph = quillon.Graph()
        graph.add(const(x=1.0), "ok", None, [("x", "x")])
        with pytest.raises(error, match=text):
            graph.add(const(), "bad", **{where: mapping})
        dag = graph.build()
        assert dag.node_count() == 1 and dag.node_labels() == ["ok"]

    def test_non_callable_fails_only_when_run(self, capsys):
        graph = quillon.Graph()
        graph.add(42, "bad", None, [("y", "y")])
        assert graph.build().execute() == {}
        assert "TypeError: 'int' object is not callable" in capsys.readouterr().err


class TestVariants:
    def test_variants_with_label_and_parent(self):
        graph = quillon.Graph()
        graph.add(const(x=2.0), "src", None, [("x", "data")])
        graph.variants([lambda d, f=f: {"s": d["x"] * f} for f in (1.0, 10.0)], "Scale",
                       [("data", "x")], [("s", "result")])
        dag = graph.build()
        assert dag.node_labels() == ["Scale (v0)", "Scale (v1)", "src"]
        assert dag.variant_indices() == [0, 1]
        assert dag.execute()["result"] in (2.0, 20.0)

    def test_functions_must_be_a_sequence_other_than_str(self):
        graph = quillon.Graph()
        with pytest.raises(TypeError, match="^argument 'functions': Can't extract `str` to `Vec`$"):
            graph.variants("abc")
        with pytest.raises(TypeError, match="^argument 'functions': "):
            graph.variants(len)
        graph.variants([])
        graph.variants((const(), const()))
        assert graph.build().node_count() == 2

    def test_reentrant_use_during_argument_conversion(self):
        graph = quillon.Graph()
        errors = []

        class Functions:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i > 0:
                    raise IndexError(i)
                try:
                    graph.add()
                except RuntimeError as e:
                    errors.append(str(e))
                return const()

        graph.variants(Functions())
        assert errors == ["Already borrowed"]
        assert graph.build().node_count() == 1


class TestBranch:
    def test_branch_ids_and_qualified_outputs(self):
        graph = quillon.Graph()
        graph.add(const(x=1.0), "src", None, [("x", "x")])
        sub1, sub2 = quillon.Graph(), quillon.Graph()
        sub1.add(lambda d: {"y": d["x"] + 1}, "b1", [("x", "x")], [("y", "y")])
        sub2.add(lambda d: {"y": d["x"] + 2}, "b2", [("x", "x")], [("y", "y")])
        assert graph.branch(sub1) == 1
        assert graph.branch(sub2) == 2
        dag = graph.build()
        assert dag.branch_ids() == [1, 2]
        context = dag.execute()
        assert context["__branch_1__y"] == 2.0 and context["__branch_2__y"] == 3.0

    def test_branch_with_itself(self):
        graph = quillon.Graph()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            graph.branch(graph)
        graph.add()  # still open and usable
        assert graph.build().node_count() == 1

    def test_subgraph_is_consumed(self):
        graph, sub = quillon.Graph(), quillon.Graph()
        graph.branch(sub)
        with pytest.raises(ValueError, match="^Subgraph has already been built or consumed$"):
            graph.branch(sub)
        with pytest.raises(ValueError, match=f"^{CONSUMED}$"):
            sub.add()
        with pytest.raises(ValueError, match="^Graph has already been built$"):
            sub.build()

    def test_consumed_receiver_leaves_subgraph_open(self):
        graph, sub = quillon.Graph(), quillon.Graph()
        graph.build()
        with pytest.raises(ValueError, match=f"^{CONSUMED}$"):
            graph.branch(sub)
        sub.add()
        assert sub.build().node_count() == 1

    def test_subgraph_must_be_a_graph(self):
        with pytest.raises(TypeError, match="^argument 'subgraph': expected Graph, got MemoryCache$"):
            quillon.Graph().branch(quillon.MemoryCache())


class TestBuild:
    def test_build_consumes_the_graph(self):
        graph = quillon.Graph()
        graph.add(const(y=1.0), "a", None, [("y", "y")])
        dag = graph.build()
        with pytest.raises(ValueError, match="^Graph has already been built$"):
            graph.build()
        for call in (lambda: graph.add(), lambda: graph.variants([]),
                     lambda: graph.set_cache_version("a", "v"), lambda: graph.set_cacheable("a", False),
                     lambda: graph.set_cache_key_inputs("a", []), lambda: graph.configure_memory_cache(),
                     lambda: graph.set_cache_backend(quillon.MemoryCache())):
            with pytest.raises(ValueError, match=f"^{CONSUMED}$"):
                call()
        assert dag.execute() == {"y": 1.0}

    def test_wrong_cache_backend_leaves_graph_open(self):
        graph = quillon.Graph()
        with pytest.raises(TypeError, match="^argument 'cache_backend': expected MemoryCache or DiskCache, got str$"):
            graph.build("cache")
        graph.add()
        assert graph.build().node_count() == 1

    def test_setter_arguments_are_checked_before_state(self):
        graph = quillon.Graph()
        graph.build()
        with pytest.raises(TypeError, match="^argument 'cacheable': expected bool, got int$"):
            graph.set_cacheable("a", 1)
        with pytest.raises(TypeError, match="^argument 'impl_vars': Can't extract `str` to `Vec`$"):
            graph.set_cache_key_inputs("a", "x")
        with pytest.raises(OverflowError):
            graph.configure_memory_cache(-1)
