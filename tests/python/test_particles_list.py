"""StatResult.particles: one list, built on first read and kept, whose dicts
hold exactly what the columns hold, key for key and in order."""

import gc
import math
import sys
import threading
import weakref

import pytest

import quillon

np = pytest.importorskip("numpy")


def awkward_result(n=60):
    """x drawn; r fails where x < 0 (its draws are lost, so particles lack
    it); v a vector output; a branch copy writing branch-qualified keys."""
    graph = quillon.Graph()
    graph.add(lambda d: {"r": math.sqrt(d["x"])}, "Root", [("x", "x")], [("r", "r")])
    graph.add(lambda d: {"v": [d["x"], 2 * d["x"]]}, "Vec", [("x", "x")], [("v", "v")])
    sub = quillon.Graph()
    sub.add(lambda d: {"w": d["x"] + 1}, "Shift", [("x", "x")], [("w", "w")])
    graph.branch(sub)
    return graph.build().predict({"x": quillon.normal(0, 1)}, n_samples=n, seed=11)


def reference(stat):
    """The particle dicts rebuilt from the columns: NaN marks a missing value."""
    columns = stat.to_numpy()
    return [{k: float(a[i]) for k, a in columns.items() if not math.isnan(a[i])}
            for i in range(len(next(iter(columns.values()))))]


def test_content_matches_the_columns_key_for_key_and_in_order():
    stat = awkward_result()
    particles = stat.particles
    expected = reference(stat)
    assert [list(p.items()) for p in particles] == [list(p.items()) for p in expected]
    assert all(type(v) is float for p in particles for v in p.values())
    # The fixture covers what the dicts must cope with.
    assert any("r" not in p for p in particles) and any("r" in p for p in particles)
    assert any(k.startswith("__branch_") for k in particles[0])
    assert len(particles[0]) > len({"x", "r", "w"})  # the vector's entries


def test_every_read_returns_the_same_list():
    stat = awkward_result(10)
    first = stat.particles
    before = sys.getrefcount(first)
    for _ in range(100):
        assert stat.particles is first
    assert sys.getrefcount(first) == before  # no reference is leaked per read
    first[0]["x"] = "changed"
    assert stat.particles[0]["x"] == "changed"  # it is one object, as an attribute would be
    assert stat.particles is not awkward_result(10).particles  # not shared between results


def test_the_list_outlives_its_result_and_a_cycle_through_it_is_collected():
    stat = awkward_result(10)
    particles = stat.particles
    del stat
    gc.collect()
    assert len(particles) == 10 and all("x" in p for p in particles)

    class Marker:
        pass

    stat = awkward_result(10)
    marker = Marker()
    marker.result = stat
    stat.particles.append(marker)  # stat -> list -> marker -> stat
    gone = weakref.ref(marker)
    del stat, marker
    gc.collect()
    assert gone() is None


def test_threads_reading_at_once_all_get_one_list():
    stat = awkward_result(20_000)
    start = threading.Barrier(6)
    seen = []

    def read():
        start.wait(timeout=30)
        seen.append(stat.particles)

    threads = [threading.Thread(target=read) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert len(seen) == 6 and all(p is seen[0] for p in seen)
