"""Finding nodes: Dag.node_info and Dag.node_id."""

import pytest

import quillon


def branched_dag():
    graph = quillon.Graph()
    graph.variants([lambda d: {"y": 1.0}, lambda d: {"y": 2.0}], "V", None, [("y", "y")])
    sub = quillon.Graph()
    sub.add(lambda d: {"z": 1.0}, "S", [("y", "y")], [("z", "z")])
    graph.branch(sub)
    graph.add(lambda d: {}, "T", {"y": "in_y", "b": "in_b"}, [("o2", "b_out"), ("o1", "a_out")])
    graph.set_cache_version("T", "v7")
    graph.set_cacheable("T", False)
    return graph.build()


def test_node_info_lists_every_node_in_node_order():
    dag = branched_dag()
    info = dag.node_info()
    assert len(info) == dag.node_count()
    assert [row["id"] for row in info] == [int(line.split("[")[0]) for line in dag.to_mermaid().splitlines()[1:]
                                           if "[" in line]
    assert all(list(row) == ["id", "label", "inputs", "outputs", "branch_id", "variant_index", "cache_version",
                             "cacheable"] for row in info)
    variants = [row for row in info if row["variant_index"] is not None]
    assert [(row["label"], row["variant_index"], row["outputs"]) for row in variants] == [
        ("V (v0)", 0, {"y": "y"}), ("V (v1)", 1, {"y": "y"})]
    assert all(row["branch_id"] is None for row in variants)
    branch_copies = [row for row in info if row["branch_id"] is not None]
    assert branch_copies and {row["label"] for row in branch_copies} == {"S"}
    assert set(dag.branch_ids()) == {row["branch_id"] for row in branch_copies}
    t_rows = [row for row in info if row["label"] == "T"]
    assert t_rows and all(row["cache_version"] == "v7" and row["cacheable"] is False for row in t_rows)
    # Name maps come sorted by key, whatever order they were given in.
    assert list(t_rows[0]["inputs"].items()) == [("b", "in_b"), ("y", "in_y")]
    assert list(t_rows[0]["outputs"].items()) == [("o1", "a_out"), ("o2", "b_out")]
    assert all(row["cacheable"] is True for row in info if row["label"] != "T")


def test_node_info_of_unlabelled_and_default_versioned_nodes():
    graph = quillon.Graph()
    graph.add()
    (row,) = graph.build().node_info()
    assert row["label"] is None and row["inputs"] == {} and row["outputs"] == {}
    assert isinstance(row["cache_version"], str) and row["cache_version"]
    assert quillon.Graph().build().node_info() == []


def test_node_id_finds_every_node_with_the_label():
    dag = branched_dag()
    info = dag.node_info()
    for label in {row["label"] for row in info}:
        assert dag.node_id(label) == [row["id"] for row in info if row["label"] == label]
    assert len(dag.node_id("S")) > 1
    # Labels match exactly: variants carry their suffix, and a missing label finds nothing.
    assert dag.node_id("V") == []
    assert dag.node_id("v (v0)") == []
    assert dag.node_id("") == []


def test_node_id_arguments():
    dag = branched_dag()
    assert dag.node_id(label="T") == dag.node_id("T")
    with pytest.raises(TypeError, match="^argument 'label': expected str, got int$"):
        dag.node_id(3)
    with pytest.raises(TypeError):
        dag.node_id()
