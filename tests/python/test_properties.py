"""Hostile and random input, checked against models of the documented rules.

- values of every kind through the conversion, out of a node and into the
  next one, and through a chain of pass-through nodes;
- objects whose conversion hooks misbehave (raise, lie about their length,
  mutate the dict being read): some documented kind comes out, never a crash;
  failing nodes whatever sys.stderr has become;
- arbitrary objects as `inputs`/`outputs`: the documented error or the
  documented mapping;
- random graphs with cycles, dangling names, duplicate labels, branches,
  variants and odd names: sequential and parallel runs agree on every value
  whose producer is unambiguous, and cached runs, under random cache
  settings, give what uncached runs give;
- input names that look like pieces of a cache key text: a stored result is
  only ever served for the inputs it was computed from.
"""

from __future__ import annotations

import math
import os
import struct
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quillon
from conftest import IntOnly, received

# QUILLON_PROPERTY_SCALE multiplies the example counts for a longer hunt.
SCALE = float(os.environ.get("QUILLON_PROPERTY_SCALE", "1"))
FEW = settings(max_examples=int(60 * SCALE), deadline=None, suppress_health_check=[HealthCheck.too_slow])
SOME = settings(max_examples=int(120 * SCALE), deadline=None, suppress_health_check=[HealthCheck.too_slow])

INT64 = (-(2**63), 2**63 - 1)


# ---- Conversion model -----------------------------------------------------

def as_float(value):
    """The float conversion of a plain Python value, or None when it fails."""
    if isinstance(value, (bool, int, float)):
        try:
            return float(value)
        except OverflowError:
            return None
    return None


def is_text(value):
    try:
        value.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def model(value):
    """("equal", v) when the value comes back as the new object v,
    ("same", value) when it comes back as the very object."""
    number = as_float(value)
    if number is not None:
        return "equal", number
    if isinstance(value, str):
        return ("equal", value) if is_text(value) else ("same", value)
    if isinstance(value, (list, tuple, bytes, bytearray)):
        items = [as_float(item) for item in value]
        if all(item is not None for item in items):
            return "equal", items
    return "same", value


def bits(value):
    """Floats compared bit for bit (NaN payloads and the sign of zero count)."""
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, list):
        return [bits(item) for item in value]
    return value


def check_conversion(value, result):
    how, expected = model(value)
    if how == "same":
        assert result is value
    else:
        assert type(result) is type(expected)
        assert bits(result) == bits(expected)


text_with_surrogates = st.text(st.characters(blacklist_categories=()), max_size=8)
numbers = st.one_of(st.floats(), st.integers(), st.integers(*INT64), st.booleans())
plain_values = st.recursive(
    st.one_of(numbers, text_with_surrogates, st.none(), st.binary(max_size=8),
              st.builds(object), st.sets(st.integers(0, 5), max_size=3)),
    lambda inner: st.one_of(
        st.lists(inner, max_size=5),
        st.tuples(inner, inner),
        st.lists(numbers, max_size=6),
        st.tuples(numbers, numbers),
        st.dictionaries(st.text(max_size=3), inner, max_size=3),
    ),
    max_leaves=8,
)


def pass_through_chain(value, length):
    """The value returned by a source node after `length` nodes that hand on
    whatever they receive, and what each of them received."""
    seen = []

    def relay(inputs):
        seen.append(inputs["x"])
        return {"y": inputs["x"]}

    graph = quillon.Graph()
    graph.add(lambda d: {"v": value}, "source", None, [("v", "v0")])
    for i in range(length):
        graph.add(relay, f"relay{i}", [(f"v{i}", "x")], [("y", f"v{i + 1}")])
    context = graph.build().execute(parallel=length % 2 == 0)
    return context[f"v{length}"], seen


