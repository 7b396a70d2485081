"""Runs hostile-object programs against quillon in a process of its own.

A program is a JSON object: a list of steps, each naming an entry point of
the module (a "site") and the hostile object to hand it. A hostile object is
an instance of a generated class (a subclass of object, float, int, str,
tuple, list or dict) one of whose special methods misbehaves from its n-th
call on: it raises, mutates the container it sits in (clear, append, pop,
replace the items), drops the example's Graph/Dag, re-enters the module
(builds and runs another graph, clears the cache, executes the same Dag) or
collects garbage. It may also carry a __del__ that does one of these when
the module lets go of it, possibly on another thread.

Ordinary exceptions are the expected outcome; the only failures are a dead
or hung process, which the caller observes from outside.

Usage:
  python hostile_worker.py              serve: one JSON program per stdin line,
                                        one "done <id> <outcome>" line per program
  python hostile_worker.py --one JSON   run one program (a reproducer)
"""

from __future__ import annotations

import gc
import json
import os
import sys

import quillon

BASES = ["object", "float", "int", "str", "tuple", "list", "dict"]
DUNDERS = [
    "__float__", "__index__", "__len__", "__iter__", "__getitem__", "__hash__", "__eq__",
    "__int__", "__str__", "__repr__", "__bool__", "__call__", "keys", "items",
]
ACTIONS = [
    "raise", "clear", "append", "pop", "replace", "reenter", "drop_graph", "none",
    "raise_type", "raise_base", "clear_cache", "exec_dag", "gc", "lie",
]
# What a method does on its later misbehaving calls: a conversion that
# failed on the first call may then be retried over a changed container.
THEN_ACTIONS = ["clear", "same", "append", "pop", "replace", "none", "reenter", "drop_graph"]
DEL_ACTIONS = ["none", "reenter", "clear_cache", "exec_dag", "drop_graph", "gc", "raise"]
CONTAINERS = ["list", "tuple", "dict", "list_sub", "dict_sub", "pairs"]

# Each site takes the step (a dict of the generated parameters) and returns
# nothing; the table at the end of the file lists them.
MAX_DEPTH = 2
N_SAMPLES = 12


class Env:
    """The objects one program acts on. Hostile methods reach them here, so
    that dropping them here may drop their last reference."""

    def reset(self):
        self.container = None
        self.cache = quillon.MemoryCache(max_entries=64)
        self.graph = None
        self.dag = None
        self.depth = 0
        self.parallel = False

    def fresh_graph(self):
        graph = quillon.Graph(self.cache)
        graph.add(source, "src", None, [("x", "x")])
        graph.add(double, "mid", [("x", "x")], [("y", "y")])
        self.graph = graph
        return graph


ENV = Env()


def source(inputs):
    return {"x": 1.5}


def double(inputs):
    return {"y": float(inputs["x"]) * 2.0}


def consume(inputs):
    return {"out": len(inputs)}


def small_run():
    """Builds and runs a separate two-node graph, cached and propagated."""
    graph = quillon.Graph()
    graph.add(source, "s", None, [("x", "x")])
    graph.add(double, "t", [("x", "x")], [("y", "y")])
    dag = graph.build()
    dag.execute()
    dag.execute(parallel=True)
    dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=4)


def perform(action, target=None):
    """Does what a hostile method was told to do (`target`: the container to
    mutate, by default the one the example is converting)."""
    if action == "none" or action == "lie":
        return
    if action == "raise":
        raise ValueError("hostile")
    if action == "raise_type":
        raise TypeError("hostile")
    if action == "raise_base":
        raise KeyboardInterrupt("hostile")
    if action == "gc":
        gc.collect()
        return
    if action == "drop_graph":
        ENV.graph = None
        ENV.dag = None
        return
    if action in ("clear", "append", "pop", "replace"):
        mutate(action, ENV.container if target is None else target)
        return
    if ENV.depth >= MAX_DEPTH:
        return
    ENV.depth += 1
    try:
        if action == "reenter":
            small_run()
        elif action == "clear_cache":
            ENV.cache.clear()
            if ENV.dag is not None:
                ENV.dag.clear_cache()
        elif action == "exec_dag":
            if ENV.dag is not None:
                ENV.dag.execute(parallel=ENV.parallel)
    finally:
        ENV.depth -= 1


