"""How Dags, results and runs show themselves: marked diagrams, notebook forms, explain."""

import html
import re

import pytest

import quillon

PLAIN = 'graph TD\n    0["Source"]\n    1["Scale"]\n    0 -->|data → x| 1\n'


def chain(fail=False, label="Scale"):
    graph = quillon.Graph()
    graph.add(lambda d: {"x": 1.0}, "Source", None, [("x", "data")])
    graph.add(lambda d: (1 / 0) if fail else {"y": d["x"] * 2}, label, [("data", "x")], [("y", "out")])
    graph.set_cache_version("Source", "1")
    graph.set_cache_version(label, "1")
    return graph.build()


def node_line(text, node_id):
    return next(line for line in text.splitlines() if line.startswith(f"    {node_id}["))


def class_lines(text):
    return [line.strip() for line in text.splitlines() if line.startswith("    class ")]


def report(node_cache, node_runs=None):
    result = {"context": {}, "cache_stats": {}, "node_cache": node_cache}
    if node_runs is not None:
        result["node_runs"] = node_runs
    return result


def status(hit, reason=None):
    return {"hit": hit, "stored": False, "reason": reason, "category": "miss", "cache_key": None}


class TestMarkedDiagram:
    def test_without_a_report_the_diagram_is_unchanged(self):
        dag = chain()
        assert dag.to_mermaid() == PLAIN
        assert dag.to_mermaid(report=None) == PLAIN
        dag.execute(detailed=True)  # a run leaves the plain diagram alone
        assert dag.to_mermaid() == PLAIN

    def test_a_real_run_marks_misses_then_hits(self):
        dag = chain()
        cache = quillon.MemoryCache()
        first = dag.execute(detailed=True, cache_backend=cache)
        text = dag.to_mermaid(report=first)
        assert text.startswith(PLAIN.replace('"Source"', '"Source<br/>miss: not_found"')
                               .replace('"Scale"', '"Scale<br/>miss: not_found"'))
        assert class_lines(text)[:1] == ["class 0,1 miss"]
        second = dag.execute(detailed=True, cache_backend=cache)
        text = dag.to_mermaid(report=second)
        assert node_line(text, 0) == '    0["Source<br/>hit"]'
        assert class_lines(text) == [
            "class 0,1 hit", "class legend_hit hit", "class legend_miss miss", "class legend_failed failed"]
        assert "    subgraph legend [Legend]\n" in text and text.endswith("    class legend_failed failed\n")

    def test_failed_nodes_come_from_node_runs(self, capfd):
        dag = chain(fail=True)
        result = dag.execute(detailed=True)
        capfd.readouterr()
        text = dag.to_mermaid(report=result)
        if "node_runs" in result:
            assert node_line(text, 1) == '    1["Scale<br/>failed, miss: not_found"]'
        handmade = report({0: status(True), 1: status(False, "not_found")},
                          {1: {"label": "Scale", "seconds": 0.5, "failed": True, "error": "boom"}})
        text = dag.to_mermaid(report=handmade)
        assert node_line(text, 1) == '    1["Scale<br/>failed, miss: not_found"]'
        assert class_lines(text)[:2] == ["class 0 hit", "class 1 failed"]

    def test_hostile_labels_and_reasons_stay_inside_their_quotes(self):
        label = 'a"b|c<d>&e'
        dag = chain(label=label)
        text = dag.to_mermaid(report=report({1: status(False, 'r"|<script>&#x\nnext')}))
        # Labels keep the plain diagram's rule; the added reason escapes markup too.
        assert node_line(text, 1) == ('    1["a#quot;b#124;c<d>&e<br/>miss: '
                                      'r#quot;#124;#lt;script#gt;#amp;#35;x next"]')
        assert node_line(dag.to_mermaid(), 1) == '    1["a#quot;b#124;c<d>&e"]'

    def test_nodes_the_report_does_not_name_are_drawn_plain(self):
        dag = chain()
        text = dag.to_mermaid(report=report({0: status(True), 99: status(False, "x")}))
        assert node_line(text, 1) == '    1["Scale"]'
        assert class_lines(text)[0] == "class 0 hit"

    @pytest.mark.parametrize("bad, error, message", [
        ([], TypeError, "^argument 'report': expected dict, got list$"),
        ({}, ValueError, "^argument 'report': .*no 'node_cache' dict"),
        ({"node_cache": []}, ValueError, "'node_cache' is a list"),
        ({"node_cache": {"0": status(True)}}, ValueError, "not a node id"),
        ({"node_cache": {0: True}}, ValueError, "not a dict"),
        ({"node_cache": {0: {"hit": False, "reason": 3}}}, TypeError, "^argument 'report': expected str"),
        ({"node_cache": {}, "node_runs": {0: {"seconds": "slow"}}}, TypeError, "^argument 'report': "),
    ])
    def test_reports_of_the_wrong_shape_are_refused(self, bad, error, message):
        dag = chain()
        with pytest.raises(error, match=message):
            dag.to_mermaid(report=bad)
        with pytest.raises(error, match=message):
            quillon.explain(dag, bad)

    def test_report_is_keyword_only_and_documented_after_the_specified_text(self):
        with pytest.raises(TypeError):
            chain().to_mermaid({"node_cache": {}})
        assert quillon.Dag.to_mermaid.__doc__.startswith(
            "Get Mermaid diagram representation\n\nReturns:\n    String containing the Mermaid diagram\n\n"
            "Keyword-only:\n    report (dict | None):")

    def test_a_report_rewritten_while_read_is_read_safely(self):
        entry = {}

        class Flag:
            def __bool__(self):
                entry.clear()
                return True

        entry.update({"hit": Flag(), "reason": "x"})
        text = chain().to_mermaid(report=report({0: entry}))
        assert node_line(text, 0) == '    0["Source<br/>hit"]'


