"""The suite's terminal table, its same-run ratios and its headline lines."""

RATIO_FIELDS = ("build_s", "latency_p50_us", "latency_p99_us", "batch_qps_1", "batch_qps_2",
                "recall_at_1", "recall_at_10", "rss_bytes_per_point", "snapshot_bytes",
                "save_s", "load_s")

COLUMNS = (  # header, field, format, scale
    ("build s", "build_s", "{:.2f}", 1),
    ("p50 µs", "latency_p50_us", "{:.0f}", 1),
    ("p99 µs", "latency_p99_us", "{:.0f}", 1),
    ("QPS 1t", "batch_qps_1", "{:.0f}", 1),
    ("QPS 2t", "batch_qps_2", "{:.0f}", 1),
    ("R@1", "recall_at_1", "{:.3f}", 1),
    ("R@10", "recall_at_10", "{:.3f}", 1),
    ("R@10, builds", "recall_at_10_builds", "{:.3f}", 1),
    ("B/point", "rss_bytes_per_point", "{:.0f}", 1),
    ("save ms", "save_s", "{:.0f}", 1e3),
    ("load ms", "load_s", "{:.0f}", 1e3),
    ("file MB", "snapshot_bytes", "{:.1f}", 1e-6),
)


def _divide(a, b):
    return a / b if a is not None and b else None


def ratios(results):
    """Per data set and peer: quorbell's figure divided by the peer's, both
    from this run. Below 1 means quorbell's figure is smaller."""
    out = {}
    for name, figures in results["datasets"].items():
        libs = figures["libraries"]
        ours = libs.get("quorbell")
        if not ours:
            continue
        out[name] = {peer: {field: _divide(ours.get(field), theirs.get(field)) for field in RATIO_FIELDS}
                     for peer, theirs in libs.items() if peer != "quorbell"}
    return out


def headline(results):
    """A few sentences with the ratios a reader asks for first."""
    lines = []
    for name, per_peer in results["ratios"].items():
        libs = results["datasets"][name]["libraries"]
        ours = libs["quorbell"]
        for peer in ("hnswlib", "faiss-hnsw"):
            r = per_peer.get(peer)
            if not r:
                continue
            lines.append(
                f"{name} vs {peer}: build {_times(r['build_s'], 'slower', 'faster')}, "
                f"single-query p50 {_times(r['latency_p50_us'], 'slower', 'faster')}, "
                f"2-thread batch throughput {_times(r['batch_qps_2'], 'higher', 'lower')}, "
                f"memory per point {_times(r['rss_bytes_per_point'], 'larger', 'smaller')}, "
                f"recall@10 {ours['recall_at_10']:.3f}{_spread(ours)} vs {libs[peer]['recall_at_10']:.3f}")
        exact = results["datasets"][name].get("exact_path")
        if exact:
            lines.append(f"{name} exact path ({exact['points']} points): "
                         f"{exact['quorbell_us']:.1f} µs per numpy query "
                         f"({exact['quorbell_list_query_us']:.1f} µs per list query) "
                         f"vs numpy {exact['numpy_us']:.1f} µs "
                         f"({_times(exact['ratio'], 'slower', 'faster')} with numpy queries)")
    return lines


def _spread(lib):
    builds = lib.get("recall_at_10_builds") or []
    if len(builds) < 2:
        return ""
    return f" ({min(builds):.3f} to {max(builds):.3f} over {len(builds)} builds)"


def _times(ratio, above, below):
    if ratio is None:
        return "n/a"
    return f"{ratio:.2f}x {above}" if ratio >= 1 else f"{1 / ratio:.2f}x {below}"


def _cell(lib, field, fmt, scale):
    value = lib.get(field)
    if value is None:
        return "-"
    if isinstance(value, list):     # one figure per build: their range
        low, high = fmt.format(min(value) * scale), fmt.format(max(value) * scale)
        return low if low == high else f"{low}–{high}"
    return fmt.format(value * scale)


def _table(figures):
    headers = ["library"] + [c[0] for c in COLUMNS]
    rows = [[lib_name] + [_cell(lib, *c[1:]) for c in COLUMNS]
            for lib_name, lib in figures["libraries"].items()]
    return headers, rows


def _set_line(name, figures):
    return (f"{name}: {figures['points']} points, {figures['queries']} queries, "
            f"{figures['dim']} dims ({figures['about']})")