def mutate(action, container):
    if isinstance(container, list):
        if action == "clear":
            container.clear()
        elif action == "append":
            container.extend([0.5, "z", ("z", "z")])
        elif action == "pop":
            if container:
                container.pop()
        elif action == "replace":
            container[:] = [("q", "q"), 7.0, "q"]
    elif isinstance(container, dict):
        if action == "clear":
            container.clear()
        elif action == "append":
            for i in range(3):
                container[f"extra{len(container)}_{i}"] = 0.5
        elif action == "pop":
            if container:
                container.popitem()
        elif action == "replace":
            keys = list(container)
            container.clear()
            for key in keys:
                container[str(key) + "_r"] = "r"


PLAIN = {
    "object": None,
    "float": 1.5,
    "int": 2,
    "str": "x",
    "tuple": ("x", "x"),
    "list": [1.0, 2.0],
    "dict": {"x": 1.0},
}


def hostile_class(base, dunder, action, trigger, once, del_action, target_self, then="same"):
    """A subclass of `base` whose `dunder` misbehaves from its trigger-th call
    (doing `action` the first time and `then` on later times, unless `once`)."""
    base_type = {"object": object, "float": float, "int": int, "str": str, "tuple": tuple,
                 "list": list, "dict": dict}[base]
    state = {"calls": 0, "fired": 0}

    def hostile_now(self):
        state["calls"] += 1
        if state["calls"] - 1 < trigger or (once and state["fired"]):
            return False
        state["fired"] += 1
        now = action if state["fired"] == 1 or then == "same" else then
        perform(now, self if target_self and isinstance(self, (list, dict)) else None)
        return True

    def ordinary(self, name, *args):
        method = getattr(base_type, name, None)
        if method is not None and base_type is not object:
            return method(self, *args)
        return {
            "__float__": 1.5, "__index__": 2, "__int__": 2, "__len__": 2,
            "__iter__": iter(["x", "y"]), "__str__": "x", "__repr__": "X()", "__bool__": True,
            "__call__": {"out": 1.0}, "keys": ["x"], "items": [("x", "x")],
        }.get(name)

    def make(name):
        def method(self, *args):
            fired = hostile_now(self)
            if fired and action == "lie":
                return {"__len__": 1000, "__float__": float("nan"), "__index__": -1, "__int__": 2**70,
                        "__hash__": -1, "__bool__": False, "__str__": "", "__repr__": "",
                        "__eq__": True}.get(name, ordinary(self, name, *args))
            if name == "__eq__":
                return base_type.__eq__(self, *args) if base_type is not object else self is args[0]
            if name == "__hash__":
                return base_type.__hash__(self) if base_type is not object else id(self) >> 4
            return ordinary(self, name, *args)
        method.__name__ = name
        return method

    namespace = {dunder: make(dunder)}
    if dunder == "__eq__":
        namespace["__hash__"] = make("__hash__") if base_type not in (list, dict) else None
    if del_action != "none":
        def __del__(self):
            perform(del_action)
        namespace["__del__"] = __del__
    return type(f"Hostile_{base}_{dunder.strip('_')}", (base_type,), namespace)


