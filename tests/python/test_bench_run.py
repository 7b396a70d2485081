"""The benchmark runner's own machinery: results are checked before they are
timed, absent peers are reported rather than faked, the workloads compute the
same answers on every system, and the table and JSON are well formed. No
figure is asserted: timings belong to the benchmark, never to a test."""

from __future__ import annotations

import importlib.util
import json
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parents[2] / "benchmarks"


@pytest.fixture(scope="module")
def bench():
    saved_path = list(sys.path)
    spec = importlib.util.spec_from_file_location("quillon_bench_run", BENCHMARKS / "run.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)  # puts benchmarks/ on sys.path for its own imports
    yield module
    sys.modules.pop(spec.name, None)
    sys.path[:] = saved_path


def test_a_wrong_or_failing_system_gets_an_error_row_and_is_not_timed(bench):
    ctx = bench.Context(repeat=1, slow_repeat=1)
    assert bench.checked(ctx, "w", "right", lambda: 2, lambda r: r == 2) is not None
    assert bench.checked(ctx, "w", "wrong", lambda: 3, lambda r: r == 2) is None
    assert bench.checked(ctx, "w", "raises", lambda: 1 / 0, lambda r: True) is None
    assert [(row.system, row.status) for row in ctx.rows] == [("wrong", "error"), ("raises", "error")]
    assert "ZeroDivisionError" in ctx.rows[1].note


def test_the_callable_timed_is_the_one_checked(bench):
    ctx = bench.Context(repeat=1, slow_repeat=1)
    cases = {}
    right, wrong = (lambda: 2), (lambda: 3)
    assert bench.add_case(ctx, cases, "w", "right", right, lambda r: r == 2)
    assert not bench.add_case(ctx, cases, "w", "wrong", wrong, lambda r: r == 2)
    assert cases == {"right": right}
    assert [(row.system, row.status) for row in ctx.rows] == [("wrong", "error")]


def test_cached_chain_is_checked_as_all_hits_on_the_call_it_times(bench, tmp_path):
    modules, errors = bench.load_peers([])
    ctx = bench.Context(repeat=1, slow_repeat=1, peers=modules, peer_errors=errors, tmp=str(tmp_path))
    bench.bench_cached_chain(ctx)
    quillon_rows = [row for row in ctx.rows if row.system == "quillon"]
    assert [(row.status, row.note) for row in quillon_rows] == [("ok", "")]
    assert quillon_rows[0].unit == "us/node" and quillon_rows[0].target == "≤ 3 µs/node"


def test_setups_run_untimed_before_each_run_of_their_case_only(bench):
    calls = []
    cases = {"a": lambda: calls.append("a"), "b": lambda: calls.append("b")}
    times = bench.side_by_side(cases, 2, {"a": lambda: calls.append("setup a")})
    assert {name: len(samples) for name, samples in times.items()} == {"a": 2, "b": 2}
    assert calls == ["setup a", "a", "b", "b", "setup a", "a"]


def test_disk_workload_checks_hits_stores_and_shared_workers(bench, monkeypatch, tmp_path):
    monkeypatch.setattr(bench, "DISK_WORKERS", 2)
    monkeypatch.setattr(bench, "DISK_WORKER_RUNS", 2)
    modules, errors = bench.load_peers(["diskcache"])
    ctx = bench.Context(repeat=1, slow_repeat=1, peers=modules, peer_errors=errors, tmp=str(tmp_path))
    bench.bench_disk(ctx)
    rows = {(row.workload.split(", ")[-1], row.system): row for row in ctx.rows}
    hits = rows[("every node a hit", "quillon DiskCache")]
    stores = rows[("storing every node", "quillon DiskCache")]
    shared = rows[("2 processes sharing it", "quillon DiskCache, 2 processes")]
    assert (hits.status, stores.status, shared.status) == ("ok", "ok", "ok")
    # Without joblib the hits are held to the absolute limit alone.
    assert hits.target == "≤ 10 µs/node" and not hits.baseline
    assert rows[("every node a hit", "joblib.Memory")].status == "skipped"
    assert rows[("storing every node", "hamilton (disk cache)")].status == "skipped"
    assert shared.runs == 4 and "2 processes at once" in shared.note
    if modules["diskcache"] is not None:
        assert stores.baseline == "diskcache Cache.set" and stores.target.endswith("≤ 1× Cache.set")
    # Workers over a cache that was never filled miss, and say so.
    with pytest.raises(RuntimeError, match="not all hits"):
        bench.shared_disk_hits(str(tmp_path / "empty"), 1, 1)


def test_absent_peers_are_listed_with_their_reason(bench, monkeypatch):
    monkeypatch.setitem(bench.PEERS, "nosuchpeer", ("quillon_no_such_module_xyz",))
    modules, errors = bench.load_peers(["nosuchpeer"])
    assert modules["nosuchpeer"] is None
    assert errors["nosuchpeer"].startswith("not importable: ModuleNotFoundError")
    assert errors["dask"] == "left out (--no-peers)"
    ctx = bench.Context(repeat=1, slow_repeat=1, peers=modules, peer_errors=errors)
    ctx.skipped("w", "nosuchpeer", "nosuchpeer")
    cells = bench.table_cells(ctx.rows)
    assert cells[0][-1].startswith("skipped: nosuchpeer not importable")


def test_random_dag_engine_and_plain_loop_agree(bench):
    parents = bench.random_parents(300, seed=3)
    assert all(len(set(ps)) == len(ps) and all(p < i for p in ps) for i, ps in enumerate(parents))
    order = bench.topological_order(parents)
    assert sorted(order) == list(range(300))
    position = {node: k for k, node in enumerate(order)}
    assert all(position[p] < position[i] for i, ps in enumerate(parents) for p in ps)
    expected = bench.plain_dag_runner(parents, order)()
    assert bench.build_quillon(bench.quillon_specs(parents)).execute() == expected


def test_plain_monte_carlo_loops_match_the_engine_shape(bench):
    draws = [0.0, 1.0, -1.0]
    assert bench.mc_plain_loop(draws) == [bench.MC_CHAIN + d for d in draws]
    particles = bench.plain_particles_drawing(4)
    assert len(particles) == 4 and all(len(p) == bench.MC_CHAIN + 1 for p in particles)
    assert all(p[-1] == pytest.approx(p[0] + bench.MC_CHAIN) for p in particles)


def test_contract_floor_loops_compute_what_the_engine_does(bench, tmp_path, monkeypatch):
    ctx = bench.Context(repeat=1, slow_repeat=1, tmp=str(tmp_path))
    floor = bench.contract_floor(ctx)
    if floor is None:
        pytest.skip(f"contract floor not built: {ctx.floor_error}")
    functions = [bench.source] + [bench.increment] * (bench.CHAIN_LENGTH - 1)
    keys = [f"v{i}" for i in range(bench.CHAIN_LENGTH)]
    assert floor.chain(functions, "x", "y", keys) == bench.chain_graph(versioned=False).build().execute()
    draws = [0.0, 1.5, -2.0]
    assert floor.calls(bench.mc_increment, draws, "x", "y", bench.MC_CHAIN) == bench.mc_plain_loop(draws)
    # Errors of the called function come back as Python errors, not crashes.
    with pytest.raises(ZeroDivisionError):
        floor.chain([bench.source, lambda inputs: 1 / 0], "x", "y", ["a", "b"])
    with pytest.raises(KeyError):
        floor.calls(lambda inputs: {}, draws, "x", "y", 1)
    # Without a compiler the floor is reported as absent, with the reason.
    monkeypatch.setenv("CXX", str(tmp_path / "no-such-compiler"))
    missing = bench.Context(repeat=1, slow_repeat=1, tmp=str(tmp_path / "again"))
    (tmp_path / "again").mkdir()
    assert bench.contract_floor(missing) is None and missing.floor_error


def test_scale_child_reports_every_measure(bench):
    out = bench.scale_chain_child(500)
    for key in ("add_s", "build_s", "mermaid_s", "plain_run_s", "run_s", "store_s", "hit_s",
                "graph_bytes", "dag_bytes", "result_bytes", "store_bytes", "mermaid_chars"):
        assert key in out
    assert out["nodes"] == 500 and out["mermaid_chars"] > 0


def test_tables_group_by_workload_and_json_round_trips(bench, tmp_path):
    Row = bench.Row
    rows = bench.grouped([
        Row("a", "peer", status="skipped", note="peer left out"),
        Row("a", "base", median_s=0.002, runs=3, figure="2.00 µs/node", value=2.0, unit="us/node",
            ratio=1.0, baseline="base"),
        Row("b", "x", median_s=0.5, runs=1, unit="s", ratio=None),
        Row("a", "quillon", median_s=0.003, runs=3, figure="3.00 µs/node", value=3.0, unit="us/node",
            ratio=1.5, baseline="base", target="≤ 1.3× loop", met=False),
    ])
    assert [(r.workload, r.system) for r in rows] == [("a", "base"), ("a", "quillon"), ("a", "peer"), ("b", "x")]
    text = bench.render_text(rows)
    assert "1 (baseline)" in text and "1.50×" in text and "NOT MET" in text
    markdown = bench.render_markdown(rows).splitlines()
    assert markdown[0].startswith("| workload |") and markdown[3].startswith("|  | quillon |")
    path = tmp_path / "r.json"
    path.write_text(json.dumps([bench.asdict(r) for r in rows], ensure_ascii=False))
    assert json.loads(path.read_text())[1]["met"] is False


def test_percentile_reads_are_checked_against_the_exact_value(bench, monkeypatch):
    monkeypatch.setattr(bench, "PERCENTILE_READS", 10)
    ctx = bench.Context(repeat=1, slow_repeat=1)
    bench.bench_percentile(ctx)
    rows = {row.system: row for row in ctx.rows}
    assert [row.status for row in ctx.rows] == ["ok", "ok"]
    assert rows["quillon"].unit == "us/read" and rows["quillon"].target == "≤ 2 µs/read"
    assert rows["quillon"].baseline == "plain loop (statistics.NormalDist.inv_cdf)"
    # A read off the exact value is an error row, never a figure.
    monkeypatch.setattr(bench, "STANDARD_NORMAL_P5", -1.6)
    ctx = bench.Context(repeat=1, slow_repeat=1)
    bench.bench_percentile(ctx)
    assert [row.status for row in ctx.rows] == ["error", "error"]


def test_content_digest_workload_times_hits_beside_joblib(bench, monkeypatch, tmp_path):
    monkeypatch.setattr(bench, "DIGEST_SHAPE", (20, 50))
    modules, errors = bench.load_peers(["numpy", "joblib"])
    if modules["numpy"] is None:
        pytest.skip("numpy is not installed")
    ctx = bench.Context(repeat=1, slow_repeat=1, peers=modules, peer_errors=errors, tmp=str(tmp_path))
    bench.bench_content_digest(ctx)
    rows = {row.system: row for row in ctx.rows}
    quillon_row = rows["quillon (cached run, hit)"]
    assert quillon_row.status == "ok"
    if modules["joblib"] is None:
        assert rows["joblib.hash"].status == "skipped"
    else:
        assert rows["joblib.hash"].status == "ok" and quillon_row.baseline == "joblib.hash"
        assert "GB/s" in quillon_row.note and quillon_row.target


def test_former_particle_build_gives_the_kept_list_exactly(bench, tmp_path):
    np = pytest.importorskip("numpy")
    ctx = bench.Context(repeat=1, slow_repeat=1, tmp=str(tmp_path))
    floor = bench.contract_floor(ctx)
    if floor is None:
        pytest.skip(f"contract floor not built: {ctx.floor_error}")
    import math

    import quillon

    graph = quillon.Graph()
    # Five keys: r is lost where x < 0, s exists only where x > -1. A
    # particle holds all five, lacks one (copied, then trimmed) or lacks two
    # (built key by key): every way of building a dict is used.
    graph.add(lambda d: {"r": math.sqrt(d["x"])}, "Root", [("x", "x")], [("r", "r")])
    graph.add(lambda d: {"s": d["x"]} if d["x"] > -1 else {}, "Tail", [("x", "x")], [("s", "s")])
    graph.add(lambda d: {"u": d["x"] + 1, "w": d["x"] + 2}, "Both", [("x", "x")], [("u", "u"), ("w", "w")])
    stat = graph.build().predict({"x": quillon.normal(0, 1)}, n_samples=300, seed=2)
    columns = stat.to_numpy()
    built = floor.particle_dicts(list(columns), list(columns.values()))
    assert [list(p.items()) for p in built] == [list(p.items()) for p in stat.particles]
    assert {len(p) for p in built} == {3, 4, 5}
    with pytest.raises(ValueError):
        floor.particle_dicts(["a", "b"], [np.zeros(3), np.zeros(4)])


def test_vectorized_chain_is_one_model_on_floats_arrays_and_the_formula(bench):
    np = pytest.importorskip("numpy")
    x = np.array([-2.0, -0.5, 0.0, 0.3, 1.7])
    on_array = bench.vector_chain(x)
    assert on_array.tolist() == pytest.approx([bench.vector_chain(float(v)) for v in x])
    assert on_array.tolist() == pytest.approx([0.5 * (2 * v + 1) ** 2 + 1 for v in x])
    try:
        import openturns as ot
    except ImportError:
        return
    symbolic = bench.openturns_function(ot, symbolic=True)
    python = bench.openturns_function(ot, symbolic=False)
    sample = ot.Sample(x.reshape(-1, 1))
    assert np.asarray(symbolic(sample))[:, 0].tolist() == pytest.approx(on_array.tolist())
    assert np.asarray(python(sample))[:, 0].tolist() == pytest.approx(on_array.tolist())


def test_vectorized_workload_reports_per_draw_ratios_overheads_and_memory(bench, monkeypatch):
    modules, errors = bench.load_peers(["numpy"])
    if modules["numpy"] is None:
        pytest.skip("numpy is not installed")
    monkeypatch.setattr(bench, "VECTOR_DRAWS", 40_000)
    monkeypatch.setattr(bench, "PER_DRAW_DRAWS", 20_000)
    monkeypatch.setattr(bench, "VECTOR_MEAN_TOLERANCE", 0.3)
    # The child process makes its own draws; one cheap case keeps this short.
    monkeypatch.setattr(bench, "VECTOR_MEMORY_CASES", {"numpy: draws and the five calls": 1_000_000})
    ctx = bench.Context(repeat=1, slow_repeat=1, peers=modules, peer_errors=errors)
    bench.bench_vectorized(ctx)
    rows = {row.system: row for row in ctx.rows}
    for method in ("predict_at", "predict"):
        per_draw = rows[f"quillon {method}, per draw"]
        assert per_draw.status == "ok" and per_draw.ratio == 1.0 and "20,000 draws" in per_draw.note
        marked = rows[f"quillon {method}, vectorised"]
        if not bench.has_vectorized():
            assert marked.status == "skipped"
            continue
        assert marked.status == "ok" and marked.baseline == per_draw.system
        # Ratios are per draw although the two routes ran different counts.
        assert marked.ratio == pytest.approx(marked.value / per_draw.value)
        assert marked.value == pytest.approx(marked.median_s / 40_000 * 1e6)
        overhead = rows[f"overhead: {method} − the numpy calls"]
        numpy_calls = rows["numpy: the five calls themselves"]
        assert overhead.value == pytest.approx(marked.value - numpy_calls.value)
        assert overhead.target == "≤ 0.02 µs/draw"
    for system in ("openturns PythonFunction (func_sample)", "openturns SymbolicFunction"):
        assert rows[system].status == "skipped" and "left out" in rows[system].note
    memory = rows["memory peak: numpy: draws and the five calls"]
    # At least the kept result (8 bytes a draw), and nothing like the
    # parent's own size, which a peak read through getrusage would carry.
    assert memory.status == "ok" and memory.unit == "B/draw" and 8 <= memory.value < 100
