"""MemoryCache, the cache settings of Graph and the cache methods of Dag."""

import threading
import time

import pytest

import quillon
from conftest import run_threads


def stats_of(result):
    return {node: status["reason"] if not status["hit"] else "hit" for node, status in result["node_cache"].items()}


class TestMemoryCache:
    def test_defaults(self):
        cache = quillon.MemoryCache()
        assert cache.namespace == "default"
        stats = cache.stats()
        assert list(stats) == ["entries", "max_entries", "hits", "misses", "evictions", "expirations"]
        assert stats == {"entries": 0, "max_entries": 1024, "hits": 0, "misses": 0, "evictions": 0,
                         "expirations": 0}

    def test_constructor_arguments(self):
        assert quillon.MemoryCache(0).stats()["max_entries"] == 1
        assert quillon.MemoryCache(max_entries=7, ttl_seconds=2**64 - 1, namespace="n").namespace == "n"
        with pytest.raises(OverflowError):
            quillon.MemoryCache(ttl_seconds=2**64)
        with pytest.raises(OverflowError):
            quillon.MemoryCache(max_entries=-1)
        with pytest.raises(OverflowError):
            quillon.MemoryCache(ttl_seconds=-5)
        with pytest.raises(TypeError, match="^argument 'namespace': expected str, got NoneType$"):
            quillon.MemoryCache(namespace=None)
        with pytest.raises(TypeError, match="^argument 'max_entries': "):
            quillon.MemoryCache("many")

    def test_namespace_property(self):
        cache = quillon.MemoryCache()
        cache.namespace = "other"
        assert cache.namespace == "other"
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            del cache.namespace
        with pytest.raises(TypeError):
            cache.namespace = 3
        assert cache.namespace == "other"

    def test_clear_methods_accept_absent_things(self):
        cache = quillon.MemoryCache()
        cache.clear()
        cache.clear_node(5)
        cache.clear_node(5, None, None)
        cache.clear_node(node_id=5, version="v", namespace="x")
        cache.clear_namespace("nothing")
        with pytest.raises(OverflowError):
            cache.clear_node(-1)
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'namespace'"):
            cache.clear_namespace()


class TestSharing:
    def test_graphs_on_one_cache_share_results(self, chain):
        make, calls = chain
        cache = quillon.MemoryCache()
        make(cache).build().execute()
        result = make().build(cache_backend=cache).execute(detailed=True)
        assert calls == {"source": 1, "double": 1, "inc": 1}
        assert result["cache_stats"]["hits"] == 3
        assert cache.stats()["entries"] == 3

    def test_namespaces_separate_results(self, chain):
        make, calls = chain
        cache = quillon.MemoryCache()
        dag = make(cache).build()
        dag.execute(cache_namespace="a")
        dag.execute(cache_namespace="b")
        dag.execute(cache_namespace="a")
        assert calls["source"] == 2

    def test_namespace_rules(self, chain):
        make, calls = chain
        cache = quillon.MemoryCache(namespace="first")
        graph = make()
        graph.set_cache_backend(cache)
        cache.namespace = "second"  # copied at attach time: the graph keeps "first"
        dag = graph.build()
        dag.execute()
        cache.clear_namespace("first")
        assert stats_of(dag.execute(detailed=True)) == {0: "invalidated", 1: "invalidated", 2: "invalidated"}
        # An explicit cache_backend brings its current namespace; cache_namespace wins over it.
        dag.execute(cache_backend=cache)
        assert stats_of(dag.execute(cache_backend=cache, detailed=True))[0] == "hit"
        assert stats_of(dag.execute(cache_backend=cache, cache_namespace="x", detailed=True))[0] == "not_found"

    def test_build_with_cache_takes_its_namespace(self, chain):
        make, _ = chain
        cache = quillon.MemoryCache(namespace="mine")
        dag = make().build(cache_backend=cache)
        dag.execute()
        cache.clear_namespace("default")
        assert stats_of(dag.execute(detailed=True))[0] == "hit"
        assert dag.cache_stats()["entries"] == 3

    def test_execute_with_another_backend_leaves_own_backend_alone(self, chain):
        make, _ = chain
        dag = make().build()
        other = quillon.MemoryCache()
        dag.execute(cache_backend=other)
        assert other.stats()["entries"] == 3
        assert dag.cache_stats()["entries"] == 0

    def test_private_cache_configuration(self, chain):
        make, calls = chain
        graph = make()
        graph.configure_memory_cache(max_entries=1)
        dag = graph.build()
        dag.execute()
        assert dag.cache_stats()["max_entries"] == 1 and dag.cache_stats()["evictions"] == 2
        graph = make(quillon.MemoryCache())
        graph.configure_memory_cache(max_entries=1)  # a shared backend wins
        assert graph.build().cache_stats()["max_entries"] == 1024