class Step:
    """The generated parameters of one step, with the builders the sites use."""

    def __init__(self, spec):
        self.spec = spec
        self.cls = hostile_class(spec["base"], spec["dunder"], spec["action"], spec["trigger"],
                                 spec["once"], spec["del_action"], spec["target_self"],
                                 spec.get("then", "same"))
        self.variant = spec["variant"]

    def obj(self):
        plain = PLAIN[self.spec["base"]]
        return self.cls() if plain is None else self.cls(plain)

    def _container(self, items, keyed):
        """Wraps items, the hostile one at spec position, into the chosen container."""
        kind = self.spec["container"]
        if keyed or kind in ("dict", "dict_sub"):
            pairs = []
            for i, item in enumerate(items):
                key = item if isinstance(item, str) else f"k{i}"
                value = item[1] if isinstance(item, tuple) and len(item) == 2 else item
                pairs.append((key, value))
            if kind == "dict_sub":
                made = self.container_class(dict)(pairs)
            else:
                made = dict(pairs)
        elif kind == "list":
            made = list(items)
        elif kind == "tuple":
            made = tuple(items)
        elif kind == "list_sub":
            made = self.container_class(list)(items)
        else:  # pairs
            made = [(item, item) if isinstance(item, str) else item for item in items]
        ENV.container = made
        return made

    def container_class(self, base):
        spec = self.spec
        cls = hostile_class("list" if base is list else "dict", spec["dunder"], spec["action"],
                            spec["trigger"], spec["once"], spec["del_action"], True,
                            spec.get("then", "same"))
        return cls

    def seq(self, plain):
        """A sequence of `size` plain items with the hostile object at
        `position`, or only hostile items when `position` says so."""
        size = self.spec["size"]
        items = [plain(i) for i in range(size)]
        if self.spec["position"] == 0:
            items = [self.obj() for _ in range(size)]
        elif size:
            position = self.spec["position"] % size
            items[position] = self.obj()
        return self._container(items, keyed=False)

    def mapping(self, names=("x", "k")):
        """Name pairs (dict or list of 2-tuples) with the hostile object as a
        name, a pair, or the mapping itself."""
        size = self.spec["size"]
        items = [(names[i % len(names)], names[i % len(names)]) for i in range(size)]
        if size:
            position = self.spec["position"] % size
            h = self.obj()
            where = self.variant % 3
            if where == 0:
                items[position] = (h, items[position][1])
            elif where == 1:
                items[position] = (items[position][0], h)
            else:
                items[position] = h
        kind = self.spec["container"]
        if kind in ("dict", "dict_sub"):
            pairs = [item if isinstance(item, tuple) and len(item) == 2 else (item, "x") for item in items]
            try:
                made = (self.container_class(dict) if kind == "dict_sub" else dict)(pairs)
            except Exception:
                made = dict()
        elif kind == "list_sub":
            made = self.container_class(list)(items)
        elif kind == "tuple":
            made = tuple(items)
        else:
            made = list(items)
        ENV.container = made
        return made


def graph():
    if ENV.graph is None:
        ENV.fresh_graph()
    return ENV.graph


def build():
    g = graph()
    ENV.graph = None
    try:
        ENV.dag = g.build()
    except ValueError:
        ENV.dag = ENV.fresh_graph().build()
    return ENV.dag


def run(detailed=False):
    dag = ENV.dag if ENV.dag is not None else build()
    result = dag.execute(parallel=ENV.parallel, detailed=detailed)
    dag.execute(parallel=not ENV.parallel)
    return result


def propagate():
    dag = ENV.dag if ENV.dag is not None else build()
    dag.predict_at({"x": quillon.normal(1.0, 0.5)}, n_samples=N_SAMPLES)
    return dag.predict({"x": quillon.uniform(0.0, 1.0)}, n_samples=N_SAMPLES)


# --- sites -----------------------------------------------------------------

def site_add_inputs(s):
    graph().add(consume, "n", s.mapping(), [("out", "out")])
    build()
    run()
    propagate()


def site_add_outputs(s):
    graph().add(lambda inputs: {"x": 1.0, "k": 2.0}, "n", [("y", "y")], s.mapping())
    build()
    run(detailed=True)


