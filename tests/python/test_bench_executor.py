"""The scale-out benchmark's own machinery, on small sizes: every system's
check accepts its right answer and refuses a wrong one, pools start warm and
stop, the suite's rows carry their targets, and the memory child reports
sensible figures. No timing is asserted."""

from __future__ import annotations

import importlib.util
import os
import sys
from pathlib import Path

import pytest

import quillon

BENCHMARKS = Path(__file__).resolve().parents[2] / "benchmarks"


@pytest.fixture(scope="module")
def suite():
    """(run.py, bench_executor.py) as modules, with small workloads."""
    saved_path, saved_limit = list(sys.path), sys.getrecursionlimit()
    spec = importlib.util.spec_from_file_location("quillon_bench_run_x", BENCHMARKS / "run.py")
    run = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = run
    spec.loader.exec_module(run)  # imports bench_executor from benchmarks/
    w = sys.modules["bench_executor"]
    small = {"CPU_NODE_SECONDS": 0.01, "CHAIN_NODES": 12, "PREDICT_PARTICLES": 80,
             "PREDICT_CALL_SECONDS": 1e-5, "MEMORY_DOUBLES": 200_000}
    saved = {name: getattr(w, name) for name in small}
    for name, value in small.items():
        setattr(w, name, value)
    # Hamilton's process-pool tasks pickle a chain recursively.
    sys.setrecursionlimit(max(saved_limit, 5000))
    yield run, w
    for name, value in saved.items():
        setattr(w, name, value)
    sys.setrecursionlimit(saved_limit)
    sys.modules.pop(spec.name, None)
    sys.path[:] = saved_path


@pytest.fixture(scope="module")
def pools(suite):
    _, w = suite
    with_dask = importlib.util.find_spec("distributed") is not None
    with_hamilton = importlib.util.find_spec("hamilton") is not None
    with w.started_pools(with_dask=with_dask, with_hamilton=with_hamilton) as started:
        yield started


def peers(run):
    return run.load_peers(["numpy", "dask", "hamilton"])


def test_every_system_computes_the_answer_its_check_expects(suite, pools):
    run, w = suite
    assert pools.process is not None, pools.errors
    modules, errors = peers(run)
    workloads = w.workloads(pools, modules, errors)
    assert len(workloads) == 4
    executor = w.has_executor()
    seen = set()
    for workload in workloads:
        assert workload.baseline in [case.system for case in workload.cases], workload.name
        for case in workload.cases:
            seen.add(case.system)
            if "quillon" in case.system and case.system not in ("quillon, sequential", "quillon, serial",
                                                                "quillon, sequential (no executor)"):
                if not executor:
                    with pytest.raises(TypeError, match="executor"):
                        case.run()
                    continue
            assert case.check(case.run()), (workload.name, case.system)
    # The peers that are installed took part rather than being skipped.
    if modules["hamilton"] is not None:
        assert "hamilton, tasks on the process pool" in seen
    if pools.dask is not None:
        assert {"dask.delayed on the cluster", "dask.delayed chain on the cluster", "quillon, Dask Client"} <= seen


def test_checks_refuse_wrong_answers(suite, pools):
    run, w = suite
    modules, errors = peers(run)
    cpu, chain, _, predict = w.workloads(pools, modules, errors)
    steps_sum = cpu.cases[0].run()
    wrong = dict(steps_sum, total0=steps_sum["total0"] + 1)
    assert cpu.cases[0].check(steps_sum) and not cpu.cases[0].check(wrong)
    baseline = chain.cases[0]
    assert baseline.check(baseline.run()) and not baseline.check(baseline.run() + 1)
    serial = predict.cases[0]
    result = serial.run()
    assert serial.check(result)
    # Another seed draws other particles: not the serial run's result.
    dag = w.model_dag(1)
    other = dag.predict({"x": quillon.normal(0.0, 1.0)}, n_samples=w.PREDICT_PARTICLES, seed=w.PREDICT_SEED + 1)
    assert not serial.check(other)