class TestSettings:
    def test_expired_entries(self, chain):
        make, calls = chain
        cache = quillon.MemoryCache(ttl_seconds=0)
        dag = make(cache).build()
        dag.execute()
        assert set(stats_of(dag.execute(detailed=True)).values()) == {"expired"}
        assert cache.stats()["expirations"] == 3
        assert calls["source"] == 2

    def test_clear_cache_node_invalidates_only_that_node(self, chain):
        make, calls = chain
        dag = make().build()
        dag.execute()
        dag.clear_cache_node("default", 1)
        result = dag.execute(detailed=True)
        assert stats_of(result) == {0: "hit", 1: "invalidated", 2: "hit"}
        assert result["node_cache"][1]["category"] == "invalidation"
        assert calls == {"source": 1, "double": 2, "inc": 1}
        dag.clear_cache_node("default", 1, "never-used")  # another version: nothing to clear
        assert set(stats_of(dag.execute(detailed=True)).values()) == {"hit"}

    def test_clear_cache_and_namespace(self, chain):
        make, calls = chain
        dag = make().build()
        dag.execute()
        dag.clear_cache_namespace("default")
        dag.execute()
        dag.clear_cache()
        assert dag.cache_stats()["entries"] == 0
        assert calls["source"] == 2

    def test_cache_key_inputs_make_vector_inputs_cacheable(self):
        def make(restrict):
            graph = quillon.Graph()
            graph.add(lambda d: {"v": [1.0, 2.0], "s": 3.0}, "src", None, [("v", "v"), ("s", "s")])
            graph.add(lambda d: {"t": sum(d["v"]) + d["s"]}, "use", [("v", "v"), ("s", "s")], [("t", "t")])
            graph.set_cache_version("use", "1")
            if restrict:
                graph.set_cache_key_inputs("use", ["s"])
            return graph.build()

        dag = make(False)
        dag.execute()
        assert stats_of(dag.execute(detailed=True))[1] == "unsupported_input"
        dag = make(True)
        dag.execute()
        assert stats_of(dag.execute(detailed=True))[1] == "hit"

    def test_failed_nodes_are_never_cached(self, capsys):
        attempts = []

        def flaky(inputs):
            attempts.append(1)
            if len(attempts) == 1:
                raise RuntimeError("first call fails")
            return {"v": 1.0}

        graph = quillon.Graph()
        graph.add(flaky, "flaky", None, [("v", "v")])
        graph.set_cache_version("flaky", "1")
        dag = graph.build()
        first = dag.execute(detailed=True)
        assert first["context"] == {} and first["node_cache"][0]["stored"] is False
        assert first["cache_stats"]["stores"] == 0
        second = dag.execute(detailed=True)
        assert second["context"] == {"v": 1.0} and second["node_cache"][0]["stored"] is True
        assert dag.execute() == {"v": 1.0} and len(attempts) == 2
        assert "RuntimeError: first call fails" in capsys.readouterr().err


