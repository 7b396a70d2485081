"""Initialize the Python module"""

from typing import Any, Callable, Iterator, Literal, Mapping, Optional, Sequence, Union

__all__: list[str]
__version__: str

_Mapping = Union[Mapping[str, str], list[tuple[str, str]]]
_NodeFunction = Callable[[dict[str, Any]], dict[str, Any]]
from typing import NoReturn

_CacheDepth = Literal["none", "shallow", "transitive"]
_DistTransfer = Callable[[dict[str, Distribution]], Optional[dict[str, Distribution]]]

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

    def __reduce__(self) -> NoReturn:
        """A Graph is a builder and does not pickle; pickle its Dag."""

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
            None"""
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
            functions: List of Python callables, each with signature (inputs) -> dict
            label: Optional string label for the variant nodes
            inputs: Optional list of (broadcast_var, impl_var) tuples or dict
            outputs: Optional list of (impl_var, broadcast_var) tuples or dict

        Returns:
            None

        Example:
            factors = np.linspace(0.5, 2.0, 5)
            graph.variants(
                [lambda inputs, f=f: {"scaled": inputs["x"] * f} for f in factors],
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
    def set_dist_transfer(self, label: str, transfer_fn: _DistTransfer) -> None:
        """Attach an analytical distribution transfer to all nodes with the given label.

        The `transfer_fn` must be a Python callable with signature:
          `transfer_fn(input_dists: dict[str, Distribution]) -> dict[str, Distribution] | None`

        Keys are **impl_var** names (the same names the node function receives).
        Return `None` to signal that Monte Carlo fallback should be used for this node.

        Example::

            def scale_dist(dists):
                x = dists["x"]  # Distribution object
                return {"y": quillon.normal(x.mean * 2.0, x.std * 2.0)}

            graph.set_dist_transfer("Scale", scale_dist)"""
    def set_vectorized(self, label: str, enabled: bool = True) -> None:
        """Mark the nodes with the given label as able to take arrays (numpy float64 blocks
        of draws in predict_at() Monte Carlo and predict())."""
        ...
    def set_content_keys(self, enabled: bool = True) -> None:
        """Key cache-key inputs that have no canonical text by a digest of their content.

        Applies to every node of the graph when it is built. Without it, a node reading a
        list of numbers, an array, a dict or another object in its cache-key inputs is not
        cached (reason "unsupported_input"). With it, such inputs enter the key as a
        BLAKE3 digest: numeric vectors and buffers (numpy arrays of any dtype and layout)
        by their dtype, shape and elements; pandas objects by pandas' row hashes plus index,
        columns and dtypes; None, bools, ints, floats, strings, bytes, and tuples, lists,
        dicts and sets of them by type and value; an object defining `__quillon_key__()`
        by the bytes or str it returns; any other object by its pickle bytes. An object
        that cannot be pickled keeps the node uncached. Inputs that already have a
        canonical text keep it, so their keys do not change.

        Args:
            enabled: bool, default True"""
    def set_cache_version_from_code(self, label: str) -> None:
        """Set the cache version of all nodes with the given label from their callables' code.

        The token ("code:" and 64 hex digits) covers each callable's bytecode, the
        constants it uses, the names it refers to, its defaults and keyword defaults, its
        closure values (by content, functions by their code), and the same for functions
        defined inside it. Docstrings, comments and line numbers do not count, so moving
        a function keeps its token, and the same source gives the same token in every
        process; editing the code gives a new token, and the next cached run reports
        "code_changed". Functions that the callable calls are not followed: a change in
        a helper it calls does not change its token. A functools.partial counts with its
        arguments, a bound method by its function, a callable object by its class's
        __call__. Nodes must be added before this call; the token is computed now.

        Raises:
            TypeError: a callable has no Python code (a builtin or a class), or a
                closure value or default has no content digest.
            ValueError: no node has the label."""

class Dag:
    """Python wrapper for DAG executor"""

    def __reduce__(self) -> tuple[Callable[[tuple[Any, ...]], Dag], tuple[tuple[Any, ...]]]:
        """Pickle support: nodes travel with their callables (by reference, else by cloudpickle); a memory
        cache travels as its settings, empty, and a disk cache as its path."""

    def execute(
        self,
        parallel: bool = False,
        max_threads: Optional[int] = None,
        cache: bool = True,
        cache_depth: _CacheDepth = "transitive",
        cache_namespace: Optional[str] = None,
        cache_backend: Optional[MemoryCache] = None,
        detailed: bool = False,
        *,
        inputs: Optional[dict[str, Any]] = None,
        progress: Union[bool, Callable[[int, int], object]] = False,
        executor: Optional[Any] = None,
    ) -> dict[Any, Any]:
        """Execute the DAG

        Args:
            parallel (bool): If True, execute nodes at the same level concurrently. Default: False
            max_threads (Optional[int]): Maximum number of threads to use per level. None = unlimited. Default: None

        Returns:
            Dictionary containing the execution context

        Keyword-only:
            inputs (dict[str, Any] | None): Values placed in the context before the first node runs, by
                broadcast name, converted as node outputs are. Nodes read them as if an upstream node had
                written them, they enter the cache key of every node that reads them (a changed value
                is reported as input_changed), a node writing the same name replaces them, and the
                returned context holds them. One Dag thus serves many parameter sets.
            progress (bool | Callable[[int, int], object]): True shows a tqdm bar when tqdm is
                installed (pip install quillon[progress]) and a one-line counter on stderr otherwise;
                a callable receives (nodes done, nodes in the run). At most 10 updates a second, the
                last always (total, total). An exception raised by the callable stops the run and is
                raised here. Default: False.
            executor (concurrent.futures.Executor | dask.distributed.Client | None): Where node calls run:
                a process or thread pool, a Dask client or client.get_executor(), anything whose submit()
                returns futures. Each node is submitted as soon as its inputs exist; this process builds
                the keys, asks the cache and stores, so the context and the report are those of a
                sequential run. Node callables travel once per worker (by reference, else with cloudpickle);
                a TypeError naming the node is raised before anything runs when one cannot. A node that
                raises on a worker prints the worker's traceback here and yields no outputs; a task whose
                worker is lost is retried once, then its node fails. parallel and max_threads are not
                used then. None (default): calls run here.

        With detailed=True the report also holds "node_runs": node id -> {"label", "seconds",
        "failed", "error"}, where seconds is the node's wall time (cache lookup included) and error
        the one-line text of the exception that failed the node, or None."""
    def to_mermaid(self, *, report: Optional[dict[str, Any]] = None) -> str:
        """Get Mermaid diagram representation

        Returns:
            String containing the Mermaid diagram

        Keyword-only:
            report (dict | None): The report of `execute(detailed=True)`. Each node it mentions is
                marked hit, miss or failed (failed when the report has "node_runs"), with its miss
                reason under the label, a class per outcome and a legend. None (default): the plain
                diagram."""
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
    def node_info(self) -> list[dict[str, Any]]:
        """One dict per node, in node order: id, label (None when unlabelled), inputs (broadcast name ->
        impl name), outputs (impl name -> broadcast name), branch_id, variant_index (None when not
        set), cache_version and cacheable."""
    def node_id(self, label: str) -> list[int]:
        """The ids of the nodes labelled `label`, in node order; an empty list when no node carries it."""
    def _repr_mimebundle_(
        self, include: Optional[Sequence[str]] = None, exclude: Optional[Sequence[str]] = None
    ) -> dict[str, str]:
        """The diagram for notebooks: text/vnd.mermaid, text/markdown (a fenced mermaid block) and
        text/plain, filtered by `include` and `exclude`."""
    def predict_at(
        self,
        inputs: dict[str, Distribution],
        n_samples: Optional[int] = None,
        at_node: Optional[str] = None,
        at_branch: Optional[int] = None,
        at_variant: Optional[int] = None,
        *,
        seed: Optional[int] = None,
        block_size: Optional[int] = None,
        progress: Union[bool, Callable[[int, int], object]] = False,
        executor: Optional[Any] = None,
        chunk_size: Optional[int] = None,
    ) -> StatResult:
        """Forward-propagate distributions through the graph.

        Args:
            inputs (dict[str, Distribution]): Initial distributions keyed by broadcast variable name.
            n_samples (int | None): Monte Carlo sample count for nodes without an analytical dist_transfer.
                Required as soon as a node has to be sampled.
            at_node (str | None): Stop after all nodes with this label have been computed.  Pass
                ``None`` (default) to run the full graph.  Use :meth:`node_labels` to list valid
                values.
            at_branch (int | None): Stop after all nodes belonging to this branch ID have been
                computed.  Use :meth:`branch_ids` to list valid values.
            at_variant (int | None): Stop after all nodes with this variant index have been
                computed.  Use :meth:`variant_indices` to list valid values.

        Only one of ``at_node``, ``at_branch``, ``at_variant`` should be given at a time.
        If more than one is supplied, ``at_node`` takes precedence, then ``at_branch``,
        then ``at_variant``.

        Returns:
            StatResult: distribution over every broadcast variable computed up to the target.

        Example::

            # Full graph
            stat = dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=1000)

            # Stop at node labelled "Scale"
            stat = dag.predict_at({"x": quillon.normal(0.0, 1.0)}, at_node="Scale")

            # Stop at branch 1
            stat = dag.predict_at({"x": quillon.normal(0.0, 1.0)}, at_branch=1)

            # Stop at variant 0
            stat = dag.predict_at({"x": quillon.normal(0.0, 1.0)}, at_variant=0)"""
    def predict(
        self,
        inputs: dict[str, Distribution],
        n_samples: int = 1000,
        *,
        seed: Optional[int] = None,
        block_size: Optional[int] = None,
        progress: Union[bool, Callable[[int, int], object]] = False,
        executor: Optional[Any] = None,
        chunk_size: Optional[int] = None,
    ) -> StatResult:
        """Particle-based forward pass — preserves exact joint distribution structure.

        Runs `n_samples` full end-to-end trajectories through the graph so that
        ``stat.particles[i]`` contains the value of every variable from the **same**
        random draw.  Unlike ``predict_at()``, which runs per-node Monte Carlo (losing
        sample alignment), this method evaluates the node's concrete function for every
        particle — even when a ``dist_transfer`` is attached.  This gives you the exact
        joint (cross-variable) correlation structure.

        **Trade-off vs predict_at()**

        * ``predict_at()`` — fast; uses ``dist_transfer`` shortcuts; marginals are exact;
          no joint structure.
        * ``predict()`` — slightly slower; always evaluates node functions;
          marginals AND correlations are exact; use this for joint/marginal PDFs and plots.

        Args:
            inputs (dict[str, Distribution]): Prior distributions keyed by variable name.
            n_samples (int): Number of full-graph trajectories.  Default: 1000.

        Returns:
            StatResult: Marginal distributions in ``stat_result[var]`` (same as predict_at()),
            plus ``stat_result.particles`` (list of dicts) for joint analysis.

        Example::

            stat  = dag.predict({"x": quillon.normal(0.0, 1.0)}, n_samples=2000)
            joint = quillon.joint(stat)          # JointDistribution
            joint.print_summary()              # table + correlation matrix
            joint.plot_pairs()                 # pair plot of all variables
            joint.plot_joint("x", "out")       # 2-D joint PDF"""