class TestNotebookForms:
    def test_dag_bundle(self):
        dag = chain()
        bundle = dag._repr_mimebundle_()
        assert list(bundle) == ["text/vnd.mermaid", "text/markdown", "text/plain"]
        assert bundle["text/vnd.mermaid"] == PLAIN
        assert bundle["text/markdown"] == "```mermaid\n" + PLAIN + "```\n"
        assert bundle["text/plain"] == repr(dag)
        assert list(dag._repr_mimebundle_(include=["text/plain", "image/png"])) == ["text/plain"]
        assert list(dag._repr_mimebundle_(exclude={"text/markdown"})) == ["text/vnd.mermaid", "text/plain"]

    def test_markdown_fence_outlasts_backticks_in_labels(self):
        graph = quillon.Graph()
        graph.add(None, "a ```` b")
        markdown = graph.build()._repr_mimebundle_()["text/markdown"]
        assert markdown.startswith("`````mermaid\n") and markdown.endswith("\n`````\n")

    def test_stat_result_html_table(self):
        stat = chain().predict_at({"data": quillon.normal(0.0, 1.0)}, n_samples=2000, seed=1)
        table = stat._repr_html_()
        heads = re.findall(r"<th>(.*?)</th>", table)
        assert heads == ["variable", "mean", "std", "p5", "p50", "p95"]
        rows = re.findall(r'<th style="text-align:left">(.*?)</th>((?:<td[^>]*>.*?</td>)+)', table)
        assert [name for name, _ in rows] == stat.keys()
        for name, cells in rows:
            dist = stat[name]
            numbers = [float(v) for v in re.findall(r"<td[^>]*>(.*?)</td>", cells)]
            expected = [dist.mean, dist.std, dist.p5, dist.p50, dist.p95]
            assert numbers == pytest.approx(expected, rel=1e-5, abs=1e-9)

    def test_html_escapes_names(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"v": 1.0}, "n", None, [("v", "<b>&'\"")])
        stat = graph.build().predict({}, n_samples=4)
        table = stat._repr_html_()
        assert "<b>" not in table and "<th style=\"text-align:left\">&lt;b&gt;&amp;&#39;&quot;</th>" in table

    def test_distribution_html_table(self):
        table = quillon.normal(0.0, 1.0)._repr_html_()
        assert "<caption>Normal(μ=0, σ=1)</caption>" in table
        values = [float(v) for v in re.findall(r"<td[^>]*>(.*?)</td>", table)]
        assert values == pytest.approx([0.0, 1.0, -1.64485, 0.0, 1.64485], abs=1e-5)
        assert "<caption>Empirical(n=3, μ≈2.0000)</caption>" in quillon.empirical([1, 2, 3])._repr_html_()


