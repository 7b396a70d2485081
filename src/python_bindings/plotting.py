"""Figures of propagation results, drawn with matplotlib.

The extension keeps this file as text, runs it once into a private module
the first time a plot is asked for, and calls the functions below with the
numbers its engine computed (numpy arrays and floats). matplotlib, and scipy
for kernel density contours, are imported only when a figure is drawn.
Every function returns the Figure or Axes it drew on and never shows it.
"""

import math

INSTALL_HINT = "plotting needs matplotlib: pip install 'quillon[plot]'"

# A pair plot scatters the particles of an off-diagonal panel up to this
# many particles and bins them into hexagons above it.
HEXBIN_ABOVE = 5000
# A kernel density estimate is fitted to at most this many points (evenly
# spaced in particle order; particles are independent draws).
KDE_POINTS = 2000
# Grid points per axis at which a kernel density is evaluated.
KDE_GRID = 100
MARK_STYLES = (("p5", ":"), ("p50", "--"), ("p95", ":"))


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError(INSTALL_HINT) from error
    return plt


def _numpy():
    import numpy

    return numpy


def _gaussian_kde():
    """scipy's gaussian_kde, or None when scipy cannot be imported."""
    try:
        from scipy.stats import gaussian_kde
    except ImportError:
        return None
    return gaussian_kde


def _bins(count):
    return int(min(50, max(10, round(math.sqrt(count)))))


def _finite(values):
    np = _numpy()
    return values[np.isfinite(values)]


def _no_data(ax, text):
    ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center", color="0.4")


def _draw_distribution(ax, panel):
    """One distribution on `ax`: its density curve, a histogram of its
    samples, or a stem at its point mass, with p5, p50 and p95 marked."""
    if panel["density"] is not None:
        ax.plot(panel["x"], panel["density"], color="C0")
        ax.fill_between(panel["x"], panel["density"], color="C0", alpha=0.2)
        ax.set_ylabel("density")
    elif panel["samples"] is not None:
        values = _finite(panel["samples"])
        if values.size:
            ax.hist(values, bins=_bins(values.size), density=True, color="C0", alpha=0.6)
        else:
            _no_data(ax, "no finite samples")
        ax.set_ylabel("density")
    else:
        ax.vlines([panel["point"]], 0.0, 1.0, color="C0", linewidth=3)
        ax.set_ylim(0.0, 1.05)
        ax.set_ylabel("probability")
    for name, style in MARK_STYLES:
        value = panel[name]
        if math.isfinite(value):
            ax.axvline(value, color="C3", linestyle=style, linewidth=1, label=f"{name} = {value:.4g}")
    ax.set_xlabel(panel["xlabel"])
    ax.set_title(panel["title"])
    if ax.get_legend_handles_labels()[0]:
        ax.legend(fontsize="small")


def plot_distribution(ax, panel):
    if ax is None:
        _, ax = _pyplot().subplots(layout="constrained")
    else:
        _pyplot()  # the same error when matplotlib is missing
    _draw_distribution(ax, panel)
    return ax


def plot_marginals(panels):
    """One panel per distribution, three to a row."""
    plt = _pyplot()
    columns = min(3, len(panels))
    rows = math.ceil(len(panels) / columns)
    figure, axes = plt.subplots(rows, columns, figsize=(4.0 * columns, 3.0 * rows), squeeze=False,
                                layout="constrained")
    flat = axes.ravel()
    for ax, panel in zip(flat, panels):
        _draw_distribution(ax, panel)
    for ax in flat[len(panels):]:
        figure.delaxes(ax)
    return figure


def plot_pairs(names, columns, particles):
    """A k-by-k grid: histograms of each variable on the diagonal, below and
    above it each pair on the particles holding both, as points or, for
    many particles, as hexagonal bins."""
    plt = _pyplot()
    np = _numpy()
    k = len(names)
    size = max(2.2, min(3.0, 12.0 / k))
    figure, axes = plt.subplots(k, k, figsize=(size * k, size * k), squeeze=False, layout="constrained")
    for row in range(k):
        for col in range(k):
            ax = axes[row, col]
            if row == col:
                values = _finite(columns[row])
                if values.size:
                    ax.hist(values, bins=_bins(values.size), color="C0", alpha=0.7)
                else:
                    _no_data(ax, "no values")
            else:
                x, y = columns[col], columns[row]
                both = np.isfinite(x) & np.isfinite(y)
                x, y = x[both], y[both]
                if not x.size:
                    _no_data(ax, "no shared particles")
                elif particles > HEXBIN_ABOVE:
                    ax.hexbin(x, y, gridsize=30, mincnt=1, cmap="Blues")
                else:
                    ax.scatter(x, y, s=5, alpha=0.5, color="C0", linewidths=0)
            if row == k - 1:
                ax.set_xlabel(names[col])
            if col == 0:
                ax.set_ylabel(names[row])
    return figure


def _kernel_density(x, y):
    """The density of (x, y) on a grid as (X, Y, Z), or None when scipy is
    missing or the points admit no kernel estimate (too few, or on a line)."""
    gaussian_kde = _gaussian_kde()
    if gaussian_kde is None or x.size < 3:
        return None
    np = _numpy()
    if x.size > KDE_POINTS:
        keep = np.linspace(0, x.size - 1, KDE_POINTS).astype(np.intp)
        x, y = x[keep], y[keep]
    # Points on a line (or a constant) have no density in the plane: the
    # estimate would be a spike of arbitrary height, or an error.
    cov = np.cov(x, y)
    if not (cov[0, 0] > 0 and cov[1, 1] > 0) or np.linalg.det(cov) <= 1e-10 * cov[0, 0] * cov[1, 1]:
        return None
    try:
        kde = gaussian_kde(np.vstack([x, y]))
    except (np.linalg.LinAlgError, ValueError):
        return None

    def span(values):
        low, high = float(values.min()), float(values.max())
        pad = 0.1 * (high - low) if high > low else 0.5
        return np.linspace(low - pad, high + pad, KDE_GRID)

    grid_x, grid_y = np.meshgrid(span(x), span(y))
    z = kde(np.vstack([grid_x.ravel(), grid_y.ravel()])).reshape(grid_x.shape)
    if not np.all(np.isfinite(z)):
        return None
    return grid_x, grid_y, z


def plot_joint(ax, x, y, x_name, y_name):
    """The joint density of two variables on the particles holding both:
    filled kernel density contours when scipy is present, a 2-D histogram
    otherwise."""
    plt = _pyplot()
    if ax is None:
        _, ax = plt.subplots(layout="constrained")
    if not x.size:
        _no_data(ax, "no particle holds both variables")
    else:
        density = _kernel_density(x, y)
        if density is not None:
            grid_x, grid_y, z = density
            # Levels above zero: the plane outside the lowest contour stays
            # blank instead of taking the first fill colour.
            levels = _numpy().linspace(0.0, float(z.max()), 11)[1:]
            ax.contourf(grid_x, grid_y, z, levels=levels, cmap="Blues", extend="max")
            ax.contour(grid_x, grid_y, z, levels=levels, colors="navy", linewidths=0.5)
            ax.set_title(f"joint density of {x_name} and {y_name}")
        else:
            ax.hist2d(x, y, bins=_bins(x.size), cmap="Blues", cmin=1)
            ax.set_title(f"joint histogram of {x_name} and {y_name}")
    ax.set_xlabel(x_name)
    ax.set_ylabel(y_name)
    return ax