class Distribution:
    """An immutable probability distribution: closed-form moments, percentiles and sampling."""

    def __reduce__(self) -> tuple[Callable[[tuple[Any, ...]], Distribution], tuple[tuple[Any, ...]]]:
        """Pickle support: the distribution travels by value."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

    @property
    def mean(self) -> float:
        """E[X]"""
    @property
    def std(self) -> float:
        """Standard deviation"""
    @property
    def variance(self) -> float:
        """Variance"""
    @property
    def p5(self) -> float:
        """5th percentile"""
    @property
    def p50(self) -> float:
        """Median"""
    @property
    def p95(self) -> float:
        """95th percentile"""
    @property
    def samples(self) -> Optional[list[float]]:
        """Raw samples (only non-None for Empirical distributions)."""
    def percentile(self, p: float) -> float:
        """Compute an arbitrary percentile (0.0 – 1.0)."""
    def sample_n(self, n: int, *, seed: Optional[int] = None) -> list[float]:
        """Draw `n` samples from this distribution."""
    def summary(self) -> str:
        """One-line summary string."""
    def plot(self, ax: Optional[Any] = None) -> Any:
        """Draw this distribution with matplotlib (density curve, histogram of samples, or a
        point-mass stem; p5, p50 and p95 marked) and return the Axes.  Needs the `plot` extra."""
    def _repr_html_(self) -> str:
        """A table of mean, std, p5, p50 and p95, for notebooks."""

class StatResult:
    """Result of `Dag.predict()`.  Dict-like access returns `Distribution` objects."""

    def __reduce__(self) -> tuple[Callable[[tuple[Any, ...]], StatResult], tuple[tuple[Any, ...]]]:
        """Pickle support: the result travels by value, particles included."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

    def get(self, key: str) -> Optional[Distribution]:
        """`result.get("var")` → `Distribution | None`."""
    def keys(self) -> list[str]:
        """List broadcast variable names (excluding internal `__branch__` prefix keys)."""
    def for_branch(self, branch_id: int) -> dict[str, Distribution]:
        """Return a `{var: Distribution}` dict for a specific branch."""
    def for_variant(self, variant_idx: int) -> dict[str, Distribution]:
        """Return a `{var: Distribution}` dict for a specific variant (0-based index)."""
    @property
    def particles(self) -> Optional[list[dict[str, float]]]:
        """Aligned per-sample trajectories, or `None` when the result came from `predict_at()`
        rather than `predict()`.

        Returns a list of dicts: `particles[i]` maps every broadcast variable name to its
        concrete float value on sample `i`.  All variables in one dict share the same
        random seed, preserving the joint cross-variable distribution structure.

        The list is built on first access and the same list is returned afterwards;
        `to_numpy()` and `samples()` are the fast columnar route."""
    def print_summary(self) -> None:
        """Print a human-readable summary to stdout."""
    def to_numpy(self) -> dict[str, Any]:
        """Per-particle values as columns: a dict mapping every variable name to a 1-D float64
        numpy array with one entry per particle (NaN where a particle has no value).  The
        keys are the keys of the `particles` dicts, in the same order.  Needs numpy; raises
        ValueError for a result from `predict_at()`."""
    def to_pandas(self) -> Any:
        """Per-particle values as a pandas DataFrame: one row per particle, one column per
        variable, as `to_numpy()` gives them.  Needs pandas (the `pandas` extra)."""
    def samples(self, name: str) -> Any:
        """One variable's per-particle values as a 1-D float64 numpy array (NaN where a
        particle has no value).  KeyError when no particle holds `name`."""
    def standard_error(self, name: str) -> dict[str, float]:
        """Monte Carlo standard errors of the variable's mean, p5, p50 and p95 (batch means)."""
    def plot(self, names: Optional[Sequence[str]] = None) -> Any:
        """One panel per variable (default: every name of `keys()`), as `Distribution.plot`
        draws it; returns the matplotlib Figure.  Needs the `plot` extra."""
    def __getitem__(self, key: str) -> Distribution: ...
    def __len__(self) -> int: ...
    def __contains__(self, name: object) -> bool: ...
    def __iter__(self) -> Iterator[str]: ...
    def _repr_html_(self) -> str:
        """A table of mean, std, p5, p50 and p95 of every variable, for notebooks."""