class TestConversion:
    @SOME
    @given(plain_values)
    def test_values_reach_the_next_node_by_the_rules(self, value):
        check_conversion(value, received(value))

    @FEW
    @given(plain_values, st.integers(1, 3))
    def test_conversion_is_stable_along_a_chain(self, value, length):
        # What a node receives converts back to itself: every relay sees
        # the same thing and the last value matches the model.
        result, seen = pass_through_chain(value, length)
        check_conversion(value, result)
        for item in seen:
            check_conversion(value, item)


# ---- Objects whose conversion hooks misbehave ---------------------------

class HostileBase:
    pass


def hostile_class(float_mode, index_mode, length_mode, item_mode, victim):
    """A class whose __float__, __index__, __len__ and __getitem__ do what
    the modes say; `victim` is a dict that some hooks mutate."""
    namespace = {}

    def mutate():
        victim.clear()
        victim.update({f"k{i}": float(i) for i in range(20)})

    if float_mode != "absent":
        def __float__(self):
            if float_mode == "value":
                return 2.5
            if float_mode == "mutate":
                mutate()
                return 1.5
            if float_mode == "wrong_type":
                return "not a float"
            raise RuntimeError("__float__")
        namespace["__float__"] = __float__
    if index_mode != "absent":
        def __index__(self):
            if index_mode == "value":
                return 7
            if index_mode == "huge":
                return 10**30
            if index_mode == "wrong_type":
                return 7.0
            raise RuntimeError("__index__")
        namespace["__index__"] = __index__
    if length_mode != "absent":
        def __len__(self):
            if length_mode == "value":
                return 3
            if length_mode == "lying":
                return 10**9
            if length_mode == "mutate":
                mutate()
                return 2
            raise RuntimeError("__len__")
        namespace["__len__"] = __len__
    if item_mode != "absent":
        def __getitem__(self, i):
            if i >= 3:
                raise IndexError(i)
            if item_mode == "number":
                return float(i)
            if item_mode == "int_like":
                return IntOnly(i)
            if item_mode == "mutate":
                mutate()
                return 1.0
            if item_mode == "self":
                return self
            raise RuntimeError("__getitem__")
        namespace["__getitem__"] = __getitem__
    return type("Hostile", (HostileBase,), namespace)



hostile_modes = st.tuples(
    st.sampled_from(["absent", "value", "raise", "wrong_type", "mutate"]),
    st.sampled_from(["absent", "value", "raise", "huge", "wrong_type"]),
    st.sampled_from(["absent", "value", "lying", "raise", "mutate"]),
    st.sampled_from(["absent", "number", "int_like", "raise", "mutate", "self"]),
)


def allowed_result(value, result):
    """Some documented kind: a float, an int, a list of floats, a list of
    ints, or the object itself."""
    if result is value:
        return True
    if type(result) in (float, int):
        return True
    return type(result) is list and (all(type(i) is float for i in result) or all(type(i) is int for i in result))


class TestHostileObjects:
    @SOME
    @given(hostile_modes, st.integers(0, 3))
    def test_misbehaving_hooks_never_escape(self, modes, extra_outputs):
        # The returned dict itself is the victim of the mutating hooks.
        returned = {}
        cls = hostile_class(*modes, victim=returned)
        value = cls()
        seen = []

        def source(inputs):
            returned.clear()
            returned["v"] = value
            for i in range(extra_outputs):
                returned[f"e{i}"] = cls()
            return returned

        graph = quillon.Graph()
        graph.add(source, "source", None, [("v", "v")] + [(f"e{i}", f"e{i}") for i in range(extra_outputs)])
        graph.add(lambda d: seen.append(d.get("x", "absent")) or {}, "reader", [("v", "x")], None)
        context = graph.build().execute(parallel=extra_outputs % 2 == 0)
        assert len(seen) == 1
        if "v" in context:
            assert allowed_result(value, context["v"])
            assert allowed_result(value, seen[0])
            if modes[0] == "value":
                assert context["v"] == 2.5
        for name, result in context.items():
            assert type(result) in (float, int, list) or isinstance(result, HostileBase), name