def site_add_label(s):
    h = s.obj()
    graph().add(double, h, [("x", "x")], [("y", "z")])
    if s.variant % 2:
        graph().set_cache_version(h, "v1")
    dag = build()
    dag.to_mermaid()
    dag.node_labels()
    run()
    dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=N_SAMPLES, at_node=h)


def site_variants(s):
    def variant(*args):
        return {"y": 1.0}
    functions = s.seq(lambda i: variant)
    graph().variants(functions, "var" if s.variant % 2 else s.obj(), [("x", "x")], [("y", "vy")])
    dag = build()
    dag.variant_indices()
    run()
    propagate()


def site_set_cache_version(s):
    g = graph()
    if s.variant % 2:
        g.set_cache_version(s.obj(), "v")
    else:
        g.set_cache_version("src", s.obj())
    build()
    run()


def site_set_cacheable(s):
    graph().set_cacheable("mid", s.obj())
    build()
    run()


def site_set_cache_key_inputs(s):
    graph().set_cache_key_inputs("mid", s.seq(lambda i: "x"))
    build()
    run()
    run()


def site_dist_transfer(s):
    def transfer(dists):
        ENV.container = dists
        if s.variant % 3 == 0:
            return s.mapping(names=("y", "x"))
        if s.variant % 3 == 1:
            h = s.obj()
            return {"y": h} if s.variant % 2 else {h: quillon.normal(0.0, 1.0)}
        made = s._container([quillon.normal(0.0, 1.0), s.obj()], keyed=True)
        return made
    graph().set_dist_transfer("mid" if s.variant % 5 else s.obj(), transfer)
    build()
    propagate()


def site_configure_memory_cache(s):
    h = s.obj()
    if s.variant % 2:
        graph().configure_memory_cache(h, None)
    else:
        graph().configure_memory_cache(8, h)
    build()
    run()


def site_memory_cache(s):
    h = s.obj()
    v = s.variant % 6
    if v == 0:
        ENV.cache = quillon.MemoryCache(max_entries=h)
    elif v == 1:
        ENV.cache = quillon.MemoryCache(ttl_seconds=h)
    elif v == 2:
        ENV.cache = quillon.MemoryCache(namespace=h)
    elif v == 3:
        ENV.cache.namespace = h
    elif v == 4:
        build()
        run()
        ENV.cache.clear_node(h, h if s.variant % 4 else None, h if s.variant % 3 else None)
    else:
        ENV.cache.clear_namespace(h)
    ENV.cache.stats()
    build()
    run()


def site_graph_cache_backend(s):
    h = s.obj()
    v = s.variant % 3
    if s.variant % 2:
        # A real backend whose namespace is the hostile object.
        h = quillon.MemoryCache(max_entries=4, namespace=h)
    if v == 0:
        ENV.graph = quillon.Graph(h)
    elif v == 1:
        graph().set_cache_backend(h)
    else:
        ENV.dag = graph().build(cache_backend=h)
        ENV.graph = None
    run()


def site_execute_args(s):
    dag = build()
    names = ["parallel", "max_threads", "cache", "cache_depth", "cache_namespace", "cache_backend", "detailed"]
    name = names[s.variant % len(names)]
    dag.execute(**{name: s.obj()})


def site_node_returns(s):
    def node(inputs):
        v = s.variant % 3
        if v == 0:
            return s.mapping(names=("out", "x"))
        if v == 1:
            return {"out": s.obj(), "x": 1.0}
        return s._container([1.0, s.obj()], keyed=True)
    g = graph()
    g.add(node, "ret", [("y", "y")], [("out", "out"), ("x", "x2")])
    g.add(consume, "after", [("out", "o"), ("x2", "p")], [("out", "fin")])
    build()
    run(detailed=True)
    propagate()


def site_node_values(s):
    h = s.obj() if s.variant % 2 else s.seq(lambda i: float(i))
    g = graph()
    g.add(lambda inputs: {"v": h}, "emit", None, [("v", "v")])
    g.add(lambda inputs: {"w": inputs["v"]}, "pass", [("v", "v")], [("w", "w")])
    build()
    run()
    run()
    propagate()
    del h


