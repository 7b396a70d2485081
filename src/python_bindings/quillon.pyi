"""Initialize the Python module"""

from typing import Any, Callable, Literal, Mapping, Optional, Sequence, Union

__all__: list[str]

_Mapping = Union[Mapping[str, str], list[tuple[str, str]]]
_NodeFunction = Callable[[dict[str, Any]], dict[str, Any]]
_CacheDepth = Literal["none", "shallow", "transitive"]

class MemoryCache:
    """Python-accessible shared in-memory cache backend."""

    def __new__(
        cls,
        max_entries: Optional[int] = None,
        ttl_seconds: Optional[int] = None,
        namespace: str = "default",
    ) -> MemoryCache: ...
    @property
    def namespace(self) -> str: ...
    @namespace.setter
    def namespace(self, value: str) -> None: ...
    def clear(self) -> None:
        """Remove every cached entry and pending computation from this backend."""
    def stats(self) -> dict[str, int]:
        """Return the backend's counters as a dict: entries, max_entries, hits, misses, evictions, expirations."""
    def clear_node(self, node_id: int, version: Optional[str] = None, namespace: Optional[str] = None) -> None: ...
    def clear_namespace(self, namespace: str) -> None: ...

class Graph:
    """Python wrapper for Graph builder"""

    def __new__(cls, cache_backend: Optional[MemoryCache] = None) -> Graph: ...
    def add(
        self,
        function: Optional[_NodeFunction] = None,
        label: Optional[str] = None,
        inputs: Optional[_Mapping] = None,
        outputs: Optional[_Mapping] = None,
    ) -> None:
        """Add a node to the graph

        Args:
            function: Optional Python callable. If None, creates a no-op node.
            label: Optional string label for the node
            inputs: Optional list of (broadcast_var, impl_var) tuples or dict
            outputs: Optional list of (impl_var, broadcast_var) tuples or dict

        Returns:
            Self for method chaining"""
    def branch(self, subgraph: Graph) -> int:
        """Create a branch in the graph

        Args:
            subgraph: PyGraph instance representing the branch

        Returns:
            Branch ID (usize)"""
    def variants(
        self,
        functions: Sequence[_NodeFunction],
        label: Optional[str] = None,
        inputs: Optional[_Mapping] = None,
        outputs: Optional[_Mapping] = None,
    ) -> None:
        """Create variant nodes (parameter sweep)

        Args:
            functions: List of Python callables, each with signature (inputs, variant_params) -> dict
            label: Optional string label for the variant nodes
            inputs: Optional list of (broadcast_var, impl_var) tuples or dict
            outputs: Optional list of (impl_var, broadcast_var) tuples or dict

        Returns:
            Self for method chaining

        Example:
            factors = np.linspace(0.5, 2.0, 5)
            graph.variants(
                [lambda inputs, params, f=f: {"scaled": inputs["x"] * f} for f in factors],
                "Scale",
                [("data", "x")],
                [("scaled", "result")]
            )"""
    def build(self, cache_backend: Optional[MemoryCache] = None) -> Dag:
        """Build the DAG from the graph

        Returns:
            PyDag instance ready for execution"""
    def configure_memory_cache(self, max_entries: Optional[int] = None, ttl_seconds: Optional[int] = None) -> None:
        """Configure the built-in in-memory execution cache before building the DAG."""
    def set_cache_backend(self, cache_backend: MemoryCache) -> None:
        """Attach a shared MemoryCache backend to this Graph."""
    def set_cache_version(self, label: str, version: str) -> None:
        """Set an explicit cache version token for all nodes with the given label."""
    def set_cacheable(self, label: str, cacheable: bool) -> None:
        """Mark all nodes with the given label as cacheable or non-cacheable."""
    def set_cache_key_inputs(self, label: str, impl_vars: Sequence[str]) -> None:
        """Restrict cache-key fingerprinting to the given impl-var inputs for nodes with this label."""

class Dag:
    """Python wrapper for DAG executor"""

    def execute(
        self,
        parallel: bool = False,
        max_threads: Optional[int] = None,
        cache: bool = True,
        cache_depth: _CacheDepth = "transitive",
        cache_namespace: Optional[str] = None,
        cache_backend: Optional[MemoryCache] = None,
        detailed: bool = False,
    ) -> dict[Any, Any]:
        """Execute the DAG

        Args:
            parallel (bool): If True, execute nodes at the same level concurrently. Default: False
            max_threads (Optional[int]): Maximum number of threads to use per level. None = unlimited. Default: None

        Returns:
            Dictionary containing the execution context"""
    def to_mermaid(self) -> str:
        """Get Mermaid diagram representation

        Returns:
            String containing the Mermaid diagram"""
    def node_count(self) -> int:
        """Get the number of nodes in the DAG

        Returns:
            Number of nodes"""
    def cache_stats(self) -> dict[str, int]:
        """Return aggregate cache backend stats for this DAG."""
    def clear_cache(self) -> None:
        """Clear all cached node results from the attached backend."""
    def clear_cache_namespace(self, namespace: str) -> None:
        """Clear cached node results for a specific namespace."""
    def clear_cache_node(self, namespace: str, node_id: int, version: Optional[str] = None) -> None: ...
    def node_labels(self) -> list[str]:
        """Return a sorted list of unique node labels present in the DAG.

        Useful for discovering valid values to pass as `at_node` to `predict_at()`.

        Example::

            dag.node_labels()   # ["AddNoise", "Scale", "Source"]"""
    def branch_ids(self) -> list[int]:
        """Return a sorted list of unique branch IDs present in the DAG."""
    def variant_indices(self) -> list[int]:
        """Return a sorted list of unique variant indices present in the DAG."""