class RaisingWriter:
    def write(self, text):
        raise RuntimeError("stderr refuses")


@pytest.mark.parametrize("stderr", [RaisingWriter(), None, 42, "delete"])
def test_failures_are_reported_whatever_sys_stderr_is(monkeypatch, stderr):
    """A failing node still yields no outputs and the run goes on when
    sys.stderr raises, is None, is not a stream or is missing."""
    if stderr == "delete":
        monkeypatch.delattr(sys, "stderr")
    else:
        monkeypatch.setattr(sys, "stderr", stderr)
    graph = quillon.Graph()
    graph.add(lambda d: 1 / 0, "raises", None, [("x", "x")])
    graph.add(lambda d: [1], "not a dict", None, [("y", "y")])
    graph.add(lambda d: {"z": 1.0}, "fine", [("x", "x")], [("z", "z")])
    dag = graph.build()
    assert dag.execute() == {"z": 1.0}
    assert dag.execute(parallel=True) == {"z": 1.0}


# ---- inputs / outputs mappings -------------------------------------------

class NameSubclass(str):
    pass


names = st.one_of(
    st.sampled_from(["x", "y", "", "a:b", ":", "é", "名", "x::y"]),
    st.text(max_size=4),
    st.builds(NameSubclass, st.sampled_from(["x", "sub"])),
    st.just("\ud800"),
)
not_names = st.one_of(st.integers(), st.none(), st.binary(max_size=2), st.floats(allow_nan=False))
name_or_not = st.one_of(names, names, names, not_names)
mapping_items = st.one_of(
    st.tuples(names, names),
    st.tuples(names, names),
    st.tuples(name_or_not, name_or_not),
    st.tuples(names),
    st.tuples(names, names, names),
    st.tuples(),
    st.lists(names, min_size=2, max_size=2),
    names,
    not_names,
)
mappings = st.one_of(
    st.none(),
    st.lists(mapping_items, max_size=4),
    st.lists(st.tuples(names, names), max_size=4),
    st.dictionaries(name_or_not, name_or_not, max_size=3),
    st.dictionaries(names, names, max_size=3),
    st.tuples(st.tuples(names, names)),
    names,
    not_names,
)


class Refused(Exception):
    def __init__(self, error, text=None):
        super().__init__(error, text)
        self.error, self.text = error, text


def check_name(value):
    if not isinstance(value, str):
        raise Refused(TypeError, "^argument '(inputs|outputs)': ")
    if not is_text(value):
        raise Refused(UnicodeEncodeError)


def parse_model(mapping):
    """The ordered pairs the rules give, or Refused with the error."""
    if mapping is None:
        return []
    if isinstance(mapping, dict):
        for key, value in mapping.items():
            check_name(key)
            check_name(value)
        return list(mapping.items())
    if isinstance(mapping, list):
        for item in mapping:
            if not isinstance(item, tuple):
                raise Refused(TypeError, "^argument '(inputs|outputs)': ")
            if len(item) != 2:
                raise Refused(ValueError, f"^expected tuple of length 2, but got tuple of length {len(item)}$")
            check_name(item[0])
            check_name(item[1])
        return list(mapping)
    raise Refused(ValueError, "^inputs/outputs must be a dict or list of tuples$")


def context_key(name):
    """Where a node reads the broadcast name from: the name itself, the
    branch-qualified key for a two-piece qualified name, nothing otherwise."""
    if ":" not in name:
        return name
    pieces = name.split(":")
    return f"__branch_{pieces[0]}__{pieces[1]}" if len(pieces) == 2 else None