class TestExplain:
    def test_table_of_a_failed_run(self, capfd):
        dag = chain(fail=True, label="Sc<a>le|x")
        handmade = report(
            {0: status(True), 1: status(False, "input_changed")},
            {0: {"label": "Source", "seconds": 0.0000025, "failed": False, "error": None},
             1: {"label": "Sc<a>le|x", "seconds": 0.25, "failed": True, "error": "ValueError: <bad> & |worse|"}})
        explained = quillon.explain(dag, handmade)
        assert type(explained) is quillon.Explanation
        assert explained.mermaid == dag.to_mermaid(report=handmade)
        assert explained.nodes == [
            {"id": 0, "label": "Source", "hit": True, "reason": None, "seconds": 0.0000025, "failed": False,
             "error": None},
            {"id": 1, "label": "Sc<a>le|x", "hit": False, "reason": "input_changed", "seconds": 0.25,
             "failed": True, "error": "ValueError: <bad> & |worse|"},
        ]
        assert str(explained) == repr(explained) == (
            "id  label      hit  reason         time      error\n"
            "0   Source     yes                 2 µs\n"
            "1   Sc<a>le|x  no   input_changed  250.0 ms  ValueError: <bad> & |worse|\n")
        page = explained._repr_html_()
        assert "<bad>" not in page and "<a>" not in page
        assert "<td>Sc&lt;a&gt;le|x</td>" in page and "<td>ValueError: &lt;bad&gt; &amp; |worse|</td>" in page
        assert '<tr class="failed">' in page
        assert '<pre class="mermaid">' + html.escape(explained.mermaid, quote=True).replace("&#x27;", "&#39;") in page
        markdown = explained._repr_markdown_()
        assert "| 1 | Sc&lt;a&gt;le\\|x | no | input\\_changed | 250.0 ms | ValueError: &lt;bad&gt; &amp; \\|worse\\| |" \
            in markdown
        assert markdown.endswith("```mermaid\n" + explained.mermaid + "```\n")
        bundle = explained._repr_mimebundle_(exclude=["text/html"])
        assert bundle == {"text/plain": str(explained), "text/markdown": markdown}

    def test_a_real_run_and_nodes_that_did_not_run(self, capfd):
        graph = quillon.Graph()
        graph.add(lambda d: {"x": 1.0}, "A", None, [("x", "x")])
        dag = graph.build()
        result = dag.execute(detailed=True)
        explained = quillon.explain(dag, result)
        assert [row["hit"] for row in explained.nodes] == [False]
        assert explained.nodes[0]["reason"] == "missing_version"
        if "node_runs" in result:
            assert explained.nodes[0]["seconds"] >= 0.0
        empty = quillon.explain(dag, report({}))
        assert empty.nodes == [{"id": 0, "label": "A", "hit": None, "reason": None, "seconds": None,
                                "failed": None, "error": None}]
        assert str(empty).splitlines()[1].split() == ["0", "A", "-", "not", "run"]

    def test_arguments(self):
        with pytest.raises(TypeError, match="^argument 'dag': expected Dag, got Graph$"):
            quillon.explain(quillon.Graph(), report({}))
        with pytest.raises(TypeError):
            quillon.explain(chain())
        with pytest.raises(TypeError, match="No constructor defined"):
            quillon.Explanation()
        assert quillon.__all__[-2:] == ["explain", "Explanation"]


class TestStatResultNames:
    @pytest.mark.parametrize("how", ["predict", "predict_at"])
    def test_len_in_and_iteration_follow_keys(self, how):
        dag = chain()
        inputs = {"data": quillon.normal(0.0, 1.0)}
        stat = dag.predict(inputs, n_samples=8) if how == "predict" else dag.predict_at(inputs, n_samples=8)
        assert list(stat) == stat.keys() == ["data", "out"]
        assert len(stat) == 2
        assert "out" in stat and "data" in stat
        assert "missing" not in stat and 3 not in stat and None not in stat and "\ud800" not in stat
        with pytest.raises(ValueError, match="^Variable 'missing' not found in StatResult$"):
            stat["missing"]

    def test_branch_copies_are_not_listed(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": 1.0}, "A", None, [("y", "y")])
        sub = quillon.Graph()
        sub.add(lambda d: {"z": d["y"] + 1}, "S", [("y", "y")], [("z", "z")])
        graph.branch(sub)
        stat = graph.build().predict({}, n_samples=4)
        assert list(stat) == stat.keys() and len(stat) == len(stat.keys())
        assert all(name in stat for name in stat)
        assert not any(name.startswith("__branch") for name in stat)


def test_notebook_formatter_finds_every_form(capfd):
    formatters = pytest.importorskip("IPython.core.formatters")
    shown = formatters.DisplayFormatter()
    dag = chain()
    data, _ = shown.format(dag)
    assert data["text/vnd.mermaid"] == PLAIN and data["text/markdown"].startswith("```mermaid\n")
    assert shown.format(dag, include={"text/plain"})[0] == {"text/plain": repr(dag)}
    assert set(shown.format(quillon.normal(0.0, 1.0))[0]) == {"text/plain", "text/html"}
    assert set(shown.format(dag.predict({}, n_samples=4))[0]) == {"text/plain", "text/html"}
    explained = quillon.explain(dag, dag.execute(detailed=True))
    assert set(shown.format(explained)[0]) == {"text/plain", "text/markdown", "text/html"}