def normal(mean: float, std: float) -> Distribution:
    """Create a Normal (Gaussian) distribution: N(mean, std)."""

def uniform(low: float, high: float) -> Distribution:
    """Create a Uniform distribution: U(low, high)."""

def beta(alpha: float, beta: float) -> Distribution:
    """Create a Beta distribution: Beta(α, β).  Support [0, 1]."""

def gamma(shape: float, rate: float) -> Distribution:
    """Create a Gamma distribution: Γ(shape, rate).  Mean = shape / rate."""

def lognormal(mu: float, sigma: float) -> Distribution:
    """Create a Log-Normal distribution.  `mu` and `sigma` are the underlying Normal parameters."""

def deterministic(value: float) -> Distribution:
    """Create a Deterministic point mass at `value`."""

def empirical(samples: Sequence[float]) -> Distribution:
    """Create an Empirical distribution from a list of float samples."""

class GraphWarning(UserWarning):
    """Warned when a graph builds or a propagation starts but part of what was asked for silently does nothing: nodes that can never run, cache-key input names no node reads, a stop target that matches no node."""

class DiskCache:
    """A cache backend in a directory on a local disk, shared by threads and processes and kept across restarts."""

    def __new__(
        cls,
        path: Union[str, "os.PathLike[str]"],
        max_entries: Optional[int] = None,
        max_bytes: Optional[int] = None,
        ttl_seconds: Optional[int] = None,
        namespace: str = "default",
    ) -> DiskCache: ...
    @property
    def namespace(self) -> str: ...
    @namespace.setter
    def namespace(self, value: str) -> None: ...
    @property
    def path(self) -> str: ...
    def clear(self) -> None:
        """Remove every cached entry and pending computation from this store."""
    def stats(self) -> dict[str, int]: ...
    def clear_node(self, node_id: int, version: Optional[str] = None, namespace: Optional[str] = None) -> None: ...
    def clear_namespace(self, namespace: str) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> DiskCache: ...
    def __exit__(self, *exc_info: object) -> None: ...