def test_pools_without_dask_or_hamilton_say_why(suite, monkeypatch):
    run, w = suite
    monkeypatch.setenv("PYTHONPATH", "/somewhere/else")
    path_before = list(sys.path)
    with w.started_pools(with_dask=False, with_hamilton=False) as started:
        # Workers find this benchmark's modules first, then the quillon under
        # test, then what the caller had set.
        paths = os.environ["PYTHONPATH"].split(":")
        assert paths[:2] == [str(BENCHMARKS), started.module_dir]
        assert str(Path(quillon.__file__).resolve().parent) in paths and paths[-1] == "/somewhere/else"
        assert started.dask is None and started.errors["dask"] == "left out"
        modules, errors = run.load_peers([])
        cpu = w.cpu_workload(started, modules, errors)
        skipped = dict(cpu.skipped)
        assert skipped["quillon, Dask Client"].startswith("dask left out")
        assert skipped["hamilton, tasks on the process pool"].startswith("hamilton left out")
        pool = started.process
        assert pool.submit(w.empty_task, 3).result(timeout=60) == 3
    # The pool is shut down on the way out, and the paths it added are gone.
    with pytest.raises(RuntimeError):
        pool.submit(w.empty_task)
    assert sys.path == path_before and os.environ["PYTHONPATH"] == "/somewhere/else"


def test_hamilton_modules_compute_what_the_graphs_compute(suite, tmp_path, monkeypatch):
    _, w = suite
    pytest.importorskip("hamilton")
    for name, source in w.hamilton_sources().items():
        (tmp_path / f"{name}.py").write_text(source)
    monkeypatch.syspath_prepend(str(tmp_path))
    import importlib

    chain = importlib.import_module(w.HAMILTON_CHAIN_MODULE)
    value = chain.v0()
    for i in range(1, w.CHAIN_NODES):
        value = getattr(chain, f"v{i}")(value)
    assert value == w.chain_dag(w.CHAIN_NODES).execute()[f"v{w.CHAIN_NODES - 1}"]
    cpu = importlib.import_module(w.HAMILTON_CPU_MODULE)
    assert [getattr(cpu, f"total{i}")(10) for i in range(w.CPU_NODES)] == [45] * w.CPU_NODES
    predict = importlib.import_module(w.HAMILTON_PREDICT_MODULE)
    chunks = [[0.0, 1.0], [2.0], [-1.5]]
    pieces = [predict.evaluated(piece, 1) for piece in predict.chunk(chunks)]
    assert predict.y(pieces) == [1.0, 3.0, 5.0, -2.0]


def test_suite_rows_carry_targets_and_memory_figures(suite, monkeypatch, tmp_path):
    run, w = suite
    modules, errors = run.load_peers(["numpy"])
    ctx = run.Context(repeat=1, slow_repeat=1, peers=modules, peer_errors=errors, tmp=str(tmp_path))
    if not w.has_executor():
        run.bench_scale_out(ctx)
        assert [(row.status, row.note) for row in ctx.rows] == [("skipped", "this build of quillon has no executor=")]
        return
    run.bench_scale_out(ctx)
    rows = {(row.workload, row.system): row for row in ctx.rows}
    assert all(row.status in ("ok", "skipped") for row in ctx.rows), [(r.system, r.note) for r in ctx.rows]
    targets = {(workload.split()[0], system): row.target for (workload, system), row in rows.items() if row.target}
    assert targets == {("4", "quillon, ProcessPoolExecutor(2)"): "≤ 0.6× sequential",
                       ("chain", "quillon"): "≤ 1.5× submit and wait",
                       ("predict,", "quillon, ProcessPoolExecutor(2)"): "≤ 0.6× serial",
                       ("2", "ProcessPoolExecutor(2): retained after the run"): "≤ 1.1× in one process"}
    skipped = [row for row in ctx.rows if row.status == "skipped"]
    assert any("dask" in row.note for row in skipped)  # left out, not faked
    memory = [row for row in ctx.rows if row.unit == "× array"]
    assert len(memory) == 5 and all(row.value > 0 for row in memory)
    retained = [row for row in memory if row.target]
    assert [row.system for row in retained] == ["ProcessPoolExecutor(2): retained after the run"]


def test_memory_child_reports_one_process_figures(suite):
    _, w = suite
    out = w.memory_measurements(200_000)
    local = out[w.MEMORY_CASES[0]]
    assert local["ok"] and local["array_bytes"] == 1_600_000
    # The result is kept: at least the list of floats it holds stays resident.
    assert local["peak"] >= local["array_bytes"] and local["retained"] > 0
    pooled = out[w.MEMORY_CASES[1]]
    if w.has_executor():
        assert pooled["ok"] and pooled["peak"] > 0 and "retained_after_next_task" in pooled
    else:
        assert "executor" in pooled["error"]
