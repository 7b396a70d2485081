"""Cache versions derived from the code of node callables."""

import functools
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quillon


def token_of(function, label="F"):
    """The version token set_cache_version_from_code gives `function`,
    read back through the code hash of a cached run."""
    graph = quillon.Graph()
    graph.add(function, label, None, {"y": "y"})
    graph.set_cache_version_from_code(label)
    return graph.build().execute(detailed=True)["node_cache"][0]["cache_key"]


def define(source, name="f", **namespace):
    exec(compile(textwrap.dedent(source), "<node>", "exec"), namespace)
    return namespace[name]


BASE = '''
def f(inputs):
    """Adds one."""
    # a comment
    return {"y": 1.0 + 1}
'''


class TestWhatCounts:
    def test_layout_docstrings_and_comments_do_not_count(self):
        base = token_of(define(BASE))
        moved = "\n\n\n# header comment\n" + BASE
        recommented = BASE.replace("# a comment", "# another comment, longer")
        redocumented = BASE.replace('"""Adds one."""', '"""Adds one, now documented at length."""')
        undocumented = BASE.replace('    """Adds one."""\n', "")
        for source in (moved, recommented, redocumented, undocumented):
            assert token_of(define(source)) == base, source

    def test_code_constants_names_and_defaults_count(self):
        base = token_of(define(BASE))
        variants = [
            BASE.replace("1.0 + 1", "1.0 + 2"),
            BASE.replace("1.0 + 1", "1.0 - 1"),
            BASE.replace('{"y"', '{"z"'),
            BASE.replace("def f(inputs)", "def f(inputs, scale=1)"),
            BASE.replace("def f(inputs)", "def f(arguments)").replace("(inputs)", "(arguments)"),
            BASE.replace("return", "helper = round\n    return"),
        ]
        tokens = {token_of(define(source)) for source in variants}
        assert base not in tokens and len(tokens) == len(variants)
        with_default = "def f(inputs, scale={scale}):\n    return {{'y': scale}}\n"
        assert token_of(define(with_default.format(scale=1))) != token_of(define(with_default.format(scale=2)))
        keyword = "def f(inputs, *, scale={scale}):\n    return {{'y': scale}}\n"
        assert token_of(define(keyword.format(scale=1))) != token_of(define(keyword.format(scale=2)))

    def test_nested_functions_count(self):
        outer = "def f(inputs):\n    def inner(v):\n        return v * {k}\n    return {{'y': inner(1.0)}}\n"
        assert token_of(define(outer.format(k=2))) != token_of(define(outer.format(k=3)))
        lam = "def f(inputs):\n    g = lambda v: v + {k}\n    return {{'y': g(1.0)}}\n"
        assert token_of(define(lam.format(k=2))) != token_of(define(lam.format(k=3)))

    def test_closure_values_count_by_content(self):
        def make(value):
            def f(inputs):
                return {"y": float(np.sum(value))}
            return f

        assert token_of(make(np.arange(4.0))) == token_of(make(np.arange(4.0)))
        assert token_of(make(np.arange(4.0))) != token_of(make(np.arange(5.0)))
        assert token_of(make([1, 2])) != token_of(make((1, 2)))

        def wrap(function):
            def f(inputs):
                return function(inputs)
            return f

        assert token_of(wrap(define(BASE))) != token_of(wrap(define(BASE.replace("+ 1", "+ 5"))))

    def test_called_helpers_are_not_followed(self):
        source = "def helper():\n    return {k}\n\ndef f(inputs):\n    return {{'y': helper()}}\n"
        assert token_of(define(source.format(k=1))) == token_of(define(source.format(k=2)))

    def test_recursive_closure(self):
        def make():
            def f(inputs, n=2):
                return {"y": 0.0} if n == 0 else f(inputs, n - 1)
            return f

        assert token_of(make()) == token_of(make())


class TestCallables:
    def test_partials_methods_and_callable_objects(self):
        def scaled(inputs, factor):
            return {"y": factor}

        assert token_of(functools.partial(scaled, factor=2)) == token_of(functools.partial(scaled, factor=2))
        assert token_of(functools.partial(scaled, factor=2)) != token_of(functools.partial(scaled, factor=3))

        class Node:
            def __init__(self, state):
                self.state = state

            def run(self, inputs):
                return {"y": 1.0}

            def __call__(self, inputs):
                return {"y": 2.0}

        assert token_of(Node(1).run) == token_of(Node(2).run)
        assert token_of(Node(1)) == token_of(Node(2))
        assert token_of(Node(1)) != token_of(Node(1).run)

    def test_callables_without_code_raise_naming_the_label(self):
        for callable_ in (len, dict, functools.partial(print)):
            graph = quillon.Graph()
            graph.add(callable_, "Builtin")
            with pytest.raises(TypeError, match="label 'Builtin'"):
                graph.set_cache_version_from_code("Builtin")

    def test_closure_value_without_digest_raises(self):
        import threading

        lock = threading.Lock()

        def f(inputs):
            with lock:
                return {"y": 1.0}

        graph = quillon.Graph()
        graph.add(f, "Locked")
        with pytest.raises(TypeError, match="label 'Locked'.*closure value of type 'lock'"):
            graph.set_cache_version_from_code("Locked")

    def test_argument_errors(self):
        graph = quillon.Graph()
        with pytest.raises(TypeError, match="argument 'label'"):
            graph.set_cache_version_from_code(1)
        with pytest.raises(ValueError, match="no node has the label 'Missing'"):
            graph.set_cache_version_from_code("Missing")


class TestRuns:
    def test_edit_reports_code_changed_and_unchanged_hits(self):
        cache = quillon.MemoryCache()

        def run(source):
            graph = quillon.Graph(cache_backend=cache)
            graph.add(define(source), "F", None, {"y": "y"})
            graph.set_cache_version_from_code("F")
            return graph.build().execute(detailed=True)["node_cache"][0]

        assert run(BASE)["reason"] == "not_found"
        assert run("\n\n" + BASE)["hit"]
        assert run(BASE.replace("+ 1", "+ 2"))["reason"] == "code_changed"

    def test_same_source_same_token_in_a_new_process(self, tmp_path):
        script = tmp_path / "node.py"
        runner = textwrap.dedent(
            """
            import importlib.util, sys
            sys.path[:0] = {path!r}
            import quillon
            spec = importlib.util.spec_from_file_location("node", sys.argv[1])
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            graph = quillon.Graph()
            graph.add(module.f, "F", None, {{"y": "y"}})
            graph.set_cache_version_from_code("F")
            print(graph.build().execute(detailed=True)["node_cache"][0]["cache_key"])
            """
        ).format(path=sys.path)

        def key_in_new_process(source, seed):
            script.write_text(source)
            env = dict(os.environ, PYTHONHASHSEED=seed)
            done = subprocess.run([sys.executable, "-c", runner, str(script)], env=env, capture_output=True,
                                  text=True, timeout=120)
            assert done.returncode == 0, done.stderr
            return done.stdout.strip()

        closure = BASE + "\nCONSTANTS = {'a', 'b', 'c'}\ndef make():\n    s = CONSTANTS\n    def g(inputs):\n        return {'y': len(s)}\n    return g\n"
        first = key_in_new_process(BASE, "1")
        assert key_in_new_process(BASE, "2") == first
        assert key_in_new_process("# moved\n\n" + BASE, "3") == first
        assert key_in_new_process(BASE.replace("+ 1", "+ 3"), "1") != first
        set_closure = closure.replace("def f(", "def unused(") + "\nf = make()\n"
        assert key_in_new_process(set_closure, "1") == key_in_new_process(set_closure, "2")
