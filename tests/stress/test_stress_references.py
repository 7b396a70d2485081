"""Opaque Python objects through parallel levels and caches, many times over.

Fresh objects are made by a cached node, carried opaquely through a wide
level of cached readers (so worker threads copy and drop them without the
interpreter lock, and cache entries keep them), and come back in the
results. Two kinds of fault are looked for:

- premature release: a weakref callback fires for an object while a result
  the test still holds refers to it (with the sanitizer build and
  PYTHONMALLOC=malloc a premature free is also a heap-use-after-free);
- leaks: once every DAG, cache and result is dropped, every object made has
  died, the long-lived objects are back at their starting reference counts,
  and traced Python memory is back where it started.
"""

import collections
import gc
import sys
import threading
import tracemalloc
import weakref

import quillon
from stress_support import SECONDS, Workers, frequent_switches, report

# 10,000 runs at a 20 s budget, proportionally fewer in the short mode.
RUNS = min(10_000, max(1_000, int(SECONDS * 500)))
THREADS = 2
WIDTH = 4
DISTINCT_INPUTS = 40  # keys repeat, so hits hand back stored objects
HELD_RESULTS = 8


class Token:
    __slots__ = ("serial", "__weakref__")

    def __init__(self, serial):
        self.serial = serial


class Registry:
    """Every token made, which results still hold it, and the tokens whose
    weakref callback fired while a held result still referred to them."""

    def __init__(self):
        self.lock = threading.RLock()  # callbacks may run inside a locked section's decref
        self.next_serial = 0
        self.refs = {}
        self.held = collections.Counter()
        self.made = 0
        self.died = 0
        self.premature = []

    def make(self):
        with self.lock:
            serial = self.next_serial
            self.next_serial += 1
            self.made += 1
        token = Token(serial)
        self.refs[serial] = weakref.ref(token, lambda _, s=serial: self.on_death(s))
        return token

    def on_death(self, serial):
        with self.lock:
            if self.held[serial]:
                self.premature.append(serial)
            self.refs.pop(serial, None)
            self.died += 1

    def hold(self, serials, delta):
        with self.lock:
            for serial in serials:
                self.held[serial] += delta
                if not self.held[serial]:
                    del self.held[serial]


def build(cache, registry, long_lived):
    counter = [0]
    lock = threading.Lock()

    def tick(inputs):
        with lock:
            counter[0] += 1
            return {"i": float(counter[0] % DISTINCT_INPUTS)}

    def make(inputs):
        token = registry.make()
        return {"tok": token, "pay": long_lived[int(inputs["i"]) % len(long_lived)], "mix": [token, 1.0]}

    def use(inputs):
        token, mix = inputs["tok"], inputs["mix"]
        assert mix[0] is token and isinstance(token.serial, int)
        return {"out": token, "pay": inputs["pay"], "pair": (token, inputs["i"])}

    def final(inputs):
        outs = [inputs[f"o{k}"] for k in range(WIDTH)]
        return {"all": tuple(outs), "first": outs[0]}

    graph = quillon.Graph(cache_backend=cache)
    graph.add(tick, "tick", None, [("i", "i")])
    graph.set_cacheable("tick", False)
    graph.add(make, "make", [("i", "i")], [("tok", "tok"), ("pay", "pay"), ("mix", "mix")])
    graph.set_cache_version("make", "1")
    for k in range(WIDTH):
        graph.add(use, f"use{k}", [("tok", "tok"), ("mix", "mix"), ("pay", "pay"), ("i", "i")],
                  [("out", f"o{k}"), ("pay", f"pay{k}"), ("pair", f"pair{k}")])
        # Opaque inputs have no key text; keyed by i alone they are cacheable.
        graph.set_cache_key_inputs(f"use{k}", ["i"])
        graph.set_cache_version(f"use{k}", "1")
    graph.add(final, "final", [(f"o{k}", f"o{k}") for k in range(WIDTH)], [("all", "all"), ("first", "first")])
    return graph.build()


def tokens_of(context):
    return [value.serial for value in context["all"]] + [context["first"].serial, context["tok"].serial]


def drive(registry, long_lived, caches):
    """RUNS runs over THREADS threads; every result is checked and the last
    few are held while later runs go on."""
    per_thread = RUNS // THREADS

    def runner(index):
        dags = [build(cache, registry, long_lived) for cache in caches]
        held = collections.deque()
        for n in range(per_thread):
            dag = dags[n % len(dags)]
            context = dag.execute(parallel=n % 4 != 3, max_threads=(None, 2)[n % 2])
            assert context["first"] is context["all"][0]
            for k in range(WIDTH):
                # Both outputs of one reader come from one call or one entry.
                assert context[f"pair{k}"][0] is context[f"o{k}"] is context["all"][k]
                assert type(context[f"o{k}"]) is Token
                assert context[f"pay{k}"] is long_lived[int(context[f"pair{k}"][1]) % len(long_lived)]
            registry.hold(tokens_of(context), +1)
            held.append(context)
            if len(held) > HELD_RESULTS:
                old = held.popleft()
                registry.hold(tokens_of(old), -1)  # before the last reference goes
                del old
        while held:
            old = held.popleft()
            registry.hold(tokens_of(old), -1)
            del old

    workers = Workers()
    for index in range(THREADS):
        workers.start(runner, index, name=f"runner-{index}")
    workers.join()


def test_opaque_objects_are_released_exactly_once_and_not_before():
    long_lived = [object(), {"shared": "dict"}, ["mixed", 1], Token(-1)]
    gc.collect()
    refcounts = [sys.getrefcount(o) for o in long_lived]

    # Warm-up: interpreter caches, interned names and thread states settle.
    warm = Registry()
    for _ in range(2):
        drive(warm, long_lived, [quillon.MemoryCache(max_entries=5)])
    gc.collect()

    tracemalloc.start()
    try:
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        registry = Registry()
        with frequent_switches(1e-4):
            # One cache so small that it evicts on nearly every store, one
            # large enough to keep everything; both shared by the threads.
            caches = [quillon.MemoryCache(max_entries=3), quillon.MemoryCache(max_entries=10_000)]
            drive(registry, long_lived, caches)
            stats = [cache.stats() for cache in caches]
            assert registry.premature == []
            assert registry.died < registry.made  # the large cache still holds objects
            del caches
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()

    assert registry.premature == [], "objects released while a result still held them"
    assert registry.died == registry.made, f"{registry.made - registry.died} objects never released"
    assert [sys.getrefcount(o) for o in long_lived] == refcounts
    # Registry bookkeeping is empty again; any per-run leak of even one small
    # object would exceed this.
    assert end - start < 16 * RUNS, f"traced memory grew by {end - start} bytes over {RUNS} runs"
    report("references", runs=RUNS, threads=THREADS, tokens=registry.made,
           evictions=stats[0]["evictions"], hits=stats[0]["hits"] + stats[1]["hits"],
           traced_growth_bytes=end - start)
