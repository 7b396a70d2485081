"""The module's visible surface: names, docstrings, signatures."""

import importlib
import inspect
import pathlib
import re
import subprocess
import sys

import pytest

import quillon


def test_module_docstring_and_registration_order():
    assert quillon.__doc__ == "Initialize the Python module"
    assert quillon.__all__[:3] == ["MemoryCache", "Graph", "Dag"]
    assert quillon.__all__.index("__version__") == quillon.__all__.index("GraphWarning") + 1
    for name in quillon.__all__:
        assert hasattr(quillon, name)


def test_version_is_the_package_version():
    text = (pathlib.Path(__file__).parents[2] / "pyproject.toml").read_text(encoding="utf-8")
    try:
        import tomllib
    except ModuleNotFoundError:  # Python 3.10: the [project] table's version line
        project = text.split("[project]", 1)[1].split("\n[", 1)[0]
        expected = re.search(r'^version\s*=\s*"([^"]+)"', project, re.MULTILINE).group(1)
    else:
        expected = tomllib.loads(text)["project"]["version"]
    assert isinstance(quillon.__version__, str)
    assert quillon.__version__ == expected


def test_class_names_and_docstrings():
    assert quillon.Graph.__name__ == "Graph"
    assert quillon.Dag.__name__ == "Dag"
    assert quillon.MemoryCache.__name__ == "MemoryCache"
    assert quillon.MemoryCache.__doc__ == "Python-accessible shared in-memory cache backend."
    assert quillon.Graph.__doc__ == "Python wrapper for Graph builder"
    assert quillon.Dag.__doc__ == "Python wrapper for DAG executor"


def test_dag_has_no_constructor():
    with pytest.raises(TypeError, match="^No constructor defined$"):
        quillon.Dag()


SIGNATURES = {
    quillon.Graph.add: "(self, /, function=Ellipsis, label=Ellipsis, inputs=Ellipsis, outputs=Ellipsis)",
    quillon.Graph.branch: "(self, /, subgraph)",
    quillon.Graph.variants: "(self, /, functions, label=Ellipsis, inputs=Ellipsis, outputs=Ellipsis)",
    quillon.Graph.build: "(self, /, cache_backend=Ellipsis)",
    quillon.Graph.configure_memory_cache: "(self, /, max_entries=Ellipsis, ttl_seconds=Ellipsis)",
    quillon.Graph.set_cache_backend: "(self, /, cache_backend)",
    quillon.Graph.set_cache_version: "(self, /, label, version)",
    quillon.Graph.set_cacheable: "(self, /, label, cacheable)",
    quillon.Graph.set_cache_key_inputs: "(self, /, label, impl_vars)",
    quillon.Dag.execute: (
        "(self, /, parallel=Ellipsis, max_threads=Ellipsis, cache=Ellipsis, cache_depth=Ellipsis, "
        "cache_namespace=Ellipsis, cache_backend=Ellipsis, detailed=Ellipsis)"
    ),
    quillon.Dag.to_mermaid: "(self, /)",
    quillon.Dag.node_count: "(self, /)",
    quillon.Dag.cache_stats: "(self, /)",
    quillon.Dag.clear_cache: "(self, /)",
    quillon.Dag.clear_cache_namespace: "(self, /, namespace)",
    quillon.Dag.clear_cache_node: "(self, /, namespace, node_id, version=Ellipsis)",
    quillon.Dag.node_labels: "(self, /)",
    quillon.Dag.branch_ids: "(self, /)",
    quillon.Dag.variant_indices: "(self, /)",
    quillon.MemoryCache.clear: "(self, /)",
    quillon.MemoryCache.stats: "(self, /)",
    quillon.MemoryCache.clear_node: "(self, /, node_id, version=Ellipsis, namespace=Ellipsis)",
    quillon.MemoryCache.clear_namespace: "(self, /, namespace)",
}


@pytest.mark.parametrize("method", list(SIGNATURES), ids=lambda m: m.__qualname__)
def test_text_signatures(method):
    assert str(inspect.signature(method)) == SIGNATURES[method]


def test_method_table_order():
    graph_methods = [name for name in vars(quillon.Graph) if not name.startswith("__")]
    assert graph_methods[:9] == [
        "add", "branch", "variants", "build", "configure_memory_cache",
        "set_cache_backend", "set_cache_version", "set_cacheable", "set_cache_key_inputs",
    ]
    dag_methods = [name for name in vars(quillon.Dag) if not name.startswith("__")]
    assert dag_methods[:10] == [
        "execute", "to_mermaid", "node_count", "cache_stats", "clear_cache",
        "clear_cache_namespace", "clear_cache_node", "node_labels", "branch_ids", "variant_indices",
    ]


