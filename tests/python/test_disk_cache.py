"""DiskCache: a cache that outlives the process and is shared by processes."""

import json
import os
import random
import signal
import sqlite3
import stat
import subprocess
import sys
import threading
import time
import warnings

import pytest

import quillon

try:
    import numpy
except ImportError:
    numpy = None

WORKER = os.path.join(os.path.dirname(__file__), "disk_cache_worker.py")
KILL_ROUNDS = int(os.environ.get("QUILLON_KILL_ROUNDS", "100"))


def worker(*args, timeout=120):
    out = subprocess.run([sys.executable, WORKER, *map(str, args)], capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr[-3000:]
    return json.loads(out.stdout.strip().splitlines()[-1])


def start_worker(*args, quiet=False):
    pipe = subprocess.DEVNULL if quiet else subprocess.PIPE
    return subprocess.Popen([sys.executable, WORKER, *map(str, args)], stdout=pipe, stderr=pipe, text=True)


def finish(process, timeout=120):
    out, err = process.communicate(timeout=timeout)
    assert process.returncode == 0, err[-3000:]
    return json.loads(out.strip().splitlines()[-1])


def one_node(cache, function, label="f", version="1", outputs=("y",)):
    graph = quillon.Graph(cache_backend=cache)
    graph.add(function, label, None, [(name, name) for name in outputs])
    graph.set_cache_version(label, version)
    return graph.build()


class TestConstruction:
    def test_creates_a_private_directory_and_reports_its_settings(self, tmp_path):
        path = tmp_path / "deep" / "cache"
        cache = quillon.DiskCache(path, max_entries=10, ttl_seconds=5, namespace="n")
        assert os.path.isdir(path) and stat.S_IMODE(os.stat(path).st_mode) == 0o700
        assert cache.path == str(path) and cache.namespace == "n"
        stats = cache.stats()
        assert list(stats) == ["entries", "max_entries", "hits", "misses", "evictions", "expirations", "bytes",
                               "max_bytes", "store_failures"]
        assert stats["max_entries"] == 10 and stats["max_bytes"] == 2**30
        assert quillon.DiskCache(tmp_path / "other").stats()["max_entries"] == 0  # no limit
        with pytest.raises(AttributeError):
            cache.path = "elsewhere"

    def test_bad_paths_and_arguments_raise_clear_errors(self, tmp_path):
        afile = tmp_path / "file"
        afile.write_text("x")
        with pytest.raises(OSError, match="not a directory"):
            quillon.DiskCache(afile)
        with pytest.raises(OSError):
            quillon.DiskCache(afile / "below")
        with pytest.raises(TypeError, match="^argument 'path': "):
            quillon.DiskCache(3)
        with pytest.raises(OverflowError, match="^argument 'max_bytes': "):
            quillon.DiskCache(tmp_path / "c", max_bytes=-1)
        with pytest.raises(TypeError, match="^argument 'namespace': "):
            quillon.DiskCache(tmp_path / "c", namespace=None)
        if os.geteuid() != 0:
            locked = tmp_path / "locked"
            locked.mkdir(mode=0o500)
            with pytest.raises(OSError):
                quillon.DiskCache(locked / "c")

    def test_accepted_wherever_a_memory_cache_is_and_closable(self, tmp_path):
        calls = []
        with quillon.DiskCache(tmp_path / "c", namespace="mine") as cache:
            for attach in ("constructor", "setter", "build", "execute"):
                graph = quillon.Graph(cache_backend=cache) if attach == "constructor" else quillon.Graph()
                if attach == "setter":
                    graph.set_cache_backend(cache)
                graph.add(lambda d: calls.append(1) or {"v": 1.0}, "f", None, [("v", "v")])
                graph.set_cache_version("f", "1")
                dag = graph.build(cache_backend=cache) if attach == "build" else graph.build()
                result = dag.execute(cache_backend=cache) if attach == "execute" else dag.execute()
                assert result == {"v": 1.0}
            assert len(calls) == 1  # one store, three hits, all in namespace "mine"
        with pytest.raises(ValueError, match="closed"):
            cache.stats()
        with pytest.raises(ValueError, match="closed"):
            dag.execute(cache_backend=cache)
        # A Dag built on it still runs: lookups miss and nothing is stored.
        assert dag.execute() == {"v": 1.0}
        cache.close()
        with pytest.raises(TypeError, match="^argument 'cache_backend': expected MemoryCache or DiskCache, got str$"):
            quillon.Graph(cache_backend="disk")


class TestAcrossRestarts:
    def test_hits_and_miss_reasons_survive_the_process(self, tmp_path):
        path = tmp_path / "c"
        assert worker("run", path, "v1", 2) == {"y": 4.0, "hit": False, "reason": "not_found"}
        assert worker("run", path, "v1", 2) == {"y": 4.0, "hit": True, "reason": None}
        assert worker("run", path, "v1", 3) == {"y": 6.0, "hit": False, "reason": "input_changed"}
        assert worker("run", path, "v2", 3) == {"y": 6.0, "hit": False, "reason": "code_changed"}
        cache = quillon.DiskCache(path)
        cache.clear_node(1)
        cache.close()
        assert worker("run", path, "v2", 3) == {"y": 6.0, "hit": False, "reason": "invalidated"}
        assert worker("run", path, "v2", 3)["hit"] is True

    def test_values_come_back_equal(self, tmp_path):
        values = {"f": 1.5, "i": 7, "s": "tëxt", "n": None, "fv": [0.1, -0.0, float("inf")], "iv": [1, 2, 3],
                  "m": {"a": 1.0, "b": {"c": "d"}}, "big": [float(k) for k in range(10000)], "t": (1, "two"),
                  "obj": {"set": {1, 2}}}
        if numpy is not None:
            values["arr"] = numpy.arange(24, dtype=numpy.float32).reshape(2, 3, 4)
            values["strided"] = numpy.arange(300, dtype=numpy.int64).reshape(30, 10)[::3, ::2]
            values["huge"] = numpy.random.default_rng(1).random((1000, 100))  # a value file
        names = tuple(values)
        cache = quillon.DiskCache(tmp_path / "c")
        # What a run returns without a cache is what a hit must return.
        want = one_node(cache, lambda d: dict(values), outputs=names).execute(cache=False)
        one_node(cache, lambda d: dict(values), outputs=names).execute()
        calls = []
        got = one_node(quillon.DiskCache(tmp_path / "c"), lambda d: calls.append(1) or {}, outputs=names).execute()
        assert calls == [] and list(got) == list(want)
        for name, value in want.items():
            assert type(got[name]) is type(value), name
            if numpy is not None and isinstance(value, numpy.ndarray):
                assert got[name].dtype == value.dtype and got[name].shape == value.shape
                assert (got[name] == value).all()
            else:
                assert got[name] == value, name
        assert len(os.listdir(tmp_path / "c" / "values")) >= 1

    def test_ttl_runs_on_the_wall_clock(self, tmp_path):
        cache = quillon.DiskCache(tmp_path / "c", ttl_seconds=1)
        dag = one_node(cache, lambda d: {"y": 1.0})
        dag.execute()
        assert dag.execute(detailed=True)["node_cache"][0]["hit"] is True
        time.sleep(1.1)
        assert dag.execute(detailed=True)["node_cache"][0]["reason"] == "expired"
        assert cache.stats()["expirations"] == 1


class TestBounds:
    def test_least_recently_used_entries_go_first(self, tmp_path):
        cache = quillon.DiskCache(tmp_path / "c", max_entries=3)
        state = {"x": 0}
        graph = quillon.Graph(cache_backend=cache)
        graph.add(lambda d: {"x": state["x"]}, "source", None, [("x", "x")])
        graph.add(lambda d: {"y": d["x"] + 0.5}, "f", [("x", "x")], [("y", "y")])
        graph.set_cache_version("f", "1")
        dag = graph.build()

        def run(x):
            state["x"] = x
            return dag.execute(detailed=True)["node_cache"][1]["hit"]

        for x in (1, 2, 3):
            run(x)
        assert run(1) is True  # 1 is now the most recently used
        run(4)  # evicts 2, the least recently used
        assert cache.stats()["evictions"] == 1 and cache.stats()["entries"] == 3
        assert [run(x) for x in (1, 3, 4)] == [True, True, True]
        assert run(2) is False

    def test_max_bytes_bounds_the_stored_values(self, tmp_path):
        cache = quillon.DiskCache(tmp_path / "c", max_bytes=200_000)
        state = {"x": 0}
        graph = quillon.Graph(cache_backend=cache)
        graph.add(lambda d: {"x": state["x"]}, "source", None, [("x", "x")])
        graph.add(lambda d: {"y": [float(d["x"])] * 10_000}, "f", [("x", "x")], [("y", "y")])
        graph.set_cache_version("f", "1")
        dag = graph.build()
        for x in range(10):
            state["x"] = x
            dag.execute()
        stats = cache.stats()
        assert 0 < stats["bytes"] <= 200_000 and stats["evictions"] >= 6
        # Files of evicted entries are deleted with them.
        assert len(os.listdir(tmp_path / "c" / "values")) == stats["entries"]


class TestFaults:
    def test_unpicklable_outputs_reach_the_run_and_warn_once_per_node(self, tmp_path):
        cache = quillon.DiskCache(tmp_path / "c")
        lock = threading.Lock()
        dag = one_node(cache, lambda d: {"y": lock, "z": 1.0}, outputs=("y", "z"))
        for _ in range(2):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                result = dag.execute(detailed=True)
            assert result["context"]["y"] is lock
            assert result["node_cache"][0]["stored"] is False
            messages = [str(w.message) for w in caught if w.category is quillon.CacheWarning]
            assert len(messages) == 1
            assert "node 'f' (id 0)" in messages[0] and "lock" in messages[0]
        assert cache.stats()["store_failures"] == 2 and cache.stats()["entries"] == 0

    def test_a_damaged_value_file_is_a_miss_with_a_warning(self, tmp_path):
        cache = quillon.DiskCache(tmp_path / "c")
        calls = []
        dag = one_node(cache, lambda d: calls.append(1) or {"y": [1.0] * 10_000})
        dag.execute()
        (name,) = os.listdir(tmp_path / "c" / "values")
        target = tmp_path / "c" / "values" / name
        data = bytearray(target.read_bytes())
        data[len(data) // 2] ^= 0xFF
        target.write_bytes(bytes(data))
        with pytest.warns(quillon.CacheWarning, match="damaged"):
            assert dag.execute() == {"y": [1.0] * 10_000}
        assert len(calls) == 2
        assert dag.execute() == {"y": [1.0] * 10_000} and len(calls) == 2  # stored afresh

    def test_a_damaged_database_is_set_aside(self, tmp_path):
        path = tmp_path / "c"
        quillon.DiskCache(path).close()
        (path / "cache.db").write_bytes(b"this is not a database" * 100)
        for suffix in ("-wal", "-shm"):
            if (path / ("cache.db" + suffix)).exists():
                (path / ("cache.db" + suffix)).unlink()
        with pytest.warns(quillon.CacheWarning, match="damaged"):
            cache = quillon.DiskCache(path)
        assert one_node(cache, lambda d: {"y": 2.0}).execute() == {"y": 2.0}
        assert any(name.startswith("cache.db.damaged-") for name in os.listdir(path))

    def test_damage_met_while_running_is_a_miss_and_the_next_open_starts_afresh(self, tmp_path):
        path = tmp_path / "c"
        state = {"x": 0}

        def chain(cache):
            graph = quillon.Graph(cache_backend=cache)
            graph.add(lambda d: {"x": state["x"]}, "source", None, [("x", "x")])
            graph.add(lambda d: {"y": d["x"] * 0.5}, "f", [("x", "x")], [("y", "y")])
            graph.set_cache_version("f", "1")
            return graph.build()

        cache = quillon.DiskCache(path)
        dag = chain(cache)
        for x in range(400):
            state["x"] = x
            dag.execute()
        cache.close()
        data = bytearray((path / "cache.db").read_bytes())
        middle = len(data) // 2 // 4096 * 4096
        data[middle:middle + 8192] = b"\xff" * 8192
        (path / "cache.db").write_bytes(bytes(data))

        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            cache = quillon.DiskCache(path)
            dag = chain(cache)
            for x in range(400):
                state["x"] = x
                assert dag.execute() == {"x": x, "y": x * 0.5}
            cache.close()
        assert any("damaged" in str(w.message) for w in caught if w.category is quillon.CacheWarning)
        with pytest.warns(quillon.CacheWarning, match="moved"):
            cache = quillon.DiskCache(path)
        dag = chain(cache)
        dag.execute()
        assert dag.execute(detailed=True)["node_cache"][1]["hit"] is True

    def test_a_newer_format_is_refused(self, tmp_path):
        path = tmp_path / "c"
        quillon.DiskCache(path).close()
        with sqlite3.connect(path / "cache.db") as db:
            db.execute("UPDATE meta SET value = '99' WHERE name = 'format'")
        with pytest.raises(OSError, match="newer version"):
            quillon.DiskCache(path)

    def test_pickles_are_not_read_from_a_directory_others_can_write(self, tmp_path):
        path = tmp_path / "c"
        cache = quillon.DiskCache(path)
        dag = one_node(cache, lambda d: {"y": {1, 2}, "z": 3.0}, outputs=("y", "z"))
        native = one_node(cache, lambda d: {"y": 4.0}, label="g")
        dag.execute()
        native.execute()
        cache.close()
        os.chmod(path, 0o777)
        with pytest.warns(quillon.CacheWarning, match="writable by other users"):
            shared = quillon.DiskCache(path)
        calls = []
        with pytest.warns(quillon.CacheWarning, match="pickled objects"):
            result = one_node(shared, lambda d: calls.append(1) or {"y": {1, 2}, "z": 3.0},
                              outputs=("y", "z")).execute()
        assert result == {"y": {1, 2}, "z": 3.0}
        assert calls == [1]  # the pickled entry was not read
        assert one_node(shared, lambda d: calls.append(2) or {}, label="g").execute() == {"y": 4.0}
        assert calls == [1]  # native values stay readable

    @pytest.mark.skipif(not hasattr(__import__("resource"), "RLIMIT_FSIZE"), reason="needs RLIMIT_FSIZE")
    def test_a_write_that_fails_leaves_the_result_intact(self, tmp_path):
        script = f"""
import resource, signal, warnings
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
import quillon
cache = quillon.DiskCache({str(tmp_path / 'c')!r})
resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))
graph = quillon.Graph(cache_backend=cache)
graph.add(lambda d: {{"y": [1.5] * 100_000}}, "f", None, [("y", "y")])
graph.set_cache_version("f", "1")
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    result = graph.build().execute()
assert result == {{"y": [1.5] * 100_000}}
assert any(w.category is quillon.CacheWarning for w in caught), caught
print(cache.stats()["store_failures"])
"""
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == "1"


class TestProcesses:
    def test_a_slow_node_runs_once_for_four_processes(self, tmp_path):
        path, go = tmp_path / "c", tmp_path / "go"
        quillon.DiskCache(path).close()
        workers = [start_worker("slow", path, go) for _ in range(4)]
        time.sleep(0.5)  # all four are up and polling
        go.touch()
        seen = [finish(w) for w in workers]
        assert sum(s["computed"] for s in seen) == 1
        assert sum(s["hit"] for s in seen) == 3
        assert all(s["v"] == 42.0 for s in seen)

    def test_results_stay_right_while_another_process_clears(self, tmp_path):
        path = tmp_path / "c"
        quillon.DiskCache(path).close()
        runners = [start_worker("mixed", path, 3, seed) for seed in range(4)]
        clearer = start_worker("clearer", path, 3)
        results = [finish(r) for r in runners]
        assert finish(clearer)["clears"] > 10
        assert all(r["wrong"] == [] and r["runs"] > 10 for r in results), results

    def test_a_dead_owners_claim_is_taken_over(self, tmp_path):
        path, claimed = tmp_path / "c", tmp_path / "claimed"
        quillon.DiskCache(path).close()
        holder = start_worker("hold", path, claimed)
        while not claimed.exists():
            time.sleep(0.01)
        waiter = subprocess.Popen([sys.executable, WORKER, "slow", path, claimed], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        time.sleep(0.5)
        assert waiter.poll() is None  # waiting for the holder
        holder.kill()
        holder.communicate()
        seen = finish(waiter, timeout=30)
        assert seen == {**seen, "computed": 1, "hit": False}

    def test_a_forked_child_uses_the_cache_through_its_own_connection(self, tmp_path):
        import multiprocessing

        cache = quillon.DiskCache(tmp_path / "c")
        state = {"x": 1}
        graph = quillon.Graph(cache_backend=cache)
        graph.add(lambda d: {"x": state["x"]}, "source", None, [("x", "x")])
        graph.add(lambda d: {"y": d["x"] * 10}, "f", [("x", "x")], [("y", "y")])
        graph.set_cache_version("f", "1")
        dag = graph.build()
        dag.execute()

        def child(queue):
            state["x"] = 1
            hit = dag.execute(detailed=True)["node_cache"][1]["hit"]
            state["x"] = 2
            dag.execute()  # stored, and flushed as the run ends
            queue.put(hit)

        context = multiprocessing.get_context("fork")
        queue = context.Queue()
        process = context.Process(target=child, args=(queue,))
        process.start()
        assert queue.get(timeout=60) is True
        process.join(60)
        assert process.exitcode == 0
        state["x"] = 2
        result = dag.execute(detailed=True)
        assert result["context"]["y"] == 20 and result["node_cache"][1]["hit"] is True
        state["x"] = 3
        assert dag.execute() == {"x": 3, "y": 30}
        assert cache.stats()["entries"] == 3

    def test_kill_at_any_moment_leaves_every_entry_whole_or_absent(self, tmp_path):
        path = tmp_path / "c"
        quillon.DiskCache(path).close()
        rng = random.Random(7)
        start = 0
        for _ in range(KILL_ROUNDS):
            writer = subprocess.Popen([sys.executable, WORKER, "write", str(path), str(start)], stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, text=True)
            writer.stdout.readline()  # the first entry is stored
            time.sleep(rng.uniform(0.0, 0.05))  # a random moment among the next stores
            writer.send_signal(signal.SIGKILL)
            writer.communicate()
            start += 7
        seen = worker("check", path, start + 50)
        assert seen["bad"] == []
        assert seen["hits"] > KILL_ROUNDS  # the writers did store