class TestMappings:
    @SOME
    @given(mappings, mappings)
    def test_mappings_give_the_documented_error_or_wiring(self, inputs, outputs):
        try:
            input_pairs = parse_model(inputs)
            output_pairs = parse_model(outputs)
        except Refused as refused:
            graph = quillon.Graph()
            with pytest.raises(refused.error, match=refused.text):
                graph.add(lambda d: {}, "node", inputs, outputs)
            assert graph.build().node_count() == 0
            return

        # Later pairs win; keyed by broadcast name for inputs, impl name for outputs.
        input_map = dict((str(b), str(i)) for b, i in input_pairs)
        output_map = dict((str(i), str(b)) for i, b in output_pairs)
        sources = {b: float(n) for n, b in enumerate(input_map)}
        seen = []

        def node(inputs):
            seen.append(dict(inputs))
            return {impl: f"out-{impl}" for impl in output_map}

        graph = quillon.Graph()
        graph.add(lambda d: {f"s{n}": value for n, value in enumerate(sources.values())}, "source", None,
                  [(f"s{n}", b) for n, b in enumerate(sources)])
        graph.add(node, "node", inputs, outputs)
        context = graph.build().execute()

        # Inputs: each impl name gets the value of a broadcast name mapped to
        # it (which one is unspecified when several are).
        candidates = {}
        for b, i in input_map.items():
            if context_key(b) in sources:
                candidates.setdefault(i, []).append(sources[context_key(b)])
        assert len(seen) == 1
        assert set(seen[0]) == set(candidates)
        for impl, value in seen[0].items():
            assert value in candidates[impl]

        # Outputs: the node runs after the source, so its values win.
        expected = dict(sources)
        written = {}
        for i, b in output_map.items():
            written.setdefault(b, []).append(f"out-{i}")
        for b, values in written.items():
            assert context[b] in values
            expected[b] = context[b]
        assert context == expected


# ---- Random graphs --------------------------------------------------------

BROADCAST = ["a", "b", "c", "d", "", "é", "名", "x:y", ":", "1:a", "2:b", "a:b:c", "__branch_1__a", "z::"]
LABELS = [None, "A", "A", "B", "", "a:b", "ü", "L", "L (v0)"]

broadcast = st.sampled_from(BROADCAST)
pairs = st.lists(broadcast, max_size=3)
node_ops = st.tuples(
    st.sampled_from(["add", "add", "add", "variants", "none", "fail"]),
    st.sampled_from(LABELS),
    pairs,  # broadcast names read
    pairs,  # broadcast names written
    st.integers(1, 3),  # variant count
)
graph_plans = st.tuples(
    st.lists(node_ops, min_size=1, max_size=7),
    st.none() | st.tuples(st.integers(0, 6), st.lists(node_ops.filter(lambda op: op[0] != "variants"),
                                                        min_size=1, max_size=2)),
)


def node_function(index, kind, outputs):
    """Deterministic in its inputs; values of three kinds."""
    if kind == "fail":
        return lambda inputs: None  # not a dict: reported, no outputs

    def run(inputs):
        total = float(index)
        for name in sorted(inputs):
            value = inputs[name]
            if isinstance(value, float):
                total += value
            elif isinstance(value, str):
                total += len(value)
            elif isinstance(value, list):
                total += sum(value)
        total = math.fmod(total, 997.0)
        result = {}
        for k, impl in enumerate(outputs):
            v = round(total + k, 6)
            result[impl] = (v, f"{v:.2f}", [v, -v])[k % 3]
        return result
    return run


def input_pairs(reads, index):
    return [(b, f"in{index}:{k}{b}") for k, b in enumerate(reads)]


def output_pairs(writes, index):
    return [(f"out{index}.{k}", b) for k, b in enumerate(writes)]