def site_clear_cache_args(s):
    dag = build()
    run()
    h = s.obj()
    if s.variant % 2:
        dag.clear_cache_namespace(h)
    else:
        dag.clear_cache_node(h if s.variant % 4 else "default", h, h if s.variant % 3 else None)
    dag.cache_stats()
    run()


def site_predict_inputs(s):
    dag = build()
    inputs = s.mapping(names=("x", "y"))
    if isinstance(inputs, dict):
        for key in list(inputs):
            try:
                if s.variant % 2:
                    inputs[key] = quillon.normal(0.0, 1.0)
            except Exception:
                pass
    if s.variant % 3:
        dag.predict(inputs, n_samples=N_SAMPLES)
    else:
        dag.predict_at(inputs, n_samples=N_SAMPLES)


def site_predict_args(s):
    dag = build()
    h = s.obj()
    x = {"x": quillon.normal(0.0, 1.0)}
    v = s.variant % 5
    if v == 0:
        dag.predict(x, n_samples=h)
    elif v == 1:
        dag.predict_at(x, n_samples=h)
    elif v == 2:
        dag.predict_at(x, n_samples=N_SAMPLES, at_node=h)
    elif v == 3:
        dag.predict_at(x, n_samples=N_SAMPLES, at_branch=h)
    else:
        dag.predict_at(x, n_samples=N_SAMPLES, at_variant=h)


def site_distribution_ctor(s):
    v = s.variant % 9
    h = s.obj()
    if v <= 2:
        d = quillon.empirical(s.seq(lambda i: float(i)))
    elif v == 1:
        d = quillon.normal(h, 1.0)
    elif v == 2:
        d = quillon.uniform(0.0, h)
    elif v == 3:
        d = quillon.beta(h, 2.0)
    elif v == 4:
        d = quillon.gamma(2.0, h)
    elif v == 5:
        d = quillon.lognormal(h, 0.5)
    elif v == 6:
        d = quillon.deterministic(h)
    else:
        d = quillon.deterministic(h)
    d.summary()
    d.sample_n(4)
    d.samples


def site_distribution_methods(s):
    d = quillon.empirical([1.0, 2.0, 3.0]) if s.variant % 2 else quillon.normal(0.0, 1.0)
    h = s.obj()
    if s.variant % 3 == 0:
        d.percentile(h)
    elif s.variant % 3 == 1:
        d.sample_n(h)
    else:
        (d.mean, d.std, d.variance, d.p5, d.p50, d.p95, repr(d))


def site_stat_access(s):
    result = propagate()
    h = s.obj()
    v = s.variant % 5
    if v == 0:
        result.get(h)
    elif v == 1:
        result[h]
    elif v == 2:
        result.for_branch(h)
    elif v == 3:
        result.for_variant(h)
    else:
        h in result.keys()
        result.particles
    result.print_summary()


def site_branch(s):
    sub = quillon.Graph()
    sub.add(double, s.obj() if s.variant % 2 else "b", s.mapping(), [("y", "by")])
    graph().branch(sub)
    dag = build()
    dag.branch_ids()
    run()
    propagate()


def site_node_floats(s):
    """Node outputs that only convert to floats through hostile methods,
    read as samples by the propagations."""
    g = graph()
    g.add(lambda inputs: {"h": s.obj()}, "hf", [("y", "y")], [("h", "h")])
    g.add(lambda inputs: {"g": inputs["h"]}, "hg", [("h", "h")], [("g", "g")])
    build()
    propagate()
    run()


SITES = {name[5:]: function for name, function in globals().items() if name.startswith("site_")}

