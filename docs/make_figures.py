"""Renders the figures the README shows, from the README's own uncertainty
example with a fixed seed:

    python docs/make_figures.py

Needs quillon built or installed, and the plot extra (pip install 'quillon[plot]').
"""

import pathlib

import matplotlib

matplotlib.use("Agg")

import quillon  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent


def scale(inputs):
    return {"y": inputs["x"] * 2.0}


def stress(inputs):
    return {"s": inputs["y"] ** 2 + inputs["load"]}


def main():
    graph = quillon.Graph()
    graph.add(scale, "Scale", [("x", "x")], [("y", "y")])
    graph.add(stress, "Stress", [("y", "y"), ("load", "load")], [("s", "s")])
    dag = graph.build()
    inputs = {"x": quillon.normal(1.0, 0.1), "load": quillon.uniform(0.0, 0.5)}
    joint = quillon.joint(dag.predict(inputs, n_samples=5_000, seed=1))
    joint.print_summary()
    figure = joint.plot_pairs(["x", "load", "s"])
    figure.suptitle("quillon.joint(stat).plot_pairs([\"x\", \"load\", \"s\"])")
    out = HERE / "uncertainty_pairs.png"
    figure.savefig(out, dpi=72)
    print(f"wrote {out.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