def add_ops(graph, ops, offset, model_nodes, layer):
    """Adds ops to graph and appends the nodes they create to model_nodes;
    returns the size of the last layer and, when the last op was variants
    on a non-empty layer, the size of that layer (where branches attach)."""
    attach = None
    for n, (kind, label, reads, writes, count) in enumerate(ops):
        index = offset + n
        ins, outs = input_pairs(reads, index), output_pairs(writes, index)
        read_map, write_map = dict(ins), dict(outs)
        function = node_function(index, kind, list(write_map))
        if kind == "variants":
            functions = [node_function(index * 10 + v, "add", list(write_map)) for v in range(count)]
            graph.variants(functions, label, ins or None, outs or None)
            created = count * max(1, layer)
            attach = layer if layer else None
        else:
            graph.add(None if kind == "none" else function, label, ins or None, outs or None)
            created = max(1, layer)
            attach = None
        for _ in range(created):
            model_nodes.append({"reads": list(read_map), "impls": list(read_map.values()),
                                "writes": list(write_map.values()), "branch": None})
        layer = created
    return layer, attach


def build_random(plan):
    """Builds the graph of a plan; returns it with the model of its nodes
    (what each reads and writes, branch copies included)."""
    ops, branch = plan
    model_nodes = []
    graph = quillon.Graph()
    if branch is None:
        add_ops(graph, ops, 0, model_nodes, 0)
    else:
        position, sub_ops = branch
        position = min(position, len(ops))
        layer, attach = add_ops(graph, ops[:position], 0, model_nodes, 0)
        sub = quillon.Graph()
        sub_nodes = []
        add_ops(sub, sub_ops, 100, sub_nodes, 0)
        branch_id = graph.branch(sub)
        copies = attach if attach is not None else layer
        for _ in range(copies):
            for node in sub_nodes:
                model_nodes.append({**node, "branch": branch_id})
        rest = []
        add_ops(graph, ops[position:], 50, rest, layer)
        model_nodes.extend(rest)
        model_nodes.extend(sub_nodes)  # merged at build as plain nodes
    return graph, model_nodes


def written_key(node, b):
    return b if node["branch"] is None else f"__branch_{node['branch']}__{b}"


def lookup_name(b):
    return b.split(":")[1] if ":" in b else b


def tainted_keys(model_nodes):
    """Context keys whose final value may depend on the mode or on the order
    of a level: keys with several writers, keys a node reads without
    depending on every writer, and everything computed from those."""
    writers = {}
    for node in model_nodes:
        for b in node["writes"]:
            writers.setdefault(written_key(node, b), []).append(b)
    tainted = {key for key, names in writers.items() if len(names) > 1}
    changed = True
    while changed:
        changed = False
        for node in model_nodes:
            dirty = False
            for b in node["reads"]:
                key = context_key(b)
                if key is None:
                    continue
                if key in tainted or any(name != lookup_name(b) for name in writers.get(key, [])):
                    dirty = True
            if dirty:
                for b in node["writes"]:
                    key = written_key(node, b)
                    if key not in tainted:
                        tainted.add(key)
                        changed = True
    return tainted


def agree(first, second, tainted):
    assert set(first) == set(second)
    for key in first:
        if key not in tainted:
            assert first[key] == second[key], key