def _run_line(results):
    machine = results["machine"]
    load = machine.get("load_average_start")
    return (f"{results['mode']} run on {machine['cpu']} ({machine['cpus_usable']} usable CPUs"
            + (f", load average {load[0]:.1f} at the start" if load else "") + "), "
            f"Python {machine['python']}; versions: "
            + ", ".join(f"{k} {v}" for k, v in results["versions"].items()))


def _duplicate_rows(results):
    """Case, what is counted, and each library's least and most count."""
    spread = lambda pair: "-" if pair is None else (str(pair[0]) if pair[0] == pair[1] else f"{pair[0]}–{pair[1]}")
    return [[name, f"{c['about']} (of {c['of']:,}, {c['builds']} builds)", spread(c["quorbell"]), spread(c["hnswlib"])]
            for name, c in (results.get("duplicates") or {}).items()]


def print_tables(results):
    print("\n" + _run_line(results))
    for name, figures in results["datasets"].items():
        print("\n" + _set_line(name, figures))
        headers, rows = _table(figures)
        widths = [max(len(r[i]) for r in [headers] + rows) for i in range(len(headers))]
        for row in [headers] + rows:
            print("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                            for i, (cell, w) in enumerate(zip(row, widths))))
    print("\nexact path, µs per query: quorbell (numpy query), quorbell (list query), numpy")
    for name, figures in results["datasets"].items():
        e = figures.get("exact_path")
        if e:
            print(f"  {name:<20} {e['quorbell_us']:8.1f} {e['quorbell_list_query_us']:8.1f} "
                  f"{e['numpy_us']:8.1f}  ratio {e['ratio']:.2f}  top-10 agreement {e['top10_agreement']:.3f}")
    print("\nduplicates and NaN vectors (counts; quorbell, hnswlib):")
    for name, about, ours, theirs in _duplicate_rows(results):
        print(f"  {name:<14} {ours:>8} {theirs:>8}  {about}")
    print("\nheadline (ratios from this run):")
    for line in results["headline"]:
        print(f"  {line}")


def markdown(results):
    """The same tables as Markdown, for the documentation."""
    commit = results["machine"].get("quorbell_commit")
    out = [_run_line(results) + (f", quorbell at commit {commit}." if commit else ".")]
    for name, figures in results["datasets"].items():
        headers, rows = _table(figures)
        out += ["", f"**{_set_line(name, figures)}**", "",
                "| " + " | ".join(headers) + " |",
                "|" + "|".join(["---"] + ["---:"] * (len(headers) - 1)) + "|"]
        out += ["| " + " | ".join(row) + " |" for row in rows]
    out += ["", "**Exact path**, µs per query (quorbell with a numpy query, and with the same "
            "query as a list):", "",
            "| data set | quorbell | quorbell, list query | numpy | quorbell ÷ numpy | top-10 agreement |",
            "|---|---:|---:|---:|---:|---:|"]
    for name, figures in results["datasets"].items():
        e = figures.get("exact_path")
        if e:
            out.append(f"| {name} ({e['points']} points) | {e['quorbell_us']:.1f} "
                       f"| {e['quorbell_list_query_us']:.1f} | {e['numpy_us']:.1f} "
                       f"| {e['ratio']:.2f} | {e['top10_agreement']:.3f} |")
    duplicates = _duplicate_rows(results)
    if duplicates:
        out += ["", "**Duplicates and NaN vectors** (counts, cosine, M 16, ef_construction 64, ef 32):", "",
                "| case | counted | quorbell | hnswlib |", "|---|---|---:|---:|"]
        out += ["| " + " | ".join(row) + " |" for row in duplicates]
    out += ["", "Headline ratios (same run):", ""] + [f"- {line}" for line in results["headline"]]
    return "\n".join(out) + "\n"


BLOCK_START, BLOCK_END = "<!-- figures: written by bench/suite.py -->", "<!-- end of figures -->"


def update_document(path, results):
    """Replaces the figures block of a Markdown document with this run's
    tables; a document without the markers is left alone."""
    with open(path) as f:
        text = f.read()
    if BLOCK_START not in text or BLOCK_END not in text:
        return False
    head, rest = text.split(BLOCK_START, 1)
    tail = rest.split(BLOCK_END, 1)[1]
    with open(path, "w") as f:
        f.write(f"{head}{BLOCK_START}\n{markdown(results)}{BLOCK_END}{tail}")
    return True