class CacheWarning(UserWarning):
    """Warned when a persistent cache could not do part of its work: outputs it could not store, damage it set aside, a full disk, a directory it does not trust with pickled objects. Runs still return correct results."""

def joint(stat: StatResult) -> JointDistribution:
    """The joint distribution of the variables of `stat`, a StatResult from `Dag.predict()`,
    as a JointDistribution.  ValueError for a result without particles (from
    `predict_at()`)."""

class JointDistribution:
    """The joint distribution of a particle result's variables: correlation, covariance, a summary table and plots.  Made by `quillon.joint(stat)`."""

    @property
    def variables(self) -> list[str]:
        """The variables, in the order of the rows and columns of `correlation()` and
        `covariance()`: every key of the result's `particles` dicts that some particle holds,
        in the order `StatResult.to_numpy()` gives them."""
    @property
    def n_particles(self) -> int:
        """The number of particles (trajectories) of the result."""
    def correlation(self, method: Literal["pearson", "spearman"] = "pearson") -> Any:
        """The correlation matrix as a 2-D float64 numpy array over pairwise-complete particles."""
    def covariance(self) -> Any:
        """The sample covariance matrix (n - 1) as a 2-D float64 numpy array."""
    def summary(self) -> str:
        """The text `print_summary()` prints."""
    def print_summary(self) -> None:
        """Print the marginals table and the Pearson correlation matrix to sys.stdout."""
    def plot_pairs(self, variables: Optional[Sequence[str]] = None) -> Any:
        """A matplotlib pair plot; returns the Figure."""
    def plot_joint(self, x: str, y: str, *, ax: Optional[Any] = None) -> Any:
        """The 2-D joint density of `x` and `y` (KDE contours with scipy, else a 2-D
        histogram); returns the Axes."""