NUMBER_DUNDERS = ["__float__", "__index__", "__int__", "__bool__"]
NAME_DUNDERS = ["__hash__", "__eq__", "__str__", "__len__", "__iter__", "__getitem__"]
CONTAINER_DUNDERS = ["__len__", "__iter__", "__getitem__", "keys", "items", "__float__"]
SITE_DUNDERS = {
    "add_inputs": NAME_DUNDERS, "add_outputs": NAME_DUNDERS, "branch": NAME_DUNDERS,
    "predict_inputs": NAME_DUNDERS + ["keys", "items"], "add_label": NAME_DUNDERS,
    "variants": ["__call__"] + CONTAINER_DUNDERS, "set_cache_version": NAME_DUNDERS,
    "set_cacheable": ["__bool__", "__index__"], "set_cache_key_inputs": NAME_DUNDERS,
    "dist_transfer": CONTAINER_DUNDERS + NAME_DUNDERS, "configure_memory_cache": NUMBER_DUNDERS,
    "memory_cache": NUMBER_DUNDERS + NAME_DUNDERS, "graph_cache_backend": NAME_DUNDERS,
    "execute_args": NUMBER_DUNDERS + NAME_DUNDERS, "clear_cache_args": NUMBER_DUNDERS + NAME_DUNDERS,
    "predict_args": NUMBER_DUNDERS + NAME_DUNDERS, "distribution_ctor": NUMBER_DUNDERS,
    "distribution_methods": NUMBER_DUNDERS, "stat_access": NAME_DUNDERS + NUMBER_DUNDERS,
    "node_returns": CONTAINER_DUNDERS + NUMBER_DUNDERS, "node_values": CONTAINER_DUNDERS + NUMBER_DUNDERS,
    "node_floats": NUMBER_DUNDERS,
}

# The bases a site's arguments accept, so that most examples get past the
# type checks into the conversions proper; the others are drawn from BASES.
SITE_BASES = {
    "add_inputs": ["str", "tuple"], "add_outputs": ["str", "tuple"], "branch": ["str", "tuple"],
    "predict_inputs": ["str", "tuple", "dict"], "add_label": ["str"], "variants": ["object", "list"],
    "set_cache_version": ["str"], "set_cacheable": ["object"], "set_cache_key_inputs": ["str"],
    "dist_transfer": ["dict", "str", "float"], "configure_memory_cache": ["int"],
    "memory_cache": ["int", "str"], "graph_cache_backend": ["str"], "execute_args": ["int", "str"],
    "clear_cache_args": ["str", "int"], "predict_args": ["int", "str"],
    "distribution_ctor": ["object", "int"], "distribution_methods": ["object", "int"],
    "stat_access": ["str", "int"], "node_returns": BASES, "node_values": BASES, "node_floats": ["object", "int"],
}


# --- driver ----------------------------------------------------------------

def run_program(program):
    """Runs every step; returns the name of the first exception or 'ok'."""
    ENV.reset()
    outcome = "ok"
    try:
        for spec in program["steps"]:
            ENV.parallel = spec["parallel"]
            try:
                SITES[spec["site"]](Step(spec))
            except BaseException as error:  # noqa: BLE001 - every exception is an allowed outcome
                outcome = type(error).__name__
    finally:
        # Every object of the program goes now, so that its destructors run
        # while the program is still the one being run.
        try:
            ENV.reset()
            gc.collect()
        except BaseException as error:  # noqa: BLE001
            outcome = type(error).__name__
    return outcome


def serve():
    # Whatever the module or the programs print goes to stderr; the replies
    # go through a descriptor of their own.
    replies = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        program = json.loads(line)
        sys.stderr.write(f"\n=== program {program['id']}: {line}\n")
        sys.stderr.flush()
        outcome = run_program(program)
        replies.write(f"done {program['id']} {outcome}\n")


def main(argv):
    if len(argv) >= 2 and argv[0] == "--one":
        print(run_program(json.loads(argv[1])))
        return
    serve()


if __name__ == "__main__":
    import faulthandler

    faulthandler.enable()
    main(sys.argv[1:])
