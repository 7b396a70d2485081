"""examples/tour.ipynb runs top to bottom on a real kernel, and its displays
carry the MIME types notebooks render."""

import os
from pathlib import Path

import pytest

import quillon

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")
pytest.importorskip("ipykernel")

TOUR = Path(__file__).resolve().parents[2] / "examples" / "tour.ipynb"


@pytest.fixture(scope="module")
def executed(tmp_path_factory, monkeypatch_module):
    # The kernel imports the quillon this test imports, wherever it lives.
    here = os.path.dirname(quillon.__file__)
    monkeypatch_module.setenv("PYTHONPATH", os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")])))
    monkeypatch_module.setenv("MPLBACKEND", "module://matplotlib_inline.backend_inline")
    notebook = nbformat.read(TOUR, as_version=4)
    client = nbclient.NotebookClient(notebook, timeout=300, kernel_name="python3",
                                     resources={"metadata": {"path": str(tmp_path_factory.mktemp("tour"))}})
    client.execute()
    return notebook


@pytest.fixture(scope="module")
def monkeypatch_module():
    with pytest.MonkeyPatch.context() as patch:
        yield patch


def outputs_of(notebook, marker):
    """The outputs of the one code cell whose source contains `marker`."""
    cells = [c for c in notebook.cells if c.cell_type == "code" and marker in c.source]
    assert len(cells) == 1, marker
    return cells[0].outputs


def mime_types(outputs):
    return {kind for output in outputs for kind in output.get("data", {})}


def test_every_cell_ran_without_an_error(executed):
    code = [c for c in executed.cells if c.cell_type == "code"]
    assert code and all(c.execution_count for c in code)
    assert not [o for c in code for o in c.outputs if o.output_type == "error"]


def test_displays_carry_their_mime_types(executed):
    assert {"text/vnd.mermaid", "text/markdown", "text/plain"} <= mime_types(outputs_of(executed, "dag  # a notebook"))
    explained = outputs_of(executed, "quillon.explain(dag, report)")
    assert {"text/html", "text/plain"} <= mime_types(explained)
    html = explained[0]["data"]["text/html"]
    assert "input_changed" in html and "Utilisation" in html
    assert "text/html" in mime_types(outputs_of(executed, "stat  # a table"))
    assert "text/html" in mime_types(outputs_of(executed, 'stat["utilisation"]'))
    assert "image/png" in mime_types(outputs_of(executed, "plot_pairs"))


def test_the_sweep_and_the_uncertainty_study_print_their_numbers(executed):
    sweep = "".join(o.get("text", "") for o in outputs_of(executed, "for span in"))
    assert sweep.count("utilisation") == 3
    summary = "".join(o.get("text", "") for o in outputs_of(executed, "joint.print_summary()"))
    assert "JointDistribution: 6 variables, 20000 particles" in summary