class TestConcurrency:
    def test_two_threads_two_dags_one_cache(self):
        calls = {}
        lock = threading.Lock()

        def node(name, out, inp=None):
            def run(inputs):
                with lock:
                    calls[name] = calls.get(name, 0) + 1
                time.sleep(0.02)
                return {out: 1.0 + sum(inputs.values())}
            return run

        def make(cache):
            graph = quillon.Graph(cache_backend=cache)
            graph.add(node("a", "x"), "a", None, [("x", "x")])
            graph.add(node("b", "y"), "b", [("x", "x")], [("y", "y")])
            graph.add(node("c", "z"), "c", [("y", "y")], [("z", "z")])
            for label in "abc":
                graph.set_cache_version(label, "1")
            return graph.build()

        cache = quillon.MemoryCache()
        dags = [make(cache), make(cache)]
        barrier = threading.Barrier(2)
        results = [None, None]

        def worker(i):
            barrier.wait(timeout=10)
            results[i] = dags[i].execute(detailed=True)

        run_threads(worker, 2)
        assert calls == {"a": 1, "b": 1, "c": 1}
        assert results[0]["context"] == results[1]["context"] == {"x": 1.0, "y": 2.0, "z": 3.0}
        hits = results[0]["cache_stats"]["hits"] + results[1]["cache_stats"]["hits"]
        stores = results[0]["cache_stats"]["stores"] + results[1]["cache_stats"]["stores"]
        assert hits == 3 and stores == 3

    def test_clears_and_borrows_during_a_running_execute(self, chain):
        make, _ = chain
        cache = quillon.MemoryCache()
        entered, release = threading.Event(), threading.Event()

        graph = quillon.Graph()
        graph.add(lambda d: (entered.set(), release.wait(10), {"v": 1.0})[2], "slow", None, [("v", "v")])
        graph.set_cache_version("slow", "1")
        dag = graph.build()
        outcome = {}
        runner = threading.Thread(target=lambda: outcome.setdefault("r", dag.execute(cache_backend=cache)))
        runner.start()
        try:
            assert entered.wait(10)
            cache.clear()
            cache.clear_node(0)
            cache.clear_namespace("default")
            assert cache.namespace == "default"
            assert cache.stats()["entries"] == 0
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                cache.namespace = "changed"
            # The Dag is only ever shared: queries work while it runs.
            assert dag.node_count() == 1
        finally:
            release.set()
            runner.join(timeout=30)
        assert outcome["r"] == {"v": 1.0}
        cache.namespace = "changed"  # free again once the run is over
        assert cache.stats()["entries"] == 1

    def test_node_clearing_its_own_cache_mid_run(self):
        cache = quillon.MemoryCache()
        payload = [object()]  # an opaque value held by stored entries

        graph = quillon.Graph(cache_backend=cache)
        graph.add(lambda d: {"p": payload}, "a", None, [("p", "p")])
        graph.add(lambda d: cache.clear() or {"q": 1.0}, "b", [("p", "p")], [("q", "q")])
        graph.set_cache_version("a", "1")
        dag = graph.build()
        for parallel in (False, True):
            assert dag.execute(parallel=parallel)["p"] is payload

    def test_dropped_outputs_may_call_back_into_the_cache(self):
        # Clearing drops the stored outputs, whose __del__ uses the cache: the
        # cache is no longer locked by then, and the clear is complete.
        cache = quillon.MemoryCache()
        seen = []

        class CallsBack:
            def __del__(self):
                seen.append(cache.stats()["entries"])
                cache.clear_namespace("elsewhere")

        graph = quillon.Graph(cache_backend=cache)
        graph.add(lambda d: {"p": CallsBack()}, "a", None, [("p", "p")])
        graph.set_cache_version("a", "1")
        dag = graph.build()
        node = 0  # the first node's id
        ns = cache.namespace
        clears = [cache.clear, lambda: cache.clear_node(node), lambda: cache.clear_namespace(ns),
                  dag.clear_cache, lambda: dag.clear_cache_node(ns, node),
                  lambda: dag.clear_cache_namespace(ns)]
        for clear in clears:
            dag.execute()  # stores a new CallsBack; the returned one goes at once
            assert seen == []
            clear()
            assert seen == [0]
            seen.clear()


def test_longest_time_to_live_never_expires(chain):
    make, _ = chain
    graph = make(quillon.MemoryCache(ttl_seconds=2**64 - 1))
    dag = graph.build()
    dag.execute()
    assert set(stats_of(dag.execute(detailed=True)).values()) == {"hit"}
