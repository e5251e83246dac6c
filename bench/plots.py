"""The suite's plots, drawn with matplotlib to PNG files sized for a README
(about 1000 pixels wide) with one colour per library throughout."""

import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (backend first)
import numpy as np  # noqa: E402

COLOURS = {"quorbell": "#d62728", "hnswlib": "#1f77b4", "faiss-hnsw": "#2ca02c", "faiss-flat": "#7f7f7f"}
DPI = 100
plt.rcParams.update({"font.size": 11, "axes.titlesize": 12, "axes.grid": True, "grid.alpha": 0.3})


def _libraries(results):
    names = []
    for figures in results["datasets"].values():
        names += [n for n in figures["libraries"] if n not in names]
    return names


def _subtitle(results):
    m = results["machine"]
    return f"{m['cpu']}, {m['cpus_usable']} CPUs, {results['mode']} run"


def recall_vs_qps(results, path):
    sets = list(results["datasets"].items())
    cols = 3 if len(sets) > 2 else len(sets)
    rows = -(-(len(sets) + 1) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(12, 4.2 * rows), squeeze=False)
    for ax, (name, figures) in zip(axes.flat, sets):
        lowest = 1.0
        for lib, f in figures["libraries"].items():
            colour = COLOURS.get(lib)
            if "curve" in f:
                recall = [p["recall_at_10"] for p in f["curve"]]
                qps = [p["qps"] for p in f["curve"]]
                lowest = min(lowest, *recall)
                ax.plot(recall, qps, "o-", color=colour, label=lib, markersize=4)
                default = [p for p in f["curve"] if p["ef"] == results["parameters"]["ef_search"]]
                ax.plot([p["recall_at_10"] for p in default], [p["qps"] for p in default], "o",
                        color=colour, markersize=10, markerfacecolor="none", markeredgewidth=2)
            else:
                ax.plot(f["recall_at_10"], f["batch_qps_1"], "X", color=colour, markersize=10, label=lib)
        ax.set_yscale("log")
        # Start the axis a little below the lowest recall drawn, on a tenth.
        ax.set_xlim(max(0.0, np.floor(lowest * 10 - 0.5) / 10), 1.01)
        ax.set_title(f"{name} ({figures['points']:,} points)")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries per second (1 thread)")
    legend_ax = axes.flat[len(sets)]
    handles, labels = axes.flat[0].get_legend_handles_labels()
    handles.append(plt.Line2D([], [], marker="o", markersize=10, markerfacecolor="none",
                              markeredgewidth=2, color="black", linestyle="none"))
    labels.append(f"default search breadth (ef {results['parameters']['ef_search']})")
    legend_ax.legend(handles, labels, loc="center", frameon=False, fontsize=12,
                     title="ef swept 10 to 256\n(M 16, ef_construction 64)")
    for ax in list(axes.flat)[len(sets):]:
        ax.axis("off")
    fig.suptitle(f"Recall against throughput, top-10 cosine\n{_subtitle(results)}")
    fig.tight_layout()
    fig.savefig(path, dpi=DPI)
    plt.close(fig)


def _grouped_bars(ax, results, value, libraries):
    sets = list(results["datasets"])
    width = 0.8 / len(libraries)
    for i, lib in enumerate(libraries):
        heights = [value(results["datasets"][s], lib) for s in sets]
        xs = np.arange(len(sets)) + (i - (len(libraries) - 1) / 2) * width
        ax.bar(xs, [h if h is not None else 0 for h in heights], width, label=lib,
               color=COLOURS.get(lib))
    ax.set_xticks(np.arange(len(sets)))
    ax.set_xticklabels([_short(s) for s in sets])
    ax.grid(axis="x", visible=False)


def _short(name):
    """Two-line tick label: the kind of data, then its dimension."""
    kind, dim = name.rsplit("-", 1)
    return f"{kind.split('-')[0]}\n{dim} dims"


def _legend_right(ax):
    ax.legend(loc="center left", bbox_to_anchor=(1.01, 0.5), frameon=False)


def _field(field, scale=1.0, per_point=False):
    def value(figures, lib):
        f = figures["libraries"].get(lib, {})
        if f.get(field) is None:
            return None
        return f[field] * scale / (figures["points"] if per_point else 1)
    return value


def build_time(results, path):
    fig, ax = plt.subplots(figsize=(10, 4.5))
    _grouped_bars(ax, results, _field("build_s", 1e6, per_point=True), _libraries(results))
    ax.set_yscale("log")
    ax.set_ylabel("build time per point (µs, log scale)")
    ax.set_title(f"Index build, single-threaded inserts\n{_subtitle(results)}")
    _legend_right(ax)
    fig.tight_layout()
    fig.savefig(path, dpi=DPI)
    plt.close(fig)


def memory(results, path):
    fig, ax = plt.subplots(figsize=(10, 4.5))
    _grouped_bars(ax, results, _field("rss_bytes_per_point"), _libraries(results))
    for i, figures in enumerate(results["datasets"].values()):
        ax.hlines(4 * figures["dim"], i - 0.45, i + 0.45, colors="black", linestyles="dashed")
    ax.plot([], [], "k--", label="raw float32 vector")
    ax.set_ylabel("resident memory per point (bytes)")
    ax.set_title(f"Memory growth while building, per point\n{_subtitle(results)}")
    _legend_right(ax)
    fig.tight_layout()
    fig.savefig(path, dpi=DPI)
    plt.close(fig)


def batch_scaling(results, path):
    libraries = _libraries(results)
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.5))

    def speedup(figures, lib):
        f = figures["libraries"].get(lib, {})
        one, two = f.get("batch_qps_1"), f.get("batch_qps_2")
        return two / one if one and two else None

    _grouped_bars(left, results, speedup, libraries)
    ideal = left.axhline(2, color="black", linestyle="dashed", label="ideal on 2 CPUs")
    left.axhline(1, color="black", linewidth=0.8)
    left.set_ylabel("2-thread ÷ 1-thread throughput")
    left.set_title("Batch speed-up from a second thread")
    left.set_ylim(0, max(2.6, 1.1 * left.get_ylim()[1]))
    left.legend(handles=[ideal], loc="upper right", fontsize=10)
    _grouped_bars(right, results, _field("batch_qps_2"), libraries)
    _legend_right(right)
    right.set_yscale("log")
    right.set_ylabel("queries per second (2 threads, log scale)")
    right.set_title("Batch throughput, 2 threads")
    fig.suptitle(_subtitle(results))
    fig.tight_layout()
    fig.savefig(path, dpi=DPI)
    plt.close(fig)


def draw_all(results, folder):
    paths = []
    for name, draw in (("recall_qps", recall_vs_qps), ("build_time", build_time),
                       ("memory", memory), ("batch_scaling", batch_scaling)):
        path = os.path.join(folder, f"{name}.png")
        draw(results, path)
        paths.append(path)
    return paths