# Random plans include cycles and cache-key names no node reads, which the build reports.
@pytest.mark.filterwarnings("ignore::quillon.GraphWarning")
class TestRandomGraphs:
    @FEW
    @given(graph_plans, st.sampled_from([None, 0, 1, 2]))
    def test_sequential_and_parallel_runs_agree(self, plan, max_threads):
        graph, model_nodes = build_random(plan)
        dag = graph.build()
        assert dag.node_count() == len(model_nodes)
        sequential = dag.execute()
        assert dag.execute() == sequential  # sequential runs are deterministic
        parallel = dag.execute(parallel=True, max_threads=max_threads)
        agree(sequential, parallel, tainted_keys(model_nodes))
        assert all(type(v) in (float, str, list) for v in sequential.values())
        dag.to_mermaid(), dag.node_labels(), dag.branch_ids(), dag.variant_indices()

    @FEW
    @given(graph_plans, st.data())
    def test_cached_runs_give_the_uncached_context(self, plan, data):
        graph, model_nodes = build_random(plan)
        labels = [label for label in LABELS if label is not None] + ["L (v1)", "nobody"]
        for label in data.draw(st.lists(st.sampled_from(labels), max_size=5), "versioned"):
            graph.set_cache_version(label, data.draw(st.sampled_from(["1", "2", "", "v:1"]), "version"))
        for label in data.draw(st.lists(st.sampled_from(labels), max_size=2), "flags"):
            graph.set_cacheable(label, data.draw(st.booleans(), "cacheable"))
        for label in data.draw(st.lists(st.sampled_from(labels), max_size=2), "keyed"):
            # A superset of what any node reads: keys stay faithful.
            extra = data.draw(st.lists(st.sampled_from(["nobody", ""]), max_size=2), "extra")
            every_input = sorted({impl for node in model_nodes for impl in node["impls"]})
            graph.set_cache_key_inputs(label, every_input + extra)
        where = data.draw(st.sampled_from(["private", "graph", "build", "execute"]), "backend")
        capacity = data.draw(st.sampled_from([None, 0, 1, 3, 100]), "capacity")
        ttl = data.draw(st.sampled_from([None, None, 0, 3600]), "ttl")
        namespace = data.draw(st.sampled_from(["default", "", "a::b", "ns:1", "名"]), "namespace")
        shared = quillon.MemoryCache(max_entries=capacity, ttl_seconds=ttl, namespace=namespace)
        if where == "private":
            graph.configure_memory_cache(max_entries=capacity, ttl_seconds=ttl)
        elif where == "graph":
            graph.set_cache_backend(shared)
        dag = graph.build(cache_backend=shared) if where == "build" else graph.build()
        options = {"cache_backend": shared} if where == "execute" else {}

        uncached = dag.execute(cache=False)
        tainted = tainted_keys(model_nodes)
        depth = data.draw(st.sampled_from(["transitive", "shallow"]), "depth")
        run_namespace = data.draw(st.sampled_from([None, "run", "a"]), "run namespace")
        for _ in range(2):
            # Sequential runs are deterministic: every key must match.
            cached = dag.execute(cache_depth=depth, cache_namespace=run_namespace, detailed=True, **options)
            assert cached["context"] == uncached
            stats = cached["cache_stats"]
            assert stats["hits"] + stats["misses"] == len(cached["node_cache"])
            parallel = dag.execute(parallel=True, cache_depth=depth, cache_namespace=run_namespace, **options)
            agree(parallel, uncached, tainted)
        stats = shared.stats()
        assert stats["entries"] <= stats["max_entries"]


# ---- Cache keys of inputs with odd names ----------------------------------

odd_impl_names = st.lists(st.text(alphabet='pq=s:"v,{}\\i', min_size=1, max_size=8), min_size=1, max_size=4,
                          unique=True)
odd_values = st.one_of(st.floats(allow_nan=False), st.integers(-3, 3), st.text(alphabet='v",=q', max_size=4),
                       st.none())


def odd_name_dag(impl_names, supply):
    """A node reading the impl names from a source that writes whatever
    supply[0] holds at run time (never cached, so it can change)."""
    graph = quillon.Graph()
    graph.add(lambda d: dict(supply[0]), "source", None, [(f"s{n}", f"b{n}") for n in range(len(impl_names))])
    graph.set_cache_version("source", "1")
    graph.set_cacheable("source", False)
    graph.add(lambda d: {"seen": repr(sorted(d.items(), key=lambda item: item[0]))}, "node",
              [(f"b{n}", name) for n, name in enumerate(impl_names)], [("seen", "seen")])
    graph.set_cache_version("node", "1")
    return graph.build()