def test_method_docstrings():
    assert quillon.Graph.build.__doc__ == (
        "Build the DAG from the graph\n\nReturns:\n    PyDag instance ready for execution"
    )
    assert quillon.Graph.add.__doc__.startswith(
        "Add a node to the graph\n\nArgs:\n    function: Optional Python callable. If None, creates a no-op node.\n"
    )
    assert quillon.Graph.variants.__doc__.endswith(
        '        "Scale",\n        [("data", "x")],\n        [("scaled", "result")]\n    )'
    )
    assert quillon.Graph.add.__doc__.endswith(
        "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict\n\nReturns:\n    None"
    )
    assert (
        "    functions: List of Python callables, each with signature (inputs) -> dict\n"
        in quillon.Graph.variants.__doc__
    )
    assert "\nReturns:\n    None\n\nExample:\n" in quillon.Graph.variants.__doc__
    assert (
        '        [lambda inputs, f=f: {"scaled": inputs["x"] * f} for f in factors],\n'
        in quillon.Graph.variants.__doc__
    )
    assert (
        "    n_samples (int | None): Monte Carlo sample count for nodes without an analytical dist_transfer.\n"
        "        Required as soon as a node has to be sampled.\n"
    ) in quillon.Dag.predict_at.__doc__
    assert (
        '    # Full graph\n    stat = dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=1000)\n'
        in quillon.Dag.predict_at.__doc__
    )
    assert quillon.Dag.execute.__doc__.startswith("Execute the DAG\n\nArgs:\n")
    assert "Returns:\n    Dictionary containing the execution context\n\nKeyword-only:\n" in quillon.Dag.execute.__doc__
    assert quillon.Dag.node_labels.__doc__.endswith('dag.node_labels()   # ["AddNoise", "Scale", "Source"]')
    assert quillon.Dag.cache_stats.__doc__ == "Return aggregate cache backend stats for this DAG."
    assert quillon.Graph.set_cache_backend.__doc__ == "Attach a shared MemoryCache backend to this Graph."
    # Methods documented by their signature alone.
    assert quillon.Dag.clear_cache_node.__doc__ is None
    assert quillon.MemoryCache.clear_node.__doc__ is None
    assert quillon.MemoryCache.clear_namespace.__doc__ is None


def example_lines(doc):
    """The indented code lines after the docstring's "Example:" header, up to
    the next section, dedented."""
    body = re.split(r"\nExample:+\n", doc, maxsplit=1)[1]
    lines = []
    for line in body.split("\n"):
        if line.strip() and not line[0].isspace():
            break  # the next section
        if line.strip():
            lines.append(line)
    indent = min(len(line) - len(line.lstrip()) for line in lines)
    return "\n".join(line[indent:] for line in lines)


def test_documented_variants_example_runs():
    np = pytest.importorskip("numpy")
    graph = quillon.Graph()
    graph.add(lambda inputs: {"x": 2.0}, "Source", None, [("x", "data")])
    exec(example_lines(quillon.Graph.variants.__doc__), {"np": np, "graph": graph})
    dag = graph.build()
    assert dag.variant_indices() == [0, 1, 2, 3, 4]
    result = dag.execute()
    assert result["data"] == 2.0
    assert any(result["result"] == pytest.approx(2.0 * f) for f in np.linspace(0.5, 2.0, 5))


def test_documented_predict_at_example_runs():
    graph = quillon.Graph()
    graph.add(lambda inputs: {"y": inputs["x"] * 2.0}, "Scale", [("x", "x")], [("y", "y")])
    dag = graph.build()
    first = example_lines(quillon.Dag.predict_at.__doc__).split("\n")[1]
    scope = {"dag": dag, "quillon": quillon}
    exec(first, scope)
    assert scope["stat"]["y"].mean == pytest.approx(0.0, abs=0.3)


def test_argument_protocol_errors():
    graph = quillon.Graph()
    with pytest.raises(TypeError, match=r"Graph.add\(\) takes from 0 to 4 positional arguments but 5 were given"):
        graph.add(None, None, None, None, None)
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'labels'"):
        graph.add(labels="x")
    with pytest.raises(TypeError, match=r"got multiple values for argument 'function'"):
        graph.add(None, function=None)
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'label' and 'version'$"):
        graph.set_cache_version()
    with pytest.raises(TypeError):
        graph.build().node_count(1)


def one_node_result(module):
    graph = module.Graph()
    graph.add(lambda inputs: {"y": 2.0}, "n", None, [("y", "y")])
    return graph.build().execute()


def test_importing_again_makes_a_working_module_of_its_own():
    first = sys.modules.pop("quillon")
    try:
        again = importlib.import_module("quillon")
        assert again is not first
        assert again.__all__ == first.__all__
        assert one_node_result(again) == {"y": 2.0}
        assert again.normal(1.0, 2.0).mean == 1.0
        assert one_node_result(first) == {"y": 2.0}  # the first module's objects keep working
    finally:
        sys.modules["quillon"] = first


def test_the_module_imports_in_a_subinterpreter():
    # In a process of its own: once a subinterpreter has existed, the
    # interpreter stops telling threads whether they hold the lock.
    pytest.importorskip("_testcapi")
    code = (
        "import quillon\n"
        "graph = quillon.Graph()\n"
        "graph.add(lambda inputs: {'y': 2.0}, 'n', None, [('y', 'y')])\n"
        "assert graph.build().execute() == {'y': 2.0}\n"
        "assert quillon.Graph.__module__ == 'quillon'\n"
    )
    # Afterwards, worker threads of the main interpreter still release
    # values only under the lock: evictions on a one-entry cache drop stored
    # objects, whose __del__ runs Python code, on the workers of a level.
    after = (
        "class Held:\n"
        "    dropped = 0\n"
        "    def __del__(self):\n"
        "        Held.dropped += 1\n"
        "graph = quillon.Graph(cache_backend=quillon.MemoryCache(max_entries=1))\n"
        "graph.add(lambda d: {'o': 1.0}, 's', None, [('o', 'o')])\n"
        "for i in range(4):\n"
        "    graph.add(lambda d, i=i: {'p': Held(), 'q': d['o'] + i}, f'w{i}', [('o', 'o')],\n"
        "              [('p', f'p{i}'), ('q', f'q{i}')])\n"
        "    graph.set_cache_version(f'w{i}', 'v')\n"
        "dag = graph.build()\n"
        "for _ in range(100):\n"
        "    assert dag.execute(parallel=True)['q3'] == 4.0\n"
        "assert Held.dropped > 0\n"
    )
    script = f"import _testcapi, quillon\nassert _testcapi.run_in_subinterp({code!r}) == 0\n{after}"
    subprocess.run([sys.executable, "-c", script], check=True, timeout=60)
