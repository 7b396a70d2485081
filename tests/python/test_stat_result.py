"""StatResult from Python: lookups, views, particles, text forms and the
printed summary."""

import inspect

import pytest

import quillon


def branched_dag():
    """x -> Main (y = x + 1) with a branch copy (branch 1) of Twice
    (y = 2x) attached to it; a variant step Scale (v0, v1) reading y."""
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] + 1}, "Main", [("x", "x")], [("y", "y")])
    sub = quillon.Graph()
    sub.add(lambda d: {"y": d["x"] * 2}, "Twice", [("x", "x")], [("y", "y")])
    assert graph.branch(sub) == 1
    return graph.build()


def deterministic_result(**inputs):
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] * 3}, "Triple", [("x", "x")], [("y", "y")])
    return graph.build().predict_at({k: quillon.deterministic(v) for k, v in inputs.items()})


class TestLookups:
    def test_get_keys_subscript(self):
        stat = deterministic_result(x=2.0)
        assert stat.keys() == ["x", "y"]
        assert repr(stat["y"]) == "Deterministic(6)" and repr(stat.get("x")) == "Deterministic(2)"
        assert stat.get("missing") is None
        with pytest.raises(ValueError, match="^Variable 'missing' not found in StatResult$"):
            stat["missing"]
        with pytest.raises(TypeError, match="^argument 'key': expected str, got int$"):
            stat[1]
        with pytest.raises(TypeError, match="^argument 'key': expected str, got NoneType$"):
            stat.get(None)
        # Each read is a new object around a copy.
        assert stat["y"] is not stat["y"]

    def test_internal_keys(self):
        stat = deterministic_result(**{"__branch_": 1.0, "__branch_7__y": 2.0, "__branchX": 3.0, "x": 1.0})
        assert stat.keys() == ["__branchX", "x", "y"]
        assert repr(stat.get("__branch_7__y")) == "Deterministic(2)"
        assert repr(stat["__branch_"]) == "Deterministic(1)"
        assert repr(stat).startswith("StatResult(vars=[") and "__branch_" not in repr(stat).replace("__branchX", "")

    def test_branch_and_variant_views(self):
        stat = branched_dag().predict_at({"x": quillon.deterministic(5)})
        # The branch copy's y is held only under its qualified key.
        assert repr(stat.get("__branch_1__y")) == "Deterministic(10)"
        assert {k: repr(v) for k, v in stat.for_branch(1).items()} == {"y": "Deterministic(10)"}
        assert stat.for_branch(99) == {} and stat.for_variant(0) == {}
        assert "__branch_1__y" not in stat.keys()

        graph = quillon.Graph()
        graph.add(lambda d: {"x": 2.0}, "Src", None, [("x", "x")])
        graph.variants([lambda d: {"s": d["x"]}, lambda d: {"s": d["x"] * 10}], "Scale", [("x", "x")], [("s", "s")])
        stat = graph.build().predict_at({})
        assert repr(stat.for_variant(variant_idx=0)["s"]) == "Deterministic(2)"
        assert repr(stat.for_variant(1)["s"]) == "Deterministic(20)"
        with pytest.raises(OverflowError):
            stat.for_variant(-1)
        with pytest.raises(TypeError, match="^argument 'branch_id': 'str' object cannot be interpreted"):
            stat.for_branch("1")

    def test_container_protocols_see_the_listed_names(self):
        stat = deterministic_result(**{"__branch_7__y": 2.0, "x": 1.0})
        assert len(stat) == 2 and list(stat) == stat.keys() == ["x", "y"]
        assert "x" in stat and "z" not in stat and 1 not in stat
        # Internal keys stay readable by name but are not listed, so not `in`.
        assert stat.get("__branch_7__y") is not None and "__branch_7__y" not in stat

    def test_docstrings_and_signatures(self):
        s = quillon.StatResult
        assert s.get.__doc__ == '`result.get("var")` → `Distribution | None`.'
        assert s.keys.__doc__ == "List broadcast variable names (excluding internal `__branch__` prefix keys)."
        assert s.for_branch.__doc__ == "Return a `{var: Distribution}` dict for a specific branch."
        assert s.for_variant.__doc__ == "Return a `{var: Distribution}` dict for a specific variant (0-based index)."
        assert s.print_summary.__doc__ == "Print a human-readable summary to stdout."
        assert s.particles.__doc__.startswith(
            "Aligned per-sample trajectories, or `None` when the result came from `predict_at()`\nrather than"
        )
        assert "preserving the joint cross-variable distribution structure.\n\nThe list is built on first access" in (
            s.particles.__doc__)
        assert str(inspect.signature(s.get)) == "(self, /, key)"
        assert str(inspect.signature(s.for_branch)) == "(self, /, branch_id)"
        assert str(inspect.signature(s.for_variant)) == "(self, /, variant_idx)"


class TestReprAndParticles:
    def test_repr_escapes_names(self):
        name = 'a"b\\c\td\re\nf\x01g\u00a0h é'
        stat = deterministic_result(**{name: 1.0, "x": 1.0})
        keys = repr(stat)[len("StatResult(vars=["):-2].split(", ")
        assert sorted(keys) == sorted(['"x"', '"y"', '"a\\"b\\\\c\\td\\re\\nf\\u{1}g\\u{a0}h é"'])
        assert repr(quillon.Graph().build().predict_at({})) == "StatResult(vars=[])"

    def test_particles(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"] * 2}, "Double", [("x", "x")], [("y", "y")])
        dag = graph.build()
        assert dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=5).particles is None
        stat = dag.predict({"x": quillon.normal(0, 1)}, n_samples=3)
        particles = stat.particles
        assert len(particles) == 3 and all(set(p) == {"x", "y"} for p in particles)
        assert [p["x"] for p in particles] == stat["x"].samples
        assert stat.particles is particles  # built once, then kept
        assert dag.predict({"x": quillon.normal(0, 1)}, n_samples=0).particles == []


class TestPrintSummary:
    def test_lines_sorted_and_internal_keys_left_out(self, capfd):
        stat = deterministic_result(**{"x": 2.0, "__branch_1__q": 1.0, "a": 1.5})
        stat.print_summary()
        assert capfd.readouterr().out == (
            "  a: mean=1.5000  std=0.0000  [p5=1.5000, p50=1.5000, p95=1.5000]\n"
            "  x: mean=2.0000  std=0.0000  [p5=2.0000, p50=2.0000, p95=2.0000]\n"
            "  y: mean=6.0000  std=0.0000  [p5=6.0000, p50=6.0000, p95=6.0000]\n"
        )
        quillon.Graph().build().predict_at({}).print_summary()
        assert capfd.readouterr().out == ""

    def test_text_waiting_in_sys_stdout_comes_first(self, capfd):
        print("before", end=" ")
        deterministic_result(x=1.0).print_summary()
        print("after")
        assert capfd.readouterr().out.splitlines() == [
            "before   x: mean=1.0000  std=0.0000  [p5=1.0000, p50=1.0000, p95=1.0000]",
            "  y: mean=3.0000  std=0.0000  [p5=3.0000, p50=3.0000, p95=3.0000]",
            "after",
        ]

    def test_unsampleable_entry_raises_and_prints_nothing(self, capfd):
        # Nothing reads u, so the run itself never samples it.
        stat = quillon.Graph().build().predict_at({"u": quillon.uniform(1, 1), "a": quillon.deterministic(0)})
        with pytest.raises(ValueError, match=r"^Uniform::new called with `low >= high`$"):
            stat.print_summary()
        assert capfd.readouterr().out == ""