class TestCacheKeysOfOddNames:
    def test_input_names_cannot_forge_another_input_map(self):
        # Only the third input present, or only the first two: raw names
        # would render both maps as {p=s:"v",q=f:3ff0000000000000}.
        supply = [{"s2": 1.0}]
        dag = odd_name_dag(["p", "q", 'p=s:"v",q'], supply)
        dag.execute()
        supply[0] = {"s0": "v", "s1": 1.0}
        assert dag.execute() == dag.execute(cache=False)
        assert dag.execute()["seen"] == "[('p', 'v'), ('q', 1.0)]"

    @FEW
    @given(odd_impl_names, st.lists(st.dictionaries(st.integers(0, 3), odd_values, max_size=4), min_size=2,
                                    max_size=4))
    def test_a_hit_always_belongs_to_the_same_inputs(self, impl_names, supplies):
        supply = [{}]
        dag = odd_name_dag(impl_names, supply)
        for values in supplies:
            supply[0] = {f"s{n}": value for n, value in values.items() if n < len(impl_names)}
            assert dag.execute() == dag.execute(cache=False)


# --- Distribution parameters anywhere on the float line -----------------------

any_float = st.floats(allow_nan=True, allow_infinity=True)
UNIFORM_ERRORS = {"Uniform::new called with `low >= high`", "Uniform::new: range overflow"}


class TestDistributionParameters:
    @settings(max_examples=300, deadline=None)
    @given(
        kind=st.sampled_from(["normal", "uniform", "beta", "gamma", "lognormal"]),
        a=any_float,
        b=any_float,
        p=any_float,
    )
    def test_any_parameters_sample_or_fail_with_the_documented_text(self, kind, a, b, p):
        dist = getattr(quillon, kind)(a, b)
        # Closed forms and the text form never fail, whatever the parameters.
        assert isinstance(dist.mean, float) and isinstance(dist.variance, float)
        assert repr(dist).endswith(")")
        try:
            draws = dist.sample_n(16)
            value = dist.percentile(p)
        except ValueError as error:
            assert kind == "uniform" and str(error) in UNIFORM_ERRORS
            assert not (a < b) or not math.isfinite(b - a)
            return
        assert len(draws) == 16 and all(isinstance(x, float) for x in draws)
        if kind == "uniform":
            assert all(a <= x < b for x in draws)
        if kind == "beta" and a > 0 and b > 0:
            assert all(0.0 <= x <= 1.0 or math.isnan(x) for x in draws)
        assert isinstance(value, float)

    # Shapes anywhere from subnormal to the largest double, the landmarks more
    # often than chance would pick them. A read that loops without end hangs
    # the run here.
    shape = st.one_of(
        st.sampled_from([5e-324, 1e-310, 1e-300, 1e-10, 1.0, 2.0, 1e3, 1e5, 1.5e5, 3.69e19, 1e300, sys.float_info.max]),
        st.floats(min_value=0.0, exclude_min=True, allow_infinity=False),
    )

    @settings(max_examples=300, deadline=None)
    @given(kind=st.sampled_from(["beta", "gamma"]), a=shape, b=shape,
           ps=st.lists(st.floats(min_value=0.0, max_value=1.0), min_size=2, max_size=2))
    def test_beta_and_gamma_percentiles_stay_inside_the_support_and_rise_with_p(self, kind, a, b, ps):
        dist = getattr(quillon, kind)(a, b)
        low, high = sorted(ps)
        q_low, q_high = dist.percentile(low), dist.percentile(high)
        upper = 1.0 if kind == "beta" else math.inf
        assert 0.0 <= q_low <= q_high <= upper, (low, high, q_low, q_high)
        assert (dist.percentile(0), dist.percentile(1)) == (0.0, upper)

    @settings(max_examples=200, deadline=None)
    @given(samples=st.lists(any_float, max_size=40), p=any_float)
    def test_empirical_percentiles_pick_one_of_the_samples(self, samples, p):
        dist = quillon.empirical(samples)
        value = dist.percentile(p)
        if not samples:
            assert math.isnan(value)
        else:
            assert any(value == s or (math.isnan(value) and math.isnan(s)) for s in samples)
        assert dist.samples == samples or any(math.isnan(s) for s in samples)