def explain(dag: Dag, report: dict[str, Any]) -> Explanation:
    """How one run of `dag` went, node by node.

    Args:
        dag (Dag): The Dag that ran.
        report (dict): What `dag.execute(detailed=True)` returned.

    Returns:
        Explanation: a table of the nodes in node order (id, label, hit, the miss reason, the time
        and the error of a failed call, when the report carries them) and the run's diagram
        (`dag.to_mermaid(report=report)`). Notebooks show both; str() gives the table as text."""

class Explanation:
    """How one run of a Dag went, node by node: made by quillon.explain(dag, report). Shows itself in notebooks as a table and the marked diagram; str() is the table as plain text."""

    @property
    def mermaid(self) -> str:
        """The run's diagram: Dag.to_mermaid(report=...) of the explained report."""
    @property
    def nodes(self) -> list[dict[str, Any]]:
        """One dict per node in node order: id, label, hit, reason, seconds, failed, error. hit and failed are None for a node the report does not mention; seconds and error are None when the report does not carry them."""
    def _repr_html_(self) -> str: ...
    def _repr_markdown_(self) -> str: ...
    def _repr_mimebundle_(
        self, include: Optional[Sequence[str]] = None, exclude: Optional[Sequence[str]] = None
    ) -> dict[str, str]: ...
